// Notifications through CNamedPipe as the client library reads them (an asynchronous end whose
// event wakes the reader, then PipeReadFile) against a plain Unix-socket reader of the same
// frames (blocking reads of the length and the text), measured in the same run.
//
// The serving side is the same code for both: a thread on plain sockets that speaks the pipe
// handshake only for CNamedPipe's connections. Rounds alternate between the two readers.
//
//   pipe_bench [--messages N] [--roundtrips M] [--rounds R]
//
// Throughput: the server writes N notification frames as fast as it can; messages per second
// at the reader. Latency: M round trips of a command on the send pipe and its answer on the
// receive pipe; the median.
#include "svclib/NamedPipe.h"
#include "svclib/PipeMessage.h"

#include "platform/pipe.h"
#include "platform/thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kThroughputGoal = 0.5;
constexpr double kLatencyGoal = 2.0;

const std::u16string kNotification = u"INFORMATION\r\n接続\r\n1001\r\n\r\n";
const std::u16string kCommand = u"STATUS\r\n接続\r\n\r\n";
const std::u16string kAnswer = u"CONNECTED\r\n接続\r\n2001:db8:1:2::3\r\n\r\n";

[[noreturn]] void Die(const char* what) {
    std::perror(what);
    std::exit(1);
}

bool ReadAll(int fd, void* buffer, std::size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one frame with plain blocking reads; false at the end.
bool ReadFrame(int fd, std::vector<unsigned char>& body) {
    unsigned char length[4];
    if (!ReadAll(fd, length, 4))
        return false;
    const std::uint32_t n =
        length[0] | length[1] << 8 | length[2] << 16 | static_cast<std::uint32_t>(length[3]) << 24;
    body.resize(n);
    return ReadAll(fd, body.data(), n);
}

// A listening socket at `path`; accepts one peer, sending the pipe handshake when asked to.
class PlainServer {
  public:
    explicit PlainServer(const std::filesystem::path& path) : m_path(path) {
        ::unlink(path.c_str());
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (m_listen < 0 ||
            ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 4) != 0)
            Die("server socket");
    }
    ~PlainServer() {
        ::close(m_listen);
        ::unlink(m_path.c_str());
    }
    int Accept(bool handshake) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            Die("accept");
        const unsigned char taken = 0x01;
        if (handshake && !WriteAll(fd, &taken, 1))
            Die("handshake");
        return fd;
    }

  private:
    std::filesystem::path m_path;
    int m_listen = -1;
};

int PlainConnect(const std::filesystem::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Die("connect");
    return fd;
}

std::u16string PipeName(const char* bare) {
    return u"\\\\.\\pipe\\" + platform::to_text(bare);
}

// ---- Throughput ---------------------------------------------------------------------------------

double ThroughputPlain(const std::filesystem::path& dir, int messages) {
    PlainServer server(dir / "bench-plain");
    const auto frame = EncodeFrame(kNotification);
    platform::Thread writer([&] {
        const int fd = server.Accept(false);
        for (int i = 0; i < messages; ++i)
            if (!WriteAll(fd, frame.data(), frame.size()))
                break;
        ::close(fd);
    });
    const int fd = PlainConnect(dir / "bench-plain");
    std::vector<unsigned char> body;
    const auto start = Clock::now();
    int got = 0;
    while (got < messages && ReadFrame(fd, body))
        ++got;
    const std::chrono::duration<double> took = Clock::now() - start;
    ::close(fd);
    writer.join(platform::kInfinite);
    if (got != messages)
        Die("plain reader lost frames");
    return messages / took.count();
}

