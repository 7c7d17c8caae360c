#pragma once
// Result codes in the 32-bit HRESULT layout and the system error codes the components use.
#include <cstdint>

namespace platform {

using HRESULT = std::int32_t;

constexpr HRESULT make_hresult(std::uint32_t value) {
    return static_cast<HRESULT>(value);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = make_hresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = make_hresult(0x80004002);
inline constexpr HRESULT E_POINTER = make_hresult(0x80004003);
inline constexpr HRESULT E_ABORT = make_hresult(0x80004004);
inline constexpr HRESULT E_FAIL = make_hresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = make_hresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = make_hresult(0x80070005);
inline constexpr HRESULT E_HANDLE = make_hresult(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = make_hresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = make_hresult(0x80070057);

// COM class registration and object creation.
inline constexpr HRESULT CLASS_E_NOAGGREGATION = make_hresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = make_hresult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = make_hresult(0x80040154);
inline constexpr HRESULT CO_E_DLLNOTFOUND = make_hresult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = make_hresult(0x800401F9);
inline constexpr HRESULT SELFREG_E_CLASS = make_hresult(0x80040201);
// IDispatch::Invoke and GetIDsOfNames.
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = make_hresult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = make_hresult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = make_hresult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = make_hresult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = make_hresult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = make_hresult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = make_hresult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = make_hresult(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = make_hresult(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = make_hresult(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = make_hresult(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = make_hresult(0x8002000F);

// System error codes (the Windows numbering, which callers and stored logs rely on).
enum SystemError : std::uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_OUTOFMEMORY = 14,
    ERROR_NOT_READY = 21,
    ERROR_WRITE_FAULT = 29,
    ERROR_READ_FAULT = 30,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_LOCK_VIOLATION = 33,
    ERROR_HANDLE_EOF = 38,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BROKEN_PIPE = 109,
    ERROR_DISK_FULL = 112,
    ERROR_SEM_TIMEOUT = 121,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_PROC_NOT_FOUND = 127,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_BAD_PATHNAME = 161,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_BAD_PIPE = 230,
    ERROR_PIPE_BUSY = 231,
    ERROR_NO_DATA = 232,
    ERROR_PIPE_NOT_CONNECTED = 233,
    ERROR_MORE_DATA = 234,
    WAIT_TIMEOUT = 258,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_DIRECTORY = 267,
    ERROR_NOT_OWNER = 288,
    ERROR_PIPE_CONNECTED = 535,
    ERROR_PIPE_LISTENING = 536,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_IO_INCOMPLETE = 996,
    ERROR_IO_PENDING = 997,
    ERROR_NOACCESS = 998,
    ERROR_NO_SYSTEM_RESOURCES = 1450,
    ERROR_TIMEOUT = 1460,
    ERROR_CONNECTION_REFUSED = 1225,
    ERROR_BADDB = 1009,
    ERROR_BADKEY = 1010,
    ERROR_CANTREAD = 1012,
    ERROR_CANTWRITE = 1013,
    ERROR_KEY_DELETED = 1018,
    ERROR_INVALID_WINDOW_HANDLE = 1400,
    ERROR_INVALID_DATATYPE = 1804,
};

// 0x80070000 | code, and 0 for ERROR_SUCCESS (HRESULT_FROM_WIN32).
constexpr HRESULT hresult_from_system(std::uint32_t code) {
    return code == 0 ? S_OK : make_hresult(0x80070000u | (code & 0xFFFFu));
}

constexpr bool succeeded(HRESULT hr) {
    return hr >= 0;
}
constexpr bool failed(HRESULT hr) {
    return hr < 0;
}

// Maps an errno value to the nearest system error code (unknown values give ERROR_GEN_FAILURE).
std::uint32_t system_error_from_errno(int err);

// The calling thread's last system error code, as set by the platform operations that document
// it (the GetLastError convention).
std::uint32_t last_system_error();
void set_last_system_error(std::uint32_t code);

} // namespace platform
