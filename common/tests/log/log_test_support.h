#pragma once
// Shared by the log writer tests: a private folder tree and mutex namespace per test, reading the
// log file back, capturing the debugger output (standard error), and child processes.
#include "common/LogOutput.h"
#include "platform/fs.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace logtest {

// Points the common documents folder at a fresh temporary folder and gives the test its own
// mutex namespace; removes both afterwards.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path docs() const { return docs_; }
    std::filesystem::path log_folder() const { return docs_ / "Orvix"; }
    std::filesystem::path log_file(const char* name = "client.log") const {
        return log_folder() / name;
    }
    const std::string& session() const { return session_; }

  private:
    std::filesystem::path root_;
    std::filesystem::path docs_;
    std::string session_;
};

// The file's bytes as UTF-16LE code units; fails the test when the size is odd.
platform::Text read_utf16le(const std::filesystem::path& path);
// Splits on CR LF; each element is one line without its terminator. A trailing piece without
// CR LF is returned as the last element and flagged in `unterminated`.
std::vector<platform::Text> split_lines(const platform::Text& text, bool* unterminated = nullptr);

// One parsed log line.
struct LogLine {
    char16_t severity = 0; // I, W, F
    char16_t channel = 0;  // D or ' '
    std::string id;        // the digits of the id field
    platform::Text message;
};
// Parses "[YYYY/MM/DD hh:mm:ss],<XY>,<digits>,message"; std::nullopt when the shape is wrong.
std::optional<LogLine> parse_line(const platform::Text& line);

// Collects what is written to standard error while it lives.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string text(); // what was written so far
  private:
    int saved_ = -1;
    int file_ = -1;
};

// Runs `body` in a child process whose exit code is its result. The child is killed when the
// test process goes and after 60 s at the latest.
pid_t spawn(const std::function<int()>& body);
// Waits for `pid` for at most `limit`, killing it afterwards; returns the wait status.
int reap(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(30));
bool exited_ok(int status);

} // namespace logtest
