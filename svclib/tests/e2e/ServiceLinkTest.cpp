// The link to the service: registration, ConnectService and its failures, the service killed and
// restarted, a second client, Uninitialize and the release of a linked client.
#include "E2EFixture.h"

#include "platform/registry.h"

namespace {

using platform::RegistryRoot;

std::optional<Text> ReadKey(const Text& path, const Text& name = u"") {
    return platform::registry_read_string(RegistryRoot::ClassesRoot, path, name);
}

TEST(RegistrationTest, InstallerToolWritesAndRemovesTheEntries) {
    // Registered by the environment with orvixregsvr; check, remove, register again.
    const Text clsid = platform::to_text(CLSID_Kp32ClientSC);
    const Text libraryPath = platform::from_path(std::filesystem::canonical(ORVIX_SC_LIBRARY));
    for (int round = 0; round < 2; ++round) {
        for (const Za32vuClassInfo& info : kZa32vuClasses) {
            const Text key = u"CLSID\\" + platform::to_text(*info.clsid);
            EXPECT_EQ(ReadKey(key), Text(info.description));
            EXPECT_EQ(ReadKey(key + u"\\InprocServer32"), libraryPath);
            EXPECT_EQ(ReadKey(key + u"\\InprocServer32", u"ThreadingModel"),
                      Text(info.threading_model));
            EXPECT_EQ(ReadKey(key + u"\\ProgID"), Text(info.prog_id));
            EXPECT_EQ(ReadKey(key + u"\\VersionIndependentProgID"),
                      Text(info.version_independent_prog_id));
            EXPECT_EQ(ReadKey(key + u"\\Programmable"), Text());
            EXPECT_EQ(ReadKey(key + u"\\TypeLib"), platform::to_text(LIBID_ZA32VULib));
            EXPECT_EQ(ReadKey(Text(info.prog_id) + u"\\CLSID"), platform::to_text(*info.clsid));
            EXPECT_EQ(ReadKey(Text(info.version_independent_prog_id) + u"\\CurVer"),
                      Text(info.prog_id));
        }
        EXPECT_EQ(ReadKey(u"AppID\\" + platform::to_text(APPID_za32vu)), Text(u"za32vu"));
        EXPECT_EQ(ReadKey(u"AppID\\za32vu.DLL", u"AppID"), platform::to_text(APPID_za32vu));
        EXPECT_EQ(ReadKey(u"TypeLib\\" + platform::to_text(LIBID_ZA32VULib) + u"\\1.0"),
                  Text(kZa32vuTypeLibHelp));
        if (round == 1)
            break;

        ASSERT_EQ(E2EEnvironment::RunRegsvr({u"/u"}), 0);
        EXPECT_FALSE(ReadKey(u"CLSID\\" + clsid));
        EXPECT_FALSE(ReadKey(u"ZA32VU.Kp32ClientSC.1"));
        EXPECT_FALSE(ReadKey(u"AppID\\za32vu.DLL", u"AppID"));
        platform::RegistryKey key;
        EXPECT_EQ(platform::RegistryKey::root(RegistryRoot::ClassesRoot).open(u"CLSID", key), 0u)
            << "the CLSID key stays";
        EXPECT_EQ(platform::RegistryKey::root(RegistryRoot::ClassesRoot).open(u"AppID", key), 0u);
        ComPtr<IKp32ClientSC> none;
        EXPECT_EQ(platform::create_instance(CLSID_Kp32ClientSC, nullptr, none),
                  platform::REGDB_E_CLASSNOTREG);
        ASSERT_EQ(E2EEnvironment::RunRegsvr({}), 0);
    }
}

TEST(RegistrationTest, ToolReportsALibraryThatDoesNotLoad) {
    platform::StartOptions start;
    start.program = ORVIX_REGSVR_PROGRAM;
    start.arguments = {u"/s", u"/nonexistent/orvixsc.so"};
    platform::Process process;
    ASSERT_EQ(platform::start_process(start, &process), 0u);
    ASSERT_TRUE(process.wait(30000ms));
    EXPECT_EQ(process.exit_code(), 1);
}

class ServiceLinkTest : public E2ETest {};

TEST_F(ServiceLinkTest, ConnectServiceWithoutServiceReportsServiceStopped) {
    Client c = NewClient(false);
    ASSERT_TRUE(c.sc);
    platform::SetErrorInfo(0, nullptr);
    EXPECT_EQ(c.sc->ConnectService(), SC_E_SERVICE_STOPPED);
    const ErrorText error = TakeErrorInfo();
    EXPECT_EQ(error.description, "KP service is stopped");
    EXPECT_EQ(error.source, "ZA32VU.Kp32ClientSC.1");
    EXPECT_TRUE(LogHas("LIB_SC:{CKp32ClientSC::ConnectService} [W87000006]Send Pipe Name = "
                       "\\\\.\\pipe\\" +
                       U8(m_toService) + " is error"));
    // Nothing of the failed attempt stays open: a later attempt with the service running works.
    StartService();
    EXPECT_EQ(c.sc->ConnectService(), platform::S_OK);
}

TEST_F(ServiceLinkTest, SecondClientWhileTheFirstHoldsTheServiceTimesOut) {
    StartService(300);
    Client first = NewClient();
    Client second = NewClient(false);
    ASSERT_TRUE(second.sc);
    EXPECT_EQ(second.sc->ConnectService(), kTimeout);
    // Once the first has left, the second is served.
    EXPECT_EQ(first.sc->Uninitialize(), platform::S_OK);
    EXPECT_EQ(second.sc->ConnectService(), platform::S_OK);
    auto office = Find(second.sc.get(), u"office");
    ASSERT_TRUE(office);
    Bstr address;
    EXPECT_EQ(office->GetStatus(address.put()), SCSTATUS_DISCONNECTED);
}

TEST_F(ServiceLinkTest, ServiceKilledThenRestarted) {
    StartService();
    Client c = NewClient();
    auto office = Find(c.sc.get(), u"office");
    auto auth = Find(c.sc.get(), u"auth");
    ASSERT_TRUE(office && auth);
    Bstr address;
    ASSERT_EQ(office->Connect(5000, platform::VARIANT_FALSE, address.put()), platform::S_OK);
    EXPECT_FALSE(address.view().empty());
    while (TakeEvent(c.events.get(), 0)) {
    }

    EXPECT_EQ(Control(u"vanish"), "");
    ASSERT_TRUE(m_service.wait(10000ms));

    const auto events = TakeUntil(c.events.get(), SCEVENT_SERVICELOST);
    ASSERT_EQ(Codes(events), std::vector<ULONG>{SCEVENT_SERVICELOST});
    EXPECT_FALSE(events[0].hasContext);
    ComPtr<IKp32ClientSC> same;
    ASSERT_EQ(c.events.query(same), platform::S_OK);
    EXPECT_EQ(events[0].iface, static_cast<void*>(same.get()));
    // Exactly one event 48.
    HRESULT hr = platform::S_OK;
    EXPECT_FALSE(TakeEvent(c.events.get(), 300, &hr));
    EXPECT_EQ(hr, kTimeout);

    for (const auto& connection : {office, auth}) {
        Bstr info;
        EXPECT_EQ(connection->GetIPAddress(info.put()), platform::S_FALSE);
        EXPECT_TRUE(info.is_null());
    }
    // Both pipes were closed before the event was queued.
    const std::string log = LogText();
    const std::size_t lost = log.find("[E87000006]ReceiveMessage read byte = 0");
    ASSERT_NE(lost, std::string::npos);
    EXPECT_GE(Count(log.substr(0, lost), "LIB_PIPE:{CNamedPipe::PipeCloseHandle}"), 2u);
    // A later command finds no link; the status of a cut-off connection reads as no answer.
    EXPECT_EQ(office->Disconnect(0), PIPE_E_BROKEN);
    EXPECT_EQ(c.system->Shutdown(), PIPE_E_BROKEN);
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_NOANSWER);

