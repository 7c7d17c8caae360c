// Named pipe ends on Unix stream sockets (see platform/pipe.h for the mapping and handshake).
//
// Every end keeps its socket non-blocking and waits with poll(), together with its cancel
// descriptor, so that each wait has a limit and cancel() can end it. Asynchronous operations
// (taking a client, reading a frame length) are first tried at once on the caller's thread. A
// length read that would block becomes a kernel readiness poll that signals the caller's event
// directly; the rest is completed when the result is collected. Taking a client that is not
// there yet (and length reads where the system has no such poll) is handed to the end's own
// thread, which waits on the socket and its control descriptor and signals the caller's event.
#include "platform/pipe.h"

#include "event_impl.h"
#include "pipe_listener.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <linux/aio_abi.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void drain_eventfd(int fd) {
    eventfd_t value = 0;
    while (eventfd_read(fd, &value) != 0 && errno == EINTR) {
    }
}

void signal_eventfd(int fd) {
    while (eventfd_write(fd, 1) != 0 && errno == EINTR) {
    }
}

std::uint32_t read_error(int err) {
    switch (err) {
    case ECONNRESET:
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EBADF:
    case ENOTSOCK:
        return ERROR_INVALID_HANDLE;
    default:
        return system_error_from_errno(err);
    }
}

std::uint32_t write_error(int err) {
    switch (err) {
    case ECONNRESET:
    case EPIPE:
        return ERROR_NO_DATA;
    case EBADF:
    case ENOTSOCK:
        return ERROR_INVALID_HANDLE;
    default:
        return system_error_from_errno(err);
    }
}

std::uint32_t le32(const unsigned char* b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// What a wait on a socket together with the end's other descriptors ended with.
enum class Wake { Ready, Timeout, Cancelled, Control, Failed };

// Waits until `fd` has `events`, the cancel descriptor is set, the control descriptor (when
// given) is set, or the deadline passes.
Wake wait_socket(int fd, short events, int cancel_fd, int control_fd,
                 const posix::Deadline& deadline) {
    pollfd fds[3] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}, {control_fd, POLLIN, 0}};
    const nfds_t count = control_fd >= 0 ? 3 : 2;
    for (;;) {
        const int n = ::poll(fds, count, deadline.poll_timeout());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Wake::Failed;
        }
        if (n > 0) {
            if (fds[1].revents & POLLIN)
                return Wake::Cancelled;
            if (count == 3 && (fds[2].revents & POLLIN))
                return Wake::Control;
            if (fds[0].revents != 0)
                return Wake::Ready; // readiness, hang-up and errors all end in the next call
        }
        if (deadline.expired())
            return Wake::Timeout;
    }
}