double ThroughputNamedPipe(const std::filesystem::path& dir, int messages) {
    PlainServer server(dir / "bench-pipe");
    const auto frame = EncodeFrame(kNotification);
    platform::Thread writer([&] {
        const int fd = server.Accept(true);
        for (int i = 0; i < messages; ++i)
            if (!WriteAll(fd, frame.data(), frame.size()))
                break;
        ::close(fd);
    });
    platform::Event recv(platform::Event::Reset::Auto);
    CNamedPipe pipe;
    if (!pipe.PipeOpenNamedPipe(PipeName("bench-pipe").c_str(), 0, false, &recv, nullptr))
        Die("CNamedPipe open");
    char16_t buffer[256];
    const auto start = Clock::now();
    int got = 0;
    while (got < messages && recv.wait(10000ms)) {
        std::uint32_t size = sizeof buffer;
        if (pipe.PipeReadFile(buffer, &size) == 0)
            break;
        ++got;
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    pipe.PipeCloseHandle();
    writer.join(platform::kInfinite);
    if (got != messages)
        Die("CNamedPipe reader lost frames");
    return messages / took.count();
}

// ---- Latency ------------------------------------------------------------------------------------

// Answers each command frame on `in` with one answer frame on `out`.
void Echo(int in, int out, int roundtrips) {
    const auto answer = EncodeFrame(kAnswer);
    std::vector<unsigned char> body;
    for (int i = 0; i < roundtrips && ReadFrame(in, body); ++i)
        if (!WriteAll(out, answer.data(), answer.size()))
            break;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double LatencyPlain(const std::filesystem::path& dir, int roundtrips) {
    PlainServer commands(dir / "bench-plain-cmd"), answers(dir / "bench-plain-ans");
    platform::Thread server([&] {
        const int in = commands.Accept(false);
        const int out = answers.Accept(false);
        Echo(in, out, roundtrips);
        ::close(in);
        ::close(out);
    });
    const int send = PlainConnect(dir / "bench-plain-cmd");
    const int recv = PlainConnect(dir / "bench-plain-ans");
    const auto command = EncodeFrame(kCommand);
    std::vector<unsigned char> body;
    std::vector<double> micros;
    for (int i = 0; i < roundtrips; ++i) {
        const auto start = Clock::now();
        if (!WriteAll(send, command.data(), command.size()) || !ReadFrame(recv, body))
            Die("plain round trip");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(send);
    ::close(recv);
    server.join(platform::kInfinite);
    return Median(micros);
}

double LatencyNamedPipe(const std::filesystem::path& dir, int roundtrips) {
    PlainServer commands(dir / "bench-pipe-cmd"), answers(dir / "bench-pipe-ans");
    platform::Thread server([&] {
        const int in = commands.Accept(true);
        const int out = answers.Accept(true);
        Echo(in, out, roundtrips);
        ::close(in);
        ::close(out);
    });
    platform::Event event(platform::Event::Reset::Auto);
    CNamedPipe send, recv;
    if (!send.PipeOpenNamedPipe(PipeName("bench-pipe-cmd").c_str(), 0, false, nullptr, nullptr) ||
        !recv.PipeOpenNamedPipe(PipeName("bench-pipe-ans").c_str(), 0, false, &event, nullptr))
        Die("CNamedPipe open");
    char16_t buffer[256];
    std::vector<double> micros;
    for (int i = 0; i < roundtrips; ++i) {
        const auto start = Clock::now();
        std::uint32_t size = sizeof buffer;
        if (!send.PipeWriteFile(kCommand.c_str()) || !event.wait(10000ms) ||
            recv.PipeReadFile(buffer, &size) == 0)
            Die("CNamedPipe round trip");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    send.PipeCloseHandle();
    recv.PipeCloseHandle();
    server.join(platform::kInfinite);
    return Median(micros);
}

} // namespace

int main(int argc, char** argv) {
    int messages = 200000, roundtrips = 5000, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (value <= 0) {
            std::fprintf(stderr, "pipe_bench: %s needs a positive number\n", arg.c_str());
            return 2;
        }
        if (arg == "--messages")
            messages = value;
        else if (arg == "--roundtrips")
            roundtrips = value;
        else if (arg == "--rounds")
            rounds = value;
        else {
            std::fprintf(stderr,
                         "usage: pipe_bench [--messages N] [--roundtrips M] [--rounds R]\n");
            return 2;
        }
    }
    char pattern[] = "/tmp/orvix-pipe-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        Die("mkdtemp");
    const std::filesystem::path dir = pattern;
    ::setenv("ORVIX_PIPE_DIR", dir.c_str(), 1);

    std::vector<double> plainRate, pipeRate, plainLatency, pipeLatency;
    for (int r = 0; r < rounds; ++r) {
        plainRate.push_back(ThroughputPlain(dir, messages));
        pipeRate.push_back(ThroughputNamedPipe(dir, messages));
        plainLatency.push_back(LatencyPlain(dir, roundtrips));
        pipeLatency.push_back(LatencyNamedPipe(dir, roundtrips));
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);

    // The median round of each.
    const double base = Median(plainRate), ours = Median(pipeRate);
    const double baseLat = Median(plainLatency), ourLat = Median(pipeLatency);
    const double rateRatio = ours / base, latencyRatio = ourLat / baseLat;
    std::printf("throughput: plain reader %.0f msg/s, CNamedPipe %.0f msg/s, ratio %.2f "
                "(goal >= %.1f) %s\n",
                base, ours, rateRatio, kThroughputGoal,
                rateRatio >= kThroughputGoal ? "met" : "MISSED");
    std::printf("latency:    plain reader %.1f us, CNamedPipe %.1f us (median round trip), "
                "ratio %.2f (goal <= %.1f) %s\n",
                baseLat, ourLat, latencyRatio, kLatencyGoal,
                latencyRatio <= kLatencyGoal ? "met" : "MISSED");
    return 0;
}
