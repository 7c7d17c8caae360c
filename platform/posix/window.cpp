// The window layer as the components call it: forwards to the process-wide runtime (one table
// of targets for the program and its in-process servers) and keeps the table of registered
// message ids of the session.
#include "platform/window.h"

#include "platform/fs.h"
#include "runtime/window_runtime.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {
bool report(std::uint32_t error) {
    set_last_system_error(error);
    return error == ERROR_SUCCESS;
}
} // namespace

Window Window::create(WindowProc proc, TextView title) {
    Window w;
    report(runtime::create_window(std::move(proc), title, w.handle_));
    return w;
}

void Window::destroy() {
    if (const WindowHandle h = std::exchange(handle_, 0))
        runtime::destroy_window(h);
}

bool is_window(WindowHandle target) {
    return runtime::is_window(target);
}

std::uint32_t window_thread_id(WindowHandle target) {
    return runtime::window_thread_id(target);
}

bool post_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                  std::intptr_t lparam) {
    return report(runtime::post_message(target, id, wparam, lparam));
}

bool send_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                  std::intptr_t lparam, Milliseconds timeout, std::intptr_t* result) {
    return report(runtime::send_message(target, id, wparam, lparam, timeout, result));
}

void post_quit_message(int exit_code) {
    runtime::post_quit_message(exit_code);
}

GetMessageResult get_message(Message& out, Milliseconds timeout) {
    return runtime::get_message(out, timeout);
}

GetMessageResult peek_message(Message& out) {
    return runtime::get_message(out, Milliseconds(0));
}

std::intptr_t dispatch_message(const Message& message) {
    return runtime::dispatch_message(message);
}

int run_message_loop() {
    Message m;
    for (;;) {
        // A loop with nothing to do sleeps in long slices.
        const auto r = get_message(m, Milliseconds(60000));
        if (r == GetMessageResult::Quit)
            return static_cast<int>(m.wparam);
        if (r == GetMessageResult::Message)
            dispatch_message(m);
    }
}

bool pump_messages_until(const std::function<bool()>& done, Milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    Message m;
    for (;;) {
        if (done())
            return true;
        const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now());
        if (left <= Milliseconds(0))
            return false;
        bool sent_handled = false;
        const auto r = runtime::pump_step(m, left, sent_handled);
        if (r == GetMessageResult::Message) {
            dispatch_message(m);
        } else if (r == GetMessageResult::Quit) {
            post_quit_message(static_cast<int>(m.wparam)); // kept for the outer loop
            return done();
        }
    }
}

void set_message_wake_handler(std::function<void()> handler) {
    runtime::set_message_wake_handler(std::move(handler));
}

PendingResult process_pending_messages() {
    return runtime::process_pending_messages();
}

bool set_timer(WindowHandle target, std::uintptr_t id, Milliseconds interval) {
    return report(runtime::set_timer(target, id, interval));
}

bool kill_timer(WindowHandle target, std::uintptr_t id) {
    return report(runtime::kill_timer(target, id));
}

WindowHandle find_window(TextView title) {
    return runtime::find_window(title);
}

std::filesystem::path window_directory() {
    return runtime::window_directory();
}

// ---- Registered message ids -------------------------------------------------------------------
// The session's table is a text file of lines "XXXX name" (hex id, UTF-8 name), changed only
// under a session-wide mutex and replaced whole. A name gets the id its hash points to, or the
// next free one.
namespace {

constexpr std::uint32_t kFirstRegistered = 0xC000;
constexpr std::uint32_t kRegisteredCount = 0x4000;

std::string fold_name(TextView name) {
    std::string out = utf16_to_utf8(name);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::uint32_t hashed_id(const std::string& folded) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : folded)
        h = (h ^ c) * 16777619u;
    return kFirstRegistered + h % kRegisteredCount;
}

using IdTable = std::unordered_map<std::string, std::uint32_t>;

IdTable parse_table(const std::string& data) {
    IdTable out;
    std::istringstream in(data);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 6 || line[4] != ' ')
            continue;
        unsigned id = 0;
        if (std::sscanf(line.c_str(), "%4x", &id) != 1 || id < kFirstRegistered || id > 0xFFFF)
            continue;
        out.emplace(line.substr(5), id);
    }
    return out;
}

std::uint32_t free_id(const IdTable& table, const std::string& folded) {
    std::vector<bool> used(kRegisteredCount, false);
    for (const auto& [name, id] : table)
        used[id - kFirstRegistered] = true;
    std::uint32_t id = hashed_id(folded);
    for (std::uint32_t i = 0; i < kRegisteredCount; ++i) {
        if (!used[id - kFirstRegistered])
            return id;
        id = id == 0xFFFF ? kFirstRegistered : id + 1;
    }
    return 0;
}

std::mutex g_ids_mutex;
IdTable g_ids; // this library's cache of the session table

bool read_file(const std::filesystem::path& path, std::string& out) {
    File f = File::open(path, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Shared);
    if (!f.is_open())
        return false;
    std::vector<std::uint8_t> bytes;
    if (f.read_all(bytes, 1 << 20) != ERROR_SUCCESS)
        return false;
    out.assign(bytes.begin(), bytes.end());
    return true;
}

// Looks the name up in (or adds it to) the session table; 0 when the table is out of reach.
std::uint32_t session_id(const std::string& folded) {
    const auto dir = window_directory();
    if (platform::create_directories(dir) != ERROR_SUCCESS)
        return 0;
    const auto path = dir / "messages";
    SystemMutex mutex(u"OrvixWindowMessages-" +
                      utf8_to_utf16(std::to_string(std::hash<std::string>{}(dir.string()))));
    if (!mutex.valid())
        return 0;
    const auto waited = mutex.wait(Milliseconds(10000));
    if (waited != SystemMutex::WaitResult::Acquired && waited != SystemMutex::WaitResult::Abandoned)
        return 0;
    std::string data;
    read_file(path, data);
    IdTable table = parse_table(data);
    std::uint32_t id = 0;
    if (auto it = table.find(folded); it != table.end()) {
        id = it->second;
    } else if ((id = free_id(table, folded)) != 0) {
        char head[16];
        std::snprintf(head, sizeof head, "%04X ", unsigned(id));
        if (!data.empty() && data.back() != '\n')
            data.push_back('\n');
        data += head + folded + "\n";
        if (replace_file_contents(path, data.data(), data.size()) != ERROR_SUCCESS)
            id = 0;
    }
    mutex.release();
    return id;
}

} // namespace

std::uint32_t register_window_message(TextView name) {
    if (name.empty())
        return 0;
    std::string folded = fold_name(name);
    // A name with a line break cannot be a line of the table: it stays with its hash.
    if (folded.find_first_of("\r\n") != std::string::npos)
        return hashed_id(folded);
    std::lock_guard lock(g_ids_mutex);
    if (auto it = g_ids.find(folded); it != g_ids.end())
        return it->second;
    std::uint32_t id = session_id(folded);
    if (id == 0) {
        // Without the session table: the hash, kept unique within this process.
        IdTable local = g_ids;
        id = free_id(local, folded);
    }
    if (id != 0)
        g_ids.emplace(std::move(folded), id);
    return id;
}

} // namespace platform
