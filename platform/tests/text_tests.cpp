#include "platform/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

TEST(Utf8, RoundTripsAllPlanes) {
    const std::string utf8 = "abc \xE6\x8E\xA5\xE7\xB6\x9A \xC3\xA9 \xF0\x9F\x98\x80";
    const Text wide = utf8_to_utf16(utf8);
    EXPECT_EQ(wide, u"abc 接続 é 😀");
    EXPECT_EQ(utf16_to_utf8(wide), utf8);
}

TEST(Utf16Le, BytesBecomeTextAndAnOddLastByteIsDropped) {
    using namespace std::string_view_literals;
    EXPECT_EQ(utf16le_to_text("a\0\xA5\x63\x3D\xD8\x00\xDE"sv), u"a接\U0001F600");
    EXPECT_EQ(utf16le_to_text("a\0z"sv), u"a");
    EXPECT_EQ(utf16le_to_text(""sv), u"");
}

TEST(Utf8, IllFormedInputBecomesReplacementCharacters) {
    struct Case {
        std::string in;
        Text out;
    };
    const Case cases[] = {
        {"a\x80z", u"a\uFFFDz"}, // lone continuation byte
        {"a\xC3", u"a\uFFFD"},   // truncated at the end
        {"\xE6\x8E"
         "z",
         u"\uFFFDz"},                                      // truncated in the middle, one U+FFFD
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                     // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // beyond U+10FFFF
        {"\xFF", u"\uFFFD"},
        {std::string("a\0b", 3), Text(u"a\0b", 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utf8_to_utf16(c.in), c.out) << c.in;
}

TEST(Utf8, UnpairedSurrogatesBecomeReplacementCharacters) {
    const Text lone_high = {u'x', char16_t(0xD83D), u'y'};
    const Text lone_low = {char16_t(0xDE00)};
    EXPECT_EQ(utf16_to_utf8(lone_high), "x\xEF\xBF\xBDy");
    EXPECT_EQ(utf16_to_utf8(lone_low), "\xEF\xBF\xBD");
}

TEST(Charset, Utf8LosesNothingExceptIllFormedText) {
    const auto a = utf16_to_charset(u"接続 é 😀", "UTF-8");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->lossless);
    EXPECT_EQ(a->text, utf16_to_utf8(u"接続 é 😀"));

    const auto b = utf16_to_charset(Text{char16_t(0xD800)}, "utf8");
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->lossless);

    const auto c = charset_to_utf16("ok\xFF", "UTF-8");
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->lossless);
    EXPECT_EQ(c->text, u"ok\uFFFD");
}

TEST(Charset, Cp932HoldsJapaneseButNotEverything) {
    // 接続 in Shift_JIS / CP932
    const auto ja = utf16_to_charset(u"接続A", "CP932");
    ASSERT_TRUE(ja);
    EXPECT_TRUE(ja->lossless);
    EXPECT_EQ(ja->text, "\x90\xDA\x91\xB1"
                        "A");
    const auto back = charset_to_utf16(ja->text, "CP932");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->lossless);
    EXPECT_EQ(back->text, u"接続A");

    // CP932 has no accented Latin letters and no characters beyond the BMP.
    const auto lossy = utf16_to_charset(u"caf\u00e9 😀!", "CP932");
    ASSERT_TRUE(lossy);
    EXPECT_FALSE(lossy->lossless);
    EXPECT_EQ(lossy->text, "caf? ?!");

    // An undecodable byte and a truncated double-byte character.
    const auto bad = charset_to_utf16("a\xA0"
                                      "b\x90",
                                      "CP932");
    ASSERT_TRUE(bad);
    EXPECT_FALSE(bad->lossless);
    EXPECT_EQ(bad->text, u"a\uFFFDb\uFFFD");
}

