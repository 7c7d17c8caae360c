#pragma once
// CNamedPipe: one end of a named pipe to the tunnel service, carrying framed UTF-16 messages (a
// 4-byte length, then the text). Client mode opens a pipe the service created; server mode
// creates the pipe and waits for its peer (used by the service stand-in).
//
// An end opened with a receive event works asynchronously: the read of the next message length
// is always outstanding and the event is signalled when it has arrived (or the pipe broke);
// PipeReadFile then reads the message. Without a receive event every read blocks.
//
// Logging goes to the library's log target (LibLog.h) with category LOGCAT_PIPE.
#include "interfaces/orvixsc_codes.h" // PIPE_E_MORE_DATA, PIPE_E_BROKEN
#include "platform/pipe.h"
#include "platform/result.h"
#include "platform/sync.h"

#include <cstdint>
#include <memory>

class CNamedPipe {
  public:
    // The longest message a frame may announce. Real messages are far smaller; a larger length
    // is taken as a broken link and never allocated.
    static constexpr std::uint32_t kMaxMessageBytes = 1024 * 1024;
    // Server mode: the instance limit and the wait a client gets when it asks for the default.
    static constexpr unsigned kMaxInstances = 255;
    static constexpr std::uint32_t kDefaultTimeoutMs = 10000;
    // How long a body read waits for the bytes its length announced, and how long a write waits
    // for the peer to take the bytes.
    static constexpr std::uint32_t kBodyTimeoutMs = 100000;
    static constexpr std::uint32_t kWriteTimeoutMs = 100000;

    CNamedPipe();
    // Closes what is still open (quietly); owners close with PipeCloseHandle.
    virtual ~CNamedPipe();
    CNamedPipe(const CNamedPipe&) = delete;
    CNamedPipe& operator=(const CNamedPipe&) = delete;

    // Opens the pipe `pszName` ("\\.\pipe\NAME"). `nMode` is not used. Client mode: waits for a
    // free instance with the server's default time-out, then opens it; a connect event is not
    // allowed. Server mode: creates an instance and connects the peer (with a connect event:
    // starts the connect, which signals that event; the caller then calls ReadyRead on an
    // asynchronous end). Returns 1 on success, 0 on failure (GetLastResult says why:
    // 0x80070002 no such pipe, 0x80070079 no free instance within the wait).
    int PipeOpenNamedPipe(const char16_t* pszName, int nMode, bool bServer,
                          platform::Event* hRecvEvent, platform::Event* hConnectEvent);

    // Reads the pending message into `pBuffer` (`*pdwSize` bytes of room) and terminates it with
    // a zero unit. Returns the bytes read, or 0: PIPE_E_MORE_DATA with `*pdwSize` set to the room
    // needed (message plus 2 bytes; the message stays pending), PIPE_E_BROKEN when the peer has
    // gone or the stream can no longer be trusted, or another failure code.
    std::uint32_t PipeReadFile(char16_t* pBuffer, std::uint32_t* pdwSize);

    // Writes one message (zero-terminated text). Returns the bytes of the text written, 0 on
    // failure (an empty text is not written).
    std::uint32_t PipeWriteFile(const char16_t* pszText);

    // Disconnects (server) and closes the pipe; the receive event stays the caller's.
    void PipeCloseHandle();

    platform::HRESULT GetLastResult() const { return m_hrLast; }

    // Starts the asynchronous read of the next message length. 1 when started or done, 0 on
    // failure.
    int ReadyRead();
    // The pending message length in bytes, reading it on a synchronous end; 0 when none.
    std::uint32_t GetLength();
    // Server mode: connects the peer (see PipeOpenNamedPipe). 1 when connected or pending.
    int Connect(platform::Event* hConnectEvent);

    // ---- Additions of this platform ------------------------------------------------------
    // Server mode: the default time-out announced to clients by the next created pipe name.
    void SetDefaultTimeout(std::uint32_t dwMilliseconds) { m_dwDefaultTimeout = dwMilliseconds; }
    // From any thread: ends a blocking connect or read of this end (they fail with
    // 0x800703E3); afterwards only PipeCloseHandle is left to do.
    void CancelIo();
    // Stops the outstanding length read so that the receive event is no longer used; a caller
    // that destroys its receive event while the pipe stays open calls this first.
    void DetachReceiveEvent();
    // Writes bytes as they are, outside the framing (for tools that try peers with malformed
    // frames). Returns the bytes written, 0 on failure.
    std::uint32_t PipeWriteBytes(const void* pData, std::uint32_t dwSize);
    bool IsOpen() const { return m_hPipe.is_open(); }
    // Server mode: the peer has been taken (also before the connect event was seen).
    bool IsConnected() const { return m_hPipe.is_connected(); }
    bool IsAsync() const { return m_hRecvEvent != nullptr; }

  private:
    int PipeOpenNamedPipeOfClient(const char16_t* pszName, platform::Event* hRecvEvent,
                                  platform::Event* hConnectEvent);
    int PipeOpenNamedPipeOfServer(const char16_t* pszName, platform::Event* hRecvEvent,
                                  platform::Event* hConnectEvent);
    void SetSystemResult(std::uint32_t dwError);
    void NoteEmptyFrames();

    platform::PipeEnd m_hPipe;
    platform::Event* m_hRecvEvent = nullptr; // the caller's
    std::uint32_t m_dwMsgLength = 0;
    std::unique_ptr<platform::Event> m_hIOEvent;
    platform::HRESULT m_hrLast = platform::S_OK;
    std::uint32_t m_dwDefaultTimeout = kDefaultTimeoutMs;
    std::uint64_t m_nEmptyFramesSeen = 0;
};
