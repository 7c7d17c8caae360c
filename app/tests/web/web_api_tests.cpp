#include "app/web/WebApiClient.h"

#include "WebTestSupport.h"

#include <climits>
#include <functional>
#include <memory>

using namespace std::chrono_literals;
using platform::Text;
using webtest::WebSim;

namespace {

class WebApiTest : public webtest::WebSimSuite {
  protected:
    void SetUp() override {
        WebSimSuite::SetUp();
        std::filesystem::remove(sim_->accounts());
    }

    // A client with short limits, so the misbehaving servers cost little time.
    static CWebApiClient client(const Text& url) {
        CWebApiClient c;
        c.SetServerUrl(url);
        c.SetTimeouts({2s, 1s, 5s});
        return c;
    }
};

// The request as the echo behaviour reports it: request line, agent, body.
struct Echo {
    std::string request_line;
    std::string agent;
    std::string body;
};
Echo parse_echo(const Text& reply) {
    const std::string text = platform::to_utf8(reply);
    Echo e;
    const auto l1 = text.find('\n');
    e.request_line = text.substr(0, l1);
    const auto l2 = text.find('\n', l1 + 1);
    e.agent = text.substr(l1 + 1, l2 - l1 - 1);
    const auto blank = text.find("\n\n");
    e.body = text.substr(blank + 2);
    return e;
}

TEST(WebApiEncoding, EncodesPasswordBytes) {
    const struct {
        const char16_t* value;
        const char16_t* encoded;
    } cases[] = {
        {u"abcXYZ019", u"abcXYZ019"},
        {u"a b", u"a%20b"},
        {u"x.y/z", u"x.y/z"},
        {u"a-b", u"a%2Db"},
        {u"_~[]@&=+%", u"%5F%7E%5B%5D%40%26%3D%2B%25"},
        {u"\u00e9", u"%C3%A9"},
        {u"\u30d1\u30b9", u"%E3%83%91%E3%82%B9"},
        {u"\U0001F600", u"%F0%9F%98%80"},
        {u"", u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CWebApiClient::EncodeValue(c.value), c.encoded) << platform::to_utf8(c.value);
}

TEST_F(WebApiTest, RequestLineQueryBodyAndAgentOfEveryOperation) {
    CWebApiClient c = client(sim_->http("/_/echo/api/"));
    c.SetAccount(u"user&x=y@example.com", u"pa ss.w/rd-\u00e9");
    const struct {
        std::function<int()> call;
        std::string target;
    } cases[] = {
        {[&] { return c.confirmPass(u"a b&c@example.com"); },
         "/_/echo/api/confirmPass.do?email=a%20b&c@example.com"},
        {[&] { return c.confirmAuthUrl(u"u-1@example.com"); },
         "/_/echo/api/confirmAuthUrl.do?email=u-1@example.com"},
        {[&] { return c.createAccount(u"new@example.com", u"p-w d"); },
         "/_/echo/api/createAccount.do?email=new@example.com&password=p%2Dw%20d"},
        {[&] { return c.changePassword(u"n\u00e9w"); },
         "/_/echo/api/changePassword.do?email=user&x=y@example.com&password=pa%20ss.w/"
         "rd%2D%C3%A9&newpassword=n%C3%A9w"},
        {[&] { return c.setFilteringLevel(3); },
         "/_/echo/api/setFilteringLevel.do?email=user&x=y@example.com&password=pa%20ss.w/"
         "rd%2D%C3%A9&filteringlevel=3"},
        {[&] { return c.getProperties(); },
         "/_/echo/api/getProperties.do?email=user&x=y@example.com&password=pa%20ss.w/rd%2D%C3%A9"},
    };
    for (const auto& tc : cases) {
        ASSERT_EQ(tc.call(), 200) << tc.target;
        const Echo e = parse_echo(c.GetReplyText());
        EXPECT_EQ(e.request_line, "GET " + tc.target);
        EXPECT_EQ(e.agent, "User-Agent: Orvix");
        // The query goes out a second time as the body; a space in the user ID is escaped only
        // on the request line, which cannot carry it.
        std::string query = tc.target.substr(tc.target.find('?') + 1);
        if (auto sp = query.find("a%20b"); sp != std::string::npos)
            query.replace(sp, 5, "a b");
        EXPECT_EQ(e.body, query);
    }
    EXPECT_EQ(c.GetErrorText(), u"");
}

TEST_F(WebApiTest, NonAsciiUserIdGoesOutUnencodedInTheBody) {
    CWebApiClient c = client(sim_->http("/_/echo/"));
    ASSERT_EQ(c.confirmPass(u"\u5c71\u7530@example.jp"), 200);
    const Echo e = parse_echo(c.GetReplyText());
    EXPECT_EQ(e.body, "email=\xe5\xb1\xb1\xe7\x94\xb0@example.jp");
    EXPECT_EQ(e.request_line, "GET /_/echo/confirmPass.do?email=%E5%B1%B1%E7%94%B0@example.jp");
}

TEST_F(WebApiTest, LongQueriesAreCut) {
    CWebApiClient c = client(sim_->http("/_/echo/"));
    c.SetAccount(u"u@example.com", Text(600, u'x'));
    ASSERT_EQ(c.getProperties(), 200);
    const Echo e = parse_echo(c.GetReplyText());
    // At most 256 bytes in the body; the reply itself is cut at 1024 bytes.
    EXPECT_EQ(e.body.size(), 256u);
    EXPECT_EQ(e.body.substr(0, 30), "email=u@example.com&password=x");
    // The query in the URL is cut at 512 characters.
    const std::string target = e.request_line.substr(4);
    EXPECT_EQ(target.size() - target.find('?') - 1, 512u);
}

TEST_F(WebApiTest, ReplyShapes) {
    const std::string long_tail(3000, 'L');
    const struct {
        std::string answer; // as written in the answers file
        int code;
        Text reply;
    } cases[] = {
        {"200\\r\\n{\"email\":\"a@b\",\"status\":\"online\"}", 200,
         u"{\"email\":\"a@b\",\"status\":\"online\"}"},
        {"305", 305, u""},
        {"305\\r\\n", 305, u""},
        {"303\\r\\n{\"account\":\"abc\"}", 303, u"{\"account\":\"abc\"}"},
        {"abc\\r\\nxyz", 0, u"xyz"},
        {"  42abc", 42, u""},
        {"-5\\r\\n", -5, u""},
        {"99999999999\\r\\nbig", INT_MAX, u"big"},
        {"", 0, u""},
        {"200\\nonly a line feed", 200, u""},
        {"200\\r\\nfirst\\r\\nsecond", 200, u"first\r\nsecond"},
        {"200\\r\\nab\\x00cd", 200, u"ab"},
        {"200\\r\\n\\xff\\xfe!", 200, u"\ufffd\ufffd!"},
        {"200\\r\\n" + long_tail, 200, Text(CWebApiClient::kMaxReply - 5, u'L')},
    };
    CWebApiClient c = client(sim_->http("/api/"));
    c.SetAccount(u"a@b", u"pw");
    for (const auto& tc : cases) {
        sim_->set_answers("getProperties " + tc.answer + "\n");
        EXPECT_EQ(c.getProperties(), tc.code) << tc.answer;
        EXPECT_EQ(c.GetResult(), tc.code);
        EXPECT_EQ(c.GetReplyText(), tc.reply) << tc.answer;
    }
    EXPECT_EQ(c.GetErrorText(), u"");
}

TEST_F(WebApiTest, HttpStatusOtherThan200Gives998) {
    for (const char* status : {"404", "500", "302", "201"}) {
        CWebApiClient c = client(sim_->http(std::string("/_/status-") + status + "/api/"));
        EXPECT_EQ(c.getProperties(), CWebApiClient::kHttpStatusError) << status;
        EXPECT_EQ(c.GetErrorText(), u"");
    }
    // The provider's own 404 comes with HTTP 200.
    CWebApiClient c = client(sim_->http("/api/"));
    EXPECT_EQ(c.confirmPass(u"x@y"), 404); // the operation's own code, not an HTTP status
    EXPECT_EQ(c.GetReplyText(), u"");
}

TEST_F(WebApiTest, RefusedConnectionGives999AndGrowsTheErrorText) {
    CWebApiClient c = client(
        platform::to_text("http://127.0.0.1:" + std::to_string(webtest::unused_port()) + "/api/"));
    EXPECT_EQ(c.GetResult(), 999); // no answer yet
    EXPECT_EQ(c.getProperties(), CWebApiClient::kTransportError);
    const Text first = c.GetErrorText();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(c.confirmPass(u"a@b"), CWebApiClient::kTransportError);
    EXPECT_GT(c.GetErrorText().size(), first.size());
    EXPECT_EQ(c.GetErrorText().substr(0, first.size()), first);
}

TEST_F(WebApiTest, MalformedServerUrlSendsNothingAndKeepsTheResult) {
    CWebApiClient c = client(sim_->http("/api/"));
    sim_->set_answers("getProperties 305\n");
    ASSERT_EQ(c.getProperties(), 305);
    for (const char16_t* url : {u"127.0.0.1/api/", u"", u"http:127.0.0.1/api/"}) {
        c.SetServerUrl(url);
        EXPECT_EQ(c.getProperties(), 305) << platform::to_utf8(url);
        EXPECT_EQ(c.GetResult(), 305);
    }
    // No "/" after the host: the operation name is glued to the host.
    c.SetServerUrl(u"http://127.0.0.1");
    EXPECT_EQ(c.getProperties(), 305);
    EXPECT_EQ(c.GetErrorText(), u"");
}

TEST_F(WebApiTest, HttpsAcceptsSelfSignedAndExpiredCertificates) {
    CWebApiClient c = client(sim_->https("/api/"));
    EXPECT_EQ(c.createAccount(u"tls@example.com", u"secret-1"), 200);
    c.SetAccount(u"tls@example.com", u"secret-1");
    EXPECT_EQ(c.getProperties(), 200);
    EXPECT_NE(c.GetReplyText().find(u"\"email\":\"tls@example.com\""), Text::npos);

    WebSim expired(true);
    ASSERT_TRUE(expired.running());
    CWebApiClient e = client(expired.https("/_/echo/"));
    EXPECT_EQ(e.confirmPass(u"a@b"), 200) << platform::to_utf8(e.GetErrorText());
    EXPECT_EQ(parse_echo(e.GetReplyText()).request_line, "GET /_/echo/confirmPass.do?email=a@b");
}

TEST_F(WebApiTest, HttpsInTheAddressSelectsTls) {
    // "https" anywhere in the address means a secure request; the plain listener cannot speak
    // TLS, so this fails at the transport.
    CWebApiClient c = client(sim_->http("/https/"));
    EXPECT_EQ(c.getProperties(), CWebApiClient::kTransportError);
}

TEST_F(WebApiTest, MisbehavingServersGiveACodeInBoundedTime) {
    const struct {
        std::string prefix;
        int code;
        Text reply;
    } cases[] = {
        {"/_/hang/", 999, u""},
        {"/_/drop/", 999, u""},
        {"/_/lie-long/", 999, u""},
        {"/_/stall/", 999, u""},
        {"/_/redirect-loop/", 999, u""},
        {"/_/huge/", 200, Text(CWebApiClient::kMaxReply - 5, u'#')},
        {"/_/endless/", 200, Text(CWebApiClient::kMaxReply - 5, u'#')},
        {"/_/lie-short/", 305, u""},
        {"/_/slow-6000/", 999, u""}, // beyond the idle limit
        {"/_/slow-300/_/status-404/", 998, u""},
    };
    for (const auto& tc : cases) {
        CWebApiClient c = client(sim_->http(tc.prefix));
        EXPECT_EQ(c.getProperties(), tc.code) << tc.prefix;
        EXPECT_EQ(c.GetReplyText(), tc.reply) << tc.prefix;
        EXPECT_EQ(c.GetErrorText().empty(), tc.code != 999) << tc.prefix;
    }
    // A server that accepts connections and never says a word.
    CWebApiClient silent = client(sim_->silent("/api/"));
    EXPECT_EQ(silent.getProperties(), 999);
}

TEST_F(WebApiTest, RedirectsAreFollowed) {
    CWebApiClient c = client(sim_->http("/_/redirect/_/echo/api/"));
    ASSERT_EQ(c.confirmPass(u"r@example.com"), 200);
    EXPECT_EQ(parse_echo(c.GetReplyText()).request_line,
              "GET /_/echo/api/confirmPass.do?email=r@example.com");
}

TEST_F(WebApiTest, AccountLifecycleAgainstTheStore) {
    CWebApiClient c = client(sim_->http("/api/"));
    const Text user = u"life+1@example.com";
    const Text password = u"p a-\u00df/.~";
    EXPECT_EQ(c.createAccount(u"no-at-sign", password), 305);
    EXPECT_EQ(c.createAccount(user, u"short"), 320);
    EXPECT_EQ(c.createAccount(user, password), 200);
    EXPECT_EQ(c.createAccount(user, password), 301); // not yet confirmed
    EXPECT_EQ(c.confirmAuthUrl(user), 200);
    EXPECT_EQ(c.createAccount(user, password), 302);
    EXPECT_EQ(c.confirmPass(user), 200);
    EXPECT_EQ(c.confirmPass(u"nobody@example.com"), 404);

    c.SetAccount(user, u"wrong-password");
    EXPECT_EQ(c.getProperties(), 403);
    c.SetAccount(user, password);
    ASSERT_EQ(c.getProperties(), 200);
    EXPECT_NE(c.GetReplyText().find(u"\"confirmed\":\"true\""), Text::npos);

    EXPECT_EQ(c.setFilteringLevel(2), 200);
    EXPECT_EQ(c.setFilteringLevel(7), 400);
    ASSERT_EQ(c.getProperties(), 200);
    EXPECT_NE(c.GetReplyText().find(u"\"filteringlevel\":\"2\""), Text::npos);

    EXPECT_EQ(c.changePassword(u"new \u30d1\u30b9\u30ef\u30fc\u30c9"), 200);
    EXPECT_EQ(c.getProperties(), 403);
    c.SetAccount(user, u"new \u30d1\u30b9\u30ef\u30fc\u30c9");
    EXPECT_EQ(c.getProperties(), 200);
}

} // namespace