TEST(Charset, UnknownCharsetIsReported) {
    EXPECT_FALSE(utf16_to_charset(u"x", "NO-SUCH-CHARSET-42"));
    EXPECT_FALSE(charset_to_utf16("x", "NO-SUCH-CHARSET-42"));
}

TEST(Charset, LongInputCrossesConversionBuffers) {
    Text in;
    for (int i = 0; i < 3000; ++i)
        in += u"接続é";
    const auto out = utf16_to_charset(in, "CP932");
    ASSERT_TRUE(out);
    EXPECT_FALSE(out->lossless);
    EXPECT_EQ(out->text.size(), 3000u * 5u);
    const auto back = charset_to_utf16(out->text, "CP932");
    ASSERT_TRUE(back);
    Text expected;
    for (int i = 0; i < 3000; ++i)
        expected += u"接続?";
    EXPECT_EQ(back->text, expected);
}

// The ANSI code page is read once per process, so each setting is checked in a child process
// of this test executable, started with ORVIX_TEXT_CHILD set. The child does its checks before
// the test runner starts and ends with 0 when all of them hold.
int check_ansi_code_page(const std::string& mode) {
    int failures = 0;
    if (mode == "default") {
        failures += ansi_charset() != "UTF-8";
        const auto a = utf16_to_ansi(u"caf\u00e9 😀");
        failures += !a || !a->lossless || a->text != "caf\xC3\xA9 \xF0\x9F\x98\x80";
        const auto w = ansi_to_utf16("caf\xC3\xA9 \xF0\x9F\x98\x80");
        failures += !w || !w->lossless || w->text != u"caf\u00e9 😀";
    } else {
        failures += ansi_charset() != "CP932";
        const auto a = utf16_to_ansi(u"接続\u00e9");
        failures += !a || a->lossless || a->text != "\x90\xDA\x91\xB1?";
        const auto w = ansi_to_utf16("\x90\xDA\x91\xB1");
        failures += !w || !w->lossless || w->text != u"接続";
    }
    return failures;
}

const int kAnsiChild = [] {
    if (const char* mode = std::getenv("ORVIX_TEXT_CHILD"))
        std::_Exit(check_ansi_code_page(mode) == 0 ? 0 : 1);
    return 0;
}();

