// Events, waits on several events, the tick and the named system-wide mutex, including its
// behaviour across processes (contention, an owner killed while holding it).
#include "../posix/event_impl.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Gives each test its own mutex namespace and removes what it created afterwards.
class SessionScope {
  public:
    SessionScope() {
        static std::atomic<int> counter{0};
        session_ = "synctest" + std::to_string(getpid()) + "x" + std::to_string(counter++);
        setenv("ORVIX_SESSION", session_.c_str(), 1);
    }
    ~SessionScope() {
        std::error_code ec;
        const std::string prefix = "orvix-" + session_ + "-";
        for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
            if (e.path().filename().string().rfind(prefix, 0) == 0)
                std::filesystem::remove(e.path(), ec);
        }
        unsetenv("ORVIX_SESSION");
    }

  private:
    std::string session_;
};

// A child process that is killed when the test process goes, and at the latest after 30 s.
void child_safety() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(30);
}

// Waits for `pid` to end, killing it after `limit`. Returns its wait status.
int reap(pid_t pid, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return status;
        }
        std::this_thread::sleep_for(5ms);
    }
}

// Reads one byte from `fd` within `limit`.
bool read_byte(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1)
        return false;
    char c;
    return read(fd, &c, 1) == 1;
}

} // namespace

// ---- Events -----------------------------------------------------------------------------------

TEST(Event, AutoResetIsConsumedByOneWaitManualStaysSet) {
    Event autoev(Event::Reset::Auto);
    Event manual(Event::Reset::Manual);
    ASSERT_TRUE(autoev.valid());
    ASSERT_TRUE(manual.valid());
    EXPECT_FALSE(autoev.wait(0ms));
    EXPECT_FALSE(manual.wait(0ms));

    autoev.set();
    autoev.set(); // several sets before a wait are one signal
    manual.set();
    EXPECT_TRUE(autoev.wait(0ms));
    EXPECT_FALSE(autoev.wait(0ms));
    EXPECT_TRUE(manual.wait(0ms));
    EXPECT_TRUE(manual.wait(0ms));

    manual.reset();
    EXPECT_FALSE(manual.wait(0ms));
    autoev.set();
    autoev.reset();
    EXPECT_FALSE(autoev.wait(0ms));

    Event initially(Event::Reset::Auto, true);
    EXPECT_TRUE(initially.wait(0ms));
    EXPECT_FALSE(initially.wait(0ms));
}

TEST(Event, AutoResetReleasesExactlyOneOfSeveralWaiters) {
    Event ev(Event::Reset::Auto);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (ev.wait(300ms))
                ++released;
        });
    ev.set();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 1);
}

TEST(Event, ManualResetReleasesEveryWaiter) {
    Event ev(Event::Reset::Manual);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (ev.wait(10s))
                ++released;
        });
    ev.set();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 4);
}

TEST(Event, WaitEndsWhenAnotherThreadSets) {
    for (const auto timeout : {kInfinite, Milliseconds(10000), Milliseconds::max() - 1ms}) {
        Event ev(Event::Reset::Auto);
        std::thread setter([&] {
            std::this_thread::sleep_for(20ms);
            ev.set();
        });
        EXPECT_TRUE(ev.wait(timeout));
        setter.join();
    }
}

TEST(Event, DescriptorPollsTogetherWithSockets) {
    Event ev(Event::Reset::Auto);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    pollfd fds[2] = {{posix::event_fd(ev), POLLIN, 0}, {sv[0], POLLIN, 0}};
    EXPECT_EQ(poll(fds, 2, 0), 0);

    ASSERT_EQ(write(sv[1], "x", 1), 1);
    std::thread setter([&] { ev.set(); }); // signalled from another thread
    setter.join();
    ASSERT_EQ(poll(fds, 2, 1000), 2);
    EXPECT_TRUE(posix::is_set(ev));
    EXPECT_TRUE(posix::try_consume(ev));
    EXPECT_FALSE(posix::try_consume(ev)); // auto-reset: taken once
    EXPECT_FALSE(posix::is_set(ev));

    Event manual(Event::Reset::Manual, true);
    EXPECT_TRUE(posix::try_consume(manual));
    EXPECT_TRUE(posix::try_consume(manual)); // manual-reset: never taken by a wait
    close(sv[0]);
    close(sv[1]);
}

