#include "orvix_testing/ServiceHarness.h"

#include "common/LogOutput.h"
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "platform/fs.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace orvix_testing {

using namespace std::chrono_literals;
using platform::Event;

namespace {

const Text kPipePrefix = u"\\\\.\\pipe\\";

// Sends `command` every 20 ms until `done` holds for its answer, at most `attempts` times; the
// last answer.
template <typename Done>
std::string Repeat(const ServiceProcess& service, const Text& command, int attempts, Done done) {
    std::string answer;
    for (int i = 0; i < attempts; ++i) {
        answer = service.Control(command);
        if (done(answer))
            break;
        std::this_thread::sleep_for(20ms);
    }
    return answer;
}

} // namespace

// ---- The program's temporary tree --------------------------------------------------------------

TreeEnvironment::TreeEnvironment(std::string stem, std::vector<Folder> folders)
    : m_stem(std::move(stem)), m_folders(std::move(folders)) {}

std::filesystem::path TreeEnvironment::NewTestFolder(std::string* id) {
    static std::atomic<int> counter{0};
    const std::string n = std::to_string(++counter);
    const std::filesystem::path dir = s_root / ("t" + n);
    std::filesystem::create_directories(dir);
    if (id)
        *id = n;
    return dir;
}

void TreeEnvironment::SetUp() {
    std::string pattern = "/tmp/orvix-" + m_stem + "-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    s_root = pattern;
    for (const Folder& folder : m_folders) {
        const std::filesystem::path dir = s_root / folder.name;
        std::filesystem::create_directories(dir);
        ::setenv(folder.variable, dir.c_str(), 1);
    }
    m_session = m_stem + "-" + std::to_string(::getpid());
    ::setenv("ORVIX_SESSION", m_session.c_str(), 1);
}

void TreeEnvironment::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(s_root, ec);
    if (!m_session.empty())
        RemoveSessionMutexes(m_session);
}

void RemoveSessionMutexes(const std::string& session) {
    // A named mutex is the shared-memory object "orvix-<session>-<name>".
    const std::string prefix = "orvix-" + session + "-";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        if (entry.path().filename().string().starts_with(prefix))
            std::filesystem::remove(entry.path(), ec);
    }
}

int RunRegsvr(const std::filesystem::path& regsvr, const std::filesystem::path& library,
              std::vector<Text> options) {
    platform::StartOptions start;
    start.program = regsvr;
    start.arguments = std::move(options);
    start.arguments.push_back(u"/s");
    start.arguments.push_back(platform::from_path(library));
    platform::Process process;
    if (platform::start_process(start, &process) != 0 || !process.wait(30000ms))
        return -1;
    return process.exit_code().value_or(-1);
}

// ---- The files of one folder -------------------------------------------------------------------

::testing::AssertionResult WriteClientFile(const std::filesystem::path& dir, const Text& toService,
                                           const Text& toClient, bool identity) {
    CConfigFile::SetConfigFolder(platform::from_path(dir));
    CConfigKPClient client;
    if (identity) {
        client.GetClientInfo().SetProduct(u"Orvix");
        client.GetServerInfo().SetLatestList(u"https://update.orvix.example/latest.ini");
    }
    client.GetClientInfo().SetPipeSCToSvc(toService);
    client.GetClientInfo().SetPipeSvcToSC(toClient);
    if (client.Save() != 1)
        return ::testing::AssertionFailure()
               << "the client file is not saved [" << std::hex << client.GetLastResult() << "]";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult WriteUserFile(const std::filesystem::path& dir,
                                         const std::string& logName) {
    CConfigFile::SetConfigFolder(platform::from_path(dir));
    CConfigUser user;
    if (!logName.empty()) {
        user.GetLogInfo().SetPathname(platform::to_text(logName));
        user.GetLogInfo().SetDebugLevel(CConfigUserLogInfo::LevelInfo);
        user.GetLogInfo().SetDebugLog(1);
        user.GetLogInfo().SetDebugCategory(LOGCAT_APP | LOGCAT_PIPE);
    }
    if (user.Save() != 1)
        return ::testing::AssertionFailure()
               << "the user file is not saved [" << std::hex << user.GetLastResult() << "]";
    return ::testing::AssertionSuccess();
}

std::vector<Profile> Profiles(const std::vector<Text>& names,
                              const std::vector<Profile>& accounts) {
    std::vector<Profile> out;
    for (const Text& name : names) {
        const auto given = std::find_if(accounts.begin(), accounts.end(),
                                        [&](const Profile& p) { return p.name == name; });
        out.push_back(given != accounts.end() ? *given : Profile{name});
    }
    return out;
}

::testing::AssertionResult WriteProfiles(const std::filesystem::path& dir,
                                         const std::vector<Profile>& profiles) {
    CConfigFile::SetConfigFolder(platform::from_path(dir));
    CConfigConnectionList list;
    for (const Profile& p : profiles) {
        CConfigConnectionConInfo* record = list.AddConnectionItem();
        if (!record)
            return ::testing::AssertionFailure() << "no room for " << platform::to_utf8(p.name);
        record->SetName(p.name);
        record->SetUser(p.user);
        record->SetPassword(p.password);
    }
    if (list.Save() != 1)
        return ::testing::AssertionFailure()
               << "the connection list is not saved [" << std::hex << list.GetLastResult() << "]";
    return ::testing::AssertionSuccess();
}

void WriteScenario(const std::filesystem::path& dir, const std::string& text) {
    std::ofstream(dir / "scenario.ini") << text;
}

std::string LibraryLogText(const std::string& name) {
    const auto path =
        platform::known_folder(platform::KnownFolder::CommonDocuments) / "Orvix" / name;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return platform::to_utf8(platform::utf16le_to_text(bytes));
}

void PrintLibraryLogTail(const std::string& name, std::size_t keep) {
    const std::string log = LibraryLogText(name);
    std::fprintf(stderr, "---- library log (%s) ----\n%s\n---- end of log ----\n", name.c_str(),
                 log.size() > keep ? log.substr(log.size() - keep).c_str() : log.c_str());
}

// ---- Pipes and the control pipe ----------------------------------------------------------------

std::optional<Text> ReadOne(CNamedPipe& pipe) {
    std::vector<char16_t> buffer(256, 0);
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size() * 2);
    std::uint32_t n = pipe.PipeReadFile(buffer.data(), &size);
    if (n == 0 && pipe.GetLastResult() == PIPE_E_MORE_DATA) {
        buffer.assign(size / 2 + 1, 0);
        size = static_cast<std::uint32_t>(buffer.size() * 2);
        n = pipe.PipeReadFile(buffer.data(), &size);
    }
    if (n == 0)
        return std::nullopt;
    return Text(buffer.data(), n / 2);
}

