// OrvixService as a real process: the tunnel simulation, the scenarios, the stored settings, one
// library at a time, the control pipe and the background mode.
#include "ServiceFixture.h"

#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigUser.h"
#include "platform/fs.h"

#include <regex>

namespace {

using Words = std::vector<std::string>;

class ServiceTest : public ServiceFixture {};

TEST_F(ServiceTest, ConnectStatusAndDisconnect) {
    WriteScenario("[*]\ndelay = 5\n");
    Start();
    Library lib;
    ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);

    ASSERT_TRUE(lib.Command(SCCMD_STATUS, u"office"));
    auto status = lib.Next();
    ASSERT_TRUE(status);
    EXPECT_EQ(U8(status->word), "DISCONNECTED");
    ASSERT_EQ(status->args.size(), 2u);
    EXPECT_EQ(U8(status->args[0]), "office");

    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"office"));
    std::vector<SCNotification> all;
    EXPECT_EQ(lib.Until(u"CONNECTED", &all),
              (Words{"CONNECTING", "INFORMATION 1000", "INFORMATION 1001", "INFORMATION 1002",
                     "CONNECTED"}));
    ASSERT_EQ(all.back().args.size(), 2u);
    const Text address = all.back().args[1];
    EXPECT_TRUE(std::regex_match(U8(address), std::regex("2001:db8:[0-9a-f:]+"))) << U8(address);

    // The same address every time for the same profile, also from STATUS.
    ASSERT_TRUE(lib.Command(SCCMD_STATUS, u"office"));
    status = lib.Next();
    ASSERT_TRUE(status);
    EXPECT_EQ(U8(status->word), "CONNECTED");
    EXPECT_EQ(status->args.at(1), address);

    // Connecting again while up: the service says so and reports the status.
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"office"));
    EXPECT_EQ(lib.Until(u"CONNECTED"), (Words{"INFORMATION 2209", "CONNECTED"}));

    ASSERT_TRUE(lib.Command(SCCMD_DISCONNECT, u"office"));
    all.clear();
    EXPECT_EQ(lib.Until(u"DISCONNECTED", &all),
              (Words{"DISCONNECTING", "INFORMATION 1004", "INFORMATION 1005", "DISCONNECTED"}));
    EXPECT_EQ(U8(all.back().args.at(1)), "NORMAL");

    // Reconnecting gives the same address; a Japanese name works like any other.
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"office"));
    all.clear();
    lib.Until(u"CONNECTED", &all);
    EXPECT_EQ(all.back().args.at(1), address);
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"接続"));
    all.clear();
    lib.Until(u"CONNECTED", &all);
    EXPECT_EQ(U8(all.back().args.at(0)), "接続");
    EXPECT_NE(all.back().args.at(1), address);
}

TEST_F(ServiceTest, Scenarios) {
    WriteScenario("[*]\n"
                  "delay = 5\n"
                  "[auth]\n"
                  "auth = fail\n"
                  "[disabled]\n"
                  "adapter = disabled\n"
                  "[drop]\n"
                  "link_drop = 50\n"
                  "[silent]\n"
                  "status = silent\n");
    Start();
    Library lib;
    ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);
    struct Case {
        const char16_t* profile;
        std::int32_t force;
        Words words;
        const char* reason;
    };
    const Case cases[] = {
        {u"noaccount",
         0,
         {"CONNECTING", "INFORMATION 1000", "INFORMATION 1028", "DISCONNECTED"},
         "AUTHERROR"},
        {u"auth",
         0,
         {"CONNECTING", "INFORMATION 1000", "INFORMATION 1015", "DISCONNECTED"},
         "AUTHERROR"},
        {u"disabled",
         0,
         {"CONNECTING", "INFORMATION 1000", "INFORMATION 1020", "DISCONNECTED"},
         "DISABLE"},
        // The flag 1 is no VARIANT_TRUE: still no FORCE line.
        {u"disabled",
         1,
         {"CONNECTING", "INFORMATION 1000", "INFORMATION 1020", "DISCONNECTED"},
         "DISABLE"},
        {u"nosuch", 0, {"INFORMATION 2208", "DISCONNECTED"}, "CONNECTERR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(U8(c.profile));
        ASSERT_TRUE(lib.Command(SCCMD_CONNECT, c.profile, c.force));
        std::vector<SCNotification> all;
        EXPECT_EQ(lib.Until(u"DISCONNECTED", &all), c.words);
        EXPECT_EQ(U8(all.back().args.at(1)), c.reason);
    }

    // FORCE connects in spite of the disabled adapter.
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"disabled", -1));
    EXPECT_EQ(lib.Until(u"CONNECTED").back(), "CONNECTED");

    // The link drops after a while.
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"drop"));
    EXPECT_EQ(lib.Until(u"CONNECTED").back(), "CONNECTED");
    std::vector<SCNotification> all;
    EXPECT_EQ(lib.Until(u"DISCONNECTED", &all), (Words{"INFORMATION 1019", "DISCONNECTED"}));
    EXPECT_EQ(U8(all.back().args.at(1)), "LINK_DISC");

    // No answer to STATUS; other profiles still answer.
    ASSERT_TRUE(lib.Command(SCCMD_STATUS, u"silent"));
    EXPECT_FALSE(lib.Next(300ms));
    ASSERT_TRUE(lib.Command(SCCMD_STATUS, u"office"));
    EXPECT_TRUE(lib.Next());
}

