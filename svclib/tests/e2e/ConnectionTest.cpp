// Connections against the service: connecting and disconnecting with and without waits, the
// disconnect reasons, the certificate question, status requests, the list of connections and
// the settings blocks as the service receives them.
#include "E2EFixture.h"

namespace {

class ConnectionTest : public E2ETest {
  protected:
    // A notify window on this thread, as the tray application registers it.
    struct NotifyWindow {
        platform::Window window;
        std::uint32_t message = 0;
        int received = 0;
        std::vector<std::uint32_t> threads;

        explicit NotifyWindow(IZa32VUEvent* events) {
            message = platform::register_window_message(kScaLibraryMessageName);
            window = platform::Window::create([this](platform::WindowHandle, std::uint32_t id,
                                                     std::uintptr_t, std::intptr_t lparam) {
                if (id == message && lparam == kScaLibraryMessageParam) {
                    ++received;
                    threads.push_back(platform::current_thread_id());
                }
                return std::intptr_t(0);
            });
            events->SetNotifyWindow(window.handle(), message, kScaLibraryMessageParam);
        }
        // Dispatches what is queued for this thread now.
        void Pump() {
            platform::Message m;
            while (platform::peek_message(m) == platform::GetMessageResult::Message)
                platform::dispatch_message(m);
        }
        bool PumpUntil(int count) {
            return platform::pump_messages_until([&] { return received >= count; }, 5000ms);
        }
    };
};

TEST_F(ConnectionTest, ConnectAndDisconnectWithoutWaitPostOneMessagePerEvent) {
    StartService();
    Client c = NewClient();
    NotifyWindow notify(c.events.get());
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);

    EXPECT_EQ(office->Connect(0, platform::VARIANT_FALSE, nullptr), platform::S_OK);
    // CONNECTING, INFORMATION 1000, 1001, 1002, CONNECTED.
    ASSERT_TRUE(notify.PumpUntil(5));
    std::vector<TakenEvent> events;
    while (auto e = TakeEvent(c.events.get(), 0))
        events.push_back(*e);
    ASSERT_EQ(Codes(events),
              (std::vector<ULONG>{SCEVENT_CONNECTING, SCEVENT_INFORMATION, SCEVENT_INFORMATION,
                                  SCEVENT_INFORMATION, SCEVENT_CONNECTED}));
    for (const auto& e : events)
        EXPECT_EQ(e.iface, static_cast<void*>(office.get()));
    EXPECT_FALSE(events[0].hasContext);
    EXPECT_EQ(events[1].context, "ブローカサ－バに接続中です。");
    const std::string address = events[4].context;
    EXPECT_EQ(address.rfind("2001:db8:", 0), 0u) << address;
    // The messages were handled on the thread that owns the window.
    for (std::uint32_t thread : notify.threads)
        EXPECT_EQ(thread, platform::current_thread_id());
    // A consumer that has the event sees the status it reports.
    Bstr ip;
    EXPECT_EQ(office->GetIPAddress(ip.put()), platform::S_OK);
    EXPECT_EQ(U8(ip.view()), address);
    ULONG msgid = 0;
    EXPECT_EQ(office->GetLastInformationMsgId(&msgid), platform::S_OK);
    EXPECT_EQ(msgid, 1002u);

    notify.received = 0;
    EXPECT_EQ(office->Disconnect(0), platform::S_OK);
    ASSERT_TRUE(notify.PumpUntil(4)); // DISCONNECTING, INFORMATION 1004, 1005, DISCONNECTED
    events.clear();
    while (auto e = TakeEvent(c.events.get(), 0))
        events.push_back(*e);
    ASSERT_EQ(Codes(events), (std::vector<ULONG>{SCEVENT_DISCONNECTING, SCEVENT_INFORMATION,
                                                 SCEVENT_INFORMATION, SCEVENT_DISCONNECTED}));
    EXPECT_EQ(events[3].context, "NORMAL");
    EXPECT_EQ(office->GetIPAddress(ip.put()), platform::S_FALSE);
    EXPECT_TRUE(ip.is_null());
    Bstr last;
    EXPECT_EQ(office->GetLastInformation(last.put()), platform::S_OK);
    EXPECT_EQ(U8(last.view()), "仮想ネットワークから切断しました。");
}

