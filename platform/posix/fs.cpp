#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::uint32_t last_errno_code() {
    return system_error_from_errno(errno);
}

// Opens without blocking on a lock held elsewhere: the sharing rules are those of a Windows
// share mode, where the second opener fails at once. Every open of ours takes a lock: a shared
// one for FileShare::Shared, an exclusive one for FileShare::Exclusive, so an exclusive open
// fails while any other open exists and every open fails while an exclusive one exists.
// flock locks belong to the open file description, so two opens in one process conflict just
// as opens in two processes do.
std::uint32_t take_share_lock(int fd, FileShare share) {
    const int op = (share == FileShare::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (;;) {
        if (::flock(fd, op) == 0)
            return ERROR_SUCCESS;
        if (errno == EINTR)
            continue;
        return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : last_errno_code();
    }
}

bool parent_exists(const std::filesystem::path& path) {
    std::error_code ec;
    const auto parent = path.parent_path();
    return parent.empty() || std::filesystem::is_directory(parent, ec);
}

// The system error code for a failed open(2) of `path`, in the Windows terms.
std::uint32_t open_error(const std::filesystem::path& path, int err) {
    switch (err) {
    case ENOENT:
        return parent_exists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    default:
        return system_error_from_errno(err);
    }
}

int open_retrying(const char* path, int flags, mode_t mode) {
    for (;;) {
        const int fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// Opens `path` with `flags` and the share lock; refuses folders as CreateFile does.
int open_locked(const std::filesystem::path& path, int flags, FileShare share,
                std::uint32_t& error) {
    const int fd = open_retrying(path.c_str(), flags, 0666);
    if (fd < 0) {
        error = open_error(path, errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        error = ERROR_ACCESS_DENIED;
        ::close(fd);
        return -1;
    }
    error = take_share_lock(fd, share);
    if (error != ERROR_SUCCESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint32_t write_all(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return last_errno_code();
        }
        if (n == 0)
            return ERROR_WRITE_FAULT;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

std::uint32_t fsync_retrying(int fd) {
    while (::fsync(fd) != 0) {
        if (errno == EINTR)
            continue;
        // fsync on something that cannot be synced (a pipe, some special files) is no failure
        return errno == EINVAL || errno == EROFS ? ERROR_SUCCESS : last_errno_code();
    }
    return ERROR_SUCCESS;
}

} // namespace

// ---- Paths -------------------------------------------------------------------------------------

std::filesystem::path to_path(TextView text) {
    std::string utf8 = utf16_to_utf8(text);
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return std::filesystem::path(utf8);
}

Text from_path(const std::filesystem::path& path) {
    return utf8_to_utf16(path.native());
}

Text last_path_component(TextView text) {
    const auto pos = text.find_last_of(u"\\/");
    return Text(pos == TextView::npos ? text : text.substr(pos + 1));
}

Text join_path(TextView dir, TextView name) {
    Text out(dir);
    if (!out.empty() && out.back() != u'/' && out.back() != u'\\')
        out.push_back(u'/');
    out.append(name);
    return out;
}

// ---- File --------------------------------------------------------------------------------------

File::~File() {
    close();
}

File::File(File&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

File File::open(const std::filesystem::path& path, FileAccess access, FileDisposition disposition,
                FileShare share, std::uint32_t* error) {
    int flags = access == FileAccess::Read    ? O_RDONLY
                : access == FileAccess::Write ? O_WRONLY
                                              : O_RDWR;
    bool truncate = false;
    switch (disposition) {
    case FileDisposition::OpenExisting:
        break;
    case FileDisposition::CreateAlways:
        // truncated only once the share lock is held, so a refused open destroys nothing
        flags |= O_CREAT;
        truncate = true;
        break;
    case FileDisposition::OpenAlways:
        flags |= O_CREAT;
        break;
    case FileDisposition::CreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
    }
    File file;
    std::uint32_t code = ERROR_SUCCESS;
    if (truncate && access == FileAccess::Read) {
        // CreateAlways empties the file even when it is opened for reading only
        flags = (flags & ~O_ACCMODE) | O_RDWR;
    }
    file.fd_ = open_locked(path, flags, share, code);
    if (file.fd_ >= 0 && truncate) {
        while (::ftruncate(file.fd_, 0) != 0) {
            if (errno == EINTR)
                continue;
            code = last_errno_code();
            file.close();
            break;
        }
    }
    if (error != nullptr)
        *error = code;
    return file;
}

void File::close() {
    if (fd_ >= 0) {
        ::close(fd_); // the share lock goes with the descriptor
        fd_ = -1;
    }
}

std::uint32_t File::read(void* buffer, std::size_t size, std::size_t& read_count) {
    read_count = 0;
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0) {
            read_count = static_cast<std::size_t>(n);
            return ERROR_SUCCESS;
        }
        if (errno != EINTR)
            return last_errno_code();
    }
}

std::uint32_t File::write(const void* data, std::size_t size) {
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    return write_all(fd_, data, size);
}

std::uint32_t File::read_all(std::vector<std::uint8_t>& out, std::size_t limit) {
    out.clear();
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    std::uint8_t buf[16384];
    for (;;) {
        std::size_t got = 0;
        const std::uint32_t rc = read(buf, sizeof(buf), got);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (got == 0)
            return ERROR_SUCCESS;
        const std::size_t room = limit - out.size();
        if (got > room) {
            out.insert(out.end(), buf, buf + room);
            return ERROR_MORE_DATA;
        }
        out.insert(out.end(), buf, buf + got);
    }
}

std::uint32_t File::size(std::uint64_t& out) const {
    out = 0;
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return last_errno_code();
    out = static_cast<std::uint64_t>(st.st_size);
    return ERROR_SUCCESS;
}

std::uint32_t File::seek(std::uint64_t offset) {
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    if (offset > static_cast<std::uint64_t>(INT64_MAX))
        return ERROR_INVALID_PARAMETER;
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 ? last_errno_code()
                                                                  : ERROR_SUCCESS;
}

std::uint32_t File::seek_end() {
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    return ::lseek(fd_, 0, SEEK_END) < 0 ? last_errno_code() : ERROR_SUCCESS;
}

std::uint32_t File::truncate() {
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (pos < 0)
        return last_errno_code();
    while (::ftruncate(fd_, pos) != 0) {
        if (errno != EINTR)
            return last_errno_code();
    }
    return ERROR_SUCCESS;
}

std::uint32_t File::flush() {
    if (fd_ < 0)
        return ERROR_INVALID_HANDLE;
    return fsync_retrying(fd_);
}

// ---- Whole-file operations ---------------------------------------------------------------------

std::uint32_t append_to_file(const std::filesystem::path& path, const void* data,
                             std::size_t size) {
    std::uint32_t error = ERROR_SUCCESS;
    const int fd = open_locked(path, O_WRONLY | O_CREAT | O_APPEND, FileShare::Shared, error);
    if (fd < 0)
        return error;
    error = write_all(fd, data, size);
    if (::close(fd) != 0 && error == ERROR_SUCCESS && errno != EINTR)
        error = last_errno_code();
    return error;
}

std::uint32_t append_to_file_unlocked(const std::filesystem::path& path, const void* data,
                                      std::size_t size) {
    // A folder cannot be opened for writing (EISDIR), so no fstat is needed to refuse one.
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0)
        return open_error(path, errno);
    std::uint32_t error = write_all(fd, data, size);
    if (::close(fd) != 0 && error == ERROR_SUCCESS && errno != EINTR)
        error = last_errno_code();
    return error;
}

std::uint32_t replace_file_contents(const std::filesystem::path& path, const void* data,
                                    std::size_t size) {
    // The current file must not be held exclusively by another open, as replacing a file opened
    // without sharing fails on Windows too. The lock is held until the rename is done.
    std::uint32_t error = ERROR_SUCCESS;
    int current = open_locked(path, O_RDONLY, FileShare::Shared, error);
    if (current < 0 && error != ERROR_FILE_NOT_FOUND)
        return error;
    struct stat st {};
    const bool keep_mode = current >= 0 && ::fstat(current, &st) == 0;

    const std::filesystem::path dir = path.parent_path();
    const std::string base = path.filename().string();
    std::random_device rd;
    std::filesystem::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof(suffix), ".%08x", static_cast<unsigned>(rd()));
        temp = dir / ("." + base + suffix + ".tmp");
        fd = open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = open_error(temp, errno);
        if (current >= 0)
            ::close(current);
        return error;
    }
    if (keep_mode)
        (void)::fchmod(fd, st.st_mode & 07777);
    error = write_all(fd, data, size);
    if (error == ERROR_SUCCESS)
        error = fsync_retrying(fd);
    if (::close(fd) != 0 && error == ERROR_SUCCESS && errno != EINTR)
        error = last_errno_code();
    if (error == ERROR_SUCCESS && ::rename(temp.c_str(), path.c_str()) != 0)
        error = last_errno_code();
    if (error != ERROR_SUCCESS) {
        ::unlink(temp.c_str());
    } else {
        // make the rename itself durable
        const int dfd = open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
        if (dfd >= 0) {
            (void)fsync_retrying(dfd);
            ::close(dfd);
        }
    }
    if (current >= 0)
        ::close(current);
    return error;
}

// ---- Folders -----------------------------------------------------------------------------------

namespace {

std::optional<std::filesystem::path> env_path(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return std::nullopt;
    return std::filesystem::path(value);
}

std::filesystem::path home_dir() {
    if (auto home = env_path("HOME"))
        return *home;
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof(buf), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr)
        return std::filesystem::path(result->pw_dir);
    return std::filesystem::path("/");
}

std::filesystem::path program_folder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path(ec);
    return exe.parent_path();
}

} // namespace

