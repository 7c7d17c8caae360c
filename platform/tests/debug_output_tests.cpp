// The debugger output: standard error on this backend.
#include "platform/debug_output.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace {

// Runs `body` in a child whose standard error is the write end of a fresh pipe; `close_reader`
// closes the read end first, as when the reading side went away. Returns the wait status and
// fills `seen` with what arrived.
int run_child(bool close_reader, void (*body)(), std::string& seen) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        alarm(30);
        signal(SIGPIPE, SIG_DFL); // the default would end the process
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        body();
        _exit(0);
    }
    close(fds[1]);
    if (close_reader)
        close(fds[0]);
    int status = -1;
    if (!close_reader) {
        char buf[256];
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 20000) == 1) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        close(fds[0]);
    }
    waitpid(pid, &status, 0);
    return status;
}

} // namespace

TEST(DebugOutput, WritesUtf8ToStandardError) {
    std::string seen;
    const int status = run_child(
        false, [] { debug_output(u"[2020/01/02 03:04:05],<ID>,<001000>,\u30ed\u30b0 OK\r\n"); },
        seen);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(seen, "[2020/01/02 03:04:05],<ID>,<001000>,\xe3\x83\xad\xe3\x82\xb0 OK\r\n");
}

TEST(DebugOutput, ReaderGoneNeitherKillsNorLeavesASignalBehind) {
    std::string seen;
    const int status = run_child(
        true,
        [] {
            debug_output(u"nobody reads this\r\n");
            debug_output(u"nor this\r\n");
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1)
                _exit(3);
        },
        seen);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
