// Command texts, settings blocks and the splitting of notifications.
#include "svclib/PipeMessage.h"

#include <gtest/gtest.h>

using platform::Text;

namespace {

std::string U8(const Text& t) {
    return platform::to_utf8(t);
}

TEST(PipeMessage, CommandTexts) {
    struct Case {
        std::uint32_t command;
        const char16_t* text;
        std::int32_t flag;
        const char16_t* expected;
    };
    const Case cases[] = {
        {SCCMD_CONNECT, u"conn", -1, u"CONNECT\r\nconn\r\nFORCE\r\n\r\n"},
        {SCCMD_CONNECT, u"conn", 1, u"CONNECT\r\nconn\r\n\r\n"}, // 1 is not VARIANT_TRUE
        {SCCMD_CONNECT, u"conn", 0xFFFF, u"CONNECT\r\nconn\r\nFORCE\r\n\r\n"},
        {SCCMD_CONNECT, u"conn", 0, u"CONNECT\r\nconn\r\n\r\n"},
        {SCCMD_DISCONNECT, u"conn", -1, u"DISCONNECT\r\nconn\r\n\r\n"},
        {SCCMD_STATUS, u"conn", 0, u"STATUS\r\nconn\r\n\r\n"},
        {SCCMD_LOG, u"text", -1, u"LOG\r\ntext\r\nON\r\n\r\n"},
        {SCCMD_LOG, u"text", 1, u"LOG\r\ntext\r\nOFF\r\n\r\n"},
        {SCCMD_ANSWER, u"conn", -1, u"ANSWER\r\nconn\r\nYES\r\n\r\n"},
        {SCCMD_ANSWER, u"conn", 0, u"ANSWER\r\nconn\r\nNO\r\n\r\n"},
        {SCCMD_CONFCHANGE, u"x", -1, u"CONFCHANGE\r\nx\r\n\r\n"},
        {SCCMD_SETCONFUSER, u"a\r\nb", 0, u"SETCONFUSER\r\na\r\nb\r\n\r\n"},
        {SCCMD_SETCONFCONN, u"a\r\nb", 0, u"SETCONFCONN\r\na\r\nb\r\n\r\n"},
        {SCCMD_SHUTDOWN, u"dummy", 0, u"SHUTDOWN\r\ndummy\r\n\r\n"},
        {SCCMD_STATUS, nullptr, 0, u"STATUS\r\n\r\n"},
        {SCCMD_STATUS, u"", 0, u"STATUS\r\n\r\n\r\n"},
        {3, u"conn", -1, u"\r\nconn\r\n\r\n"}, // no such code: empty word
    };
    for (const Case& c : cases) {
        EXPECT_EQ(U8(BuildCommandText(c.command, c.text, c.flag)), U8(c.expected))
            << c.command << " flag " << c.flag;
    }
}

TEST(PipeMessage, SettingsBlocks) {
    SCConnectionSettings conn;
    conn.name = u"接続1";
    conn.user = u"user@example.jp";
    conn.password = u"";
    conn.keepConnect = true;
    conn.v6Conn = false;
    conn.serverCertCheck = true;
    conn.brokerNumber = -3;
    const Text block = BuildConnectionSettingsBlock(conn);
    EXPECT_EQ(U8(block), "接続1\r\nuser@example.jp\r\n\r\nON\r\nOFF\r\nON\r\n-3");

    SCUserSettings user; // no stored position
    user.connSelect = 2;
    user.proxyPort = 8080;
    user.proxyAuth = true;
    user.proxyUser = u"p";
    user.proxyPassword = u"secret";
    const Text ublock = BuildUserSettingsBlock(user);
    EXPECT_EQ(U8(ublock), "2147483647\r\n2147483647\r\n2\r\n\r\n8080\r\nON\r\np\r\nsecret\r\n0");

    // What the service reads back from the command text.
    const SCCommand cc = ParseCommandText(BuildCommandText(SCCMD_SETCONFCONN, block.c_str(), 0));
    EXPECT_EQ(U8(cc.word), "SETCONFCONN");
    SCConnectionSettings back;
    ASSERT_TRUE(ParseConnectionSettingsBlock(cc.fields, back));
    EXPECT_EQ(back.name, conn.name);
    EXPECT_EQ(back.user, conn.user);
    EXPECT_EQ(back.password, conn.password);
    EXPECT_TRUE(back.keepConnect);
    EXPECT_FALSE(back.v6Conn);
    EXPECT_TRUE(back.serverCertCheck);
    EXPECT_EQ(back.brokerNumber, -3);

    const SCCommand uc = ParseCommandText(BuildCommandText(SCCMD_SETCONFUSER, ublock.c_str(), 0));
    SCUserSettings uback;
    ASSERT_TRUE(ParseUserSettingsBlock(uc.fields, uback));
    EXPECT_EQ(uback.x, 2147483647);
    EXPECT_EQ(uback.connSelect, 2);
    EXPECT_TRUE(uback.proxyHost.empty());
    EXPECT_EQ(uback.proxyPort, 8080);
    EXPECT_TRUE(uback.proxyAuth);
    EXPECT_EQ(U8(uback.proxyPassword), "secret");

    // Short or malformed blocks are refused.
    const Text shortBlock[] = {u"a", u"b"};
    EXPECT_FALSE(ParseConnectionSettingsBlock(shortBlock, back));
    std::vector<Text> badPort(uc.fields.begin(), uc.fields.end());
    badPort[4] = u"70000";
    EXPECT_FALSE(ParseUserSettingsBlock(badPort, uback));
    std::vector<Text> badBroker(cc.fields.begin(), cc.fields.end());
    badBroker[6] = u"12x";
    EXPECT_FALSE(ParseConnectionSettingsBlock(badBroker, back));
}

TEST(PipeMessage, NotificationsSplitAtRunsOfLineBreaks) {
    struct Case {
        const char16_t* text;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {u"CONNECTED\r\nconn\r\n2001:db8::1\r\n\r\n", {"CONNECTED", "conn", "2001:db8::1"}},
        {u"CONNECTED\nconn\n2001:db8::1\n", {"CONNECTED", "conn", "2001:db8::1"}},
        {u"CONNECTED\rconn\r2001:db8::1", {"CONNECTED", "conn", "2001:db8::1"}},
        {u"\r\n\r\nCONNECTED\r\n\r\n\n\rconn\r\r\r2001:db8::1\n\n",
         {"CONNECTED", "conn", "2001:db8::1"}},
        {u"INFORMATION\r\nconn\r\n\r\n1018\r\nreason\r\n\r\n",
         {"INFORMATION", "conn", "1018", "reason"}},
        {u"DISCONNECTED\r\nconn\r\n\r\n", {"DISCONNECTED", "conn"}},
        {u"connected\r\nconn\r\n", {"connected", "conn"}},
        {u"  spaced word \r\n", {"  spaced word "}},
        {u"\r\n\r\n", {}},
        {u"", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const Text& t : SplitMessageTokens(c.text))
            got.push_back(U8(t));
        EXPECT_EQ(got, c.tokens) << U8(c.text);
        const auto n = ParseNotification(c.text);
        ASSERT_EQ(n.has_value(), !c.tokens.empty());
        if (n) {
            EXPECT_EQ(U8(n->word), c.tokens[0]);
            EXPECT_EQ(n->args.size(), c.tokens.size() - 1);
        }
    }
    // Unpaired surrogates pass through as they are.
    const char16_t odd[] = {u'Q', u'\r', u'\n', 0xD800, u'x', u'\n', 0xDC00, 0};
    const auto tokens = SplitMessageTokens(odd);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[1][0], 0xD800);
    EXPECT_EQ(tokens[2], Text(1, 0xDC00));
}

