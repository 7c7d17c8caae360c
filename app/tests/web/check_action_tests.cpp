#include "app/web/CheckAction.h"

#include "WebTestSupport.h"

#include <memory>

using namespace std::chrono_literals;
using platform::Text;
using webtest::WebSim;

namespace {

class CheckActionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sim_ = std::make_unique<WebSim>(); }
    static void TearDownTestSuite() { sim_.reset(); }
    void SetUp() override { ASSERT_TRUE(sim_->running()); }

    static int probe(const Text& url) {
        HTTPCheckAction action(u"tray", u"CtrlServer", url);
        action.SetTimeouts({2s, 1s, 5s});
        EXPECT_EQ(action.GetResult(), 1); // failed until a check succeeded
        action.Check();
        return action.GetResult();
    }

    static std::unique_ptr<WebSim> sim_;
};
std::unique_ptr<WebSim> CheckActionTest::sim_;

// A check of our own, to see the base class's texts.
class FixedCheck : public CheckAction {
  public:
    using CheckAction::CheckAction;
    void Check() override { m_nResult = 0; }
};

TEST(CheckActionTexts, BaseAndHttpTexts) {
    FixedCheck fixed(u"settings", u"Key");
    EXPECT_EQ(fixed.GetDescription(), u"settings");
    EXPECT_EQ(fixed.GetResultText(), u"Key=1");
    fixed.Check();
    EXPECT_EQ(fixed.GetResultText(), u"Key=0");

    HTTPCheckAction http(u"settings", u"CtrlServer", u"http://ctrl.example/api/");
    EXPECT_EQ(http.GetDescription(), u"settings to http://ctrl.example/api/");
    EXPECT_EQ(http.GetResultText(), u"CtrlServer=1&CtrlServer_URL=http://ctrl.example/api/");
    CheckAction& base = http;
    EXPECT_EQ(base.GetResultText(), u"CtrlServer=1&CtrlServer_URL=http://ctrl.example/api/");
}

TEST_F(CheckActionTest, AnyAnswerCounts) {
    for (const std::string path : {"/api/", "/_/status-404/", "/_/status-500/", "/_/redirect-loop/",
                                   "/_/huge/", "/_/endless/"}) {
        EXPECT_EQ(probe(sim_->http(path)), 0) << path;
    }
    EXPECT_EQ(probe(sim_->https("/api/")), 0);
    WebSim expired(true);
    ASSERT_TRUE(expired.running());
    EXPECT_EQ(probe(expired.https("/api/")), 0);
}

TEST_F(CheckActionTest, SendsAnEmptyPostWithItsOwnAgent) {
    HTTPCheckAction action(u"tray", u"CtrlServer", sim_->http("/_/echo/api/"));
    action.Check();
    ASSERT_EQ(action.GetResult(), 0);
    EXPECT_EQ(action.GetStatusCode(), 200);
    const std::string& headers = action.GetRawHeaders();
    EXPECT_NE(headers.find("X-Echo-Method: POST"), std::string::npos) << headers;
    EXPECT_NE(headers.find("X-Echo-Target: /_/echo/api/"), std::string::npos);
    EXPECT_NE(headers.find("X-Echo-Agent: OrvixClient"), std::string::npos);
    EXPECT_NE(headers.find("X-Echo-Length: 0"), std::string::npos);
    EXPECT_EQ(action.GetResultText(), u"CtrlServer=0&CtrlServer_URL=" + sim_->http("/_/echo/api/"));
}

TEST_F(CheckActionTest, NoAnswerFails) {
    const Text dead =
        platform::to_text("http://127.0.0.1:" + std::to_string(webtest::unused_port()) + "/api/");
    EXPECT_EQ(probe(dead), 1);
    EXPECT_EQ(probe(sim_->silent("/api/")), 1);
    EXPECT_EQ(probe(sim_->http("/_/hang/")), 1);
    EXPECT_EQ(probe(sim_->http("/_/drop/")), 1);
    // Addresses that cannot be split are not tried.
    EXPECT_EQ(probe(u"127.0.0.1/api/"), 1);
    EXPECT_EQ(probe(sim_->http("")), 1); // no "/" after the host
}

TEST_F(CheckActionTest, AResultIsKeptPerRun) {
    HTTPCheckAction action(u"tray", u"CtrlServer", sim_->http("/api/"));
    action.Check();
    EXPECT_EQ(action.GetResult(), 0);
    action.Check();
    EXPECT_EQ(action.GetResult(), 0);
}

} // namespace
