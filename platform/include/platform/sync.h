#pragma once
// Events, waits on several events, locks, the millisecond tick and the named system-wide mutex.
#include "platform/result.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace platform {

using Milliseconds = std::chrono::milliseconds;
inline constexpr Milliseconds kInfinite = Milliseconds::max();

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
std::uint32_t tick_count();

// An event object with Windows semantics: an auto-reset event releases one waiter and resets
// itself; a manual-reset event stays signalled until reset.
class Event {
  public:
    enum class Reset { Auto, Manual };
    explicit Event(Reset reset, bool initially_set = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // True when the event was signalled within `timeout` (and, for an auto-reset event,
    // consumed by this waiter).
    bool wait(Milliseconds timeout);
    bool is_manual() const { return reset_ == Reset::Manual; }
    // False when the system could not create the event (out of descriptors); such an event is
    // never signalled and waits on it fail at once.
    bool valid() const;

    // Backend access (the POSIX backend exposes a pollable descriptor).
    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    Reset reset_;
    std::unique_ptr<Impl> impl_;
};

// Waits until one of `events` is signalled. Returns its index (the lowest signalled index wins,
// as WaitForMultipleObjects does) or std::nullopt on time-out. An auto-reset event that is
// reported is consumed.
std::optional<std::size_t> wait_any(std::span<Event* const> events, Milliseconds timeout);

// A lock for critical sections (recursive, like a critical section).
using Lock = std::recursive_mutex;
using LockGuard = std::lock_guard<std::recursive_mutex>;

// A named mutex shared by every process of the machine (of the same user session namespace,
// see below). Ownership is per thread and recursive. A process that dies while owning it leaves
// it "abandoned": the next waiter acquires it and is told so.
//
// The namespace can be separated by the environment variable ORVIX_SESSION (tests use it to
// run side by side).
class SystemMutex {
  public:
    enum class WaitResult { Acquired, Abandoned, Timeout, Failed };

    // Opens the mutex `name`, creating it when missing. `valid()` tells whether that worked;
    // `last_error()` gives the system error code otherwise.
    explicit SystemMutex(const std::u16string& name);
    ~SystemMutex();
    SystemMutex(const SystemMutex&) = delete;
    SystemMutex& operator=(const SystemMutex&) = delete;

    bool valid() const;
    std::uint32_t last_error() const { return last_error_; }

    // On Acquired and Abandoned the caller owns the mutex and must release it.
    WaitResult wait(Milliseconds timeout);
    bool release();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    std::uint32_t last_error_ = 0;
};

} // namespace platform
