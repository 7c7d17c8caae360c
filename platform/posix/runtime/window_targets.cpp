// Message targets: one process-wide table of targets, one message queue per thread, and one
// listening Unix socket per top-level target for other processes of the session.
//
// Locking: the table lock may be taken before a queue lock, never after; handlers run without
// any lock held.
#include "window_runtime.h"

#include "platform/result.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace platform::runtime {

namespace {

using Clock = std::chrono::steady_clock;

// A message sent from another thread, waiting for its result.
struct ThreadQueue;
struct SentMessage {
    Message message;
    std::shared_ptr<ThreadQueue> sender; // woken on completion; its lock guards the fields below
    bool done = false;
    bool failed = false;
    std::intptr_t result = 0;
};

struct Timer {
    WindowHandle target;
    std::uintptr_t id;
    Milliseconds interval;
    Clock::time_point due;
};

// The queue of one thread.
struct ThreadQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Message> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::vector<Timer> timers;
    bool quit = false;
    int quit_code = 0;
    bool alive = true;
    std::uint32_t thread_id = 0;
    std::function<void()> wake_handler;

    // Called after something was queued (without the lock held).
    void wake() {
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex);
            handler = wake_handler;
        }
        cv.notify_all();
        if (handler)
            handler();
    }
};

void complete(const std::shared_ptr<SentMessage>& sent, bool failed, std::intptr_t result) {
    auto sender = sent->sender;
    {
        std::lock_guard lock(sender->mutex);
        sent->done = true;
        sent->failed = failed;
        sent->result = result;
    }
    sender->cv.notify_all();
}

std::uint32_t os_thread_id() {
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

// The calling thread's queue; marked dead when the thread ends, failing what waits on it.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() {
        if (!queue)
            return;
        std::deque<std::shared_ptr<SentMessage>> orphans;
        {
            std::lock_guard lock(queue->mutex);
            queue->alive = false;
            orphans.swap(queue->sent);
            queue->posted.clear();
            queue->timers.clear();
            queue->wake_handler = nullptr;
        }
        for (auto& s : orphans)
            complete(s, true, 0);
    }
};
thread_local QueueHolder t_queue;

std::shared_ptr<ThreadQueue> current_queue() {
    if (!t_queue.queue) {
        t_queue.queue = std::make_shared<ThreadQueue>();
        t_queue.queue->thread_id = os_thread_id();
    }
    return t_queue.queue;
}

