#pragma once
// Threads whose end can be awaited with a time-out.
#include "platform/sync.h"

#include <functional>
#include <memory>

namespace platform {

class Thread {
  public:
    Thread() = default;
    // Starts `body` on a new thread. `started()` is false when the system could not start one.
    explicit Thread(std::function<void()> body);
    // Waits for the end without a limit: every thread we start ends before its owner goes.
    ~Thread();
    Thread(Thread&&) noexcept;
    Thread& operator=(Thread&&) noexcept;

    bool started() const { return state_ != nullptr; }
    bool running() const;
    // True when the thread has ended (or never started) within `timeout`.
    bool join(Milliseconds timeout);
    // Gives up on a thread that did not end in time; it keeps running on its own state.
    void detach();

    struct State;

  private:
    std::shared_ptr<State> state_;
};

std::uint32_t current_thread_id();

} // namespace platform
