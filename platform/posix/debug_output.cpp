// The debugger output on this backend: the process's standard error.
#include "platform/debug_output.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace platform {

// One write, so that texts of several threads or processes do not mix. A standard error that is a
// pipe nobody reads any more must not end the process: SIGPIPE is held back for this thread during
// the write, and one it raised is taken away.
void debug_output(TextView text) {
    const std::string utf8 = utf16_to_utf8(text);
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    const bool masked = pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set) == 0;

    const char* p = utf8.data();
    std::size_t left = utf8.size();
    bool broken_pipe = false;
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            broken_pipe = n < 0 && errno == EPIPE;
            break; // nothing more can be done about a closed or failing standard error
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (masked) {
        if (broken_pipe && !was_pending) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    }
}

} // namespace platform
