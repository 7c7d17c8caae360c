#pragma once
// orvixctl as a real process against OrvixService as a real process, in a temporary tree: the
// library is registered once per test program by orvixregsvr; every test gets its own folder,
// pipe names and service.
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "svclib/NamedPipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::Event;
using platform::Text;

inline std::string ReadFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The lines of a text without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---- The program's temporary tree and the registered library -----------------------------------
class CtlEnvironment : public ::testing::Environment {
  public:
    static std::filesystem::path Root() { return s_root; }

    void SetUp() override {
        char pattern[] = "/tmp/orvixctl-tests-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        s_root = pattern;
        const auto set = [](const char* name, const std::filesystem::path& dir) {
            std::filesystem::create_directories(dir);
            ::setenv(name, dir.c_str(), 1);
        };
        set("ORVIX_PIPE_DIR", s_root / "pipes");
        set("ORVIX_REGISTRY_DIR", s_root / "registry");
        set("ORVIX_COMMON_DOCUMENTS", s_root / "documents");
        set("ORVIX_PROGRAM_DIR", s_root / "program");
        set("ORVIX_WINDOW_DIR", s_root / "windows");
        set("ORVIX_TEMP", s_root / "temp");
        ::setenv("ORVIX_SESSION", ("ctl-" + std::to_string(::getpid())).c_str(), 1);
        ::setenv("ORVIX_UI_LANGUAGE", "1041", 1);

        platform::StartOptions start;
        start.program = ORVIX_REGSVR_PROGRAM;
        start.arguments = {u"/s", platform::to_text(ORVIX_SC_LIBRARY)};
        platform::Process regsvr;
        ASSERT_EQ(platform::start_process(start, &regsvr), 0u);
        ASSERT_TRUE(regsvr.wait(30000ms));
        ASSERT_EQ(regsvr.exit_code(), 0) << "registering " << ORVIX_SC_LIBRARY;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(s_root, ec);
        // The system-wide mutexes of this session live in shared memory, named after it.
        const std::string prefix = std::string("orvix-") + std::getenv("ORVIX_SESSION") + "-";
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0)
                std::filesystem::remove(entry.path(), ec);
        }
    }

  private:
    static inline std::filesystem::path s_root;
};

// ---- One run of orvixctl ------------------------------------------------------------------------
struct CtlResult {
    int exitCode = -1;
    std::string out, err;
};

// orvixctl started with its standard handles on files; runs in the background until Finish.
class CtlRun {
  public:
    // `env` are NAME=VALUE overrides for this run only; `input` is its standard input.
    CtlRun(const std::filesystem::path& folder, const std::vector<std::string>& args,
           const std::string& input = "", const std::vector<std::string>& env = {}) {
        static std::atomic<int> counter{0};
        const std::string id = std::to_string(++counter);
        m_in = folder / ("run" + id + ".in");
        m_out = folder / ("run" + id + ".out");
        m_err = folder / ("run" + id + ".err");
        std::ofstream(m_in) << input;
        platform::StartOptions start;
        start.program = "/bin/sh";
        start.arguments = {
            u"-c",
            u"in=$1 out=$2 err=$3; shift 3; exec \"$@\" <\"$in\" >\"$out\" 2>\"$err\"",
            u"sh",
            platform::from_path(m_in),
            platform::from_path(m_out),
            platform::from_path(m_err),
            u"/usr/bin/env"};
        for (const std::string& e : env)
            start.arguments.push_back(platform::to_text(e));
        start.arguments.push_back(platform::to_text(ORVIXCTL_PROGRAM));
        for (const std::string& a : args)
            start.arguments.push_back(platform::to_text(a));
        m_started = platform::start_process(start, &m_process) == 0;
    }
    ~CtlRun() {
        if (m_process.valid() && !m_process.wait(0ms)) {
            m_process.terminate();
            m_process.wait(5000ms);
        }
    }

