#pragma once
// Message targets ("windows" without pixels): a target belongs to the thread that created it and
// receives its messages on that thread. Any thread may post (asynchronous) or send (synchronous,
// with a time-out) a message to it; the owner thread takes them out with get_message and hands
// them to the target with dispatch_message, or lets another event loop do that through
// set_message_wake_handler and process_pending_messages.
//
// As on Windows, messages queue per thread: get_message returns the posted messages of every
// target of the calling thread in order, then WM_QUIT once post_quit_message was called, then
// WM_TIMER for due timers. Messages sent from other threads are handed to their target inside
// get_message (and while the owner itself waits in send_message), never returned.
//
// A target with a title is top-level: find_window finds it by that title (compared without regard
// to ASCII case) from this process and from other processes of the same session, which can then
// post or send it messages (numbers only: a pointer means nothing in another process). The
// session's folder holds one Unix socket per titled target: ORVIX_WINDOW_DIR when set, else
// /tmp/orvix-windows-<uid>[-<ORVIX_SESSION>].
//
// Registered message ids (register_window_message) are the same for the same name in every
// process of the session: the session folder keeps a table of names and ids, ids from 0xC000 to
// 0xFFFF, derived from a hash of the name with the next free id taken on a collision.
#include "platform/sync.h"
#include "platform/text.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <utility>

namespace platform {

using WindowHandle = std::uintptr_t; // 0: no target

inline constexpr std::uint32_t WM_NULL = 0x0000;
inline constexpr std::uint32_t WM_DESTROY = 0x0002;
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_USER = 0x0400;
inline constexpr std::uint32_t WM_APP = 0x8000;

struct Message {
    WindowHandle target = 0;
    std::uint32_t id = 0;
    std::uintptr_t wparam = 0;
    std::intptr_t lparam = 0;
};

// The target's message handler; its result is what send_message returns.
using WindowProc =
    std::function<std::intptr_t(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t)>;

// Owns one target; destroying it (on any thread) removes the target with its queued messages and
// timers, fails pending sends to it, and, on the owner thread, first hands it WM_DESTROY.
class Window {
  public:
    Window() = default;
    ~Window() { destroy(); }
    Window(Window&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
    Window& operator=(Window&& other) noexcept {
        if (this != &other) {
            destroy();
            handle_ = std::exchange(other.handle_, 0);
        }
        return *this;
    }

    // Creates a target owned by the calling thread. With a non-empty title it is top-level (see
    // above). On failure the handle is 0 and last_system_error() tells why.
    static Window create(WindowProc proc, TextView title = {});

    WindowHandle handle() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }
    void destroy();

  private:
    WindowHandle handle_ = 0;
};

// True while `target` exists (a target of another process: while it can be reached).
bool is_window(WindowHandle target);
// The id of the thread owning `target` (current_thread_id numbering); 0 for none or remote.
std::uint32_t window_thread_id(WindowHandle target);

// Queues the message for the target's thread. False (last_system_error() ERROR_INVALID_WINDOW_
// HANDLE) when the target does not exist. Posting WM_QUIT makes the owner's get_message return
// GetMessageResult::Quit with the message's wparam as exit code.
bool post_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam = 0,
                  std::intptr_t lparam = 0);
// Hands the message to the target on its thread and waits for the result at most `timeout`
// (on the owner thread itself the handler is called directly). False with ERROR_TIMEOUT when
// the time ran out (the message is still handled later, its result dropped), or with
// ERROR_INVALID_WINDOW_HANDLE when the target does not exist or went away meanwhile.
bool send_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                  std::intptr_t lparam, Milliseconds timeout, std::intptr_t* result = nullptr);

// Asks the calling thread's message loop to end with `exit_code`.
void post_quit_message(int exit_code);

enum class GetMessageResult { Message, Quit, Timeout };
// Waits at most `timeout` for the next message of the calling thread.
GetMessageResult get_message(Message& out, Milliseconds timeout);
// get_message without waiting.
GetMessageResult peek_message(Message& out);
// Calls the target's handler (0 when the target is gone).
std::intptr_t dispatch_message(const Message& message);
// get_message / dispatch_message until WM_QUIT; returns the exit code.
int run_message_loop();
// Dispatches the calling thread's messages until `done()` is true (checked after each message
// and at the start) or `timeout` ran out. True when `done()` became true.
bool pump_messages_until(const std::function<bool()>& done, Milliseconds timeout);

// For a thread whose loop is another event loop: `handler` is called, on the thread that queued
// something, whenever the calling thread's queue gets a message or its timers change; the loop
// then calls process_pending_messages() on its own thread. An empty handler removes it.
void set_message_wake_handler(std::function<void()> handler);
struct PendingResult {
    bool quit = false;       // WM_QUIT was taken
    int exit_code = 0;       // its code
    Milliseconds next_timer; // until the next timer is due (kInfinite: none)
};
// Dispatches every message and due timer of the calling thread without waiting.
PendingResult process_pending_messages();

// SetTimer / KillTimer: WM_TIMER with wparam `id` every `interval` on the target's thread. Setting
// an existing id restarts it with the new interval. False when the target does not exist (or is
// not of this process).
bool set_timer(WindowHandle target, std::uintptr_t id, Milliseconds interval);
bool kill_timer(WindowHandle target, std::uintptr_t id);

// RegisterWindowMessage: an id in 0xC000..0xFFFF, the same for the same name (ASCII case
// ignored) in every process of the session; 0 for an empty name.
std::uint32_t register_window_message(TextView name);

// FindWindow by title: a top-level target of this or another process of the session, or 0.
WindowHandle find_window(TextView title);

// The session folder of top-level targets and the registered message table.
std::filesystem::path window_directory();

} // namespace platform
