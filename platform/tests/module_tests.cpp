#include "platform/module.h"

#include "platform/result.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(Module, LoadsASharedLibraryAndItsSymbols) {
    std::uint32_t error = 1;
    std::string text = "unset";
    Module m = Module::load("libm.so.6", &error, &text);
    ASSERT_TRUE(m.loaded()) << text;
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_TRUE(text.empty());
    using CosFn = double (*)(double);
    const auto cos_fn = reinterpret_cast<CosFn>(m.symbol("cos"));
    ASSERT_NE(cos_fn, nullptr);
    EXPECT_DOUBLE_EQ(cos_fn(0.0), 1.0);
    EXPECT_EQ(m.symbol("no_such_symbol_here"), nullptr);
    EXPECT_EQ(m.symbol(nullptr), nullptr);

    Module moved = std::move(m);
    EXPECT_FALSE(m.loaded());
    EXPECT_TRUE(moved.loaded());
    EXPECT_EQ(moved.path(), fs::path("libm.so.6"));
    // a library without a resource table is no resource module
    EXPECT_FALSE(ResourceModule::load("libm.so.6"));
}

TEST(Module, ReportsWhyALibraryDoesNotLoad) {
    std::string tmpl = (fs::temp_directory_path() / "orvix-mod-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const fs::path dir = tmpl;
    {
        std::ofstream junk(dir / "junk.so", std::ios::binary);
        junk << "this is not a shared library";
    }
    struct Case {
        fs::path path;
        std::uint32_t error;
    };
    const Case cases[] = {
        {dir / "1041" / "missing.so", ERROR_MOD_NOT_FOUND},
        {dir / "junk.so", ERROR_BAD_EXE_FORMAT},
        {dir, ERROR_MOD_NOT_FOUND},
    };
    for (const auto& c : cases) {
        std::uint32_t error = 0;
        std::string text;
        const Module m = Module::load(c.path, &error, &text);
        EXPECT_FALSE(m.loaded()) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
        EXPECT_FALSE(text.empty()) << c.path;
        EXPECT_FALSE(ResourceModule::load(c.path)) << c.path;
    }
    fs::remove_all(dir);
}

// ---- Tables ------------------------------------------------------------------------------------

const StringEntry kJapanese[] = {
    {1, u"一"}, {5, u"五"}, {9, u"九"}, {200, u""}, {65535, u"last"},
};
const unsigned char kPage[] = {'<', 'p', '>'};
const BinaryResource kResources[] = {
    {"HTML", 1101, kPage, sizeof(kPage)},
    {"ICON", 1101, kPage, 1},
};
const ResourceTable kJapaneseTable = {1041, kJapanese, std::size(kJapanese), kResources,
                                      std::size(kResources)};

TEST(ResourceTable, FindsStringsByBinarySearch) {
    struct Case {
        std::uint32_t id;
        std::optional<TextView> expected;
    };
    const Case cases[] = {
        {1, u"一"},        {5, u"五"},         {9, u"九"},
        {200, u""},        {65535, u"last"},   {0, std::nullopt},
        {2, std::nullopt}, {10, std::nullopt}, {70000, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(find_string(kJapaneseTable, c.id), c.expected) << c.id;

    const ResourceTable empty = {1041, nullptr, 0, nullptr, 0};
    EXPECT_EQ(find_string(empty, 1), std::nullopt);
    EXPECT_EQ(find_resource(empty, "HTML", 1101), nullptr);
}

TEST(ResourceTable, FindsBinaryResourcesByKindAndId) {
    const BinaryResource* html = find_resource(kJapaneseTable, "HTML", 1101);
    ASSERT_NE(html, nullptr);
    EXPECT_EQ(html->size, 3u);
    const BinaryResource* icon = find_resource(kJapaneseTable, "ICON", 1101);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->size, 1u);
    EXPECT_EQ(find_resource(kJapaneseTable, "HTML", 1102), nullptr);
    EXPECT_EQ(find_resource(kJapaneseTable, "html", 1101), nullptr);
    EXPECT_EQ(find_resource(kJapaneseTable, nullptr, 1101), nullptr);
}

// ---- The user's UI language -----------------------------------------------------------------

class UiLanguageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kNames) {
            if (const char* v = std::getenv(name))
                saved_.emplace_back(name, v);
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        for (const char* name : kNames)
            ::unsetenv(name);
        for (const auto& [name, value] : saved_)
            ::setenv(name.c_str(), value.c_str(), 1);
    }
    static constexpr const char* kNames[] = {"ORVIX_UI_LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(UiLanguageTest, FromOverrideOrLocale) {
    struct Case {
        const char* override_value;
        const char* lc_all;
        const char* lc_messages;
        const char* lang;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, 1041},
        {"2052", "ja_JP.UTF-8", nullptr, nullptr, 2052},
        {"junk", nullptr, nullptr, "zh_CN.UTF-8", 2052},
        {"70000", nullptr, nullptr, "ko_KR.UTF-8", 1042},
        {"0", nullptr, nullptr, nullptr, 1041},
        {nullptr, nullptr, nullptr, "ja_JP.UTF-8", 1041},
        {nullptr, nullptr, nullptr, "zh_TW.Big5", 1028},
        {nullptr, nullptr, nullptr, "zh_HK.UTF-8", 3076},
        {nullptr, nullptr, nullptr, "zh", 2052},
        {nullptr, nullptr, nullptr, "en_US.UTF-8", 1033},
        {nullptr, nullptr, nullptr, "en_GB", 2057},
        {nullptr, nullptr, nullptr, "en_NZ.UTF-8", 1033},
        {nullptr, nullptr, nullptr, "de_AT@euro", 1031},
        {nullptr, nullptr, nullptr, "C.UTF-8", 1041},
        {nullptr, nullptr, nullptr, "xx_YY", 1041},
        {nullptr, "en_US.UTF-8", "zh_CN.UTF-8", "ja_JP.UTF-8", 1033}, // LC_ALL wins
        {nullptr, "", "zh_CN.UTF-8", "ja_JP.UTF-8", 2052},            // then LC_MESSAGES
        {nullptr, nullptr, "", "ko_KR.UTF-8", 1042},                  // then LANG
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(index++);
        const std::pair<const char*, const char*> vars[] = {{"ORVIX_UI_LANGUAGE", c.override_value},
                                                            {"LC_ALL", c.lc_all},
                                                            {"LC_MESSAGES", c.lc_messages},
                                                            {"LANG", c.lang}};
        for (const auto& [name, value] : vars) {
            if (value != nullptr)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
        EXPECT_EQ(user_default_ui_language(), c.expected);
    }
}

} // namespace
} // namespace platform
