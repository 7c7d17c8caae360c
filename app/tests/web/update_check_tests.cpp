#include "app/web/UpdateCheck.h"

#include "WebTestSupport.h"

#include <memory>
#include <sys/stat.h>

using namespace std::chrono_literals;
using platform::Text;
using webtest::read_file;
using webtest::ScopedEnv;
using webtest::TempDir;
using webtest::WebSim;
using webtest::write_file;

namespace {

class UpdateCheckTest : public webtest::WebSimSuite {
  protected:
    void SetUp() override {
        WebSimSuite::SetUp();
        std::filesystem::create_directories(program());
        std::filesystem::create_directories(temp());
        check_.SetTimeouts({2s, 1s, 10s});
        check_.SetAsk([this](const Text& question) {
            questions_.push_back(question);
            return answer_;
        });
        check_.SetStart([this](const std::filesystem::path& installer) {
            started_.push_back(installer);
            return 0u;
        });
    }

    std::filesystem::path program() const { return dir_ / "program"; }
    std::filesystem::path temp() const { return dir_ / "temp"; }
    std::string url(const std::string& path) const { return platform::to_utf8(sim_->http(path)); }

    void install(const std::string& version, const std::string& version_url) {
        write_file(program() / "version.ini", "[Version]\r\nCurrentVersion=" + version +
                                                  "\r\n[UpDate]\r\nVersionURL=" + version_url +
                                                  "\r\n");
    }
    // Publishes a version.ini (under a name of its own, so the cases do not meet).
    std::string publish(const std::string& name, const std::string& content) {
        write_file(sim_->files() / "pub" / name, content);
        return url("/pub/" + name);
    }
    std::string published(const std::string& version, const std::string& exec_url,
                          const std::string& dl_url = "") {
        return "[Version]\nCurrentVersion=" + version + "\n[UpDate]\nVersionURL=ignored\n" +
               "ExecDLURL=" + exec_url + "\nDLURL=" + dl_url + "\n";
    }
    std::vector<std::string> temp_names() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(temp()))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    TempDir dir_;
    ScopedEnv program_env_{"ORVIX_PROGRAM_DIR", (dir_ / "program").string()};
    ScopedEnv temp_env_{"ORVIX_TEMP", (dir_ / "temp").string()};
    CUpdateCheck check_;
    bool answer_ = false;
    std::vector<Text> questions_;
    std::vector<std::filesystem::path> started_;
};

TEST_F(UpdateCheckTest, VersionsAreComparedAsExactText) {
    const struct {
        std::string installed;
        std::string published;
        bool offered;
    } cases[] = {
        {"1.7.0.1", "1.7.0.1", false},
        {"1.7.0.1", "1.7.0.10", true},
        {"1.7.0.10", "1.7.0.9", true}, // older but different
        {"1.7.0.1", "1.7.0.01", true},
        {"v1.0", "V1.0", true},
        // Both sides are read up to 63 characters.
        {std::string(63, '9'), std::string(63, '9') + "-beyond-the-read-length", false},
    };
    int n = 0;
    for (const auto& tc : cases) {
        questions_.clear();
        install(tc.installed, publish("v" + std::to_string(n++) + ".ini",
                                      published(tc.published, url("/pub/setup.sh"))));
        EXPECT_FALSE(check_.Run());
        EXPECT_EQ(questions_.size(), tc.offered ? 1u : 0u) << tc.installed << " " << tc.published;
        EXPECT_EQ(check_.Installed().m_strCurrentVersion,
                  platform::to_text(tc.installed.substr(0, 63)));
        // The downloaded copy is gone after it was read.
        EXPECT_FALSE(std::filesystem::exists(program() / "new-version.ini"));
        EXPECT_TRUE(started_.empty());
        EXPECT_TRUE(temp_names().empty()); // declined: nothing downloaded
    }
}

TEST_F(UpdateCheckTest, NothingHappensWithoutAUsableVersionFile) {
    // No version.ini at all.
    EXPECT_FALSE(check_.Run());
    // No VersionURL.
    write_file(program() / "version.ini", "[Version]\nCurrentVersion=1.0\n");
    EXPECT_FALSE(check_.Run());
    // Unreachable, failing and silent update servers.
    install("1.0", "http://127.0.0.1:" + std::to_string(webtest::unused_port()) + "/version.ini");
    EXPECT_FALSE(check_.Run());
    install("1.0", url("/pub/missing.ini"));
    EXPECT_FALSE(check_.Run());
    install("1.0", url("/_/hang/version.ini"));
    EXPECT_FALSE(check_.Run());
    // Published files without the sections, or garbage.
    install("1.0", publish("nosections.ini", "CurrentVersion=2.0\nExecDLURL=x/setup.sh\n"));
    EXPECT_FALSE(check_.Run());
    install("1.0", publish("garbage.ini", std::string("\xff\xfe[\0\x01 junk", 10)));
    EXPECT_FALSE(check_.Run());
    install("1.0", publish("noexec.ini", "[Version]\nCurrentVersion=2.0\n"));
    EXPECT_FALSE(check_.Run());
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(started_.empty());
    EXPECT_FALSE(std::filesystem::exists(program() / "new-version.ini"));
}

