// The encrypted container: paths, layers, result codes, exclusive opens and whole-file writes.
#include "TestSupport.h"

#include "common/config/ConfigFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using cfgtest::ConfigTest;

struct Layers {
    const char* name;
    int base64;
    int blowfish;
    const char* key;
};

const Layers kLayerCases[] = {
    {"plain", 0, 0, ""},
    {"encrypted", 1, 1, cfgtest::kConnectionKey},
};

class ConfigFileTest : public ConfigTest {
  protected:
    void Configure(CConfigFile& file, const Layers& layers, const std::u16string& name) {
        file.SetFileName(name);
        file.SetUseBase64(layers.base64);
        file.SetUseBlowFish(layers.blowfish);
        file.SetCipherKey(std::u16string(layers.key, layers.key + std::strlen(layers.key)));
    }
    // SetBuffer, CreateFileW(WRITE), WriteFile, Close.
    bool Write(CConfigFile& file, const std::string& data) {
        const bool ok = file.SetBuffer(data.data(), static_cast<int>(data.size())) &&
                        file.CreateFileW(CONFIG_OPEN_WRITE) && file.WriteFile();
        file.Close();
        return ok;
    }
    // CreateFileW(READ), ReadFile, Close; the buffer's bytes (size as reported).
    bool Read(CConfigFile& file, std::string& data) {
        const bool ok = file.CreateFileW(CONFIG_OPEN_READ) && file.ReadFile();
        file.Close();
        int size = -1;
        const std::uint8_t* buffer = file.GetBuffer(size);
        data = buffer ? std::string(reinterpret_cast<const char*>(buffer),
                                    static_cast<std::size_t>(size))
                      : std::string();
        return ok;
    }
};

TEST_F(ConfigFileTest, PlainNamesLiveInTheConfigurationFolder) {
    CConfigFile file;
    file.SetFileName(u"user.dat");
    EXPECT_EQ(platform::to_path(file.GetFilePath()), tree_->config_path("user.dat"));
    const fs::path other = tree_->root() / "elsewhere" / "user.dat";
    file.SetFileName(platform::from_path(other));
    EXPECT_EQ(platform::to_path(file.GetFilePath()), other);
    // A Windows-style path is a path of its own too.
    file.SetFileName(u"D:\\cfg\\user.dat");
    EXPECT_EQ(file.GetFilePath(), u"D:\\cfg\\user.dat");
}

TEST_F(ConfigFileTest, OpenFailuresCarryTheirResultCodes) {
    CConfigFile file;
    EXPECT_EQ(file.CreateFileW(CONFIG_OPEN_READ), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x87020001u);
    file.SetFileName(u"missing.dat");
    EXPECT_EQ(file.CreateFileW(CONFIG_OPEN_READ), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x80070002u);
    // Writing into a folder that does not exist fails at the open, as the system's does.
    file.SetFileName(platform::from_path(tree_->root() / "nofolder" / "x.dat"));
    EXPECT_EQ(file.CreateFileW(CONFIG_OPEN_WRITE), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x80070003u);
    EXPECT_FALSE(fs::exists(tree_->root() / "nofolder"));
}

TEST_F(ConfigFileTest, OperationsOutOfOrderFail) {
    CConfigFile file;
    file.SetFileName(u"x.dat");
    EXPECT_EQ(file.ReadFile(), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x87020002u);
    EXPECT_EQ(file.WriteFile(), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x87020002u);
    ASSERT_EQ(file.CreateFileW(CONFIG_OPEN_WRITE), 1);
    EXPECT_EQ(file.WriteFile(), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x87020003u);
    file.Close();
    EXPECT_FALSE(fs::exists(tree_->config_path("x.dat")));
}

TEST_F(ConfigFileTest, RoundTripThroughBothLayouts) {
    const std::string data("abc\0", 4);
    for (const Layers& layers : kLayerCases) {
        SCOPED_TRACE(layers.name);
        CConfigFile writer;
        Configure(writer, layers, u"round.dat");
        ASSERT_TRUE(Write(writer, data));
        const std::string stored = cfgtest::ReadFileBytes(tree_->config_path("round.dat"));
        const std::string plain = std::string(cfgtest::kDeclaration) + data;
        ASSERT_EQ(plain.size(), 48u);

        CConfigFile reader;
        Configure(reader, layers, u"round.dat");
        std::string read;
        ASSERT_TRUE(Read(reader, read));
        EXPECT_EQ(reader.GetLastResult(), 0);
        if (layers.blowfish) {
            // 48 bytes in Base64, checked with OpenSSL directly.
            EXPECT_EQ(stored.size(), 64u);
            EXPECT_EQ(
                stored.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789+/="),
                std::string::npos);
            EXPECT_EQ(cfgtest::ref::DecryptFile(layers.key, stored), plain);
            // The text without its zero byte, which follows in the buffer.
            EXPECT_EQ(read, plain.substr(0, 47));
            int size = 0;
            EXPECT_EQ(reader.GetBuffer(size)[size], 0);
        } else {
            EXPECT_EQ(stored, plain);
            EXPECT_EQ(read, plain);
        }
    }
}