// ---- wait_any ---------------------------------------------------------------------------------

TEST(WaitAny, LowestSignalledIndexWinsAndAutoEventsAreConsumed) {
    Event e0(Event::Reset::Auto), e1(Event::Reset::Manual), e2(Event::Reset::Auto),
        e3(Event::Reset::Auto);
    Event* const all[] = {&e0, &e1, &e2, &e3};
    EXPECT_EQ(wait_any(all, 0ms), std::nullopt);

    e3.set();
    e2.set();
    EXPECT_EQ(wait_any(all, 0ms), 2u);
    EXPECT_EQ(wait_any(all, 0ms), 3u);
    EXPECT_EQ(wait_any(all, 0ms), std::nullopt);

    e1.set();
    e0.set();
    EXPECT_EQ(wait_any(all, 0ms), 0u);
    EXPECT_EQ(wait_any(all, 0ms), 1u); // manual: stays set
    EXPECT_EQ(wait_any(all, 0ms), 1u);
    e1.reset();
    EXPECT_EQ(wait_any(all, 0ms), std::nullopt);
}

TEST(WaitAny, ManyEventsAndLateSignal) {
    std::vector<std::unique_ptr<Event>> events;
    std::vector<Event*> ptrs;
    for (int i = 0; i < 40; ++i) {
        events.push_back(std::make_unique<Event>(Event::Reset::Auto));
        ptrs.push_back(events.back().get());
    }
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        events[33]->set();
    });
    EXPECT_EQ(wait_any(ptrs, 10s), 33u);
    setter.join();
}

TEST(WaitAny, TimesOutWithoutReturningEarly) {
    Event e(Event::Reset::Auto);
    Event* const one[] = {&e};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_any(one, 60ms), std::nullopt);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

namespace {
void on_signal(int) {}
} // namespace

TEST(WaitAny, SignalsDuringTheWaitNeitherEndNorStretchIt) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = on_signal; // no SA_RESTART: poll() returns EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    Event e(Event::Reset::Auto);
    Event* const one[] = {&e};
    const pthread_t waiter = pthread_self();
    std::atomic<bool> stop{false};
    std::thread interrupter([&] {
        while (!stop) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(2ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_any(one, 150ms), std::nullopt);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 150ms);

    // A signal that arrives among the interruptions is still seen.
    std::thread setter([&] {
        std::this_thread::sleep_for(30ms);
        e.set();
    });
    EXPECT_EQ(wait_any(one, 10s), 0u);
    setter.join();
    stop = true;
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(WaitAny, RacingWaitersOnOneAutoEventTakeEachSignalOnce) {
    // Every set is consumed by exactly one waiter, whichever wins the race.
    Event e(Event::Reset::Auto);
    Event stop(Event::Reset::Manual);
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            Event* const evs[] = {&stop, &e};
            for (;;) {
                const auto r = wait_any(evs, 10s);
                if (!r || *r == 0)
                    return;
                ++taken;
            }
        });
    for (int i = 0; i < 200; ++i) {
        // Wait until the previous signal was taken so that sets do not collapse.
        e.set();
        for (int spin = 0; spin < 10000 && posix::is_set(e); ++spin)
            std::this_thread::sleep_for(100us);
    }
    for (int spin = 0; spin < 10000 && taken.load() < 200; ++spin)
        std::this_thread::sleep_for(100us);
    stop.set();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(taken.load(), 200);
}

TEST(Tick, AdvancesWithTime) {
    const std::uint32_t a = tick_count();
    std::this_thread::sleep_for(30ms);
    const std::uint32_t b = tick_count();
    EXPECT_GE(static_cast<std::uint32_t>(b - a), 30u); // unsigned difference survives the wrap
}

