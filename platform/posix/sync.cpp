// Events on eventfd, waits with poll(), the millisecond tick and the named system-wide mutex
// as a robust process-shared pthread mutex in shared memory.
#include "platform/sync.h"

#include "event_impl.h"
#include "platform/text.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

// ---- Tick -------------------------------------------------------------------------------------

std::uint32_t tick_count() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

// ---- Deadline ---------------------------------------------------------------------------------

namespace posix {

Deadline::Deadline(Milliseconds timeout) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (timeout < Milliseconds::zero())
        timeout = Milliseconds::zero();
    // Anything that would overflow the clock's representation is as good as no limit.
    const auto room = duration_cast<Milliseconds>(steady_clock::time_point::max() - now);
    if (timeout == kInfinite || timeout >= room) {
        infinite_ = true;
        return;
    }
    when_ = now + timeout;
}

bool Deadline::expired() const {
    return !infinite_ && std::chrono::steady_clock::now() >= when_;
}

int Deadline::poll_timeout() const {
    using namespace std::chrono;
    if (infinite_)
        return -1;
    const auto left = when_ - steady_clock::now();
    if (left <= steady_clock::duration::zero())
        return 0;
    // Round up so a poll never returns just before the deadline and spins.
    const auto ms = duration_cast<Milliseconds>(left + Milliseconds(1) - nanoseconds(1)).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // namespace posix

// ---- Event ------------------------------------------------------------------------------------

namespace {

// Reads the counter to zero. True when it was non-zero.
bool drain(int fd) {
    for (;;) {
        eventfd_t value = 0;
        if (eventfd_read(fd, &value) == 0)
            return true;
        if (errno == EINTR)
            continue;
        return false; // EAGAIN: not set
    }
}

bool readable_now(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 && (p.revents & POLLIN) != 0;
    }
}

} // namespace

Event::Event(Reset reset, bool initially_set) : reset_(reset), impl_(std::make_unique<Impl>()) {
    impl_->fd = eventfd(initially_set ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Event::~Event() {
    if (impl_ && impl_->fd >= 0)
        close(impl_->fd);
}

bool Event::valid() const {
    return impl_ && impl_->fd >= 0;
}

void Event::set() {
    if (!valid())
        return;
    for (;;) {
        if (eventfd_write(impl_->fd, 1) == 0 || errno != EINTR)
            return; // EAGAIN only when the counter is at its limit: it is set anyway
    }
}

void Event::reset() {
    if (valid())
        drain(impl_->fd);
}

bool Event::wait(Milliseconds timeout) {
    Event* const self = this;
    return wait_any(std::span<Event* const>(&self, 1), timeout).has_value();
}

namespace posix {

int event_fd(Event& event) {
    return event.impl().fd;
}

bool try_consume(Event& event) {
    const int fd = event.impl().fd;
    if (fd < 0)
        return false;
    return event.is_manual() ? readable_now(fd) : drain(fd);
}

bool is_set(Event& event) {
    const int fd = event.impl().fd;
    return fd >= 0 && readable_now(fd);
}

} // namespace posix

std::optional<std::size_t> wait_any(std::span<Event* const> events, Milliseconds timeout) {
    const posix::Deadline deadline(timeout);
    pollfd small[8];
    std::vector<pollfd> large;
    pollfd* fds = small;
    if (events.size() > std::size(small)) {
        large.resize(events.size());
        fds = large.data();
    }
    bool any_valid = false;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const int fd = events[i] && events[i]->valid() ? events[i]->impl().fd : -1;
        fds[i] = pollfd{fd, POLLIN, 0}; // poll() ignores negative descriptors
        any_valid = any_valid || fd >= 0;
    }
    if (!any_valid)
        return std::nullopt; // nothing could ever fire: do not sleep out the time-out
    for (;;) {
        const int n = poll(fds, static_cast<nfds_t>(events.size()), deadline.poll_timeout());
        if (n < 0 && errno != EINTR) {
            set_last_system_error(system_error_from_errno(errno));
            return std::nullopt;
        }
        if (n > 0) {
            for (std::size_t i = 0; i < events.size(); ++i) {
                if ((fds[i].revents & POLLIN) && posix::try_consume(*events[i]))
                    return i;
            }
            // Every auto-reset signal seen was taken by another waiter: keep waiting.
        }
        if (deadline.expired())
            return std::nullopt;
    }
}

// ---- SystemMutex ------------------------------------------------------------------------------

namespace {

// Lives at the start of the shared-memory object.
struct SharedMutexBlock {
    std::atomic<std::uint32_t> initialised; // kInitialised once the mutex is usable
    pthread_mutex_t mutex;
};
constexpr std::uint32_t kInitialised = 0x4f524d58; // "ORMX"

// Bytes outside [A-Za-z0-9._-] become %XX, which keeps distinct names distinct.
std::string sanitise(std::string_view raw) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : raw) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string shm_name_for(const std::u16string& name) {
    const char* env = std::getenv("ORVIX_SESSION");
    const std::string session = env && *env ? sanitise(env) : std::string("default");
    std::string full = "/orvix-" + session + "-" + sanitise(utf16_to_utf8(name));
    // A shared-memory name is one file name: keep it under NAME_MAX, distinct by a hash.
    constexpr std::size_t kLimit = 200;
    if (full.size() > kLimit) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "~%016llx",
                      static_cast<unsigned long long>(fnv1a(full)));
        full.resize(kLimit - std::strlen(suffix));
        full += suffix;
    }
    return full;
}