TEST_F(ConnectionTest, WaitingConnectLeavesTheOtherEventsQueuedWithoutMessages) {
    StartService();
    Client c = NewClient();
    NotifyWindow notify(c.events.get());
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);

    Bstr address;
    ASSERT_EQ(office->Connect(5000, platform::VARIANT_FALSE, address.put()), platform::S_OK);
    EXPECT_EQ(U8(address.view()).rfind("2001:db8:", 0), 0u);
    notify.Pump();
    EXPECT_EQ(notify.received, 0) << "no message during the wait";
    std::vector<TakenEvent> events;
    while (auto e = TakeEvent(c.events.get(), 0))
        events.push_back(*e);
    EXPECT_EQ(Codes(events), (std::vector<ULONG>{SCEVENT_CONNECTING, SCEVENT_INFORMATION,
                                                 SCEVENT_INFORMATION, SCEVENT_INFORMATION}))
        << "Connect took CONNECTED itself";

    ASSERT_EQ(office->Disconnect(5000), platform::S_OK);
    notify.Pump();
    EXPECT_EQ(notify.received, 0);
    events.clear();
    while (auto e = TakeEvent(c.events.get(), 0))
        events.push_back(*e);
    EXPECT_EQ(Codes(events), (std::vector<ULONG>{SCEVENT_DISCONNECTING, SCEVENT_INFORMATION,
                                                 SCEVENT_INFORMATION}));
    Bstr ip;
    EXPECT_EQ(office->GetIPAddress(ip.put()), platform::S_FALSE);

    // After the wait the window is told again.
    EXPECT_EQ(office->Connect(0, platform::VARIANT_FALSE, nullptr), platform::S_OK);
    EXPECT_TRUE(notify.PumpUntil(5));
}

TEST_F(ConnectionTest, DisconnectReasonsOfConnect) {
    StartService();
    Client c = NewClient();
    ComPtr<IZa32VUConnection> ghost; // known to the library only: the service has no profile
    ASSERT_EQ(c.sc->CreateConnection(Bstr(u"ghost").get(), ghost.put()), platform::S_OK);
    struct Case {
        const char16_t* name;
        platform::VARIANT_BOOL force;
        HRESULT expected;
        const char* description;
        const char* logLine;
    };
    const Case cases[] = {
        {u"auth", platform::VARIANT_FALSE, SC_E_AUTH_ERROR, "Authentication error",
         "LIB_SC:{CZa32VUConnection::Connect} [E87000008]DISCONNECTED Context is AUTHERROR"},
        {u"disabled", platform::VARIANT_FALSE, SC_E_DEVICE_DISABLED, "Virtual device is disable",
         "LIB_SC:{CZa32VUConnection::Connect} [E87000007]DISCONNECTED Context is DISABLE"},
        // 1 is not VARIANT_TRUE: no FORCE line, still refused.
        {u"disabled", 1, SC_E_DEVICE_DISABLED, "Virtual device is disable", nullptr},
        {u"ghost", platform::VARIANT_FALSE, SC_E_CONNECT_ERROR, "Connection error",
         "LIB_SC:{CZa32VUConnection::Connect} [E87000009]DISCONNECTED Context is error"},
        {u"disabled", platform::VARIANT_TRUE, platform::S_OK, "", nullptr},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(U8(test.name) + " force " + std::to_string(test.force));
        auto connection = Find(c.sc.get(), test.name);
        ASSERT_TRUE(connection);
        platform::SetErrorInfo(0, nullptr);
        Bstr address;
        EXPECT_EQ(connection->Connect(5000, test.force, address.put()), test.expected);
        const ErrorText error = TakeErrorInfo();
        EXPECT_EQ(error.description, test.description);
        if (platform::failed(test.expected)) {
            EXPECT_EQ(error.source, "ZA32VU.Za32VUConnection.1");
            EXPECT_TRUE(address.is_null());
        } else {
            EXPECT_FALSE(address.view().empty());
        }
        if (test.logLine) {
            EXPECT_TRUE(LogHas(test.logLine));
        }
    }
    const std::string state = StateWith("command CONNECT\\r\\ndisabled\\r\\nFORCE");
    EXPECT_EQ(Count(state, "command CONNECT\\r\\ndisabled\\r\\nFORCE"), 1u) << state;

    // The same through IDispatch: the error comes back in EXCEPINFO.
    auto auth = Find(c.sc.get(), u"auth");
    platform::DISPID connectId = 0;
    platform::OLECHAR name[] = u"connect";
    platform::LPOLESTR names[] = {name};
    ASSERT_EQ(auth->GetIDsOfNames(platform::IID_NULL, names, 1, 0, &connectId), platform::S_OK);
    EXPECT_EQ(connectId, dispid::Za32VUConnection::Connect);
    BSTR out = nullptr;
    platform::VARIANT args[3];
    args[2] = platform::Variant::from_ui4(5000);
    args[1].vt = platform::VT_BOOL;
    args[1].boolVal = platform::VARIANT_FALSE;
    args[0].vt = platform::VT_BYREF | platform::VT_BSTR;
    args[0].pbstrVal = &out;
    platform::DISPPARAMS params{args, nullptr, 3, 0};
    platform::EXCEPINFO excep{};
    EXPECT_EQ(auth->Invoke(connectId, platform::IID_NULL, 0, platform::DISPATCH_METHOD, &params,
                           nullptr, &excep, nullptr),
              platform::DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, SC_E_AUTH_ERROR);
    EXPECT_EQ(U8(platform::bstr_view(excep.bstrDescription)), "Authentication error");
    EXPECT_EQ(U8(platform::bstr_view(excep.bstrSource)), "ZA32VU.Za32VUConnection.1");
    platform::clear_excepinfo(&excep);
    platform::SysFreeString(out);
}

