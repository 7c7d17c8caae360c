// CLogOutput across processes: concurrent appends stay whole lines, a writer killed while it
// holds the log mutex, and a mutex held past the wait limit.
#include "common/LogOutput.h"
#include "log_test_support.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using namespace logtest;
using namespace std::chrono_literals;

namespace {

class LogProcessTest : public LogTest {
  protected:
    static void configure(CLogOutput& log) {
        log.SetLogPathName(u"client.log");
        log.SetDebugLogOut(1);
        log.SetDebugLevel(0);
        log.SetDebugCategory(LOGCAT_APP);
    }
};

// A message that tells its writer and number and whose body can be checked for damage.
Text message_for(int process, int thread, int seq) {
    Text m = to_text("P" + std::to_string(process) + "T" + std::to_string(thread) + "#" +
                     std::to_string(seq) + ":");
    m.append(150 + static_cast<std::size_t>(seq % 50),
             static_cast<char16_t>(u'\u3041' + (process * 7 + thread * 3 + seq) % 80));
    return m;
}

// A pipe a child reports on and the parent waits on with a time-out.
class Signal {
  public:
    Signal() { EXPECT_EQ(pipe(fds_), 0); }
    ~Signal() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void notify() { (void)!write(fds_[1], "1", 1); }
    bool wait(std::chrono::milliseconds limit) {
        pollfd p{fds_[0], POLLIN, 0};
        char c;
        return poll(&p, 1, static_cast<int>(limit.count())) == 1 && read(fds_[0], &c, 1) == 1;
    }

  private:
    int fds_[2] = {-1, -1};
};

// A child process holding the log mutex until told to release it (or killed).
pid_t spawn_holder(Signal& holding, Signal& release) {
    return spawn([&] {
        SystemMutex m(u"Kp32LogOutputMutex");
        if (m.wait(5s) != SystemMutex::WaitResult::Acquired)
            return 2;
        holding.notify();
        release.wait(60s);
        m.release();
        return 0;
    });
}

} // namespace

TEST_F(LogProcessTest, ConcurrentProcessesAppendWholeLines) {
    constexpr int kProcesses = 2;
    constexpr int kThreads = 2;
    constexpr int kLines = 250;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(spawn([p] {
            CLogOutput log;
            configure(log);
            std::atomic<int> failures{0};
            std::vector<Thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&log, &failures, p, t] {
                    for (int i = 0; i < kLines; ++i) {
                        if (log.TraceInfo(LOGCAT_APP, u"%s", message_for(p, t, i)) != 1)
                            ++failures;
                    }
                });
            for (auto& t : threads)
                if (!t.join(60s))
                    return 3;
            return failures.load() == 0 ? 0 : 1;
        }));
        ASSERT_GT(children.back(), 0);
    }
    for (pid_t pid : children)
        EXPECT_TRUE(exited_ok(reap(pid))) << "a writer failed";

    bool unterminated = false;
    const auto lines = split_lines(read_utf16le(log_file()), &unterminated);
    EXPECT_FALSE(unterminated);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kProcesses * kThreads * kLines));
    std::map<std::pair<int, int>, int> next; // per writer, the next number expected
    for (const auto& l : lines) {
        const auto parsed = parse_line(l);
        ASSERT_TRUE(parsed) << to_utf8(l).substr(0, 200);
        EXPECT_EQ(parsed->id, "001000");
        int p = -1, t = -1, seq = -1;
        ASSERT_EQ(std::sscanf(to_utf8(parsed->message).c_str(), "P%dT%d#%d:", &p, &t, &seq), 3);
        ASSERT_EQ(parsed->message, message_for(p, t, seq)) << "damaged line";
        EXPECT_EQ(seq, next[std::make_pair(p, t)]++) << "lines of one writer out of order";
    }
    EXPECT_EQ(next.size(), static_cast<std::size_t>(kProcesses * kThreads));
}

TEST_F(LogProcessTest, WriterKilledHoldingTheMutexCostsOneLine) {
    CLogOutput log;
    configure(log);
    Signal holding, release;
    const pid_t holder = spawn_holder(holding, release);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(holding.wait(10s));

    // A writer is waiting on the mutex when its owner dies: that wait ends with the abandoned
    // mutex, the line is dropped and the mutex passed on.
    int waiting_result = -1;
    HRESULT waiting_hr = S_OK;
    Thread waiting([&] {
        waiting_result = log.TraceInfo(LOGCAT_APP, u"while the owner dies");
        waiting_hr = log.GetLastResult();
    });
    ASSERT_TRUE(waiting.started());
    EXPECT_FALSE(waiting.join(50ms)); // still waiting for the owner
    kill(holder, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(reap(holder)));
    ASSERT_TRUE(waiting.join(15s));
    EXPECT_EQ(waiting_result, 0);
    EXPECT_EQ(waiting_hr, make_hresult(0x800702DF)) << std::hex << waiting_hr;

    // The next writer is not held up.
    EXPECT_EQ(log.TraceInfo(LOGCAT_APP, u"after"), 1);
    EXPECT_EQ(log.GetLastResult(), S_OK);
    const auto lines = split_lines(read_utf16le(log_file()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse_line(lines[0])->message, u"after");
}

TEST_F(LogProcessTest, MutexHeldPastTheWaitLimitLosesTheLine) {
    // Takes the full 10 s wait of the writer.
    CLogOutput log;
    configure(log);
    Signal holding, release;
    const pid_t holder = spawn_holder(holding, release);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(holding.wait(10s));

    EXPECT_EQ(log.TraceInfo(LOGCAT_APP, u"lost"), 0);
    EXPECT_EQ(log.GetLastResult(), hresult_from_system(WAIT_TIMEOUT));

    release.notify();
    EXPECT_TRUE(exited_ok(reap(holder)));
    EXPECT_EQ(log.TraceInfo(LOGCAT_APP, u"kept"), 1);
    const auto lines = split_lines(read_utf16le(log_file()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse_line(lines[0])->message, u"kept");
}