// No file uses one layer without the other; such a container still reads what it writes.
TEST_F(ConfigFileTest, SingleLayersRoundTrip) {
    const Layers single[] = {
        {"Base64 only", 1, 0, ""},
        {"Blowfish only", 0, 1, cfgtest::kClientKey},
    };
    const std::string data = "<x>single</x>";
    for (const Layers& layers : single) {
        SCOPED_TRACE(layers.name);
        CConfigFile writer;
        Configure(writer, layers, u"single.dat");
        ASSERT_TRUE(Write(writer, data + std::string(1, '\0')));
        CConfigFile reader;
        Configure(reader, layers, u"single.dat");
        std::string read;
        ASSERT_TRUE(Read(reader, read));
        EXPECT_EQ(read, cfgtest::kDeclaration + data);
    }
}

TEST_F(ConfigFileTest, EmptyBufferWritesTheDeclarationAlone) {
    for (const Layers& layers : kLayerCases) {
        SCOPED_TRACE(layers.name);
        CConfigFile file;
        Configure(file, layers, u"decl.dat");
        ASSERT_TRUE(Write(file, std::string()));
        const std::string stored = cfgtest::ReadFileBytes(tree_->config_path("decl.dat"));
        if (layers.blowfish)
            EXPECT_EQ(cfgtest::ref::DecryptFile(layers.key, stored), cfgtest::kDeclaration);
        else
            EXPECT_EQ(stored, cfgtest::kDeclaration);
    }
}

TEST_F(ConfigFileTest, ReadsFilesMadeWithOpenSsl) {
    const std::string xml = "<connections><version>1</version></connections>";
    cfgtest::WriteFileBytes(tree_->config_path("c.dat"),
                            cfgtest::ref::EncryptedFile(cfgtest::kConnectionKey, xml));
    CConfigFile file;
    Configure(file, kLayerCases[1], u"c.dat");
    std::string read;
    ASSERT_TRUE(Read(file, read));
    EXPECT_EQ(read, cfgtest::kDeclaration + xml);
}

TEST_F(ConfigFileTest, UndecodableContentsFail) {
    const auto encrypted = [](const std::string& plain) {
        return cfgtest::ref::Base64Encode(cfgtest::ref::BlowfishCfb(
            cfgtest::kConnectionKey, cfgtest::Bytes(plain.begin(), plain.end()), true));
    };
    const struct {
        const char* name;
        std::string contents;
        unsigned result;
    } cases[] = {
        {"empty file", "", 0x87020000u},
        {"first plain byte zero", encrypted(std::string("\0<?xml", 6)), 0x87020005u},
        {"no Base64 at all", "***not base64***", 0x87020005u},
        {"single Base64 character", "Q", 0x87020005u},
        {"zero bytes", std::string(64, '\0'), 0x87020005u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cfgtest::WriteFileBytes(tree_->config_path("bad.dat"), c.contents);
        CConfigFile file;
        Configure(file, kLayerCases[1], u"bad.dat");
        ASSERT_EQ(file.SetBuffer("old", 3), 1);
        std::string read;
        EXPECT_FALSE(Read(file, read));
        EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), c.result);
        // A failed read leaves no buffer behind.
        int size = -1;
        EXPECT_EQ(file.GetBuffer(size), nullptr);
        EXPECT_EQ(size, 0);
    }
}

TEST_F(ConfigFileTest, OpenFilesAreNotShared) {
    cfgtest::WriteFileBytes(tree_->config_path("shared.dat"), cfgtest::kDeclaration);
    for (const int firstMode : {CONFIG_OPEN_READ, CONFIG_OPEN_WRITE}) {
        for (const int secondMode : {CONFIG_OPEN_READ, CONFIG_OPEN_WRITE}) {
            SCOPED_TRACE(std::to_string(firstMode) + "/" + std::to_string(secondMode));
            CConfigFile first, second;
            first.SetFileName(u"shared.dat");
            second.SetFileName(u"shared.dat");
            ASSERT_EQ(first.CreateFileW(firstMode), 1);
            EXPECT_EQ(second.CreateFileW(secondMode), 0);
            EXPECT_EQ(static_cast<unsigned>(second.GetLastResult()), 0x80070020u);
            first.Close();
            EXPECT_EQ(second.CreateFileW(secondMode), 1);
            second.Close();
        }
    }
}