TEST_F(ConnectionTest, CertificateQuestionAnswered) {
    StartService();
    Client c = NewClient();
    auto cert = Find(c.sc.get(), u"cert");
    ASSERT_TRUE(cert);
    for (const bool yes : {true, false}) {
        SCOPED_TRACE(yes ? "YES" : "NO");
        ASSERT_EQ(cert->Connect(0, platform::VARIANT_FALSE, nullptr), platform::S_OK);
        auto events = TakeUntil(c.events.get(), SCEVENT_QUERY);
        ASSERT_FALSE(events.empty());
        ASSERT_EQ(events.back().code, SCEVENT_QUERY);
        const std::string question = events.back().context;
        EXPECT_NE(question.find("【サーバ証明書】"), std::string::npos) << question;
        EXPECT_NE(question.find("発行者：Issuer CA"), std::string::npos) << question;
        EXPECT_NE(question.find("有効期限：2030/12/31"), std::string::npos) << question;
        ULONG msgid = 0;
        cert->GetLastInformationMsgId(&msgid);
        EXPECT_EQ(msgid, 1010u);

        // The service takes an answer once it waits for one.
        for (int i = 0; i < 250 && Control(u"state").find(" asking") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(cert->Answer(yes ? platform::VARIANT_TRUE : platform::VARIANT_FALSE),
                  platform::S_FALSE);
        const ULONG last = yes ? SCEVENT_CONNECTED : SCEVENT_DISCONNECTED;
        events = TakeUntil(c.events.get(), last);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().code, last);
        if (!yes) {
            EXPECT_EQ(events.back().context, "CONNECTERR");
        } else {
            ASSERT_EQ(cert->Disconnect(5000), platform::S_OK);
        }
        while (TakeEvent(c.events.get(), 0)) {
        }
    }
    const std::string state = StateWith("command ANSWER\\r\\ncert\\r\\nNO");
    EXPECT_EQ(Count(state, "command ANSWER\\r\\ncert\\r\\nYES"), 1u) << state;
    EXPECT_EQ(Count(state, "command ANSWER\\r\\ncert\\r\\nNO"), 1u) << state;
}

TEST_F(ConnectionTest, GetStatusAnsweredAndUnanswered) {
    StartService();
    Client c = NewClient();
    auto office = Find(c.sc.get(), u"office");
    auto silent = Find(c.sc.get(), u"silent");
    ASSERT_TRUE(office && silent);

    Bstr info;
    EXPECT_EQ(office->GetStatus(info.put()), SCSTATUS_DISCONNECTED);
    EXPECT_TRUE(info.is_null());
    // The answer was queued for the application as well.
    auto answer = TakeEvent(c.events.get(), 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, SCEVENT_DISCONNECTED);
    EXPECT_EQ(answer->context, "NORMAL");
    // A reported status is trusted: no further request.
    EXPECT_EQ(office->GetStatus(info.put()), SCSTATUS_DISCONNECTED);
    ASSERT_EQ(office->Connect(5000, platform::VARIANT_FALSE, nullptr), platform::S_OK);
    EXPECT_EQ(office->GetStatus(info.put()), SCSTATUS_CONNECTED);
    EXPECT_EQ(U8(info.view()).rfind("2001:db8:", 0), 0u);

    EXPECT_EQ(silent->GetStatus(info.put()), SCSTATUS_NOANSWER);
    EXPECT_EQ(silent->GetStatus(info.put()), SCSTATUS_NOANSWER) << "asked again";
    const std::string state = StateWith("command STATUS\\r\\nsilent\ncommand STATUS\\r\\nsilent\n");
    EXPECT_EQ(Count(state, "command STATUS\\r\\noffice\n"), 1u) << state;
    EXPECT_EQ(Count(state, "command STATUS\\r\\nsilent\n"), 2u) << state;
}

