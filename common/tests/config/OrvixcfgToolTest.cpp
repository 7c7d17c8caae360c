// The orvixcfg program, run as a real process on files in a temporary tree.
#include "TestSupport.h"

#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigFile.h"
#include "common/config/ConfigUser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using cfgtest::ConfigTest;

struct ToolRun {
    int exit = -1;
    std::string out;
    std::string err;
};

class ToolTest : public ConfigTest {
  protected:
    // Runs orvixcfg with `args` (each quoted) and optional environment assignments in front.
    ToolRun Tool(const std::vector<std::string>& args, const std::string& env = "") {
        const fs::path out = tree_->root() / "tool.out";
        const fs::path err = tree_->root() / "tool.err";
        std::string command = env + " '" ORVIXCFG_PATH "'";
        for (const auto& arg : args)
            command += " '" + arg + "'";
        command += " >'" + out.string() + "' 2>'" + err.string() + "' </dev/null";
        const int status = std::system(command.c_str());
        ToolRun run;
        run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = cfgtest::ReadFileBytes(out);
        run.err = cfgtest::ReadFileBytes(err);
        return run;
    }
    std::string Path(const std::string& name) { return tree_->config_path(name).string(); }
};

TEST_F(ToolTest, NewWritesTheDefaultsOfEachKind) {
    const struct {
        const char* kind;
        const char* file;
        const char* key;
        const char* start;
    } kinds[] = {
        {"connection", "connection.dat", cfgtest::kConnectionKey,
         "<connections><version>1</version></connections>"},
        {"client", "orvixclient.dat", cfgtest::kClientKey,
         "<kpclient><version>1</version><network><MTU>4095</MTU>"},
        {"user", "user.dat", "", "<user><version>2</version><log><pathname/>"},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.kind);
        const ToolRun run = Tool({"new", k.kind, Path(k.file)});
        ASSERT_EQ(run.exit, 0) << run.err;
        const std::string stored = cfgtest::ReadFileBytes(Path(k.file));
        const std::string plain = *k.key ? cfgtest::ref::DecryptFile(k.key, stored) : stored;
        EXPECT_EQ(plain.rfind(cfgtest::kDeclaration + std::string(k.start), 0), 0u) << plain;
        EXPECT_EQ(plain.back(), '\0');
        // decode gives the same text without the zero byte.
        const ToolRun decoded = Tool({"decode", Path(k.file)});
        ASSERT_EQ(decoded.exit, 0) << decoded.err;
        EXPECT_EQ(decoded.out, plain.substr(0, plain.size() - 1));
    }
}

TEST_F(ToolTest, EncodeThenLoadWithTheLibrary) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<connections>\n  <version>1</version>\n  <connection>"
        "<name>Office</name><user><username>carol</username><password>pw&amp;1</password>"
        "</user></connection>\n</connections>\n";
    cfgtest::WriteFileBytes(tree_->root() / "in.xml", xml);
    const ToolRun run =
        Tool({"encode", "connection", (tree_->root() / "in.xml").string(), Path("connection.dat")});
    ASSERT_EQ(run.exit, 0) << run.err;
    CConfigConnectionList list;
    ASSERT_EQ(list.Load(), 1);
    ASSERT_EQ(list.GetConnectionCount(), 1);
    EXPECT_EQ(list.GetConnectionItem(0)->GetName(), u"Office");
    EXPECT_EQ(list.GetConnectionItem(0)->GetPassword(), u"pw&1");
    // The text is stored as given, directly behind the file's own declaration.
    const std::string plain = cfgtest::ref::DecryptFile(
        cfgtest::kConnectionKey, cfgtest::ReadFileBytes(Path("connection.dat")));
    const std::string body = xml.substr(xml.find("<connections>"));
    EXPECT_EQ(plain,
              cfgtest::kDeclaration + body.substr(0, body.size() - 1) + std::string(1, '\0'));
}

