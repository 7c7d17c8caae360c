// CLogOutput in one process: channels, thresholds, switches, masks, the line format, the file
// and debugger output, the log path, and bad input.
#include "common/LogOutput.h"
#include "log_test_support.h"
#include "platform/module.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

using namespace platform;
using namespace logtest;

namespace {

// A string table of our own, registered as the program's table: 4570 as the system has it, and
// a text with a non-ASCII part.
const StringEntry kStrings[] = {
    {4570, u"LIB_CONF:{%s} %s version error(%d)"},
    {5001, u"LIB_SC:{CKp32ClientSC::Initialize} \u521d\u671f\u5316 %d"},
};
const ResourceTable kTable = {1041, kStrings, std::size(kStrings), nullptr, 0};

void register_strings() {
    static const bool once = [] {
        setenv("ORVIX_UI_LANGUAGE", "1041", 1);
        register_own_table(&kTable);
        return true;
    }();
    (void)once;
}

class LogOutputTest : public LogTest {
  protected:
    void SetUp() override {
        LogTest::SetUp();
        register_strings();
    }

    // The lines of the log file, each checked for shape; fails on an unterminated tail.
    std::vector<LogLine> lines(const char* name = "client.log") {
        bool unterminated = false;
        std::vector<LogLine> out;
        for (const auto& l : split_lines(read_utf16le(log_file(name)), &unterminated)) {
            auto parsed = parse_line(l);
            EXPECT_TRUE(parsed) << "malformed line: " << to_utf8(l);
            if (parsed)
                out.push_back(*parsed);
        }
        EXPECT_FALSE(unterminated);
        return out;
    }

    // A writer with its file set and the debug channel writing every line of category 0x04.
    void file_debug(CLogOutput& log) {
        ASSERT_EQ(log.SetLogPathName(u"client.log"), 1);
        ASSERT_EQ(log.SetDebugLogOut(1), 1);
        ASSERT_EQ(log.SetDebugLevel(0), 1);
        ASSERT_EQ(log.SetDebugCategory(LOGCAT_CONFIG), 1);
    }
};

} // namespace

TEST_F(LogOutputTest, FreshWriterWritesNothingAnywhere) {
    StderrCapture err;
    CLogOutput log;
    EXPECT_EQ(log.TraceFatal(LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::Close} Close OK"), 1);
    EXPECT_EQ(log.OutputFatal(LOGCAT_CONFIG, 4570, u"C::F", u"x", 1), 1);
    EXPECT_EQ(log.DebugFatal(0xFFFFFFFFu, 4570, u"C::F", u"x", 1), 1);
    EXPECT_EQ(log.GetLastResult(), S_OK);
    EXPECT_EQ(err.text(), "");
    EXPECT_FALSE(std::filesystem::exists(log_folder()));
    EXPECT_TRUE(log.GetLogPathName().empty());
}

TEST_F(LogOutputTest, TraceLineHasDebugTagAndFreeTextId) {
    CLogOutput log;
    file_debug(log);
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::Close} Close OK"), 1);

    // No byte order mark; the line starts with the time stamp and ends with CR LF.
    const Text raw = read_utf16le(log_file());
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.front(), u'[');
    EXPECT_EQ(raw.substr(raw.size() - 2), u"\r\n");
    EXPECT_NE(raw.find(u"],<ID>,<001000>,LIB_CONF:{CConfigFile::Close} Close OK\r\n"), Text::npos);

    const auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].severity, u'I');
    EXPECT_EQ(all[0].channel, u'D');
    EXPECT_EQ(all[0].id, "001000");
}