TEST_F(ConnectionTest, CreateRenameRemoveAndReloadConnections) {
    StartService();
    Client c = NewClient();
    ComPtr<IZa32VUConnection> fresh;
    ASSERT_EQ(c.sc->CreateConnection(Bstr(u"home").get(), fresh.put()), platform::S_OK);
    ASSERT_TRUE(fresh);

    platform::SetErrorInfo(0, nullptr);
    ComPtr<IZa32VUConnection> twice;
    EXPECT_EQ(c.sc->CreateConnection(Bstr(u"home").get(), twice.put()), SC_E_DUPLICATE_NAME);
    EXPECT_FALSE(twice);
    EXPECT_EQ(TakeErrorInfo().description, "Duplicate connection name");
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUEnumConnections::AddNewConnection} Same Name"));
    ComPtr<IZa32VUConnection> otherCase;
    EXPECT_EQ(c.sc->CreateConnection(Bstr(u"Home").get(), otherCase.put()), platform::S_OK);
    // Without an out argument the new object is released at once; it stays in the list.
    EXPECT_EQ(c.sc->CreateConnection(Bstr(u"spare").get(), nullptr), platform::S_OK);
    EXPECT_TRUE(Find(c.sc.get(), u"spare"));

    // Renaming onto another name fails and leaves both names.
    EXPECT_EQ(fresh->put_Name(Bstr(u"office").get()), SC_E_DUPLICATE_NAME);
    EXPECT_EQ(TakeErrorInfo().source, "ZA32VU.Za32VUConnection.1");
    Bstr name;
    fresh->get_Name(name.put());
    EXPECT_EQ(name.view(), u"home");
    EXPECT_TRUE(Find(c.sc.get(), u"office"));
    EXPECT_EQ(fresh->put_Name(Bstr(u"home").get()), platform::S_OK) << "its own name";
    EXPECT_EQ(fresh->put_Name(Bstr(u"cottage").get()), platform::S_OK);
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUConnection::put_Name} Connection Name = cottage"));

    // Saved: the service learns the profile and stores it.
    ASSERT_EQ(fresh->SetUser(Bstr(u"cottage@example.jp").get(), Bstr(u"pw1").get()),
              platform::S_OK);
    ASSERT_EQ(fresh->Save(), platform::S_OK);
    ASSERT_EQ(fresh->Connect(5000, platform::VARIANT_FALSE, nullptr), platform::S_OK);

    // Removing: unknown names fail, known ones come back detached.
    platform::SetErrorInfo(0, nullptr);
    ComPtr<IZa32VUConnection> removed;
    EXPECT_EQ(c.sc->RemoveConnection(Bstr(u"nowhere").get(), removed.put()), SC_E_NO_SUCH_NAME);
    EXPECT_EQ(TakeErrorInfo().description, "No such connection name");
    ASSERT_EQ(c.sc->RemoveConnection(Bstr(u"cottage").get(), removed.put()), platform::S_OK);
    ASSERT_TRUE(removed);
    EXPECT_FALSE(Find(c.sc.get(), u"cottage"));
    EXPECT_EQ(removed->get_BrokerUrl(name.put()), platform::E_OUTOFMEMORY);
    EXPECT_EQ(removed->Save(), platform::E_OUTOFMEMORY);
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUConnection::get_BrokerUrl} m_pConInfo NULL"));
    // A detached object still sends its commands under its name, but the answers are no longer
    // dispatched to it.
    EXPECT_EQ(removed->Disconnect(300), kTimeout);
    EXPECT_TRUE(LogHas("LIB_SC:{CKp32ClientSC::ReceiveMessage} ComConnection same name not found"));
    EXPECT_NE(StateWith("command DISCONNECT\\r\\ncottage").find("command DISCONNECT\\r\\ncottage"),
              std::string::npos);

    // Reload from connection.dat, which the service rewrote with the saved profile: the list is
    // new, the objects held from before are detached.
    auto office = Find(c.sc.get(), u"office");
    ASSERT_EQ(c.sc->ResetConnectionConfig(), platform::S_OK);
    EXPECT_TRUE(Find(c.sc.get(), u"cottage")) << "stored by the service";
    EXPECT_FALSE(Find(c.sc.get(), u"home")) << "never saved";
    EXPECT_EQ(office->get_Name(name.put()), platform::E_OUTOFMEMORY);
    auto reloaded = Find(c.sc.get(), u"office");
    ASSERT_TRUE(reloaded);
    EXPECT_NE(reloaded.get(), office.get());
    EXPECT_EQ(c.sc->SaveConnectionConfig(), platform::S_OK);
}