    // The service is back: ConnectService works again, and so do the commands.
    StartService();
    ASSERT_EQ(c.sc->ConnectService(), platform::S_OK);
    // A new service process knows no tunnel yet.
    EXPECT_EQ(office->GetStatus(address.put()), SCSTATUS_DISCONNECTED);
    EXPECT_EQ(office->Connect(5000, platform::VARIANT_FALSE, address.put()), platform::S_OK);
    EXPECT_EQ(c.system->Shutdown(), platform::S_FALSE);
    EXPECT_EQ(c.sc->Uninitialize(), platform::S_OK);
}

TEST_F(ServiceLinkTest, ServiceDropsTheLinkAndTheClientReconnectsFromTheEvent) {
    StartService();
    Client c = NewClient();
    EXPECT_EQ(Control(u"drop").substr(0, 2), "OK");
    auto events = TakeUntil(c.events.get(), SCEVENT_SERVICELOST);
    ASSERT_EQ(Codes(events), std::vector<ULONG>{SCEVENT_SERVICELOST});
    // Reconnecting right on the event finds the old link torn down.
    EXPECT_EQ(c.sc->ConnectService(), platform::S_OK);
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_DISCONNECTED);
}

TEST_F(ServiceLinkTest, ConnectServiceTwiceKeepsTheLink) {
    StartService();
    Client c = NewClient();
    EXPECT_EQ(c.sc->ConnectService(), platform::S_OK);
    auto office = Find(c.sc.get(), u"office");
    ASSERT_TRUE(office);
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_DISCONNECTED);
}

