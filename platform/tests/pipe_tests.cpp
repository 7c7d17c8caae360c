// Named pipe ends on real sockets: names, the busy and missing pipe results, the handshake,
// synchronous and asynchronous frame reads, and the ways a peer can go away.
#include "platform/pipe.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

class PipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvix-pipe-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("ORVIX_PIPE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ORVIX_PIPE_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    static PipeServerSettings settings(unsigned instances = 255, Milliseconds wait = 5000ms) {
        PipeServerSettings s;
        s.max_instances = instances;
        s.default_timeout = wait;
        return s;
    }

    // Connects a client to `server` (which must be listening) and takes it on the server side.
    static void link(PipeEnd& server, PipeEnd& client, const Text& name) {
        std::uint32_t client_result = ERROR_GEN_FAILURE;
        Thread t([&] { client_result = PipeEnd::connect(name, 5000ms, client); });
        ASSERT_EQ(server.accept(5000ms), ERROR_SUCCESS);
        ASSERT_TRUE(t.join(5000ms));
        ASSERT_EQ(client_result, ERROR_SUCCESS);
    }

    static std::vector<unsigned char> frame(const std::string& body) {
        std::vector<unsigned char> out(4 + body.size());
        const auto n = static_cast<std::uint32_t>(body.size());
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<unsigned char>(n >> (8 * i));
        std::memcpy(out.data() + 4, body.data(), body.size());
        return out;
    }

    std::filesystem::path dir_;
};

