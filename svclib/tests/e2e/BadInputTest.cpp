// Bad input: malformed notifications and frames from the service, null out arguments, detached
// connections and objects created alone through their class factory. Never a crash or a hang;
// the results and log lines the library defines.
#include "E2EFixture.h"

namespace {

class ScBadInputTest : public E2ETest {};

TEST_F(ScBadInputTest, MalformedNotificationsAreLoggedAndDropped) {
    StartService();
    Client c = NewClient();
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);
    struct Case {
        const char* notification; // escaped for the control pipe
        const char* logLine;
    };
    const Case cases[] = {
        {"\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} [E87000001]command illigal message"},
        {"CONNECTED\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} [E87000001]argment illigal message"},
        {"CONNECTED\\r\\nnobody\\r\\n1.2.3.4\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} ComConnection same name not found"},
        {"CONNECTED\\r\\nOffice\\r\\n1.2.3.4\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} ComConnection same name not found"},
        {"connected\\r\\noffice\\r\\n1.2.3.4\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} COMMAND Message Unknown"},
        {"INFORMATION\\r\\noffice\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} INFORMATION argment error"},
        {"QUERY\\r\\noffice\\r\\n\\r\\n",
         "LIB_SC:{CKp32ClientSC::ReceiveMessage} QUERY argment error"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.notification);
        ASSERT_TRUE(Notify(test.notification));
        EXPECT_TRUE(LogHas(test.logLine));
    }
    HRESULT hr = platform::S_OK;
    EXPECT_FALSE(TakeEvent(c.events.get(), 200, &hr)) << "nothing was queued";
    EXPECT_EQ(hr, kTimeout);
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_DISCONNECTED) << "the thread goes on";
    auto answer = TakeEvent(c.events.get(), 5000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, SCEVENT_DISCONNECTED);

    // Notifications that are odd but usable.
    struct Usable {
        const char* notification;
        ULONG code;
        bool hasContext;
        const char* context;
        ULONG msgid;
    };
    const Usable usable[] = {
        // Lone CR, lone LF and doubled breaks separate as single ones.
        {"CONNECTED\\roffice\\n\\n2001:db8::5\\r\\r\\n", SCEVENT_CONNECTED, true, "2001:db8::5", 0},
        {"CONNECTED\\r\\noffice\\r\\n\\r\\n", SCEVENT_CONNECTED, true, "", 0},
        {"DISCONNECTED\\r\\noffice\\r\\n\\r\\n", SCEVENT_DISCONNECTED, true, "", 0},
        {"INFORMATION\\r\\noffice\\r\\n1003\\r\\n2001:db8::7\\r\\n\\r\\n", SCEVENT_INFORMATION,
         true, "仮想ネットワークに接続しました。\nIPアドレス : 2001:db8::7", 1003},
        // Five arguments: no text, the id is still recorded.
        {"INFORMATION\\r\\noffice\\r\\n1018\\r\\na\\r\\nb\\r\\nc\\r\\nd\\r\\ne\\r\\n\\r\\n",
         SCEVENT_INFORMATION, false, "", 1018},
        // An id that is not a number is 0, which has no text.
        {"INFORMATION\\r\\noffice\\r\\nabc\\r\\n\\r\\n", SCEVENT_INFORMATION, false, "", 0},
        {"QUERY\\r\\noffice\\r\\n1010\\r\\ni\\r\\ns\\r\\nf\\r\\nu\\r\\n\\r\\n", SCEVENT_QUERY, true,
         nullptr, 1010},
        {"QUERY\\r\\noffice\\r\\n1010\\r\\n1\\r\\n2\\r\\n3\\r\\n4\\r\\n5\\r\\n\\r\\n",
         SCEVENT_QUERY, true, "", 1010},
    };
    for (const Usable& test : usable) {
        SCOPED_TRACE(test.notification);
        ASSERT_TRUE(Notify(test.notification));
        auto event = TakeEvent(c.events.get(), 5000);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->code, test.code);
        EXPECT_EQ(event->hasContext, test.hasContext);
        if (test.context) {
            EXPECT_EQ(event->context, test.context);
        }
        ULONG msgid = 0;
        office->GetLastInformationMsgId(&msgid);
        EXPECT_EQ(msgid, test.msgid) << "message id";
        if (test.code == SCEVENT_QUERY && !test.context) {
            EXPECT_NE(event->context.find("発行者：i"), std::string::npos) << event->context;
        }
    }
    EXPECT_TRUE(LogHas("LIB_SC:{CKp32ClientSC::ReceiveMessage} CONNECTED argment error"));
    EXPECT_TRUE(LogHas("LIB_SC:{CKp32ClientSC::ReceiveMessage} DISCONNECTED argment error"));
    EXPECT_TRUE(LogHas("LIB_SC:{CKp32ClientSC::ReceiveMessage} command = CONNECTED"));

    // A long notification takes the second read with a larger buffer.
    const std::string longName(300, 'x');
    ComPtr<IZa32VUConnection> longOne;
    ASSERT_EQ(c.sc->CreateConnection(Bstr(platform::to_text(longName)).get(), longOne.put()),
              platform::S_OK);
    ASSERT_TRUE(Notify("CONNECTING\\r\\n" + longName + "\\r\\n\\r\\n"));
    auto event = TakeEvent(c.events.get(), 5000);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->code, SCEVENT_CONNECTING);
    EXPECT_EQ(event->iface, static_cast<void*>(longOne.get()));
    EXPECT_TRUE(LogHas("LIB_PIPE:{CNamedPipe::PipeReadFile} insufficint buffer"));
}

