#pragma once
// The client library as the tray application uses it, against OrvixService running as a real
// process in a temporary tree. The library is registered once per test program by orvixregsvr;
// every test gets its own folder, pipe names, service process and log file.
#include "common/LogOutput.h"
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "interfaces/orvixsc_codes.h"
#include "interfaces/orvixsc_interfaces.h"
#include "platform/com.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "svclib/NamedPipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::BSTR;
using platform::Bstr;
using platform::ComPtr;
using platform::Event;
using platform::HRESULT;
using platform::LONG_PTR;
using platform::Text;
using platform::ULONG;

inline constexpr HRESULT kTimeout = platform::make_hresult(0x80070102);

inline std::string U8(platform::TextView t) {
    return platform::to_utf8(t);
}

// ---- The program's temporary tree and the registered library -----------------------------------
class E2EEnvironment : public ::testing::Environment {
  public:
    static std::filesystem::path Root() { return s_root; }
    // One log writer for the whole program: the library keeps the address it was handed.
    static CLogOutput& Log() {
        static CLogOutput log;
        return log;
    }

    void SetUp() override {
        char pattern[] = "/tmp/orvix-sc-e2e-XXXXXX";
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
        set("ORVIX_TEMP", s_root / "temp");
        ::setenv("ORVIX_SESSION", ("sc-e2e-" + std::to_string(::getpid())).c_str(), 1);
        ::setenv("ORVIX_UI_LANGUAGE", "1041", 1);
        // The language resource library is looked up below the current directory.
        ASSERT_EQ(::chdir(ORVIX_BIN_DIR), 0);
        ASSERT_EQ(RunRegsvr({}), 0) << "registering " << ORVIX_SC_LIBRARY;
    }
    void TearDown() override {
        platform::free_unused_libraries();
        std::error_code ec;
        std::filesystem::remove_all(s_root, ec);
    }

    // Runs orvixregsvr as the installer does; its exit code.
    static int RunRegsvr(std::vector<Text> options) {
        platform::StartOptions start;
        start.program = ORVIX_REGSVR_PROGRAM;
        start.arguments = std::move(options);
        start.arguments.push_back(u"/s");
        start.arguments.push_back(platform::to_text(ORVIX_SC_LIBRARY));
        platform::Process process;
        if (platform::start_process(start, &process) != 0 || !process.wait(30000ms))
            return -1;
        return process.exit_code().value_or(-1);
    }

  private:
    static inline std::filesystem::path s_root;
};

// ---- One event as the application takes it out ----------------------------------------------
struct TakenEvent {
    ULONG code = 0;
    bool hasContext = false;
    std::string context;
    void* iface = nullptr; // identity only: the reference was released
};

inline std::optional<TakenEvent> TakeEvent(IZa32VUEvent* queue, ULONG waitMs,
                                           HRESULT* result = nullptr) {
    ULONG code = 0;
    LONG_PTR context = 0, iface = 0;
    const HRESULT hr = queue->GetEvent(&code, &context, &iface, waitMs);
    if (result)
        *result = hr;
    if (hr != platform::S_OK)
        return std::nullopt;
    TakenEvent event;
    event.code = code;
    event.hasContext = context != 0;
    event.context = U8(platform::bstr_view(reinterpret_cast<BSTR>(context)));
    event.iface = reinterpret_cast<void*>(iface);
    platform::SysFreeString(reinterpret_cast<BSTR>(context));
    if (iface)
        reinterpret_cast<platform::IUnknown*>(iface)->Release();
    return event;
}

// Events up to and with the first of code `last` (or nothing more within the wait).
inline std::vector<TakenEvent> TakeUntil(IZa32VUEvent* queue, ULONG last, ULONG waitMs = 5000) {
    std::vector<TakenEvent> out;
    while (auto event = TakeEvent(queue, waitMs)) {
        out.push_back(*event);
        if (event->code == last)
            break;
    }
    return out;
}

inline std::vector<ULONG> Codes(const std::vector<TakenEvent>& events) {
    std::vector<ULONG> codes;
    for (const auto& e : events)
        codes.push_back(e.code);
    return codes;
}

