#pragma once
// orvixctl as a real process against OrvixService as a real process, in a temporary tree: the
// library is registered once per test program by orvixregsvr; every test gets its own folder,
// pipe names and service.
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "orvix_testing/ServiceHarness.h"
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
class CtlEnvironment : public orvix_testing::TreeEnvironment {
  public:
    CtlEnvironment()
        : TreeEnvironment("ctl", {{"ORVIX_PIPE_DIR", "pipes"},
                                  {"ORVIX_REGISTRY_DIR", "registry"},
                                  {"ORVIX_COMMON_DOCUMENTS", "documents"},
                                  {"ORVIX_PROGRAM_DIR", "program"},
                                  {"ORVIX_WINDOW_DIR", "windows"},
                                  {"ORVIX_TEMP", "temp"}}) {}

    void SetUp() override {
        TreeEnvironment::SetUp();
        ::setenv("ORVIX_UI_LANGUAGE", "1041", 1);
        ASSERT_EQ(orvix_testing::RunRegsvr(ORVIX_REGSVR_PROGRAM, ORVIX_SC_LIBRARY), 0)
            << "registering " << ORVIX_SC_LIBRARY;
    }
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
class CtlTest : public orvix_testing::ServiceTestBase {
  protected:
    void SetUp() override {
        std::string id;
        m_dir = CtlEnvironment::NewTestFolder(&id);
        m_control = platform::to_text("ctl" + id + "control");
        ASSERT_TRUE(orvix_testing::WriteClientFile(m_dir, platform::to_text("ctl" + id + "tosvc"),
                                                   platform::to_text("ctl" + id + "tosc")));
        ASSERT_TRUE(orvix_testing::WriteUserFile(m_dir));
        // The account is "u" / "p" where none is given.
        const auto profiles = orvix_testing::Profiles(
            {u"office", u"auth", u"disabled", u"noaccount", u"cert", u"certask", u"silent",
             u"slow"},
            {{u"office", u"user@example.jp", u"secret"}, {u"noaccount", u"", u""}});
        ASSERT_TRUE(orvix_testing::WriteProfiles(m_dir, profiles));
        orvix_testing::WriteScenario(
            m_dir,
            "[*]\ndelay = 5\n"
            "[auth]\nauth = fail\n"
            "[disabled]\nadapter = disabled\n"
            "[cert]\ncertificate = ask\ncert_issuer = Issuer CA\ncert_subject = vpn.example\n"
            "cert_from = 2020/01/01\ncert_until = 2030/12/31\nanswer_timeout = 100\n"
            "[certask]\ncertificate = ask\nanswer_timeout = 20000\n"
            "[silent]\nstatus = silent\n"
            "[slow]\ndelay = 3000\n");
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
        ASSERT_TRUE(
            m_service.Start({.dir = m_dir, .control = m_control, .pipeWaitMs = pipeWaitMs}));
    }

    Text m_control;
};

inline ::testing::Environment* const g_ctlEnvironment =
    ::testing::AddGlobalTestEnvironment(new CtlEnvironment);