TEST(PipeMessage, NotificationTextRoundTrip) {
    const Text args[] = {u"1010", u"issuer", u"subject", u"2020/01/01", u"2030/01/01"};
    const Text text = BuildNotificationText(u"QUERY", u"conn", args);
    EXPECT_EQ(U8(text),
              "QUERY\r\nconn\r\n1010\r\nissuer\r\nsubject\r\n2020/01/01\r\n2030/01/01\r\n\r\n");
    const auto n = ParseNotification(text);
    ASSERT_TRUE(n);
    EXPECT_EQ(U8(n->word), "QUERY");
    ASSERT_EQ(n->args.size(), 6u);
    EXPECT_EQ(U8(n->args[0]), "conn");
    EXPECT_EQ(U8(n->args[5]), "2030/01/01");
}

TEST(PipeMessage, MessageIds) {
    struct Case {
        const char16_t* token;
        std::uint32_t id;
    };
    const Case cases[] = {
        {u"1003", 1003},
        {u"  42", 42},
        {u"+7", 7},
        {u"12abc", 12},
        {u"abc", 0},
        {u"", 0},
        {u"-1", 0xFFFFFFFFu},
        {u"99999999999", 2147483647u},
        {u"-99999999999", 0x80000000u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseMessageId(c.token), c.id) << U8(c.token);
}

TEST(PipeMessage, CommandLinesKeepEmptyFieldsInPlace) {
    struct Case {
        const char16_t* text;
        const char* word;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {u"CONNECT\r\nconn\r\nFORCE\r\n\r\n", "CONNECT", {"conn", "FORCE"}},
        {u"CONNECT\r\nconn\r\n\r\n", "CONNECT", {"conn"}},
        {u"SETCONFCONN\r\nn\r\nu\r\n\r\nON\r\n\r\n", "SETCONFCONN", {"n", "u", "", "ON"}},
        {u"STATUS\nconn\n\n", "STATUS", {"conn"}},
        {u"STATUS\r\nconn", "STATUS", {"conn"}},
        {u"", "", {}},
    };
    for (const Case& c : cases) {
        const SCCommand cmd = ParseCommandText(c.text);
        EXPECT_EQ(U8(cmd.word), c.word);
        std::vector<std::string> fields;
        for (const Text& f : cmd.fields)
            fields.push_back(U8(f));
        EXPECT_EQ(fields, c.fields) << U8(c.text);
    }
}

TEST(PipeMessage, FramesAsTheyTravel) {
    using Bytes = std::vector<unsigned char>;
    // Little-endian byte count, then UTF-16 little-endian units (a surrogate pair stays two).
    EXPECT_EQ(EncodeFrame(u"A\u3042\U0001F600"),
              (Bytes{8, 0, 0, 0, 0x41, 0, 0x42, 0x30, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(EncodeFrame(u""), (Bytes{0, 0, 0, 0}));
    // A count that is not the text's own is sent as given.
    EXPECT_EQ(EncodeFrame(u"A", 0x01020304u), (Bytes{4, 3, 2, 1, 0x41, 0}));
}

} // namespace
