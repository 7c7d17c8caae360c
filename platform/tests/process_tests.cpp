#include "platform/fs.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using namespace std::chrono_literals;

namespace {

class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/orvix-process-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::filesystem::path write_script(const std::string& name, const std::string& body) {
        const auto path = dir_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }

    // Waits (bounded) until `path` exists and returns its content.
    std::string wait_for_file(const std::filesystem::path& path) {
        for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i)
            std::this_thread::sleep_for(10ms);
        // The writer may still be writing: give it a moment to finish its line.
        std::string content;
        for (int i = 0; i < 100; ++i) {
            std::ifstream in(path);
            std::stringstream ss;
            ss << in.rdbuf();
            content = ss.str();
            if (!content.empty() && content.back() == '\n')
                break;
            std::this_thread::sleep_for(10ms);
        }
        return content;
    }

    std::filesystem::path dir_;
};

TEST_F(ProcessTest, StartWaitAndExitCode) {
    Process p;
    StartOptions options;
    options.program = "/bin/sh";
    options.arguments = {u"-c", u"exit 7"};
    ASSERT_EQ(start_process(options, &p), ERROR_SUCCESS);
    ASSERT_TRUE(p.valid());
    EXPECT_TRUE(p.wait(10s));
    ASSERT_TRUE(p.exit_code().has_value());
    EXPECT_EQ(*p.exit_code(), 7);
}

TEST_F(ProcessTest, WorkingDirectoryArgumentsAndHiddenOutput) {
    Process p;
    StartOptions options;
    options.program = "sh"; // looked up in PATH
    options.arguments = {u"-c", u"pwd > out.txt; printf '%s|' \"$@\" >> out.txt; echo noise", u"sh",
                         u"a b", u"\u00e9"};
    options.working_directory = dir_;
    options.hidden = true;
    ASSERT_EQ(start_process(options, &p), ERROR_SUCCESS);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exit_code(), 0);
    std::ifstream in(dir_ / "out.txt");
    std::string pwd, args;
    std::getline(in, pwd);
    std::getline(in, args);
    EXPECT_EQ(std::filesystem::canonical(pwd), std::filesystem::canonical(dir_));
    EXPECT_EQ(args, "a b|\xc3\xa9|");
}

TEST_F(ProcessTest, StartFailures) {
    StartOptions options;
    options.program = dir_ / "missing";
    EXPECT_EQ(start_process(options), ERROR_FILE_NOT_FOUND);
    options.program = "orvix-no-such-program-anywhere";
    EXPECT_EQ(start_process(options), ERROR_FILE_NOT_FOUND);
    const auto plain = dir_ / "plain";
    std::ofstream(plain) << "data";
    options.program = plain;
    EXPECT_EQ(start_process(options), ERROR_ACCESS_DENIED);
    options.program.clear();
    EXPECT_EQ(start_process(options), ERROR_INVALID_PARAMETER);
}

TEST_F(ProcessTest, ListOpenWaitTerminate) {
    Process child;
    StartOptions options;
    options.program = "/bin/sleep";
    options.arguments = {u"30"};
    ASSERT_EQ(start_process(options, &child), ERROR_SUCCESS);

    std::vector<ProcessEntry> list;
    ASSERT_EQ(list_processes(list), ERROR_SUCCESS);
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const ProcessEntry& e) { return e.pid == child.id(); });
    ASSERT_NE(found, list.end());
    EXPECT_EQ(found->program, std::filesystem::canonical("/bin/sleep"));
    EXPECT_EQ(found->name, u"sleep");
    // Our own entry is there with our program path.
    const auto self = std::find_if(list.begin(), list.end(), [](const ProcessEntry& e) {
        return e.pid == static_cast<ProcessId>(::getpid());
    });
    ASSERT_NE(self, list.end());
    EXPECT_EQ(self->program, std::filesystem::canonical("/proc/self/exe"));

    std::uint32_t error = 1;
    Process opened = Process::open(child.id(), &error);
    ASSERT_EQ(error, ERROR_SUCCESS);
    ASSERT_TRUE(opened.valid());
    EXPECT_FALSE(opened.wait(50ms));
    EXPECT_EQ(opened.terminate(), ERROR_SUCCESS);
    EXPECT_TRUE(opened.wait(10s));
    EXPECT_FALSE(opened.exit_code().has_value()); // not ours to collect
    EXPECT_TRUE(child.wait(10s));
    EXPECT_EQ(child.exit_code(), 128 + SIGKILL);
    // Terminating a process that has ended is no error.
    EXPECT_EQ(child.terminate(), ERROR_SUCCESS);
}

