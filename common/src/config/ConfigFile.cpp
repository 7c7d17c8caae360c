#include "common/config/ConfigFile.h"

#include "ConfigLog.h"
#include "common/config/Encrypt.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

using namespace orvix::config;
using platform::File;
using platform::FileAccess;
using platform::FileDisposition;
using platform::FileShare;
using platform::HRESULT;
using platform::Text;
using platform::TextView;

namespace {

std::mutex g_folderLock;
Text g_strConfigFolder;
std::atomic<CLogOutput*> g_pLog{nullptr};

CLogOutput* Log() {
    return g_pLog.load(std::memory_order_acquire);
}

// The service and the library read and write the same files, each holding a file only for
// the moment of one load or save. An open that meets the other side's hold tries again for
// up to this long before the sharing violation is reported.
constexpr auto kSharedHoldWait = std::chrono::milliseconds(1000);
constexpr auto kSharedHoldRetry = std::chrono::milliseconds(5);

File OpenExclusive(const std::filesystem::path& path, FileAccess access, std::uint32_t& error) {
    const auto deadline = std::chrono::steady_clock::now() + kSharedHoldWait;
    for (;;) {
        File file =
            File::open(path, access, FileDisposition::OpenExisting, FileShare::Exclusive, &error);
        if (file.is_open() || error != platform::ERROR_SHARING_VIOLATION ||
            std::chrono::steady_clock::now() >= deadline)
            return file;
        std::this_thread::sleep_for(kSharedHoldRetry);
    }
}

} // namespace

void CConfigFile::SetConfigFolder(TextView folder) {
    std::lock_guard<std::mutex> guard(g_folderLock);
    g_strConfigFolder.assign(folder);
}

Text CConfigFile::GetConfigFolder() {
    std::lock_guard<std::mutex> guard(g_folderLock);
    return g_strConfigFolder;
}

void CConfigFile::SetLogOutput(CLogOutput* log) {
    g_pLog.store(log, std::memory_order_release);
}

CLogOutput* CConfigFile::GetLogOutput() {
    return Log();
}

void CConfigFile::FreeDeleter::operator()(std::uint8_t* p) const noexcept {
    std::free(p);
}

CConfigFile::Buffer CConfigFile::AllocZeroed(std::size_t size) {
    return Buffer(static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1)));
}

CConfigFile::CConfigFile() = default;

CConfigFile::~CConfigFile() {
    m_file.close();
}

void CConfigFile::SetFileName(TextView name) {
    m_strFileName.assign(name);
}

Text CConfigFile::GetFilePath() const {
    // A name with a separator is a path of its own ('/' counts too on this system).
    if (m_strFileName.find_first_of(u"\\/") != Text::npos)
        return m_strFileName;
    const Text folder = GetConfigFolder();
    if (folder.empty())
        return m_strFileName;
    return platform::join_path(folder, m_strFileName);
}

void CConfigFile::SetCipherKey(TextView key) {
    m_strKey.assign(key);
}

void CConfigFile::SetUseBase64(int use) {
    m_nUseBase64 = use;
}

void CConfigFile::SetUseBlowFish(int use) {
    m_nUseBlowFish = use;
}

int CConfigFile::Fail(HRESULT hr) {
    m_hrLast = hr;
    return 0;
}

int CConfigFile::CreateFileW(int mode) {
    if (m_strFileName.empty())
        return Fail(CONFIG_E_NOFILENAME);
    m_file.close();
    m_nOpenMode = 0;

    const Text path = GetFilePath();
    const bool read = mode == CONFIG_OPEN_READ;
    TraceInfo(Log(), LOGCAT_CONFIG,
              read ? u"LIB_CONF:{CConfigFile::CreateFileW} OpenMode=READ"
                   : u"LIB_CONF:{CConfigFile::CreateFileW} OpenMode=WRITE");
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::CreateFileW} OpenFile=%s", path);

    const std::filesystem::path fsPath = platform::to_path(path);
    std::uint32_t error = 0;
    if (read) {
        m_file = OpenExclusive(fsPath, FileAccess::Read, error);
    } else {
        // Hold the current file without sharing until Close; the new contents replace it
        // whole in WriteFile. A missing target needs only its folder.
        m_file = OpenExclusive(fsPath, FileAccess::Write, error);
        if (!m_file.is_open() && error == platform::ERROR_FILE_NOT_FOUND) {
            std::error_code ec;
            const auto parent = fsPath.parent_path();
            error = parent.empty() || std::filesystem::is_directory(parent, ec)
                        ? platform::ERROR_SUCCESS
                        : platform::ERROR_PATH_NOT_FOUND;
        }
    }
    if (error != platform::ERROR_SUCCESS) {
        m_file.close();
        m_hrLast = platform::hresult_from_system(error);
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::CreateFileW} [E%08x]Open Error",
                  Hr(m_hrLast));
        return 0;
    }
    m_nOpenMode = read ? CONFIG_OPEN_READ : CONFIG_OPEN_WRITE;
    m_hrLast = 0;
    return 1;
}