TEST_F(ServiceTest, CertificateQuestion) {
    WriteScenario("[*]\n"
                  "delay = 5\n"
                  "certificate = ask\n"
                  "cert_issuer = Example Issuer\n"
                  "cert_subject = broker.example\n"
                  "[office]\n"
                  "certificate = no\n");
    Start();
    Library lib;
    ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);

    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"cert"));
    std::vector<SCNotification> all;
    EXPECT_EQ(lib.Until(u"QUERY", &all), (Words{"CONNECTING", "INFORMATION 1000", "QUERY"}));
    const SCNotification& query = all.back();
    ASSERT_EQ(query.args.size(), 6u); // name, id and four arguments
    EXPECT_EQ(U8(query.args[1]), "1010");
    EXPECT_EQ(U8(query.args[2]), "Example Issuer");
    EXPECT_EQ(U8(query.args[3]), "broker.example");
    // It waits for the answer; an answer for a profile that was not asked changes nothing.
    EXPECT_FALSE(lib.Next(100ms));
    ASSERT_TRUE(lib.Command(SCCMD_ANSWER, u"office", -1));
    EXPECT_FALSE(lib.Next(50ms));
    ASSERT_TRUE(lib.Command(SCCMD_ANSWER, u"cert", -1));
    EXPECT_EQ(lib.Until(u"CONNECTED"),
              (Words{"INFORMATION 1001", "INFORMATION 1002", "CONNECTED"}));

    // NO ends the attempt.
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"接続"));
    EXPECT_EQ(lib.Until(u"QUERY").back(), "QUERY");
    ASSERT_TRUE(lib.Command(SCCMD_ANSWER, u"接続", 0));
    all.clear();
    EXPECT_EQ(lib.Until(u"DISCONNECTED", &all), (Words{"INFORMATION 1016", "DISCONNECTED"}));
    EXPECT_EQ(U8(all.back().args.at(1)), "CONNECTERR");

    // DISCONNECT while the question is open.
    ASSERT_TRUE(lib.Command(SCCMD_CONNECT, u"接続"));
    EXPECT_EQ(lib.Until(u"QUERY").back(), "QUERY");
    ASSERT_TRUE(lib.Command(SCCMD_DISCONNECT, u"接続"));
    EXPECT_EQ(lib.Until(u"DISCONNECTED").back(), "DISCONNECTED");
    ASSERT_TRUE(lib.Command(SCCMD_ANSWER, u"接続", -1));
    EXPECT_FALSE(lib.Next(100ms));
}