std::uint32_t wake_error(Wake wake) {
    switch (wake) {
    case Wake::Timeout:
        return WAIT_TIMEOUT;
    case Wake::Cancelled:
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

// Native AIO contexts are cheap to use but slow to destroy (the kernel waits for a grace period),
// so the contexts of closed ends are kept for the next ones.
std::mutex g_aio_pool_lock;
std::vector<aio_context_t>& aio_pool() {
    static std::vector<aio_context_t> pool;
    return pool;
}
// A context goes back only when no request of it is in flight or unreaped (drop_aio), so the
// next end finds it empty.
constexpr std::size_t kAioPoolLimit = 64;

bool take_aio_context(aio_context_t& out) {
    {
        std::lock_guard<std::mutex> guard(g_aio_pool_lock);
        if (!aio_pool().empty()) {
            out = aio_pool().back();
            aio_pool().pop_back();
            return true;
        }
    }
    out = 0;
    if (::syscall(SYS_io_setup, 1, &out) == 0)
        return true;
    out = 0;
    return false;
}

// `context` has no request in flight.
void give_back_aio_context(aio_context_t context) {
    {
        std::lock_guard<std::mutex> guard(g_aio_pool_lock);
        if (aio_pool().size() < kAioPoolLimit) {
            aio_pool().push_back(context);
            return;
        }
    }
    ::syscall(SYS_io_destroy, context);
}

struct PipeEnd::Impl {
    enum class Op { None, Length, Accept };

    static constexpr std::size_t kBufferSize = 64 * 1024;

    int fd = -1;        // the connected socket
    int cancel_fd = -1; // eventfd: set by cancel(), stays set, wakes every poll of the end
    std::atomic<bool> cancel_flag{false};
    bool server = false;
    std::shared_ptr<posix::PipeListener> listener;
    std::atomic<std::uint64_t> empty_frames{0};

    // Asynchronous state, guarded by `lock`. The operation's own data (length bytes, the socket
    // during an accept) belongs to whoever runs it: the caller until it is handed over, then the
    // end's thread.
    std::mutex lock;
    std::condition_variable idle; // the thread acknowledges an abandoned operation
    int control_fd = -1;          // eventfd waking the end's thread
    std::thread thread;
    bool stopping = false;
    bool abandon = false;
    bool pending = false;
    Op op = Op::None;
    Event* done = nullptr;
    std::uint32_t result = ERROR_SUCCESS;
    unsigned char length_bytes[4] = {};
    std::size_t length_got = 0;
    std::uint32_t length = 0;

    // A length read that would block is armed as a kernel readiness poll (native AIO) that
    // signals the caller's event itself, so the waiting thread is woken without a thread of ours
    // in between. Where the system offers no such poll, the end's thread does the waiting.
    aio_context_t aio = 0;
    bool aio_unavailable = std::getenv("ORVIX_PIPE_THREADED") != nullptr;
    bool via_aio = false;   // the pending operation is such a poll
    bool aio_armed = false; // a poll is submitted and its completion not yet taken
    iocb aio_cb{};

    // Bytes received ahead of their reader: many small frames cost one receive call. Owned like
    // the operation data: by the end's thread while an operation runs there, else by the caller.
    std::unique_ptr<unsigned char[]> buffer;
    std::size_t buffer_pos = 0;
    std::size_t buffer_end = 0;

    ~Impl() { shut(); }

    // Stops the thread and closes everything.
    void shut() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
            if (control_fd >= 0)
                signal_eventfd(control_fd);
        }
        if (thread.joinable())
            thread.join();
        drop_aio();
        pending = false;
        done = nullptr;
        op = Op::None;
        stopping = false;
        close_fd(control_fd);
        close_fd(fd);
        close_fd(cancel_fd);
        cancel_flag = false;
        buffer_pos = buffer_end = 0;
        if (listener)
            posix::PipeListener::remove_instance(listener);
        server = false;
    }

    bool cancelled() const { return cancel_flag.load(std::memory_order_acquire); }

    std::size_t buffered() const { return buffer_end - buffer_pos; }

    // Receives what the socket has into the buffer without blocking: 0 when bytes came,
    // ERROR_IO_PENDING when there were none, ERROR_BROKEN_PIPE at the end of the stream.
    std::uint32_t fill() {
        if (!buffer)
            buffer = std::make_unique<unsigned char[]>(kBufferSize);
        if (buffer_pos == buffer_end) {
            buffer_pos = buffer_end = 0;
        } else if (buffer_end == kBufferSize) {
            std::memmove(buffer.get(), buffer.get() + buffer_pos, buffered());
            buffer_end -= buffer_pos;
            buffer_pos = 0;
        }
        for (;;) {
            const ssize_t n =
                ::recv(fd, buffer.get() + buffer_end, kBufferSize - buffer_end, MSG_DONTWAIT);
            if (n > 0) {
                buffer_end += static_cast<std::size_t>(n);
                return ERROR_SUCCESS;
            }
            if (n == 0)
                return ERROR_BROKEN_PIPE;
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return ERROR_IO_PENDING;
            return read_error(errno);
        }
    }

    // One step of a length read: takes what is there without blocking. Returns true when the
    // read ended (with `code`), false when it must wait for more data.
    bool length_step(std::uint32_t& code) {
        for (;;) {
            while (length_got < 4 && buffer_pos < buffer_end)
                length_bytes[length_got++] = buffer[buffer_pos++];
            if (length_got == 4) {
                length = le32(length_bytes);
                if (length != 0) {
                    code = ERROR_SUCCESS;
                    return true;
                }
                // An empty frame carries nothing: skip it and read the next length.
                ++empty_frames;
                length_got = 0;
                continue;
            }
            const std::uint32_t filled = fill();
            if (filled == ERROR_IO_PENDING)
                return false;
            if (filled != ERROR_SUCCESS) {
                code = filled;
                return true;
            }
        }
    }

    // One step of taking a client: accepts what waits without blocking and sends the handshake
    // byte. Clients that gave up waiting are skipped. Returns true when done.
    bool accept_step(std::uint32_t& code) {
        for (;;) {
            const int client =
                ::accept4(listener->fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return false;
                code = system_error_from_errno(errno);
                return true;
            }
            const unsigned char taken = posix::kPipeTakenByte;
            ssize_t sent;
            do {
                sent = ::send(client, &taken, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (sent < 0 && errno == EINTR);
            if (sent != 1) {
                ::close(client); // it left before we took it
                continue;
            }
            fd = client;
            code = ERROR_SUCCESS;
            return true;
        }
    }

    bool step(Op which, std::uint32_t& code) {
        return which == Op::Length ? length_step(code) : accept_step(code);
    }

    int wait_fd(Op which) const { return which == Op::Length ? fd : listener->fd(); }

    // Submits the readiness poll for a length read. False when the system cannot.
    bool arm_poll(Event& event) {
        if (aio_unavailable)
            return false;
        if (aio == 0 && !take_aio_context(aio)) {
            aio_unavailable = true;
            return false;
        }
        aio_cb = iocb{};
        aio_cb.aio_lio_opcode = IOCB_CMD_POLL;
        aio_cb.aio_fildes = static_cast<std::uint32_t>(fd);
        aio_cb.aio_buf = POLLIN;
        aio_cb.aio_flags = IOCB_FLAG_RESFD;
        aio_cb.aio_resfd = static_cast<std::uint32_t>(posix::event_fd(event));
        iocb* list[1] = {&aio_cb};
        if (::syscall(SYS_io_submit, aio, 1, list) != 1) {
            drop_aio();
            aio_unavailable = true;
            return false;
        }
        aio_armed = true;
        return true;
    }

    // True when the readiness poll has fired (its completion is taken).
    bool reap_poll() {
        io_event event{};
        timespec zero{};
        if (::syscall(SYS_io_getevents, aio, 1, 1, &event, &zero) != 1)
            return false;
        aio_armed = false;
        return true;
    }

    // Ends the readiness poll, if any. The kernel's cancellation signals the event once (as a
    // cancelled overlapped read does); the kernel holds its own reference to it.
    void drop_aio() {
        if (aio != 0 && aio_armed) {
            io_event event{};
            ::syscall(SYS_io_cancel, aio, &aio_cb, &event);
            timespec limit{1, 0};
            if (::syscall(SYS_io_getevents, aio, 1, 1, &event, &limit) != 1) {
                ::syscall(SYS_io_destroy, aio); // waits for the request itself
                aio = 0;
            }
        }
        if (aio != 0)
            give_back_aio_context(aio);
        aio = 0;
        aio_armed = false;
        via_aio = false;
    }

    std::uint32_t start(Op which, Event& event) {
        if (!event.valid())
            return ERROR_INVALID_HANDLE;
        std::unique_lock<std::mutex> guard(lock);
        if (pending)
            return ERROR_BUSY;
        if (which == Op::Length)
            length_got = 0;
        op = which;
        std::uint32_t code = ERROR_SUCCESS;
        if (cancelled()) {
            result = ERROR_OPERATION_ABORTED;
            event.set();
            return ERROR_IO_PENDING;
        }
        // With nothing received ahead, a length read goes straight to the readiness poll, which
        // fires at once when data is already waiting.
        const bool poll_first = which == Op::Length && buffered() == 0 && !aio_unavailable;
        if (!poll_first && step(which, code)) {
            result = code;
            event.set();
            // Like an overlapped call that finished at once: success is reported directly,
            // a failure through the result.
            return code == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_IO_PENDING;
        }
        if (which == Op::Length && arm_poll(event)) {
            pending = true;
            via_aio = true;
            done = &event;
            result = ERROR_IO_INCOMPLETE;
            return ERROR_IO_PENDING;
        }
        if (control_fd < 0) {
            control_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (control_fd < 0)
                return system_error_from_errno(errno);
        }
        if (!thread.joinable()) {
            try {
                thread = std::thread([this] { run(); });
            } catch (...) {
                return ERROR_NO_SYSTEM_RESOURCES;
            }
        }
        pending = true;
        done = &event;
        result = ERROR_IO_INCOMPLETE;
        signal_eventfd(control_fd);
        return ERROR_IO_PENDING;
    }

    // The end's thread: runs the operations handed to it.
    void run() {
        const posix::Deadline forever(kInfinite);
        for (;;) {
            Op which;
            {
                std::unique_lock<std::mutex> guard(lock);
                if (stopping)
                    return;
                if (abandon) {
                    // Stopped from outside: forget the operation and its event.
                    abandon = false;
                    pending = false;
                    done = nullptr;
                    result = ERROR_OPERATION_ABORTED;
                    idle.notify_all();
                }
                // A length read armed as a readiness poll is the caller's to complete: taking it
                // here as well would let two readers split one frame between them.
                which = pending && !via_aio ? op : Op::None;
            }
            if (which == Op::None) {
                pollfd p{control_fd, POLLIN, 0};
                while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
                }
                drain_eventfd(control_fd);
                continue;
            }
            std::uint32_t code = ERROR_SUCCESS;
            bool finished = step(which, code);
            while (!finished) {
                const Wake wake =
                    wait_socket(wait_fd(which), POLLIN, cancel_fd, control_fd, forever);
                if (wake == Wake::Control) {
                    drain_eventfd(control_fd);
                    std::lock_guard<std::mutex> guard(lock);
                    if (stopping || abandon)
                        break;
                    continue;
                }
                if (wake != Wake::Ready) {
                    code = wake_error(wake);
                    finished = true;
                    break;
                }
                finished = step(which, code);
            }
            std::lock_guard<std::mutex> guard(lock);
            if (!finished || abandon || stopping)
                continue; // stopped from outside: the loop head acknowledges
            result = code;
            pending = false;
            // Signalled under the lock, so cancel_async() never returns while we still use it.
            if (done)
                done->set();
            done = nullptr;
        }
    }

    // Completes a pending readiness poll: ERROR_IO_INCOMPLETE while the socket has nothing,
    // else the length read's result. A length that has begun to arrive is waited for at most
    // `finish`; when that is not enough, the poll is armed again and the read stays pending.
    std::uint32_t collect_poll(Milliseconds finish) {
        if (!reap_poll()) {
            if (!cancelled())
                return ERROR_IO_INCOMPLETE;
            drop_aio();
            pending = false;
            done = nullptr;
            result = ERROR_OPERATION_ABORTED;
            return result;
        }
        std::uint32_t code = ERROR_SUCCESS;
        bool finished = length_step(code);
        const posix::Deadline deadline(finish);
        while (!finished && !deadline.expired()) {
            const Wake wake = wait_socket(fd, POLLIN, cancel_fd, -1, deadline);
            if (wake != Wake::Ready && wake != Wake::Timeout) {
                code = wake_error(wake);
                finished = true;
                break;
            }
            finished = length_step(code);
        }
        if (!finished) {
            if (finish == Milliseconds(0) && done && arm_poll(*done))
                return ERROR_IO_INCOMPLETE;
            code = finish == Milliseconds(0) ? ERROR_GEN_FAILURE : WAIT_TIMEOUT;
        }
        via_aio = false;
        pending = false;
        done = nullptr;
        result = code;
        return code;
    }

    void cancel_async() {
        std::unique_lock<std::mutex> guard(lock);
        if (!pending)
            return;
        if (via_aio) {
            drop_aio();
            pending = false;
            done = nullptr;
            result = ERROR_OPERATION_ABORTED;
            return;
        }
        abandon = true;
        signal_eventfd(control_fd);
        idle.wait(guard, [this] { return !abandon; });
    }
};

PipeEnd::PipeEnd() : impl_(std::make_unique<Impl>()) {}
PipeEnd::~PipeEnd() = default;
PipeEnd::PipeEnd(PipeEnd&& other) noexcept : impl_(std::move(other.impl_)) {
    other.impl_ = std::make_unique<Impl>();
}
PipeEnd& PipeEnd::operator=(PipeEnd&& other) noexcept {
    if (this != &other) {
        impl_ = std::move(other.impl_);
        other.impl_ = std::make_unique<Impl>();
    }
    return *this;
}

// ---- Server end -------------------------------------------------------------------------------

std::uint32_t PipeEnd::create_server(TextView name, const PipeServerSettings& settings,
                                     PipeEnd& out) {
    out.close();
    Impl& impl = *out.impl_;
    impl.cancel_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl.cancel_fd < 0)
        return system_error_from_errno(errno);
    const std::uint32_t error = posix::PipeListener::add_instance(name, settings, impl.listener);
    if (error != ERROR_SUCCESS) {
        out.close();
        return error;
    }
    impl.server = true;
    return ERROR_SUCCESS;
}

