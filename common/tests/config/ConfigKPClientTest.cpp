// orvixclient.dat: defaults, every element, conversions, order, versions, unknown elements.
#include "TestSupport.h"

#include "common/config/ConfigKPClient.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cfgtest::ConfigTest;

class KPClientTest : public ConfigTest {
  protected:
    void SetUp() override {
        ConfigTest::SetUp();
        cfgtest::RegisterStrings();
    }
    // Stores `xml` as orvixclient.dat, encrypted with OpenSSL directly.
    void Store(const std::string& xml) {
        cfgtest::WriteFileBytes(tree_->config_path("orvixclient.dat"),
                                cfgtest::ref::EncryptedFile(cfgtest::kClientKey, xml));
    }
    // The XML text of orvixclient.dat, decrypted with OpenSSL directly.
    std::string StoredXml() {
        const std::string plain = cfgtest::ref::DecryptFile(
            cfgtest::kClientKey, cfgtest::ReadFileBytes(tree_->config_path("orvixclient.dat")));
        EXPECT_EQ(plain.compare(0, 44, cfgtest::kDeclaration), 0);
        EXPECT_EQ(plain.back(), '\0');
        return plain.substr(44, plain.size() - 45);
    }
};

const char kDefaultXml[] =
    "<kpclient><version>1</version><network><MTU>4095</MTU><routedupl>OFF</routedupl></network>"
    "<client><product/><version/><service/><scapp/><uninstall/><updater/><driver/><inf/><name/>"
    "<hardwareid/><registry/><pipesctosvc/><pipesvctosc/><installfolder/></client>"
    "<server><latestlist/><updatepage/>"
    "<envchecktool>https://envcheck.orvix.example/envchecker/</envchecktool><ctrlserver/>"
    "<ctrlserverV6/><startup>false</startup></server>"
    "<time><updatecheck>24</updatecheck><keepalive>60</keepalive><retrytime>60</retrytime>"
    "<retrycount>3</retrycount></time></kpclient>";

TEST_F(KPClientTest, DefaultObjectSavesTheFullTree) {
    CConfigKPClient client;
    ASSERT_EQ(client.Save(), 1);
    EXPECT_EQ(StoredXml(), kDefaultXml);
}

TEST_F(KPClientTest, LoadsEveryElement) {
    Store("<kpclient><version>1</version><network><MTU>1400</MTU><routedupl>ON</routedupl>"
          "</network><client><product>P</product><version>1.2.3</version><service>S</service>"
          "<scapp>A</scapp><uninstall>U</uninstall><updater>Up</updater><driver>D</driver>"
          "<inf>I.inf</inf><name>Adapter \xE6\x97\xA5</name><hardwareid>hw</hardwareid>"
          "<registry>R</registry><pipesctosvc>to_svc</pipesctosvc><pipesvctosc>to_sc</pipesvctosc>"
          "<installfolder>F</installfolder></client><server><latestlist>L</latestlist>"
          "<updatepage>UP</updatepage><envchecktool>E</envchecktool><ctrlserver>C</ctrlserver>"
          "<ctrlserverV6>C6</ctrlserverV6><startup>true</startup></server><time>"
          "<updatecheck>12</updatecheck><keepalive>30</keepalive><retrytime>5</retrytime>"
          "<retrycount>-1</retrycount></time></kpclient>");
    CConfigKPClient client;
    ASSERT_EQ(client.Load(), 1);
    EXPECT_EQ(client.GetFileVersionInfo().GetFileVersion(), 1u);
    EXPECT_EQ(client.GetNetworkInfo().GetMTU(), 1400);
    EXPECT_EQ(client.GetNetworkInfo().GetRouteDupl(), 1);
    const auto& c = client.GetClientInfo();
    EXPECT_EQ(c.GetProduct(), u"P");
    EXPECT_EQ(c.GetVersion(), u"1.2.3");
    EXPECT_EQ(c.GetService(), u"S");
    EXPECT_EQ(c.GetScApp(), u"A");
    EXPECT_EQ(c.GetUninstall(), u"U");
    EXPECT_EQ(c.GetUpdater(), u"Up");
    EXPECT_EQ(c.GetDriver(), u"D");
    EXPECT_EQ(c.GetInf(), u"I.inf");
    EXPECT_EQ(c.GetName(), u"Adapter \u65e5");
    EXPECT_EQ(c.GetHardwareId(), u"hw");
    EXPECT_EQ(c.GetRegistry(), u"R");
    EXPECT_EQ(c.GetPipeSCToSvc(), u"to_svc");
    EXPECT_EQ(c.GetPipeSvcToSC(), u"to_sc");
    EXPECT_EQ(c.GetInstallFolder(), u"F");
    const auto& s = client.GetServerInfo();
    EXPECT_EQ(s.GetLatestList(), u"L");
    EXPECT_EQ(s.GetUpdatePage(), u"UP");
    EXPECT_EQ(s.GetEnvCheckTool(), u"E");
    EXPECT_EQ(s.GetCtrlServer(), u"C");
    EXPECT_EQ(s.GetCtrlServerV6(), u"C6");
    EXPECT_EQ(s.GetStartup(), 1);
    const auto& t = client.GetTimeInfo();
    EXPECT_EQ(t.GetUpdatecheck(), 12);
    EXPECT_EQ(t.GetKeepalive(), 30);
    EXPECT_EQ(t.GetRetrytime(), 5);
    EXPECT_EQ(t.GetRetrycount(), -1);
}