TEST_F(ServiceTest, SettingsAreStored) {
    Start();
    Library lib;
    ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);

    SCConnectionSettings conn;
    conn.name = u"office";
    conn.user = u"new@example.jp";
    conn.password = u"s3cret";
    conn.keepConnect = false;
    conn.v6Conn = true;
    conn.serverCertCheck = true;
    conn.brokerNumber = 7;
    ASSERT_TRUE(lib.Command(SCCMD_SETCONFCONN, BuildConnectionSettingsBlock(conn)));
    conn.name = u"added";
    ASSERT_TRUE(lib.Command(SCCMD_SETCONFCONN, BuildConnectionSettingsBlock(conn)));
    SCUserSettings user;
    user.x = 10;
    user.y = 20;
    user.connSelect = 1;
    user.proxyHost = u"proxy.example";
    user.proxyPort = 3128;
    user.proxyAuth = true;
    user.proxyUser = u"pu";
    user.proxyPassword = u"pp";
    user.dontShowWelcome = 1;
    ASSERT_TRUE(lib.Command(SCCMD_SETCONFUSER, BuildUserSettingsBlock(user)));
    ASSERT_TRUE(lib.Command(SCCMD_SHUTDOWN, u"dummy"));

    // Commands are taken in order: once STATUS is answered, the settings are stored.
    ASSERT_TRUE(lib.Command(SCCMD_STATUS, u"office"));
    ASSERT_TRUE(lib.Next());
    const std::string state = Control(u"state");
    EXPECT_NE(state.find("shutdowns 1"), std::string::npos) << state;
    // Passwords are masked in what the service tells.
    EXPECT_EQ(state.find("s3cret"), std::string::npos);
    EXPECT_EQ(state.find("\\r\\npp\\r\\n"), std::string::npos);
    EXPECT_NE(state.find("command SETCONFCONN\\r\\noffice\\r\\nnew@example.jp\\r\\n***"),
              std::string::npos)
        << state;

    CConfigConnectionList list;
    ASSERT_EQ(list.Load(), 1);
    ASSERT_EQ(list.GetConnectionCount(), 9);
    const CConfigConnectionConInfo* office = list.GetConnectionItem(0);
    EXPECT_EQ(U8(office->GetName()), "office");
    EXPECT_EQ(U8(office->GetUser()), "new@example.jp");
    EXPECT_EQ(U8(office->GetPassword()), "s3cret");
    EXPECT_EQ(office->GetKeepconnect(), 0);
    EXPECT_EQ(office->GetV6Conn(), 1);
    EXPECT_EQ(office->GetServerCertCheck(), 1);
    EXPECT_EQ(office->GetBrokerNumber(), 7u);
    EXPECT_EQ(U8(list.GetConnectionItem(8)->GetName()), "added");

    CConfigUser saved;
    ASSERT_EQ(saved.Load(), 1);
    EXPECT_EQ(saved.GetSCInfo().GetX(), 10);
    EXPECT_EQ(saved.GetSCInfo().GetY(), 20);
    EXPECT_EQ(saved.GetSCInfo().GetDontShowWelcome(), 1);
    EXPECT_EQ(U8(saved.GetProxyInfo().GetProxyHost()), "proxy.example");
    EXPECT_EQ(saved.GetProxyInfo().GetProxyPort(), 3128);
    EXPECT_EQ(saved.GetProxyInfo().GetProxyAuth(), 1);
    EXPECT_EQ(U8(saved.GetProxyInfo().GetProxyPassword()), "pp");
}

TEST_F(ServiceTest, OneLibraryAtATime) {
    Start({}, 300);
    Library first;
    ASSERT_EQ(first.Open(SendPipe(), RecvPipe()), 0);
    // A second library waits the pipe's default time-out and learns that the service is taken.
    Library second;
    EXPECT_EQ(second.Open(SendPipe(), RecvPipe()), platform::make_hresult(0x80070079));

    // After the first left, the next one is served, with the tunnels as they were.
    ASSERT_TRUE(first.Command(SCCMD_CONNECT, u"office"));
    EXPECT_EQ(first.Until(u"CONNECTED").back(), "CONNECTED");
    first.Close();
    Library third;
    platform::HRESULT hr = 1;
    for (int i = 0; i < 3 && hr != 0; ++i) // the service may still be seeing the first one off
        hr = third.Open(SendPipe(), RecvPipe());
    ASSERT_EQ(hr, 0);
    ASSERT_TRUE(third.Command(SCCMD_STATUS, u"office"));
    auto status = third.Next();
    ASSERT_TRUE(status);
    EXPECT_EQ(U8(status->word), "CONNECTED");
    EXPECT_NE(Control(u"state").find("sessions 2"), std::string::npos);
}