std::filesystem::path known_folder(KnownFolder folder) {
    std::error_code ec;
    switch (folder) {
    case KnownFolder::CommonDocuments:
        return env_path("ORVIX_COMMON_DOCUMENTS").value_or("/var/tmp/orvix/documents");
    case KnownFolder::ProgramFolder:
        if (auto p = env_path("ORVIX_PROGRAM_DIR"))
            return *p;
        return program_folder();
    case KnownFolder::Temp:
        if (auto p = env_path("ORVIX_TEMP"))
            return *p;
        return env_path("TMPDIR").value_or("/tmp");
    case KnownFolder::Desktop:
        if (auto p = env_path("ORVIX_DESKTOP"))
            return *p;
        if (auto p = env_path("XDG_DESKTOP_DIR"))
            return *p;
        return home_dir() / "Desktop";
    case KnownFolder::UserStartup:
        if (auto p = env_path("ORVIX_USER_STARTUP"))
            return *p;
        if (auto p = env_path("XDG_CONFIG_HOME"))
            return *p / "autostart";
        return home_dir() / ".config" / "autostart";
    case KnownFolder::CommonStartup:
        return env_path("ORVIX_COMMON_STARTUP").value_or("/etc/xdg/autostart");
    case KnownFolder::CurrentDirectory:
        return std::filesystem::current_path(ec);
    }
    return {};
}

std::uint32_t create_directories(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec)
        return ERROR_SUCCESS;
    if (std::filesystem::is_directory(dir)) // created meanwhile by someone else
        return ERROR_SUCCESS;
    if (ec.value() == ENOTDIR)
        return ERROR_PATH_NOT_FOUND;
    return system_error_from_errno(ec.value());
}

std::uint32_t list_directory(const std::filesystem::path& dir, std::vector<DirEntry>& out) {
    out.clear();
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) {
        switch (ec.value()) {
        case ENOENT:
            return ERROR_PATH_NOT_FOUND;
        case ENOTDIR:
            return ERROR_DIRECTORY;
        default:
            return system_error_from_errno(ec.value());
        }
    }
    for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::error_code type_ec;
        out.push_back(DirEntry{it->path(), it->is_directory(type_ec)});
    }
    if (ec) {
        out.clear();
        return system_error_from_errno(ec.value());
    }
    std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) {
        return a.path.filename().native() < b.path.filename().native();
    });
    return ERROR_SUCCESS;
}

} // namespace platform
