// user.dat: the plain layout, levels, category lists, positions, proxy and versions.
#include "TestSupport.h"

#include "common/config/ConfigUser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cfgtest::ConfigTest;

class UserTest : public ConfigTest {
  protected:
    void SetUp() override {
        ConfigTest::SetUp();
        cfgtest::RegisterStrings();
    }
    void Store(const std::string& xml) {
        cfgtest::WriteFileBytes(tree_->config_path("user.dat"),
                                cfgtest::kDeclaration + xml + std::string(1, '\0'));
    }
    std::string Stored() { return cfgtest::ReadFileBytes(tree_->config_path("user.dat")); }
};

TEST_F(UserTest, DefaultObjectSavesAPlainFile) {
    CConfigUser user;
    ASSERT_EQ(user.Save(), 1);
    EXPECT_EQ(Stored(),
              std::string(cfgtest::kDeclaration) +
                  "<user><version>2</version><log><pathname/><level/><logout>OFF</logout>"
                  "<category/><debug_level/><debug_logout>OFF</debug_logout><debug_category/>"
                  "</log><sc_pos><x>2147483647</x><y>2147483647</y><dontshowwelcome>0"
                  "</dontshowwelcome></sc_pos><proxy><connselect>0</connselect><proxyhost/>"
                  "<proxyport>0</proxyport><proxyauth>false</proxyauth><proxyuser/>"
                  "<proxypassword/></proxy></user>" +
                  std::string(1, '\0'));
}

TEST_F(UserTest, CategoryLists) {
    const struct {
        const char16_t* text;
        std::uint32_t mask;
    } reads[] = {
        {u"2;5", 0x12u},      {u"0", 0xFFFFFFFFu},  {u"3", 0x4u},        {u"0;0", 0u},
        {u"", 0xFFFFFFFFu},   {u"  ", 0xFFFFFFFFu}, {u" 2 ; 5 ", 0x12u}, {u"abc", 0xFFFFFFFFu},
        {u";", 0u},           {u"33", 0x1u},        {u"1;33", 0x1u},     {u"32", 0x80000000u},
        {u"-1", 0x40000000u}, {u"2;;x;4", 0xAu},    {u"7x", 0x40u},
    };
    for (const auto& r : reads)
        EXPECT_EQ(ParseCategoryList(r.text), r.mask) << platform::to_utf8(r.text);
    const struct {
        std::uint32_t mask;
        const char16_t* text;
    } writes[] = {
        {0xFFFFFFFFu, u"0"}, {0x12u, u"2;5"}, {0u, u""}, {0x80000001u, u"1;32"}, {0x4u, u"3"},
    };
    for (const auto& w : writes)
        EXPECT_EQ(FormatCategoryList(w.mask), w.text) << w.mask;
}

TEST_F(UserTest, LoadsEveryElement) {
    Store("<user><version>2</version><log><pathname>C:\\logs\\client.log</pathname>"
          "<level>WARN </level><logout>ON</logout><category>3;4</category>"
          "<debug_level>INFO</debug_level><debug_logout>OFF</debug_logout>"
          "<debug_category>8</debug_category></log><sc_pos><x>-20</x><y>300</y>"
          "<dontshowwelcome>1</dontshowwelcome></sc_pos><proxy><connselect>2</connselect>"
          "<proxyhost>proxy.local</proxyhost><proxyport>70000</proxyport>"
          "<proxyauth>true</proxyauth><proxyuser>me</proxyuser>"
          "<proxypassword> p w </proxypassword></proxy></user>");
    CConfigUser user;
    ASSERT_EQ(user.Load(), 1);
    const auto& log = user.GetLogInfo();
    EXPECT_EQ(log.GetPathname(), u"C:\\logs\\client.log");
    EXPECT_EQ(log.GetLevel(), 2);
    EXPECT_EQ(log.GetLog(), 1);
    EXPECT_EQ(log.GetCategory(), 0xCu);
    EXPECT_EQ(log.GetDebugLevel(), 1);
    EXPECT_EQ(log.GetDebugLog(), 0);
    EXPECT_EQ(log.GetDebugCategory(), 0x80u);
    EXPECT_EQ(user.GetSCInfo().GetX(), -20);
    EXPECT_EQ(user.GetSCInfo().GetY(), 300);
    EXPECT_EQ(user.GetSCInfo().GetDontShowWelcome(), 1);
    const auto& proxy = user.GetProxyInfo();
    EXPECT_EQ(proxy.GetConnSelect(), 2);
    EXPECT_EQ(proxy.GetProxyHost(), u"proxy.local");
    EXPECT_EQ(proxy.GetProxyPort(), 4464); // the low 16 bits
    EXPECT_EQ(proxy.GetProxyAuth(), 1);
    EXPECT_EQ(proxy.GetProxyUser(), u"me");
    EXPECT_EQ(proxy.GetProxyPassword(), u" p w "); // texts are not trimmed
}

TEST_F(UserTest, LevelsReadTrimmedAndCaseSensitive) {
    const struct {
        const char* text;
        int level;
        const char* written;
    } cases[] = {
        {"INFO", 1, "<level>INFO</level>"},
        {"WARN ", 2, "<level>WARN</level>"},
        {"FATAL", 3, "<level>FATAL</level>"},
        {"warn", 0, "<level/>"},
        {"", 0, "<level/>"},
        {"3", 0, "<level/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Store(std::string("<user><version>2</version><log><level>") + c.text +
              "</level></log></user>");
        CConfigUser user;
        ASSERT_EQ(user.Load(), 1);
        EXPECT_EQ(user.GetLogInfo().GetLevel(), c.level);
        ASSERT_EQ(user.Save(), 1);
        EXPECT_NE(Stored().find(c.written), std::string::npos) << Stored();
    }
}