int CConfigFile::ReadFile() {
    if (m_nOpenMode == 0) {
        m_hrLast = CONFIG_E_NOTOPEN;
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]File Not Open",
                  Hr(m_hrLast));
        return 0;
    }
    m_pData.reset();
    m_nDataSize = 0;

    auto readError = [this](std::uint32_t error) {
        m_hrLast = platform::hresult_from_system(error);
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]read error",
                   Hr(m_hrLast));
        return 0;
    };
    auto allocError = [this] {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]alloc error",
                  Hr(m_hrLast));
        return 0;
    };
    auto noData = [this] {
        m_hrLast = CONFIG_E_NODATA;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]Data Nothing",
                   Hr(m_hrLast));
        return 0;
    };

    if (m_nOpenMode != CONFIG_OPEN_READ)
        return readError(platform::ERROR_ACCESS_DENIED);
    std::uint64_t fileSize = 0;
    if (const std::uint32_t error = m_file.size(fileSize))
        return readError(error);
    if (fileSize == 0)
        return noData();
    if (fileSize > CONFIG_MAX_FILE_SIZE) {
        m_hrLast = platform::hresult_from_system(CONFIG_ERROR_FILE_TOO_LARGE);
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]file too large",
                  Hr(m_hrLast));
        return 0;
    }

    // The file's bytes and one zero byte behind them.
    Buffer raw = AllocZeroed(static_cast<std::size_t>(fileSize) + 1);
    if (!raw)
        return allocError();
    if (const std::uint32_t error = m_file.seek(0))
        return readError(error);
    std::size_t length = 0;
    while (length < fileSize) {
        std::size_t got = 0;
        if (const std::uint32_t error = m_file.read(raw.get() + length, fileSize - length, got))
            return readError(error);
        if (got == 0)
            break; // the file got shorter: take what is there
        length += got;
    }
    if (length == 0)
        return noData();

    CEncrypt encrypt;
    encrypt.SetLogOutput(Log());
    encrypt.Init(m_strKey);

    if (!m_nUseBase64 && !m_nUseBlowFish) {
        // Plain: the bytes as stored, including the text's final zero byte.
        m_pData = std::move(raw);
        m_nDataSize = static_cast<int>(length);
        m_hrLast = 0;
        return 1;
    }

    Buffer work;
    int count = 0;
    if (m_nUseBase64) {
        // The Base64 text ends at the first zero byte; its characters are ASCII, so the scan
        // over the bytes gives what the scan over the converted text gives.
        const std::size_t textLength = ::strnlen(reinterpret_cast<const char*>(raw.get()), length);
        work = AllocZeroed(length + 1);
        if (!work)
            return allocError();
        count = encrypt.DecodeBase64Ansi(
            std::string_view(reinterpret_cast<const char*>(raw.get()), textLength), work.get(),
            static_cast<int>(length));
        raw.reset();
    } else {
        work = std::move(raw);
        count = static_cast<int>(length);
    }

    int textSize = 0;
    if (count > 0) {
        if (m_nUseBlowFish) {
            textSize = encrypt.DecodeBlowFish(work.get(), work.get(), count);
        } else {
            const void* zero = std::memchr(work.get(), 0, static_cast<std::size_t>(count));
            textSize = zero ? static_cast<int>(static_cast<const std::uint8_t*>(zero) - work.get())
                            : count;
        }
    }
    if (textSize <= 0) {
        m_hrLast = CONFIG_E_DECODE;
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]BlowFish decode error", Hr(m_hrLast));
        return 0;
    }
    // The text followed by its zero byte. The work buffer serves as it is unless the text
    // fills only a small part of it.
    const std::size_t workSize = length + 1;
    if (static_cast<std::size_t>(textSize) + 1 >= workSize / 2) {
        m_pData = std::move(work);
    } else {
        Buffer data = AllocZeroed(static_cast<std::size_t>(textSize) + 1);
        if (!data) {
            m_hrLast = platform::E_OUTOFMEMORY;
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CConfigFile::ReadFile} [E%08x]alloc encode error", Hr(m_hrLast));
            return 0;
        }
        std::memcpy(data.get(), work.get(), static_cast<std::size_t>(textSize));
        m_pData = std::move(data);
    }
    m_nDataSize = textSize;
    m_hrLast = 0;
    return 1;
}