TEST_F(ConnectionTest, SettingsBlocksAsTheServiceReceivesThem) {
    StartService();
    Client c = NewClient();
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);
    ASSERT_EQ(office->SetUser(Bstr(u"taro@example.jp").get(), Bstr(u"p@ss\u79d8").get()),
              platform::S_OK);
    ASSERT_EQ(office->put_KeepConnect(platform::VARIANT_FALSE), platform::S_OK);
    ASSERT_EQ(office->put_V6Conn(platform::VARIANT_TRUE), platform::S_OK);
    ASSERT_EQ(office->put_ServerCertCheck(1), platform::S_OK); // not VARIANT_TRUE: off
    ASSERT_EQ(office->put_BrokerNumber(3), platform::S_OK);
    ASSERT_EQ(office->Save(), platform::S_OK);

    ASSERT_EQ(c.system->put_LocalProxyHost(Bstr(u"proxy.example").get()), platform::S_OK);
    ASSERT_EQ(c.system->put_LocalProxyPort(8080), platform::S_OK);
    ASSERT_EQ(c.system->put_UseProxyAuth(platform::VARIANT_TRUE), platform::S_OK);
    ASSERT_EQ(c.system->put_LocalProxyUser(Bstr(u"pu").get()), platform::S_OK);
    ASSERT_EQ(c.system->put_LocalProxyPassword(Bstr(u"ppw").get()), platform::S_OK);
    ASSERT_EQ(c.system->put_ConnSelect(2), platform::S_OK);
    ASSERT_EQ(c.system->put_DontShowWelcome(1), platform::S_OK);
    ASSERT_EQ(c.system->SetSCPosition(tagPOINT{10, 20}), platform::S_OK);
    ASSERT_EQ(c.system->SaveConfiguration(), platform::S_OK);
    EXPECT_EQ(c.system->Shutdown(), platform::S_FALSE);

    // The service has stored both blocks once it has handled the SHUTDOWN sent after them.
    const std::string state = StateWith("command SHUTDOWN");
    EXPECT_NE(state.find("command SETCONFCONN\\r\\noffice\\r\\ntaro@example.jp\\r\\n"),
              std::string::npos)
        << state;
    EXPECT_NE(state.find("OFF\\r\\nON\\r\\nOFF\\r\\n3\n"), std::string::npos) << state;
    EXPECT_NE(state.find("command SETCONFUSER\\r\\n10\\r\\n20\\r\\n2\\r\\nproxy.example\\r\\n8080"
                         "\\r\\nON\\r\\npu\\r\\n"),
              std::string::npos)
        << state;
    EXPECT_NE(state.find("command SHUTDOWN\\r\\ndummy\n"), std::string::npos) << state;

    CConfigFile::SetConfigFolder(platform::from_path(m_dir));
    CConfigConnectionList list;
    ASSERT_EQ(list.Load(), 1);
    const CConfigConnectionConInfo* stored = nullptr;
    for (int i = 0; i < list.GetConnectionCount(); ++i)
        if (list.GetConnectionItem(i)->GetName() == u"office")
            stored = list.GetConnectionItem(i);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->GetUser(), u"taro@example.jp");
    EXPECT_EQ(stored->GetPassword(), u"p@ss\u79d8");
    EXPECT_EQ(stored->GetKeepconnect(), 0);
    EXPECT_EQ(stored->GetV6Conn(), 1);
    EXPECT_EQ(stored->GetServerCertCheck(), 0);
    EXPECT_EQ(stored->GetBrokerNumber(), 3u);
    CConfigUser user;
    ASSERT_EQ(user.Load(), 1);
    EXPECT_EQ(user.GetProxyInfo().GetProxyHost(), u"proxy.example");
    EXPECT_EQ(user.GetProxyInfo().GetProxyPort(), 8080);
    EXPECT_EQ(user.GetProxyInfo().GetProxyPassword(), u"ppw");
    EXPECT_EQ(user.GetSCInfo().GetX(), 10);
    EXPECT_EQ(user.GetSCInfo().GetDontShowWelcome(), 1);
}

} // namespace
