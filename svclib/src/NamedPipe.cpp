#include "svclib/NamedPipe.h"

#include "svclib/LibLog.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

using platform::HRESULT;
using platform::Milliseconds;

namespace {

// HRESULTs are logged as their 32-bit pattern.
unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

constexpr HRESULT kHrIoPending = platform::make_hresult(0x800703E5);

// The text of a written message as the log shows it: the password lines of the two settings
// blocks are masked, so the log never holds a password.
platform::Text LoggableMessage(platform::TextView text) {
    std::size_t passwordLine = 0;
    if (text.starts_with(u"SETCONFCONN\r\n"))
        passwordLine = 3; // word, name, user, password
    else if (text.starts_with(u"SETCONFUSER\r\n"))
        passwordLine = 8; // word, x, y, selection, host, port, authentication, user, password
    platform::Text out(text);
    if (passwordLine == 0)
        return out;
    std::size_t begin = 0;
    for (std::size_t line = 0; line < passwordLine && begin != platform::Text::npos; ++line) {
        begin = out.find(u"\r\n", begin);
        if (begin != platform::Text::npos)
            begin += 2;
    }
    if (begin == platform::Text::npos)
        return out;
    const std::size_t end = std::min(out.find(u"\r\n", begin), out.size());
    if (end > begin)
        out.replace(begin, end - begin, u"***");
    return out;
}

} // namespace

CNamedPipe::CNamedPipe() = default;

CNamedPipe::~CNamedPipe() {
    m_hPipe.close();
}

void CNamedPipe::SetSystemResult(std::uint32_t dwError) {
    m_hrLast = platform::hresult_from_system(dwError);
}

void CNamedPipe::NoteEmptyFrames() {
    const std::uint64_t seen = m_hPipe.empty_frames();
    if (seen != m_nEmptyFramesSeen) {
        LibTraceWarn(LOGCAT_PIPE,
                     u"LIB_PIPE:{CNamedPipe::GetLength} empty message dropped (count = %d)",
                     static_cast<int>(seen - m_nEmptyFramesSeen));
        m_nEmptyFramesSeen = seen;
    }
}

int CNamedPipe::PipeOpenNamedPipe(const char16_t* pszName, int /*nMode*/, bool bServer,
                                  platform::Event* hRecvEvent, platform::Event* hConnectEvent) {
    m_dwMsgLength = 0;
    // An end is asynchronous exactly when it was opened with a receive event.
    m_hRecvEvent = hRecvEvent;
    m_hIOEvent.reset();
    if (hRecvEvent) {
        m_hIOEvent = std::make_unique<platform::Event>(platform::Event::Reset::Auto);
        if (!m_hIOEvent->valid()) {
            m_hIOEvent.reset();
            m_hRecvEvent = nullptr;
            SetSystemResult(platform::ERROR_NO_SYSTEM_RESOURCES);
            return 0;
        }
    }
    if (!pszName) {
        m_hrLast = platform::E_POINTER;
        return 0;
    }
    return bServer ? PipeOpenNamedPipeOfServer(pszName, hRecvEvent, hConnectEvent)
                   : PipeOpenNamedPipeOfClient(pszName, hRecvEvent, hConnectEvent);
}

int CNamedPipe::PipeOpenNamedPipeOfClient(const char16_t* pszName, platform::Event* hRecvEvent,
                                          platform::Event* hConnectEvent) {
    m_hrLast = platform::S_OK;
    LibTraceInfo(LOGCAT_PIPE,
                 u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfClient} Send "
                 u"PipeOpenNamedPipeOfServer Name = %s",
                 pszName);
    if (hConnectEvent) {
        m_hrLast = platform::E_INVALIDARG;
        LibTraceFatal(LOGCAT_PIPE,
                      u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfClient} [E%08x]hConnectEvent NULL",
                      Hr(m_hrLast));
        return 0;
    }
    // Waiting for a free instance and opening it are one step on this platform.
    const std::uint32_t error =
        platform::PipeEnd::connect(pszName, platform::kPipeUseDefaultWait, m_hPipe);
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        LibTraceFatal(
            LOGCAT_PIPE,
            u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfClient} [E%08x]WaitNamedPipe error",
            Hr(m_hrLast));
        return 0;
    }
    LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfClient} WaitNamedPipe OK");
    m_nEmptyFramesSeen = 0;
    if (hRecvEvent && !ReadyRead())
        return 0;
    return 1;
}

