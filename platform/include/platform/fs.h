#pragma once
// Files with the Windows sharing rules, known folders and directory listing.
#include "platform/result.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Paths as the components see them: UTF-16 text. On this backend the separator is '/', and a
// backslash in a component's path text is accepted as a separator too.
std::filesystem::path to_path(TextView text);
Text from_path(const std::filesystem::path& path);
// The text after the last '\\' or '/' (all of it when there is none).
Text last_path_component(TextView text);
// `dir` joined with `name` by the native separator.
Text join_path(TextView dir, TextView name);

enum class FileAccess { Read, Write, ReadWrite };
enum class FileDisposition {
    OpenExisting, // fails with ERROR_FILE_NOT_FOUND when missing
    CreateAlways, // created or truncated
    OpenAlways,   // created when missing
    CreateNew,    // fails with ERROR_FILE_EXISTS when present
};
enum class FileShare {
    Exclusive, // no other opener, in this or another process (a second open fails with
               // ERROR_SHARING_VIOLATION, 0x80070020)
    Shared,
};

// An open file. Closed by the destructor.
class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // Opens `path`. On failure the File is closed and `error` (when given) holds the system error
    // code.
    static File open(const std::filesystem::path& path, FileAccess access,
                     FileDisposition disposition, FileShare share, std::uint32_t* error = nullptr);

    bool is_open() const { return fd_ >= 0; }
    void close();

    // Each returns a system error code (0 on success).
    // read_count 0 with success at the end of the file.
    std::uint32_t read(void* buffer, std::size_t size, std::size_t& read_count);
    std::uint32_t write(const void* data, std::size_t size); // writes all or fails
    // Reads from the current position to the end. When more than `limit` bytes remain, `out`
    // holds the first `limit` of them and the result is ERROR_MORE_DATA.
    std::uint32_t read_all(std::vector<std::uint8_t>& out, std::size_t limit = SIZE_MAX);
    std::uint32_t size(std::uint64_t& out) const;
    std::uint32_t seek(std::uint64_t offset);
    std::uint32_t seek_end();
    std::uint32_t truncate(); // ends the file at the current position
    std::uint32_t flush();    // to the disk

  private:
    int fd_ = -1;
};

// Appends `data` to `path` (created when missing), opening and closing it around the write.
std::uint32_t append_to_file(const std::filesystem::path& path, const void* data, std::size_t size);
// The same with the fewest system calls (one open, one write, one close) and no share lock, so an
// exclusive opener elsewhere neither stops it nor is stopped by it. For files whose writers are
// serialised among themselves and that are appended to line by line (the log file), where the
// lock and the extra checks would cost more than the write.
std::uint32_t append_to_file_unlocked(const std::filesystem::path& path, const void* data,
                                      std::size_t size);

// Writes `data` to a temporary file beside `path` and renames it over `path` only when the whole
// write succeeded, so the target is never left half written.
std::uint32_t replace_file_contents(const std::filesystem::path& path, const void* data,
                                    std::size_t size);

// Known folders. Each can be overridden by an environment variable so tests run in a temporary
// tree:
//   CommonDocuments  ORVIX_COMMON_DOCUMENTS  (default /var/tmp/orvix/documents)
//   ProgramFolder    ORVIX_PROGRAM_DIR       (default the folder of the running executable)
//   Temp             ORVIX_TEMP              (default $TMPDIR or /tmp)
//   Desktop          ORVIX_DESKTOP           (default $XDG_DESKTOP_DIR or ~/Desktop)
//   UserStartup      ORVIX_USER_STARTUP      (default $XDG_CONFIG_HOME/autostart)
//   CommonStartup    ORVIX_COMMON_STARTUP    (default /etc/xdg/autostart)
//   CurrentDirectory (the process's working directory; no override)
enum class KnownFolder {
    CommonDocuments,
    ProgramFolder,
    Temp,
    Desktop,
    UserStartup,
    CommonStartup,
    CurrentDirectory,
};
std::filesystem::path known_folder(KnownFolder folder);

// Creates `dir` and missing parents; an existing folder is fine. Returns a system error code.
std::uint32_t create_directories(const std::filesystem::path& dir);

struct DirEntry {
    std::filesystem::path path;
    bool is_directory = false;
};
// Lists the entries of `dir` (without "." and ".."), sorted by name. Returns a system error
// code.
std::uint32_t list_directory(const std::filesystem::path& dir, std::vector<DirEntry>& out);

// INI profile reading (GetPrivateProfileString): the value of `key` in `[section]` of the INI file
// at `path`, section and key names compared without regard to ASCII case; `default_value` when
// the file, the section or the key is missing. The file is read as UTF-8 (a UTF-8 or UTF-16LE byte
// order mark is honoured). At most `max_chars` - 1 characters are returned, as the Windows call
// does with a buffer of that size.
Text read_profile_string(const std::filesystem::path& path, TextView section, TextView key,
                         TextView default_value, std::size_t max_chars = 1024);

// The longest path text the components accept (MAX_PATH minus the terminator).
inline constexpr std::size_t kMaxPath = 259;

} // namespace platform