std::uint32_t PipeEnd::accept(Milliseconds timeout) {
    Impl& impl = *impl_;
    if (!impl.server || !impl.listener)
        return ERROR_INVALID_HANDLE;
    if (impl.fd >= 0)
        return ERROR_PIPE_CONNECTED;
    if (async_pending())
        return ERROR_BUSY;
    const posix::Deadline deadline(timeout);
    for (;;) {
        if (impl.cancelled())
            return ERROR_OPERATION_ABORTED;
        std::uint32_t code = ERROR_SUCCESS;
        if (impl.accept_step(code))
            return code;
        const Wake wake = wait_socket(impl.listener->fd(), POLLIN, impl.cancel_fd, -1, deadline);
        if (wake != Wake::Ready)
            return wake_error(wake);
    }
}

std::uint32_t PipeEnd::start_accept(Event& done) {
    Impl& impl = *impl_;
    if (!impl.server || !impl.listener)
        return ERROR_INVALID_HANDLE;
    if (impl.fd >= 0)
        return ERROR_PIPE_CONNECTED;
    return impl.start(Impl::Op::Accept, done);
}

void PipeEnd::disconnect() {
    if (impl_->server) {
        impl_->cancel_async();
        close_fd(impl_->fd);
    }
}

bool PipeEnd::is_server() const {
    return impl_->server;
}

