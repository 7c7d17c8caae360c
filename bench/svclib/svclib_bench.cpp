// The service client library as the tray application uses it: Kp32ClientSC created by class id
// (the library registered in a temporary registry), linked to a service stand-in that runs in
// this process on the server ends of CNamedPipe.
//
// (a) Event latency: from the service's write of a notification to GetEvent returning it in the
//     consumer, woken by the library's window message (as the tray application is) and by its
//     event handle; against the plain pipe latency of the same frame (a CNamedPipe read end woken
//     by its receive event, then PipeReadFile), measured in the same run. Each sample is one
//     notification written only after the previous one was taken; rounds alternate the paths.
// (b) Idle wake-ups: the linked library left alone; the context switches of every thread of the
//     process (except the measuring one) before and after.
//
//   svclib_bench [--samples N] [--rounds R] [--idle-seconds S]
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "interfaces/orvixsc_interfaces.h"
#include "platform/com.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "svclib/NamedPipe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using platform::Event;
using platform::Text;

constexpr double kLatencyGoal = 2.0;
constexpr std::chrono::milliseconds kStepWait = 10000ms;
const Text kNotification = u"CONNECTED\r\nbench\r\n2001:db8:1:2::3\r\n\r\n";

void RemoveTree(const std::filesystem::path& root);
std::filesystem::path g_root; // the temporary tree, removed on every exit

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "svclib_bench: %s\n", what.c_str());
    if (!g_root.empty())
        RemoveTree(g_root);
    std::_Exit(1);
}

Text PipeName(const std::string& name) {
    return u"\\\\.\\pipe\\" + platform::to_text(name);
}

// One kind of sample: microseconds.
struct Samples {
    std::vector<double> us;
    double Percentile(double p) const {
        std::vector<double> v = us;
        std::sort(v.begin(), v.end());
        const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
        return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
    }
};

// The service's side of one pipe it writes on: a server end, and a thread that writes the frame
// each time the consumer asks for the next one, noting the time just before the write.
class Writer {
  public:
    explicit Writer(const Text& pipeName) {
        if (!m_end.PipeOpenNamedPipe(pipeName.c_str(), 0, true, &m_recv, &m_connected))
            Fail("cannot create " + platform::to_utf8(pipeName) + " [E" +
                 std::to_string(static_cast<unsigned>(m_end.GetLastResult())) + "]");
    }
    void WaitConnected() {
        if (!m_connected.wait(kStepWait) || !m_end.ReadyRead())
            Fail("the reader did not connect");
    }
    // Writes `count` frames, one per Next().
    void Start(std::size_t count) {
        m_count = count;
        m_thread = platform::Thread([this] {
            for (std::size_t i = 0; i < m_count; ++i) {
                if (!m_go.wait(kStepWait))
                    return;
                m_sent.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
                if (m_end.PipeWriteFile(kNotification.c_str()) == 0)
                    return;
            }
        });
    }
    void Next() { m_go.set(); }
    // Microseconds since the last write began.
    double SinceWrite(Clock::time_point now) const {
        const Clock::time_point sent{Clock::duration(m_sent.load(std::memory_order_acquire))};
        return std::chrono::duration<double, std::micro>(now - sent).count();
    }
    void Join() {
        if (!m_thread.join(kStepWait))
            Fail("the writer did not end");
    }
    void Close() { m_end.PipeCloseHandle(); }

  private:
    // The events outlive the end, whose own thread may still signal them.
    Event m_recv{Event::Reset::Auto};
    Event m_connected{Event::Reset::Manual};
    CNamedPipe m_end;
    Event m_go{Event::Reset::Auto};
    std::atomic<Clock::rep> m_sent{0};
    std::size_t m_count = 0;
    platform::Thread m_thread;
};

// Baseline: a CNamedPipe read end woken by its receive event, then PipeReadFile.
void MeasurePipe(std::size_t count, Samples& out) {
    const Text name = PipeName("svclib-bench-plain-" + std::to_string(::getpid()));
    Writer writer(name);
    Event recv(Event::Reset::Auto);
    CNamedPipe reader;
    if (!reader.PipeOpenNamedPipe(name.c_str(), 0, false, &recv, nullptr))
        Fail("cannot open the plain pipe");
    writer.WaitConnected();
    writer.Start(count);
    char16_t buffer[256];
    for (std::size_t i = 0; i < count; ++i) {
        writer.Next();
        if (!recv.wait(kStepWait))
            Fail("no frame on the plain pipe");
        std::uint32_t size = sizeof buffer;
        if (reader.PipeReadFile(buffer, &size) == 0)
            Fail("plain pipe read failed");
        out.us.push_back(writer.SinceWrite(Clock::now()));
    }
    writer.Join();
    reader.PipeCloseHandle();
    writer.Close();
}

