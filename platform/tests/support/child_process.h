#pragma once
// A helper process for tests: started with a pipe on its standard output, read line by line with
// a time-out, and ended when the test lets go of it.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exit_code_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (out_ >= 0)
            ::close(out_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // The next line of output without its newline; std::nullopt at the end or on time-out.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            const int n = ::poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return std::nullopt;
            char buf[256];
            const ssize_t got = ::read(out_, buf, sizeof buf);
            if (got <= 0)
                return std::nullopt;
            buffer_.append(buf, static_cast<std::size_t>(got));
        }
    }

    // The exit code once the process has ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        if (exit_code_)
            return exit_code_;
        // The process's descriptor becomes readable when it ends.
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd < 0)
            return std::nullopt;
        pollfd p{pidfd, POLLIN, 0};
        int n;
        while ((n = ::poll(&p, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
        if (n <= 0)
            return std::nullopt;
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_)
            return std::nullopt;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exit_code_;
    }

    // Runs the program to its end and returns its exit code and output.
    static std::pair<int, std::string> run(const std::vector<std::string>& args) {
        ChildProcess child(args);
        std::string out;
        while (auto line = child.read_line(std::chrono::seconds(20)))
            out += *line + "\n";
        const auto code = child.wait(std::chrono::seconds(20));
        return {code.value_or(-1), out};
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> exit_code_;
};

} // namespace testsupport
