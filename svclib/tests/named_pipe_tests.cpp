// CNamedPipe on real sockets: client against server mode, the buffer protocol of PipeReadFile,
// a peer that leaves, and malformed frames from a peer that does not keep to the protocol.
#include "svclib/LibLog.h"
#include "svclib/NamedPipe.h"

#include "platform/fs.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::Event;
using platform::Text;
using platform::Thread;

namespace {

std::string U8(const char16_t* t) {
    return platform::to_utf8(t);
}

std::vector<unsigned char> Frame(const std::vector<unsigned char>& body, std::uint32_t length) {
    std::vector<unsigned char> out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(length >> (8 * i)));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<unsigned char> Utf16Bytes(const Text& text) {
    std::vector<unsigned char> out;
    for (char16_t c : text) {
        out.push_back(static_cast<unsigned char>(c));
        out.push_back(static_cast<unsigned char>(c >> 8));
    }
    return out;
}

class NamedPipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvix-namedpipe-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("ORVIX_PIPE_DIR", (dir_ / "pipes").c_str(), 1);
        ::setenv("ORVIX_COMMON_DOCUMENTS", dir_.c_str(), 1);
    }
    void TearDown() override {
        SetLibLogTarget(nullptr);
        ::unsetenv("ORVIX_PIPE_DIR");
        ::unsetenv("ORVIX_COMMON_DOCUMENTS");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // A raw server end (the platform layer) linked to an asynchronous CNamedPipe client.
    void LinkRaw(platform::PipeEnd& server, CNamedPipe& client, Event& recv) {
        ASSERT_EQ(platform::PipeEnd::create_server(kName, {}, server), 0u);
        int opened = 0;
        Thread t([&] { opened = client.PipeOpenNamedPipe(kName, 0, false, &recv, nullptr); });
        ASSERT_EQ(server.accept(5000ms), 0u);
        ASSERT_TRUE(t.join(5000ms));
        ASSERT_EQ(opened, 1) << std::hex << client.GetLastResult();
    }

    // A synchronous server-mode CNamedPipe linked to a client (asynchronous when `recv`).
    void LinkServer(CNamedPipe& server, CNamedPipe& client, Event* recv,
                    std::uint32_t defaultTimeout = 5000) {
        server.SetDefaultTimeout(defaultTimeout);
        int served = 0;
        Thread t([&] { served = server.PipeOpenNamedPipe(kName, 0, true, nullptr, nullptr); });
        // The server's name appears when its thread created it.
        int opened = 0;
        for (int i = 0; i < 500 && !opened; ++i) {
            opened = client.PipeOpenNamedPipe(kName, 0, false, recv, nullptr);
            if (!opened)
                std::this_thread::sleep_for(2ms);
        }
        ASSERT_EQ(opened, 1) << std::hex << client.GetLastResult();
        ASSERT_TRUE(t.join(5000ms));
        ASSERT_EQ(served, 1);
    }

    static constexpr const char16_t* kName = u"\\\\.\\pipe\\OrvixTestPipe";
    std::filesystem::path dir_;
};

TEST_F(NamedPipeTest, ClientOpenFailures) {
    CNamedPipe client;
    Event recv(Event::Reset::Auto);
    EXPECT_EQ(client.PipeOpenNamedPipe(kName, 0, false, &recv, nullptr), 0);
    EXPECT_EQ(client.GetLastResult(), platform::make_hresult(0x80070002));

    Event connect(Event::Reset::Auto);
    EXPECT_EQ(client.PipeOpenNamedPipe(kName, 0, false, &recv, &connect), 0);
    EXPECT_EQ(client.GetLastResult(), platform::E_INVALIDARG);

    // Server mode without a receive event takes no connect event either.
    CNamedPipe server;
    EXPECT_EQ(server.PipeOpenNamedPipe(kName, 0, true, nullptr, &connect), 0);
    EXPECT_EQ(server.GetLastResult(), platform::E_INVALIDARG);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pipes" / "orvixtestpipe"));
}

