#pragma once
// Codes of the service client library: connection statuses, event codes and the queued event
// record, command codes of the service pipe, and the library's result codes.
#include "platform/result.h"

#include <cstdint>

// ---- Connection status (IZa32VUConnection::GetStatus) -----------------------------------------
enum SCSTATUS : std::uint32_t {
    SCSTATUS_NONE = 0,          // never asked
    SCSTATUS_CONNECTING = 1,    // service reported "CONNECTING"
    SCSTATUS_CONNECTED = 2,     // service reported "CONNECTED"; the address is valid
    SCSTATUS_DISCONNECTING = 4, // service reported "DISCONNECTING"
    SCSTATUS_DISCONNECTED = 8,  // service reported "DISCONNECTED"
    SCSTATUS_ASKED = 16,        // a status request was sent; no answer yet
    SCSTATUS_NOSERVICE = 32,    // the link to the service was lost
    SCSTATUS_NOANSWER = 48,     // a status request got no answer within 1000 ms
};

// ---- Events (IZa32VUEvent) ----------------------------------------------------------------------
enum SCEVENT : std::uint32_t {
    SCEVENT_CONNECTING = 1,
    SCEVENT_CONNECTED = 2,
    SCEVENT_DISCONNECTING = 4,
    SCEVENT_DISCONNECTED = 8,
    SCEVENT_INFORMATION = 16,
    SCEVENT_UPDATE = 32, // reserved; never queued
    SCEVENT_SERVICELOST = 48,
    SCEVENT_QUERY = 64,
};

// One queued event. The context (a string) and the interface reference belong to the event and
// pass to whoever takes it out of the queue.
struct _ESCEVENTBLOCK {
    std::uint32_t code;        // SCEVENT_*
    std::uintptr_t context;    // owned string, or 0
    std::uintptr_t pInterface; // owned interface reference
};
using ESCEVENTBLOCK = _ESCEVENTBLOCK;

// The second message parameter the tray application registers with SetNotifyWindow, and the
// registered message name it posts.
inline constexpr const char16_t* kScaLibraryMessageName = u"ScaLibraryMessage";
inline constexpr std::intptr_t kScaLibraryMessageParam = 200;

// ---- Commands to the service --------------------------------------------------------------------
enum SCCMD : std::uint32_t {
    SCCMD_CONNECT = 1,
    SCCMD_DISCONNECT = 2,
    SCCMD_STATUS = 4,
    SCCMD_LOG = 8,
    SCCMD_ANSWER = 16,
    SCCMD_CONFCHANGE = 32,
    SCCMD_SETCONFUSER = 64,
    SCCMD_SETCONFCONN = 128,
    SCCMD_SHUTDOWN = 256,
};

// ---- Result codes of the library (facility 0x700) -----------------------------------------------
inline constexpr platform::HRESULT SC_E_ILLEGAL_MESSAGE = platform::make_hresult(0x87000001);
inline constexpr platform::HRESULT SC_E_DUPLICATE_NAME = platform::make_hresult(0x87000004);
inline constexpr platform::HRESULT SC_E_NO_SUCH_NAME = platform::make_hresult(0x87000005);
inline constexpr platform::HRESULT SC_E_SERVICE_STOPPED = platform::make_hresult(0x87000006);
inline constexpr platform::HRESULT SC_E_DEVICE_DISABLED = platform::make_hresult(0x87000007);
inline constexpr platform::HRESULT SC_E_AUTH_ERROR = platform::make_hresult(0x87000008);
inline constexpr platform::HRESULT SC_E_CONNECT_ERROR = platform::make_hresult(0x87000009);
inline constexpr platform::HRESULT PIPE_E_MORE_DATA = platform::make_hresult(0x87010001);
inline constexpr platform::HRESULT PIPE_E_BROKEN = platform::make_hresult(0x87010002);

// String ids of the library's error texts (string table of the library, language 1041).
enum : std::uint32_t {
    IDS_PROJNAME = 100,             // "za32vu"
    IDS_SC_E_DUPLICATE_NAME = 204,  // "Duplicate connection name"
    IDS_SC_E_NO_SUCH_NAME = 205,    // "No such connection name"
    IDS_SC_E_SERVICE_STOPPED = 206, // "KP service is stopped"
    IDS_SC_E_DEVICE_DISABLED = 207, // "Virtual device is disable"
    IDS_SC_E_AUTH_ERROR = 208,      // "Authentication error"
    IDS_SC_E_CONNECT_ERROR = 209,   // "Connection error"
};
