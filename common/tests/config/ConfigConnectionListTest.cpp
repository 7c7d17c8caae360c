// connection.dat: the records, the list operations, order, versions and the password.
#include "TestSupport.h"

#include "common/config/ConfigConnectionList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cfgtest::ConfigTest;

class ConnectionListTest : public ConfigTest {
  protected:
    void SetUp() override {
        ConfigTest::SetUp();
        cfgtest::RegisterStrings();
    }
    void Store(const std::string& xml) {
        cfgtest::WriteFileBytes(tree_->config_path("connection.dat"),
                                cfgtest::ref::EncryptedFile(cfgtest::kConnectionKey, xml));
    }
    std::string StoredXml() {
        const std::string plain = cfgtest::ref::DecryptFile(
            cfgtest::kConnectionKey, cfgtest::ReadFileBytes(tree_->config_path("connection.dat")));
        EXPECT_EQ(plain.compare(0, 44, cfgtest::kDeclaration), 0);
        EXPECT_EQ(plain.back(), '\0');
        return plain.substr(44, plain.size() - 45);
    }
};

const char kFullRecord[] =
    "<connection><name>Home</name><network><layer>HUB</layer><encryption>NonSSL</encryption>"
    "</network><server><broker>b4.example</broker><brokerV6>b6.example</brokerV6></server>"
    "<user><username>alice</username><password>p&amp;ss&lt;w&gt;rd</password>"
    "<keepconnect>OFF</keepconnect><v6conn>ON</v6conn><brokernumber>4294967295</brokernumber>"
    "<servercertcheck>ON</servercertcheck></user></connection>";

TEST_F(ConnectionListTest, LoadsAndWritesEveryElement) {
    Store(std::string("<connections><version>1</version>") + kFullRecord + "</connections>");
    CConfigConnectionList list;
    ASSERT_EQ(list.Load(), 1);
    ASSERT_EQ(list.GetConnectionCount(), 1);
    const CConfigConnectionConInfo& c = *list.GetConnectionItem(0);
    EXPECT_EQ(c.GetName(), u"Home");
    EXPECT_EQ(c.GetLayer(), 1);
    EXPECT_EQ(c.GetEncryption(), 0);
    EXPECT_EQ(c.GetBroker(), u"b4.example");
    EXPECT_EQ(c.GetBrokerV6(), u"b6.example");
    EXPECT_EQ(c.GetUser(), u"alice");
    EXPECT_EQ(c.GetPassword(), u"p&ss<w>rd");
    EXPECT_EQ(c.GetKeepconnect(), 0);
    EXPECT_EQ(c.GetV6Conn(), 1);
    EXPECT_EQ(c.GetBrokerNumber(), 2147483647u); // read as a 32-bit long
    EXPECT_EQ(c.GetServerCertCheck(), 1);
    ASSERT_EQ(list.Save(), 1);
    std::string expected =
        std::string("<connections><version>1</version>") + kFullRecord + "</connections>";
    expected.replace(expected.find("4294967295"), 10, "2147483647");
    EXPECT_EQ(StoredXml(), expected);
}

TEST_F(ConnectionListTest, RecordWithoutUserElementKeepsDefaults) {
    Store("<connections><version>1</version><connection><name>A</name></connection>"
          "</connections>");
    CConfigConnectionList list;
    ASSERT_EQ(list.Load(), 1);
    ASSERT_EQ(list.GetConnectionCount(), 1);
    const auto& c = *list.GetConnectionItem(0);
    EXPECT_EQ(c.GetUser(), u"");
    EXPECT_EQ(c.GetPassword(), u"");
    EXPECT_EQ(c.GetKeepconnect(), 1);
    EXPECT_EQ(c.GetV6Conn(), 0);
    EXPECT_EQ(c.GetServerCertCheck(), 0);
    EXPECT_EQ(c.GetBrokerNumber(), 0u);
    EXPECT_EQ(c.GetLayer(), 2);
    EXPECT_EQ(c.GetEncryption(), 1);
    ASSERT_EQ(list.Save(), 1);
    EXPECT_EQ(StoredXml(),
              "<connections><version>1</version><connection><name>A</name><network><layer>PPP"
              "</layer><encryption>SSL</encryption></network><server><broker/><brokerV6/>"
              "</server><user><username/><password/><keepconnect>ON</keepconnect><v6conn>OFF"
              "</v6conn><brokernumber>0</brokernumber><servercertcheck>OFF</servercertcheck>"
              "</user></connection></connections>");
}

