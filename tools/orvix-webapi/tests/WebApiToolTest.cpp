// orvix-webapi run as a real process against orvix-websim on loopback: what it prints and its
// exit code for each kind of answer, for the configured server, and for bad command lines.
#include "WebTestSupport.h"
#include "common/config/ConfigKPClient.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

extern char** environ;

using namespace std::chrono_literals;
using webtest::TempDir;

namespace {

const std::string kUser = "support@example.jp";
// Space, '-', '/' and a non-ASCII letter: the form that goes out in the query differs from the
// one typed, and neither may be shown.
const std::string kPassword = "Pa ss-w0rd/\xC3\xA9";
const std::string kPasswordInQuery = "Pa%20ss%2Dw0rd/%C3%A9";
const std::string kProperties = R"({"email":"support@example.jp","status":"online",)"
                                R"("filteringlevel":"2","confirmed":"true"})";

struct ToolResult {
    int exit_code = -1;
    std::string out, err;
};

std::ostream& operator<<(std::ostream& os, const ToolResult& r) {
    return os << "exit " << r.exit_code << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// Runs the tool with standard input, output and error on files in `dir`. The environment is the
// test's own without a password and with the program folder in `dir`, plus `env` (NAME=VALUE).
// A run that does not end within 20 s is killed and reported with exit code -1.
ToolResult run_tool(const std::filesystem::path& dir, const std::vector<std::string>& args,
                    const std::string& input = "", const std::vector<std::string>& env = {}) {
    static std::atomic<int> counter{0};
    const std::string id = std::to_string(++counter);
    const auto in = dir / ("run" + id + ".in"), out = dir / ("run" + id + ".out"),
               err = dir / ("run" + id + ".err");
    webtest::write_file(in, input);

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (!entry.starts_with("ORVIX_WEBAPI_PASSWORD=") &&
            !entry.starts_with("ORVIX_PROGRAM_DIR="))
            environment.emplace_back(entry);
    }
    environment.push_back("ORVIX_PROGRAM_DIR=" + dir.string());
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<std::string> argv_text{ORVIX_WEBAPI_PROGRAM};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> out;
        for (std::string& t : texts)
            out.push_back(t.data());
        out.push_back(nullptr);
        return out;
    };
    auto argv = pointers(argv_text);
    auto envp = pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, ORVIX_WEBAPI_PROGRAM, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ToolResult result;
    if (spawned != 0) {
        result.err = "(cannot start the tool)";
        return result;
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0); // ends at once after SIGKILL
            result.err = "(the tool did not end in time)";
            return result;
        }
        std::this_thread::sleep_for(5ms);
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = webtest::read_file(out);
    result.err = webtest::read_file(err);
    return result;
}

bool has_line(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l == line)
            return true;
    return false;
}

std::string probe_line(int result, const std::string& url) {
    return "probe: CtrlServer=" + std::to_string(result) + "&CtrlServer_URL=" + url;
}

class WebApiToolTest : public webtest::WebSimSuite {
  protected:
    void SetUp() override {
        WebSimSuite::SetUp();
        if (HasFatalFailure())
            return;
        webtest::write_file(sim_->accounts(),
                            R"({"accounts":[{"email":")" + kUser + R"(","password":")" + kPassword +
                                R"(","filteringlevel":"2","confirmed":"true"}]})");
    }

    // Where a request goes: the listeners of the server, and a loopback port nobody listens on.
    enum class At { Http, Https, Silent, SilentHttps, Closed, ClosedHttps };
    static std::string url(At at, const std::string& path = "/") {
        switch (at) {
        case At::Http:
            return platform::to_utf8(sim_->http(path));
        case At::Https:
            return platform::to_utf8(sim_->https(path));
        case At::Silent:
            return platform::to_utf8(sim_->silent(path));
        case At::SilentHttps:
            return "https://127.0.0.1:" + std::to_string(sim_->port("silent")) + path;
        case At::Closed:
            return "http://127.0.0.1:" + std::to_string(webtest::unused_port()) + path;
        case At::ClosedHttps:
            return "https://127.0.0.1:" + std::to_string(webtest::unused_port()) + path;
        }
        return {};
    }

    TempDir dir_;
};

