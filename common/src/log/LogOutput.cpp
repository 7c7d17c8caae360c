// CLogOutput: filters lines by channel switch, severity threshold and category mask, formats
// them with a time stamp, tag and message id, and appends them to the log file under the
// machine-wide mutex, or sends them to the debugger output (the process's standard error).
#include "common/LogOutput.h"

#include "platform/debug_output.h"
#include "platform/fs.h"
#include "platform/module.h"

#include <algorithm>
#include <bit>
#include <ctime>
#include <memory>
#include <new>

using namespace platform;

namespace {

// Every process that writes the log serialises its appends on this mutex.
constexpr const char16_t* kMutexName = u"Kp32LogOutputMutex";
constexpr Milliseconds kMutexWait{10000};
// Ids of 0 or less are shown as this one (the id of free texts).
constexpr int kTraceId = 1000;
// The wait ended with the mutex left by an owner that died holding it.
constexpr HRESULT kAbandonedWait = make_hresult(0x800702DF); // ERROR_ABANDONED_WAIT_0 (735)

const char16_t kSeverityLetter[] = {u'I', u'W', u'F'};

// "[%Y/%m/%d %H:%M:%S]," for the local time. The text is kept per thread for the second it
// belongs to: many lines share one second, and the conversion to local time is the costly part.
void append_time_stamp(Text& out) {
    thread_local std::time_t t_second = static_cast<std::time_t>(-1);
    thread_local char16_t t_stamp[32];
    thread_local std::size_t t_length = 0;
    const std::time_t now = std::time(nullptr);
    if (now != t_second || t_length == 0) {
        std::tm local{};
        char buf[32];
        std::size_t n = 0;
        if (localtime_r(&now, &local))
            n = std::strftime(buf, sizeof buf, "[%Y/%m/%d %H:%M:%S],", &local);
        if (n == 0) {
            // No local time to be had: keep the field's shape rather than losing the line.
            static const char fallback[] = "[0000/00/00 00:00:00],";
            n = sizeof fallback - 1;
            std::copy(fallback, fallback + n, buf);
            t_second = static_cast<std::time_t>(-1);
        } else {
            t_second = now;
        }
        std::copy(buf, buf + n, t_stamp); // ASCII only
        t_length = n;
    }
    out.append(t_stamp, t_length);
}

// "<%06d>," without going through the general formatter.
void append_id_field(Text& out, int id) {
    if (id <= 0)
        id = kTraceId;
    char digits[16];
    int n = 0;
    for (unsigned v = static_cast<unsigned>(id); v != 0 || n < 6; v /= 10)
        digits[n++] = static_cast<char>('0' + v % 10);
    out += u'<';
    while (n > 0)
        out += static_cast<char16_t>(digits[--n]);
    out += u">,";
}

} // namespace

CLogOutput::CLogOutput() {
    // Failing to open the mutex leaves every file append failing (the wait reports it); the
    // object itself stays usable.
    try {
        m_hMutex = std::make_unique<SystemMutex>(kMutexName);
    } catch (...) {
        m_hMutex.reset(); // out of memory: appends report E_HANDLE
    }
}

CLogOutput::~CLogOutput() = default;

// ---- Settings ---------------------------------------------------------------------------------