TEST_F(LogOutputTest, NormalChannelByMessageIdHonoursItsThreshold) {
    CLogOutput log;
    ASSERT_EQ(log.SetLogPathName(u"client.log"), 1);
    ASSERT_EQ(log.SetLogOut(1), 1);
    ASSERT_EQ(log.SetLogLevel(1), 1);
    ASSERT_EQ(log.SetCategory(LOGCAT_CONFIG), 1);
    EXPECT_EQ(log.OutputInfo(LOGCAT_CONFIG, 4570, u"CConfigFile::Load", u"user.dat", 3), 1);
    EXPECT_EQ(log.OutputWarn(LOGCAT_CONFIG, 4570, u"CConfigFile::Load", u"user.dat", 3), 1);

    const auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].severity, u'W');
    EXPECT_EQ(all[0].channel, u' ');
    EXPECT_EQ(all[0].id, "004570");
    EXPECT_EQ(all[0].message, u"LIB_CONF:{CConfigFile::Load} user.dat version error(3)");
    const Text raw = read_utf16le(log_file());
    EXPECT_NE(raw.find(u",<W >,<004570>,"), Text::npos);
}

TEST_F(LogOutputTest, ThresholdsSwitchesAndMasksDecideWhatIsWritten) {
    struct Case {
        CLogOutput::Channel channel;
        unsigned threshold;
        std::uint32_t mask;
        std::uint32_t category;
        CLogOutput::Severity severity;
        bool written;
    };
    using L = CLogOutput;
    const Case cases[] = {
        // Threshold 0 passes everything, 1 warnings and fatal lines, 2 fatal lines only.
        {L::ChannelNormal, 0, 0x04, 0x04, L::SevInfo, true},
        {L::ChannelNormal, 1, 0x04, 0x04, L::SevInfo, false},
        {L::ChannelNormal, 1, 0x04, 0x04, L::SevWarn, true},
        {L::ChannelNormal, 2, 0x04, 0x04, L::SevWarn, false},
        {L::ChannelNormal, 2, 0x04, 0x04, L::SevFatal, true},
        {L::ChannelDebug, 0, 0x04, 0x04, L::SevInfo, true},
        {L::ChannelDebug, 1, 0x04, 0x04, L::SevInfo, false},
        {L::ChannelDebug, 1, 0x04, 0x04, L::SevWarn, true},
        {L::ChannelDebug, 2, 0x04, 0x04, L::SevWarn, false},
        {L::ChannelDebug, 2, 0x04, 0x04, L::SevFatal, true},
        // The category must share a bit with the channel's mask.
        {L::ChannelNormal, 0, 0x04, 0x08, L::SevFatal, false},
        {L::ChannelNormal, 0, 0x04 | 0x40, 0x40, L::SevFatal, true},
        {L::ChannelDebug, 0, 0x80, 0x0C, L::SevFatal, false},
        {L::ChannelDebug, 0, 0x08, 0x0C, L::SevFatal, true},
        {L::ChannelDebug, 0, 0xFFFFFFFF, 0, L::SevFatal, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "channel " << c.channel << " threshold " << c.threshold << " mask "
                     << c.mask << " category " << c.category << " severity " << c.severity);
        std::filesystem::remove(log_file());
        CLogOutput log;
        ASSERT_EQ(log.SetLogPathName(u"client.log"), 1);
        // The other channel writes everything to the file too: it must not leak in.
        ASSERT_EQ(log.SetLogOut(1), 1);
        ASSERT_EQ(log.SetDebugLogOut(1), 1);
        if (c.channel == L::ChannelNormal) {
            ASSERT_EQ(log.SetLogLevel(c.threshold), 1);
            ASSERT_EQ(log.SetCategory(c.mask), 1);
            ASSERT_EQ(log.SetDebugLevel(0), 1);
            ASSERT_EQ(log.SetDebugCategory(0), 1);
        } else {
            ASSERT_EQ(log.SetDebugLevel(c.threshold), 1);
            ASSERT_EQ(log.SetDebugCategory(c.mask), 1);
            ASSERT_EQ(log.SetLogLevel(0), 1);
            ASSERT_EQ(log.SetCategory(0), 1);
        }
        EXPECT_EQ(log.WriteId(c.channel, c.severity, c.category, 5001, {7}), 1);
        const auto all = lines();
        ASSERT_EQ(all.size(), c.written ? 1u : 0u);
        if (c.written) {
            EXPECT_EQ(all[0].severity, u"IWF"[c.severity]);
            EXPECT_EQ(all[0].channel, c.channel == L::ChannelDebug ? u'D' : u' ');
            EXPECT_EQ(all[0].id, "005001");
            EXPECT_EQ(all[0].message, u"LIB_SC:{CKp32ClientSC::Initialize} \u521d\u671f\u5316 7");
        }
    }
}