int CNamedPipe::PipeOpenNamedPipeOfServer(const char16_t* pszName, platform::Event* hRecvEvent,
                                          platform::Event* hConnectEvent) {
    m_hrLast = platform::S_OK;
    LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} hRecvEvent = %s",
                 hRecvEvent ? u"TRUE" : u"FALSE");
    platform::PipeServerSettings settings;
    settings.max_instances = kMaxInstances;
    settings.default_timeout = Milliseconds(m_dwDefaultTimeout);
    m_nEmptyFramesSeen = 0;

    if (hRecvEvent) {
        const std::uint32_t error = platform::PipeEnd::create_server(pszName, settings, m_hPipe);
        if (error != platform::ERROR_SUCCESS) {
            SetSystemResult(error);
            LibTraceFatal(
                LOGCAT_PIPE,
                u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} [E%08x]CreateNamedPipe erroe",
                Hr(m_hrLast));
            return 0;
        }
        if (!Connect(hConnectEvent) && m_hrLast != kHrIoPending) {
            m_hPipe.close();
            LibTraceFatal(
                LOGCAT_PIPE,
                u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} [E%08x]ConnectNamedPipe error",
                Hr(m_hrLast));
            return 0;
        }
        if (!hConnectEvent && !ReadyRead()) {
            LibTraceFatal(LOGCAT_PIPE,
                          u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} ReadyRead error");
            return 0;
        }
        return 1;
    }

    if (hConnectEvent) {
        m_hrLast = platform::E_INVALIDARG;
        LibTraceFatal(
            LOGCAT_PIPE,
            u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} CreateNamedPipe E_INVALIDARG");
        return 0;
    }
    const std::uint32_t error = platform::PipeEnd::create_server(pszName, settings, m_hPipe);
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        LibTraceFatal(
            LOGCAT_PIPE,
            u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} [E%08x]CreateNamedPipe err",
            Hr(m_hrLast));
        return 0;
    }
    if (!Connect(nullptr)) {
        m_hPipe.close();
        LibTraceFatal(
            LOGCAT_PIPE,
            u"LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfServer} [E%08x]ConnectNamedPipe err",
            Hr(m_hrLast));
        return 0;
    }
    return 1;
}

int CNamedPipe::Connect(platform::Event* hConnectEvent) {
    if (hConnectEvent) {
        const std::uint32_t error = m_hPipe.start_accept(*hConnectEvent);
        if (error == platform::ERROR_SUCCESS) {
            m_hrLast = platform::S_OK;
            return 1; // the peer was waiting; the event is set
        }
        SetSystemResult(error);
        if (error == platform::ERROR_IO_PENDING) {
            LibTraceInfo(LOGCAT_PIPE,
                         u"LIB_PIPE:{CNamedPipe::Connect} ConnectNamedPipe\u3000IO_PENDING");
            return 1;
        }
        return 0;
    }
    std::uint32_t error;
    if (m_hRecvEvent && m_hIOEvent) {
        error = m_hPipe.start_accept(*m_hIOEvent);
        if (error == platform::ERROR_IO_PENDING) {
            // Waits for the peer; CancelIo from another thread ends the wait.
            m_hIOEvent->wait(platform::kInfinite);
            error = m_hPipe.async_result();
        } else if (error == platform::ERROR_SUCCESS) {
            m_hIOEvent->reset();
        }
    } else {
        error = m_hPipe.accept(platform::kInfinite);
    }
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        LibTraceFatal(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::Connect} [E%08x]ConnectNamedPipe error",
                      Hr(m_hrLast));
        return 0;
    }
    m_hrLast = platform::S_OK;
    return 1;
}

int CNamedPipe::ReadyRead() {
    if (!m_hRecvEvent) {
        m_hrLast = platform::E_HANDLE;
        LibTraceFatal(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::ReadyRead} [E%08x]ReadFile error",
                      Hr(m_hrLast));
        return 0;
    }
    const std::uint32_t error = m_hPipe.start_frame_length_read(*m_hRecvEvent);
    if (error == platform::ERROR_IO_PENDING) {
        LibTraceWarn(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::ReadyRead} [W%08x]ReadFile IO_PENDING",
                     Hr(kHrIoPending));
        m_hrLast = platform::S_OK;
        return 1;
    }
    if (error == platform::ERROR_SUCCESS) {
        m_hrLast = platform::S_OK;
        return 1;
    }
    SetSystemResult(error);
    LibTraceFatal(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::ReadyRead} [E%08x]ReadFile error",
                  Hr(m_hrLast));
    return 0;
}