TEST_F(ScBadInputTest, AFrameAnnouncingTooMuchEndsTheLink) {
    StartService();
    Client c = NewClient();
    ASSERT_TRUE(ControlUntilOk(u"raw FFFFFFFF"));
    const auto events = TakeUntil(c.events.get(), SCEVENT_SERVICELOST);
    ASSERT_EQ(Codes(events), std::vector<ULONG>{SCEVENT_SERVICELOST});
    auto office = Find(c.sc.get(), u"office");
    EXPECT_EQ(office->Connect(0, platform::VARIANT_FALSE, nullptr), PIPE_E_BROKEN);
}

TEST_F(ScBadInputTest, NullOutArgumentsAreRefused) {
    StartService();
    Client c = NewClient();
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);
    ULONG code = 0;
    LONG_PTR context = 0, iface = 0;
    EXPECT_EQ(c.events->GetEvent(nullptr, &context, &iface, 0), platform::E_POINTER);
    EXPECT_EQ(c.events->GetEvent(&code, nullptr, &iface, 0), platform::E_POINTER);
    EXPECT_EQ(c.events->GetEvent(&code, &context, nullptr, 100), platform::E_POINTER);
    EXPECT_EQ(c.sc->EnumConnections(nullptr), platform::E_POINTER);
    ComPtr<IZa32VUEnumConnections> enumerator;
    ASSERT_EQ(c.sc->EnumConnections(enumerator.put()), platform::S_OK);
    IZa32VUConnection* item = nullptr;
    EXPECT_EQ(enumerator->Next(1, &item, nullptr), platform::E_POINTER);
    ULONG fetched = 7;
    EXPECT_EQ(enumerator->Next(1, nullptr, &fetched), platform::E_POINTER);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(enumerator->Clone(nullptr), platform::E_POINTER);
    EXPECT_EQ(office->get_Name(nullptr), platform::E_POINTER);
    EXPECT_EQ(office->get_Encryption(nullptr), platform::E_POINTER);
    EXPECT_EQ(office->GetUser(nullptr, nullptr), platform::E_POINTER);
    EXPECT_EQ(office->GetIPAddress(nullptr), platform::E_POINTER);
    EXPECT_EQ(office->GetLastInformation(nullptr), platform::E_POINTER);
    EXPECT_EQ(office->GetLastInformationMsgId(nullptr), platform::E_POINTER);
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_DISCONNECTED);
    EXPECT_EQ(office->Connect(5000, platform::VARIANT_FALSE, nullptr), platform::S_OK);
    EXPECT_EQ(c.system->get_ProductName(nullptr), platform::E_POINTER);
    EXPECT_EQ(c.system->GetSCPosition(nullptr), platform::E_POINTER);
    EXPECT_EQ(c.system->GetRetryParameters(nullptr, nullptr), platform::E_POINTER);
    EXPECT_EQ(c.system->GetUpdateInterface(nullptr), platform::E_POINTER);
    EXPECT_EQ(c.sc->RemoveConnection(Bstr(u"office").get(), nullptr), platform::S_OK);
    EXPECT_FALSE(Find(c.sc.get(), u"office"));
}

