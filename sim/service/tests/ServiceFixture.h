#pragma once
// Runs OrvixService as a real process in a temporary tree and talks to it the way the client
// library does: a synchronous send pipe, an asynchronous receive pipe, and the control pipe.
#include "orvix_testing/ServiceHarness.h"
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

using orvix_testing::ReadOne;

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

// The program's temporary tree; each test gets its own folder and pipe folder in it.
class ServiceEnvironment : public orvix_testing::TreeEnvironment {
  public:
    ServiceEnvironment()
        : TreeEnvironment("service-test", {{"ORVIX_REGISTRY_DIR", "registry"},
                                           {"ORVIX_COMMON_DOCUMENTS", "documents"},
                                           {"ORVIX_TEMP", "temp"}}) {}
};

class ServiceFixture : public orvix_testing::ServiceTestBase {
  protected:
    static constexpr char16_t kToService[] = u"OrvixTestSCtoSvc";
    static constexpr char16_t kToClient[] = u"OrvixTestSvctoSC";
    static constexpr char16_t kControl[] = u"OrvixTestControl";

    void SetUp() override {
        m_dir = ServiceEnvironment::NewTestFolder();
        ::setenv("ORVIX_PIPE_DIR", (m_dir / "pipes").c_str(), 1);
        ASSERT_TRUE(orvix_testing::WriteClientFile(m_dir, kToService, kToClient, false));
        // The account is "u" / "p" where none is given.
        const auto profiles = orvix_testing::Profiles(
            {u"office", u"noaccount", u"cert", u"auth", u"disabled", u"drop", u"silent", u"接続"},
            {{u"office", u"user@example.jp", u"pw"}, {u"noaccount", u"user@example.jp", u""}});
        ASSERT_TRUE(orvix_testing::WriteProfiles(m_dir, profiles));
    }

    void TearDown() override {
        ServiceTestBase::TearDown();
        ::unsetenv("ORVIX_PIPE_DIR");
    }

    void WriteScenario(const std::string& text) { orvix_testing::WriteScenario(m_dir, text); }

    // Starts the service and waits until its pipes exist. Its trace (a line for every command,
    // many in some tests) is on standard error only with ORVIX_TEST_SERVICE_VERBOSE set.
    void Start(std::vector<Text> extra = {}, std::uint32_t pipeWaitMs = 300) {
        ASSERT_TRUE(
            m_service.Start({.dir = m_dir,
                             .control = kControl,
                             .pipeWaitMs = pipeWaitMs,
                             .extra = std::move(extra),
                             .verbose = std::getenv("ORVIX_TEST_SERVICE_VERBOSE") != nullptr}));
    }

    Text SendPipe() const { return Text(u"\\\\.\\pipe\\") + kToService; }
    Text RecvPipe() const { return Text(u"\\\\.\\pipe\\") + kToClient; }

    // Sends one control command on a fresh control connection (also to a service this fixture
    // did not start); the answer, or "" when none.
    std::string Control(const Text& command) { return orvix_testing::Control(kControl, command); }
};

inline ::testing::Environment* const g_serviceEnvironment =
    ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);
