#include "app/web/HttpDownloader.h"

#include "WebTestSupport.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using platform::Text;
using webtest::read_file;
using webtest::TempDir;
using webtest::WebSim;
using webtest::write_file;

namespace {

class DownloaderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sim_ = std::make_unique<WebSim>(); }
    static void TearDownTestSuite() { sim_.reset(); }
    void SetUp() override { ASSERT_TRUE(sim_->running()); }

    static void short_limits(CHttpDownloader& d) { d.SetTimeouts({2s, 1s, 10s}); }
    // True when nothing but the listed names is in `dir`.
    static std::vector<std::string> names(const std::filesystem::path& dir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    static std::unique_ptr<WebSim> sim_;
    TempDir dir_;
};
std::unique_ptr<WebSim> DownloaderTest::sim_;

std::string pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
}

TEST_F(DownloaderTest, StreamsTheBodyInBlocksIntoNewFolders) {
    const std::string data = pattern(100'000);
    write_file(sim_->files() / "update" / "setup.bin", data);
    CHttpDownloader d;
    short_limits(d);
    std::vector<std::uint64_t> progress;
    std::uint64_t expected_seen = 0;
    d.SetProgress([&](std::uint64_t received, std::uint64_t expected) {
        progress.push_back(received);
        expected_seen = expected;
    });
    const auto target = dir_ / "a" / "b" / "setup.bin";
    ASSERT_EQ(d.Download(sim_->http("/update/setup.bin"), platform::from_path(target), u"Orvix"),
              CHttpDownloader::kOk)
        << d.GetErrorText();
    EXPECT_EQ(read_file(target), data);
    EXPECT_EQ(d.GetStatus(), 200);
    EXPECT_EQ(d.GetExpectedLength(), data.size());
    EXPECT_EQ(expected_seen, data.size());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), data.size());
    for (std::size_t i = 0; i < progress.size(); ++i) {
        const std::uint64_t step = progress[i] - (i ? progress[i - 1] : 0);
        EXPECT_GT(step, 0u);
        EXPECT_LE(step, CHttpDownloader::kBlockSize);
    }
    EXPECT_EQ(names(dir_ / "a" / "b"), std::vector<std::string>{"setup.bin"});
}

TEST_F(DownloaderTest, HttpsAndRedirectsAndAnEmptyFile) {
    write_file(sim_->files() / "update" / "small.txt", "hello");
    write_file(sim_->files() / "update" / "empty.txt", "");
    CHttpDownloader d;
    short_limits(d);
    const auto target = dir_ / "file";
    ASSERT_EQ(d.Download(sim_->https("/update/small.txt"), platform::from_path(target), u"Orvix"),
              CHttpDownloader::kOk);
    EXPECT_EQ(read_file(target), "hello");
    ASSERT_EQ(d.Download(sim_->http("/_/redirect/update/empty.txt"), platform::from_path(target),
                         u"Orvix"),
              CHttpDownloader::kOk);
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(read_file(target), "");
}

TEST_F(DownloaderTest, SendsTheAgentText) {
    CHttpDownloader d;
    short_limits(d);
    const auto target = dir_ / "echo.txt";
    ASSERT_EQ(d.Download(sim_->http("/_/echo/x"), platform::from_path(target), u"Orvix"), 0);
    const std::string echo = read_file(target);
    EXPECT_NE(echo.find("GET /_/echo/x\n"), std::string::npos) << echo;
    EXPECT_NE(echo.find("User-Agent: Orvix\n"), std::string::npos) << echo;
    // Without an agent text the application's name goes out.
    d.SetAppName(u"OrvixApp");
    ASSERT_EQ(d.Download(sim_->http("/_/echo/x"), platform::from_path(target), u""), 0);
    EXPECT_NE(read_file(target).find("User-Agent: OrvixApp\n"), std::string::npos);
}

TEST_F(DownloaderTest, FailuresLeaveTheOldFileAndNoPartialFile) {
    const auto target = dir_ / "setup.bin";
    write_file(target, "previous");
    const Text dead = platform::to_text(
        "http://127.0.0.1:" + std::to_string(webtest::unused_port()) + "/setup.bin");
    const struct {
        Text url;
        int result;
    } cases[] = {
        {sim_->http("/update/missing.bin"), CHttpDownloader::kHttpStatus},
        {sim_->http("/_/status-500/"), CHttpDownloader::kHttpStatus},
        {u"setup.bin", CHttpDownloader::kBadUrl},
        {u"ftp://127.0.0.1/setup.bin", CHttpDownloader::kBadUrl},
        {dead, CHttpDownloader::kTransport},
        {sim_->http("/_/lie-long/"), CHttpDownloader::kTransport},
        {sim_->http("/_/stall/"), CHttpDownloader::kTransport},
        {sim_->http("/_/drop/"), CHttpDownloader::kTransport},
        {sim_->http("/_/hang/"), CHttpDownloader::kTransport},
        {sim_->http("/_/redirect-loop/"), CHttpDownloader::kTransport},
        {sim_->silent("/setup.bin"), CHttpDownloader::kTransport},
    };
    for (const auto& tc : cases) {
        CHttpDownloader d;
        short_limits(d);
        EXPECT_EQ(d.Download(tc.url, platform::from_path(target), u"Orvix"), tc.result)
            << platform::to_utf8(tc.url) << ": " << d.GetErrorText();
        EXPECT_EQ(read_file(target), "previous") << platform::to_utf8(tc.url);
        EXPECT_EQ(names(dir_.path()), std::vector<std::string>{"setup.bin"});
    }
}

TEST_F(DownloaderTest, EndlessAndHugeBodiesStopAtTheSizeLimit) {
    const auto target = dir_ / "big.bin";
    for (const char* path : {"/_/huge/", "/_/endless/"}) {
        CHttpDownloader d;
        short_limits(d);
        d.SetMaxSize(1 << 20);
        EXPECT_EQ(d.Download(sim_->http(path), platform::from_path(target), u"Orvix"),
                  CHttpDownloader::kTransport)
            << path;
        EXPECT_FALSE(std::filesystem::exists(target));
        EXPECT_TRUE(names(dir_.path()).empty());
    }
}

TEST_F(DownloaderTest, CancelFromTheProgressCallback) {
    const auto target = dir_ / "endless.bin";
    CHttpDownloader d;
    short_limits(d);
    int calls = 0;
    d.SetProgress([&](std::uint64_t, std::uint64_t) {
        if (++calls == 3)
            d.Cancel();
    });
    EXPECT_EQ(d.Download(sim_->http("/_/endless/"), platform::from_path(target), u"Orvix"),
              CHttpDownloader::kCancelled);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(names(dir_.path()).empty());
}

TEST_F(DownloaderTest, CancelFromAnotherThreadWhileTheServerIsSilent) {
    const auto target = dir_ / "hang.bin";
    CHttpDownloader d;
    d.SetTimeouts({5s, 30s, 60s}); // far beyond the cancel
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        // Again and again until the download gave up, whenever it started.
        while (!done) {
            std::this_thread::sleep_for(100ms);
            d.Cancel();
        }
    });
    const int result = d.Download(sim_->http("/_/hang/"), platform::from_path(target), u"Orvix");
    done = true;
    canceller.join();
    EXPECT_EQ(result, CHttpDownloader::kCancelled);
    EXPECT_TRUE(names(dir_.path()).empty());
}

} // namespace
