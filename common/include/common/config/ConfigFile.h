#pragma once
// CConfigFile: moves the plain text of one configuration file between memory and disk. On disk
// the text is the 44-byte XML declaration followed by the text itself, optionally protected by
// a Blowfish layer and a Base64 layer (see CEncrypt). In memory it is a plain byte buffer.
//
// Read:  CreateFileW(CONFIG_OPEN_READ), ReadFile, GetBuffer, Close.
// Write: SetBuffer, CreateFileW(CONFIG_OPEN_WRITE), WriteFile, Close.
// Writing goes to a temporary file beside the target, which replaces the target only when the
// whole write succeeded; a failed write leaves the previous file as it was.
#include "platform/fs.h"
#include "platform/result.h"
#include "platform/text.h"

#include <cstdint>
#include <memory>

class CLogOutput;

// Result codes of the configuration store.
inline constexpr platform::HRESULT CONFIG_E_NODATA = platform::make_hresult(0x87020000);
inline constexpr platform::HRESULT CONFIG_E_NOFILENAME = platform::make_hresult(0x87020001);
inline constexpr platform::HRESULT CONFIG_E_NOTOPEN = platform::make_hresult(0x87020002);
inline constexpr platform::HRESULT CONFIG_E_NOBUFFER = platform::make_hresult(0x87020003);
inline constexpr platform::HRESULT CONFIG_E_ENCODE = platform::make_hresult(0x87020004);
inline constexpr platform::HRESULT CONFIG_E_DECODE = platform::make_hresult(0x87020005);
inline constexpr platform::HRESULT CONFIG_E_BASE64 = platform::make_hresult(0x87020006);

inline constexpr int CONFIG_OPEN_READ = 1;
inline constexpr int CONFIG_OPEN_WRITE = 2;

// The declaration every file's plain text starts with (44 bytes, no terminator).
inline constexpr char CONFIG_XML_DECLARATION[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>";
inline constexpr int CONFIG_XML_DECLARATION_SIZE = 44;

// The largest file ReadFile takes (16 MiB; a file of a thousand connection profiles has about
// half a megabyte). A larger one fails with 0x800700DF, the system's "file too large", before
// anything is read, so a damaged or hostile file cannot make the reader hold its size many
// times over.
inline constexpr std::uint64_t CONFIG_MAX_FILE_SIZE = 16u << 20;
inline constexpr std::uint32_t CONFIG_ERROR_FILE_TOO_LARGE = 223;

class CConfigFile {
  public:
    CConfigFile();
    virtual ~CConfigFile();
    CConfigFile(const CConfigFile&) = delete;
    CConfigFile& operator=(const CConfigFile&) = delete;

    // A plain name lives in the configuration folder; a name with a path separator is a path.
    void SetFileName(platform::TextView name);
    const platform::Text& GetFileName() const { return m_strFileName; }
    // The full path the file name stands for.
    platform::Text GetFilePath() const;
    void SetCipherKey(platform::TextView key);
    void SetUseBase64(int use);
    void SetUseBlowFish(int use);

    // mode CONFIG_OPEN_READ opens an existing file for reading; any other mode prepares a write.
    // Both hold the file without sharing it. An open that meets another holder waits up to a
    // second for it to close (loads and saves hold a file only briefly) before it fails with
    // 0x80070020. 1 or 0.
    int CreateFileW(int mode);
    // Reads the whole open file and removes the layers into the data buffer. 1 or 0.
    int ReadFile();
    // Writes the declaration and the data buffer, with the layers, over the file. 1 or 0.
    int WriteFile();
    // The data buffer (owned here; null when none) and its size in `size`. After ReadFile one
    // zero byte follows the `size` bytes.
    const std::uint8_t* GetBuffer(int& size);
    // Copies `size` bytes into a new data buffer. 1 or 0.
    int SetBuffer(const void* data, int size);
    void Close();
    platform::HRESULT GetLastResult() const { return m_hrLast; }

    // Process-wide: the folder of the configuration files ...
    static void SetConfigFolder(platform::TextView folder);
    static platform::Text GetConfigFolder();
    // ... and the log writer that receives the store's diagnostics (set by the host; null, the
    // default, logs nothing). The writer must outlive its use here.
    static void SetLogOutput(CLogOutput* log);
    static CLogOutput* GetLogOutput();

  protected:
    int Fail(platform::HRESULT hr);

    platform::HRESULT m_hrLast = 0;
    platform::Text m_strKey;
    // Zero-filled buffers from the C heap: large ones come as untouched pages, so a buffer
    // costs memory only as far as it is written.
    struct FreeDeleter {
        void operator()(std::uint8_t* p) const noexcept;
    };
    using Buffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;
    static Buffer AllocZeroed(std::size_t size);

    Buffer m_pData; // data size bytes, then one zero byte; null when there is no buffer
    platform::Text m_strFileName;
    int m_nDataSize = 0;
    int m_nUseBase64 = 1;
    int m_nUseBlowFish = 1;

  private:
    // Open for reading: the file itself. Open for writing: an exclusive hold on the existing
    // target (none when the target does not exist yet); the data goes through a temporary file.
    platform::File m_file;
    int m_nOpenMode = 0; // 0 closed, else the mode given to CreateFileW
};
