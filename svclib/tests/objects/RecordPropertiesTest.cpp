// The properties that the connection and settings objects keep in their configuration records:
// every getter and setter, their conversions (texts, automation booleans, numbers, the "no
// position" value), missing out arguments, and a connection detached from its record.
#include "ObjectsFixture.h"

#include "common/LogOutput.h"
#include "platform/fs.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>

namespace {

using platform::BSTR;
using platform::USHORT;
using platform::VARIANT_BOOL;
using platform::VARIANT_FALSE;
using platform::VARIANT_TRUE;

class RecordPropertiesTest : public ObjectsTest {
  protected:
    // The library's lines go to a log file of this test's tree.
    void SetUp() override {
        ObjectsTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(m_log.SetLogPathName(u"objects.log"), 1);
        m_log.SetDebugLevel(0);
        m_log.SetDebugLogOut(1);
        m_log.SetDebugCategory(LOGCAT_APP);
        ASSERT_EQ(m_client->SetLogOutObject(reinterpret_cast<platform::LONG_PTR>(&m_log)),
                  platform::S_OK);
    }
    void TearDown() override {
        if (m_client)
            m_client->SetLogOutObject(0);
        CConfigFile::SetLogOutput(nullptr);
        ObjectsTest::TearDown();
    }

    // The log file as UTF-8.
    std::string LogText() const {
        std::ifstream in(platform::known_folder(platform::KnownFolder::CommonDocuments) / "Orvix" /
                             "objects.log",
                         std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        return platform::to_utf8(platform::utf16le_to_text(bytes));
    }

    CLogOutput m_log;
};

// ---- Property tables --------------------------------------------------------------------------

// A get/put pair of an interface.
template <typename Interface, typename Value> struct Property {
    const char* name;
    HRESULT (Interface::*get)(Value*);
    HRESULT (Interface::*put)(Value);
};

// Every value written reads back; an empty text reads as an empty string, or as null for the
// properties `nullWhenEmpty` names; a getter without an out argument fails.
template <typename Interface>
void ExpectTextsRoundTrip(Interface* object, std::span<const Property<Interface, BSTR>> properties,
                          std::initializer_list<HRESULT (Interface::*)(BSTR*)> nullWhenEmpty = {}) {
    for (const auto& p : properties) {
        SCOPED_TRACE(p.name);
        for (const char16_t* stored : {u"branch-1", u""}) {
            Bstr value;
            ASSERT_EQ((object->*p.put)(Bstr(stored).get()), platform::S_OK);
            EXPECT_EQ((object->*p.get)(value.put()), platform::S_OK);
            EXPECT_EQ(value.view(), stored);
            const bool isNull =
                *stored == u'\0' &&
                std::find(nullWhenEmpty.begin(), nullWhenEmpty.end(), p.get) != nullWhenEmpty.end();
            EXPECT_EQ(value.is_null(), isNull) << "empty: " << (*stored == u'\0');
        }
        EXPECT_EQ((object->*p.get)(nullptr), platform::E_POINTER);
    }
}

template <typename Interface, typename Number>
void ExpectNumbersRoundTrip(Interface* object,
                            std::span<const Property<Interface, Number>> properties,
                            std::initializer_list<Number> values) {
    for (const auto& p : properties) {
        SCOPED_TRACE(p.name);
        for (const Number stored : values) {
            Number value = 123;
            ASSERT_EQ((object->*p.put)(stored), platform::S_OK);
            EXPECT_EQ((object->*p.get)(&value), platform::S_OK);
            EXPECT_EQ(value, stored);
        }
        EXPECT_EQ((object->*p.get)(nullptr), platform::E_POINTER);
    }
}

// Only VARIANT_TRUE switches a flag on.
template <typename Interface>
void ExpectFlagsRoundTrip(Interface* object,
                          std::span<const Property<Interface, VARIANT_BOOL>> properties) {
    for (const auto& p : properties) {
        SCOPED_TRACE(p.name);
        for (const VARIANT_BOOL stored :
             {VARIANT_TRUE, VARIANT_BOOL{1}, VARIANT_TRUE, VARIANT_FALSE, VARIANT_BOOL{-2}}) {
            VARIANT_BOOL value = 7;
            ASSERT_EQ((object->*p.put)(stored), platform::S_OK);
            EXPECT_EQ((object->*p.get)(&value), platform::S_OK);
            EXPECT_EQ(value, stored == VARIANT_TRUE ? VARIANT_TRUE : VARIANT_FALSE)
                << "put " << stored;
        }
        EXPECT_EQ((object->*p.get)(nullptr), platform::E_POINTER);
    }
}

// ---- Connection -------------------------------------------------------------------------------

using IConnection = IZa32VUConnection;

TEST_F(RecordPropertiesTest, ConnectionPropertiesRoundTrip) {
    auto office = Connection(u"office");
    ASSERT_TRUE(office);
    // The name first: an empty name is not a connection's name.
    Bstr name;
    ASSERT_EQ(office->put_Name(Bstr(u"branch").get()), platform::S_OK);
    EXPECT_EQ(office->get_Name(name.put()), platform::S_OK);
    EXPECT_EQ(name.view(), u"branch");
    EXPECT_EQ(office->get_Name(nullptr), platform::E_POINTER);

    const Property<IConnection, BSTR> texts[] = {
        {"BrokerUrl", &IConnection::get_BrokerUrl, &IConnection::put_BrokerUrl},
        {"BrokerUrlV6", &IConnection::get_BrokerUrlV6, &IConnection::put_BrokerUrlV6},
        {"UserName", &IConnection::get_UserName, &IConnection::put_UserName},
    };
    ExpectTextsRoundTrip<IConnection>(office.get(), texts, {&IConnection::get_UserName});
    const Property<IConnection, ULONG> numbers[] = {
        {"NetworkLayer", &IConnection::get_NetworkLayer, &IConnection::put_NetworkLayer},
        {"BrokerNumber", &IConnection::get_BrokerNumber, &IConnection::put_BrokerNumber},
    };
    ExpectNumbersRoundTrip<IConnection, ULONG>(office.get(), numbers, {0, 7, 0xFFFFFFFF});
    const Property<IConnection, VARIANT_BOOL> flags[] = {
        {"Encryption", &IConnection::get_Encryption, &IConnection::put_Encryption},
        {"KeepConnect", &IConnection::get_KeepConnect, &IConnection::put_KeepConnect},
        {"ServerCertCheck", &IConnection::get_ServerCertCheck, &IConnection::put_ServerCertCheck},
        {"V6Conn", &IConnection::get_V6Conn, &IConnection::put_V6Conn},
    };
    ExpectFlagsRoundTrip<IConnection>(office.get(), flags);
}

TEST_F(RecordPropertiesTest, ConnectionUserAndPassword) {
    auto office = Connection(u"office");
    ASSERT_TRUE(office);
    const struct {
        const char16_t* user;
        const char16_t* password;
    } cases[] = {{u"someone", u"secret"}, {u"someone", u""}, {u"", u"secret"}, {u"", u""}};
    for (const auto& test : cases) {
        SCOPED_TRACE(platform::to_utf8(Text(test.user) + u"/" + test.password));
        ASSERT_EQ(office->SetUser(Bstr(test.user).get(), Bstr(test.password).get()),
                  platform::S_OK);
        BSTR user = nullptr;
        BSTR password = nullptr;
        ASSERT_EQ(office->GetUser(&user, &password), platform::S_OK);
        const Bstr ownedUser = Bstr::attach(user);
        const Bstr ownedPassword = Bstr::attach(password);
        EXPECT_EQ(ownedUser.is_null(), Text(test.user).empty());
        EXPECT_EQ(ownedUser.view(), test.user);
        EXPECT_EQ(ownedPassword.is_null(), Text(test.password).empty());
        EXPECT_EQ(ownedPassword.view(), test.password);
    }
    // The password alone.
    ASSERT_EQ(office->put_Password(Bstr(u"changed").get()), platform::S_OK);
    Bstr user;
    Bstr password;
    ASSERT_EQ(office->GetUser(user.put(), password.put()), platform::S_OK);
    EXPECT_EQ(password.view(), u"changed");
    EXPECT_EQ(office->GetUser(user.put(), nullptr), platform::E_POINTER);
    EXPECT_TRUE(user.is_null()) << "set to null before the pointer check";
}

TEST_F(RecordPropertiesTest, DetachedConnectionAnswersOutOfMemoryAndLogsTheMember) {
    ComPtr<IZa32VUConnection> removed;
    ASSERT_EQ(m_client->RemoveConnection(Bstr(u"office").get(), removed.put()), platform::S_OK);
    ASSERT_TRUE(removed);
    IConnection* c = removed.get();
    Bstr text;
    ULONG number = 0;
    VARIANT_BOOL flag = 0;
    Bstr in(u"value");
    const struct {
        const char* member;
        std::function<HRESULT()> call;
    } cases[] = {
        {"get_Name", [&] { return c->get_Name(text.put()); }},
        {"put_Name", [&] { return c->put_Name(in.get()); }},
        {"get_BrokerUrl", [&] { return c->get_BrokerUrl(text.put()); }},
        {"put_BrokerUrl", [&] { return c->put_BrokerUrl(in.get()); }},
        {"get_NetworkLayer", [&] { return c->get_NetworkLayer(&number); }},
        {"put_NetworkLayer", [&] { return c->put_NetworkLayer(2); }},
        {"get_Encryption", [&] { return c->get_Encryption(&flag); }},
        {"put_Encryption", [&] { return c->put_Encryption(VARIANT_TRUE); }},
        {"SetUser", [&] { return c->SetUser(in.get(), in.get()); }},
        {"GetUser",
         [&] {
             Bstr password;
             return c->GetUser(text.put(), password.put());
         }},
        {"get_KeepConnect", [&] { return c->get_KeepConnect(&flag); }},
        {"put_KeepConnect", [&] { return c->put_KeepConnect(VARIANT_TRUE); }},
        {"get_UserName", [&] { return c->get_UserName(text.put()); }},
        {"put_UserName", [&] { return c->put_UserName(in.get()); }},
        {"put_Password", [&] { return c->put_Password(in.get()); }},
        {"Save", [&] { return c->Save(); }},
        {"get_ServerCertCheck", [&] { return c->get_ServerCertCheck(&flag); }},
        {"put_ServerCertCheck", [&] { return c->put_ServerCertCheck(VARIANT_TRUE); }},
        {"get_V6Conn", [&] { return c->get_V6Conn(&flag); }},
        {"put_V6Conn", [&] { return c->put_V6Conn(VARIANT_TRUE); }},
        {"get_BrokerUrlV6", [&] { return c->get_BrokerUrlV6(text.put()); }},
        {"put_BrokerUrlV6", [&] { return c->put_BrokerUrlV6(in.get()); }},
        {"get_BrokerNumber", [&] { return c->get_BrokerNumber(&number); }},
        {"put_BrokerNumber", [&] { return c->put_BrokerNumber(3); }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.member);
        EXPECT_EQ(test.call(), platform::E_OUTOFMEMORY);
        EXPECT_NE(LogText().find(std::string("LIB_SC:{CZa32VUConnection::") + test.member +
                                 "} m_pConInfo NULL"),
                  std::string::npos);
    }
    // Without a record also before the out argument is looked at.
    EXPECT_EQ(c->get_BrokerNumber(nullptr), platform::E_OUTOFMEMORY);
}

// ---- Settings ---------------------------------------------------------------------------------

using ISystem = IZa32VUSystem;

TEST_F(RecordPropertiesTest, SystemPropertiesRoundTrip) {
    ISystem* s = m_system.get();
    const Property<ISystem, ULONG> numbers[] = {
        {"MTUSize", &ISystem::get_MTUSize, &ISystem::put_MTUSize},
        {"KeepAlive", &ISystem::get_KeepAlive, &ISystem::put_KeepAlive},
        {"RetryInterval", &ISystem::get_RetryInterval, &ISystem::put_RetryInterval},
        {"RetryCount", &ISystem::get_RetryCount, &ISystem::put_RetryCount},
        {"LogLevel", &ISystem::get_LogLevel, &ISystem::put_LogLevel},
        {"SCPosX", &ISystem::get_SCPosX, &ISystem::put_SCPosX},
        {"SCPosY", &ISystem::get_SCPosY, &ISystem::put_SCPosY},
        {"DontShowWelcome", &ISystem::get_DontShowWelcome, &ISystem::put_DontShowWelcome},
        {"ConnSelect", &ISystem::get_ConnSelect, &ISystem::put_ConnSelect},
    };
    // Values within the MTU's range.
    ExpectNumbersRoundTrip<ISystem, ULONG>(s, numbers, {1280, 128});
    const Property<ISystem, USHORT> ports[] = {
        {"LocalProxyPort", &ISystem::get_LocalProxyPort, &ISystem::put_LocalProxyPort},
    };
    ExpectNumbersRoundTrip<ISystem, USHORT>(s, ports, {8080, 0xFFFF});
    const Property<ISystem, BSTR> texts[] = {
        {"LogFileName", &ISystem::get_LogFileName, &ISystem::put_LogFileName},
        {"LocalProxyHost", &ISystem::get_LocalProxyHost, &ISystem::put_LocalProxyHost},
        {"LocalProxyUser", &ISystem::get_LocalProxyUser, &ISystem::put_LocalProxyUser},
        {"LocalProxyPassword", &ISystem::get_LocalProxyPassword, &ISystem::put_LocalProxyPassword},
    };
    ExpectTextsRoundTrip<ISystem>(s, texts);
    const Property<ISystem, VARIANT_BOOL> flags[] = {
        {"Log", &ISystem::get_Log, &ISystem::put_Log},
        {"UseProxyAuth", &ISystem::get_UseProxyAuth, &ISystem::put_UseProxyAuth},
        {"StartupSetting", &ISystem::get_StartupSetting, &ISystem::put_StartupSetting},
    };
    ExpectFlagsRoundTrip<ISystem>(s, flags);
}

TEST_F(RecordPropertiesTest, SystemReadOnlyTextsAndPositions) {
    ISystem* s = m_system.get();
    // Texts of the installation: a new string each, also when empty; the control servers null
    // when empty.
    const struct {
        const char* name;
        HRESULT (ISystem::*get)(BSTR*);
        const char16_t* expected;
        bool isNull;
    } texts[] = {
        {"ProductName", &ISystem::get_ProductName, u"Orvix", false},
        {"ProductVersion", &ISystem::get_ProductVersion, u"", false},
        {"ServiceName", &ISystem::get_ServiceName, u"", false},
        {"UninstallerName", &ISystem::get_UninstallerName, u"", false},
        {"DriverName", &ISystem::get_DriverName, u"", false},
        {"InfFileName", &ISystem::get_InfFileName, u"", false},
        {"NetworkName", &ISystem::get_NetworkName, u"", false},
        {"Hardwareid", &ISystem::get_Hardwareid, u"", false},
        {"RegistryName", &ISystem::get_RegistryName, u"", false},
        {"InstallFolderName", &ISystem::get_InstallFolderName, u"", false},
        {"EnvCheckToolURL", &ISystem::get_EnvCheckToolURL,
         CConfigKPClientServerInfo::kDefaultEnvCheckTool, false},
        {"CtrlServer", &ISystem::get_CtrlServer, u"ctrl.orvix.example", false},
        {"CtrlServerV6", &ISystem::get_CtrlServerV6, u"", true},
    };
    for (const auto& p : texts) {
        SCOPED_TRACE(p.name);
        Bstr value;
        EXPECT_EQ((s->*p.get)(value.put()), platform::S_OK);
        EXPECT_EQ(value.is_null(), p.isNull);
        EXPECT_EQ(value.view(), p.expected);
        EXPECT_EQ((s->*p.get)(nullptr), platform::E_POINTER);
    }

    // Each coordinate on its own: without a stored value S_FALSE and the output untouched.
    ULONG x = 77;
    ULONG y = 77;
    ASSERT_EQ(s->put_SCPosX(5), platform::S_OK);
    EXPECT_EQ(s->get_SCPosX(&x), platform::S_OK);
    EXPECT_EQ(x, 5u);
    EXPECT_EQ(s->get_SCPosY(&y), platform::S_FALSE);
    EXPECT_EQ(y, 77u);
    ASSERT_EQ(s->put_SCPosX(CConfigUserSCInfo::kNoPosition), platform::S_OK);
    EXPECT_EQ(s->get_SCPosX(&x), platform::S_FALSE);
    EXPECT_EQ(x, 5u);

    // The paired members.
    ULONG interval = 0;
    ULONG count = 0;
    ASSERT_EQ(s->SetRetryParameters(120, 4), platform::S_OK);
    EXPECT_EQ(s->GetRetryParameters(&interval, &count), platform::S_OK);
    EXPECT_EQ(interval, 120u);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(s->GetRetryParameters(&interval, nullptr), platform::E_POINTER);
    Bstr file;
    ULONG level = 0;
    ASSERT_EQ(s->SetLogInformation(Bstr(u"C:\\logs\\orvix.log").get(), 2), platform::S_OK);
    EXPECT_EQ(s->GetLogInformation(file.put(), &level), platform::S_OK);
    EXPECT_EQ(file.view(), u"C:\\logs\\orvix.log");
    EXPECT_EQ(level, 2u);
    EXPECT_EQ(s->GetLogInformation(nullptr, &level), platform::E_POINTER);
}

} // namespace
