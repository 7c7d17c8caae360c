#pragma once
// Internal to the POSIX pipe backend: pipe names and folders, and the listening socket that the
// server instances of one name share within the serving process.
#include "platform/pipe.h"

#include <filesystem>
#include <memory>
#include <string>

namespace platform::posix {

// The byte an instance sends when it takes a client (the handshake, see pipe.h).
inline constexpr unsigned char kPipeTakenByte = 0x01;

// The lock file beside a pipe socket.
std::filesystem::path pipe_lock_path(const std::filesystem::path& socket_path);

// Reads the default wait that the server of `socket_path` announced (50 ms when unknown).
Milliseconds announced_default_wait(const std::filesystem::path& socket_path);

// The listening socket of one pipe name. Created with the first instance and closed (socket
// and lock file removed) with the last one.
class PipeListener {
  public:
    ~PipeListener();
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    // Adds one instance of `name`: the existing listener of this process, or a new one.
    static std::uint32_t add_instance(TextView name, const PipeServerSettings& settings,
                                      std::shared_ptr<PipeListener>& out);
    // Removes one instance; the listener goes with the last reference.
    static void remove_instance(std::shared_ptr<PipeListener>& listener);

    int fd() const { return fd_; }

  private:
    PipeListener() = default;

    std::string key_;
    std::filesystem::path path_;
    std::filesystem::path lock_path_;
    int fd_ = -1;
    int lock_fd_ = -1;
    unsigned instances_ = 0; // guarded by the registry lock
    unsigned max_instances_ = 255;
};

} // namespace platform::posix
