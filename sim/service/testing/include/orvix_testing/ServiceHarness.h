#pragma once
// Runs OrvixService as a real process for tests: the test program's temporary tree, the
// configuration files of one test's folder, the service started on that folder with its ready
// report, its control pipe, and its stop.
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "svclib/NamedPipe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvix_testing {

using platform::Text;

// ---- The program's temporary tree --------------------------------------------------------------
// One folder below /tmp for the whole test program; each variable of `folders` names one of its
// sub-folders. ORVIX_SESSION is "<stem>-<process id>", so the named mutexes of the program (and
// of the processes it starts) are its own; they are removed with the tree.
class TreeEnvironment : public ::testing::Environment {
  public:
    struct Folder {
        const char* variable; // e.g. ORVIX_PIPE_DIR
        const char* name;     // below the root
    };
    // `stem`: letters, digits, '-', '_' and '.' only (it becomes part of mutex file names).
    TreeEnvironment(std::string stem, std::vector<Folder> folders);

    static const std::filesystem::path& Root() { return s_root; }
    // A fresh folder for one test below the root, "t<n>"; `id` receives n.
    static std::filesystem::path NewTestFolder(std::string* id = nullptr);

    void SetUp() override;
    void TearDown() override;

  private:
    std::string m_stem;
    std::vector<Folder> m_folders;
    std::string m_session;
    static inline std::filesystem::path s_root;
};

// Removes the shared-memory files of the named mutexes of `session` (nothing of other sessions).
void RemoveSessionMutexes(const std::string& session);

// Runs the registration program on `library` as the installer does (silent, after `options`);
// its exit code, or -1 when it did not start or end in time.
int RunRegsvr(const std::filesystem::path& regsvr, const std::filesystem::path& library,
              std::vector<Text> options = {});

// ---- The files of one folder -------------------------------------------------------------------
// A connection profile; the account is "u" / "p" unless given.
struct Profile {
    Text name;
    Text user = u"u";
    Text password = u"p";
};
// The client file with the two pipe names; with `identity` also the product name and the address
// of the update list.
::testing::AssertionResult WriteClientFile(const std::filesystem::path& dir, const Text& toService,
                                           const Text& toClient, bool identity = true);
// The user file; with a `logName`, the debug log (information level, application and pipe
// categories) goes to that file in the common documents.
::testing::AssertionResult WriteUserFile(const std::filesystem::path& dir,
                                         const std::string& logName = "");
// Profiles `names` in that order, each with its account from `accounts` when it is there.
std::vector<Profile> Profiles(const std::vector<Text>& names, const std::vector<Profile>& accounts);
::testing::AssertionResult WriteProfiles(const std::filesystem::path& dir,
                                         const std::vector<Profile>& profiles);
// <dir>/scenario.ini, which the service is started with when it exists.
void WriteScenario(const std::filesystem::path& dir, const std::string& text);

// The library's log file `name` (UTF-16) as UTF-8; "" when there is none.
std::string LibraryLogText(const std::string& name);
// The last `keep` bytes of that log on standard error, next to the service's trace.
void PrintLibraryLogTail(const std::string& name, std::size_t keep = 12000);

// ---- Pipes and the control pipe ----------------------------------------------------------------
// Reads one message from an asynchronous end whose event fired, growing the buffer once.
std::optional<Text> ReadOne(CNamedPipe& pipe);
// One command on a fresh connection to the control pipe `pipe`; the answer, or "" when none.
std::string Control(const Text& pipe, const Text& command);

// ---- One service process -----------------------------------------------------------------------
class ServiceProcess {
  public:
    struct Options {
        std::filesystem::path dir; // --dir; the scenario is <dir>/scenario.ini when it exists
        Text control;              // the control pipe; the service reports on <control>ready
        std::uint32_t pipeWaitMs = 300;
        std::vector<Text> extra; // more arguments
        bool verbose = true;     // its trace on standard error, in the output of a failing test
    };

    ServiceProcess() = default;
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess() { Stop(); }

    // Starts the service and waits until it reports that its pipes exist.
    ::testing::AssertionResult Start(Options options);
    // "quit", then the process is terminated when it has not ended within five seconds.
    void Stop();

    // The process, as platform::Process has it.
    bool valid() const { return m_process.valid(); }
    bool wait(platform::Milliseconds timeout) { return m_process.wait(timeout); }
    std::optional<int> exit_code() const { return m_process.exit_code(); }

    std::string Control(const Text& command) const;
    std::string Control(const std::string& command) const;
    // Repeats `command` until it is answered "OK" (false after about five seconds).
    bool ControlUntilOk(const Text& command) const;
    // Writes one notification (escapes \r \n \\ \uXXXX) once a library is linked.
    bool Notify(const std::string& escaped) const;
    // The service's state once it holds `text` (commands and control requests travel on
    // different pipes, so a command written before may not have been handled yet); the last
    // state seen otherwise.
    std::string StateWith(const std::string& text) const;

  private:
    Text m_control;
    platform::Process m_process;
};

// ---- A test with one service -------------------------------------------------------------------
// The test's folder, its service and the control commands as the fixture's own; the service is
// stopped at the end of the test.
class ServiceTestBase : public ::testing::Test {
  protected:
    void TearDown() override { m_service.Stop(); }

    std::string Control(const Text& command) const { return m_service.Control(command); }
    std::string Control(const std::string& command) const { return m_service.Control(command); }
    bool ControlUntilOk(const Text& command) const { return m_service.ControlUntilOk(command); }
    bool Notify(const std::string& escaped) const { return m_service.Notify(escaped); }
    std::string StateWith(const std::string& text) const { return m_service.StateWith(text); }

    std::filesystem::path m_dir;
    ServiceProcess m_service;
};

} // namespace orvix_testing
