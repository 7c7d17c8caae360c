// Damaged, foreign and oversized files: Load fails with its result code or keeps the defaults,
// never crashes, and keeps its memory within a small multiple of the file size.
#include "TestSupport.h"

#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using cfgtest::ConfigTest;
using platform::to_utf8;

// Every value of an object, as one text, to compare an object with a default one.
std::string Describe(CConfigConnectionList& list) {
    std::string out = std::to_string(list.GetConnectionCount());
    for (int i = 0; i < list.GetConnectionCount(); ++i) {
        const auto& c = *list.GetConnectionItem(i);
        out += "|" + to_utf8(c.GetName()) + "," + std::to_string(c.GetLayer()) +
               to_utf8(c.GetPassword());
    }
    return out;
}

std::string Describe(CConfigKPClient& client) {
    return std::to_string(client.GetNetworkInfo().GetMTU()) + "," +
           to_utf8(client.GetClientInfo().GetPipeSCToSvc()) + "," +
           to_utf8(client.GetServerInfo().GetEnvCheckTool()) + "," +
           std::to_string(client.GetTimeInfo().GetRetrycount());
}

// The category masks are left out: an empty or missing category list reads as all categories.
std::string Describe(CConfigUser& user) {
    return to_utf8(user.GetLogInfo().GetPathname()) + "," +
           std::to_string(user.GetLogInfo().GetLevel()) + "," +
           std::to_string(user.GetSCInfo().GetX()) + "," +
           to_utf8(user.GetProxyInfo().GetProxyPassword());
}

struct Kind {
    const char* file;
    const char* key; // empty: the plain layout
    std::string validXml;
    std::function<std::unique_ptr<CXMLConfigFile>()> make;
    std::function<std::string(CXMLConfigFile&)> describe;
};

template <typename T> Kind MakeKind(const char* file, const char* key, std::string xml) {
    return Kind{file, key, std::move(xml), [] { return std::make_unique<T>(); },
                [](CXMLConfigFile& f) { return Describe(static_cast<T&>(f)); }};
}

std::vector<Kind> Kinds() {
    return {
        MakeKind<CConfigConnectionList>(
            "connection.dat", cfgtest::kConnectionKey,
            "<connections><version>1</version><connection><name>A</name><user><password>pw"
            "</password></user></connection></connections>"),
        MakeKind<CConfigKPClient>(
            "orvixclient.dat", cfgtest::kClientKey,
            "<kpclient><version>1</version><network><MTU>1400</MTU></network><client>"
            "<pipesctosvc>p</pipesctosvc></client></kpclient>"),
        MakeKind<CConfigUser>("user.dat", "",
                              "<user><version>2</version><sc_pos><x>5</x></sc_pos></user>"),
    };
}