std::string Control(const Text& pipe, const Text& command) {
    Event event(Event::Reset::Auto);
    CNamedPipe control;
    if (!control.PipeOpenNamedPipe((kPipePrefix + pipe).c_str(), 0, false, &event, nullptr))
        return "";
    std::string answer;
    if (control.PipeWriteFile(command.c_str()) && event.wait(5000ms))
        answer = platform::to_utf8(ReadOne(control).value_or(u""));
    control.PipeCloseHandle();
    return answer;
}

// ---- One service process -----------------------------------------------------------------------

::testing::AssertionResult ServiceProcess::Start(Options options) {
    Stop();
    m_control = options.control;
    const Text ready = m_control + u"ready";
    Event recv(Event::Reset::Auto), connected(Event::Reset::Auto);
    CNamedPipe waiter;
    if (waiter.PipeOpenNamedPipe((kPipePrefix + ready).c_str(), 0, true, &recv, &connected) != 1)
        return ::testing::AssertionFailure()
               << "no pipe for the ready report [" << std::hex << waiter.GetLastResult() << "]";
    platform::StartOptions start;
    start.program = ORVIX_SERVICE_PROGRAM;
    start.arguments = {u"--dir",          platform::from_path(options.dir),
                       u"--control",      m_control,
                       u"--notify-ready", ready,
                       u"--pipe-wait",    platform::to_text(std::to_string(options.pipeWaitMs))};
    const std::filesystem::path scenario = options.dir / "scenario.ini";
    if (std::filesystem::exists(scenario)) {
        start.arguments.push_back(u"--scenario");
        start.arguments.push_back(platform::from_path(scenario));
    }
    start.arguments.insert(start.arguments.end(), options.extra.begin(), options.extra.end());
    if (options.verbose)
        start.arguments.push_back(u"--verbose");
    if (const std::uint32_t error = platform::start_process(start, &m_process); error != 0)
        return ::testing::AssertionFailure()
               << ORVIX_SERVICE_PROGRAM << " does not start [" << error << "]";
    if (!connected.wait(10000ms))
        return ::testing::AssertionFailure() << "the service did not report";
    if (waiter.ReadyRead() != 1 || !recv.wait(10000ms))
        return ::testing::AssertionFailure() << "no ready report from the service";
    const Text report = ReadOne(waiter).value_or(u"nothing");
    waiter.PipeCloseHandle();
    if (report != u"ready")
        return ::testing::AssertionFailure()
               << "the service reported \"" << platform::to_utf8(report) << "\"";
    return ::testing::AssertionSuccess();
}

void ServiceProcess::Stop() {
    if (!m_process.valid())
        return;
    if (!m_process.wait(0ms)) {
        Control(u"quit");
        if (!m_process.wait(5000ms))
            m_process.terminate();
    }
    m_process.wait(5000ms);
    m_process = platform::Process();
}

std::string ServiceProcess::Control(const Text& command) const {
    return orvix_testing::Control(m_control, command);
}

std::string ServiceProcess::Control(const std::string& command) const {
    return Control(platform::to_text(command));
}

bool ServiceProcess::ControlUntilOk(const Text& command) const {
    return Repeat(*this, command, 250, [](const std::string& a) { return a == "OK"; }) == "OK";
}

bool ServiceProcess::Notify(const std::string& escaped) const {
    return ControlUntilOk(u"notify " + platform::to_text(escaped));
}

std::string ServiceProcess::StateWith(const std::string& text) const {
    return Repeat(*this, u"state", 250,
                  [&](const std::string& state) { return state.find(text) != std::string::npos; });
}

} // namespace orvix_testing