TEST_F(ProcessTest, OpenMissingProcess) {
    std::uint32_t error = 0;
    // Pid numbers above the kernel's maximum never exist.
    Process p = Process::open(0x7FFFFFF0u, &error);
    EXPECT_FALSE(p.valid());
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(p.wait(0ms)); // an empty object has nothing to wait for
    EXPECT_EQ(p.terminate(), ERROR_INVALID_HANDLE);
}

TEST_F(ProcessTest, MoveKeepsOwnership) {
    Process a;
    StartOptions options;
    options.program = "/bin/sh";
    options.arguments = {u"-c", u"exit 3"};
    ASSERT_EQ(start_process(options, &a), ERROR_SUCCESS);
    Process b(std::move(a));
    EXPECT_FALSE(a.valid());
    Process c;
    c = std::move(b);
    ASSERT_TRUE(c.wait(10s));
    EXPECT_EQ(c.exit_code(), 3);
}

TEST(SplitCommandLine, WindowsRules) {
    struct Case {
        const char16_t* line;
        std::vector<Text> args;
    };
    const Case cases[] = {
        {u"", {}},
        {u"   ", {}},
        {u"a b\tc", {u"a", u"b", u"c"}},
        {u" \"C:\\out dir\\support.txt\" \"C:\\Program Files\\Orvix\"",
         {u"C:\\out dir\\support.txt", u"C:\\Program Files\\Orvix"}},
        {u"a\\\\b", {u"a\\\\b"}},
        {u"\"a\\\"b\"", {u"a\"b"}},
        {u"a\\\\\"b c\"", {u"a\\b c"}},
        {u"\"say \"\"hi\"\"\"", {u"say \"hi\""}},
        {u"ab\"c d\"ef", {u"abc def"}},
        {u"\"\"", {u""}},
        {u"\"unterminated arg", {u"unterminated arg"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split_command_line(c.line), c.args) << to_utf8(c.line);
}

TEST_F(ProcessTest, ShellOpenStartsExecutableWithParameters) {
    const auto marker = dir_ / "marker.txt";
    const auto script =
        write_script("installer.sh", "printf '%s|' \"$@\" > marker.tmp; pwd >> marker.tmp; "
                                     "mv marker.tmp marker.txt");
    ASSERT_EQ(shell_open(from_path(script), u"-q \"two words\"", {}, false), ERROR_SUCCESS);
    EXPECT_EQ(wait_for_file(marker),
              "-q|two words|" + std::filesystem::canonical(dir_).string() + "\n");
}

TEST_F(ProcessTest, ShellOpenHandsDocumentsAndUrlsToTheOpener) {
    const auto record = dir_ / "opened.txt";
    const auto opener = write_script("opener.sh", "echo \"$1\" >> " + record.string());
    ::setenv("ORVIX_OPEN_COMMAND", opener.c_str(), 1);
    const auto document = dir_ / "page.html";
    std::ofstream(document) << "<html></html>";
    ASSERT_EQ(shell_open(from_path(document)), ERROR_SUCCESS);
    const std::string first = wait_for_file(record);
    EXPECT_EQ(first, document.string() + "\n");
    std::filesystem::remove(record);
    ASSERT_EQ(shell_open(u"http://127.0.0.1:1/envchecker/"), ERROR_SUCCESS);
    EXPECT_EQ(wait_for_file(record), "http://127.0.0.1:1/envchecker/\n");

    EXPECT_EQ(shell_open(from_path(dir_ / "missing.exe")), ERROR_FILE_NOT_FOUND);
    ::setenv("ORVIX_OPEN_COMMAND", (dir_ / "no-opener").c_str(), 1);
    EXPECT_EQ(shell_open(u"https://127.0.0.1:1/"), ERROR_FILE_NOT_FOUND);
    ::unsetenv("ORVIX_OPEN_COMMAND");
}

} // namespace
