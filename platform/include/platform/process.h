#pragma once
// Processes: the process list with each program's path, waiting with a time-out, termination,
// starting a program detached (optionally hidden), and the shell's "open".
#include "platform/result.h"
#include "platform/sync.h"
#include "platform/text.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace platform {

using ProcessId = std::uint32_t;

struct ProcessEntry {
    ProcessId pid = 0;
    // Full path of the program file; empty when the system does not tell (another user's
    // process, a kernel thread).
    std::filesystem::path program;
    // File name of the program (from the path, else from the command line or the process name).
    Text name;
};

// Lists the running processes. Returns a system error code (0 on success).
std::uint32_t list_processes(std::vector<ProcessEntry>& out);

// A process this process started or opened by id. Closing the object does not end the process.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Opens a running process by id. On failure the object is empty and `error` (when given)
    // holds ERROR_INVALID_PARAMETER (no such process) or ERROR_ACCESS_DENIED.
    static Process open(ProcessId pid, std::uint32_t* error = nullptr);

    bool valid() const { return pid_ != 0; }
    ProcessId id() const { return pid_; }

    // True when the process has ended within `timeout` (kInfinite waits without limit).
    bool wait(Milliseconds timeout);
    // The exit code once a started process has ended (and was waited for); std::nullopt while it
    // runs, and for processes that were opened by id. A process ended by a signal reports
    // 128 + the signal number, as shells do.
    std::optional<int> exit_code() const { return exit_code_; }
    // Ends the process at once (TerminateProcess). Returns a system error code; a process that
    // has already ended is not an error.
    std::uint32_t terminate();

  private:
    friend struct ProcessAccess;
    ProcessId pid_ = 0;
    int pidfd_ = -1;
    bool child_ = false; // started by us: its exit status is collected by wait()
    std::optional<int> exit_code_;
};

struct StartOptions {
    std::filesystem::path program;           // a path, or a bare name looked up in PATH
    std::vector<Text> arguments;             // without the program itself
    std::filesystem::path working_directory; // empty: the caller's
    // Hidden: no console; standard input, output and error go to /dev/null. Otherwise the
    // standard handles are inherited.
    bool hidden = false;
};

// Starts a program detached from the caller (its own session, so it outlives the caller and is
// not hit by the caller's terminal signals). Returns a system error code: ERROR_FILE_NOT_FOUND
// when the program does not exist, ERROR_ACCESS_DENIED when it cannot be executed. `process`
// (when given) receives the started process.
std::uint32_t start_process(const StartOptions& options, Process* process = nullptr);

// Splits a Windows-style command line text into arguments: white space separates, double quotes
// group (a quote inside quotes is written as two quotes or as \"), backslashes are literal unless
// they precede a quote.
std::vector<Text> split_command_line(TextView command_line);

// The shell's "open" verb (ShellExecute with the default verb). An executable file is started
// with `parameters` (a command line text, see split_command_line) in `directory` (empty: the
// file's own folder). Anything else (a URL, a document) is handed to the desktop's opener,
// xdg-open, or the program named by the environment variable ORVIX_OPEN_COMMAND when set.
// `show` false starts it hidden. Returns a system error code: ERROR_FILE_NOT_FOUND for a missing
// file or a missing opener.
std::uint32_t shell_open(TextView file, TextView parameters = {}, TextView directory = {},
                         bool show = true);

} // namespace platform
