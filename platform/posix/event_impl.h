#pragma once
// Internal to the POSIX backend: how an Event is built, for backends that wait on events
// together with their own descriptors (sockets) or signal events from their own threads.
//
// An Event is an eventfd (EFD_NONBLOCK | EFD_CLOEXEC). The event is signalled while the
// counter is non-zero, so the descriptor polls readable (POLLIN) exactly while the event is set.
//   - set():   writes 1 (several sets collapse into one signal: a read takes the whole counter).
//   - reset(): reads the counter to zero.
//   - a manual-reset event is never consumed by a wait; an auto-reset event is consumed by
//     the waiter whose read takes the counter (try_consume). A waiter that saw POLLIN but lost
//     the read to another waiter keeps waiting.
// Event::set() may be called from any thread, including a backend's own I/O thread.
//
// Waiting on events and sockets together:
//     pollfd fds[] = {{event_fd(ev), POLLIN, 0}, {sock, POLLIN, 0}};
//     Deadline deadline(timeout);
//     for (;;) {
//         int n = poll(fds, 2, deadline.poll_timeout());
//         if (n < 0 && errno == EINTR) continue;
//         if (n == 0 && deadline.expired()) -> time-out
//         if (fds[0].revents & POLLIN) && try_consume(ev) -> the event fired
//         ...
//     }
#include "platform/sync.h"

#include <chrono>
#include <cstdint>

namespace platform {

struct Event::Impl {
    int fd = -1; // the eventfd; -1 when the system could not create one
};

namespace posix {

// The pollable descriptor of `event` (-1 when the event could not be created). Owned by the
// event: never close it.
int event_fd(Event& event);

// Takes the signal of `event` without waiting. For an auto-reset event this reads the counter
// (true when this caller got the signal); for a manual-reset event it only tells whether the
// event is set (the signal stays).
bool try_consume(Event& event);

// True when `event` is set, without consuming it (either kind).
bool is_set(Event& event);

// A time-out turned into a deadline on the monotonic clock, for loops around poll() that must
// survive EINTR and spurious wake-ups without stretching the total wait. kInfinite (or any
// value too large to add to the clock) means no limit; a negative time-out counts as zero.
class Deadline {
  public:
    explicit Deadline(Milliseconds timeout);
    bool infinite() const { return infinite_; }
    bool expired() const;
    // The time left, rounded up to whole milliseconds, as poll() takes it: -1 without a limit,
    // 0 once expired, else at most INT_MAX.
    int poll_timeout() const;
    // The deadline as a CLOCK_MONOTONIC time point (meaningless when infinite()).
    std::chrono::steady_clock::time_point when() const { return when_; }

  private:
    bool infinite_ = false;
    std::chrono::steady_clock::time_point when_{};
};

} // namespace posix
} // namespace platform
