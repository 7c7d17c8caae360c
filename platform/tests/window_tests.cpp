// Message targets: delivery on the owner thread, sends with results and time-outs, timers, quit,
// registered ids shared between processes, and a top-level target found and ended from another
// process.
#include "platform/thread.h"
#include "platform/window.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

using namespace platform;
using testsupport::ChildProcess;
using namespace std::chrono_literals;

namespace {

class Windows : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvix-window-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("ORVIX_WINDOW_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string dir_;
};

struct Received {
    std::uint32_t id;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    std::uint32_t thread;
};

TEST_F(Windows, PostedMessagesArriveInOrderOnTheOwnerThread) {
    std::vector<Received> got;
    Window w = Window::create(
        [&](WindowHandle, std::uint32_t id, std::uintptr_t wp, std::intptr_t lp) -> std::intptr_t {
            got.push_back({id, wp, lp, current_thread_id()});
            return 0;
        });
    ASSERT_TRUE(w);
    EXPECT_EQ(window_thread_id(w.handle()), current_thread_id());
    const WindowHandle h = w.handle();
    std::uint32_t worker_id = 0;
    Thread worker([&] {
        worker_id = current_thread_id();
        for (int i = 1; i <= 3; ++i)
            EXPECT_TRUE(post_message(h, WM_USER + i, i, -i));
    });
    ASSERT_TRUE(worker.join(10s));
    EXPECT_TRUE(pump_messages_until([&] { return got.size() == 3; }, 10s));
    ASSERT_EQ(got.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].id, WM_USER + i + 1u);
        EXPECT_EQ(got[i].wparam, std::uintptr_t(i + 1));
        EXPECT_EQ(got[i].lparam, -(i + 1));
        EXPECT_EQ(got[i].thread, current_thread_id());
    }
    EXPECT_NE(worker_id, current_thread_id());

    w.destroy();
    EXPECT_FALSE(post_message(h, WM_USER));
    EXPECT_EQ(last_system_error(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(is_window(h));
}

TEST_F(Windows, SendReturnsTheResultOrTimesOut) {
    Window w = Window::create(
        [](WindowHandle, std::uint32_t id, std::uintptr_t wp, std::intptr_t lp) -> std::intptr_t {
            return id == WM_USER ? static_cast<std::intptr_t>(wp) * lp : -1;
        });
    const WindowHandle h = w.handle();
    // On the owner thread the handler runs directly.
    std::intptr_t result = 0;
    EXPECT_TRUE(send_message(h, WM_USER, 6, 7, 1s, &result));
    EXPECT_EQ(result, 42);

    // From another thread it runs when the owner takes messages.
    std::atomic<bool> done{false};
    bool ok = false;
    std::intptr_t worker_result = 0;
    Thread worker([&] {
        ok = send_message(h, WM_USER, 3, 5, 10s, &worker_result);
        done = true;
        post_message(h, WM_NULL); // wakes the owner's loop to look at the flag
    });
    EXPECT_TRUE(pump_messages_until([&] { return done.load(); }, 10s));
    ASSERT_TRUE(worker.join(10s));
    EXPECT_TRUE(ok);
    EXPECT_EQ(worker_result, 15);

    // An owner that does not take messages: the sender gives up after its time-out.
    Thread late([&] {
        std::intptr_t r = 0;
        ok = send_message(h, WM_USER, 1, 1, 50ms, &r);
        EXPECT_EQ(last_system_error(), ERROR_TIMEOUT);
    });
    ASSERT_TRUE(late.join(10s));
    EXPECT_FALSE(ok);
    // The late message is still handled, and nothing else is returned for it.
    Message m;
    EXPECT_EQ(peek_message(m), GetMessageResult::Timeout);
}

TEST_F(Windows, PendingSendFailsWhenTheTargetGoes) {
    auto w =
        std::make_unique<Window>(Window::create([](WindowHandle, std::uint32_t, std::uintptr_t,
                                                   std::intptr_t) -> std::intptr_t { return 1; }));
    const WindowHandle h = w->handle();
    Event sending(Event::Reset::Manual);
    bool ok = true;
    std::uint32_t error = 0;
    Thread worker([&] {
        sending.set();
        ok = send_message(h, WM_USER, 0, 0, 10s, nullptr);
        error = last_system_error();
    });
    // Drop the target without ever taking messages on this thread. Whether the send was queued
    // already or finds the target gone, it fails the same way.
    ASSERT_TRUE(sending.wait(10s));
    std::this_thread::sleep_for(20ms);
    w.reset();
    ASSERT_TRUE(worker.join(10s));
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Windows, TwoThreadsSendingToEachOtherBothGetTheirAnswers) {
    std::atomic<WindowHandle> other_handle{0};
    Event other_ready(Event::Reset::Manual);
    std::atomic<bool> other_done{false};
    Window mine = Window::create(
        [](WindowHandle, std::uint32_t, std::uintptr_t wp, std::intptr_t) -> std::intptr_t {
            return static_cast<std::intptr_t>(wp) + 100;
        });
    const WindowHandle my_handle = mine.handle();
    std::atomic<std::intptr_t> other_result{0};
    Thread other([&] {
        Window theirs = Window::create(
            [](WindowHandle, std::uint32_t, std::uintptr_t wp, std::intptr_t) -> std::intptr_t {
                return static_cast<std::intptr_t>(wp) + 200;
            });
        other_handle = theirs.handle();
        other_ready.set();
        // Sends to the first thread while that one sends here: each serves the other's send
        // while waiting for its own.
        std::intptr_t r = 0;
        EXPECT_TRUE(send_message(my_handle, WM_USER, 1, 0, 10s, &r));
        other_result = r;
        post_message(my_handle, WM_NULL); // wakes the first thread's loop
        pump_messages_until([&] { return other_done.load(); }, 10s);
    });
    ASSERT_TRUE(other_ready.wait(10s));
    std::intptr_t my_result = 0;
    EXPECT_TRUE(send_message(other_handle, WM_USER, 2, 0, 10s, &my_result));
    EXPECT_TRUE(pump_messages_until([&] { return other_result.load() != 0; }, 10s));
    other_done = true;
    post_message(other_handle, WM_NULL); // wakes its loop to see the flag
    ASSERT_TRUE(other.join(10s));
    EXPECT_EQ(my_result, 202);
    EXPECT_EQ(other_result, 101);
}

TEST_F(Windows, TimersAndQuit) {
    std::vector<std::uintptr_t> timers;
    Window w = Window::create(
        [&](WindowHandle, std::uint32_t id, std::uintptr_t wp, std::intptr_t) -> std::intptr_t {
            if (id == WM_TIMER)
                timers.push_back(wp);
            return 0;
        });
    ASSERT_TRUE(set_timer(w.handle(), 110, 5ms));
    ASSERT_TRUE(set_timer(w.handle(), 111, 5ms));
    EXPECT_TRUE(pump_messages_until(
        [&] {
            return std::count(timers.begin(), timers.end(), 110) >= 2 &&
                   std::count(timers.begin(), timers.end(), 111) >= 2;
        },
        10s));
    EXPECT_TRUE(kill_timer(w.handle(), 110));
    EXPECT_FALSE(kill_timer(w.handle(), 110));
    EXPECT_TRUE(kill_timer(w.handle(), 111));
    timers.clear();
    pump_messages_until([] { return false; }, 30ms);
    EXPECT_TRUE(timers.empty());

    // Posted messages come before the quit, which ends the loop with its code.
    EXPECT_TRUE(post_message(w.handle(), WM_USER + 1));
    post_quit_message(5);
    Message m;
    ASSERT_EQ(get_message(m, 1s), GetMessageResult::Message);
    EXPECT_EQ(m.id, WM_USER + 1);
    ASSERT_EQ(get_message(m, 1s), GetMessageResult::Quit);
    EXPECT_EQ(m.wparam, 5u);
    // WM_QUIT posted to a target from another thread ends the owner's loop the same way.
    Thread([h = w.handle()] { post_message(h, WM_QUIT, 9); }).join(10s);
    EXPECT_EQ(run_message_loop(), 9);
    EXPECT_EQ(get_message(m, 10ms), GetMessageResult::Timeout);
}

TEST_F(Windows, AnotherLoopIsWokenAndDrainsTheQueue) {
    int handled = 0;
    Window w = Window::create(
        [&](WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            ++handled;
            return 0;
        });
    Event woken(Event::Reset::Auto);
    set_message_wake_handler([&woken] { woken.set(); });
    const WindowHandle h = w.handle();
    Thread([h] {
        post_message(h, WM_USER);
        post_message(h, WM_USER);
    }).join(10s);
    ASSERT_TRUE(woken.wait(10s));
    PendingResult r = process_pending_messages();
    EXPECT_EQ(handled, 2);
    EXPECT_FALSE(r.quit);
    EXPECT_EQ(r.next_timer, kInfinite);
    set_timer(h, 1, 60s);
    r = process_pending_messages();
    EXPECT_GT(r.next_timer, 50s);
    EXPECT_LE(r.next_timer, 60s);
    post_quit_message(3);
    r = process_pending_messages();
    EXPECT_TRUE(r.quit);
    EXPECT_EQ(r.exit_code, 3);
    set_message_wake_handler(nullptr);
}

TEST_F(Windows, RegisteredIdsAreSharedBetweenProcesses) {
    const std::uint32_t id = register_window_message(u"ScaLibraryMessage");
    EXPECT_GE(id, 0xC000u);
    EXPECT_LE(id, 0xFFFFu);
    EXPECT_EQ(register_window_message(u"scalibrarymessage"), id);
    const std::uint32_t other = register_window_message(u"TaskbarIconMessage");
    EXPECT_NE(other, id);
    EXPECT_EQ(register_window_message(u""), 0u);

    const auto [code, out] =
        ChildProcess::run({ORVIX_TEST_HELPER_PATH, "message-id", "SCALIBRARYMESSAGE"});
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, std::to_string(id) + "\n");
    // A name first registered by the other process gets the same id here.
    const auto [code2, out2] =
        ChildProcess::run({ORVIX_TEST_HELPER_PATH, "message-id", "FirstSeenElsewhere"});
    EXPECT_EQ(code2, 0);
    EXPECT_EQ(std::to_string(register_window_message(u"FirstSeenElsewhere")) + "\n", out2);
}