// ---- SystemMutex ------------------------------------------------------------------------------

TEST(SystemMutex, RecursiveOwnershipPerThread) {
    SessionScope session;
    SystemMutex m(u"Recursive");
    ASSERT_TRUE(m.valid()) << m.last_error();
    EXPECT_EQ(m.wait(0ms), SystemMutex::WaitResult::Acquired);
    EXPECT_EQ(m.wait(1000ms), SystemMutex::WaitResult::Acquired);

    SystemMutex same(u"Recursive"); // a second handle to the same mutex
    ASSERT_TRUE(same.valid());
    std::thread other([&] {
        EXPECT_EQ(same.wait(0ms), SystemMutex::WaitResult::Timeout);
        EXPECT_EQ(same.wait(30ms), SystemMutex::WaitResult::Timeout);
        EXPECT_FALSE(same.release()); // not the owner
        EXPECT_EQ(last_system_error(), ERROR_NOT_OWNER);
    });
    other.join();

    EXPECT_TRUE(m.release());
    std::thread still_held([&] { EXPECT_EQ(same.wait(0ms), SystemMutex::WaitResult::Timeout); });
    still_held.join();
    EXPECT_TRUE(m.release());
    EXPECT_FALSE(m.release());

    std::thread now_free([&] {
        EXPECT_EQ(same.wait(kInfinite), SystemMutex::WaitResult::Acquired);
        EXPECT_TRUE(same.release());
    });
    now_free.join();
}

TEST(SystemMutex, NamesAreDistinctAndAnyTextIsAccepted) {
    SessionScope session;
    const std::u16string names[] = {u"a/b",
                                    u"a%2Fb",
                                    u"a_b",
                                    u"\u30ed\u30b0",
                                    std::u16string(1000, u'x'),
                                    std::u16string(1000, u'x') + u"y"};
    std::vector<std::unique_ptr<SystemMutex>> held;
    for (const auto& n : names) {
        held.push_back(std::make_unique<SystemMutex>(n));
        ASSERT_TRUE(held.back()->valid()) << held.back()->last_error();
        ASSERT_EQ(held.back()->wait(0ms), SystemMutex::WaitResult::Acquired);
    }
    // Each is its own mutex: another thread finds every one of them held, none shared with a
    // similar name (which it would then own already and could not be told apart).
    std::thread other([&] {
        for (const auto& n : names) {
            SystemMutex again(n);
            EXPECT_EQ(again.wait(0ms), SystemMutex::WaitResult::Timeout);
        }
        SystemMutex unrelated(u"a-b");
        EXPECT_EQ(unrelated.wait(0ms), SystemMutex::WaitResult::Acquired);
        EXPECT_TRUE(unrelated.release());
    });
    other.join();
    for (auto& m : held)
        EXPECT_TRUE(m->release());
}

TEST(SystemMutex, SessionsSeparateTheNamespace) {
    SessionScope session;
    SystemMutex a(u"Shared");
    ASSERT_EQ(a.wait(0ms), SystemMutex::WaitResult::Acquired);
    {
        SessionScope other_session;
        std::thread t([] {
            SystemMutex b(u"Shared");
            EXPECT_EQ(b.wait(0ms), SystemMutex::WaitResult::Acquired);
            EXPECT_TRUE(b.release());
        });
        t.join();
    }
    EXPECT_TRUE(a.release());
}

