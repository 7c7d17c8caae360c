// Threads on std::thread with an end event, so that their end can be awaited with a time-out.
#include "platform/thread.h"

#include <mutex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace platform {

struct Thread::State {
    Event ended{Event::Reset::Manual};
    std::mutex join_lock; // one joiner at a time
    std::thread thread;
};

namespace {

// Runs on the new thread. `state` keeps the shared state alive for a detached thread.
void run(std::shared_ptr<Thread::State> state, std::function<void()> body) {
    try {
        body();
    } catch (...) {
        // Errors never leave a thread as exceptions; a body that throws simply ends.
    }
    state->ended.set();
}

} // namespace

Thread::Thread(std::function<void()> body) {
    if (!body)
        return;
    auto state = std::make_shared<State>();
    if (!state->ended.valid())
        return;
    try {
        state->thread = std::thread(run, state, std::move(body));
    } catch (...) {
        return; // the system could not start a thread: started() stays false
    }
    state_ = std::move(state);
}

Thread::~Thread() {
    if (!state_)
        return;
    if (state_->thread.get_id() == std::this_thread::get_id()) {
        // The thread is dropping its own handle: it cannot wait for itself.
        detach();
        return;
    }
    join(kInfinite);
}

Thread::Thread(Thread&& other) noexcept : state_(std::move(other.state_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Thread old(std::move(*this)); // ends the current thread, as the destructor does
        state_ = std::move(other.state_);
    }
    return *this;
}

bool Thread::running() const {
    return state_ && !state_->ended.wait(Milliseconds::zero());
}

bool Thread::join(Milliseconds timeout) {
    if (!state_)
        return true;
    if (state_->thread.get_id() == std::this_thread::get_id())
        return false; // a thread cannot outlive itself
    if (!state_->ended.wait(timeout))
        return false;
    // The body has returned; what is left of the thread ends at once.
    std::lock_guard<std::mutex> guard(state_->join_lock);
    if (state_->thread.joinable())
        state_->thread.join();
    return true;
}

void Thread::detach() {
    if (!state_)
        return;
    {
        std::lock_guard<std::mutex> guard(state_->join_lock);
        if (state_->thread.joinable())
            state_->thread.detach();
    }
    state_.reset();
}

std::uint32_t current_thread_id() {
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

} // namespace platform