int CLogOutput::SetLogPathName(const char16_t* name) {
    m_hrLast = S_OK;
    if (!name) {
        m_hrLast = E_POINTER;
        return 0;
    }
    try {
        // The log always lives in the "Orvix" folder below the common documents folder; only
        // the last component of `name` is used.
        const std::filesystem::path folder = known_folder(KnownFolder::CommonDocuments) / "Orvix";
        const std::uint32_t dir_error = platform::create_directories(folder);

        Text path = from_path(folder);
        path += u'/';
        path += last_path_component(name);
        if (path.size() > kMaxPath) {
            // Cutting the path would send the lines to a file nobody asked for: take none.
            m_strLogPath.clear();
            m_pathLog.clear();
            m_hrLast = hresult_from_system(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        m_pathLog = to_path(path);
        m_strLogPath = std::move(path);

        // Open for appending once: creates the file when missing and tells whether lines can
        // be written at all.
        static const char none = 0;
        const std::uint32_t error = platform::append_to_file_unlocked(m_pathLog, &none, 0);
        if (error != ERROR_SUCCESS) {
            m_hrLast = hresult_from_system(dir_error != ERROR_SUCCESS ? dir_error : error);
            return 0;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        m_hrLast = E_OUTOFMEMORY;
    } catch (...) {
        m_hrLast = E_FAIL;
    }
    return 0;
}

int CLogOutput::SetSwitch(unsigned value, unsigned& field, unsigned refused, HRESULT error) {
    m_hrLast = S_OK;
    if (value > 2) {
        field = refused;
        m_hrLast = error;
        return 0;
    }
    field = value;
    return 1;
}

int CLogOutput::SetLogLevel(unsigned level) {
    return SetSwitch(level, m_nLogLevel, 2, LOG_E_LEVEL);
}

int CLogOutput::SetDebugLevel(unsigned level) {
    return SetSwitch(level, m_nDebugLevel, 2, LOG_E_LEVEL);
}

int CLogOutput::SetLogOut(unsigned out) {
    return SetSwitch(out, m_nLogOut, 0, LOG_E_SWITCH);
}

int CLogOutput::SetDebugLogOut(unsigned out) {
    return SetSwitch(out, m_nDebugLogOut, 2, LOG_E_SWITCH);
}

int CLogOutput::SetCategory(std::uint32_t mask) {
    m_hrLast = S_OK;
    m_nCategory = mask;
    return 1;
}

int CLogOutput::SetDebugCategory(std::uint32_t mask) {
    m_hrLast = S_OK;
    m_nDebugCategory = mask;
    return 1;
}

HRESULT CLogOutput::GetLastResult() const {
    return m_hrLast;
}

// ---- Lines ------------------------------------------------------------------------------------

bool CLogOutput::Passes(Channel channel, Severity sev, std::uint32_t cat) {
    const unsigned threshold = channel == ChannelNormal ? m_nLogLevel : m_nDebugLevel;
    const std::uint32_t mask = channel == ChannelNormal ? m_nCategory : m_nDebugCategory;
    // Threshold 0 lets every line through, 1 warnings and fatal lines, 2 fatal lines only.
    if (static_cast<unsigned>(sev) < threshold)
        return false;
    return (cat & mask) != 0;
}

int CLogOutput::WriteId(Channel channel, Severity sev, std::uint32_t cat, int id,
                        std::initializer_list<FormatArg> args) {
    m_hrLast = S_OK;
    if ((channel != ChannelNormal && channel != ChannelDebug) || sev < SevInfo || sev > SevFatal) {
        m_hrLast = E_INVALIDARG;
        return 0;
    }
    if ((channel == ChannelNormal ? m_nLogOut : m_nDebugLogOut) == 0)
        return 1;
    if (!Passes(channel, sev, cat))
        return 1;
    try {
        // An unknown id gives an empty text; the line is still written.
        const Text format = id > 0 ? load_string(static_cast<std::uint32_t>(id)) : Text();
        return WriteLine(channel, sev, id, format,
                         std::span<const FormatArg>(args.begin(), args.size()));
    } catch (const std::bad_alloc&) {
        m_hrLast = E_OUTOFMEMORY;
    } catch (...) {
        m_hrLast = E_FAIL;
    }
    return 0;
}

int CLogOutput::WriteText(Severity sev, std::uint32_t cat, const char16_t* fmt,
                          std::initializer_list<FormatArg> args) {
    m_hrLast = S_OK;
    if (sev < SevInfo || sev > SevFatal) {
        m_hrLast = E_INVALIDARG;
        return 0;
    }
    if (m_nDebugLogOut == 0)
        return 1;
    if (!fmt) {
        m_hrLast = E_POINTER;
        return 0;
    }
    if (!Passes(ChannelDebug, sev, cat))
        return 1;
    return WriteLine(ChannelDebug, sev, kTraceId, fmt,
                     std::span<const FormatArg>(args.begin(), args.size()));
}

int CLogOutput::WriteLine(Channel channel, Severity sev, int id, TextView fmt,
                          std::span<const FormatArg> args) {
    try {
        const std::optional<Text> message = vformat(fmt, args);
        if (!message) {
            // The format asks for arguments that were not given, or for other kinds.
            m_hrLast = E_INVALIDARG;
            return 0;
        }
        Text line;
        line.reserve(message->size() + 48);
        append_time_stamp(line);
        line += u'<';
        line += kSeverityLetter[sev];
        line += channel == ChannelDebug ? u'D' : u' ';
        line += u">,";
        append_id_field(line, id);
        line += *message;
        line += u"\r\n";

        const unsigned out = channel == ChannelNormal ? m_nLogOut : m_nDebugLogOut;
        if (out == 1)
            return AppendToFile(line);
        // The normal channel reaches the debugger output only while the debug channel does.
        if (out == 2 && (channel == ChannelDebug || m_nDebugLogOut == 2))
            debug_output(line);
        return 1;
    } catch (const std::bad_alloc&) {
        m_hrLast = E_OUTOFMEMORY;
    } catch (...) {
        m_hrLast = E_FAIL;
    }
    return 0;
}

int CLogOutput::AppendToFile(TextView line) {
    if (!m_hMutex) {
        m_hrLast = E_HANDLE;
        return 0;
    }
    switch (m_hMutex->wait(kMutexWait)) {
    case SystemMutex::WaitResult::Acquired:
        break;
    case SystemMutex::WaitResult::Abandoned:
        // A writer died holding the mutex; its line may be cut short. This line is dropped and
        // the mutex, now ours and consistent again, is handed on.
        m_hMutex->release();
        m_hrLast = kAbandonedWait;
        return 0;
    case SystemMutex::WaitResult::Timeout:
        m_hrLast = hresult_from_system(WAIT_TIMEOUT);
        return 0;
    case SystemMutex::WaitResult::Failed:
    default: {
        const std::uint32_t error = m_hMutex->valid() ? last_system_error() : ERROR_INVALID_HANDLE;
        m_hrLast = hresult_from_system(error ? error : ERROR_INVALID_HANDLE);
        return 0;
    }
    }

    int result = 0;
    if (m_strLogPath.empty()) {
        m_hrLast = LOG_E_NOFILE;
    } else {
        try {
            // UTF-16 code units, little-endian, no byte order mark.
            std::uint32_t error;
            if constexpr (std::endian::native == std::endian::little) {
                error = platform::append_to_file_unlocked(m_pathLog, line.data(), line.size() * 2);
            } else {
                std::string bytes(line.size() * 2, '\0');
                for (std::size_t i = 0; i < line.size(); ++i) {
                    bytes[2 * i] = static_cast<char>(line[i] & 0xFF);
                    bytes[2 * i + 1] = static_cast<char>(line[i] >> 8);
                }
                error = platform::append_to_file_unlocked(m_pathLog, bytes.data(), bytes.size());
            }
            if (error == ERROR_SUCCESS)
                result = 1;
            else
                m_hrLast = hresult_from_system(error);
        } catch (const std::bad_alloc&) {
            m_hrLast = E_OUTOFMEMORY;
        } catch (...) {
            m_hrLast = E_FAIL;
        }
    }
    m_hMutex->release();
    return result;
}