    bool started() const { return m_started; }
    void Signal(int signal) const { ::kill(static_cast<pid_t>(m_process.id()), signal); }
    std::string OutputSoFar() const { return ReadFileText(m_out); }
    // Waits until standard output holds `text`.
    bool OutputHas(const std::string& text, std::chrono::milliseconds within = 10000ms) const {
        const auto end = std::chrono::steady_clock::now() + within;
        do {
            if (OutputSoFar().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    CtlResult Finish(std::chrono::milliseconds within = 30000ms) {
        CtlResult result;
        if (!m_started)
            return result;
        if (!m_process.wait(within)) {
            m_process.terminate();
            m_process.wait(5000ms);
            result.err = "(orvixctl did not end in time)";
            return result;
        }
        result.exitCode = m_process.exit_code().value_or(-1);
        result.out = ReadFileText(m_out);
        result.err = ReadFileText(m_err);
        return result;
    }

  private:
    std::filesystem::path m_in, m_out, m_err;
    platform::Process m_process;
    bool m_started = false;
};

inline std::ostream& operator<<(std::ostream& os, const CtlResult& r) {
    return os << "exit " << r.exitCode << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// ---- Per test -----------------------------------------------------------------------------------
class CtlTest : public ::testing::Test {
  protected:
    struct Profile {
        Text name, user, password;
    };

    void SetUp() override {
        static std::atomic<int> counter{0};
        const std::string id = std::to_string(++counter);
        m_dir = CtlEnvironment::Root() / ("t" + id);
        std::filesystem::create_directories(m_dir);
        m_control = platform::to_text("ctl" + id + "control");

        CConfigFile::SetConfigFolder(platform::from_path(m_dir));
        CConfigKPClient client;
        client.GetClientInfo().SetProduct(u"Orvix");
        client.GetClientInfo().SetPipeSCToSvc(platform::to_text("ctl" + id + "tosvc"));
        client.GetClientInfo().SetPipeSvcToSC(platform::to_text("ctl" + id + "tosc"));
        client.GetServerInfo().SetLatestList(u"https://update.orvix.example/latest.ini");
        ASSERT_EQ(client.Save(), 1);
        CConfigUser user;
        ASSERT_EQ(user.Save(), 1);
        WriteProfiles({{u"office", u"user@example.jp", u"secret"},
                       {u"auth", u"u", u"p"},
                       {u"disabled", u"u", u"p"},
                       {u"noaccount", u"", u""},
                       {u"cert", u"u", u"p"},
                       {u"certask", u"u", u"p"},
                       {u"silent", u"u", u"p"},
                       {u"slow", u"u", u"p"}});
        std::ofstream(m_dir / "scenario.ini")
            << "[*]\ndelay = 5\n"
               "[auth]\nauth = fail\n"
               "[disabled]\nadapter = disabled\n"
               "[cert]\ncertificate = ask\ncert_issuer = Issuer CA\ncert_subject = vpn.example\n"
               "cert_from = 2020/01/01\ncert_until = 2030/12/31\nanswer_timeout = 100\n"
               "[certask]\ncertificate = ask\nanswer_timeout = 20000\n"
               "[silent]\nstatus = silent\n"
               "[slow]\ndelay = 3000\n";
    }
    void TearDown() override { StopService(); }

    void WriteProfiles(const std::vector<Profile>& profiles) {
        CConfigFile::SetConfigFolder(platform::from_path(m_dir));
        CConfigConnectionList list;
        for (const Profile& p : profiles) {
            CConfigConnectionConInfo* record = list.AddConnectionItem();
            ASSERT_NE(record, nullptr);
            record->SetName(p.name);
            record->SetUser(p.user);
            record->SetPassword(p.password);
        }
        ASSERT_EQ(list.Save(), 1);
    }

    // orvixctl --dir <this test's folder> ARGS, to its end.
    CtlResult Ctl(std::vector<std::string> args, const std::string& input = "") {
        return Start(std::move(args), input).Finish();
    }
    CtlRun Start(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--dir", m_dir.string()});
        return CtlRun(m_dir, args, input);
    }

    // Starts the service on this test's folder and waits until its pipes exist.
    void StartService(std::uint32_t pipeWaitMs = 300) {
        const Text ready = m_control + u"ready";
        Event recv(Event::Reset::Auto), connected(Event::Reset::Auto);
        CNamedPipe waiter;
        ASSERT_EQ(waiter.PipeOpenNamedPipe((u"\\\\.\\pipe\\" + ready).c_str(), 0, true, &recv,
                                           &connected),
                  1);
        platform::StartOptions start;
        start.program = ORVIX_SERVICE_PROGRAM;
        start.arguments = {u"--dir",          platform::from_path(m_dir),
                           u"--control",      m_control,
                           u"--notify-ready", ready,
                           u"--pipe-wait",    platform::to_text(std::to_string(pipeWaitMs)),
                           u"--scenario",     platform::from_path(m_dir / "scenario.ini")};
        ASSERT_EQ(platform::start_process(start, &m_service), 0u);
        ASSERT_TRUE(connected.wait(10000ms)) << "the service did not report";
        ASSERT_EQ(waiter.ReadyRead(), 1);
        ASSERT_TRUE(recv.wait(10000ms));
        char16_t buffer[64] = {};
        std::uint32_t size = sizeof buffer - 2;
        const std::uint32_t n = waiter.PipeReadFile(buffer, &size);
        waiter.PipeCloseHandle();
        ASSERT_EQ(Text(buffer, n / 2), u"ready");
    }
    void StopService() {
        if (!m_service.valid())
            return;
        if (!m_service.wait(0ms)) {
            Control("quit");
            if (!m_service.wait(5000ms))
                m_service.terminate();
        }
        m_service.wait(5000ms);
        m_service = platform::Process();
    }

    // One control command to the service; its answer, or "" when there is none.
    std::string Control(const std::string& command) {
        Event event(Event::Reset::Auto);
        CNamedPipe control;
        if (!control.PipeOpenNamedPipe((u"\\\\.\\pipe\\" + m_control).c_str(), 0, false, &event,
                                       nullptr))
            return "";
        std::string answer;
        if (control.PipeWriteFile(platform::to_text(command).c_str()) && event.wait(5000ms)) {
            std::vector<char16_t> buffer(1 << 16, 0);
            std::uint32_t size = static_cast<std::uint32_t>(buffer.size() * 2 - 2);
            const std::uint32_t n = control.PipeReadFile(buffer.data(), &size);
            answer = platform::to_utf8(platform::TextView(buffer.data(), n / 2));
        }
        control.PipeCloseHandle();
        return answer;
    }
    // Writes one notification (escapes \r \n \\ \uXXXX) once a library is linked.
    bool Notify(const std::string& escaped) {
        for (int i = 0; i < 250; ++i) {
            if (Control("notify " + escaped) == "OK")
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // The service's state once it holds `text`.
    std::string StateWith(const std::string& text) {
        std::string state;
        for (int i = 0; i < 250; ++i) {
            state = Control("state");
            if (state.find(text) != std::string::npos)
                break;
            std::this_thread::sleep_for(20ms);
        }
        return state;
    }

    std::filesystem::path m_dir;
    Text m_control;
    platform::Process m_service;
};

inline ::testing::Environment* const g_ctlEnvironment =
    ::testing::AddGlobalTestEnvironment(new CtlEnvironment);