TEST_F(Windows, TopLevelTargetOfAnotherProcessIsFoundMessagedAndEnded) {
    EXPECT_EQ(find_window(u"OrvixApplication"), 0u);
    ChildProcess child({ORVIX_TEST_HELPER_PATH, "serve", "OrvixApplication"});
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.read_line(20s), "ready");

    const WindowHandle h = find_window(u"orvixapplication");
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(is_window(h));
    EXPECT_EQ(window_thread_id(h), 0u); // not a target of this process
    std::intptr_t sum = 0;
    ASSERT_TRUE(send_message(h, register_window_message(u"OrvixTestPing"), 2, 40, 10s, &sum));
    EXPECT_EQ(sum, 42);
    ASSERT_TRUE(post_message(h, WM_USER + 5));
    EXPECT_EQ(child.read_line(20s), "user 5");
    ASSERT_TRUE(post_message(h, WM_QUIT, 3));
    EXPECT_EQ(child.wait(20s), 3);

    EXPECT_FALSE(is_window(h));
    EXPECT_FALSE(post_message(h, WM_USER));
    EXPECT_EQ(find_window(u"OrvixApplication"), 0u);
    // Titles in this process are found too.
    Window local = Window::create(nullptr, u"OrvixApplication");
    EXPECT_EQ(find_window(u"ORVIXAPPLICATION"), local.handle());
}

} // namespace