TEST_F(ToolTest, ShowMasksPasswordsUnlessRevealed) {
    CConfigConnectionList list;
    auto* c = list.AddConnectionItem();
    c->SetName(u"Home");
    c->SetUser(u"dave");
    c->SetPassword(u"TopS3cret");
    c->SetBroker(u"broker.example");
    ASSERT_EQ(list.Save(), 1);
    CConfigUser user;
    user.GetProxyInfo().SetProxyPassword(u"Pr0xyPw");
    user.GetProxyInfo().SetProxyPort(8080);
    ASSERT_EQ(user.Save(), 1);

    ToolRun run = Tool({"show", Path("connection.dat")});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out.find("TopS3cret"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("***"), std::string::npos);
    EXPECT_NE(run.out.find("Home"), std::string::npos);
    EXPECT_NE(run.out.find("broker.example"), std::string::npos);
    run = Tool({"show", Path("connection.dat"), "--reveal"});
    EXPECT_NE(run.out.find("TopS3cret"), std::string::npos);

    run = Tool({"show", Path("user.dat")});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out.find("Pr0xyPw"), std::string::npos);
    EXPECT_NE(run.out.find("proxy/proxyport"), std::string::npos);
    EXPECT_NE(run.out.find("8080"), std::string::npos);
    run = Tool({"show", "--reveal", Path("user.dat")});
    EXPECT_NE(run.out.find("Pr0xyPw"), std::string::npos);
}

TEST_F(ToolTest, KindFromOptionForOtherNames) {
    ASSERT_EQ(Tool({"new", "client", Path("backup.bin")}).exit, 0);
    ToolRun run = Tool({"decode", Path("backup.bin")});
    EXPECT_NE(run.exit, 0);
    EXPECT_NE(run.err.find("--kind"), std::string::npos);
    run = Tool({"decode", "--kind", "client", Path("backup.bin")});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out.rfind(cfgtest::kDeclaration + std::string("<kpclient>"), 0), 0u);
    // The wrong kind is a wrong key: the file does not decode.
    run = Tool({"decode", "--kind", "connection", Path("backup.bin")});
    EXPECT_NE(run.exit, 0);
}

TEST_F(ToolTest, ErrorsAreOneLineAndNonZero) {
    cfgtest::WriteFileBytes(Path("connection.dat"), "garbage that is not Base64!");
    cfgtest::WriteFileBytes(Path("orvixclient.dat"), "");
    const struct {
        std::vector<std::string> args;
        const char* text;
    } cases[] = {
        {{"decode", Path("user.dat")}, "no such file"},
        {{"show", Path("orvixclient.dat")}, "does not decode"},
        {{"decode", Path("connection.dat")}, "does not decode"},
        {{"decode", "--kind", "router", Path("connection.dat")}, "unknown kind"},
        {{"new", "router", Path("x.dat")}, "unknown kind"},
        {{"encode", "user", Path("missing.xml"), Path("user.dat")}, "cannot open"},
        {{"new", "user", (tree_->root() / "no" / "folder" / "user.dat").string()}, "cannot write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const ToolRun run = Tool(c.args);
        EXPECT_NE(run.exit, 0);
        EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_NE(Tool({}).exit, 0);
    EXPECT_NE(Tool({"frobnicate"}).exit, 0);
    cfgtest::WriteFileBytes(tree_->root() / "bad.xml", "<user><unclosed></user>");
    const ToolRun run =
        Tool({"encode", "user", (tree_->root() / "bad.xml").string(), Path("u.dat")});
    EXPECT_NE(run.exit, 0);
    EXPECT_NE(run.err.find("not well-formed"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("u.dat")));
}

// The file held by this process cannot be read by another one until it is closed.
TEST_F(ToolTest, FileHeldElsewhereIsRefused) {
    ASSERT_EQ(Tool({"new", "user", Path("user.dat")}).exit, 0);
    CConfigUser holder;
    ASSERT_EQ(holder.CreateFileW(CONFIG_OPEN_READ), 1);
    ToolRun run = Tool({"decode", Path("user.dat")});
    EXPECT_NE(run.exit, 0);
    EXPECT_NE(run.err.find("0x80070020"), std::string::npos) << run.err;
    holder.Close();
    run = Tool({"decode", Path("user.dat")});
    EXPECT_EQ(run.exit, 0) << run.err;
}

// With another ANSI code page the file's bytes are read in it.
TEST_F(ToolTest, ReadsTheAnsiCodePage) {
    // "\x93\xfa\x96\x7b" is the CP932 form of U+65E5 U+672C.
    cfgtest::WriteFileBytes(Path("user.dat"),
                            std::string(cfgtest::kDeclaration) +
                                "<user><version>2</version><log><pathname>\x93\xfa\x96\x7b.log"
                                "</pathname></log></user>" +
                                std::string(1, '\0'));
    const ToolRun run = Tool({"show", Path("user.dat")}, "ORVIX_ANSI_CHARSET=CP932");
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("\xE6\x97\xA5\xE6\x9C\xAC.log"), std::string::npos) << run.out;
}

} // namespace
