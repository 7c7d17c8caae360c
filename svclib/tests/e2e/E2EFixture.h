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
#include "orvix_testing/ServiceHarness.h"
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
class E2EEnvironment : public orvix_testing::TreeEnvironment {
  public:
    E2EEnvironment()
        : TreeEnvironment("sc-e2e", {{"ORVIX_PIPE_DIR", "pipes"},
                                     {"ORVIX_REGISTRY_DIR", "registry"},
                                     {"ORVIX_COMMON_DOCUMENTS", "documents"},
                                     {"ORVIX_PROGRAM_DIR", "program"},
                                     {"ORVIX_TEMP", "temp"}}) {}

    // One log writer for the whole program: the library keeps the address it was handed.
    static CLogOutput& Log() {
        static CLogOutput log;
        return log;
    }

    void SetUp() override {
        TreeEnvironment::SetUp();
        ::setenv("ORVIX_UI_LANGUAGE", "1041", 1);
        // The language resource library is looked up below the current directory.
        ASSERT_EQ(::chdir(ORVIX_BIN_DIR), 0);
        ASSERT_EQ(RunRegsvr({}), 0) << "registering " << ORVIX_SC_LIBRARY;
    }
    void TearDown() override {
        platform::free_unused_libraries();
        TreeEnvironment::TearDown();
    }

    // Runs orvixregsvr as the installer does; its exit code.
    static int RunRegsvr(std::vector<Text> options) {
        return orvix_testing::RunRegsvr(ORVIX_REGSVR_PROGRAM, ORVIX_SC_LIBRARY, std::move(options));
    }
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
class E2ETest : public orvix_testing::ServiceTestBase {
  protected:
    void SetUp() override {
        std::string id;
        m_dir = E2EEnvironment::NewTestFolder(&id);
        m_toService = platform::to_text("e2e" + id + "tosvc");
        m_toClient = platform::to_text("e2e" + id + "tosc");
        m_control = platform::to_text("e2e" + id + "ctl");
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_logName = std::string(info->name()) + "_" + id + ".log";
        for (char& c : m_logName)
            if (c == '/')
                c = '_';

        ASSERT_TRUE(orvix_testing::WriteClientFile(m_dir, m_toService, m_toClient));
        ASSERT_TRUE(orvix_testing::WriteUserFile(m_dir, m_logName));
        // The account is "u" / "p" where none is given.
        const auto profiles =
            orvix_testing::Profiles({u"office", u"auth", u"disabled", u"cert", u"silent"},
                                    {{u"office", u"user@example.jp", u"secret"}});
        ASSERT_TRUE(orvix_testing::WriteProfiles(m_dir, profiles));
        orvix_testing::WriteScenario(m_dir, "[*]\ndelay = 5\n"
                                            "[auth]\nauth = fail\n"
                                            "[disabled]\nadapter = disabled\n"
                                            "[cert]\ncertificate = ask\ncert_issuer = Issuer CA\n"
                                            "cert_subject = vpn.example\ncert_from = 2020/01/01\n"
                                            "cert_until = 2030/12/31\nanswer_timeout = 5000\n"
                                            "[silent]\nstatus = silent\n");
    }

    void TearDown() override {
        // What the library wrote, next to the service's trace on standard error.
        if (HasFailure())
            orvix_testing::PrintLibraryLogTail(m_logName);
        for (auto& client : m_clients) {
            if (client)
                client->Uninitialize();
        }
        m_clients.clear();
        ServiceTestBase::TearDown();
    }

    // Starts the service on this test's folder and waits until its pipes exist.
    void StartService(std::uint32_t pipeWaitMs = 300) {
        ASSERT_TRUE(
            m_service.Start({.dir = m_dir, .control = m_control, .pipeWaitMs = pipeWaitMs}));
    }
    void StopService() { m_service.Stop(); }

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
    std::string LogText() const { return orvix_testing::LibraryLogText(m_logName); }
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

    Text m_toService, m_toClient, m_control;
    std::string m_logName;
    std::vector<ComPtr<IKp32ClientSC>> m_clients;
};

inline ::testing::Environment* const g_e2eEnvironment =
    ::testing::AddGlobalTestEnvironment(new E2EEnvironment);
