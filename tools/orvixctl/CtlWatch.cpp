#include "CtlWatch.h"

#include "CtlEvents.h"

#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/window.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kStopMessage = WM_APP + 1;

// Set by the signal handler: an eventfd write, safe in a handler.
std::atomic<Event*> g_stopRequest{nullptr};

extern "C" void OnStopSignal(int) {
    if (Event* request = g_stopRequest.load())
        request->set();
}

// Turns SIGINT and SIGTERM into a message to the main thread's target: the handler only signals
// an event, a small thread waits for it and posts the message.
class SignalRelay {
  public:
    explicit SignalRelay(WindowHandle target) : m_target(target) {
        g_stopRequest.store(&m_request);
        struct sigaction action = {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
        m_thread = Thread([this] { Run(); });
    }
    ~SignalRelay() {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        g_stopRequest.store(nullptr);
        m_done.set();
        m_thread.join(10000ms);
    }
    SignalRelay(const SignalRelay&) = delete;
    SignalRelay& operator=(const SignalRelay&) = delete;

    bool started() const { return m_thread.started(); }

  private:
    void Run() {
        Event* const events[] = {&m_request, &m_done};
        for (;;) {
            const auto which = wait_any(events, 60000ms);
            if (!which)
                continue;
            if (*which == 0)
                post_message(m_target, kStopMessage);
            return;
        }
    }

    WindowHandle m_target;
    Event m_request{Event::Reset::Manual};
    Event m_done{Event::Reset::Manual};
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
    Thread m_thread;
};

} // namespace

CtlStatus Watch(CtlClient& client, const WatchLimits& limits, std::FILE* out) {
    IZa32VUEvent* queue = client.events();
    const std::uint32_t libraryMessage = register_window_message(kScaLibraryMessageName);
    if (libraryMessage == 0)
        return CtlStatus::Fail(kExitFailed, "the library's window message cannot be registered");

    unsigned seen = 0;
    bool stopRequested = false;
    bool serviceLost = false;
    bool outputFailed = false;
    const auto finished = [&] {
        return stopRequested || serviceLost || outputFailed ||
               (limits.count && seen >= *limits.count);
    };
    const auto drain = [&] {
        while (!finished()) {
            auto event = TakeEvent(queue, 0);
            if (!event)
                break;
            ++seen;
            std::fprintf(out, "%s\n", FormatEvent(*event).c_str());
            if (std::fflush(out) != 0 || std::ferror(out))
                outputFailed = true;
            if (event->code == SCEVENT_SERVICELOST)
                serviceLost = true;
        }
    };

    Window target = Window::create(
        [&](WindowHandle, std::uint32_t id, std::uintptr_t, std::intptr_t lparam) -> std::intptr_t {
            if (id == libraryMessage && lparam == kScaLibraryMessageParam)
                drain();
            else if (id == kStopMessage)
                stopRequested = true;
            return 0;
        });
    if (!target)
        return CtlStatus::Fail(kExitFailed, "the message target cannot be created (error " +
                                                std::to_string(last_system_error()) + ")");
    SignalRelay relay(target.handle());
    if (!relay.started())
        return CtlStatus::Fail(kExitFailed, "the signal thread cannot be started");

    queue->SetNotifyWindow(target.handle(), libraryMessage, kScaLibraryMessageParam);
    CtlStatus status = client.Link();
    if (status.ok()) {
        const auto start = std::chrono::steady_clock::now();
        bool timedOut = false;
        while (!finished()) {
            Milliseconds wait = 60000ms;
            if (limits.timeoutMs) {
                const auto elapsed = std::chrono::duration_cast<Milliseconds>(
                    std::chrono::steady_clock::now() - start);
                const Milliseconds limit(*limits.timeoutMs);
                if (elapsed >= limit) {
                    timedOut = true;
                    break;
                }
                wait = std::min(wait, limit - elapsed);
            }
            Message message;
            const GetMessageResult result = get_message(message, wait);
            if (result == GetMessageResult::Message)
                dispatch_message(message);
            else if (result == GetMessageResult::Quit)
                break;
        }
        if (outputFailed)
            status = CtlStatus::Fail(kExitFailed, "standard output cannot be written");
        else if (serviceLost)
            status = CtlStatus::Fail(kExitNoService, "the service closed the link");
        else if (timedOut && limits.count && seen < *limits.count)
            status = CtlStatus::Fail(
                kExitTimeout, std::to_string(seen) + " of " + std::to_string(*limits.count) +
                                  " events within " + std::to_string(*limits.timeoutMs) + " ms");
    }
    // No more messages to a target that is about to go.
    queue->SetNotifyWindow(0, 0, 0);
    return status;
}
