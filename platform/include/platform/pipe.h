#pragma once
// Named pipe ends: the server end (create an instance, accept a client) and the client end (wait
// for a free instance and connect), byte reads and writes with time-outs, a zero-byte peek, and
// the reading of frame lengths, synchronously or asynchronously with an event that is signalled
// when the length has arrived.
//
// Names. A pipe name is "\\.\pipe\NAME" (the prefix without regard to ASCII case). NAME is a
// Unix stream socket file in the pipe folder: the environment variable ORVIX_PIPE_DIR when set,
// otherwise /tmp/orvix-pipes-<uid> (created with mode 0700 and refused when another user owns
// it). NAME is taken in ASCII lower case, as pipe names do not distinguish case; it must not be
// empty or contain '/', '\\' or NUL, and the socket path must fit a socket address
// (ERROR_INVALID_NAME otherwise). Beside the socket lies NAME.lock: the serving process holds
// an exclusive lock on it for the life of the pipe and keeps the server's settings in it
// ("<default wait in ms> <instance limit>\n"), which is how a client learns the default wait.
//
// Instances. Every server end is one instance of its name; the instances of one name live in
// one process (another process that tries to serve a name already served gets
// ERROR_ACCESS_DENIED). The name exists while at least one instance exists: the socket is
// created with the first instance and removed with the last. A server that wants to serve the
// next client after the present one left creates the next instance before it closes the old.
//
// Handshake (before the first frame). The client connects to the socket and waits, at most its
// wait time, until an instance accepts it; the accepting instance sends the single byte 0x01
// ("taken"). A client that is not taken within its wait gives up with ERROR_SEM_TIMEOUT
// (0x80070079 as HRESULT): every instance is busy. After that byte the stream carries exactly
// the frames written by the two ends, nothing else: a frame is a 4-byte length N, least
// significant byte first, followed by N bytes.
//
// Asynchronous length reads wait in a kernel readiness poll that signals the event directly;
// where the system has none (or ORVIX_PIPE_THREADED is set), the end's own thread waits instead.
//
// Errors are system error codes (result.h); 0 is success.
//   ERROR_FILE_NOT_FOUND     no pipe of that name (no socket, or nobody serves it)
//   ERROR_SEM_TIMEOUT        the pipe exists but no instance took the client within the wait
//   ERROR_PIPE_BUSY          create: the instance limit of the name is reached; connect: the
//                            system's queue of waiting clients is full
//   ERROR_BAD_PIPE           connect: the socket answered with something else than the handshake
//   ERROR_ACCESS_DENIED      create: another process serves the name; or the pipe folder
//   ERROR_INVALID_NAME       not a pipe name, or too long for this system
//   ERROR_BROKEN_PIPE        read or peek: the peer has closed its end
//   ERROR_NO_DATA            write: the peer has closed its end
//   ERROR_PIPE_CONNECTED     accept: this instance has a client already
//   WAIT_TIMEOUT             a read, write or accept did not finish within its time-out
//   ERROR_OPERATION_ABORTED  cancel() ended the wait
//   ERROR_IO_PENDING         an asynchronous operation was started and is running
//   ERROR_IO_INCOMPLETE      its result was asked for while it still runs
//   ERROR_BUSY               a synchronous read while an asynchronous one is running
//   ERROR_INVALID_HANDLE     the end is closed
#include "platform/result.h"
#include "platform/sync.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace platform {

inline constexpr std::uint32_t ERROR_BUSY = 170;

// A client's wait of "the server's default time-out" (NMPWAIT_USE_DEFAULT_WAIT).
inline constexpr Milliseconds kPipeUseDefaultWait{0};

// The pipe folder (see above); not created by this call.
std::filesystem::path pipe_directory();

// The socket path of a pipe name, or std::nullopt (and ERROR_INVALID_NAME in `error`).
std::optional<std::filesystem::path> pipe_socket_path(TextView pipe_name,
                                                      std::uint32_t* error = nullptr);

struct PipeServerSettings {
    unsigned max_instances = 255;     // instances of the name at most, 1..255
    Milliseconds default_timeout{50}; // a client's wait when it asks for the default
};

class PipeEnd {
  public:
    PipeEnd();
    // Closes the end (see close()).
    ~PipeEnd();
    PipeEnd(PipeEnd&& other) noexcept;
    PipeEnd& operator=(PipeEnd&& other) noexcept;
    PipeEnd(const PipeEnd&) = delete;
    PipeEnd& operator=(const PipeEnd&) = delete;