TEST_F(ServiceTest, ControlPipe) {
    Start();
    Library lib;
    ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);
    EXPECT_EQ(Control(u"ping"), "OK");
    EXPECT_EQ(Control(u"bogus"), "ERR unknown control command");

    // Any text reaches the library as one notification, as it is.
    EXPECT_EQ(Control(u"notify connected\\r\\noffice\\n\\n\\uD800x"), "OK");
    auto raw = lib.NextRaw();
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, (Text{u'c', u'o', u'n', u'n', u'e', u'c', u't',  u'e',  u'd',   u'\r', u'\n',
                          u'o', u'f', u'f', u'i', u'c', u'e', u'\n', u'\n', 0xD800, u'x'}));

    // Raw bytes: a frame of two units written in two pieces.
    EXPECT_EQ(Control(u"raw 04 00 00 00 41 00"), "OK");
    EXPECT_EQ(Control(u"raw 42 00"), "OK");
    raw = lib.NextRaw();
    ASSERT_TRUE(raw);
    EXPECT_EQ(U8(*raw), "AB");

    // drop: the library sees its pipes close and may come back.
    EXPECT_EQ(Control(u"drop"), "OK");
    ASSERT_TRUE(lib.event.wait(5000ms));
    char16_t buffer[16];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(lib.recv.PipeReadFile(buffer, &size), 0u);
    EXPECT_EQ(lib.recv.GetLastResult(), PIPE_E_BROKEN);
    lib.Close();
    Library again;
    ASSERT_EQ(again.Open(SendPipe(), RecvPipe()), 0);
    EXPECT_EQ(Control(u"notify x"), "OK");
    EXPECT_TRUE(again.NextRaw());

    // vanish: gone at once; the library's read breaks, and the pipe no longer exists.
    EXPECT_EQ(Control(u"vanish"), "");
    ASSERT_TRUE(again.event.wait(5000ms));
    size = sizeof buffer;
    EXPECT_EQ(again.recv.PipeReadFile(buffer, &size), 0u);
    EXPECT_EQ(again.recv.GetLastResult(), PIPE_E_BROKEN);
    ASSERT_TRUE(m_service.wait(5000ms));
    EXPECT_EQ(m_service.exit_code(), 0);
    // Once the process is gone, its end of the send pipe is gone too.
    EXPECT_EQ(again.send.PipeWriteFile(u"STATUS\r\noffice\r\n\r\n"), 0u);
    Library late;
    EXPECT_EQ(late.Open(SendPipe(), RecvPipe()), platform::make_hresult(0x80070002));
}

TEST_F(ServiceTest, RunsInTheBackground) {
    platform::StartOptions start;
    start.program = ORVIX_SERVICE_PROGRAM;
    start.arguments = {u"-d", u"--dir", platform::from_path(m_dir), u"--control", kControl};
    platform::Process launcher;
    ASSERT_EQ(platform::start_process(start, &launcher), 0u);
    ASSERT_TRUE(launcher.wait(15000ms));
    EXPECT_EQ(launcher.exit_code(), 0);
    // The pipes exist when the launcher returns.
    Library lib;
    ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);
    lib.Close();
    EXPECT_EQ(Control(u"quit"), "OK");

    // Without a configuration it reports failure.
    std::filesystem::remove(m_dir / "orvixclient.dat");
    ASSERT_EQ(platform::start_process(start, &launcher), 0u);
    ASSERT_TRUE(launcher.wait(15000ms));
    EXPECT_EQ(launcher.exit_code(), 1);
}

TEST_F(ServiceTest, HelpDescribesEverything) {
    const auto out = m_dir / "help.txt";
    platform::StartOptions start;
    start.program = "/bin/sh";
    start.arguments = {u"-c", platform::to_text(std::string("'") + ORVIX_SERVICE_PROGRAM +
                                                "' --help > '" + out.string() + "'")};
    platform::Process p;
    ASSERT_EQ(platform::start_process(start, &p), 0u);
    ASSERT_TRUE(p.wait(10000ms));
    EXPECT_EQ(p.exit_code(), 0);
    std::ifstream in(out);
    const std::string help((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* word :
         {"-d", "--dir", "--scenario", "--control", "--pipe-wait", "CONNECT", "SETCONFCONN",
          "SETCONFUSER", "auth = fail", "certificate = ask", "adapter = disabled", "link_drop",
          "status = silent", "notify", "vanish", "2001:db8::/32"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

} // namespace