// The error information the last failing call left on this thread.
struct ErrorText {
    std::string source, description;
};
inline ErrorText TakeErrorInfo() {
    ErrorText out;
    ComPtr<platform::IErrorInfo> info;
    if (platform::GetErrorInfo(0, info.put()) == platform::S_OK && info) {
        Bstr source, description;
        info->GetSource(source.put());
        info->GetDescription(description.put());
        out.source = U8(source.view());
        out.description = U8(description.view());
    }
    return out;
}

// ---- Per test ---------------------------------------------------------------------------------
class E2ETest : public ::testing::Test {
  protected:
    struct Profile {
        Text name, user, password;
    };

    void SetUp() override {
        static std::atomic<int> counter{0};
        const std::string id = std::to_string(++counter);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = E2EEnvironment::Root() / (std::string("t") + id);
        std::filesystem::create_directories(m_dir);
        m_toService = platform::to_text("e2e" + id + "tosvc");
        m_toClient = platform::to_text("e2e" + id + "tosc");
        m_control = platform::to_text("e2e" + id + "ctl");
        m_logName = std::string(info->name()) + "_" + id + ".log";
        for (char& c : m_logName)
            if (c == '/')
                c = '_';

        CConfigFile::SetConfigFolder(platform::from_path(m_dir));
        CConfigKPClient client;
        client.GetClientInfo().SetProduct(u"Orvix");
        client.GetClientInfo().SetPipeSCToSvc(m_toService);
        client.GetClientInfo().SetPipeSvcToSC(m_toClient);
        client.GetServerInfo().SetLatestList(u"https://update.orvix.example/latest.ini");
        ASSERT_EQ(client.Save(), 1);
        CConfigUser user;
        user.GetLogInfo().SetPathname(platform::to_text(m_logName));
        user.GetLogInfo().SetDebugLevel(CConfigUserLogInfo::LevelInfo);
        user.GetLogInfo().SetDebugLog(1);
        user.GetLogInfo().SetDebugCategory(LOGCAT_APP | LOGCAT_PIPE);
        ASSERT_EQ(user.Save(), 1);
        WriteProfiles({{u"office", u"user@example.jp", u"secret"},
                       {u"auth", u"u", u"p"},
                       {u"disabled", u"u", u"p"},
                       {u"cert", u"u", u"p"},
                       {u"silent", u"u", u"p"}});
        WriteScenario("[*]\ndelay = 5\n"
                      "[auth]\nauth = fail\n"
                      "[disabled]\nadapter = disabled\n"
                      "[cert]\ncertificate = ask\ncert_issuer = Issuer CA\n"
                      "cert_subject = vpn.example\ncert_from = 2020/01/01\n"
                      "cert_until = 2030/12/31\nanswer_timeout = 5000\n"
                      "[silent]\nstatus = silent\n");
    }

