#include "platform/result.h"

#include <cerrno>

namespace platform {

namespace {
thread_local std::uint32_t t_last_error = 0;
}

std::uint32_t system_error_from_errno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
    case ECONNRESET:
        return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EISDIR:
        return ERROR_DIRECTORY;
    case ECONNREFUSED:
        return ERROR_CONNECTION_REFUSED;
    case ENOTCONN:
        return ERROR_PIPE_NOT_CONNECTED;
    case EINTR:
        return ERROR_OPERATION_ABORTED;
    case EIO:
        return ERROR_GEN_FAILURE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::uint32_t last_system_error() {
    return t_last_error;
}
void set_last_system_error(std::uint32_t code) {
    t_last_error = code;
}

} // namespace platform