int run_ansi_child(const char* charset) {
    std::vector<std::string> env_store;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        if (entry.rfind("ORVIX_ANSI_CHARSET=", 0) != 0 && entry.rfind("ORVIX_TEXT_CHILD=", 0) != 0)
            env_store.push_back(entry);
    }
    if (charset != nullptr)
        env_store.push_back(std::string("ORVIX_ANSI_CHARSET=") + charset);
    env_store.push_back(std::string("ORVIX_TEXT_CHILD=") + (charset ? charset : "default"));
    std::vector<char*> envp;
    for (auto& s : env_store)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    char* argv[] = {exe.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(AnsiCodePage, DefaultsToUtf8) {
    EXPECT_EQ(run_ansi_child(nullptr), 0);
}

TEST(AnsiCodePage, EnvironmentSelectsCp932) {
    EXPECT_EQ(run_ansi_child("CP932"), 0);
}

// ---- Formatting -------------------------------------------------------------------------------

TEST(Format, TableOfConversions) {
    struct Case {
        Text format;
        std::vector<FormatArg> args;
        Text expected;
    };
    const char16_t* null_text = nullptr;
    const Text name = u"接続先";
    const Case cases[] = {
        {u"plain", {}, u"plain"},
        {u"100%%", {}, u"100%"},
        {u"%s:{%s}", {u"LIB_SC", name}, u"LIB_SC:{接続先}"},
        {u"[%s]", {null_text}, u"[(null)]"},
        {u"%d %i", {-42, 7}, u"-42 7"},
        {u"%u", {-1}, u"4294967295"},
        {u"%ld %lu", {-5L, 3000000000UL}, u"-5 3000000000"},
        {u"%d", {4294967295LL}, u"-1"}, // a Windows caller passes 32 bits
        {u"%lld", {-9000000000LL}, u"-9000000000"},
        {u"%llu", {18446744073709551615ULL}, u"18446744073709551615"},
        {u"%hd", {65535}, u"-1"},
        {u"%x %X", {0xBEEFu, 0xBEEFu}, u"beef BEEF"},
        {u"[E%08x]", {static_cast<unsigned>(0x80070102)}, u"[E80070102]"},
        {u"[W%08x]", {0x20}, u"[W00000020]"},
        {u"%08x", {-1}, u"ffffffff"},
        {u"%06d", {-42}, u"-00042"},
        {u"%06d", {42}, u"000042"},
        {u"%5d|%-5d|", {42, 42}, u"   42|42   |"},
        {u"%+d % d", {5, 5}, u"+5  5"},
        {u"%.3d", {7}, u"007"},
        {u"%08.3d", {7}, u"     007"},
        {u"%.0d", {0}, u""},
        {u"%#x", {255}, u"0xff"},
        {u"%c%c", {u'O', 0x63A5}, u"O接"},
        {u"%-6s|%6s|", {u"ab", u"cd"}, u"ab    |    cd|"},
        {u"%.2s", {u"abcdef"}, u"ab"},
        {u"%ls %ws %wc", {u"wide", u"too", u'!'}, u"wide too !"},
    };
    for (const auto& c : cases) {
        const auto out = vformat(c.format, c.args);
        ASSERT_TRUE(out) << utf16_to_utf8(c.format);
        EXPECT_EQ(*out, c.expected) << utf16_to_utf8(c.format);
        EXPECT_EQ(count_format_args(c.format), c.args.size()) << utf16_to_utf8(c.format);
    }
}

TEST(Format, RefusesBadFormatsAndArguments) {
    struct Case {
        Text format;
        std::vector<FormatArg> args;
    };
    const Case cases[] = {
        {u"%s %s", {u"one"}},     // too few arguments
        {u"%d", {}},              // none at all
        {u"%s", {42}},            // number for a string
        {u"%d", {u"text"}},       // string for a number
        {u"%c", {u"text"}},       // string for a character
        {u"%f", {1}},             // unsupported conversion
        {u"%p", {1}},             // unsupported conversion
        {u"%*d", {5, 1}},         // '*' is not supported
        {u"trailing %", {}},      // dangling percent sign
        {u"%l", {1}},             // length without conversion
        {u"%hs", {u"narrow"}},    // narrow string
        {u"%wd", {1}},            // wide number
        {u"%99999999d", {1}},     // absurd width
        {u"%.99999999s", {u"x"}}, // absurd precision
        {u"%5%", {}},             // decorated percent sign
    };
    for (const auto& c : cases)
        EXPECT_FALSE(vformat(c.format, c.args)) << utf16_to_utf8(c.format);
}

TEST(Format, CountsArgumentsAndRejectsInvalidFormats) {
    EXPECT_EQ(count_format_args(u"LIB_SC:{CKp32ClientSC::Connect} %s [E%08x]"), 2u);
    EXPECT_EQ(count_format_args(u"100%% done"), 0u);
    EXPECT_EQ(count_format_args(u"%"), std::nullopt);
    EXPECT_EQ(count_format_args(u"%q"), std::nullopt);
}

TEST(Format, VariadicHelper) {
    const Text address = u"2001:db8::1";
    EXPECT_EQ(format(u"IPアドレス : %s", address), u"IPアドレス : 2001:db8::1");
    EXPECT_EQ(format(u"%d/%u", 3, 4u), u"3/4");
    EXPECT_EQ(format(u"%s"), std::nullopt);
}

TEST(Format, LargeArgumentsAreFormattedWhole) {
    const Text big(100000, u'x');
    const auto out = vformat(u"<%s>", std::vector<FormatArg>{big});
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), big.size() + 2);
}

} // namespace
} // namespace platform