// Takes every queued event; the time of the first.
std::size_t DrainEvents(IZa32VUEvent* queue, Writer& writer, Samples& out) {
    std::size_t taken = 0;
    for (;;) {
        platform::ULONG code = 0;
        platform::LONG_PTR context = 0, iface = 0;
        if (queue->GetEvent(&code, &context, &iface, 0) != platform::S_OK)
            return taken;
        if (taken == 0)
            out.us.push_back(writer.SinceWrite(Clock::now()));
        ++taken;
        platform::SysFreeString(reinterpret_cast<platform::BSTR>(context));
        if (iface)
            reinterpret_cast<platform::IUnknown*>(iface)->Release();
    }
}

struct Library {
    platform::ComPtr<IKp32ClientSC> client;
    platform::ComPtr<IZa32VUEvent> queue;
    std::unique_ptr<Writer> notifications; // service to library
    std::unique_ptr<Writer> commands;      // library to service (only taken in)
};

// The consumer woken by the library's window message, as the tray application is.
void MeasureWindow(Library& lib, std::size_t count, Samples& out) {
    const std::uint32_t message = platform::register_window_message(kScaLibraryMessageName);
    std::size_t taken = 0;
    platform::Window target = platform::Window::create(
        [&](platform::WindowHandle, std::uint32_t id, std::uintptr_t, std::intptr_t lparam) {
            if (id == message && lparam == kScaLibraryMessageParam)
                taken += DrainEvents(lib.queue.get(), *lib.notifications, out);
            return std::intptr_t{0};
        });
    if (!target)
        Fail("cannot create the message target");
    lib.queue->SetNotifyWindow(target.handle(), message, kScaLibraryMessageParam);
    lib.notifications->Start(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t before = taken;
        lib.notifications->Next();
        if (!platform::pump_messages_until([&] { return taken > before; }, kStepWait))
            Fail("no event through the window message");
    }
    lib.notifications->Join();
    lib.queue->SetNotifyWindow(0, 0, 0);
}

// The consumer woken by the event handle.
void MeasureHandle(Library& lib, std::size_t count, Samples& out) {
    Event wake(Event::Reset::Auto);
    lib.queue->SetEventHandle(reinterpret_cast<platform::ULONG_PTR>(&wake));
    lib.notifications->Start(count);
    for (std::size_t i = 0; i < count; ++i) {
        lib.notifications->Next();
        std::size_t taken = 0;
        while (taken == 0) {
            if (!wake.wait(kStepWait))
                Fail("no event through the event handle");
            taken = DrainEvents(lib.queue.get(), *lib.notifications, out);
        }
    }
    lib.notifications->Join();
    lib.queue->SetEventHandle(0);
}

// ---- Idle wake-ups ------------------------------------------------------------------------------

struct ThreadCounts {
    std::string name;
    long voluntary = 0, involuntary = 0;
};

std::map<int, ThreadCounts> TakeCounts() {
    std::map<int, ThreadCounts> out;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ThreadCounts counts;
        std::ifstream(task.path() / "comm") >> counts.name;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                counts.voluntary = std::stol(line.substr(line.find(':') + 1));
            else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                counts.involuntary = std::stol(line.substr(line.find(':') + 1));
        }
        out[std::stoi(task.path().filename().string())] = counts;
    }
    return out;
}

// ---- Set-up -------------------------------------------------------------------------------------

std::filesystem::path PrepareTree() {
    char pattern[] = "/tmp/svclib-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        Fail("cannot create a temporary folder");
    const std::filesystem::path root = pattern;
    g_root = root;
    for (const char* name : {"ORVIX_PIPE_DIR", "ORVIX_REGISTRY_DIR", "ORVIX_COMMON_DOCUMENTS",
                             "ORVIX_WINDOW_DIR", "ORVIX_TEMP", "ORVIX_PROGRAM_DIR"}) {
        const std::filesystem::path dir = root / name;
        std::filesystem::create_directories(dir);
        ::setenv(name, dir.c_str(), 1);
    }
    ::setenv("ORVIX_SESSION", ("svclib-bench-" + std::to_string(::getpid())).c_str(), 1);

    const std::filesystem::path dir = root / "ORVIX_PROGRAM_DIR";
    CConfigFile::SetConfigFolder(platform::from_path(dir));
    CConfigKPClient client;
    client.GetClientInfo().SetPipeSCToSvc(u"svclib-bench-tosvc");
    client.GetClientInfo().SetPipeSvcToSC(u"svclib-bench-tosc");
    CConfigUser user;
    CConfigConnectionList connections;
    CConfigConnectionConInfo* record = connections.AddConnectionItem();
    if (!record)
        Fail("cannot make the connection record");
    record->SetName(u"bench");
    if (!client.Save() || !user.Save() || !connections.Save())
        Fail("cannot write the configuration files");
    return root;
}

void RemoveTree(const std::filesystem::path& root) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    const char* session = std::getenv("ORVIX_SESSION");
    if (!session)
        return;
    // The system-wide mutexes of the session live in shared memory, named after it.
    const std::string prefix = std::string("orvix-") + session + "-";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            std::filesystem::remove(entry.path(), ec);
    }
}

