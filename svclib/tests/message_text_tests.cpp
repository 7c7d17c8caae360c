// The language resource library's search order and the formatting of message ids.
#include "svclib/MessageText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using platform::Text;
namespace fs = std::filesystem;

namespace {

std::string U8(const Text& t) {
    return platform::to_utf8(t);
}

class LanguageModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvix-lang-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Places the built module of `language` under the folder `folder`.
    void Place(const std::string& folder, unsigned language) {
        fs::create_directories(dir_ / folder);
        fs::copy_file(fs::path(ORVIX_BIN_DIR) / std::to_string(language) / kLanguageModuleFileName,
                      dir_ / folder / kLanguageModuleFileName,
                      fs::copy_options::overwrite_existing);
    }
    // The language of the module that loads, 0 for none.
    unsigned Loaded(std::uint16_t ui) {
        const auto module = LoadLanguageModule(dir_, ui);
        return module ? module->table().language : 0;
    }
    fs::path dir_;
};

TEST_F(LanguageModuleTest, SearchOrder) {
    EXPECT_EQ(Loaded(1041), 0u); // nothing there

    // Only a folder of another number: found by the scan of numeric folders.
    Place("2052", 2052);
    fs::create_directories(dir_ / "abc");
    fs::create_directories(dir_ / "12a");
    EXPECT_EQ(Loaded(1041), 2052u);

    // The user's language comes first.
    Place("1041", 1041);
    EXPECT_EQ(Loaded(1041), 1041u);
    EXPECT_EQ(Loaded(2052), 2052u);

    // Then its primary language (2052 & 0x3FF = 4), before 1033 and the scan.
    fs::remove_all(dir_ / "2052");
    Place("4", 2052);
    Place("1033", 1041);
    EXPECT_EQ(Loaded(2052), 2052u);
    fs::remove_all(dir_ / "4");
    EXPECT_EQ(Loaded(2052), 1041u); // 1033's folder (holding the Japanese module here)

    // A folder whose file is no loadable module is passed over.
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "1041");
    {
        std::FILE* f = std::fopen((dir_ / "1041" / kLanguageModuleFileName).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("not a module", f);
        std::fclose(f);
    }
    Place("7", 2052);
    EXPECT_EQ(Loaded(1041), 2052u);
}

TEST_F(LanguageModuleTest, CurrentDirectoryIsSearched) {
    Place("2052", 2052);
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    ::setenv("ORVIX_UI_LANGUAGE", "2052", 1);
    const auto module = LoadLanguageModule();
    ::unsetenv("ORVIX_UI_LANGUAGE");
    fs::current_path(before);
    ASSERT_TRUE(module);
    EXPECT_EQ(module->table().language, 2052u);
}

TEST(MessageText, LibraryModulesCarryTheirIds) {
    // Every id the callers load, in both languages (136 and 139 are Japanese only).
    const std::uint32_t ids[] = {101, 103, 105,  109,  110,  111,  116,  118,  121,  122,
                                 123, 129, 130,  131,  132,  133,  173,  141,  145,  147,
                                 148, 149, 150,  151,  152,  153,  154,  187,  191,  192,
                                 193, 194, 1000, 1011, 1036, 2201, 2212, 2108, 4570, 57344};
    for (unsigned language : {1041u, 2052u}) {
        const auto module = platform::ResourceModule::load(
            fs::path(ORVIX_BIN_DIR) / std::to_string(language) / kLanguageModuleFileName);
        ASSERT_TRUE(module) << language;
        EXPECT_EQ(module->table().language, language);
        for (std::uint32_t id : ids)
            EXPECT_FALSE(module->string(id).empty()) << language << " id " << id;
    }
}

TEST(MessageText, FormatInformation) {
    const auto module = platform::ResourceModule::load(ORVIX_TEST_MESSAGES_MODULE);
    ASSERT_TRUE(module);
    struct Case {
        std::vector<Text> args;
        std::uint32_t id;
        const char* text;
    };
    const Case cases[] = {
        {{u"1"}, 1, "100% done"},                       // id only: still formatted
        {{u"2", u"a", u"b"}, 2, "a and b"},             //
        {{u"2", u"a"}, 2, "a and "},                    // a field without its argument stays empty
        {{u"2"}, 2, " and "},                           //
        {{u"3", u"extra"}, 3, "no fields"},             // extra arguments are ignored
        {{u"4", u"1", u"2", u"3", u"4"}, 4, "1-2-3-4"}, // four is the most
        {{u"4", u"1", u"2", u"3", u"4", u"5"}, 4, ""},  // five or more: empty
        {{u"5", u"x"}, 5, ""},                          // a field that is not %s cannot be filled
        {{u"77"}, 77, ""},                              // no such id: empty, id kept
        {{u"abc"}, 0, ""},                              // not a number: id 0
        {{u"1003", u"2001:db8::5"},
         1003,
         "仮想ネットワークに接続しました。\nIPアドレス : 2001:db8::5"},
    };
    for (const Case& c : cases) {
        const auto out = FormatInformation(module.get(), c.args);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->msgId, c.id);
        EXPECT_EQ(U8(out->text), c.text) << U8(c.args[0]);
    }
    EXPECT_FALSE(FormatInformation(module.get(), {}).has_value());

    // The lookup has room for 256 characters: a longer text keeps 255.
    EXPECT_EQ(LoadMessageText(module.get(), 6), Text(255, u'x'));
}

TEST(MessageText, WithoutModuleTheProgramsTableIsUsed) {
    static const platform::StringEntry strings[] = {{9001, u"own %s"}};
    static const platform::ResourceTable table = {1041, strings, 1, nullptr, 0};
    platform::register_own_table(&table);
    const Text args[] = {u"9001", u"text"};
    const auto out = FormatInformation(nullptr, args);
    ASSERT_TRUE(out);
    EXPECT_EQ(U8(out->text), "own text");
}

} // namespace