TEST(SystemMutex, OwnerKilledLeavesItAbandonedToTheNextWaiter) {
    SessionScope session;
    SystemMutex m(u"Abandon");
    ASSERT_TRUE(m.valid());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        child_safety();
        if (m.wait(5s) == SystemMutex::WaitResult::Acquired)
            (void)!write(ready[1], "1", 1);
        for (;;)
            pause(); // hold it until killed
    }
    close(ready[1]);
    ASSERT_TRUE(read_byte(ready[0], 10s)) << "child did not take the mutex";
    close(ready[0]);
    EXPECT_EQ(m.wait(20ms), SystemMutex::WaitResult::Timeout);

    kill(child, SIGKILL);
    const int status = reap(child);
    EXPECT_TRUE(WIFSIGNALED(status));

    ASSERT_EQ(m.wait(5s), SystemMutex::WaitResult::Abandoned);
    // We own it now, recursively, and it is consistent again.
    EXPECT_EQ(m.wait(0ms), SystemMutex::WaitResult::Acquired);
    std::thread other([&] { EXPECT_EQ(m.wait(0ms), SystemMutex::WaitResult::Timeout); });
    other.join();
    EXPECT_TRUE(m.release());
    EXPECT_TRUE(m.release());
    std::thread after([&] {
        EXPECT_EQ(m.wait(1s), SystemMutex::WaitResult::Acquired);
        EXPECT_TRUE(m.release());
    });
    after.join();
}

TEST(SystemMutex, OwnerThreadEndingWithoutReleaseAbandonsIt) {
    SessionScope session;
    SystemMutex m(u"ThreadAbandon");
    std::thread owner([&] { EXPECT_EQ(m.wait(0ms), SystemMutex::WaitResult::Acquired); });
    owner.join();
    EXPECT_EQ(m.wait(5s), SystemMutex::WaitResult::Abandoned);
    EXPECT_TRUE(m.release());
}

TEST(SystemMutex, ProcessesContendingNeverOverlap) {
    SessionScope session;
    struct Shared {
        std::atomic<int> inside;
        long counter;
        std::atomic<int> overlaps;
    };
    void* mem =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* shared = new (mem) Shared{};
    constexpr int kProcesses = 3;
    constexpr int kRounds = 300;

    auto work = [shared](int rounds) {
        // Each process opens the mutex itself, as unrelated programs would.
        SystemMutex m(u"Contended");
        if (!m.valid())
            return false;
        for (int i = 0; i < rounds; ++i) {
            if (m.wait(10s) != SystemMutex::WaitResult::Acquired)
                return false;
            if (shared->inside.fetch_add(1) != 0)
                ++shared->overlaps;
            const long seen = shared->counter;
            if (i % 16 == 0)
                sched_yield(); // give a wrong implementation room to fail
            shared->counter = seen + 1;
            shared->inside.fetch_sub(1);
            if (!m.release())
                return false;
        }
        return true;
    };

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            child_safety();
            _exit(work(kRounds) ? 0 : 1);
        }
        children.push_back(pid);
    }
    EXPECT_TRUE(work(kRounds));
    for (pid_t pid : children) {
        const int status = reap(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(shared->overlaps.load(), 0);
    EXPECT_EQ(shared->counter, static_cast<long>(kRounds) * (kProcesses + 1));
    munmap(mem, sizeof(Shared));
}

TEST(SystemMutex, CreationRaceBetweenProcessesYieldsOneMutex) {
    // Many processes open a fresh name at the same moment; all must end up sharing one
    // initialised mutex (none re-initialises it under another's feet).
    SessionScope session;
    struct Shared {
        std::atomic<int> go;
        std::atomic<int> inside;
        std::atomic<int> overlaps;
    };
    void* mem =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* shared = new (mem) Shared{};
    std::vector<pid_t> children;
    for (int p = 0; p < 6; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            child_safety();
            for (int spin = 0; !shared->go.load() && spin < 200000; ++spin)
                sched_yield();
            SystemMutex m(u"Fresh");
            bool ok = m.valid();
            for (int i = 0; ok && i < 100; ++i) {
                ok = m.wait(10s) == SystemMutex::WaitResult::Acquired;
                if (!ok)
                    break;
                if (shared->inside.fetch_add(1) != 0)
                    ++shared->overlaps;
                sched_yield();
                shared->inside.fetch_sub(1);
                ok = m.release();
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    shared->go = 1;
    for (pid_t pid : children) {
        const int status = reap(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(shared->overlaps.load(), 0);
    munmap(mem, sizeof(Shared));
}