TEST_F(WebApiToolTest, ResultOfEachKindOfAnswer) {
    using A = At;
    const std::string http = url(A::Http, "/api/"), https = url(A::Https, "/api/");
    // getProperties runs as kUser with the password from the environment unless standard input
    // is named; the servers that never answer are given up quickly.
    const std::vector<std::string> user{"--user", kUser};
    const std::vector<std::string> props{"--user", kUser, "--show-properties"};
    const std::vector<std::string> stdin_props{"--user", kUser, "--show-properties",
                                               "--password-stdin"};
    const std::vector<std::string> quick{"--timeout-ms", "300"};
    const std::vector<std::string> quick_user{"--timeout-ms", "300", "--user", kUser};
    const std::string typed = kPassword + "\r\nnext\n";
    const std::string echoed =
        "GET /_/echo/api/getProperties.do?email=" + kUser + "&password=********";
    const std::string holding = R"(getProperties 200\r\n{"password":")" + kPassword + "\"}\n";
    const std::string masked = R"({"password":"********"})";
    const struct {
        const char* name;
        std::string server;
        std::vector<std::string> options;
        int probe; // the probe's result
        int code;  // getProperties=<code>; 0 when it does not run
        int exit_code;
        std::vector<std::string> lines = {}; // more lines of standard output
        std::string answers = {};            // fixed replies of the server
        std::string input = {};              // standard input
    } cases[] = {
        {"probe answered", url(A::Http), {}, 0, 0, 0},
        {"probe answered by HTTPS", url(A::Https), {}, 0, 0, 0},
        {"probe: any status is an answer", url(A::Http, "/_/status-404/"), {}, 0, 0, 0},
        {"probe: nobody listening", url(A::Closed), {}, 1, 0, 1},
        {"probe: connection never answered", url(A::Silent), quick, 1, 0, 1},
        {"properties", http, props, 0, 200, 0, {kProperties}},
        {"properties by HTTPS (self-signed)", https, props, 0, 200, 0, {kProperties}},
        {"password on standard input", http, stdin_props, 0, 200, 0, {kProperties}, "", typed},
        {"wrong password", http, stdin_props, 0, 403, 1, {}, "", "Pa ss-w0rd\n"},
        {"unknown account", https, {"--user", "nobody@example.jp"}, 0, 404, 1},
        {"code of the provider", http, props, 0, 500, 1, {}, "getProperties 500\n"},
        {"HTTP status", url(A::Http, "/_/status-503/api/"), props, 0, 998, 1},
        {"HTTP status by HTTPS", url(A::Https, "/_/status-404/api/"), props, 0, 998, 1},
        {"nobody listening", url(A::Closed, "/api/"), user, 1, 999, 1},
        {"nobody listening by HTTPS", url(A::ClosedHttps, "/api/"), user, 1, 999, 1},
        {"connection never answered", url(A::Silent, "/api/"), quick_user, 1, 999, 1},
        {"TLS handshake never answered", url(A::SilentHttps, "/api/"), quick_user, 1, 999, 1},
        // Replies holding the password, as sent and as typed: shown only masked.
        {"reply echoing the request", url(A::Http, "/_/echo/api/"), props, 0, 200, 0, {echoed}},
        {"reply holding the password", https, props, 0, 200, 0, {masked}, holding},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim_->set_answers(c.answers);
        std::vector<std::string> args{"--server", c.server};
        args.insert(args.end(), c.options.begin(), c.options.end());
        if (std::find(args.begin(), args.end(), "--timeout-ms") == args.end())
            args.insert(args.end(), {"--timeout-ms", "10000"});
        const ToolResult r =
            run_tool(dir_.path(), args, c.input, {"ORVIX_WEBAPI_PASSWORD=" + kPassword});

        EXPECT_EQ(r.exit_code, c.exit_code) << r;
        EXPECT_TRUE(has_line(r.out, probe_line(c.probe, c.server))) << r;
        if (c.code != 0) {
            EXPECT_TRUE(has_line(r.out, "getProperties=" + std::to_string(c.code))) << r;
            // A failed connection says why; an answer needs no explanation.
            EXPECT_EQ(r.out.find("\nerror: ") != std::string::npos, c.code == 999) << r;
        } else {
            EXPECT_EQ(r.out.find("getProperties="), std::string::npos) << r;
        }
        for (const std::string& line : c.lines)
            EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r;
        // The account's properties are shown for a success only.
        if (c.code != 200) {
            EXPECT_EQ(r.out.find("\"email\""), std::string::npos) << r;
        }
        for (const std::string& secret : {kPassword, kPasswordInQuery}) {
            EXPECT_EQ(r.out.find(secret), std::string::npos) << r;
            EXPECT_EQ(r.err.find(secret), std::string::npos) << r;
        }
        EXPECT_EQ(r.err, "") << r;
    }
}