TEST_F(UserTest, EmptyCategoryElementMeansAllCategories) {
    Store("<user><version>2</version><log><category/></log></user>");
    CConfigUser user;
    user.GetLogInfo().SetCategory(0x4);
    ASSERT_EQ(user.Load(), 1);
    EXPECT_EQ(user.GetLogInfo().GetCategory(), 0xFFFFFFFFu);
    EXPECT_EQ(user.GetLogInfo().GetDebugCategory(), 0xFFFFFFFFu); // missing: also all
    ASSERT_EQ(user.Save(), 1);
    EXPECT_NE(Stored().find("<category>0</category>"), std::string::npos);
}

TEST_F(UserTest, OlderVersionsLoadAndAreWrittenAsVersionTwo) {
    for (const char* version : {"0", "1", ""}) {
        SCOPED_TRACE(version);
        Store(std::string("<user><version>") + version +
              "</version><sc_pos><x>5</x></sc_pos></user>");
        CConfigUser user;
        ASSERT_EQ(user.Load(), 1);
        EXPECT_EQ(user.GetSCInfo().GetX(), 5);
        ASSERT_EQ(user.Save(), 1);
        EXPECT_NE(Stored().find("<user><version>2</version><sc_pos><x>5</x>"), std::string::npos);
    }
}

TEST_F(UserTest, NewerVersionIsRefused) {
    cfgtest::LogCapture capture;
    Store("<user><version>3</version><sc_pos><x>5</x></sc_pos></user>");
    CConfigUser user;
    EXPECT_EQ(user.Load(), 0);
    EXPECT_EQ(static_cast<unsigned>(user.GetLastResult()), 0x87020000u);
    EXPECT_EQ(user.GetSCInfo().GetX(), CConfigUserSCInfo::kNoPosition);
    EXPECT_NE(capture.Contents().find(
                  "<004570>,LIB_CONF:{CConfigUser::SetParam} user.dat version error(3)"),
              std::string::npos);
}

TEST_F(UserTest, ValuesRoundTrip) {
    CConfigUser user;
    auto& log = user.GetLogInfo();
    log.SetPathname(u"client.log");
    log.SetLevel(3);
    log.SetLog(1);
    log.SetCategory(0x8Cu);
    log.SetDebugLevel(1);
    log.SetDebugLog(1);
    log.SetDebugCategory(0xFFFFFFFFu);
    user.GetSCInfo().SetX(-1);
    user.GetSCInfo().SetY(0);
    user.GetSCInfo().SetDontShowWelcome(1);
    auto& proxy = user.GetProxyInfo();
    proxy.SetConnSelect(1);
    proxy.SetProxyHost(u"h\u00f6st");
    proxy.SetProxyPort(65535);
    proxy.SetProxyAuth(1);
    proxy.SetProxyUser(u"u&<>");
    proxy.SetProxyPassword(u"pa<ss>");
    ASSERT_EQ(user.Save(), 1);

    CConfigUser copy;
    ASSERT_EQ(copy.Load(), 1);
    EXPECT_EQ(copy.GetLogInfo().GetPathname(), u"client.log");
    EXPECT_EQ(copy.GetLogInfo().GetLevel(), 3);
    EXPECT_EQ(copy.GetLogInfo().GetLog(), 1);
    EXPECT_EQ(copy.GetLogInfo().GetCategory(), 0x8Cu);
    EXPECT_EQ(copy.GetLogInfo().GetDebugLevel(), 1);
    EXPECT_EQ(copy.GetLogInfo().GetDebugLog(), 1);
    EXPECT_EQ(copy.GetLogInfo().GetDebugCategory(), 0xFFFFFFFFu);
    EXPECT_EQ(copy.GetSCInfo().GetX(), -1);
    EXPECT_EQ(copy.GetSCInfo().GetY(), 0);
    EXPECT_EQ(copy.GetSCInfo().GetDontShowWelcome(), 1);
    EXPECT_EQ(copy.GetProxyInfo().GetConnSelect(), 1);
    EXPECT_EQ(copy.GetProxyInfo().GetProxyHost(), u"h\u00f6st");
    EXPECT_EQ(copy.GetProxyInfo().GetProxyPort(), 65535);
    EXPECT_EQ(copy.GetProxyInfo().GetProxyAuth(), 1);
    EXPECT_EQ(copy.GetProxyInfo().GetProxyUser(), u"u&<>");
    EXPECT_EQ(copy.GetProxyInfo().GetProxyPassword(), u"pa<ss>");
}

TEST_F(UserTest, ProxyPasswordNeverReachesTheLog) {
    cfgtest::LogCapture capture;
    CConfigUser user;
    user.GetProxyInfo().SetProxyPassword(u"pr0xy-s3cret");
    ASSERT_EQ(user.Save(), 1);
    CConfigUser copy;
    ASSERT_EQ(copy.Load(), 1);
    EXPECT_EQ(copy.GetProxyInfo().GetProxyPassword(), u"pr0xy-s3cret");
    const std::string log = capture.Contents();
    EXPECT_EQ(log.find("pr0xy-s3cret"), std::string::npos);
    EXPECT_NE(log.find("<proxypassword>***</proxypassword>"), std::string::npos);
}

} // namespace