TEST_F(LogOutputTest, SettersRejectOutOfRangeValues) {
    CLogOutput log;
    ASSERT_EQ(log.SetLogPathName(u"client.log"), 1);
    log.SetLogOut(1);
    log.SetCategory(LOGCAT_CONFIG);

    // SetLogLevel(3) keeps 2: info and warnings stay out, fatal lines go in.
    ASSERT_EQ(log.SetLogLevel(0), 1);
    EXPECT_EQ(log.SetLogLevel(3), 0);
    EXPECT_EQ(log.GetLastResult(), LOG_E_LEVEL);
    log.OutputWarn(LOGCAT_CONFIG, 4570, u"C::F", u"warn", 1);
    log.OutputFatal(LOGCAT_CONFIG, 4570, u"C::F", u"fatal", 2);
    auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].severity, u'F');

    EXPECT_EQ(log.SetDebugLevel(7), 0);
    EXPECT_EQ(log.GetLastResult(), LOG_E_LEVEL);
    EXPECT_EQ(log.SetDebugLevel(1), 1);
    EXPECT_EQ(log.GetLastResult(), S_OK);

    // SetLogOut(5) switches the normal channel off.
    EXPECT_EQ(log.SetLogOut(5), 0);
    EXPECT_EQ(log.GetLastResult(), LOG_E_SWITCH);
    EXPECT_EQ(log.OutputFatal(LOGCAT_CONFIG, 4570, u"C::F", u"gone", 3), 1);
    EXPECT_EQ(lines().size(), 1u);

    // SetDebugLogOut(5) sends the debug channel to the debugger output.
    ASSERT_EQ(log.SetDebugLogOut(1), 1);
    EXPECT_EQ(log.SetDebugLogOut(5), 0);
    EXPECT_EQ(log.GetLastResult(), LOG_E_SWITCH);
    log.SetDebugLevel(0);
    log.SetDebugCategory(LOGCAT_CONFIG);
    StderrCapture err;
    EXPECT_EQ(log.TraceWarn(LOGCAT_CONFIG, u"to the debugger"), 1);
    EXPECT_NE(err.text().find(",<WD>,<001000>,to the debugger\r\n"), std::string::npos);
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(LogOutputTest, DebuggerOutputGoesToStandardError) {
    struct Case {
        unsigned normal_switch, debug_switch;
        bool normal_seen, debug_seen, debug_in_file;
    };
    // The normal channel reaches the debugger output only while the debug channel does.
    const Case cases[] = {
        {2, 2, true, true, false},
        {2, 1, false, false, true},
        {2, 0, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.normal_switch << "/" << c.debug_switch);
        std::filesystem::remove(log_file());
        CLogOutput log;
        ASSERT_EQ(log.SetLogPathName(u"client.log"), 1);
        log.SetLogOut(c.normal_switch);
        log.SetDebugLogOut(c.debug_switch);
        log.SetLogLevel(0);
        log.SetDebugLevel(0);
        log.SetCategory(LOGCAT_APP);
        log.SetDebugCategory(LOGCAT_APP);
        StderrCapture err;
        EXPECT_EQ(log.OutputInfo(LOGCAT_APP, 5001, 42), 1);
        EXPECT_EQ(log.DebugFatal(LOGCAT_APP, 5001, 43), 1);
        const std::string text = err.text();
        EXPECT_EQ(text.find(",<I >,<005001>,LIB_SC:{CKp32ClientSC::Initialize} "
                            "\xe5\x88\x9d\xe6\x9c\x9f\xe5\x8c\x96 42\r\n") != std::string::npos,
                  c.normal_seen);
        EXPECT_EQ(text.find(",<FD>,<005001>,") != std::string::npos, c.debug_seen);
        // The normal line never reaches the file through the debugger switch.
        const auto all = lines();
        ASSERT_EQ(all.size(), c.debug_in_file ? 1u : 0u);
        if (c.debug_in_file) {
            EXPECT_EQ(all[0].severity, u'F');
        }
    }
}