// The asynchronous length read in both of its forms: the kernel's readiness poll and the end's
// own thread.
class AsyncPipeTest : public PipeTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        PipeTest::SetUp();
        if (GetParam())
            ::setenv("ORVIX_PIPE_THREADED", "1", 1);
    }
    void TearDown() override {
        ::unsetenv("ORVIX_PIPE_THREADED");
        PipeTest::TearDown();
    }
};
INSTANTIATE_TEST_SUITE_P(Waits, AsyncPipeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Thread" : "KernelPoll"; });

TEST_F(PipeTest, NamesMapToSocketsInThePipeFolder) {
    struct Case {
        const char16_t* name;
        const char* file; // nullptr: invalid
    };
    const Case cases[] = {
        {u"\\\\.\\pipe\\OrvixSend", "orvixsend"},
        {u"\\\\.\\PIPE\\a.b-c_d", "a.b-c_d"},
        {u"\\\\.\\pipe\\", nullptr},
        {u"\\\\.\\pipe\\a\\b", nullptr},
        {u"\\\\.\\pipe\\a/b", nullptr},
        {u"\\\\.\\pipe\\..", nullptr},
        {u"pipe\\x", nullptr},
        {u"\\\\server\\pipe\\x", nullptr},
    };
    for (const Case& c : cases) {
        std::uint32_t error = 0;
        const auto path = pipe_socket_path(c.name, &error);
        if (c.file) {
            ASSERT_TRUE(path.has_value()) << utf16_to_utf8(c.name);
            EXPECT_EQ(*path, dir_ / c.file);
            EXPECT_EQ(error, ERROR_SUCCESS);
        } else {
            EXPECT_FALSE(path.has_value()) << utf16_to_utf8(c.name);
            EXPECT_EQ(error, ERROR_INVALID_NAME);
        }
    }
    const Text too_long = u"\\\\.\\pipe\\" + Text(200, u'x');
    EXPECT_FALSE(pipe_socket_path(too_long).has_value());
}

TEST_F(PipeTest, MissingPipeIsFileNotFound) {
    PipeEnd client;
    EXPECT_EQ(PipeEnd::connect(u"\\\\.\\pipe\\nobody", kPipeUseDefaultWait, client),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(client.is_open());

    // A socket file left behind by a server that is gone counts as no pipe as well.
    const auto stale = dir_ / "stale";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    EXPECT_EQ(PipeEnd::connect(u"\\\\.\\pipe\\stale", kPipeUseDefaultWait, client),
              ERROR_FILE_NOT_FOUND);

    // A server can take over that name.
    PipeEnd server;
    EXPECT_EQ(PipeEnd::create_server(u"\\\\.\\pipe\\stale", settings(), server), ERROR_SUCCESS);
}

TEST_F(PipeTest, FramesTravelBothWaysAfterTheHandshake) {
    const Text name = u"\\\\.\\pipe\\both";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    ASSERT_TRUE(server.is_server());
    ASSERT_FALSE(server.is_connected());
    link(server, client, name);
    EXPECT_TRUE(server.is_connected());
    EXPECT_EQ(server.accept(10ms), ERROR_PIPE_CONNECTED);

    bool available = true;
    EXPECT_EQ(client.peek(&available), ERROR_SUCCESS);
    EXPECT_FALSE(available); // nothing but frames after the handshake

    const auto f = frame("hello");
    ASSERT_EQ(server.write_all(f.data(), f.size(), 1000ms), ERROR_SUCCESS);
    std::uint32_t length = 0;
    ASSERT_EQ(client.read_frame_length(length, 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(length, 5u);
    char body[5];
    ASSERT_EQ(client.read_exact(body, 5, 1000ms), ERROR_SUCCESS);
    EXPECT_EQ(std::string(body, 5), "hello");

    const auto g = frame("up");
    ASSERT_EQ(client.write_all(g.data(), g.size(), 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(server.read_frame_length(length, 1000ms), ERROR_SUCCESS);
    EXPECT_EQ(length, 2u);

    // Nothing more: a bounded read times out, with what it got so far reported.
    std::size_t transferred = 99;
    bool waited = false;
    EXPECT_EQ(server.read_exact(body, 3, 50ms, &transferred, &waited), WAIT_TIMEOUT);
    EXPECT_EQ(transferred, 2u);
    EXPECT_TRUE(waited);
}

TEST_F(PipeTest, BusyPipeTimesOutWithTheServersDefaultWait) {
    const Text name = u"\\\\.\\pipe\\busy";
    PipeEnd server, first, second;
    ASSERT_EQ(PipeEnd::create_server(name, settings(1, 200ms), server), ERROR_SUCCESS);
    link(server, first, name);
    // The only instance is taken: a second client waits the default 200 ms and gives up.
    EXPECT_EQ(PipeEnd::connect(name, kPipeUseDefaultWait, second), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(hresult_from_system(ERROR_SEM_TIMEOUT), make_hresult(0x80070079));
    // No more instances may be created.
    PipeEnd extra;
    EXPECT_EQ(PipeEnd::create_server(name, settings(1, 200ms), extra), ERROR_PIPE_BUSY);

    // The server serves the next client after the first left: the waiting client that gave up
    // is skipped, one that still waits is taken.
    std::uint32_t third_result = ERROR_GEN_FAILURE;
    PipeEnd third;
    Thread t([&] { third_result = PipeEnd::connect(name, 5000ms, third); });
    first.close();
    server.disconnect();
    ASSERT_EQ(server.accept(5000ms), ERROR_SUCCESS);
    ASSERT_TRUE(t.join(5000ms));
    EXPECT_EQ(third_result, ERROR_SUCCESS);
    const auto f = frame("x");
    ASSERT_EQ(server.write_all(f.data(), f.size(), 1000ms), ERROR_SUCCESS);
    std::uint32_t length = 0;
    EXPECT_EQ(third.read_frame_length(length, 1000ms), ERROR_SUCCESS);
}

TEST_F(PipeTest, NameLivesAsLongAsAnInstance) {
    const Text name = u"\\\\.\\pipe\\life";
    PipeEnd a, b, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(2), a), ERROR_SUCCESS);
    ASSERT_TRUE(std::filesystem::exists(dir_ / "life"));
    ASSERT_EQ(PipeEnd::create_server(name, settings(2), b), ERROR_SUCCESS);
    a.close();
    EXPECT_TRUE(std::filesystem::exists(dir_ / "life"));
    link(b, client, name);
    b.close();
    EXPECT_FALSE(std::filesystem::exists(dir_ / "life"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "life.lock"));
    EXPECT_EQ(PipeEnd::connect(name, 100ms, client), ERROR_FILE_NOT_FOUND);
}

TEST_F(PipeTest, NameServedElsewhereIsRefused) {
    const Text name = u"\\\\.\\pipe\\taken";
    // Another server holds the name's lock file (a lock of another open file description is as
    // good as another process).
    const int fd = ::open((dir_ / "taken.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    PipeEnd server;
    EXPECT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_ACCESS_DENIED);
    ::close(fd);
    EXPECT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
}

TEST_F(PipeTest, AsynchronousAcceptSignalsItsEvent) {
    const Text name = u"\\\\.\\pipe\\async-accept";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    Event connected(Event::Reset::Auto);
    ASSERT_EQ(server.start_accept(connected), ERROR_IO_PENDING);
    EXPECT_TRUE(server.async_pending());
    EXPECT_EQ(server.async_result(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(connected.wait(20ms));
    ASSERT_EQ(PipeEnd::connect(name, 5000ms, client), ERROR_SUCCESS);
    ASSERT_TRUE(connected.wait(5000ms));
    EXPECT_EQ(server.async_result(), ERROR_SUCCESS);
    EXPECT_TRUE(server.is_connected());
}

TEST_P(AsyncPipeTest, AsynchronousLengthReadSignalsItsEvent) {
    const Text name = u"\\\\.\\pipe\\async-length";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    link(server, client, name);
    Event arrived(Event::Reset::Auto);

    // Pending: the end's thread completes it.
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
    EXPECT_EQ(client.async_result(), ERROR_IO_INCOMPLETE);
    char buffer[16];
    EXPECT_EQ(client.read_exact(buffer, 1, 10ms), ERROR_BUSY);
    const auto f = frame("abcd");
    ASSERT_EQ(server.write_all(f.data(), f.size(), 1000ms), ERROR_SUCCESS);
    ASSERT_TRUE(arrived.wait(5000ms));
    std::uint32_t length = 0;
    std::size_t transferred = 0;
    ASSERT_EQ(client.async_result(&length, &transferred), ERROR_SUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(transferred, 4u);
    ASSERT_EQ(client.read_exact(buffer, 4, 1000ms), ERROR_SUCCESS);

    // Already received ahead (two frames came in one piece): completes at once and still
    // signals.
    std::vector<unsigned char> two = f;
    two.insert(two.end(), f.begin(), f.end());
    ASSERT_EQ(server.write_all(two.data(), two.size(), 1000ms), ERROR_SUCCESS);
    const std::uint32_t first = client.start_frame_length_read(arrived);
    ASSERT_TRUE(first == ERROR_IO_PENDING || first == ERROR_SUCCESS) << first;
    ASSERT_TRUE(arrived.wait(5000ms));
    ASSERT_EQ(client.async_result(&length), ERROR_SUCCESS);
    ASSERT_EQ(client.read_exact(buffer, 4, 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_SUCCESS);
    EXPECT_TRUE(arrived.wait(0ms));
    ASSERT_EQ(client.async_result(&length), ERROR_SUCCESS);
    EXPECT_EQ(length, 4u);
}

TEST_P(AsyncPipeTest, EmptyFramesAreSkippedAndCounted) {
    const Text name = u"\\\\.\\pipe\\empty";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    link(server, client, name);
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 3; ++i) {
        const auto e = frame("");
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    const auto f = frame("zz");
    bytes.insert(bytes.end(), f.begin(), f.end());
    ASSERT_EQ(server.write_all(bytes.data(), bytes.size(), 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(server.write_all(bytes.data(), bytes.size(), 1000ms), ERROR_SUCCESS);

    std::uint32_t length = 0;
    ASSERT_EQ(client.read_frame_length(length, 1000ms), ERROR_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(client.empty_frames(), 3u);
    char body[2];
    ASSERT_EQ(client.read_exact(body, 2, 1000ms), ERROR_SUCCESS);

    Event arrived(Event::Reset::Auto);
    const std::uint32_t started = client.start_frame_length_read(arrived);
    ASSERT_TRUE(started == ERROR_SUCCESS || started == ERROR_IO_PENDING);
    ASSERT_TRUE(arrived.wait(5000ms));
    ASSERT_EQ(client.async_result(&length), ERROR_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(client.empty_frames(), 6u);
}

TEST_P(AsyncPipeTest, PeerLeavingEndsReadsAndWrites) {
    const Text name = u"\\\\.\\pipe\\leave";
    struct Case {
        const char* what;
        std::vector<unsigned char> before_close; // bytes the server sends, then closes
        std::size_t transferred;                 // length bytes the client sees
    };
    const Case cases[] = {
        {"idle", {}, 0},
        {"mid-length", {7, 0}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PipeEnd server, client;
        ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
        link(server, client, name);
        Event arrived(Event::Reset::Auto);
        ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
        if (!c.before_close.empty()) {
            ASSERT_EQ(server.write_all(c.before_close.data(), c.before_close.size(), 1000ms),
                      ERROR_SUCCESS);
        }
        server.close();
        ASSERT_TRUE(arrived.wait(5000ms));
        std::size_t transferred = 99;
        EXPECT_EQ(client.async_result(nullptr, &transferred), ERROR_BROKEN_PIPE);
        EXPECT_EQ(transferred, c.transferred);
        EXPECT_EQ(client.peek(), ERROR_BROKEN_PIPE);
        const auto f = frame("x");
        EXPECT_EQ(client.write_all(f.data(), f.size(), 1000ms), ERROR_NO_DATA);
    }

    // A peer that leaves in the middle of a body.
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    link(server, client, name);
    auto f = frame("0123456789");
    ASSERT_EQ(server.write_all(f.data(), 8, 1000ms), ERROR_SUCCESS);
    server.close();
    std::uint32_t length = 0;
    ASSERT_EQ(client.read_frame_length(length, 1000ms), ERROR_SUCCESS);
    char body[10];
    std::size_t transferred = 0;
    EXPECT_EQ(client.read_exact(body, 10, 1000ms, &transferred), ERROR_BROKEN_PIPE);
    EXPECT_EQ(transferred, 4u);
}

TEST_P(AsyncPipeTest, CancelAsyncForgetsTheEvent) {
    const Text name = u"\\\\.\\pipe\\forget";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    link(server, client, name);
    {
        auto arrived = std::make_unique<Event>(Event::Reset::Auto);
        ASSERT_EQ(client.start_frame_length_read(*arrived), ERROR_IO_PENDING);
        client.cancel_async();
        EXPECT_FALSE(client.async_pending());
        EXPECT_EQ(client.async_result(), ERROR_OPERATION_ABORTED);
        arrived.reset(); // the end must not touch it any more (the sanitizer build checks)
    }
    const auto f = frame("late");
    ASSERT_EQ(server.write_all(f.data(), f.size(), 1000ms), ERROR_SUCCESS);
    // The frame is still whole for the next read.
    std::uint32_t length = 0;
    ASSERT_EQ(client.read_frame_length(length, 1000ms), ERROR_SUCCESS);
    EXPECT_EQ(length, 4u);
    char body[4];
    ASSERT_EQ(client.read_exact(body, 4, 1000ms), ERROR_SUCCESS);

    // close() with an operation running stops it too (its event may be signalled once, as a
    // cancelled overlapped read's is).
    Event arrived(Event::Reset::Auto);
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
    client.close();
    EXPECT_FALSE(client.is_open());
    EXPECT_FALSE(client.async_pending());
}

TEST_F(PipeTest, LengthSplitByThePeer) {
    const Text name = u"\\\\.\\pipe\\split";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    link(server, client, name);
    Event arrived(Event::Reset::Auto);
    const unsigned char head[] = {3, 0}, tail[] = {0, 0, 'a', 'b', 'c'};

    // Collected without a wait: still pending, and the event fires again when the rest came.
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
    ASSERT_EQ(server.write_all(head, 2, 1000ms), ERROR_SUCCESS);
    ASSERT_TRUE(arrived.wait(5000ms));
    EXPECT_EQ(client.async_result(), ERROR_IO_INCOMPLETE);
    EXPECT_TRUE(client.async_pending());
    ASSERT_EQ(server.write_all(tail, 2, 1000ms), ERROR_SUCCESS);
    ASSERT_TRUE(arrived.wait(5000ms));
    std::uint32_t length = 0;
    ASSERT_EQ(client.async_result(&length), ERROR_SUCCESS);
    EXPECT_EQ(length, 3u);
    char body[3];
    ASSERT_EQ(server.write_all(tail + 2, 3, 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(client.read_exact(body, 3, 1000ms), ERROR_SUCCESS);

    // Collected with a wait: the rest is waited for.
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
    ASSERT_EQ(server.write_all(head, 2, 1000ms), ERROR_SUCCESS);
    ASSERT_TRUE(arrived.wait(5000ms));
    Thread rest([&] {
        std::this_thread::sleep_for(20ms);
        server.write_all(tail, 2, 1000ms);
    });
    ASSERT_EQ(client.async_result(&length, nullptr, 5000ms), ERROR_SUCCESS);
    EXPECT_EQ(length, 3u);
    ASSERT_TRUE(rest.join(5000ms));

    // A rest that does not come in time.
    ASSERT_EQ(server.write_all(tail + 2, 3, 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(client.read_exact(body, 3, 1000ms), ERROR_SUCCESS);
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
    ASSERT_EQ(server.write_all(head, 2, 1000ms), ERROR_SUCCESS);
    ASSERT_TRUE(arrived.wait(5000ms));
    EXPECT_EQ(client.async_result(&length, nullptr, 30ms), WAIT_TIMEOUT);
    EXPECT_FALSE(client.async_pending());
}

TEST_P(AsyncPipeTest, CancelEndsAPendingLengthRead) {
    const Text name = u"\\\\.\\pipe\\cancel-read";
    PipeEnd server, client;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    link(server, client, name);
    Event arrived(Event::Reset::Auto);
    ASSERT_EQ(client.start_frame_length_read(arrived), ERROR_IO_PENDING);
    Thread t([&] { client.cancel(); });
    ASSERT_TRUE(arrived.wait(5000ms));
    ASSERT_TRUE(t.join(5000ms));
    EXPECT_EQ(client.async_result(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(client.async_pending());
}

TEST_F(PipeTest, CancelEndsWaitsOfOtherThreads) {
    const Text name = u"\\\\.\\pipe\\cancel";
    PipeEnd server;
    ASSERT_EQ(PipeEnd::create_server(name, settings(), server), ERROR_SUCCESS);
    std::atomic<std::uint32_t> result{ERROR_GEN_FAILURE};
    Thread t([&] { result = server.accept(kInfinite); });
    std::this_thread::sleep_for(20ms);
    server.cancel();
    ASSERT_TRUE(t.join(5000ms));
    EXPECT_EQ(result.load(), ERROR_OPERATION_ABORTED);
    // An asynchronous operation of a cancelled end completes at once, aborted, and signals.
    Event done(Event::Reset::Auto);
    server.start_accept(done);
    EXPECT_TRUE(done.wait(1000ms));
    EXPECT_EQ(server.async_result(), ERROR_OPERATION_ABORTED);
}

TEST_F(PipeTest, ClosedEndsReportInvalidHandle) {
    PipeEnd end;
    char b;
    std::uint32_t length = 0;
    Event e(Event::Reset::Auto);
    EXPECT_FALSE(end.is_open());
    EXPECT_EQ(end.read_exact(&b, 1, 10ms), ERROR_INVALID_HANDLE);
    EXPECT_EQ(end.write_all(&b, 1, 10ms), ERROR_INVALID_HANDLE);
    EXPECT_EQ(end.peek(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(end.read_frame_length(length, 10ms), ERROR_INVALID_HANDLE);
    EXPECT_EQ(end.start_frame_length_read(e), ERROR_INVALID_HANDLE);
    EXPECT_EQ(end.accept(10ms), ERROR_INVALID_HANDLE);
    end.close(); // closing twice is harmless
}

} // namespace