// Another component's load holds the file for a moment only; an open arriving meanwhile
// waits for it instead of failing.
TEST_F(ConfigFileTest, BriefHoldByAnotherOpenerIsWaitedOut) {
    cfgtest::WriteFileBytes(tree_->config_path("brief.dat"), cfgtest::kDeclaration);
    for (const int mode : {CONFIG_OPEN_READ, CONFIG_OPEN_WRITE}) {
        SCOPED_TRACE(mode);
        CConfigFile holder, opener;
        holder.SetFileName(u"brief.dat");
        opener.SetFileName(u"brief.dat");
        ASSERT_EQ(holder.CreateFileW(CONFIG_OPEN_READ), 1);
        std::promise<void> opening;
        std::thread release([&holder, started = opening.get_future()]() mutable {
            started.wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            holder.Close();
        });
        opening.set_value();
        EXPECT_EQ(opener.CreateFileW(mode), 1) << std::hex << opener.GetLastResult();
        release.join();
        opener.Close();
    }
}

TEST_F(ConfigFileTest, WrittenFileStaysHeldUntilClose) {
    CConfigFile writer, reader;
    Configure(writer, kLayerCases[0], u"held.dat");
    Configure(reader, kLayerCases[0], u"held.dat");
    ASSERT_EQ(writer.SetBuffer("x", 1), 1);
    ASSERT_EQ(writer.CreateFileW(CONFIG_OPEN_WRITE), 1);
    ASSERT_EQ(writer.WriteFile(), 1);
    EXPECT_EQ(reader.CreateFileW(CONFIG_OPEN_READ), 0);
    EXPECT_EQ(static_cast<unsigned>(reader.GetLastResult()), 0x80070020u);
    writer.Close();
    std::string read;
    EXPECT_TRUE(Read(reader, read));
    EXPECT_EQ(read, std::string(cfgtest::kDeclaration) + "x");
}

// A write that fails part way (here: the file size limit of the writing process) leaves the
// previous file whole and no temporary file behind.
TEST_F(ConfigFileTest, FailedWriteKeepsThePreviousFile) {
    for (const Layers& layers : kLayerCases) {
        SCOPED_TRACE(layers.name);
        CConfigFile first;
        Configure(first, layers, u"keep.dat");
        ASSERT_TRUE(Write(first, "previous contents"));
        const std::string before = cfgtest::ReadFileBytes(tree_->config_path("keep.dat"));

        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            CConfigFile file;
            Configure(file, layers, u"keep.dat");
            const std::string big(100000, 'x');
            const bool ok = file.SetBuffer(big.data(), static_cast<int>(big.size())) &&
                            file.CreateFileW(CONFIG_OPEN_WRITE) && file.WriteFile();
            const unsigned hr = static_cast<unsigned>(file.GetLastResult());
            file.Close();
            // 0: failed with a system error code, as expected.
            ::_exit(!ok && (hr & 0xFFFF0000u) == 0x80070000u ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(cfgtest::ReadFileBytes(tree_->config_path("keep.dat")), before);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tree_->config_dir()))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"keep.dat"});
    }
}

TEST_F(ConfigFileTest, LogsTheOperationsOnTheDebugChannel) {
    cfgtest::LogCapture capture;
    CConfigFile file;
    file.SetFileName(u"logged.dat");
    ASSERT_TRUE(Write(file, "x"));
    EXPECT_EQ(file.CreateFileW(CONFIG_OPEN_WRITE), 1);
    file.Close();
    file.Close();
    file.SetFileName(u"absent.dat");
    EXPECT_EQ(file.CreateFileW(CONFIG_OPEN_READ), 0);
    const std::string log = capture.Contents();
    for (const char* line : {
             "<ID>,<001000>,LIB_CONF:{CConfigFile::SetBuffer} DataSize = 1\r\n",
             "<ID>,<001000>,LIB_CONF:{CConfigFile::CreateFileW} OpenMode=WRITE\r\n",
             "<ID>,<001000>,LIB_CONF:{CConfigFile::Close} Close OK\r\n",
             "<ID>,<001000>,LIB_CONF:{CConfigFile::Close} m_pFile = NULL\r\n",
             "<ID>,<001000>,LIB_CONF:{CConfigFile::CreateFileW} OpenMode=READ\r\n",
             "<WD>,<001000>,LIB_CONF:{CConfigFile::CreateFileW} [E80070002]Open Error\r\n",
             "<ID>,<001000>,LIB_BFB:{CEncrypt::Init} Init OK\r\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_NE(log.find("LIB_CONF:{CConfigFile::CreateFileW} OpenFile=" +
                       tree_->config_path("absent.dat").string() + "\r\n"),
              std::string::npos);
}

} // namespace