bool PipeEnd::is_connected() const {
    return impl_->fd >= 0;
}

// ---- Client end -------------------------------------------------------------------------------

std::uint32_t PipeEnd::connect(TextView name, Milliseconds wait, PipeEnd& out) {
    out.close();
    std::uint32_t error = ERROR_SUCCESS;
    const auto path = pipe_socket_path(name, &error);
    if (!path)
        return error;
    if (wait == kPipeUseDefaultWait)
        wait = posix::announced_default_wait(*path);
    const posix::Deadline deadline(wait);

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return system_error_from_errno(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path->c_str(), path->native().size() + 1);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        switch (err) {
        case ENOENT:
        case ECONNREFUSED:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND; // no socket, or nobody serves it
        case EAGAIN:
            return ERROR_PIPE_BUSY; // the queue of waiting clients is full
        default:
            return system_error_from_errno(err);
        }
    }

    // Wait to be taken by an instance.
    std::uint32_t outcome = ERROR_IO_PENDING;
    while (outcome == ERROR_IO_PENDING) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, deadline.poll_timeout());
        if (n < 0) {
            if (errno != EINTR)
                outcome = system_error_from_errno(errno);
            continue;
        }
        if (n == 0) {
            if (deadline.expired())
                outcome = ERROR_SEM_TIMEOUT; // every instance stayed busy
            continue;
        }
        unsigned char byte = 0;
        const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got == 1)
            outcome = byte == posix::kPipeTakenByte ? ERROR_SUCCESS : ERROR_BAD_PIPE;
        else
            outcome = ERROR_FILE_NOT_FOUND; // the server closed its last instance meanwhile
    }
    if (outcome != ERROR_SUCCESS) {
        ::close(fd);
        return outcome;
    }
    Impl& impl = *out.impl_;
    impl.cancel_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl.cancel_fd < 0) {
        const int err = errno;
        ::close(fd);
        return system_error_from_errno(err);
    }
    impl.fd = fd;
    return ERROR_SUCCESS;
}

