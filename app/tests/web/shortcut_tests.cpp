#include "app/web/StartupShortcut.h"

#include "WebTestSupport.h"

using platform::Text;
using webtest::read_file;
using webtest::ScopedEnv;
using webtest::TempDir;
using webtest::write_file;

namespace {

class ShortcutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetShortcutMessageHandler([this](const Text& message) { messages_.push_back(message); });
    }
    void TearDown() override { SetShortcutMessageHandler(nullptr); }

    std::filesystem::path common() const { return dir_ / "xdg" / "autostart"; }
    std::filesystem::path user() const { return dir_ / "user-autostart"; }

    TempDir dir_;
    ScopedEnv common_env_{"ORVIX_COMMON_STARTUP", (dir_ / "xdg" / "autostart").string()};
    ScopedEnv user_env_{"ORVIX_USER_STARTUP", (dir_ / "user-autostart").string()};
    std::vector<Text> messages_;
};

TEST_F(ShortcutTest, CreateExistsDelete) {
    const Text name = u"Orvix \u30af\u30e9\u30a4\u30a2\u30f3\u30c8";
    EXPECT_FALSE(StartupShortcutExists(name));
    EXPECT_TRUE(std::filesystem::is_directory(common())); // made when asked for
    EXPECT_TRUE(DeleteStartupShortcut(name));             // nothing to delete counts as failed

    ASSERT_TRUE(CreateStartupShortcut(u"/opt/orvix/orvixapp", name, u"--tray \"a b\""));
    const auto path = common() /
                      "Orvix \xe3\x82\xaf\xe3\x83\xa9\xe3\x82\xa4\xe3\x82\xa2\xe3\x83\xb3"
                      "\xe3\x83\x88.desktop";
    EXPECT_EQ(read_file(path), "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Version=1.0\n"
                               "Name=Orvix \xe3\x82\xaf\xe3\x83\xa9\xe3\x82\xa4\xe3\x82\xa2\xe3\x83"
                               "\xb3\xe3\x83\x88\n"
                               "Exec=/opt/orvix/orvixapp --tray \"a b\"\n"
                               "Path=/opt/orvix\n"
                               "Terminal=false\n"
                               "X-GNOME-Autostart-enabled=true\n");
    EXPECT_TRUE(StartupShortcutExists(name));
    EXPECT_TRUE(messages_.empty());

    EXPECT_FALSE(DeleteStartupShortcut(name)); // removed
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(StartupShortcutExists(name));
    EXPECT_TRUE(DeleteStartupShortcut(name));
}

TEST_F(ShortcutTest, ExistingShortcutIsLeftUntouched) {
    write_file(common() / "Orvix.desktop", "hand-made entry\n");
    EXPECT_TRUE(CreateStartupShortcut(u"/usr/bin/orvixapp", u"Orvix"));
    EXPECT_EQ(read_file(common() / "Orvix.desktop"), "hand-made entry\n");
}

TEST_F(ShortcutTest, ExecLineQuotingAndWorkingDirectory) {
    const struct {
        const char16_t* target;
        const char16_t* arguments;
        std::string exec;
        std::string path;
    } cases[] = {
        {u"orvixapp", u"", "Exec=orvixapp", ""}, // no folder part: no working directory
        {u"/opt/my app/orvix$1%", u"", "Exec=\"/opt/my app/orvix\\\\$1%%\"", "Path=/opt/my app"},
        {u"/opt/o/app", u"-a \"x\\\"y\" 50%", "Exec=/opt/o/app -a \"x\\\\\"y\" 50%%",
         "Path=/opt/o"},
        {u"/opt/o/app", u"\"\"", "Exec=/opt/o/app \"\"", "Path=/opt/o"},
        {u"/opt/o/app", u"line\u000abreak", "Exec=/opt/o/app line break", "Path=/opt/o"},
    };
    for (const auto& tc : cases) {
        const std::string text = DesktopEntryText(tc.target, u"N", tc.arguments);
        EXPECT_NE(text.find("\n" + tc.exec + "\n"), std::string::npos) << text;
        if (tc.path.empty())
            EXPECT_EQ(text.find("\nPath="), std::string::npos) << text;
        else
            EXPECT_NE(text.find("\n" + tc.path + "\n"), std::string::npos) << text;
    }
    // A name with a line break stays on its line.
    EXPECT_NE(DesktopEntryText(u"/a", u"x\ny", u"").find("\nName=x\\ny\n"), std::string::npos);
}

TEST_F(ShortcutTest, FailedCreationShowsTheMessage) {
    // Missing parts: nothing is tried.
    EXPECT_FALSE(CreateShortcut(u"", platform::from_path(user()), u"Orvix"));
    EXPECT_FALSE(CreateShortcut(u"/a", u"", u"Orvix"));
    EXPECT_FALSE(CreateShortcut(u"/a", platform::from_path(user()), u""));
    EXPECT_TRUE(messages_.empty());
    // A folder that does not exist, and names that are no file names.
    EXPECT_FALSE(CreateShortcut(u"/a", platform::from_path(dir_ / "missing"), u"Orvix"));
    EXPECT_FALSE(CreateStartupShortcut(u"/a", u"../escape"));
    EXPECT_FALSE(CreateStartupShortcut(u"/a", u".."));
    EXPECT_EQ(messages_, (std::vector<Text>{u"shortcut create error!", u"shortcut create error!",
                                            u"shortcut create error!"}));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "xdg" / "escape.desktop"));
}

TEST_F(ShortcutTest, PerUserShortcutRemoval) {
    EXPECT_TRUE(RemoveShortcut(platform::KnownFolder::UserStartup, u"Orvix")); // none: fine
    EXPECT_TRUE(std::filesystem::is_directory(user()));
    ASSERT_TRUE(CreateShortcut(u"/opt/orvix/orvixapp", platform::from_path(user()), u"Orvix"));
    EXPECT_TRUE(std::filesystem::exists(user() / "Orvix.desktop"));
    EXPECT_TRUE(RemoveShortcut(platform::KnownFolder::UserStartup, u"Orvix"));
    EXPECT_FALSE(std::filesystem::exists(user() / "Orvix.desktop"));
}

} // namespace