TEST_F(ScBadInputTest, ObjectsCreatedAloneThroughTheirFactory) {
    ComPtr<platform::IClassFactory> factory;
    ASSERT_EQ(platform::get_class_object(CLSID_Za32VUConnection, platform::IClassFactory::kIid,
                                         factory.put_void()),
              platform::S_OK);
    ComPtr<IZa32VUConnection> connection;
    ASSERT_EQ(factory->CreateInstance(nullptr, IZa32VUConnection::kIid, connection.put_void()),
              platform::S_OK);
    // The log target of the library stays the program's writer; route it into this test's log.
    Client c = NewClient(false);
    Bstr text;
    EXPECT_EQ(connection->get_Name(text.put()), platform::E_OUTOFMEMORY);
    EXPECT_EQ(connection->put_Name(Bstr(u"x").get()), platform::E_OUTOFMEMORY);
    EXPECT_EQ(connection->Save(), platform::E_OUTOFMEMORY);
    EXPECT_EQ(connection->Connect(100, platform::VARIANT_TRUE, text.put()), platform::E_FAIL);
    EXPECT_EQ(connection->Disconnect(100), platform::E_FAIL);
    EXPECT_EQ(connection->Answer(platform::VARIANT_TRUE), platform::E_FAIL);
    EXPECT_EQ(connection->GetStatus(text.put()), SCSTATUS_NONE);
    EXPECT_EQ(connection->GetIPAddress(text.put()), platform::S_FALSE);
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUConnection::put_Name} m_pConInfo NULL"));
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUConnection::Connect} m_pClientSC or m_strName is NULL"));
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUConnection::Initialize} m_pClientSC or m_strName is empty"));

    ComPtr<IZa32VUEnumConnections> enumerator;
    ASSERT_EQ(platform::create_instance(CLSID_Za32VUEnumConnections, nullptr, enumerator),
              platform::S_OK);
    IZa32VUConnection* item = nullptr;
    ULONG fetched = 9;
    EXPECT_EQ(enumerator->Next(3, &item, &fetched), platform::S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(enumerator->Skip(1), platform::S_FALSE);
    ComPtr<IZa32VUEnumConnections> clone;
    EXPECT_EQ(enumerator->Clone(clone.put()), platform::S_OK);

    ComPtr<IZa32VUSystem> system;
    ASSERT_EQ(platform::create_instance(CLSID_Za32VUSystem, nullptr, system), platform::S_OK);
    ULONG mtu = 0;
    EXPECT_EQ(system->get_MTUSize(&mtu), platform::S_OK);
    EXPECT_EQ(system->SaveConfiguration(), platform::E_FAIL);
    EXPECT_EQ(system->Shutdown(), platform::E_FAIL);
    ComPtr<IZa32VUUpdater> inner;
    ASSERT_EQ(system->GetUpdateInterface(inner.put()), platform::S_OK);
    ULONG interval = 0;
    EXPECT_EQ(inner->get_UpdateInterval(&interval), platform::E_FAIL) << "before Initialize";

    ComPtr<IZa32VUUpdater> updater;
    ASSERT_EQ(platform::create_instance(CLSID_Za32VUUpdater, nullptr, updater), platform::S_OK);
    EXPECT_EQ(updater->get_UpdateListUrl(text.put()), platform::E_FAIL);
    EXPECT_EQ(updater->put_UpdateInterval(5), platform::E_FAIL);
    EXPECT_EQ(updater->CheckUpdate(), platform::S_FALSE);
    EXPECT_EQ(updater->Update(), platform::S_FALSE);
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUUpdater::get_UpdateListUrl} m_pSCSystem pointer NULL"));

    ComPtr<IZa32VUEvent> events;
    ASSERT_EQ(platform::create_instance(CLSID_Za32VUEvent, nullptr, events), platform::S_OK);
    ULONG code = 0;
    LONG_PTR context = 0, iface = 0;
    EXPECT_EQ(events->GetEvent(&code, &context, &iface, 0), kTimeout);
    EXPECT_EQ(events->GetEvent(&code, &context, &iface, 50), kTimeout);

    // Aggregated creation answers through the outer unknown; another interface than IUnknown
    // cannot be asked for then.
    ComPtr<platform::IUnknown> inner_unknown;
    EXPECT_EQ(
        factory->CreateInstance(c.sc.get(), IZa32VUConnection::kIid, inner_unknown.put_void()),
        platform::CLASS_E_NOAGGREGATION);
    ComPtr<platform::IClassFactory> none;
    EXPECT_EQ(platform::get_class_object(IID_IKp32ClientSC, platform::IClassFactory::kIid,
                                         none.put_void()),
              platform::REGDB_E_CLASSNOTREG);
}

TEST_F(ScBadInputTest, LoggingSwitchedOffWritesNothing) {
    StartService();
    Client c = NewClient(false);
    ASSERT_EQ(c.sc->SetLogOutObject(0), platform::S_OK);
    EXPECT_EQ(c.sc->Uninitialize(), platform::E_HANDLE);
    EXPECT_EQ(LogText().find("WaitForSingleObject error"), std::string::npos);
    // Initialize skips the log settings without a target.
    EXPECT_EQ(c.sc->Initialize(Bstr(platform::from_path(m_dir)).get()), platform::S_OK);
    EXPECT_EQ(c.sc->SetLogOutObject(reinterpret_cast<LONG_PTR>(&E2EEnvironment::Log())),
              platform::S_OK);
}

} // namespace