TEST_F(KPClientTest, ConvertsNumbersAndFlags) {
    const struct {
        const char* mtu;
        int expectedMtu;
        const char* flag;
        int expectedFlag;
    } cases[] = {
        {"50", 128, " ON ", 1},    {"9000", 4095, "on", 0},       {"abc", 128, "OFF", 0},
        {" 1500 ", 1500, "ON", 1}, {"1500x", 1500, "ONE", 0},     {"+200", 200, "\tON\n", 1},
        {"", 4095, "", 0},         {"99999999999", 4095, "x", 0}, {"-5", 128, "ON", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mtu) + "/" + c.flag);
        Store(std::string("<kpclient><network><MTU>") + c.mtu + "</MTU><routedupl>" + c.flag +
              "</routedupl></network></kpclient>");
        CConfigKPClient client;
        ASSERT_EQ(client.Load(), 1);
        EXPECT_EQ(client.GetNetworkInfo().GetMTU(), c.expectedMtu);
        EXPECT_EQ(client.GetNetworkInfo().GetRouteDupl(), c.expectedFlag);
    }
}

TEST_F(KPClientTest, MissingElementsKeepDefaultsAndAreAddedInReadingOrder) {
    Store("<kpclient><version>1</version><server><ctrlserver>C</ctrlserver></server>"
          "<network><MTU>1280</MTU></network></kpclient>");
    CConfigKPClient client;
    ASSERT_EQ(client.Load(), 1);
    EXPECT_EQ(client.GetTimeInfo().GetUpdatecheck(), 24);
    EXPECT_EQ(client.GetTimeInfo().GetKeepalive(), 60);
    EXPECT_EQ(client.GetTimeInfo().GetRetrytime(), 60);
    EXPECT_EQ(client.GetTimeInfo().GetRetrycount(), 3);
    EXPECT_EQ(client.GetServerInfo().GetEnvCheckTool(),
              CConfigKPClientServerInfo::kDefaultEnvCheckTool);
    ASSERT_EQ(client.Save(), 1);
    // The file's own order stays; what it lacked follows at the end of each parent, in the
    // order of reading (ctrlserverV6 before envchecktool, then startup).
    EXPECT_EQ(StoredXml(),
              "<kpclient><version>1</version><server><ctrlserver>C</ctrlserver><latestlist/>"
              "<updatepage/><ctrlserverV6/>"
              "<envchecktool>https://envcheck.orvix.example/envchecker/</envchecktool>"
              "<startup>false</startup></server><network><MTU>1280</MTU><routedupl>OFF"
              "</routedupl></network><client><product/><version/><service/><scapp/><uninstall/>"
              "<updater/><driver/><inf/><name/><hardwareid/><registry/><pipesctosvc/>"
              "<pipesvctosc/><installfolder/></client><time><updatecheck>24</updatecheck>"
              "<keepalive>60</keepalive><retrytime>60</retrytime><retrycount>3</retrycount>"
              "</time></kpclient>");
}

TEST_F(KPClientTest, UnknownElementsAreWrittenBack) {
    std::string xml = kDefaultXml;
    xml.replace(xml.find("<product/>"), 10, "<product>P</product><future>keep &amp; me</future>");
    xml.replace(xml.find("</kpclient>"), 11, "<extra><deep>1</deep></extra></kpclient>");
    Store(xml);
    CConfigKPClient client;
    ASSERT_EQ(client.Load(), 1);
    client.GetNetworkInfo().SetMTU(1300);
    ASSERT_EQ(client.Save(), 1);
    std::string expected = xml;
    expected.replace(expected.find("4095"), 4, "1300");
    EXPECT_EQ(StoredXml(), expected);
}

TEST_F(KPClientTest, NewerVersionIsRefusedAfterReadingOnlyTheVersion) {
    cfgtest::LogCapture capture;
    Store("<kpclient><version>2</version><network><MTU>1400</MTU></network></kpclient>");
    CConfigKPClient client;
    EXPECT_EQ(client.Load(), 0);
    EXPECT_EQ(static_cast<unsigned>(client.GetLastResult()), 0x87020000u);
    EXPECT_EQ(client.GetFileVersionInfo().GetFileVersion(), 2u);
    EXPECT_EQ(client.GetNetworkInfo().GetMTU(), 4095);
    const std::string log = capture.Contents();
    EXPECT_NE(log.find("<W >,<004570>,LIB_CONF:{CConfigKPClient::SetParam} orvixclient.dat "
                       "version error(2)\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("<FD>,<001000>,LIB_CONF:{CXMLConfigFile::Load} [E87020000] SetParam error"),
              std::string::npos);
}

TEST_F(KPClientTest, SettersClampAndLog) {
    cfgtest::LogCapture capture;
    CConfigKPClient client;
    auto& network = client.GetNetworkInfo();
    const int values[][2] = {{50, 128}, {9000, 4095}, {1500, 1500}, {128, 128}, {4095, 4095}};
    for (const auto& v : values) {
        network.SetMTU(v[0]);
        EXPECT_EQ(network.GetMTU(), v[1]);
    }
    client.GetTimeInfo().SetKeepalive(15);
    client.GetTimeInfo().SetRetrycount(7);
    const std::string log = capture.Contents();
    EXPECT_NE(log.find("LIB_CONF:{CConfigKPClientNetworkInfo::SetMTU} MTU=9000"),
              std::string::npos);
    EXPECT_NE(log.find("LIB_CONF:{CConfigKPClientTimeInfo::SetKeepalive} keepalive=15"),
              std::string::npos);
    EXPECT_NE(log.find("LIB_CONF:{CConfigKPClientTimeInfo::SetRetrycount} retrycount=7"),
              std::string::npos);
}

} // namespace