TEST_F(LogOutputTest, IdsAndMessageTexts) {
    CLogOutput log;
    file_debug(log);
    // Ids of 0 or less show as 1000; an unknown id gives an empty text but still a line.
    EXPECT_EQ(log.DebugInfo(LOGCAT_CONFIG, 0), 1);
    EXPECT_EQ(log.DebugInfo(LOGCAT_CONFIG, -5), 1);
    EXPECT_EQ(log.DebugInfo(LOGCAT_CONFIG, 999), 1);
    EXPECT_EQ(log.DebugInfo(LOGCAT_CONFIG, 999999), 1);
    // Text beyond the basic plane and a null string argument.
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"\U0001F600 %s|%s", u"\u30ed\u30b0",
                            static_cast<const char16_t*>(nullptr)),
              1);
    const auto all = lines();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].id, "001000");
    EXPECT_EQ(all[1].id, "001000");
    EXPECT_EQ(all[2].id, "000999");
    EXPECT_EQ(all[3].id, "999999");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(all[i].message, u"");
    EXPECT_EQ(all[4].message, u"\U0001F600 \u30ed\u30b0|(null)");
}

TEST_F(LogOutputTest, BadFormatsAndArgumentsLoseTheLineOnly) {
    CLogOutput log;
    file_debug(log);
    struct Case {
        std::function<int(CLogOutput&)> call;
        HRESULT result;
    };
    const auto cat = LOGCAT_CONFIG;
    const Case bad[] = {
        {[&](CLogOutput& l) { return l.TraceFatal(cat, nullptr); }, E_POINTER},
        // Never reads past the arguments given.
        {[&](CLogOutput& l) { return l.TraceFatal(cat, u"%s %s", u"only one"); }, E_INVALIDARG},
        {[&](CLogOutput& l) { return l.TraceFatal(cat, u"%d"); }, E_INVALIDARG},
        {[&](CLogOutput& l) { return l.TraceFatal(cat, u"%s", 5); }, E_INVALIDARG},
        // A message id whose text wants more arguments than given.
        {[&](CLogOutput& l) { return l.DebugFatal(cat, 4570, u"C::F"); }, E_INVALIDARG},
        // A severity outside its range through the untyped entry point.
        {[&](CLogOutput& l) {
             return l.WriteText(static_cast<CLogOutput::Severity>(3), cat, u"x", {});
         },
         E_INVALIDARG},
    };
    for (const auto& c : bad) {
        EXPECT_EQ(c.call(log), 0);
        EXPECT_EQ(log.GetLastResult(), c.result);
    }
    // A null format with the channel off is not looked at.
    log.SetDebugLogOut(0);
    EXPECT_EQ(log.TraceFatal(LOGCAT_CONFIG, nullptr), 1);
    EXPECT_EQ(log.GetLastResult(), S_OK);
    log.SetDebugLogOut(1);

    // A very large argument is written whole.
    const Text big(1 << 20, u'\u3042');
    EXPECT_EQ(log.TraceFatal(LOGCAT_CONFIG, u"<%s>", big), 1);
    EXPECT_EQ(log.GetLastResult(), S_OK);
    const auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].message, u"<" + big + u">");
}

TEST_F(LogOutputTest, LogPathAlwaysLivesInTheOrvixFolder) {
    const Text folder = from_path(log_folder());
    struct Case {
        const char16_t* name;
        const char* file;
    };
    const Case cases[] = {
        {u"C:\\Temp\\client.log", "client.log"},
        {u"client.log", "client.log"},
        {u"../../etc/other.log", "other.log"},
        {u"D:\\a/b\\c/mixed.log", "mixed.log"},
    };
    for (const auto& c : cases) {
        CLogOutput log;
        EXPECT_EQ(log.SetLogPathName(c.name), 1) << to_utf8(c.name);
        EXPECT_EQ(log.GetLogPathName(), folder + u"/" + to_text(c.file));
        EXPECT_TRUE(std::filesystem::is_regular_file(log_file(c.file)));
        EXPECT_EQ(std::filesystem::file_size(log_file(c.file)), 0u); // checked, nothing written
    }
    EXPECT_FALSE(std::filesystem::exists(docs() / "etc"));

    CLogOutput log;
    EXPECT_EQ(log.SetLogPathName(nullptr), 0);
    EXPECT_EQ(log.GetLastResult(), E_POINTER);
}