TEST_F(NamedPipeTest, BusyPipePastTheServersWait) {
    CNamedPipe server, first, second;
    LinkServer(server, first, nullptr, 200);
    EXPECT_EQ(second.PipeOpenNamedPipe(kName, 0, false, nullptr, nullptr), 0);
    EXPECT_EQ(second.GetLastResult(), platform::make_hresult(0x80070079));
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(NamedPipeTest, MessagesAndTheBufferProtocol) {
    CNamedPipe server, client;
    Event recv(Event::Reset::Auto);
    LinkServer(server, client, &recv);
    EXPECT_FALSE(recv.wait(0ms));

    const Text text = u"CONNECTED\r\n接続\r\n2001:db8::1\r\n\r\n";
    ASSERT_EQ(server.PipeWriteFile(text.c_str()), text.size() * 2);
    ASSERT_TRUE(recv.wait(5000ms));
    char16_t buffer[256] = {};
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(client.PipeReadFile(buffer, &size), text.size() * 2);
    EXPECT_EQ(Text(buffer), text);

    // 600 bytes with room for 512: the size needed, then the message whole.
    const Text big(300, u'm');
    ASSERT_EQ(server.PipeWriteFile(big.c_str()), 600u);
    ASSERT_TRUE(recv.wait(5000ms));
    size = 512;
    EXPECT_EQ(client.PipeReadFile(buffer, &size), 0u);
    EXPECT_EQ(client.GetLastResult(), PIPE_E_MORE_DATA);
    EXPECT_EQ(size, 602u);
    std::vector<char16_t> larger(301, u'?');
    size = 602;
    ASSERT_EQ(client.PipeReadFile(larger.data(), &size), 600u);
    EXPECT_EQ(larger[300], 0);
    EXPECT_EQ(Text(larger.data()), big);

    // The next message arrives through the event again; 255 units fit 512 bytes exactly.
    const Text fits(255, u'f');
    ASSERT_EQ(server.PipeWriteFile(fits.c_str()), 510u);
    ASSERT_TRUE(recv.wait(5000ms));
    size = 512;
    ASSERT_EQ(client.PipeReadFile(buffer, &size), 510u);
    EXPECT_EQ(Text(buffer), fits);

    // An empty text is not written.
    EXPECT_EQ(server.PipeWriteFile(u""), 0u);
    EXPECT_EQ(server.PipeWriteFile(nullptr), 0u);
    EXPECT_FALSE(recv.wait(20ms));

    // Commands the other way, read synchronously by the server.
    const Text command = u"STATUS\r\nconn\r\n\r\n";
    ASSERT_EQ(client.PipeWriteFile(command.c_str()), command.size() * 2);
    size = sizeof buffer;
    ASSERT_EQ(server.PipeReadFile(buffer, &size), command.size() * 2);
    EXPECT_EQ(Text(buffer), command);

    client.PipeCloseHandle();
    client.PipeCloseHandle(); // closing a closed pipe does nothing
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.PipeWriteFile(command.c_str()), 0u);
}

TEST_F(NamedPipeTest, ServerLeavingWhileTheLengthReadIsOutstanding) {
    CNamedPipe server, client;
    Event recv(Event::Reset::Auto);
    LinkServer(server, client, &recv);
    EXPECT_FALSE(recv.wait(20ms));
    server.PipeCloseHandle();
    ASSERT_TRUE(recv.wait(5000ms));
    char16_t buffer[256];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(client.PipeReadFile(buffer, &size), 0u);
    EXPECT_EQ(client.GetLastResult(), PIPE_E_BROKEN);
    EXPECT_EQ(size, 0u);
    // Writing to a pipe the peer left fails with a system error.
    EXPECT_EQ(client.PipeWriteFile(u"x"), 0u);
    EXPECT_EQ(client.GetLastResult(), platform::make_hresult(0x800700E8));
}

TEST_F(NamedPipeTest, AsynchronousServerWithConnectEvent) {
    CNamedPipe server, client;
    Event recv(Event::Reset::Auto), connected(Event::Reset::Auto);
    ASSERT_EQ(server.PipeOpenNamedPipe(kName, 0, true, &recv, &connected), 1);
    EXPECT_EQ(server.GetLastResult(), platform::make_hresult(0x800703E5)); // pending
    EXPECT_FALSE(connected.wait(20ms));
    ASSERT_EQ(client.PipeOpenNamedPipe(kName, 0, false, nullptr, nullptr), 1);
    ASSERT_TRUE(connected.wait(5000ms));
    ASSERT_EQ(server.ReadyRead(), 1);
    ASSERT_GT(client.PipeWriteFile(u"SHUTDOWN\r\ndummy\r\n\r\n"), 0u);
    ASSERT_TRUE(recv.wait(5000ms));
    char16_t buffer[64];
    std::uint32_t size = sizeof buffer;
    ASSERT_GT(server.PipeReadFile(buffer, &size), 0u);
    EXPECT_EQ(U8(buffer), "SHUTDOWN\r\ndummy\r\n\r\n");
    // The client leaves: the server's read learns it.
    client.PipeCloseHandle();
    ASSERT_TRUE(recv.wait(5000ms));
    size = sizeof buffer;
    EXPECT_EQ(server.PipeReadFile(buffer, &size), 0u);
    EXPECT_EQ(server.GetLastResult(), PIPE_E_BROKEN);
}