int init_mutex(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

} // namespace

struct SystemMutex::Impl {
    SharedMutexBlock* block = nullptr;
    // Acquisitions not yet released through this object. The mapping must outlive them: a
    // robust mutex that is held is linked into its owner thread's robust list through its own
    // memory.
    std::atomic<long> held{0};
};

SystemMutex::SystemMutex(const std::u16string& name) {
    const std::string shm_name = shm_name_for(name);
    // Owner-only: the mutex memory is trusted by every process that maps it.
    const int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        last_error_ = system_error_from_errno(errno);
        return;
    }
    // Whoever finds the block uninitialised initialises it under an exclusive lock on the object
    // itself. The lock is held only for the few calls below, and the kernel drops it when its
    // holder dies, so an initialiser that crashes halfway leaves the block to the next opener.
    int rc = 0;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        last_error_ = system_error_from_errno(errno);
        close(fd);
        return;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<std::size_t>(st.st_size) < sizeof(SharedMutexBlock))
        ok = ftruncate(fd, sizeof(SharedMutexBlock)) == 0;
    void* mem = MAP_FAILED;
    if (ok) {
        mem = mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ok = mem != MAP_FAILED;
    }
    int err = ok ? 0 : errno;
    SharedMutexBlock* block = ok ? static_cast<SharedMutexBlock*>(mem) : nullptr;
    if (ok && block->initialised.load(std::memory_order_acquire) != kInitialised) {
        err = init_mutex(&block->mutex);
        ok = err == 0;
        if (ok)
            block->initialised.store(kInitialised, std::memory_order_release);
    }
    flock(fd, LOCK_UN);
    close(fd); // the mapping stays valid
    if (!ok) {
        last_error_ = system_error_from_errno(err ? err : EINVAL);
        if (mem != MAP_FAILED)
            munmap(mem, sizeof(SharedMutexBlock));
        return;
    }
    impl_ = std::make_unique<Impl>();
    impl_->block = block;
}

SystemMutex::~SystemMutex() {
    // A mapping still holding an acquisition is kept (see Impl::held): unmapping it would leave
    // the owner's robust list pointing into nothing.
    if (impl_ && impl_->held.load() == 0)
        munmap(impl_->block, sizeof(SharedMutexBlock));
}

bool SystemMutex::valid() const {
    return impl_ != nullptr;
}

SystemMutex::WaitResult SystemMutex::wait(Milliseconds timeout) {
    if (!impl_) {
        set_last_system_error(ERROR_INVALID_HANDLE);
        return WaitResult::Failed;
    }
    pthread_mutex_t* m = &impl_->block->mutex;
    const posix::Deadline deadline(timeout);
    int rc;
    if (deadline.infinite()) {
        rc = pthread_mutex_lock(m);
    } else if (timeout <= Milliseconds::zero()) {
        rc = pthread_mutex_trylock(m);
        if (rc == EBUSY)
            rc = ETIMEDOUT;
    } else {
        // The monotonic clock: a change of the wall clock neither stretches nor cuts the wait.
        const auto since = deadline.when().time_since_epoch();
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
        timespec abs{};
        abs.tv_sec = static_cast<time_t>(secs.count());
        abs.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
        do {
            rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &abs);
        } while (rc == EINTR);
    }
    switch (rc) {
    case 0:
        impl_->held.fetch_add(1);
        return WaitResult::Acquired;
    case EOWNERDEAD:
        // The previous owner died holding it. We own it now; mark it usable again.
        pthread_mutex_consistent(m);
        impl_->held.fetch_add(1);
        return WaitResult::Abandoned;
    case ETIMEDOUT:
        set_last_system_error(WAIT_TIMEOUT);
        return WaitResult::Timeout;
    default:
        set_last_system_error(rc == ENOTRECOVERABLE ? ERROR_INVALID_HANDLE
                                                    : system_error_from_errno(rc));
        return WaitResult::Failed;
    }
}

bool SystemMutex::release() {
    if (!impl_) {
        set_last_system_error(ERROR_INVALID_HANDLE);
        return false;
    }
    const int rc = pthread_mutex_unlock(&impl_->block->mutex);
    if (rc != 0) {
        set_last_system_error(rc == EPERM ? ERROR_NOT_OWNER : system_error_from_errno(rc));
        return false;
    }
    impl_->held.fetch_sub(1);
    return true;
}

} // namespace platform