TEST_F(UpdateCheckTest, AcceptedUpdateDownloadsBothFilesAndStartsTheInstaller) {
    const auto marker = dir_ / "installer-ran.txt";
    const std::string script = "#!/bin/sh\necho \"$0\" > '" + marker.string() + ".tmp'\nmv '" +
                               marker.string() + ".tmp' '" + marker.string() + "'\n";
    write_file(sim_->files() / "dl" / "setup.sh", script);
    write_file(sim_->files() / "dl" / "data.bin", "second file");
    install("1.0", publish("new.ini", published("2.0", url("/dl/setup.sh"), url("/dl/data.bin"))));

    CUpdateCheck real; // starts the installer through the shell
    real.SetTimeouts({2s, 1s, 10s});
    int asked = 0;
    real.SetAsk([&](const Text&) {
        ++asked;
        return true;
    });
    ASSERT_TRUE(real.Run());
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(temp_names(), (std::vector<std::string>{"data.bin", "setup.sh"}));
    EXPECT_EQ(read_file(temp() / "data.bin"), "second file");
    EXPECT_EQ(read_file(temp() / "setup.sh"), script);
    EXPECT_EQ(real.InstallerPath(), std::filesystem::weakly_canonical(temp()) / "setup.sh");
    struct stat st {};
    ASSERT_EQ(::stat((temp() / "setup.sh").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    for (int i = 0; i < 1000 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(marker));
    EXPECT_EQ(read_file(marker), real.InstallerPath().string() + "\n");
}

TEST_F(UpdateCheckTest, DeclinedUpdateIsOfferedAgainNextTime) {
    write_file(sim_->files() / "dl" / "setup.sh", "#!/bin/sh\n");
    install("1.0", publish("again.ini", published("2.0", url("/dl/setup.sh"))));
    answer_ = false;
    EXPECT_FALSE(check_.Run());
    EXPECT_FALSE(check_.Run());
    EXPECT_EQ(questions_.size(), 2u);
    answer_ = true;
    EXPECT_TRUE(check_.Run());
    ASSERT_EQ(started_.size(), 1u);
    EXPECT_EQ(started_[0].filename(), "setup.sh");
}

TEST_F(UpdateCheckTest, DownloadFileNames) {
    EXPECT_EQ(CUpdateCheck::DownloadFileName(u"http://h/a/b/setup.exe"), u"setup.exe");
    EXPECT_EQ(CUpdateCheck::DownloadFileName(u"setup.exe"), u"setup.exe");
    EXPECT_EQ(CUpdateCheck::DownloadFileName(u"http://h/get?file=a"), u"get?file=a");
    EXPECT_EQ(CUpdateCheck::DownloadFileName(u"http://h/dir/"), u"");
    EXPECT_EQ(CUpdateCheck::DownloadFileName(u"http://h/.."), u"");
    EXPECT_EQ(CUpdateCheck::DownloadFileName(u"http://h/x\\..\\..\\etc"), u"");
}

TEST_F(UpdateCheckTest, FailedDownloadsStartNothing) {
    write_file(sim_->files() / "dl" / "setup.sh", "#!/bin/sh\n");
    const struct {
        std::string exec_url;
        std::string dl_url;
    } cases[] = {
        {"setup.sh", ""}, // no "/": the whole text is the file name, and no URL
        {url("/dl/missing.sh"), ""},
        {url("/dl/setup.sh"), url("/dl/missing.bin")},
        {url("/_/lie-long/setup.sh"), ""},
        {url("/dl/"), ""}, // no file name
    };
    answer_ = true;
    int n = 0;
    for (const auto& tc : cases) {
        install("1.0", publish("fail" + std::to_string(n++) + ".ini",
                               published("2.0", tc.exec_url, tc.dl_url)));
        EXPECT_FALSE(check_.Run()) << tc.exec_url;
        EXPECT_TRUE(started_.empty()) << tc.exec_url;
        // Only complete files remain; nothing under a partial name.
        for (const auto& name : temp_names())
            EXPECT_EQ(name, "setup.sh") << tc.exec_url;
        std::filesystem::remove(temp() / "setup.sh");
    }
    EXPECT_EQ(questions_.size(), std::size(cases));
}

TEST_F(UpdateCheckTest, CancelledDownloadStartsNothing) {
    install("1.0", publish("cancel.ini", published("2.0", url("/_/endless/setup.sh"))));
    answer_ = true;
    int blocks = 0;
    check_.SetProgress([&](std::uint64_t, std::uint64_t) {
        if (++blocks == 2)
            check_.Cancel();
    });
    EXPECT_FALSE(check_.Run());
    EXPECT_EQ(blocks, 2);
    EXPECT_TRUE(started_.empty());
    EXPECT_TRUE(temp_names().empty());
}

TEST_F(UpdateCheckTest, PublishedFileOverHttpsWithASelfSignedCertificate) {
    write_file(sim_->files() / "dl" / "setup.sh", "#!/bin/sh\n");
    write_file(sim_->files() / "pub" / "tls.ini",
               published("3.0", platform::to_utf8(sim_->https("/dl/setup.sh"))));
    install("1.0", platform::to_utf8(sim_->https("/pub/tls.ini")));
    answer_ = true;
    EXPECT_TRUE(check_.Run());
    EXPECT_EQ(check_.Published().m_strCurrentVersion, u"3.0");
    ASSERT_EQ(started_.size(), 1u);
}

TEST_F(UpdateCheckTest, StartFailureIsNoUpdate) {
    write_file(sim_->files() / "dl" / "setup.sh", "#!/bin/sh\n");
    install("1.0", publish("nostart.ini", published("2.0", url("/dl/setup.sh"))));
    answer_ = true;
    check_.SetStart([](const std::filesystem::path&) { return 2u; });
    EXPECT_FALSE(check_.Run());
}

} // namespace