std::uint32_t CNamedPipe::GetLength() {
    if (m_dwMsgLength != 0)
        return m_dwMsgLength;
    std::uint32_t length = 0;
    if (!m_hRecvEvent) {
        const std::uint32_t error = m_hPipe.read_frame_length(length, platform::kInfinite);
        NoteEmptyFrames();
        if (error != platform::ERROR_SUCCESS) {
            SetSystemResult(error);
            LibTraceFatal(
                LOGCAT_PIPE,
                u"LIB_PIPE:{CNamedPipe::GetLength} [E%08x]ReadFile error (message length)",
                Hr(m_hrLast));
            return 0;
        }
        LibTraceInfo(LOGCAT_PIPE,
                     u"LIB_PIPE:{CNamedPipe::GetLength} ReadFile (message length = %dByte)",
                     length);
        m_dwMsgLength = length;
        return length;
    }
    if (m_hrLast != platform::S_OK) {
        LibTraceWarn(LOGCAT_PIPE,
                     u"LIB_PIPE:{CNamedPipe::GetLength} [W%08x]GetLength = 0 (message length)",
                     Hr(m_hrLast));
        return 0;
    }
    std::size_t transferred = 0;
    const std::uint32_t error =
        m_hPipe.async_result(&length, &transferred, Milliseconds(kBodyTimeoutMs));
    NoteEmptyFrames();
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        LibTraceFatal(LOGCAT_PIPE,
                      u"LIB_PIPE:{CNamedPipe::GetLength} [E%08x]GetOverlappedResult error",
                      Hr(m_hrLast));
        return 0;
    }
    if (transferred == 0 || length == 0) {
        LibTraceInfo(LOGCAT_PIPE,
                     u"LIB_PIPE:{CNamedPipe::GetLength} GetLength = 0 (message length)");
        return 0;
    }
    m_dwMsgLength = length;
    return length;
}

std::uint32_t CNamedPipe::PipeReadFile(char16_t* pBuffer, std::uint32_t* pdwSize) {
    if (!pdwSize) {
        m_hrLast = platform::E_POINTER;
        return 0;
    }
    const std::uint32_t n = GetLength();
    if (n == 0) {
        // A length that began to arrive and stalled leaves the stream without its frames.
        const bool stalled = m_hrLast == platform::hresult_from_system(platform::WAIT_TIMEOUT);
        if (stalled || m_hPipe.peek() != platform::ERROR_SUCCESS) {
            m_hrLast = PIPE_E_BROKEN;
            LibTraceWarn(LOGCAT_PIPE,
                         u"LIB_PIPE:{CNamedPipe::PipeReadFile} [W%08x]PeekNamedPipe error",
                         Hr(m_hrLast));
        }
        *pdwSize = 0;
        return 0;
    }
    if (n > kMaxMessageBytes) {
        // No message is this long: the peer is not speaking the protocol, and the rest of the
        // stream cannot be framed any more.
        m_hrLast = PIPE_E_BROKEN;
        m_dwMsgLength = 0;
        LibTraceFatal(LOGCAT_PIPE,
                      u"LIB_PIPE:{CNamedPipe::PipeReadFile} [E%08x]message length error (%uByte)",
                      Hr(m_hrLast), n);
        *pdwSize = 0;
        return 0;
    }
    if (!pBuffer || *pdwSize < n + 2) {
        *pdwSize = n + 2;
        m_hrLast = PIPE_E_MORE_DATA;
        LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeReadFile} insufficint buffer");
        return 0;
    }

    bool waited = false;
    const std::uint32_t error =
        m_hPipe.read_exact(pBuffer, n, Milliseconds(kBodyTimeoutMs), nullptr, &waited);
    if (waited && m_hRecvEvent)
        LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeReadFile} ReadFile IO_PENDING");
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        if (error == platform::WAIT_TIMEOUT)
            LibTraceFatal(LOGCAT_PIPE,
                          u"LIB_PIPE:{CNamedPipe::PipeReadFile} [E%08x]WaitForSingleObject after "
                          u"IO_PENDING is error",
                          Hr(m_hrLast));
        else
            LibTraceFatal(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeReadFile} [E%08x]ReadFile error",
                          Hr(m_hrLast));
        // Part of the message may have been consumed: the frames that follow cannot be found
        // any more, so the link is as good as broken.
        m_hrLast = PIPE_E_BROKEN;
        m_dwMsgLength = 0;
        *pdwSize = 0;
        return 0;
    }

    if (n % 2 != 0) {
        // Not whole UTF-16 units: the stray last byte is dropped.
        LibTraceWarn(LOGCAT_PIPE,
                     u"LIB_PIPE:{CNamedPipe::PipeReadFile} [W%08x]odd message length (%uByte)",
                     Hr(platform::hresult_from_system(platform::ERROR_INVALID_DATA)), n);
    }
    if constexpr (std::endian::native == std::endian::big) {
        auto* bytes = reinterpret_cast<unsigned char*>(pBuffer);
        for (std::uint32_t i = 0; i + 1 < n; i += 2)
            std::swap(bytes[i], bytes[i + 1]);
    }
    pBuffer[n / 2] = 0;
    m_dwMsgLength = 0;
    LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeReadFile} ReadFile = %s, ReadByte = %d",
                 static_cast<const char16_t*>(pBuffer), n);
    if (m_hRecvEvent)
        ReadyRead();
    return n;
}