// Without --server the control server comes from orvixclient.dat in the program folder.
TEST_F(WebApiToolTest, ConfiguredControlServer) {
    const struct {
        const char* name;
        std::optional<std::string> ctrl, ctrl_v6; // no file without `ctrl`
        bool v6;
        int exit_code;
        std::string out; // a line of standard output ...
        std::string err; // ... or the error message
    } cases[] = {
        {"address", url(At::Http, "/api/"), url(At::Https, "/api/"), false, 0,
         probe_line(0, url(At::Http, "/api/")), ""},
        {"v6 address", url(At::Http, "/api/"), url(At::Https, "/api/"), true, 0,
         probe_line(0, url(At::Https, "/api/")), ""},
        {"malformed address", "ctrl.orvix.example", "", false, 2, "",
         "the configured control server address \"ctrl.orvix.example\""},
        {"no address", "", url(At::Https, "/api/"), false, 2, "", "no control server configured"},
        {"no file", std::nullopt, std::nullopt, false, 2, "",
         "cannot load " + (dir_.path() / "orvixclient.dat").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_ / "orvixclient.dat");
        if (c.ctrl) {
            CConfigFile::SetConfigFolder(platform::from_path(dir_.path()));
            CConfigKPClient client;
            client.GetServerInfo().SetCtrlServer(platform::to_text(*c.ctrl));
            client.GetServerInfo().SetCtrlServerV6(platform::to_text(c.ctrl_v6.value_or("")));
            ASSERT_EQ(client.Save(), 1);
        }
        std::vector<std::string> args{"--user", kUser, "--timeout-ms", "10000"};
        if (c.v6)
            args.push_back("--v6");
        const ToolResult r =
            run_tool(dir_.path(), args, "", {"ORVIX_WEBAPI_PASSWORD=" + kPassword});
        EXPECT_EQ(r.exit_code, c.exit_code) << r;
        if (c.exit_code == 0) {
            EXPECT_TRUE(has_line(r.out, c.out)) << r;
            EXPECT_TRUE(has_line(r.out, "getProperties=200")) << r;
        } else {
            EXPECT_EQ(r.out, "") << r;
            EXPECT_NE(r.err.find("orvix-webapi: " + c.err), std::string::npos) << r;
        }
    }
}

// A bad command line sends nothing, says what is wrong on standard error and ends with 2.
TEST_F(WebApiToolTest, BadCommandLines) {
    const std::string server = url(At::Http, "/api/");
    const std::string port = std::to_string(sim_->port("http"));
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::optional<std::string> password; // in the environment
        std::string message;
    } cases[] = {
        {"server without value", {"--server"}, kPassword, "--server needs a value"},
        {"user without value", {"--server", server, "--user"}, kPassword, "--user needs a value"},
        {"time-out without value",
         {"--server", server, "--timeout-ms"},
         kPassword,
         "--timeout-ms needs a positive number"},
        {"time-out not a number",
         {"--server", server, "--timeout-ms", "5s"},
         kPassword,
         "--timeout-ms needs a positive number"},
        {"time-out zero",
         {"--server", server, "--timeout-ms", "0"},
         kPassword,
         "--timeout-ms needs a positive number"},
        {"unknown option",
         {"--server", server, "--verbose"},
         kPassword,
         "unknown option --verbose"},
        {"command instead of options",
         {"getProperties", "--server", server},
         kPassword,
         "unexpected argument getProperties"},
        {"address without scheme",
         {"--server", "127.0.0.1:" + port + "/api/"},
         kPassword,
         "malformed server address \"127.0.0.1:" + port + "/api/\""},
        {"address without path",
         {"--server", "http://127.0.0.1:" + port},
         kPassword,
         "malformed server address \"http://127.0.0.1:" + port + "\""},
        {"user without password",
         {"--server", server, "--user", kUser},
         std::nullopt,
         "--user needs a password"},
        {"empty standard input",
         {"--server", server, "--user", kUser, "--password-stdin"},
         std::nullopt,
         "--password-stdin: no password line on standard input"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> env;
        if (c.password)
            env.push_back("ORVIX_WEBAPI_PASSWORD=" + *c.password);
        const ToolResult r = run_tool(dir_.path(), c.args, "", env);
        EXPECT_EQ(r.exit_code, 2) << r;
        EXPECT_EQ(r.out, "") << r;
        EXPECT_NE(r.err.find("orvix-webapi: " + c.message), std::string::npos) << r;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r;
        EXPECT_EQ(r.err.find(kPassword), std::string::npos) << r;
    }

    const ToolResult help = run_tool(dir_.path(), {"--help"});
    EXPECT_EQ(help.exit_code, 0) << help;
    EXPECT_TRUE(help.out.starts_with("Usage: orvix-webapi")) << help;
}

} // namespace
