// orvixctl's commands against the service: connect, status and disconnect with their output,
// failures with their texts and exit codes, a question answered from a later run, and the
// account and system settings as the service receives them.
#include "CtlFixture.h"

#include "platform/text.h"

namespace {

const std::string kText1000 = "ブローカサ－バに接続中です。";
const std::string kText1001 = "仮想ネットワークに接続中です。";
const std::string kText1002 = "仮想ネットワークに接続する環境を設定しています。";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The value of "key: value" in the output.
std::string Value(const std::string& out, const std::string& key) {
    for (const std::string& line : Lines(out)) {
        if (line.rfind(key + ": ", 0) == 0)
            return line.substr(key.size() + 2);
    }
    return "(no " + key + ")";
}

TEST_F(CtlTest, ConnectStatusAndDisconnectDriveTheTunnel) {
    StartService();
    CtlResult r = Ctl({"list"});
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(Lines(r.out).front(), "office\tdisconnected\t-\tuser@example.jp") << r;
    EXPECT_EQ(Lines(r.out).size(), 8u) << r;
    EXPECT_TRUE(Contains(r.out, "noaccount\tdisconnected\t-\t-\n")) << r;

    // The first connection is the default, as in the tray; the progress stays queued for us.
    r = Ctl({"connect", "--wait", "10000"});
    ASSERT_EQ(r.exitCode, 0) << r;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r;
    EXPECT_EQ(lines[0], "event: connecting office");
    EXPECT_EQ(lines[1], "event: information office " + kText1000);
    EXPECT_EQ(lines[2], "event: information office " + kText1001);
    EXPECT_EQ(lines[3], "event: information office " + kText1002);
    EXPECT_EQ(lines[4], "connected: office");
    const std::string address = Value(r.out, "address");
    EXPECT_EQ(address.rfind("2001:db8:", 0), 0u) << address;

    r = Ctl({"status"});
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(Value(r.out, "name"), "office");
    EXPECT_EQ(Value(r.out, "status"), "connected (2)");
    EXPECT_EQ(Value(r.out, "address"), address);
    EXPECT_EQ(Value(r.out, "user"), "user@example.jp");
    EXPECT_FALSE(Contains(r.out, "secret")) << "no password in the output";

    r = Ctl({"list"});
    EXPECT_EQ(Lines(r.out).front(), "office\tconnected\t" + address + "\tuser@example.jp") << r;

    r = Ctl({"disconnect", "office", "--wait", "10000"});
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(Lines(r.out).front(), "event: disconnecting office") << r;
    EXPECT_EQ(Lines(r.out).back(), "disconnected: office") << r;
    r = Ctl({"status", "office"});
    EXPECT_EQ(Value(r.out, "status"), "disconnected (8)") << r;
    EXPECT_EQ(Value(r.out, "address"), "(no address)") << r;

    // Without a wait the request is only sent; the service goes on alone.
    r = Ctl({"connect", "office"});
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(r.out, "requested: connect office\n");
    EXPECT_TRUE(Contains(StateWith("tunnel office CONNECTED"), "tunnel office CONNECTED"));
}

TEST_F(CtlTest, FailuresHaveTheLibraryTextsAndTheirExitCodes) {
    StartService();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err; // part of standard error
        std::string out; // part of standard output
    };
    const Case cases[] = {
        {{"connect", "auth", "--wait", "10000"},
         6,
         "Authentication error (0x87000008)",
         "event: information auth ユーザ認証に失敗しました。"},
        {{"connect", "noaccount", "--wait", "10000"}, 6, "Authentication error (0x87000008)", ""},
        {{"connect", "disabled", "--wait", "10000"},
         8,
         "Virtual device is disable (0x87000007)",
         ""},
        {{"connect", "disabled", "--wait", "10000", "--force"}, 0, "", "connected: disabled"},
        // The question goes unanswered (nobody can answer during the wait): a connection error.
        {{"connect", "cert", "--wait", "10000"},
         7,
         "Connection error (0x87000009)",
         "event: query cert 【サーバ証明書】\\n  発行者：Issuer CA\\n  発行対象者：vpn.example"},
        {{"connect", "slow", "--wait", "50"},
         4,
         "no outcome from the service within 50 ms (0x80070102)",
         "event: connecting slow"},
        {{"status", "silent"},
         4,
         "did not answer the status request for silent",
         "status: no-answer (48)"},
        {{"connect", "ghost"}, 5, "No such connection name: ghost", ""},
        {{"set", "ghost", "--user", "x"}, 5, "No such connection name: ghost", ""},
        {{"answer", "maybe"}, 2, "answer takes yes or no", ""},
        {{"connect", "--wait", "soon"}, 2, "--wait takes milliseconds", ""},
        {{"watch", "--count", "0"}, 2, "--count takes a number", ""},
        {{"frobnicate"}, 2, "unknown command frobnicate", ""},
        {{"list", "--force"}, 2, "--force does not apply to list", ""},
        {{"status", "--log", "a.log", "--no-log"}, 2, "exclude each other", ""},
        {{"system", "set", "proxy-port", "70000"}, 2, "proxy-port takes a port", ""},
        {{"system", "set", "colour", "red"}, 2, "unknown setting colour", ""},
    };
    for (const Case& c : cases) {
        const CtlResult r = Ctl(c.args);
        std::string label;
        for (const std::string& a : c.args)
            label += a + " ";
        EXPECT_EQ(r.exitCode, c.exitCode) << label << "\n" << r;
        EXPECT_TRUE(Contains(r.err, c.err)) << label << "\n" << r;
        EXPECT_TRUE(Contains(r.out, c.out)) << label << "\n" << r;
        if (c.exitCode != 0) {
            EXPECT_EQ(r.err.rfind("orvixctl: ", 0), 0u) << label << "\n" << r;
        }
    }
}