TEST_F(LogOutputTest, NameEndingWithBackslashLeavesTheFolderAsPathAndWritesNothing) {
    CLogOutput log;
    EXPECT_EQ(log.SetLogPathName(u"C:\\Temp\\"), 0);
    EXPECT_NE(log.GetLastResult(), S_OK);
    EXPECT_EQ(log.GetLogPathName(), from_path(log_folder()) + u"/");
    log.SetDebugLogOut(1);
    log.SetDebugLevel(0);
    log.SetDebugCategory(LOGCAT_CONFIG);
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"lost"), 0);
    EXPECT_NE(log.GetLastResult(), S_OK);
    std::vector<DirEntry> entries;
    ASSERT_EQ(list_directory(log_folder(), entries), ERROR_SUCCESS);
    EXPECT_TRUE(entries.empty());
}

TEST_F(LogOutputTest, PathLongerThanTheLimitIsRefused) {
    const std::size_t prefix = from_path(log_folder()).size() + 1;
    ASSERT_LT(prefix + 10, kMaxPath);
    const Text fits(kMaxPath - prefix, u'a');
    const Text too_long(kMaxPath - prefix + 1, u'b');

    CLogOutput log;
    EXPECT_EQ(log.SetLogPathName(fits.c_str()), 1);
    EXPECT_EQ(log.GetLogPathName().size(), kMaxPath);

    // The file named is not taken, cut short or otherwise: no lines go anywhere.
    EXPECT_EQ(log.SetLogPathName((u"C:\\" + too_long).c_str()), 0);
    EXPECT_EQ(log.GetLastResult(), hresult_from_system(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(log.GetLogPathName().empty());
    log.SetDebugLogOut(1);
    log.SetDebugLevel(0);
    log.SetDebugCategory(LOGCAT_CONFIG);
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"lost"), 0);
    EXPECT_EQ(log.GetLastResult(), LOG_E_NOFILE);
    EXPECT_EQ(std::filesystem::file_size(log_folder() / to_path(fits)), 0u);
}

TEST_F(LogOutputTest, FileWithoutPathOrUnwritableFolderLosesLines) {
    CLogOutput log;
    log.SetDebugLogOut(1);
    log.SetDebugLevel(0);
    log.SetDebugCategory(LOGCAT_CONFIG);
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"no file"), 0);
    EXPECT_EQ(log.GetLastResult(), LOG_E_NOFILE);

    // The common documents folder lies below a plain file: the log folder cannot be made.
    const auto blocker = docs() / "blocker";
    std::ofstream(blocker) << "x";
    setenv("ORVIX_COMMON_DOCUMENTS", (blocker / "docs").c_str(), 1);
    EXPECT_EQ(log.SetLogPathName(u"client.log"), 0);
    EXPECT_TRUE(failed(log.GetLastResult()));
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"lost"), 0);
    EXPECT_TRUE(failed(log.GetLastResult()));
    EXPECT_TRUE(std::filesystem::is_regular_file(blocker));
}

TEST_F(LogOutputTest, EachLineReopensTheFile) {
    CLogOutput log;
    file_debug(log);
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"one"), 1);
    // Between lines the file can be read, renamed or removed: nothing is kept open.
    std::filesystem::rename(log_file(), log_file("old.log"));
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"two"), 1);
    EXPECT_EQ(log.TraceInfo(LOGCAT_CONFIG, u"three"), 1);
    const auto old_lines = lines("old.log");
    const auto new_lines = lines();
    ASSERT_EQ(old_lines.size(), 1u);
    ASSERT_EQ(new_lines.size(), 2u);
    EXPECT_EQ(old_lines[0].message, u"one");
    EXPECT_EQ(new_lines[0].message, u"two");
    EXPECT_EQ(new_lines[1].message, u"three");
}
