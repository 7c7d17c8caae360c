#pragma once
// Runs OrvixService as a real process in a temporary tree and talks to it the way the client
// library does: a synchronous send pipe, an asynchronous receive pipe, and the control pipe.
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "platform/process.h"
#include "svclib/NamedPipe.h"
#include "svclib/PipeMessage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::Event;
using platform::Text;

inline std::string U8(const Text& t) {
    return platform::to_utf8(t);
}

// Reads one message from an asynchronous end whose event fired, growing the buffer once.
inline std::optional<Text> ReadOne(CNamedPipe& pipe) {
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

// The library's side of the two pipes.
struct Library {
    Event event{Event::Reset::Auto};
    CNamedPipe send;
    CNamedPipe recv;

    platform::HRESULT Open(const Text& sendName, const Text& recvName) {
        if (!send.PipeOpenNamedPipe(sendName.c_str(), 0, false, nullptr, nullptr))
            return send.GetLastResult();
        if (!recv.PipeOpenNamedPipe(recvName.c_str(), 0, false, &event, nullptr)) {
            send.PipeCloseHandle();
            return recv.GetLastResult();
        }
        return 0;
    }
    void Close() {
        send.PipeCloseHandle();
        recv.PipeCloseHandle();
    }
    bool Command(std::uint32_t command, const Text& text, std::int32_t flag = 0) {
        const Text message = BuildCommandText(command, text.c_str(), flag);
        return send.PipeWriteFile(message.c_str()) > 0;
    }
    // The next notification, or nothing within `timeout` (or a broken link: see Broken()).
    std::optional<SCNotification> Next(platform::Milliseconds timeout = 5000ms) {
        const auto text = NextRaw(timeout);
        if (!text)
            return std::nullopt;
        return ParseNotification(*text);
    }
    // The event fires only for a message or a broken link; anything else leaves the library's
    // receive thread without its notifications.
    std::optional<Text> NextRaw(platform::Milliseconds timeout = 5000ms) {
        if (!event.wait(timeout))
            return std::nullopt;
        auto text = ReadOne(recv);
        if (!text && recv.GetLastResult() != PIPE_E_BROKEN)
            ADD_FAILURE() << "the receive event fired without a message: last result " << std::hex
                          << recv.GetLastResult();
        return text;
    }
    // Reads notifications up to the first with `word`; every word seen, in order.
    std::vector<std::string> Until(const Text& word, std::vector<SCNotification>* all = nullptr) {
        std::vector<std::string> words;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto n = Next(std::chrono::duration_cast<platform::Milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!n)
                break;
            std::string w = U8(n->word);
            for (std::size_t k = 1; n->word == u"INFORMATION" && k < 2 && n->args.size() > 1; ++k)
                w += " " + U8(n->args[1]);
            words.push_back(w);
            const bool last = n->word == word;
            if (all)
                all->push_back(std::move(*n));
            if (last)
                break;
        }
        return words;
    }
};

class ServiceFixture : public ::testing::Test {
  protected:
    static constexpr char16_t kToService[] = u"OrvixTestSCtoSvc";
    static constexpr char16_t kToClient[] = u"OrvixTestSvctoSC";
    static constexpr char16_t kControl[] = u"OrvixTestControl";

    void SetUp() override {
        char pattern[] = "/tmp/orvix-service-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ::setenv("ORVIX_PIPE_DIR", (m_dir / "pipes").c_str(), 1);
        CConfigFile::SetConfigFolder(platform::from_path(m_dir));
        CConfigKPClient client;
        client.GetClientInfo().SetPipeSCToSvc(kToService);
        client.GetClientInfo().SetPipeSvcToSC(kToClient);
        ASSERT_EQ(client.Save(), 1) << std::hex << client.GetLastResult();
        WriteProfiles({{u"office", u"user@example.jp", u"pw"},
                       {u"noaccount", u"user@example.jp", u""},
                       {u"cert", u"u", u"p"},
                       {u"auth", u"u", u"p"},
                       {u"disabled", u"u", u"p"},
                       {u"drop", u"u", u"p"},
                       {u"silent", u"u", u"p"},
                       {u"接続", u"u", u"p"}});
    }

    void TearDown() override {
        if (m_service.valid()) {
            Control(u"quit");
            if (!m_service.wait(5000ms))
                m_service.terminate();
            m_service.wait(5000ms);
        }
        ::unsetenv("ORVIX_PIPE_DIR");
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    struct ProfileEntry {
        Text name, user, password;
    };
    void WriteProfiles(const std::vector<ProfileEntry>& profiles) {
        CConfigConnectionList list;
        for (const ProfileEntry& p : profiles) {
            CConfigConnectionConInfo* record = list.AddConnectionItem();
            ASSERT_NE(record, nullptr);
            record->SetName(p.name);
            record->SetUser(p.user);
            record->SetPassword(p.password);
        }
        ASSERT_EQ(list.Save(), 1);
    }

    void WriteScenario(const std::string& text) { std::ofstream(m_dir / "scenario.ini") << text; }

    // Starts the service and waits until its pipes exist.
    void Start(std::vector<Text> extra = {}, std::uint32_t pipeWaitMs = 300) {
        const Text ready = u"OrvixTestReady";
        Event recv(Event::Reset::Auto), connected(Event::Reset::Auto);
        CNamedPipe waiter;
        ASSERT_EQ(waiter.PipeOpenNamedPipe((u"\\\\.\\pipe\\" + ready).c_str(), 0, true, &recv,
                                           &connected),
                  1);
        platform::StartOptions start;
        start.program = ORVIX_SERVICE_PROGRAM;
        start.arguments = {u"--dir",          platform::from_path(m_dir),
                           u"--control",      kControl,
                           u"--notify-ready", ready,
                           u"--pipe-wait",    platform::to_text(std::to_string(pipeWaitMs))};
        if (std::filesystem::exists(m_dir / "scenario.ini")) {
            start.arguments.push_back(u"--scenario");
            start.arguments.push_back(platform::from_path(m_dir / "scenario.ini"));
        }
        start.arguments.insert(start.arguments.end(), extra.begin(), extra.end());
        if (std::getenv("ORVIX_TEST_SERVICE_VERBOSE"))
            start.arguments.push_back(u"--verbose");
        ASSERT_EQ(platform::start_process(start, &m_service), 0u);
        ASSERT_TRUE(connected.wait(10000ms)) << "the service did not report";
        ASSERT_EQ(waiter.ReadyRead(), 1);
        ASSERT_TRUE(recv.wait(10000ms));
        EXPECT_EQ(ReadOne(waiter).value_or(u"nothing"), u"ready");
    }

    Text SendPipe() const { return Text(u"\\\\.\\pipe\\") + kToService; }
    Text RecvPipe() const { return Text(u"\\\\.\\pipe\\") + kToClient; }

    // Sends one control command on a fresh control connection; the answer, or "" when none.
    std::string Control(const Text& command) {
        Event event(Event::Reset::Auto);
        CNamedPipe control;
        if (!control.PipeOpenNamedPipe((Text(u"\\\\.\\pipe\\") + kControl).c_str(), 0, false,
                                       &event, nullptr))
            return "";
        if (!control.PipeWriteFile(command.c_str()) || !event.wait(5000ms))
            return "";
        return U8(ReadOne(control).value_or(u""));
    }

    std::filesystem::path m_dir;
    platform::Process m_service;
};
