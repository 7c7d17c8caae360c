// Threads whose end is awaited with a time-out, detached threads and thread ids.
#include "platform/sync.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

TEST(Thread, JoinTimesOutWhileRunningAndSucceedsAfterTheEnd) {
    Event go(Event::Reset::Manual);
    std::atomic<bool> done{false};
    Thread t([&] {
        go.wait(10s);
        done = true;
    });
    ASSERT_TRUE(t.started());
    EXPECT_TRUE(t.running());
    EXPECT_FALSE(t.join(0ms));
    EXPECT_FALSE(t.join(20ms));
    go.set();
    EXPECT_TRUE(t.join(10s));
    EXPECT_TRUE(done);
    EXPECT_FALSE(t.running());
    EXPECT_TRUE(t.join(0ms)); // joining again is harmless
}

TEST(Thread, DestructorWaitsForTheEnd) {
    std::atomic<bool> done{false};
    {
        Thread t([&] {
            std::this_thread::sleep_for(30ms);
            done = true;
        });
        ASSERT_TRUE(t.started());
    }
    EXPECT_TRUE(done);
}

TEST(Thread, DetachedThreadRunsOnItsOwnState) {
    auto go = std::make_shared<Event>(Event::Reset::Manual);
    auto finished = std::make_shared<Event>(Event::Reset::Manual);
    {
        Thread t([go, finished] {
            go->wait(10s);
            finished->set();
        });
        ASSERT_TRUE(t.started());
        t.detach();
        EXPECT_FALSE(t.started());
        EXPECT_FALSE(t.running());
        EXPECT_TRUE(t.join(0ms));
    } // the owner is gone without waiting
    go->set();
    EXPECT_TRUE(finished->wait(10s));
}

TEST(Thread, MoveKeepsTheThreadAndAssignmentEndsTheOldOne) {
    std::atomic<int> ended{0};
    Event go(Event::Reset::Manual);
    Thread a([&] {
        go.wait(10s);
        ++ended;
    });
    Thread b(std::move(a));
    EXPECT_FALSE(a.started()); // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_TRUE(b.started());

    go.set();
    b = Thread([&] { ++ended; }); // waits for the first thread, then takes the second
    EXPECT_GE(ended.load(), 1);
    EXPECT_TRUE(b.join(10s));
    EXPECT_EQ(ended.load(), 2);
}

TEST(Thread, BodyThatThrowsJustEnds) {
    Thread t([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(t.started());
    EXPECT_TRUE(t.join(10s));
}

TEST(Thread, EmptyBodyStartsNothing) {
    Thread t{std::function<void()>()};
    EXPECT_FALSE(t.started());
    EXPECT_FALSE(t.running());
    EXPECT_TRUE(t.join(0ms));
    Thread none;
    EXPECT_TRUE(none.join(kInfinite));
}

TEST(Thread, ThreadDroppingItsOwnHandleDoesNotDeadlock) {
    auto holder = std::make_shared<std::optional<Thread>>();
    auto finished = std::make_shared<Event>(Event::Reset::Manual);
    auto self_join = std::make_shared<std::atomic<int>>(-1);
    Event go(Event::Reset::Manual);
    holder->emplace([holder, finished, self_join, &go] {
        go.wait(10s);
        *self_join = (*holder)->join(kInfinite) ? 1 : 0; // cannot wait for itself
        holder->reset(); // destroys the Thread object from inside its own thread
        finished->set();
    });
    go.set();
    EXPECT_TRUE(finished->wait(10s));
    EXPECT_EQ(self_join->load(), 0);
    holder.reset();
}

TEST(Thread, IdsDifferBetweenThreads) {
    const std::uint32_t mine = current_thread_id();
    EXPECT_EQ(mine, current_thread_id());
    std::atomic<std::uint32_t> theirs{0};
    Thread t([&] { theirs = current_thread_id(); });
    ASSERT_TRUE(t.join(10s));
    EXPECT_NE(theirs.load(), 0u);
    EXPECT_NE(theirs.load(), mine);
}