// ---- Both ends --------------------------------------------------------------------------------

bool PipeEnd::is_open() const {
    return impl_->fd >= 0 || impl_->listener != nullptr;
}

void PipeEnd::close() {
    impl_->shut();
}

std::uint32_t PipeEnd::read_exact(void* buffer, std::size_t size, Milliseconds timeout,
                                  std::size_t* transferred, bool* waited) {
    Impl& impl = *impl_;
    std::size_t done = 0;
    if (transferred)
        *transferred = 0;
    if (waited)
        *waited = false;
    if (impl.fd < 0)
        return ERROR_INVALID_HANDLE;
    if (async_pending())
        return ERROR_BUSY;
    const posix::Deadline deadline(timeout);
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t code = ERROR_SUCCESS;
    while (done < size) {
        if (impl.cancelled()) {
            code = ERROR_OPERATION_ABORTED;
            break;
        }
        if (impl.buffered() > 0) {
            const std::size_t take = std::min(impl.buffered(), size - done);
            std::memcpy(bytes + done, impl.buffer.get() + impl.buffer_pos, take);
            impl.buffer_pos += take;
            done += take;
            continue;
        }
        std::uint32_t got = ERROR_SUCCESS;
        if (size - done >= Impl::kBufferSize / 2) {
            // Large remainders go straight to the caller's memory.
            const ssize_t n = ::recv(impl.fd, bytes + done, size - done, MSG_DONTWAIT);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n == 0)
                got = ERROR_BROKEN_PIPE;
            else if (errno == EAGAIN || errno == EWOULDBLOCK)
                got = ERROR_IO_PENDING;
            else if (errno != EINTR)
                got = read_error(errno);
        } else {
            got = impl.fill();
        }
        if (got == ERROR_SUCCESS)
            continue;
        if (got != ERROR_IO_PENDING) {
            code = got;
            break;
        }
        if (waited)
            *waited = true;
        const Wake wake = wait_socket(impl.fd, POLLIN, impl.cancel_fd, -1, deadline);
        if (wake != Wake::Ready) {
            code = wake_error(wake);
            break;
        }
    }
    if (transferred)
        *transferred = done;
    return code;
}