TEST_F(ServiceLinkTest, UninitializeWithoutLinkReportsTheInvalidHandle) {
    Client c = NewClient(false);
    ASSERT_TRUE(c.sc);
    EXPECT_EQ(c.sc->Uninitialize(), platform::E_HANDLE);
    EXPECT_TRUE(
        LogHas("LIB_SC:{CKp32ClientSC::Uninitialize} [E80070006]WaitForSingleObject error"));
    StartService();
    ASSERT_EQ(c.sc->ConnectService(), platform::S_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.sc->Uninitialize(), platform::S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    EXPECT_EQ(c.sc->Uninitialize(), platform::E_HANDLE) << "the thread is gone";
}

TEST_F(ServiceLinkTest, UninitializeEndsAStalledReadWithinItsBound) {
    StartService();
    Client c = NewClient();
    // A frame that announces 64 bytes and brings 2: the receive thread waits for the rest.
    ASSERT_TRUE(ControlUntilOk(u"raw 400000004100"));
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    // The stalled body read is cancelled: the thread ends and the pipes close.
    EXPECT_EQ(c.sc->Uninitialize(), platform::S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 61s);
}

TEST_F(ServiceLinkTest, ReleaseWithoutUninitializeStopsTheReceiveThread) {
    StartService();
    {
        Client c = NewClient();
        ASSERT_TRUE(c.sc);
        m_clients.clear(); // the test holds the only references now
        auto office = Find(c.sc.get(), u"office");
        ASSERT_EQ(office->Connect(0, platform::VARIANT_FALSE, nullptr), platform::S_OK);
        // Released while notifications are on their way.
    }
    // The library left the service: a new client is served at once.
    Client next = NewClient(false);
    ASSERT_TRUE(next.sc);
    EXPECT_EQ(next.sc->ConnectService(), platform::S_OK);
    // Notifications for the next client reach it, and nothing of the old one runs.
    EXPECT_TRUE(Notify("CONNECTED\\r\\noffice\\r\\n2001:db8::9\\r\\n\\r\\n"));
    const auto events = TakeUntil(next.events.get(), SCEVENT_CONNECTED);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().context, "2001:db8::9");
}

TEST_F(ServiceLinkTest, ConnectionHeldAfterTheClientWasReleasedFailsSafely) {
    StartService();
    ComPtr<IZa32VUConnection> office;
    {
        Client c = NewClient();
        m_clients.clear();
        office = Find(c.sc.get(), u"office");
        ASSERT_TRUE(office);
        EXPECT_EQ(c.sc->Uninitialize(), platform::S_OK);
    }
    Bstr name;
    EXPECT_EQ(office->get_Name(name.put()), platform::E_OUTOFMEMORY);
    EXPECT_EQ(office->Connect(1000, platform::VARIANT_FALSE, nullptr), platform::E_FAIL);
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_NONE);
    EXPECT_TRUE(LogHas("LIB_SC:{CZa32VUConnection::Connect} m_pClientSC or m_strName is NULL"));
}

} // namespace