TEST_F(NamedPipeTest, CancelIoEndsABlockingConnect) {
    CNamedPipe server;
    int served = -1;
    Thread t([&] { served = server.PipeOpenNamedPipe(kName, 0, true, nullptr, nullptr); });
    // Wait until the name exists, then stop the wait for a peer.
    for (int i = 0; i < 500 && !std::filesystem::exists(dir_ / "pipes" / "orvixtestpipe"); ++i)
        std::this_thread::sleep_for(2ms);
    server.CancelIo();
    ASSERT_TRUE(t.join(5000ms));
    EXPECT_EQ(served, 0);
    EXPECT_EQ(server.GetLastResult(), platform::make_hresult(0x800703E3));
    EXPECT_FALSE(server.IsOpen());
}

TEST_F(NamedPipeTest, MalformedFramesFromThePeer) {
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes; // sent by the peer
        bool closeAfter;                  // the peer leaves after sending
        std::uint32_t result;             // PipeReadFile's byte count
        platform::HRESULT lastResult;     // when the count is 0
        Text text;                        // the text read when the count is not 0
    };
    const std::vector<unsigned char> ab = Utf16Bytes(u"AB");
    std::vector<unsigned char> odd = Utf16Bytes(u"ABC");
    odd.pop_back(); // 5 bytes
    std::vector<unsigned char> empties;
    for (int i = 0; i < 3; ++i) {
        const auto e = Frame({}, 0);
        empties.insert(empties.end(), e.begin(), e.end());
    }
    const auto abFrame = Frame(ab, 4);
    empties.insert(empties.end(), abFrame.begin(), abFrame.end());
    const std::vector<unsigned char> surrogates = {0x00, 0xD8, 0x41, 0x00, 0x00, 0xDC};
    const Case cases[] = {
        {"oversized length", Frame({}, CNamedPipe::kMaxMessageBytes + 1), false, 0, PIPE_E_BROKEN,
         u""},
        {"largest length", Frame({}, 0xFFFFFFFFu), false, 0, PIPE_E_BROKEN, u""},
        {"empty frames are skipped", empties, false, 4, 0, u"AB"},
        {"odd byte count", Frame(odd, 5), false, 5, 0, u"AB"},
        {"invalid UTF-16", Frame(surrogates, 6), false, 6, 0, Text{0xD800, u'A', 0xDC00}},
        {"gone in the body", Frame(ab, 10), true, 0, PIPE_E_BROKEN, u""},
        {"gone in the length", {4, 0}, true, 0, PIPE_E_BROKEN, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::PipeEnd server;
        CNamedPipe client;
        Event recv(Event::Reset::Auto);
        LinkRaw(server, client, recv);
        ASSERT_EQ(server.write_all(c.bytes.data(), c.bytes.size(), 1000ms), 0u);
        if (c.closeAfter)
            server.close();
        ASSERT_TRUE(recv.wait(5000ms));
        char16_t buffer[256] = {};
        std::uint32_t size = sizeof buffer;
        EXPECT_EQ(client.PipeReadFile(buffer, &size), c.result);
        if (c.result == 0) {
            EXPECT_EQ(client.GetLastResult(), c.lastResult);
            EXPECT_EQ(size, 0u);
        } else {
            EXPECT_EQ(Text(buffer), c.text);
            // The reader goes on: the next message still arrives.
            const auto next = Frame(Utf16Bytes(u"next"), 8);
            ASSERT_EQ(server.write_all(next.data(), next.size(), 1000ms), 0u);
            ASSERT_TRUE(recv.wait(5000ms));
            size = sizeof buffer;
            EXPECT_EQ(client.PipeReadFile(buffer, &size), 8u);
            EXPECT_EQ(U8(buffer), "next");
        }
        client.PipeCloseHandle();
    }
}