std::uint32_t PipeEnd::write_all(const void* data, std::size_t size, Milliseconds timeout) {
    Impl& impl = *impl_;
    if (impl.fd < 0)
        return ERROR_INVALID_HANDLE;
    const posix::Deadline deadline(timeout);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        if (impl.cancelled())
            return ERROR_OPERATION_ABORTED;
        const ssize_t n = ::send(impl.fd, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return write_error(errno);
        const Wake wake = wait_socket(impl.fd, POLLOUT, impl.cancel_fd, -1, deadline);
        if (wake != Wake::Ready)
            return wake_error(wake);
    }
    return ERROR_SUCCESS;
}

std::uint32_t PipeEnd::write_frame(const void* body, std::uint32_t size, Milliseconds timeout,
                                   std::size_t* transferred) {
    Impl& impl = *impl_;
    if (transferred)
        *transferred = 0;
    if (impl.fd < 0)
        return ERROR_INVALID_HANDLE;
    const unsigned char length[4] = {
        static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
        static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    const posix::Deadline deadline(timeout);
    const std::size_t total = 4 + static_cast<std::size_t>(size);
    std::size_t done = 0;
    std::uint32_t code = ERROR_SUCCESS;
    while (done < total) {
        if (impl.cancelled()) {
            code = ERROR_OPERATION_ABORTED;
            break;
        }
        iovec parts[2];
        int count = 0;
        if (done < 4)
            parts[count++] = {const_cast<unsigned char*>(length) + done, 4 - done};
        const std::size_t body_done = done > 4 ? done - 4 : 0;
        if (body_done < size)
            parts[count++] = {const_cast<unsigned char*>(static_cast<const unsigned char*>(body)) +
                                  body_done,
                              size - body_done};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = ::sendmsg(impl.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            code = write_error(errno);
            break;
        }
        const Wake wake = wait_socket(impl.fd, POLLOUT, impl.cancel_fd, -1, deadline);
        if (wake != Wake::Ready) {
            code = wake_error(wake);
            break;
        }
    }
    if (transferred)
        *transferred = done;
    return code;
}

std::uint32_t PipeEnd::peek(bool* available) {
    Impl& impl = *impl_;
    if (available)
        *available = false;
    if (impl.fd < 0)
        return ERROR_INVALID_HANDLE;
    {
        // The buffer belongs to the end's thread while an operation runs there.
        std::lock_guard<std::mutex> guard(impl.lock);
        if (!impl.pending && impl.buffered() > 0) {
            if (available)
                *available = true;
            return ERROR_SUCCESS;
        }
    }
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::recv(impl.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            if (available)
                *available = true;
            return ERROR_SUCCESS;
        }
        if (n == 0)
            return ERROR_BROKEN_PIPE;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return ERROR_SUCCESS;
        return read_error(errno);
    }
}