    void TearDown() override {
        if (HasFailure()) {
            // What the library wrote, next to the service's trace on standard error.
            const std::string log = LogText();
            const std::size_t keep = 12000;
            std::fprintf(stderr, "---- library log (%s) ----\n%s\n---- end of log ----\n",
                         m_logName.c_str(),
                         log.size() > keep ? log.substr(log.size() - keep).c_str() : log.c_str());
        }
        for (auto& client : m_clients) {
            if (client)
                client->Uninitialize();
        }
        m_clients.clear();
        StopService();
    }

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
    void WriteScenario(const std::string& text) { std::ofstream(m_dir / "scenario.ini") << text; }

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
                           u"--scenario",     platform::from_path(m_dir / "scenario.ini"),
                           u"--verbose"};
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
            Control(u"quit");
            if (!m_service.wait(5000ms))
                m_service.terminate();
        }
        m_service.wait(5000ms);
        m_service = platform::Process();
    }

    // One control command; the answer, or "" when there is none.
    std::string Control(const Text& command) {
        Event event(Event::Reset::Auto);
        CNamedPipe control;
        if (!control.PipeOpenNamedPipe((u"\\\\.\\pipe\\" + m_control).c_str(), 0, false, &event,
                                       nullptr))
            return "";
        std::string answer;
        if (control.PipeWriteFile(command.c_str()) && event.wait(5000ms)) {
            std::vector<char16_t> buffer(1 << 16, 0);
            std::uint32_t size = static_cast<std::uint32_t>(buffer.size() * 2 - 2);
            const std::uint32_t n = control.PipeReadFile(buffer.data(), &size);
            answer = U8(platform::TextView(buffer.data(), n / 2));
        }
        control.PipeCloseHandle();
        return answer;
    }

    // Writes one notification through the service (escapes \r \n \\ \uXXXX), waiting until
    // the service has taken the library's pipes in.
    bool Notify(const std::string& escaped) {
        return ControlUntilOk(u"notify " + platform::to_text(escaped));
    }
    bool ControlUntilOk(const Text& command) {
        for (int i = 0; i < 100; ++i) {
            const std::string answer = Control(command);
            if (answer == "OK")
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // The service's state once it holds `text` (commands and control requests travel on
    // different pipes, so a command written before may not have been handled yet).
    std::string StateWith(const std::string& text) {
        std::string state;
        for (int i = 0; i < 250; ++i) {
            state = Control(u"state");
            if (state.find(text) != std::string::npos)
                break;
            std::this_thread::sleep_for(20ms);
        }
        return state;
    }

    // A client object created by class id, given the log writer, initialised on this test's
    // folder, with its event queue (mask 0xFFFF); linked to the service when `link`.
    struct Client {
        ComPtr<IKp32ClientSC> sc;
        ComPtr<IZa32VUEvent> events;
        ComPtr<IZa32VUSystem> system;
    };
    Client NewClient(bool link = true) {
        Client c;
        EXPECT_EQ(platform::create_instance(CLSID_Kp32ClientSC, nullptr, c.sc), platform::S_OK);
        if (!c.sc)
            return c;
        m_clients.push_back(c.sc);
        EXPECT_EQ(c.sc->SetLogOutObject(reinterpret_cast<LONG_PTR>(&E2EEnvironment::Log())),
                  platform::S_OK);
        Bstr folder(platform::from_path(m_dir));
        EXPECT_EQ(c.sc->Initialize(folder.get()), platform::S_OK);
        EXPECT_EQ(c.sc.query(c.events), platform::S_OK);
        EXPECT_EQ(c.sc.query(c.system), platform::S_OK);
        if (c.events)
            c.events->SetEventMask(0xFFFF);
        if (link) {
            EXPECT_EQ(c.sc->ConnectService(), platform::S_OK);
        }
        return c;
    }

    // The connection named `name` from a fresh enumeration.
    static ComPtr<IZa32VUConnection> Find(IKp32ClientSC* sc, const Text& name) {
        ComPtr<IZa32VUEnumConnections> enumerator;
        if (sc->EnumConnections(enumerator.put()) != platform::S_OK)
            return nullptr;
        for (;;) {
            IZa32VUConnection* item = nullptr;
            ULONG fetched = 0;
            enumerator->Next(1, &item, &fetched);
            if (fetched == 0)
                return nullptr;
            auto connection = ComPtr<IZa32VUConnection>::attach(item);
            Bstr itemName;
            connection->get_Name(itemName.put());
            if (itemName.view() == name)
                return connection;
        }
    }

    // The log lines written so far (UTF-8).
    std::string LogText() const {
        const auto path =
            platform::known_folder(platform::KnownFolder::CommonDocuments) / "Orvix" / m_logName;
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        Text text;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return U8(text);
    }
    // Waits until the log holds `line` (the receive thread writes on its own time).
    bool LogHas(const std::string& line, std::chrono::milliseconds within = 5000ms) const {
        const auto end = std::chrono::steady_clock::now() + within;
        do {
            if (LogText().find(line) != std::string::npos)
                return true;
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t pos = text.find(what); pos != std::string::npos;
             pos = text.find(what, pos + what.size()))
            ++n;
        return n;
    }

    std::filesystem::path m_dir;
    Text m_toService, m_toClient, m_control;
    std::string m_logName;
    platform::Process m_service;
    std::vector<ComPtr<IKp32ClientSC>> m_clients;
};

inline ::testing::Environment* const g_e2eEnvironment =
    ::testing::AddGlobalTestEnvironment(new E2EEnvironment);
