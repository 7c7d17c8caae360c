#include "platform/process.h"

#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

int pidfd_open(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfd_send_signal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

int exit_code_from_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Children whose Process object went away before they ended. Their exit status is collected
// here, on the next call into this module, so they do not linger as zombies.
std::mutex g_orphan_lock;
std::vector<pid_t> g_orphans;

void reap_orphans() {
    std::lock_guard<std::mutex> guard(g_orphan_lock);
    std::erase_if(g_orphans, [](pid_t pid) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

void adopt_orphan(pid_t pid) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD))
        return;
    std::lock_guard<std::mutex> guard(g_orphan_lock);
    g_orphans.push_back(pid);
}

std::string read_small_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string data;
    if (!in)
        return data;
    char buffer[4096];
    in.read(buffer, sizeof(buffer));
    data.assign(buffer, static_cast<std::size_t>(in.gcount()));
    return data;
}

bool is_url(TextView file) {
    const auto colon = file.find(u':');
    if (colon == TextView::npos || colon < 2)
        return false; // "C:" style drive letters and plain paths are files
    for (std::size_t i = 0; i < colon; ++i) {
        const char16_t c = file[i];
        const bool ok =
            (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
            (i > 0 && ((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.'));
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

// ---- Process list -----------------------------------------------------------------------------

std::uint32_t list_processes(std::vector<ProcessEntry>& out) {
    reap_orphans();
    out.clear();
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc", ec);
    if (ec)
        return system_error_from_errno(ec.value());
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.empty() ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        ProcessEntry process;
        process.pid = static_cast<ProcessId>(std::strtoul(name.c_str(), nullptr, 10));
        const std::string base = "/proc/" + name;
        char target[4096];
        const ssize_t n = ::readlink((base + "/exe").c_str(), target, sizeof(target) - 1);
        if (n > 0) {
            std::string program(target, static_cast<std::size_t>(n));
            // A program file replaced or removed while running is reported with this suffix.
            constexpr std::string_view deleted = " (deleted)";
            if (program.size() > deleted.size() && program.ends_with(deleted))
                program.resize(program.size() - deleted.size());
            process.program = program;
            process.name = from_path(process.program.filename());
        } else {
            const std::string cmdline = read_small_file(base + "/cmdline");
            const std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
            if (!argv0.empty()) {
                process.name = last_path_component(utf8_to_utf16(argv0));
            } else {
                std::string comm = read_small_file(base + "/comm");
                while (!comm.empty() && comm.back() == '\n')
                    comm.pop_back();
                if (comm.empty())
                    continue; // the process went away while we looked
                process.name = utf8_to_utf16(comm);
            }
        }
        out.push_back(std::move(process));
    }
    return ERROR_SUCCESS;
}

// ---- Process ----------------------------------------------------------------------------------

struct ProcessAccess {
    static Process make(pid_t pid, int pidfd, bool child) {
        Process p;
        p.pid_ = static_cast<ProcessId>(pid);
        p.pidfd_ = pidfd;
        p.child_ = child;
        return p;
    }
};

Process::~Process() {
    if (child_ && !exit_code_)
        adopt_orphan(static_cast<pid_t>(pid_));
    if (pidfd_ >= 0)
        ::close(pidfd_);
}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), pidfd_(other.pidfd_), child_(other.child_), exit_code_(other.exit_code_) {
    other.pid_ = 0;
    other.pidfd_ = -1;
    other.child_ = false;
    other.exit_code_.reset();
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Process old(std::move(*this));
        pid_ = other.pid_;
        pidfd_ = other.pidfd_;
        child_ = other.child_;
        exit_code_ = other.exit_code_;
        other.pid_ = 0;
        other.pidfd_ = -1;
        other.child_ = false;
        other.exit_code_.reset();
    }
    return *this;
}

Process Process::open(ProcessId pid, std::uint32_t* error) {
    reap_orphans();
    if (error)
        *error = ERROR_SUCCESS;
    if (pid == 0) {
        if (error)
            *error = ERROR_INVALID_PARAMETER;
        return {};
    }
    const int fd = pidfd_open(static_cast<pid_t>(pid));
    if (fd < 0) {
        if (error)
            *error = errno == ESRCH ? ERROR_INVALID_PARAMETER : system_error_from_errno(errno);
        return {};
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return ProcessAccess::make(static_cast<pid_t>(pid), fd, false);
}

bool Process::wait(Milliseconds timeout) {
    if (!valid() || exit_code_)
        return true;
    const auto deadline = timeout == kInfinite ? std::chrono::steady_clock::time_point::max()
                                               : std::chrono::steady_clock::now() + timeout;
    auto left_ms = [&]() -> int {
        if (timeout == kInfinite)
            return -1;
        const auto left =
            std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<Milliseconds::rep>(left.count(), 0, 1 << 30));
    };
    if (pidfd_ >= 0) {
        for (;;) {
            pollfd pfd{pidfd_, POLLIN, 0};
            const int r = ::poll(&pfd, 1, left_ms());
            if (r > 0)
                break;
            if (r == 0 || errno != EINTR)
                return false;
        }
    } else if (child_) {
        // Without a process descriptor only the exit status tells; look at it now and then.
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
            if (r == static_cast<pid_t>(pid_)) {
                exit_code_ = exit_code_from_status(status);
                return true;
            }
            if (r < 0 && errno != EINTR) {
                exit_code_ = -1;
                return true;
            }
            const int left = left_ms();
            if (left == 0)
                return false;
            ::poll(nullptr, 0, left < 0 ? 20 : std::min(left, 20));
        }
    }
    if (child_) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(static_cast<pid_t>(pid_), &status, 0);
        } while (r < 0 && errno == EINTR);
        exit_code_ = r == static_cast<pid_t>(pid_) ? exit_code_from_status(status) : -1;
    }
    return true;
}