std::uint32_t PipeEnd::read_frame_length(std::uint32_t& length, Milliseconds timeout) {
    Impl& impl = *impl_;
    length = 0;
    if (impl.fd < 0)
        return ERROR_INVALID_HANDLE;
    if (async_pending())
        return ERROR_BUSY;
    const posix::Deadline deadline(timeout);
    std::lock_guard<std::mutex> guard(impl.lock);
    impl.length_got = 0;
    for (;;) {
        if (impl.cancelled())
            return ERROR_OPERATION_ABORTED;
        std::uint32_t code = ERROR_SUCCESS;
        if (impl.length_step(code)) {
            if (code == ERROR_SUCCESS)
                length = impl.length;
            return code;
        }
        const Wake wake = wait_socket(impl.fd, POLLIN, impl.cancel_fd, -1, deadline);
        if (wake != Wake::Ready)
            return wake_error(wake);
    }
}

std::uint32_t PipeEnd::start_frame_length_read(Event& done) {
    if (impl_->fd < 0)
        return ERROR_INVALID_HANDLE;
    return impl_->start(Impl::Op::Length, done);
}

std::uint32_t PipeEnd::async_result(std::uint32_t* length, std::size_t* transferred,
                                    Milliseconds finish) {
    Impl& impl = *impl_;
    std::lock_guard<std::mutex> guard(impl.lock);
    if (length)
        *length = 0;
    if (transferred)
        *transferred = 0;
    if (impl.pending && impl.via_aio)
        impl.collect_poll(finish);
    if (impl.pending)
        return ERROR_IO_INCOMPLETE;
    if (impl.op == Impl::Op::Length) {
        if (transferred)
            *transferred = impl.length_got;
        if (length && impl.result == ERROR_SUCCESS)
            *length = impl.length;
    }
    return impl.result;
}

bool PipeEnd::async_pending() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->pending;
}

void PipeEnd::cancel_async() {
    impl_->cancel_async();
}

void PipeEnd::cancel() {
    Impl& impl = *impl_;
    impl.cancel_flag.store(true, std::memory_order_release);
    if (impl.cancel_fd >= 0)
        signal_eventfd(impl.cancel_fd);
    // A readiness poll does not see the cancel descriptor: wake its waiter, whose collection
    // then reports the abort.
    std::lock_guard<std::mutex> guard(impl.lock);
    if (impl.pending && impl.via_aio && impl.done)
        impl.done->set();
}

std::uint64_t PipeEnd::empty_frames() const {
    return impl_->empty_frames.load();
}

} // namespace platform