TEST_F(CtlTest, WithoutServiceCommandsSayTheServiceIsStopped) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    for (const Case& c : {Case{{"status"}, 3}, Case{{"connect", "--wait", "1000"}, 3},
                          Case{{"disconnect"}, 3}, Case{{"answer", "yes"}, 3}, Case{{"watch"}, 3},
                          Case{{"set", "office", "--user", "x"}, 3}}) {
        const CtlResult r = Ctl(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << "\n" << r;
        EXPECT_EQ(r.err, "orvixctl: KP service is stopped (0x87000006)\n") << c.args[0];
    }
    // The profiles are listed all the same, their status unknown.
    const CtlResult list = Ctl({"list"});
    EXPECT_EQ(list.exitCode, 0) << list;
    EXPECT_EQ(Lines(list.out).front(), "office\t-\t-\tuser@example.jp") << list;
    EXPECT_TRUE(Contains(list.err, "KP service is stopped")) << list;
    // The settings come from the files.
    const CtlResult system = Ctl({"system"});
    EXPECT_EQ(system.exitCode, 0) << system;
    EXPECT_TRUE(Contains(system.out, "product-name: Orvix\n")) << system;
    EXPECT_TRUE(Contains(system.out, "update-list-url: https://update.orvix.example/latest.ini\n"))
        << system;
}

TEST_F(CtlTest, InstallationProblemsAreTheirOwnFailure) {
    // A folder without configuration files, and a registry without the library.
    CtlResult r = CtlRun(m_dir, {"--dir", (m_dir / "empty").string(), "status"}).Finish();
    EXPECT_EQ(r.exitCode, 9) << r;
    EXPECT_TRUE(Contains(r.err, "could not be loaded")) << r;

    std::filesystem::create_directories(m_dir / "registry");
    r = CtlRun(m_dir, {"--dir", m_dir.string(), "status"}, "",
               {"ORVIX_REGISTRY_DIR=" + (m_dir / "registry").string()})
            .Finish();
    EXPECT_EQ(r.exitCode, 9) << r;
    EXPECT_TRUE(Contains(r.err, "not registered")) << r;

    // Without --dir the program folder is the installation folder.
    r = CtlRun(m_dir, {"list"}, "", {"ORVIX_PROGRAM_DIR=" + m_dir.string()}).Finish();
    EXPECT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(Lines(r.out).front(), "office\t-\t-\tuser@example.jp") << r;
}

