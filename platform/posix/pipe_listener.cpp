// Pipe names and folders, and the listening socket shared by the instances of one name.
#include "pipe_listener.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
constexpr std::size_t kPipePrefixLength = sizeof(kPipePrefix) / sizeof(char16_t) - 1;

char16_t ascii_lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool default_directory_in_use() {
    const char* env = std::getenv("ORVIX_PIPE_DIR");
    return env == nullptr || *env == '\0';
}

// Creates the pipe folder when missing. The per-user default is private to its user.
std::uint32_t ensure_pipe_directory(const std::filesystem::path& dir) {
    if (!default_directory_in_use()) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec && !std::filesystem::is_directory(dir))
            return system_error_from_errno(ec.value());
        return ERROR_SUCCESS;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return system_error_from_errno(errno);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return system_error_from_errno(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

} // namespace

std::filesystem::path pipe_directory() {
    if (!default_directory_in_use())
        return std::filesystem::path(std::getenv("ORVIX_PIPE_DIR"));
    return std::filesystem::path("/tmp") / ("orvix-pipes-" + std::to_string(::getuid()));
}

std::optional<std::filesystem::path> pipe_socket_path(TextView pipe_name, std::uint32_t* error) {
    auto fail = [&]() -> std::optional<std::filesystem::path> {
        if (error)
            *error = ERROR_INVALID_NAME;
        return std::nullopt;
    };
    if (pipe_name.size() <= kPipePrefixLength)
        return fail();
    for (std::size_t i = 0; i < kPipePrefixLength; ++i) {
        if (ascii_lower(pipe_name[i]) != kPipePrefix[i])
            return fail();
    }
    Text name;
    for (char16_t c : pipe_name.substr(kPipePrefixLength)) {
        if (c == u'/' || c == u'\\' || c == 0)
            return fail();
        name += ascii_lower(c);
    }
    const std::string file = utf16_to_utf8(name);
    if (file == "." || file == "..")
        return fail();
    std::filesystem::path path = pipe_directory() / file;
    // The lock file's suffix must fit as well as the socket path itself.
    if (path.native().size() + 1 > sizeof(sockaddr_un{}.sun_path) || file.size() + 5 > NAME_MAX)
        return fail();
    if (error)
        *error = ERROR_SUCCESS;
    return path;
}

namespace posix {

std::filesystem::path pipe_lock_path(const std::filesystem::path& socket_path) {
    std::filesystem::path lock = socket_path;
    lock += ".lock";
    return lock;
}

Milliseconds announced_default_wait(const std::filesystem::path& socket_path) {
    constexpr Milliseconds kFallback{50};
    const int fd = ::open(pipe_lock_path(socket_path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return kFallback;
    char buffer[64] = {};
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return kFallback;
    char* end = nullptr;
    const unsigned long long ms = std::strtoull(buffer, &end, 10);
    if (end == buffer)
        return kFallback;
    return ms == 0 ? kFallback : Milliseconds(static_cast<long long>(ms));
}

namespace {

std::mutex g_registry_lock;
std::map<std::string, std::weak_ptr<PipeListener>>& registry() {
    static std::map<std::string, std::weak_ptr<PipeListener>> listeners;
    return listeners;
}

// Takes the lock file of a name: the lock says this process serves it. The file is checked to
// still be the one at the path after locking, so a file removed by a previous server between
// our open and our lock is not mistaken for the live one.
std::uint32_t take_lock_file(const std::filesystem::path& lock_path, int& out) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return system_error_from_errno(errno);
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            ::close(fd);
            return err == EWOULDBLOCK ? ERROR_ACCESS_DENIED : system_error_from_errno(err);
        }
        struct stat held {
        }, at_path{};
        if (::fstat(fd, &held) == 0 && ::stat(lock_path.c_str(), &at_path) == 0 &&
            held.st_dev == at_path.st_dev && held.st_ino == at_path.st_ino) {
            out = fd;
            return ERROR_SUCCESS;
        }
        ::close(fd);
    }
    return ERROR_ACCESS_DENIED;
}

} // namespace

std::uint32_t PipeListener::add_instance(TextView name, const PipeServerSettings& settings,
                                         std::shared_ptr<PipeListener>& out) {
    std::uint32_t error = ERROR_SUCCESS;
    const auto path = pipe_socket_path(name, &error);
    if (!path)
        return error;
    std::lock_guard<std::mutex> guard(g_registry_lock);
    auto& slot = registry()[path->native()];
    if (auto existing = slot.lock()) {
        if (existing->instances_ >= existing->max_instances_)
            return ERROR_PIPE_BUSY;
        ++existing->instances_;
        out = std::move(existing);
        return ERROR_SUCCESS;
    }

    if (settings.max_instances == 0 || settings.max_instances > 255)
        return ERROR_INVALID_PARAMETER;
    error = ensure_pipe_directory(path->parent_path());
    if (error != ERROR_SUCCESS)
        return error;

    std::shared_ptr<PipeListener> listener(new PipeListener());
    listener->key_ = path->native();
    listener->path_ = *path;
    listener->lock_path_ = pipe_lock_path(*path);
    listener->max_instances_ = settings.max_instances;
    error = take_lock_file(listener->lock_path_, listener->lock_fd_);
    if (error != ERROR_SUCCESS)
        return error;

    // We hold the name: a socket file left at the path belongs to a server that is gone.
    ::unlink(path->c_str());
    listener->fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener->fd_ < 0)
        return system_error_from_errno(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path->c_str(), path->native().size() + 1);
    if (::bind(listener->fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return system_error_from_errno(errno);
    // Any user who can reach the folder may open the pipe; the folder decides.
    ::chmod(path->c_str(), 0666);
    if (::listen(listener->fd_, SOMAXCONN) != 0)
        return system_error_from_errno(errno);

    char info[64];
    const long long wait_ms =
        settings.default_timeout.count() > 0 ? settings.default_timeout.count() : 50;
    const int length =
        std::snprintf(info, sizeof info, "%lld %u\n", wait_ms, settings.max_instances);
    if (::ftruncate(listener->lock_fd_, 0) != 0 ||
        ::pwrite(listener->lock_fd_, info, static_cast<std::size_t>(length), 0) != length)
        return system_error_from_errno(errno);

    listener->instances_ = 1;
    slot = listener;
    out = std::move(listener);
    return ERROR_SUCCESS;
}

void PipeListener::remove_instance(std::shared_ptr<PipeListener>& listener) {
    if (!listener)
        return;
    std::lock_guard<std::mutex> guard(g_registry_lock);
    if (listener->instances_ > 0)
        --listener->instances_;
    const std::string key = listener->key_;
    listener.reset(); // the last instance removes the name, still under the registry lock
    auto it = registry().find(key);
    if (it != registry().end() && it->second.expired())
        registry().erase(it);
}

PipeListener::~PipeListener() {
    // The lock file is still held here, so the socket at the path is ours to remove.
    if (fd_ >= 0) {
        struct stat at_path {};
        if (::lstat(path_.c_str(), &at_path) == 0 && S_ISSOCK(at_path.st_mode))
            ::unlink(path_.c_str());
        ::close(fd_);
    }
    if (lock_fd_ >= 0) {
        ::unlink(lock_path_.c_str());
        ::close(lock_fd_);
    }
}

} // namespace posix
} // namespace platform