std::uint32_t Process::terminate() {
    if (!valid())
        return ERROR_INVALID_HANDLE;
    if (exit_code_)
        return ERROR_SUCCESS;
    if (pidfd_send_signal(pidfd_, SIGKILL) != 0 && errno != ESRCH)
        return system_error_from_errno(errno);
    return ERROR_SUCCESS;
}

// ---- Starting programs ------------------------------------------------------------------------

std::uint32_t start_process(const StartOptions& options, Process* process) {
    reap_orphans();
    if (options.program.empty())
        return ERROR_INVALID_PARAMETER;

    const std::string program = options.program.string();
    std::vector<std::string> args;
    args.push_back(program);
    for (const auto& a : options.arguments)
        args.push_back(utf16_to_utf8(a));
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);

    // Its own session; default signal handling and an empty signal mask, whatever the caller
    // blocked or ignored.
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    if (options.hidden) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    const std::string dir = options.working_directory.string();
    if (!dir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    // Nothing of ours beyond the standard handles reaches the new program.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = 0;
    const bool search = program.find('/') == std::string::npos;
    const int rc =
        search ? ::posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
               : ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return rc == ENOENT ? ERROR_FILE_NOT_FOUND : system_error_from_errno(rc);

    const int fd = pidfd_open(pid);
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    Process started = ProcessAccess::make(pid, fd, true);
    if (process)
        *process = std::move(started);
    return ERROR_SUCCESS;
}

std::vector<Text> split_command_line(TextView line) {
    std::vector<Text> out;
    std::size_t i = 0;
    const std::size_t n = line.size();
    for (;;) {
        while (i < n &&
               (line[i] == u' ' || line[i] == u'\t' || line[i] == u'\n' || line[i] == u'\r'))
            ++i;
        if (i >= n)
            break;
        Text arg;
        bool quoted = false;
        while (i < n) {
            const char16_t c = line[i];
            if (!quoted && (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'))
                break;
            if (c == u'\\') {
                std::size_t slashes = 0;
                while (i < n && line[i] == u'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && line[i] == u'"') {
                    arg.append(slashes / 2, u'\\');
                    if (slashes % 2 == 1) {
                        arg.push_back(u'"');
                        ++i;
                    }
                } else {
                    arg.append(slashes, u'\\');
                }
                continue;
            }
            if (c == u'"') {
                if (quoted && i + 1 < n && line[i + 1] == u'"') {
                    arg.push_back(u'"');
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg.push_back(c);
            ++i;
        }
        out.push_back(std::move(arg));
    }
    return out;
}

std::uint32_t shell_open(TextView file, TextView parameters, TextView directory, bool show) {
    if (file.empty())
        return ERROR_FILE_NOT_FOUND;
    StartOptions options;
    options.hidden = !show;
    if (!directory.empty())
        options.working_directory = to_path(directory);

    if (!is_url(file)) {
        const std::filesystem::path path = to_path(file);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return system_error_from_errno(errno);
        if (S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0) {
            options.program = path.is_absolute() ? path : std::filesystem::absolute(path);
            options.arguments = split_command_line(parameters);
            if (options.working_directory.empty())
                options.working_directory = options.program.parent_path();
            return start_process(options);
        }
    }
    const char* opener = std::getenv("ORVIX_OPEN_COMMAND");
    options.program = opener && *opener ? opener : "xdg-open";
    options.arguments = {Text(file)};
    return start_process(options);
}

} // namespace platform