TEST_F(NamedPipeTest, SilentPeer) {
    platform::PipeEnd server;
    CNamedPipe client;
    Event recv(Event::Reset::Auto);
    LinkRaw(server, client, recv);
    EXPECT_FALSE(recv.wait(50ms));
    // Reading without a message reports nothing pending, and the link stays.
    char16_t buffer[8];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(client.PipeReadFile(buffer, &size), 0u);
    EXPECT_NE(client.GetLastResult(), PIPE_E_BROKEN);
    client.PipeCloseHandle();
    EXPECT_EQ(server.peek(), platform::ERROR_BROKEN_PIPE);
}

TEST_F(NamedPipeTest, DetachedReceiveEventIsNotTouched) {
    platform::PipeEnd server;
    CNamedPipe client;
    auto recv = std::make_unique<Event>(Event::Reset::Auto);
    LinkRaw(server, client, *recv);
    client.DetachReceiveEvent();
    recv.reset(); // gone while the pipe stays open
    const auto f = Frame(Utf16Bytes(u"late"), 8);
    ASSERT_EQ(server.write_all(f.data(), f.size(), 1000ms), 0u);
    server.close();
    client.PipeCloseHandle();
}

TEST_F(NamedPipeTest, AMillionTinyFrames) {
    platform::PipeEnd server;
    CNamedPipe client;
    Event recv(Event::Reset::Auto);
    LinkRaw(server, client, recv);
    constexpr int kFrames = 1000000;
    // Written in large pieces by the peer; every frame carries one unit.
    Thread writer([&] {
        std::vector<unsigned char> chunk;
        for (int i = 0; i < 10000; ++i) {
            const unsigned char f[] = {2, 0, 0, 0, static_cast<unsigned char>('a' + i % 26), 0};
            chunk.insert(chunk.end(), std::begin(f), std::end(f));
        }
        for (int n = 0; n < kFrames / 10000; ++n)
            if (server.write_all(chunk.data(), chunk.size(), 10000ms) != 0)
                return;
    });
    int received = 0;
    bool inOrder = true;
    char16_t buffer[8];
    while (received < kFrames) {
        if (!recv.wait(5000ms))
            break;
        std::uint32_t size = sizeof buffer;
        if (client.PipeReadFile(buffer, &size) != 2)
            break;
        inOrder = inOrder && buffer[0] == u'a' + received % 10000 % 26 && buffer[1] == 0;
        ++received;
    }
    ASSERT_TRUE(writer.join(10000ms));
    EXPECT_EQ(received, kFrames);
    EXPECT_TRUE(inOrder);
}

TEST_F(NamedPipeTest, WritesItsLinesToTheLibrarysLogTarget) {
    CLogOutput log;
    log.SetDebugLogOut(1);
    log.SetDebugLevel(0);
    log.SetDebugCategory(LOGCAT_PIPE);
    ASSERT_EQ(log.SetLogPathName(u"pipe.log"), 1);
    SetLibLogTarget(&log);

    CNamedPipe client;
    Event recv(Event::Reset::Auto);
    EXPECT_EQ(client.PipeOpenNamedPipe(kName, 0, false, &recv, nullptr), 0);
    CNamedPipe server, other;
    LinkServer(server, other, nullptr);
    ASSERT_GT(other.PipeWriteFile(u"STATUS\r\nconn\r\n\r\n"), 0u);
    char16_t buffer[8];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(server.PipeReadFile(buffer, &size), 0u); // room for too little
    other.PipeCloseHandle();
    SetLibLogTarget(nullptr);

    std::ifstream in(dir_ / "Orvix" / "pipe.log", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string log8 = platform::to_utf8(platform::utf16le_to_text(raw));
    for (const char* line : {
             "<FD>,<001000>,LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfClient} "
             "[E80070002]WaitNamedPipe error",
             "LIB_PIPE:{CNamedPipe::PipeOpenNamedPipeOfClient} WaitNamedPipe OK",
             "LIB_PIPE:{CNamedPipe::PipeWriteFile} WriteFile (message length = 32Byte)",
             "LIB_PIPE:{CNamedPipe::PipeWriteFile} WriteFile (message  = STATUS\r\nconn\r\n\r\n)",
             "LIB_PIPE:{CNamedPipe::GetLength} ReadFile (message length = 32Byte)",
             "LIB_PIPE:{CNamedPipe::PipeReadFile} insufficint buffer",
             "LIB_PIPE:{CNamedPipe::PipeCloseHandle} Pipe\u3000CloseHandle",
         })
        EXPECT_NE(log8.find(line), std::string::npos) << line;
}

} // namespace