Library Link(const std::filesystem::path& dir) {
    Library lib;
    lib.commands = std::make_unique<Writer>(PipeName("svclib-bench-tosvc"));
    lib.notifications = std::make_unique<Writer>(PipeName("svclib-bench-tosc"));
    platform::HRESULT hr = platform::create_instance(CLSID_Kp32ClientSC, nullptr, lib.client);
    if (platform::failed(hr))
        Fail("cannot create Kp32ClientSC by class id");
    lib.client->SetLogOutObject(0);
    const platform::Bstr folder(platform::from_path(dir));
    if (platform::failed(lib.client->Initialize(folder.get())))
        Fail("Initialize failed");
    if (platform::failed(lib.client.query(lib.queue)))
        Fail("no event queue");
    lib.queue->SetEventMask(0xFFFF);
    if (platform::failed(lib.client->ConnectService()))
        Fail("ConnectService failed");
    lib.commands->WaitConnected();
    lib.notifications->WaitConnected();
    return lib;
}

std::size_t Option(int argc, char** argv, int& i) {
    const std::string name = argv[i];
    if (i + 1 >= argc)
        Fail(name + " needs a number");
    const long value = std::strtol(argv[++i], nullptr, 10);
    if (value <= 0)
        Fail(name + " needs a positive number");
    return static_cast<std::size_t>(value);
}

} // namespace

int main(int argc, char** argv) {
    std::size_t samples = 2000, rounds = 5, idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--samples")
            samples = Option(argc, argv, i);
        else if (arg == "--rounds")
            rounds = Option(argc, argv, i);
        else if (arg == "--idle-seconds")
            idleSeconds = Option(argc, argv, i);
        else
            Fail("usage: svclib_bench [--samples N] [--rounds R] [--idle-seconds S]");
    }

    const std::filesystem::path root = PrepareTree();
    if (platform::failed(platform::register_server(ORVIX_SC_LIBRARY)))
        Fail("cannot register " + std::string(ORVIX_SC_LIBRARY));
    int exitCode = 0;
    {
        Library lib = Link(root / "ORVIX_PROGRAM_DIR");

        // (a) latency, rounds alternating between the paths.
        Samples plain, window, handle;
        for (std::size_t r = 0; r < rounds; ++r) {
            MeasurePipe(samples, plain);
            MeasureWindow(lib, samples, window);
            MeasureHandle(lib, samples, handle);
        }
        std::printf("service client library benchmark: %zu samples x %zu rounds\n", samples,
                    rounds);
        std::printf("event latency, service write to GetEvent (us):   median    p99\n");
        std::printf("  plain pipe (CNamedPipe read end, baseline)  %8.1f %8.1f\n",
                    plain.Percentile(0.5), plain.Percentile(0.99));
        const auto row = [&](const char* label, const Samples& s) {
            const double median = s.Percentile(0.5) / plain.Percentile(0.5);
            const double p99 = s.Percentile(0.99) / plain.Percentile(0.99);
            std::printf("  %-43s %8.1f %8.1f  ratio %.2f / %.2f, goal <= %.1fx: %s\n", label,
                        s.Percentile(0.5), s.Percentile(0.99), median, p99, kLatencyGoal,
                        median <= kLatencyGoal && p99 <= kLatencyGoal ? "met" : "NOT met");
        };
        row("GetEvent after the window message (tray)", window);
        row("GetEvent after the event handle", handle);

        // (b) idle wake-ups of the linked library.
        std::this_thread::sleep_for(500ms);
        const int self = static_cast<int>(::gettid());
        const auto before = TakeCounts();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const auto after = TakeCounts();
        long wakeUps = 0;
        for (const auto& [tid, counts] : after) {
            if (tid == self)
                continue;
            const auto it = before.find(tid);
            const long voluntary =
                counts.voluntary - (it == before.end() ? 0 : it->second.voluntary);
            const long involuntary =
                counts.involuntary - (it == before.end() ? 0 : it->second.involuntary);
            if (voluntary + involuntary != 0 || it == before.end())
                std::printf("  thread %d (%s): %ld voluntary, %ld involuntary switches%s\n", tid,
                            counts.name.c_str(), voluntary, involuntary,
                            it == before.end() ? " (new)" : "");
            wakeUps += voluntary + involuntary;
        }
        std::printf("idle library, %zu s, %zu other threads: %ld wake-ups, goal 0: %s\n",
                    idleSeconds, after.size() - 1, wakeUps, wakeUps == 0 ? "met" : "NOT met");

        lib.client->Uninitialize();
        lib.queue.reset();
        lib.client.reset();
        lib.commands->Close();
        lib.notifications->Close();
    }
    platform::free_unused_libraries();
    platform::register_server(ORVIX_SC_LIBRARY, true);
    RemoveTree(root);
    return exitCode;
}
