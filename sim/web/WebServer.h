#pragma once
// The substitute provider servers: web API, update files and pages over HTTP and HTTPS.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace websim {

struct ServerConfig {
    std::string bind = "127.0.0.1";
    // Each listener runs when its port is set (0: a free port chosen by the system).
    std::optional<std::uint16_t> http_port;
    std::optional<std::uint16_t> https_port;
    std::optional<std::uint16_t> silent_port;
    bool expired_certificate = false;
    std::filesystem::path port_file;
    std::filesystem::path accounts_file;
    std::filesystem::path answers_file;
    std::filesystem::path files_dir;
};

// Runs until SIGINT or SIGTERM. Returns the process exit code.
int run_server(const ServerConfig& config);

// The answer for `operation` from the answers file (re-read on every call), unescaped.
std::optional<std::string> answer_from_file(const std::filesystem::path& file,
                                            const std::string& operation);
// "\r", "\n", "\t", "\\" and "\xHH" escapes.
std::string unescape(std::string_view text);

} // namespace websim