// The file as the kind stores `xml`.
std::string Layout(const Kind& kind, const std::string& xml) {
    if (*kind.key == '\0')
        return cfgtest::kDeclaration + xml + std::string(1, '\0');
    return cfgtest::ref::EncryptedFile(kind.key, xml);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

class BadInputTest : public ConfigTest {
  protected:
    // Loads `contents` as the kind's file into an object whose values are the defaults.
    // Either the load fails with one of `failures` or it succeeds; either way the object
    // keeps its defaults.
    void ExpectDefaults(const Kind& kind, const std::string& contents,
                        std::initializer_list<unsigned> failures) {
        cfgtest::WriteFileBytes(tree_->config_path(kind.file), contents);
        auto file = kind.make();
        const std::string defaults = kind.describe(*file);
        const int loaded = file->Load();
        const unsigned hr = static_cast<unsigned>(file->GetLastResult());
        if (loaded) {
            EXPECT_EQ(hr, 0u);
        } else {
            EXPECT_NE(std::find(failures.begin(), failures.end(), hr), failures.end())
                << std::hex << hr;
        }
        EXPECT_EQ(kind.describe(*file), defaults);
    }
};

TEST_F(BadInputTest, ValidFilesLoadTheirValues) {
    // The reference for the cases below: the same contents, undamaged, change the object.
    for (const Kind& kind : Kinds()) {
        SCOPED_TRACE(kind.file);
        cfgtest::WriteFileBytes(tree_->config_path(kind.file), Layout(kind, kind.validXml));
        auto file = kind.make();
        const std::string defaults = kind.describe(*file);
        ASSERT_EQ(file->Load(), 1);
        EXPECT_NE(kind.describe(*file), defaults);
    }
}

TEST_F(BadInputTest, DamagedFilesKeepTheDefaults) {
    for (const Kind& kind : Kinds()) {
        SCOPED_TRACE(kind.file);
        const std::string valid = Layout(kind, kind.validXml);
        const bool encrypted = *kind.key != '\0';
        auto check = [&](const std::string& name, const std::string& contents,
                         std::initializer_list<unsigned> failures) {
            SCOPED_TRACE(name);
            ExpectDefaults(kind, contents, failures);
        };
        const unsigned decodeError = 0x87020005u;

        check("empty", "", {0x87020000u});
        for (std::size_t cut :
             {valid.size() / 2, valid.size() - 8, std::size_t(10), std::size_t(1)})
            check("truncated to " + std::to_string(cut), valid.substr(0, cut), {decodeError});
        check("not Base64", "<<< this is not Base64 >>>", {decodeError});
        check("not XML", Layout(kind, "hello, world"), {});
        check("XML that is not well-formed", Layout(kind, "<a><b></a>"), {});
        for (unsigned seed = 1; seed <= 20; ++seed)
            check("binary " + std::to_string(seed), RandomBytes(64 + seed * 37, seed),
                  {decodeError});
        if (encrypted) {
            check("byte order mark", "\xEF\xBB\xBF" + valid, {decodeError});
            std::string wrapped = valid;
            wrapped.insert(20, "\r\n");
            check("Base64 with a line break", wrapped, {decodeError});
            for (const char* key :
                 {"WrongKeyWrongKey", "", cfgtest::kClientKey, cfgtest::kConnectionKey}) {
                if (std::string(key) != kind.key)
                    check(std::string("wrong key ") + key,
                          cfgtest::ref::EncryptedFile(key, kind.validXml), {decodeError});
            }
            check("plain layout", cfgtest::kDeclaration + kind.validXml + std::string(1, '\0'),
                  {decodeError});
        } else {
            check("encrypted layout",
                  cfgtest::ref::EncryptedFile(cfgtest::kClientKey, kind.validXml), {});
        }
    }
}

long PeakRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Memory grows by less than `limit` bytes over the peak before. (AddressSanitizer holds freed
// memory back for a while, so there the figure says nothing.)
void ExpectPeakGrowthBelow(long beforeKiB, std::size_t limit) {
#if defined(__SANITIZE_ADDRESS__)
    (void)beforeKiB;
    (void)limit;
#else
    const long grownKiB = PeakRssKiB() - beforeKiB;
    EXPECT_LT(grownKiB, static_cast<long>(limit / 1024)) << grownKiB << " KiB";
#endif
}

// 100 MB files (sparse, so cheap to make) are refused before anything is read.
TEST_F(BadInputTest, HugeFilesAreRefused) {
    constexpr std::size_t kHuge = 100u << 20;
    const long before = PeakRssKiB();
    for (const Kind& kind : Kinds()) {
        SCOPED_TRACE(kind.file);
        for (const std::size_t size : {kHuge, std::size_t(CONFIG_MAX_FILE_SIZE) + 1}) {
            const fs::path path = tree_->config_path(kind.file);
            cfgtest::WriteFileBytes(path, "");
            fs::resize_file(path, size);
            auto file = kind.make();
            const std::string defaults = kind.describe(*file);
            EXPECT_EQ(file->Load(), 0);
            EXPECT_EQ(static_cast<unsigned>(file->GetLastResult()), 0x800700DFu);
            EXPECT_EQ(kind.describe(*file), defaults);
        }
    }
    ExpectPeakGrowthBelow(before, 1u << 20);
}

// Files of the largest size taken: a sparse one (no Base64 text at all, or an empty plain text)
// and Base64 text that decodes to zero bytes, which decrypt to noise. Memory stays within three
// times the file size.
TEST_F(BadInputTest, LargestFilesKeepTheDefaults) {
    const std::size_t size = CONFIG_MAX_FILE_SIZE;
    const long before = PeakRssKiB();
    for (const Kind& kind : Kinds()) {
        SCOPED_TRACE(kind.file);
        const fs::path path = tree_->config_path(kind.file);
        cfgtest::WriteFileBytes(path, "");
        fs::resize_file(path, size);
        auto file = kind.make();
        const std::string defaults = kind.describe(*file);
        const int loaded = file->Load();
        if (*kind.key != '\0') {
            EXPECT_EQ(loaded, 0);
            EXPECT_EQ(static_cast<unsigned>(file->GetLastResult()), 0x87020005u);
        } else {
            EXPECT_EQ(loaded, 1);
        }
        EXPECT_EQ(kind.describe(*file), defaults);

        cfgtest::WriteFileBytes(path, std::string(size, 'A'));
        file = kind.make();
        file->Load();
        EXPECT_EQ(kind.describe(*file), defaults);
    }
    ExpectPeakGrowthBelow(before, 3 * size);
}

} // namespace