// ---- Titles and the session folder ------------------------------------------------------------
Text fold_title(TextView title) {
    Text out(title);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

std::string socket_name(const Text& folded) {
    std::string name = "w-";
    for (char16_t c : folded) {
        if ((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' ||
            c == u'.') {
            name.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%%%04X", unsigned(c));
            name += buf;
        }
    }
    if (name.size() > 60) {
        // Socket paths are short; long titles go by a hash.
        std::uint64_t h = 1469598103934665603ull;
        for (char16_t c : folded)
            h = (h ^ c) * 1099511628211ull;
        char buf[32];
        std::snprintf(buf, sizeof buf, "w-h%016llx", static_cast<unsigned long long>(h));
        name = buf;
    }
    return name;
}

// ---- Wire format between processes ------------------------------------------------------------
constexpr std::uint32_t kMagic = 0x4F525857; // "ORXW"
enum : std::uint32_t { kPost = 1, kSend = 2 };
struct Request {
    std::uint32_t magic;
    std::uint32_t kind;
    std::uint32_t id;
    std::uint32_t timeout_ms;
    std::uint64_t wparam;
    std::int64_t lparam;
};
struct Reply {
    std::uint32_t magic;
    std::uint32_t error; // system error code, 0 when the target took the message
    std::int64_t result;
};
constexpr int kRequestWaitMs = 2000; // a connected client sends its request at once
constexpr std::uint32_t kMaxSendMs = 60000;
constexpr int kListenerIdleMs = 60000; // the listener's wait, renewed while idle

bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    const auto deadline = Clock::now() + Milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

sockaddr_un address_of(const std::filesystem::path& path, bool& ok) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string s = path.string();
    ok = s.size() < sizeof(addr.sun_path);
    if (ok)
        std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
    return addr;
}

// Connects to a target's socket; -1 when nobody listens there.
int connect_to(const std::filesystem::path& path) {
    bool ok = false;
    const sockaddr_un addr = address_of(path, ok);
    if (!ok)
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---- Targets ------------------------------------------------------------------------------------
class Listener;

struct Target {
    WindowHandle handle = 0;
    std::shared_ptr<ThreadQueue> queue;
    WindowProc proc;
    Text folded_title;
    std::unique_ptr<Listener> listener;
};

struct RemoteTarget {
    std::filesystem::path socket;
};

class Table {
  public:
    std::mutex mutex;
    std::unordered_map<WindowHandle, std::shared_ptr<Target>> targets;
    std::unordered_map<WindowHandle, RemoteTarget> remotes;
    std::unordered_map<std::string, WindowHandle> remote_by_socket;
    std::atomic<WindowHandle> next{0x1000};

    WindowHandle new_handle() { return next.fetch_add(4); }

    std::shared_ptr<Target> local(WindowHandle h) {
        std::lock_guard lock(mutex);
        auto it = targets.find(h);
        return it == targets.end() ? nullptr : it->second;
    }
    std::optional<RemoteTarget> remote(WindowHandle h) {
        std::lock_guard lock(mutex);
        auto it = remotes.find(h);
        if (it == remotes.end())
            return std::nullopt;
        return it->second;
    }
};

Table& table() {
    static Table* t = new Table; // used by threads until the very end of the process
    return *t;
}

bool post_local(const std::shared_ptr<Target>& target, const Message& m) {
    auto& q = *target->queue;
    {
        std::lock_guard lock(q.mutex);
        if (!q.alive)
            return false;
        q.posted.push_back(m);
    }
    q.wake();
    return true;
}

std::intptr_t call_proc(const Message& m) {
    auto target = table().local(m.target);
    if (!target || !target->proc)
        return 0;
    return target->proc(m.target, m.id, m.wparam, m.lparam);
}

// Handles the sent messages queued for the calling thread. True when it handled any.
bool handle_sent(ThreadQueue& q) {
    bool any = false;
    for (;;) {
        std::shared_ptr<SentMessage> s;
        {
            std::lock_guard lock(q.mutex);
            if (q.sent.empty())
                return any;
            s = std::move(q.sent.front());
            q.sent.pop_front();
        }
        any = true;
        const bool exists = table().local(s->message.target) != nullptr;
        const std::intptr_t result = exists ? call_proc(s->message) : 0;
        complete(s, !exists, result);
    }
}

std::uint32_t send_local(const std::shared_ptr<Target>& target, const Message& m,
                         Milliseconds timeout, std::intptr_t* result) {
    auto self = current_queue();
    if (target->queue == self) {
        const std::intptr_t r = target->proc ? target->proc(m.target, m.id, m.wparam, m.lparam) : 0;
        if (result)
            *result = r;
        return ERROR_SUCCESS;
    }
    auto sent = std::make_shared<SentMessage>();
    sent->message = m;
    sent->sender = self;
    {
        std::lock_guard lock(target->queue->mutex);
        if (!target->queue->alive)
            return ERROR_INVALID_WINDOW_HANDLE;
        target->queue->sent.push_back(sent);
    }
    target->queue->wake();

    const bool infinite = timeout == kInfinite;
    const auto deadline = infinite ? Clock::time_point::max() : Clock::now() + timeout;
    for (;;) {
        // Messages sent to this thread's own targets are handled while it waits, so two threads
        // sending to each other do not block each other.
        handle_sent(*self);
        std::unique_lock lock(self->mutex);
        if (sent->done)
            break;
        if (!self->sent.empty())
            continue;
        if (infinite)
            self->cv.wait(lock);
        else if (self->cv.wait_until(lock, deadline) == std::cv_status::timeout && !sent->done &&
                 self->sent.empty())
            return ERROR_TIMEOUT;
    }
    if (sent->failed)
        return ERROR_INVALID_WINDOW_HANDLE;
    if (result)
        *result = sent->result;
    return ERROR_SUCCESS;
}

// Sends a request to another process's target; the reply tells whether it was taken.
std::uint32_t remote_request(const RemoteTarget& remote, std::uint32_t kind, const Message& m,
                             Milliseconds timeout, std::intptr_t* result) {
    const int fd = connect_to(remote.socket);
    if (fd < 0)
        return ERROR_INVALID_WINDOW_HANDLE;
    std::uint32_t timeout_ms = kMaxSendMs;
    if (timeout != kInfinite && timeout.count() < kMaxSendMs)
        timeout_ms = static_cast<std::uint32_t>(std::max<long long>(timeout.count(), 0));
    const Request req{kMagic, kind, m.id, timeout_ms, m.wparam, m.lparam};
    bool ok = ::send(fd, &req, sizeof req, MSG_NOSIGNAL) == sizeof req;
    Reply reply{};
    // The other side answers a post at once and a send within its time-out.
    const int wait_ms = static_cast<int>(kind == kSend ? timeout_ms + kRequestWaitMs
                                                       : std::uint32_t(kRequestWaitMs) * 2);
    if (ok)
        ok = wait_readable(fd, wait_ms) && ::recv(fd, &reply, sizeof reply, 0) == sizeof reply &&
             reply.magic == kMagic;
    ::close(fd);
    if (!ok)
        return kind == kSend ? ERROR_TIMEOUT : ERROR_INVALID_WINDOW_HANDLE;
    if (reply.error != 0)
        return reply.error;
    if (result)
        *result = static_cast<std::intptr_t>(reply.result);
    return ERROR_SUCCESS;
}

// Accepts requests from other processes for one top-level target.
class Listener {
  public:
    static std::unique_ptr<Listener> start(WindowHandle target, const Text& folded_title) {
        const auto dir = window_directory();
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        ::chmod(dir.c_str(), 0700);
        const auto path = dir / socket_name(folded_title);
        bool ok = false;
        const sockaddr_un addr = address_of(path, ok);
        if (!ok)
            return nullptr;
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return nullptr;
        auto bind_now = [&] {
            return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        };
        bool bound = bind_now();
        if (!bound && errno == EADDRINUSE) {
            // A live owner keeps the title; a socket left by a process that died is replaced.
            const int probe = connect_to(path);
            if (probe >= 0) {
                ::close(probe);
            } else {
                ::unlink(path.c_str());
                bound = bind_now();
            }
        }
        if (!bound || ::listen(fd, 16) != 0) {
            ::close(fd);
            return nullptr;
        }
        auto l = std::unique_ptr<Listener>(new Listener(fd, path));
        if (l->wake_fd_ < 0)
            return nullptr;
        auto state = l->state_;
        const int listen_fd = l->listen_fd_, wake_fd = l->wake_fd_;
        try {
            l->thread_ = std::thread([state, target, listen_fd, wake_fd] {
                run(target, listen_fd, wake_fd);
                std::lock_guard lock(state->mutex);
                state->ended = true;
                state->cv.notify_all();
            });
        } catch (const std::system_error&) {
            return nullptr;
        }
        return l;
    }

    ~Listener() {
        bool ended = true;
        if (thread_.joinable()) {
            eventfd_write(wake_fd_, 1);
            // The loop ends at once unless it is handing over a sent message, which that
            // message's own time-out bounds.
            std::unique_lock lock(state_->mutex);
            ended = state_->cv.wait_for(lock, Milliseconds(kMaxSendMs + 5000),
                                        [this] { return state_->ended; });
            lock.unlock();
            if (ended)
                thread_.join();
            else
                thread_.detach(); // it keeps its descriptors
        }
        // Remove the socket only while it is still ours (another process may have replaced a
        // socket it found dead).
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_)
            ::unlink(path_.c_str());
        if (ended) {
            ::close(listen_fd_);
            if (wake_fd_ >= 0)
                ::close(wake_fd_);
        }
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool ended = false;
    };

    Listener(int fd, std::filesystem::path path)
        : listen_fd_(fd), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), path_(std::move(path)),
          state_(std::make_shared<State>()) {
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0)
            inode_ = st.st_ino;
    }

    static void run(WindowHandle target, int listen_fd, int wake_fd) {
        for (;;) {
            pollfd fds[2] = {{listen_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            const int n = ::poll(fds, 2, kListenerIdleMs);
            if (n < 0 && errno != EINTR)
                return;
            if (n <= 0)
                continue;
            if (fds[1].revents & POLLIN)
                return;
            if (fds[0].revents & POLLIN) {
                const int conn = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (conn >= 0) {
                    serve(target, conn);
                    ::close(conn);
                }
            }
        }
    }

    static void serve(WindowHandle target, int conn) {
        Request req{};
        if (!wait_readable(conn, kRequestWaitMs) ||
            ::recv(conn, &req, sizeof req, 0) != sizeof req || req.magic != kMagic)
            return; // a probe by find_window, or garbage
        Reply reply{kMagic, ERROR_INVALID_PARAMETER, 0};
        const auto wparam = static_cast<std::uintptr_t>(req.wparam);
        const auto lparam = static_cast<std::intptr_t>(req.lparam);
        if (req.kind == kPost) {
            reply.error = post_message(target, req.id, wparam, lparam);
        } else if (req.kind == kSend) {
            std::intptr_t result = 0;
            const auto timeout = Milliseconds(std::min(req.timeout_ms, kMaxSendMs));
            reply.error = send_message(target, req.id, wparam, lparam, timeout, &result);
            reply.result = result;
        }
        ::send(conn, &reply, sizeof reply, MSG_NOSIGNAL);
    }

    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::filesystem::path path_;
    ino_t inode_ = 0;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Removes the target from the table and its queue.
void remove_target(WindowHandle h) {
    std::shared_ptr<Target> target;
    {
        std::lock_guard lock(table().mutex);
        auto it = table().targets.find(h);
        if (it == table().targets.end())
            return;
        target = std::move(it->second);
        table().targets.erase(it);
    }
    std::vector<std::shared_ptr<SentMessage>> failed;
    {
        auto& q = *target->queue;
        std::lock_guard lock(q.mutex);
        std::erase_if(q.posted, [h](const Message& m) { return m.target == h; });
        std::erase_if(q.timers, [h](const Timer& t) { return t.target == h; });
        for (auto it = q.sent.begin(); it != q.sent.end();) {
            if ((*it)->message.target == h) {
                failed.push_back(std::move(*it));
                it = q.sent.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : failed)
        complete(s, true, 0);
    target->listener.reset();
}

// Takes the next message of `q` that get_message returns; false when there is none now.
// Sets `wait_for` to the time until the next timer.
enum class Take { Message, Quit, None };
Take take_next(ThreadQueue& q, Message& out, Clock::duration& wait_for) {
    std::lock_guard lock(q.mutex);
    wait_for = Clock::duration::max();
    if (!q.posted.empty()) {
        out = q.posted.front();
        q.posted.pop_front();
        if (out.id == WM_QUIT) {
            out.target = 0;
            return Take::Quit;
        }
        return Take::Message;
    }
    if (q.quit) {
        q.quit = false;
        out = Message{0, WM_QUIT, static_cast<std::uintptr_t>(q.quit_code), 0};
        return Take::Quit;
    }
    const auto now = Clock::now();
    Timer* due = nullptr;
    for (auto& t : q.timers)
        if (!due || t.due < due->due)
            due = &t;
    if (due && due->due <= now) {
        out = Message{due->target, WM_TIMER, due->id, 0};
        due->due = now + due->interval;
        return Take::Message;
    }
    if (due)
        wait_for = due->due - now;
    return Take::None;
}

// With `sent_handled` given, also returns (as Timeout, with *sent_handled true) once sent
// messages were handled, so a pump can look at its condition again.
GetMessageResult get_impl(Message& out, Milliseconds timeout, bool* sent_handled = nullptr) {
    auto q = current_queue();
    const bool infinite = timeout == kInfinite;
    const auto deadline = infinite ? Clock::time_point::max() : Clock::now() + timeout;
    for (;;) {
        const bool handled = handle_sent(*q);
        Clock::duration wait_for{};
        const Take t = take_next(*q, out, wait_for);
        if (t == Take::Message)
            return GetMessageResult::Message;
        if (t == Take::Quit)
            return GetMessageResult::Quit;
        if (handled && sent_handled) {
            *sent_handled = true;
            return GetMessageResult::Timeout;
        }
        std::unique_lock lock(q->mutex);
        if (!q->posted.empty() || !q->sent.empty() || q->quit)
            continue;
        const auto now = Clock::now();
        if (!infinite && now >= deadline)
            return GetMessageResult::Timeout;
        auto until = deadline;
        if (wait_for != Clock::duration::max() && (infinite || wait_for < deadline - now))
            until = now + wait_for;
        if (until == Clock::time_point::max())
            q->cv.wait(lock);
        else
            q->cv.wait_until(lock, until);
    }
}

} // namespace

std::filesystem::path window_directory() {
    if (const char* dir = std::getenv("ORVIX_WINDOW_DIR"); dir && *dir)
        return dir;
    std::string name = "orvix-windows-" + std::to_string(::getuid());
    if (const char* session = std::getenv("ORVIX_SESSION"); session && *session)
        name += std::string("-") + session;
    return std::filesystem::path("/tmp") / name;
}

std::uint32_t create_window(WindowProc proc, TextView title, WindowHandle& out) {
    out = 0;
    auto target = std::make_shared<Target>();
    target->handle = table().new_handle();
    target->queue = current_queue();
    target->proc = std::move(proc);
    target->folded_title = fold_title(title);
    // Without its socket a titled target is still found by title inside this process.
    if (!title.empty())
        target->listener = Listener::start(target->handle, target->folded_title);
    {
        std::lock_guard lock(table().mutex);
        table().targets.emplace(target->handle, target);
    }
    out = target->handle;
    return ERROR_SUCCESS;
}

void destroy_window(WindowHandle h) {
    if (auto target = table().local(h); target && target->queue == t_queue.queue && target->proc)
        target->proc(h, WM_DESTROY, 0, 0);
    remove_target(h);
}

bool is_window(WindowHandle target) {
    if (table().local(target))
        return true;
    if (auto remote = table().remote(target)) {
        const int fd = connect_to(remote->socket);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
    }
    return false;
}

std::uint32_t window_thread_id(WindowHandle target) {
    auto t = table().local(target);
    return t ? t->queue->thread_id : 0;
}

std::uint32_t post_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                           std::intptr_t lparam) {
    const Message m{target, id, wparam, lparam};
    if (auto local = table().local(target))
        return post_local(local, m) ? ERROR_SUCCESS : ERROR_INVALID_WINDOW_HANDLE;
    if (auto remote = table().remote(target))
        return remote_request(*remote, kPost, m, Milliseconds(0), nullptr);
    return ERROR_INVALID_WINDOW_HANDLE;
}

std::uint32_t send_message(WindowHandle target, std::uint32_t id, std::uintptr_t wparam,
                           std::intptr_t lparam, Milliseconds timeout, std::intptr_t* result) {
    const Message m{target, id, wparam, lparam};
    if (auto local = table().local(target))
        return send_local(local, m, timeout, result);
    if (auto remote = table().remote(target))
        return remote_request(*remote, kSend, m, timeout, result);
    return ERROR_INVALID_WINDOW_HANDLE;
}

void post_quit_message(int exit_code) {
    auto q = current_queue();
    {
        std::lock_guard lock(q->mutex);
        q->quit = true;
        q->quit_code = exit_code;
    }
    q->wake();
}

GetMessageResult get_message(Message& out, Milliseconds timeout) {
    return get_impl(out, timeout);
}

GetMessageResult pump_step(Message& out, Milliseconds timeout, bool& sent_handled) {
    sent_handled = false;
    return get_impl(out, timeout, &sent_handled);
}

std::intptr_t dispatch_message(const Message& message) {
    return call_proc(message);
}

void set_message_wake_handler(std::function<void()> handler) {
    auto q = current_queue();
    std::lock_guard lock(q->mutex);
    q->wake_handler = std::move(handler);
}

PendingResult process_pending_messages() {
    PendingResult r;
    r.next_timer = kInfinite;
    auto q = current_queue();
    Message m;
    for (;;) {
        handle_sent(*q);
        Clock::duration wait_for{};
        const Take t = take_next(*q, m, wait_for);
        if (t == Take::Quit) {
            r.quit = true;
            r.exit_code = static_cast<int>(m.wparam);
            return r;
        }
        if (t == Take::None) {
            if (wait_for != Clock::duration::max())
                r.next_timer = std::chrono::ceil<Milliseconds>(wait_for);
            return r;
        }
        call_proc(m);
    }
}

std::uint32_t set_timer(WindowHandle target, std::uintptr_t id, Milliseconds interval) {
    auto t = table().local(target);
    if (!t)
        return ERROR_INVALID_WINDOW_HANDLE;
    if (interval < Milliseconds(1))
        interval = Milliseconds(1);
    {
        std::lock_guard lock(t->queue->mutex);
        const auto due = Clock::now() + interval;
        auto it = std::find_if(t->queue->timers.begin(), t->queue->timers.end(),
                               [&](const Timer& x) { return x.target == target && x.id == id; });
        if (it != t->queue->timers.end()) {
            it->interval = interval;
            it->due = due;
        } else {
            t->queue->timers.push_back(Timer{target, id, interval, due});
        }
    }
    t->queue->wake();
    return ERROR_SUCCESS;
}

std::uint32_t kill_timer(WindowHandle target, std::uintptr_t id) {
    auto t = table().local(target);
    if (!t)
        return ERROR_INVALID_WINDOW_HANDLE;
    bool found = false;
    {
        std::lock_guard lock(t->queue->mutex);
        found = std::erase_if(t->queue->timers,
                              [&](const Timer& x) { return x.target == target && x.id == id; }) > 0;
    }
    if (!found)
        return ERROR_INVALID_PARAMETER;
    t->queue->wake();
    return ERROR_SUCCESS;
}

WindowHandle find_window(TextView title) {
    if (title.empty())
        return 0;
    const Text folded = fold_title(title);
    {
        std::lock_guard lock(table().mutex);
        WindowHandle best = 0;
        for (const auto& [h, t] : table().targets)
            if (t->folded_title == folded && (best == 0 || h < best))
                best = h; // the oldest of several with the same title
        if (best)
            return best;
    }
    const auto path = window_directory() / socket_name(folded);
    const int fd = connect_to(path);
    if (fd < 0)
        return 0;
    ::close(fd);
    std::lock_guard lock(table().mutex);
    auto [it, inserted] = table().remote_by_socket.emplace(path.string(), 0);
    if (inserted) {
        it->second = table().new_handle();
        table().remotes.emplace(it->second, RemoteTarget{path});
    }
    return it->second;
}

} // namespace platform::runtime