int CConfigFile::WriteFile() {
    if (m_nOpenMode == 0) {
        m_hrLast = CONFIG_E_NOTOPEN;
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]File Not Open",
                  Hr(m_hrLast));
        return 0;
    }
    if (!m_pData) {
        m_hrLast = CONFIG_E_NOBUFFER;
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]Data Nothing",
                  Hr(m_hrLast));
        return 0;
    }
    auto writeError = [this](std::uint32_t error) {
        m_hrLast = platform::hresult_from_system(error);
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]write error",
                   Hr(m_hrLast));
        return 0;
    };
    auto allocError = [this](const char16_t* text) {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceWarn(Log(), LOGCAT_CONFIG, text, Hr(m_hrLast));
        return 0;
    };
    if (m_nOpenMode != CONFIG_OPEN_WRITE)
        return writeError(platform::ERROR_ACCESS_DENIED);

    // P: the declaration, then the data.
    std::vector<std::uint8_t> plain;
    try {
        plain.reserve(static_cast<std::size_t>(m_nDataSize) + CONFIG_XML_DECLARATION_SIZE + 1);
        plain.assign(CONFIG_XML_DECLARATION, CONFIG_XML_DECLARATION + CONFIG_XML_DECLARATION_SIZE);
        plain.insert(plain.end(), m_pData.get(), m_pData.get() + m_nDataSize);
    } catch (const std::bad_alloc&) {
        return allocError(u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]alloc error");
    }

    CEncrypt encrypt;
    encrypt.SetLogOutput(Log());
    encrypt.Init(m_strKey);

    std::vector<std::uint8_t> output;
    std::string base64;
    const std::uint8_t* out = plain.data();
    std::size_t outSize = plain.size();
    if (m_nUseBlowFish) {
        try {
            output.assign(plain.size() + 1, 0);
        } catch (const std::bad_alloc&) {
            return allocError(u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]alloc encode data error");
        }
        if (encrypt.EncodeBlowFish(plain.data(), output.data(), static_cast<int>(plain.size())) ==
            0) {
            m_hrLast = CONFIG_E_ENCODE;
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]alloc encode error", Hr(m_hrLast));
            return 0;
        }
        out = output.data();
        outSize = plain.size();
    }
    if (m_nUseBase64) {
        try {
            base64 = encrypt.EncodeBase64Ansi(out, outSize);
        } catch (const std::bad_alloc&) {
            return allocError(u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]data buffer alloc error");
        }
        if (base64.empty()) {
            m_hrLast = CONFIG_E_BASE64;
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CConfigFile::WriteFile} [E%08x]Base64 encode error",
                      Hr(m_hrLast));
            return 0;
        }
        out = reinterpret_cast<const std::uint8_t*>(base64.data());
        outSize = base64.size();
    }

    // The new contents go to a temporary file that replaces the target only when complete.
    // Our own hold would block the replacement, so it is let go for that moment and taken
    // again on the new file.
    const std::filesystem::path fsPath = platform::to_path(GetFilePath());
    m_file.close();
    const std::uint32_t error = platform::replace_file_contents(fsPath, out, outSize);
    m_file =
        File::open(fsPath, FileAccess::Write, FileDisposition::OpenExisting, FileShare::Exclusive);
    if (error != platform::ERROR_SUCCESS)
        return writeError(error);
    m_hrLast = 0;
    return 1;
}

const std::uint8_t* CConfigFile::GetBuffer(int& size) {
    size = m_nDataSize;
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::GetBuffer} DataSize = %d",
              m_nDataSize);
    return m_pData.get();
}

int CConfigFile::SetBuffer(const void* data, int size) {
    m_pData.reset();
    m_nDataSize = 0;
    if (size < 0 || (size > 0 && !data)) {
        m_hrLast = size < 0 ? platform::E_INVALIDARG : platform::E_POINTER;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::SetBuffer} [E%08x]alloc error",
                   Hr(m_hrLast));
        return 0;
    }
    // One zero byte more, so the buffer reads as a text as after ReadFile.
    Buffer buffer = AllocZeroed(static_cast<std::size_t>(size) + 1);
    if (!buffer) {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::SetBuffer} [E%08x]alloc error",
                   Hr(m_hrLast));
        return 0;
    }
    if (size > 0)
        std::memcpy(buffer.get(), data, static_cast<std::size_t>(size));
    m_pData = std::move(buffer);
    m_nDataSize = size;
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::SetBuffer} DataSize = %d", size);
    m_hrLast = 0;
    return 1;
}

void CConfigFile::Close() {
    if (m_nOpenMode != 0) {
        m_file.close();
        m_nOpenMode = 0;
        TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::Close} Close OK");
    } else {
        TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::Close} m_pFile = NULL");
    }
}