std::uint32_t CNamedPipe::PipeWriteFile(const char16_t* pszText) {
    m_hrLast = platform::S_OK;
    if (!pszText || pszText[0] == 0) {
        LibTraceWarn(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeWriteFile} Write message is NULL");
        return 0;
    }
    const std::size_t units = std::char_traits<char16_t>::length(pszText);
    if (units * 2 > kMaxMessageBytes) {
        m_hrLast = platform::E_INVALIDARG;
        LibTraceFatal(
            LOGCAT_PIPE,
            u"LIB_PIPE:{CNamedPipe::PipeWriteFile} [E%08x]WriteFile error(message length)",
            Hr(m_hrLast));
        return 0;
    }
    const auto bytes = static_cast<std::uint32_t>(units * 2);
    // The length and the text go out in one write; which of the two failed is told by how far
    // it got.
    std::vector<unsigned char> swapped;
    const void* body = pszText;
    if constexpr (std::endian::native == std::endian::big) {
        swapped.resize(bytes);
        for (std::size_t i = 0; i < units; ++i) {
            swapped[2 * i] = static_cast<unsigned char>(pszText[i]);
            swapped[2 * i + 1] = static_cast<unsigned char>(pszText[i] >> 8);
        }
        body = swapped.data();
    }
    std::size_t written = 0;
    const std::uint32_t error =
        m_hPipe.write_frame(body, bytes, Milliseconds(kWriteTimeoutMs), &written);
    if (error != platform::ERROR_SUCCESS && written < 4) {
        SetSystemResult(error);
        LibTraceFatal(
            LOGCAT_PIPE,
            u"LIB_PIPE:{CNamedPipe::PipeWriteFile} [E%08x]WriteFile error(message length)",
            Hr(m_hrLast));
        return 0;
    }
    LibTraceInfo(LOGCAT_PIPE,
                 u"LIB_PIPE:{CNamedPipe::PipeWriteFile} WriteFile (message length = %dByte)",
                 bytes);
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        LibTraceFatal(LOGCAT_PIPE,
                      u"LIB_PIPE:{CNamedPipe::PipeWriteFile} [E%08x]WriteFile (message)",
                      Hr(m_hrLast));
        return 0;
    }
    LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeWriteFile} WriteFile (message  = %s)",
                 LoggableMessage(platform::TextView(pszText, units)).c_str());
    return bytes;
}

void CNamedPipe::PipeCloseHandle() {
    m_hPipe.close();
    m_hIOEvent.reset();
    m_dwMsgLength = 0;
    LibTraceInfo(LOGCAT_PIPE, u"LIB_PIPE:{CNamedPipe::PipeCloseHandle} Pipe\u3000CloseHandle");
}

void CNamedPipe::CancelIo() {
    m_hPipe.cancel();
}

void CNamedPipe::DetachReceiveEvent() {
    m_hPipe.cancel_async();
    m_hRecvEvent = nullptr;
}

std::uint32_t CNamedPipe::PipeWriteBytes(const void* pData, std::uint32_t dwSize) {
    m_hrLast = platform::S_OK;
    if (!pData || dwSize == 0)
        return 0;
    const std::uint32_t error = m_hPipe.write_all(pData, dwSize, Milliseconds(kWriteTimeoutMs));
    if (error != platform::ERROR_SUCCESS) {
        SetSystemResult(error);
        return 0;
    }
    return dwSize;
}