TEST_F(CtlTest, QuestionIsAnsweredByALaterRun) {
    StartService();
    for (const std::string answer : {"yes", "no"}) {
        CtlResult r = Ctl({"disconnect", "certask", "--wait", "10000"});
        ASSERT_EQ(r.exitCode, 0) << r;
        r = Ctl({"connect", "certask"});
        ASSERT_EQ(r.exitCode, 0) << r;
        ASSERT_TRUE(Contains(StateWith("tunnel certask CONNECTING - NORMAL asking"), "asking"));
        r = Ctl({"answer", answer, "certask"});
        ASSERT_EQ(r.exitCode, 0) << r;
        EXPECT_EQ(r.out, "requested: answer " + answer + " certask\n");
        const std::string expected =
            answer == "yes" ? "tunnel certask CONNECTED" : "tunnel certask DISCONNECTED";
        EXPECT_TRUE(Contains(StateWith(expected), expected)) << answer;
        EXPECT_TRUE(Contains(StateWith("ANSWER"), answer == "yes" ? "YES" : "NO"));
    }
}

TEST_F(CtlTest, SetSendsTheAccountAndSwitchesWithoutLoggingThePassword) {
    StartService();
    CtlResult r =
        Ctl({"--log", "ctl-set.log", "set", "office", "--user", "u2", "--password", "-",
             "--keep-connect", "off", "--ipv6", "on", "--cert-check", "on", "--broker-number", "3"},
            "n3wPassw0rd\n");
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(r.out, "saved: office\n");
    const std::string block = "command SETCONFCONN\\r\\noffice\\r\\nu2\\r\\n***\\r\\nOFF\\r\\nON"
                              "\\r\\nON\\r\\n3";
    EXPECT_TRUE(Contains(StateWith(block), block));

    // The service stored them; a later run reads them back.
    r = Ctl({"status", "office"});
    EXPECT_EQ(Value(r.out, "user"), "u2") << r;
    EXPECT_EQ(Value(r.out, "keep-connect"), "off") << r;
    EXPECT_EQ(Value(r.out, "ipv6"), "on") << r;
    EXPECT_EQ(Value(r.out, "cert-check"), "on") << r;
    EXPECT_EQ(Value(r.out, "broker-number"), "3") << r;

    // The log has the library's lines, the block sent, and never the password.
    const std::string log = orvix_testing::LibraryLogText("ctl-set.log");
    EXPECT_TRUE(Contains(log, "LIB_SC:")) << log;
    EXPECT_TRUE(Contains(log, "SETCONFCONN")) << log;
    EXPECT_FALSE(Contains(log, "n3wPassw0rd")) << log;

    // A new connection, made and sent in one go.
    r = Ctl({"set", "home", "--create", "--user", "h", "--password", "p"});
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_TRUE(
        Contains(StateWith("SETCONFCONN\\r\\nhome"), "SETCONFCONN\\r\\nhome\\r\\nh\\r\\n***"));
    r = Ctl({"list"});
    EXPECT_EQ(Lines(r.out).back(), "home\tdisconnected\t-\th") << r;
}

TEST_F(CtlTest, SystemSettingsAreShownAndSent) {
    StartService();
    CtlResult r = Ctl({"system", "set", "proxy-mode", "2", "proxy-host", "proxy.example",
                       "proxy-port", "8080", "proxy-auth", "on", "proxy-user", "pu",
                       "proxy-password", "-", "welcome", "1", "position", "10,-20"},
                      "pr0xyPass\n");
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(r.out, "saved: user settings\n");
    const std::string block = "command SETCONFUSER\\r\\n10\\r\\n-20\\r\\n2\\r\\nproxy.example\\r\\n"
                              "8080\\r\\nON\\r\\npu\\r\\n***\\r\\n1";
    EXPECT_TRUE(Contains(StateWith(block), block));

    r = Ctl({"system", "show"});
    ASSERT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(Value(r.out, "product-name"), "Orvix");
    EXPECT_EQ(Value(r.out, "proxy-mode"), "2");
    EXPECT_EQ(Value(r.out, "proxy-host"), "proxy.example");
    EXPECT_EQ(Value(r.out, "proxy-port"), "8080");
    EXPECT_EQ(Value(r.out, "proxy-auth"), "on");
    EXPECT_EQ(Value(r.out, "proxy-password"), "***");
    EXPECT_EQ(Value(r.out, "position"), "10,-20");
    EXPECT_FALSE(Contains(r.out, "pr0xyPass"));
}

} // namespace
