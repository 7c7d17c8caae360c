#include "log_test_support.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace logtest {

void LogTest::SetUp() {
    static std::atomic<int> counter{0};
    session_ = "logtest" + std::to_string(getpid()) + "x" + std::to_string(counter++);
    char tmpl[] = "/tmp/orvix-logtest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    docs_ = root_ / "documents";
    std::filesystem::create_directories(docs_);
    setenv("ORVIX_COMMON_DOCUMENTS", docs_.c_str(), 1);
    setenv("ORVIX_SESSION", session_.c_str(), 1);
}

void LogTest::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    const std::string prefix = "orvix-" + session_ + "-";
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
        if (e.path().filename().string().rfind(prefix, 0) == 0)
            std::filesystem::remove(e.path(), ec);
    }
    unsetenv("ORVIX_COMMON_DOCUMENTS");
    unsetenv("ORVIX_SESSION");
}

platform::Text read_utf16le(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.size() % 2, 0u) << "not whole UTF-16 code units: " << path;
    return platform::utf16le_to_text(bytes);
}

std::vector<platform::Text> split_lines(const platform::Text& text, bool* unterminated) {
    std::vector<platform::Text> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(u"\r\n", start);
        if (end == platform::Text::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (unterminated)
        *unterminated = start < text.size();
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

namespace {
bool digits(const platform::Text& s, std::size_t pos, std::size_t n) {
    if (pos + n > s.size())
        return false;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < u'0' || s[i] > u'9')
            return false;
    }
    return true;
}
} // namespace

std::optional<LogLine> parse_line(const platform::Text& line) {
    // [YYYY/MM/DD hh:mm:ss],
    // 0123456789012345678901
    if (line.size() < 22 || line[0] != u'[' || !digits(line, 1, 4) || line[5] != u'/' ||
        !digits(line, 6, 2) || line[8] != u'/' || !digits(line, 9, 2) || line[11] != u' ' ||
        !digits(line, 12, 2) || line[14] != u':' || !digits(line, 15, 2) || line[17] != u':' ||
        !digits(line, 18, 2) || line.compare(20, 2, u"],") != 0)
        return std::nullopt;
    std::size_t p = 22;
    if (line.size() < p + 5 || line[p] != u'<' || line.compare(p + 3, 2, u">,") != 0)
        return std::nullopt;
    LogLine out;
    out.severity = line[p + 1];
    out.channel = line[p + 2];
    if ((out.severity != u'I' && out.severity != u'W' && out.severity != u'F') ||
        (out.channel != u'D' && out.channel != u' '))
        return std::nullopt;
    p += 5;
    if (p >= line.size() || line[p] != u'<')
        return std::nullopt;
    const std::size_t close = line.find(u">,", p);
    if (close == platform::Text::npos || close - p - 1 < 6 || !digits(line, p + 1, close - p - 1))
        return std::nullopt;
    for (std::size_t i = p + 1; i < close; ++i)
        out.id += static_cast<char>(line[i]);
    out.message = line.substr(close + 2);
    return out;
}

StderrCapture::StderrCapture() {
    char tmpl[] = "/tmp/orvix-stderr-XXXXXX";
    file_ = mkstemp(tmpl);
    unlink(tmpl);
    saved_ = dup(STDERR_FILENO);
    dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(file_);
}

std::string StderrCapture::text() {
    std::string out;
    char buf[4096];
    off_t off = 0;
    for (;;) {
        const ssize_t n = pread(file_, buf, sizeof buf, off);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        off += n;
    }
    return out;
}

pid_t spawn(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        alarm(60);
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    return pid;
}

int reap(pid_t pid, std::chrono::milliseconds limit) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0)
            return -1;
        if (steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return status;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

bool exited_ok(int status) {
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace logtest
