// OrvixService against peers that do not keep to the protocol: it drops what it cannot use,
// keeps running and serves the next library.
#include "ServiceFixture.h"

#include "platform/pipe.h"

namespace {

class ServiceBadInputTest : public ServiceFixture {
  protected:
    // A library whose send pipe is a raw end that writes whatever bytes it is given.
    struct RawLibrary {
        platform::PipeEnd send;
        Event event{Event::Reset::Auto};
        CNamedPipe recv;
    };
    void OpenRaw(RawLibrary& lib) {
        ASSERT_EQ(platform::PipeEnd::connect(SendPipe(), 2000ms, lib.send), 0u);
        ASSERT_EQ(lib.recv.PipeOpenNamedPipe(RecvPipe().c_str(), 0, false, &lib.event, nullptr), 1);
    }
    void Write(RawLibrary& lib, const std::vector<unsigned char>& bytes) {
        ASSERT_EQ(lib.send.write_all(bytes.data(), bytes.size(), 5000ms), 0u);
    }
    // The word of the next notification.
    std::string NextWord(RawLibrary& lib) {
        if (!lib.event.wait(5000ms))
            return "(nothing)";
        const auto text = ReadOne(lib.recv);
        if (!text)
            return "(broken)";
        const auto n = ParseNotification(*text);
        return n ? U8(n->word) + (n->args.empty() ? "" : " " + U8(n->args[0])) : "(empty)";
    }
    // A well-behaved library is served (the service survived whatever came before).
    void ExpectServed() {
        Library lib;
        ASSERT_EQ(lib.Open(SendPipe(), RecvPipe()), 0);
        ASSERT_TRUE(lib.Command(SCCMD_STATUS, u"office"));
        const auto n = lib.Next();
        ASSERT_TRUE(n);
        EXPECT_EQ(U8(n->word), "DISCONNECTED");
        lib.Close();
    }
};

TEST_F(ServiceBadInputTest, MalformedCommandsAreDropped) {
    Start();
    RawLibrary lib;
    OpenRaw(lib);
    std::vector<unsigned char> bytes;
    auto add = [&](const std::vector<unsigned char>& f) {
        bytes.insert(bytes.end(), f.begin(), f.end());
    };
    add(EncodeFrame(u"", 0)); // empty frames
    add(EncodeFrame(u"", 0));
    add(EncodeFrame(u"\r\n\r\n"));                           // no word
    add(EncodeFrame(u"connect\r\noffice\r\n\r\n"));          // words are upper case
    add(EncodeFrame(u"CONNECT\r\n\r\n"));                    // no name
    add(EncodeFrame(u"SETCONFCONN\r\nonly\r\ntwo\r\n\r\n")); // a short block
    add(EncodeFrame(u"SETCONFUSER\r\nx\r\ny\r\n1\r\n\r\n1\r\nON\r\n\r\n\r\n0\r\n\r\n"));
    add(EncodeFrame(Text{u'S', u'T', u'A', u'T', u'U', u'S', u'\r', u'\n', 0xDC00, u'\r', u'\n'}));
    Write(lib, bytes);
    // An odd byte count: the stray byte is dropped, the command stands.
    std::vector<unsigned char> odd = EncodeFrame(u"STATUS\r\noffice\r\n\r\n");
    odd.push_back('!');
    odd[0] = static_cast<unsigned char>(odd[0] + 1);
    Write(lib, odd);
    EXPECT_EQ(NextWord(lib), "DISCONNECTED \xef\xbf\xbd"); // the name with a lone surrogate
    EXPECT_EQ(NextWord(lib), "DISCONNECTED office");
    // Many tiny frames in a row.
    bytes.clear();
    for (int i = 0; i < 20000; ++i)
        add(EncodeFrame(u"X"));
    add(EncodeFrame(u"STATUS\r\noffice\r\n\r\n"));
    Write(lib, bytes);
    EXPECT_EQ(NextWord(lib), "DISCONNECTED office");
    const std::string state = Control(u"state");
    EXPECT_NE(state.find("library command notification"), std::string::npos) << state;
}

TEST_F(ServiceBadInputTest, BrokenFramesEndTheSessionOnly) {
    Start({}, 3000);
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        bool leave; // the peer closes after the bytes
    };
    std::vector<unsigned char> cut = EncodeFrame(u"STATUS\r\noffice\r\n\r\n");
    cut.resize(cut.size() / 2);
    const Case cases[] = {
        {"cut in the body", cut, true},
        {"cut in the length", {9, 0}, true},
        {"announcing more than a megabyte", EncodeFrame(u"", 2 * 1024 * 1024), false},
        {"announcing 4 GiB", EncodeFrame(u"", 0xFFFFFFFFu), false},
        {"silent and leaving", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            RawLibrary lib;
            OpenRaw(lib);
            if (!c.bytes.empty())
                Write(lib, c.bytes);
            if (c.leave)
                lib.send.close();
            // The service closes the session: the library's receive pipe breaks.
            EXPECT_EQ(NextWord(lib), "(broken)");
        }
        ExpectServed();
    }
}

TEST_F(ServiceBadInputTest, HalfOpenSessionDoesNotBlockTheControlPipe) {
    Start({}, 3000);
    platform::PipeEnd onlySend;
    ASSERT_EQ(platform::PipeEnd::connect(SendPipe(), 2000ms, onlySend), 0u);
    EXPECT_EQ(Control(u"ping"), "OK");
    EXPECT_NE(Control(u"state").find("library command -"), std::string::npos);
    onlySend.close();
    ExpectServed();
}

} // namespace
