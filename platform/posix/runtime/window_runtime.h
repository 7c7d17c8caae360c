#pragma once
// Internal: the process-wide part of the window layer, in the shared runtime library. The
// functions of window.h (in the layer itself) call these and turn their error codes into the
// caller's last system error.
#include "platform/window.h"

namespace platform::runtime {

std::uint32_t create_window(WindowProc proc, TextView title, WindowHandle& out);
void destroy_window(WindowHandle target);
bool is_window(WindowHandle target);
std::uint32_t window_thread_id(WindowHandle target);
// These return a system error code (0 on success).
std::uint32_t post_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                           std::intptr_t lparam);
std::uint32_t send_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                           std::intptr_t lparam, Milliseconds timeout, std::intptr_t* result);
void post_quit_message(int exit_code);
GetMessageResult get_message(Message& out, Milliseconds timeout);
// get_message that also returns (Timeout with `sent_handled` set) after handling sent messages.
GetMessageResult pump_step(Message& out, Milliseconds timeout, bool& sent_handled);
std::intptr_t dispatch_message(const Message& message);
void set_message_wake_handler(std::function<void()> handler);
PendingResult process_pending_messages();
std::uint32_t set_timer(WindowHandle target, std::uintptr_t id, Milliseconds interval);
std::uint32_t kill_timer(WindowHandle target, std::uintptr_t id);
WindowHandle find_window(TextView title);
std::filesystem::path window_directory();

} // namespace platform::runtime