    // ---- Server end -----------------------------------------------------------------------
    // Creates one instance of `name`. The settings of the first instance hold for the name.
    static std::uint32_t create_server(TextView name, const PipeServerSettings& settings,
                                       PipeEnd& out);

    // Waits at most `timeout` for a client and takes it (sends the handshake byte). A client that
    // gave up waiting before it was taken is skipped.
    std::uint32_t accept(Milliseconds timeout);

    // Starts taking a client on the end's own thread: ERROR_IO_PENDING, and `done` is signalled
    // when a client has been taken or the wait failed (async_result() tells which); 0 when a
    // client was waiting and is taken at once (`done` is signalled as well); another code when
    // nothing could be started. `done` must outlive the operation: it is signalled by the end's
    // thread until the operation finished or cancel_async()/close() returned.
    std::uint32_t start_accept(Event& done);

    // Drops the client of this instance; the instance can accept the next one.
    void disconnect();

    bool is_server() const;
    // True when a server end has a client (a client end: when open).
    bool is_connected() const;

    // ---- Client end -----------------------------------------------------------------------
    // Waits for an instance of `name` to take this client, at most `wait` (kPipeUseDefaultWait:
    // the server's default time-out), and opens the client end.
    static std::uint32_t connect(TextView name, Milliseconds wait, PipeEnd& out);

    // ---- Both ends ------------------------------------------------------------------------
    bool is_open() const;
    // Ends every operation of this end: an asynchronous operation is stopped as by cancel_async(),
    // the end's thread is joined, the socket is closed (a server end that was the last instance
    // of its name removes the name). Must not run while another thread is inside a synchronous
    // operation of this end (use cancel() first).
    void close();

    // Reads exactly `size` bytes within `timeout` (kInfinite: no limit). `transferred` gets the
    // bytes read, also on failure. `waited` (when given) tells whether the data was not all there
    // at once.
    std::uint32_t read_exact(void* buffer, std::size_t size, Milliseconds timeout,
                             std::size_t* transferred = nullptr, bool* waited = nullptr);
    // Writes all `size` bytes within `timeout`.
    std::uint32_t write_all(const void* data, std::size_t size, Milliseconds timeout);
    // Writes one frame: the 4-byte length of `size`, then the `size` bytes of `body`, in one
    // go as far as the socket takes them. `transferred` gets the bytes written (length
    // included), also on failure.
    std::uint32_t write_frame(const void* body, std::uint32_t size, Milliseconds timeout,
                              std::size_t* transferred = nullptr);
    // A zero-byte peek: 0 while the peer is connected (`available` tells whether data waits),
    // ERROR_BROKEN_PIPE when it has closed its end and nothing is left to read.
    std::uint32_t peek(bool* available = nullptr);

    // Reads the length of the next frame within `timeout`. Empty frames (length 0) carry
    // nothing: they are consumed and counted (empty_frames()) and the next length is read.
    std::uint32_t read_frame_length(std::uint32_t& length, Milliseconds timeout);

    // Starts reading the length of the next frame (empty frames skipped as above) and signals
    // `done` when it has arrived or the read failed. Returns 0 when the length had been received
    // ahead (`done` is signalled as well, the length is in async_result()), ERROR_IO_PENDING when
    // it completes later (a failure found at once is reported this way too, through `done` and
    // async_result()), another code when nothing could be started. `done` must stay valid until
    // the read finished or was stopped.
    std::uint32_t start_frame_length_read(Event& done);

    // The result of the last asynchronous operation: ERROR_IO_INCOMPLETE while it runs; 0 with
    // the frame length (a length read) or 0 (an accept) when it succeeded; else its error.
    // `transferred` gets the bytes of the length that arrived (0..4). It does not wait, except
    // for a length that has begun to arrive when the event fired: the rest is waited for at most
    // `finish` (a peer writes the 4 bytes at once; only a peer that splits them makes a
    // difference), after which the read stays pending and signals again.
    std::uint32_t async_result(std::uint32_t* length = nullptr, std::size_t* transferred = nullptr,
                               Milliseconds finish = Milliseconds(0));
    bool async_pending() const;

    // Stops a running asynchronous operation; on return the end no longer refers to its event
    // (the stopping itself may signal it once, as a cancelled overlapped read does, which is safe
    // even when the event is destroyed right after). Its result becomes ERROR_OPERATION_ABORTED.
    void cancel_async();

    // From any thread: ends the waits of this end, those running now and any later one, with
    // ERROR_OPERATION_ABORTED (an asynchronous operation completes with that code and signals
    // its event). Afterwards only close() is left to do with the end.
    void cancel();

    // Number of empty frames the length reads of this end have skipped.
    std::uint64_t empty_frames() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
