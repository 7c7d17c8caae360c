#pragma once
// Test support: a temporary folder tree and the substitute provider server on loopback.
#include "platform/fs.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace webtest {

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::filesystem::path& path, const std::string& data) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A folder under /tmp, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        char templ[] = "/tmp/orvix-web-XXXXXX";
        if (::mkdtemp(templ))
            path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Requests to loopback must not wander off to a proxy configured for the machine.
inline void clear_proxy_environment() {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);
}

// One orvix-websim process with HTTP, HTTPS and silent listeners on free loopback ports. Its
// account store, answers file and files folder live in a temporary folder. Stopped (killed and
// waited for) by the destructor.
class WebSim {
  public:
    explicit WebSim(bool expired_certificate = false) {
        clear_proxy_environment();
        platform::StartOptions options;
        options.program = ORVIX_WEBSIM;
        const auto ports = dir_ / "ports";
        options.arguments = {u"--http-port",   u"0",
                             u"--https-port",  u"0",
                             u"--silent-port", u"0",
                             u"--port-file",   platform::from_path(ports),
                             u"--accounts",    platform::from_path(accounts()),
                             u"--answers",     platform::from_path(answers()),
                             u"--files",       platform::from_path(files())};
        if (expired_certificate)
            options.arguments.push_back(u"--expired-cert");
        options.hidden = true;
        std::filesystem::create_directories(files());
        if (platform::start_process(options, &process_) != 0)
            return;
        for (int i = 0; i < 1000 && !std::filesystem::exists(ports); ++i) {
            if (process_.wait(std::chrono::milliseconds(10)))
                return; // the server ended: no ports
        }
        std::istringstream in(read_file(ports));
        std::string line;
        while (std::getline(in, line)) {
            const auto eq = line.find('=');
            if (eq != std::string::npos)
                ports_[line.substr(0, eq)] = std::stoi(line.substr(eq + 1));
        }
    }
    ~WebSim() {
        if (process_.valid()) {
            process_.terminate();
            process_.wait(std::chrono::seconds(10));
        }
    }
    WebSim(const WebSim&) = delete;
    WebSim& operator=(const WebSim&) = delete;

    bool running() const { return ports_.count("http") && ports_.count("https"); }
    int port(const std::string& kind) const {
        const auto it = ports_.find(kind);
        return it == ports_.end() ? 0 : it->second;
    }
    std::u16string http(const std::string& path = "/") const {
        return platform::to_text("http://127.0.0.1:" + std::to_string(port("http")) + path);
    }
    std::u16string https(const std::string& path = "/") const {
        return platform::to_text("https://127.0.0.1:" + std::to_string(port("https")) + path);
    }
    std::u16string silent(const std::string& path = "/") const {
        return platform::to_text("http://127.0.0.1:" + std::to_string(port("silent")) + path);
    }

    std::filesystem::path accounts() const { return dir_ / "accounts.json"; }
    std::filesystem::path answers() const { return dir_ / "answers.txt"; }
    std::filesystem::path files() const { return dir_ / "files"; }
    // Sets the fixed reply lines ("<operation> <reply>") of the answers file.
    void set_answers(const std::string& lines) const { write_file(answers(), lines); }

  private:
    TempDir dir_;
    platform::Process process_;
    std::map<std::string, int> ports_;
};

// A test suite sharing one server: started before the suite's first test, stopped after its
// last; every test starts with no fixed replies.
class WebSimSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sim_ = std::make_unique<WebSim>(); }
    static void TearDownTestSuite() { sim_.reset(); }
    void SetUp() override {
        ASSERT_TRUE(sim_->running());
        sim_->set_answers("");
    }

    static inline std::unique_ptr<WebSim> sim_;
};

// A loopback port with nobody listening on it: bound, then closed again.
int unused_port();

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace webtest