TEST_F(ConnectionListTest, FieldConversions) {
    const struct {
        const char* layer;
        int expectedLayer;
        const char* encryption;
        int expectedEncryption;
        const char* writtenLayer;
    } cases[] = {
        {"PPP", 2, "SSL", 1, "<layer>PPP</layer>"},
        {"ppp", 0, "ssl", 0, "<layer/>"},
        {" HUB ", 1, " SSL", 1, "<layer>HUB</layer>"},
        {"", 2, "", 1, "<layer>PPP</layer>"},
        {"L2", 0, "NonSSL", 0, "<layer/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layer);
        Store(std::string("<connections><connection><network><layer>") + c.layer +
              "</layer><encryption>" + c.encryption +
              "</encryption></network></connection></connections>");
        CConfigConnectionList list;
        ASSERT_EQ(list.Load(), 1);
        ASSERT_EQ(list.GetConnectionCount(), 1);
        EXPECT_EQ(list.GetConnectionItem(0)->GetLayer(), c.expectedLayer);
        EXPECT_EQ(list.GetConnectionItem(0)->GetEncryption(), c.expectedEncryption);
        ASSERT_EQ(list.Save(), 1);
        EXPECT_NE(StoredXml().find(c.writtenLayer), std::string::npos) << StoredXml();
    }
}

TEST_F(ConnectionListTest, OnlyOneIsWrittenAsOn) {
    CConfigConnectionList list;
    CConfigConnectionConInfo* c = list.AddConnectionItem();
    ASSERT_NE(c, nullptr);
    c->SetKeepconnect(2);
    c->SetEncryption(2);
    ASSERT_EQ(list.Save(), 1);
    EXPECT_NE(StoredXml().find("<keepconnect>OFF</keepconnect>"), std::string::npos);
    EXPECT_NE(StoredXml().find("<encryption>NonSSL</encryption>"), std::string::npos);
    CConfigConnectionList copy;
    ASSERT_EQ(copy.Load(), 1);
    EXPECT_EQ(copy.GetConnectionItem(0)->GetKeepconnect(), 0);
}

TEST_F(ConnectionListTest, OtherElementsStayAndConnectionsFollowThem) {
    Store("<connections><version>1</version><connection><name>A</name></connection>"
          "<other>x</other><connection><name>B</name></connection></connections>");
    CConfigConnectionList list;
    ASSERT_EQ(list.Load(), 1);
    ASSERT_EQ(list.GetConnectionCount(), 2);
    EXPECT_EQ(list.GetConnectionItem(0)->GetName(), u"A");
    EXPECT_EQ(list.GetConnectionItem(1)->GetName(), u"B");
    ASSERT_EQ(list.Save(), 1);
    const std::string xml = StoredXml();
    const auto other = xml.find("<other>x</other>");
    const auto a = xml.find("<connection><name>A</name>");
    const auto b = xml.find("<connection><name>B</name>");
    ASSERT_NE(other, std::string::npos);
    EXPECT_LT(other, a);
    EXPECT_LT(a, b);
    EXPECT_NE(b, std::string::npos);
}

TEST_F(ConnectionListTest, ListOperations) {
    cfgtest::LogCapture capture;
    CConfigConnectionList list;
    CConfigConnectionConInfo* records[3];
    for (int i = 0; i < 3; ++i) {
        records[i] = list.AddConnectionItem();
        ASSERT_NE(records[i], nullptr);
        records[i]->SetName(std::u16string(1, static_cast<char16_t>(u'A' + i)));
    }
    EXPECT_EQ(list.GetConnectionCount(), 3);
    EXPECT_EQ(list.GetConnectionItem(-1), nullptr);
    EXPECT_EQ(list.GetConnectionItem(3), nullptr);
    EXPECT_EQ(list.DeleteConnectionItem(records[0]), 1);
    EXPECT_EQ(list.GetConnectionCount(), 2);
    EXPECT_EQ(list.GetConnectionItem(0), records[1]);
    EXPECT_EQ(list.GetConnectionItem(1), records[2]);
    EXPECT_EQ(list.DeleteConnectionItem(records[0]), 0); // no longer in the list
    EXPECT_EQ(list.DeleteConnectionItem(nullptr), 0);
    const std::string log = capture.Contents();
    for (const char* line : {
             "<WD>,<001000>,LIB_CONF:{CConfigConnectionList::GetConnectionItem} index error "
             "listcnt=3 idx=-1\r\n",
             "<WD>,<001000>,LIB_CONF:{CConfigConnectionList::GetConnectionItem} index error "
             "listcnt=3 idx=3\r\n",
             "<ID>,<001000>,LIB_CONF:{CConfigConnectionList::DeleteConnectionItem} delete idx=0",
             "<ID>,<001000>,LIB_CONF:{CConfigConnectionList::GetConnectionItem} idx=1\r\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(ConnectionListTest, EmptyListRoundTrip) {
    CConfigConnectionList list;
    ASSERT_EQ(list.Save(), 1);
    EXPECT_EQ(StoredXml(), "<connections><version>1</version></connections>");
    CConfigConnectionList copy;
    copy.AddConnectionItem();
    ASSERT_EQ(copy.Load(), 1);
    EXPECT_EQ(copy.GetConnectionCount(), 0);
}

TEST_F(ConnectionListTest, FailedLoadsKeepTheRecords) {
    CConfigConnectionList list;
    list.AddConnectionItem()->SetName(u"kept");
    EXPECT_EQ(list.Load(), 0); // no file
    EXPECT_EQ(static_cast<unsigned>(list.GetLastResult()), 0x80070002u);
    Store("<connections><version>2</version><connection><name>new</name></connection>"
          "</connections>");
    EXPECT_EQ(list.Load(), 0);
    EXPECT_EQ(static_cast<unsigned>(list.GetLastResult()), 0x87020000u);
    ASSERT_EQ(list.GetConnectionCount(), 1);
    EXPECT_EQ(list.GetConnectionItem(0)->GetName(), u"kept");
}

TEST_F(ConnectionListTest, ManyRecordsRoundTripInOrder) {
    CConfigConnectionList list;
    for (int i = 0; i < 50; ++i) {
        auto* c = list.AddConnectionItem();
        c->SetName(u"conn " + platform::to_text(std::to_string(i)) + u" \u65e5\u672c");
        c->SetLayer(1 + i % 2); // 0 has no text of its own: it reads back as the default
        c->SetEncryption(i % 2);
        c->SetBroker(u"broker" + platform::to_text(std::to_string(i)));
        c->SetBrokerV6(u"2001:db8::" + platform::to_text(std::to_string(i)));
        c->SetUser(u"user&" + platform::to_text(std::to_string(i)));
        c->SetPassword(u"<pw>" + platform::to_text(std::to_string(i)));
        c->SetKeepconnect(i % 2);
        c->SetV6Conn((i + 1) % 2);
        c->SetServerCertCheck(i % 5 == 0);
        c->SetBrokerNumber(static_cast<std::uint32_t>(i * 1000));
    }
    ASSERT_EQ(list.Save(), 1);
    CConfigConnectionList copy;
    ASSERT_EQ(copy.Load(), 1);
    ASSERT_EQ(copy.GetConnectionCount(), 50);
    for (int i = 0; i < 50; ++i) {
        const auto& a = *list.GetConnectionItem(i);
        const auto& b = *copy.GetConnectionItem(i);
        EXPECT_EQ(a.GetName(), b.GetName());
        EXPECT_EQ(a.GetLayer(), b.GetLayer());
        EXPECT_EQ(a.GetEncryption(), b.GetEncryption());
        EXPECT_EQ(a.GetBroker(), b.GetBroker());
        EXPECT_EQ(a.GetBrokerV6(), b.GetBrokerV6());
        EXPECT_EQ(a.GetUser(), b.GetUser());
        EXPECT_EQ(a.GetPassword(), b.GetPassword());
        EXPECT_EQ(a.GetKeepconnect(), b.GetKeepconnect());
        EXPECT_EQ(a.GetV6Conn(), b.GetV6Conn());
        EXPECT_EQ(a.GetServerCertCheck(), b.GetServerCertCheck());
        EXPECT_EQ(a.GetBrokerNumber(), b.GetBrokerNumber());
    }
}

TEST_F(ConnectionListTest, PasswordsNeverReachTheLog) {
    cfgtest::LogCapture capture;
    CConfigConnectionList list;
    auto* c = list.AddConnectionItem();
    c->SetUser(u"bob");
    c->SetPassword(u"Sup3r-S3cret");
    c->SetBroker(u"broker.example");
    c->SetKeepconnect(0);
    ASSERT_EQ(list.Save(), 1);
    CConfigConnectionList copy;
    ASSERT_EQ(copy.Load(), 1);
    EXPECT_EQ(copy.GetConnectionItem(0)->GetPassword(), u"Sup3r-S3cret");
    const std::string log = capture.Contents();
    EXPECT_EQ(log.find("Sup3r-S3cret"), std::string::npos) << log;
    for (const char* line : {
             "LIB_CONF:{CConfigConnectionConInfo::SetPassword} password=***\r\n",
             "LIB_CONF:{CConfigConnectionConInfo::SetUser} username=bob\r\n",
             "LIB_CONF:{CConfigConnectionConInfo::SetBroker}  broker=broker.example\r\n",
             "LIB_CONF:{CConfigConnectionConInfo::SetKeepconnect} keepconnect=FALSE\r\n",
             "<password>***</password>",
             "<username>bob</username>",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

} // namespace
