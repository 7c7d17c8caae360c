// The registry: keys and values, case rules, deletion, awkward text, and sharing with other
// processes through the one file.
#include "platform/registry.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace platform;
using testsupport::ChildProcess;

namespace {

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvix-registry-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("ORVIX_REGISTRY_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    static RegistryKey hkcu() { return RegistryKey::root(RegistryRoot::CurrentUser); }
    std::string dir_;
};

TEST_F(Registry, KeysAndValuesIgnoreCaseAndKeepTheirSpelling) {
    RegistryKey key;
    bool created = false;
    ASSERT_EQ(hkcu().create(u"Software\\Orvix\\Client", key, &created), ERROR_SUCCESS);
    EXPECT_TRUE(created);
    EXPECT_EQ(key.set_string(u"", u"default"), ERROR_SUCCESS);
    EXPECT_EQ(key.set_string(u"ThreadingModel", u"Apartment"), ERROR_SUCCESS);
    EXPECT_EQ(key.set_dword(u"MTU", 1280), ERROR_SUCCESS);

    RegistryKey same;
    ASSERT_EQ(hkcu().create(u"SOFTWARE\\orvix\\client", same, &created), ERROR_SUCCESS);
    EXPECT_FALSE(created);
    EXPECT_EQ(same.path(), u"Software\\Orvix\\Client"); // the stored spelling

    Text text;
    EXPECT_EQ(same.get_string(u"threadingmodel", text), ERROR_SUCCESS);
    EXPECT_EQ(text, u"Apartment");
    EXPECT_EQ(same.get_string(u"", text), ERROR_SUCCESS);
    EXPECT_EQ(text, u"default");
    std::uint32_t mtu = 0;
    EXPECT_EQ(same.get_dword(u"mtu", mtu), ERROR_SUCCESS);
    EXPECT_EQ(mtu, 1280u);
    EXPECT_EQ(same.get_string(u"MTU", text), ERROR_INVALID_DATATYPE);
    EXPECT_EQ(same.get_dword(u"ThreadingModel", mtu), ERROR_INVALID_DATATYPE);
    EXPECT_EQ(same.get_string(u"Missing", text), ERROR_FILE_NOT_FOUND);

    // Overwriting keeps the value's place; deletion removes it.
    EXPECT_EQ(same.set_string(u"THREADINGMODEL", u"Both"), ERROR_SUCCESS);
    std::vector<Text> names;
    ASSERT_EQ(key.value_names(names), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<Text>{u"", u"ThreadingModel", u"MTU"}));
    EXPECT_EQ(key.delete_value(u"mtu"), ERROR_SUCCESS);
    EXPECT_EQ(key.delete_value(u"mtu"), ERROR_FILE_NOT_FOUND);

    RegistryKey missing;
    EXPECT_EQ(hkcu().open(u"Software\\Nothing", missing), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(missing.is_open());
    // The roots are separate.
    EXPECT_EQ(RegistryKey::root(RegistryRoot::LocalMachine).open(u"Software\\Orvix", missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(hkcu().create(Text(256, u'x'), missing), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, DeletingTreesAndKeys) {
    RegistryKey clsid, item;
    ASSERT_EQ(hkcu().create(u"CLSID\\{A}\\InprocServer32", item), ERROR_SUCCESS);
    ASSERT_EQ(hkcu().create(u"CLSID\\{B}", item), ERROR_SUCCESS);
    ASSERT_EQ(hkcu().open(u"CLSID", clsid), ERROR_SUCCESS);
    std::vector<Text> subkeys;
    ASSERT_EQ(clsid.subkeys(subkeys), ERROR_SUCCESS);
    EXPECT_EQ(subkeys, (std::vector<Text>{u"{A}", u"{B}"}));

    EXPECT_EQ(clsid.delete_key(u"{a}"), ERROR_ACCESS_DENIED); // has a subkey
    EXPECT_EQ(clsid.delete_key(u"{b}"), ERROR_SUCCESS);
    RegistryKey a;
    ASSERT_EQ(clsid.open(u"{A}", a), ERROR_SUCCESS);
    EXPECT_EQ(clsid.delete_tree(u"{A}"), ERROR_SUCCESS);
    EXPECT_EQ(clsid.delete_tree(u"{A}"), ERROR_FILE_NOT_FOUND);
    // A handle to a deleted key says so.
    EXPECT_EQ(a.set_string(u"", u"x"), ERROR_KEY_DELETED);
    ASSERT_EQ(clsid.subkeys(subkeys), ERROR_SUCCESS);
    EXPECT_TRUE(subkeys.empty());

    // delete_tree with no subkey empties the key itself.
    ASSERT_EQ(clsid.create(u"{C}\\Sub", item), ERROR_SUCCESS);
    ASSERT_EQ(clsid.set_string(u"v", u"1"), ERROR_SUCCESS);
    EXPECT_EQ(clsid.delete_tree(u""), ERROR_SUCCESS);
    std::vector<Text> values;
    ASSERT_EQ(clsid.value_names(values), ERROR_SUCCESS);
    ASSERT_EQ(clsid.subkeys(subkeys), ERROR_SUCCESS);
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(subkeys.empty());
}

TEST_F(Registry, AwkwardTextSurvivesTheFile) {
    const Text texts[] = {
        u"<a href=\"x\">&amp;</a>",
        u"line1\nline2\r\n\ttab",
        u"  leading and trailing  ",
        u"仮想ネットワーク",
        Text(u"nul\0inside", 10),
        Text(1, char16_t(0xD800)) + u"lone surrogate",
        u"",
    };
    RegistryKey key;
    ASSERT_EQ(hkcu().create(u"Texts", key), ERROR_SUCCESS);
    for (std::size_t i = 0; i < std::size(texts); ++i)
        ASSERT_EQ(key.set_string(to_text("v" + std::to_string(i)), texts[i]), ERROR_SUCCESS);
    ASSERT_EQ(key.set_string(u"a\nname", u"odd value name"), ERROR_SUCCESS);

    // Another process changes the file; this one then re-reads all of it.
    const auto [code, out] =
        ChildProcess::run({ORVIX_TEST_HELPER_PATH, "registry-set", "Texts", "other", "changed"});
    ASSERT_EQ(code, 0);
    Text value;
    ASSERT_EQ(key.get_string(u"other", value), ERROR_SUCCESS);
    EXPECT_EQ(value, u"changed");
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        ASSERT_EQ(key.get_string(to_text("v" + std::to_string(i)), value), ERROR_SUCCESS) << i;
        EXPECT_EQ(value, texts[i]) << i;
    }
    ASSERT_EQ(key.get_string(u"A\nNAME", value), ERROR_SUCCESS);
    EXPECT_EQ(value, u"odd value name");

    // The other process reads what this one wrote.
    const auto [code2, out2] =
        ChildProcess::run({ORVIX_TEST_HELPER_PATH, "registry-get", "texts", "V3"});
    EXPECT_EQ(code2, 0);
    EXPECT_EQ(out2, "仮想ネットワーク\n");
}

TEST_F(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
    constexpr int kEach = 40;
    ChildProcess a({ORVIX_TEST_HELPER_PATH, "registry-fill", "Shared", "a", std::to_string(kEach)});
    ChildProcess b({ORVIX_TEST_HELPER_PATH, "registry-fill", "Shared", "b", std::to_string(kEach)});
    ASSERT_TRUE(a.started() && b.started());
    RegistryKey key;
    ASSERT_EQ(hkcu().create(u"Shared", key), ERROR_SUCCESS);
    for (int i = 0; i < kEach; ++i)
        ASSERT_EQ(key.set_dword(to_text("c" + std::to_string(i)), i), ERROR_SUCCESS);
    EXPECT_EQ(a.wait(std::chrono::seconds(30)), 0);
    EXPECT_EQ(b.wait(std::chrono::seconds(30)), 0);

    std::vector<Text> names;
    ASSERT_EQ(key.value_names(names), ERROR_SUCCESS);
    EXPECT_EQ(names.size(), 3u * kEach);
    for (const char* prefix : {"a", "b", "c"}) {
        std::uint32_t v = 0;
        EXPECT_EQ(key.get_dword(to_text(prefix + std::to_string(kEach - 1)), v), ERROR_SUCCESS);
        EXPECT_EQ(v, std::uint32_t(kEach - 1));
    }
}

TEST_F(Registry, UnreadableFileIsKeptAsideAndReplaced) {
    {
        std::ofstream f(dir_ + "/registry.xml");
        f << "<registry><key name=\"HKEY_CURRENT_USER\"><key name=";
    }
    Text value;
    EXPECT_FALSE(registry_read_string(RegistryRoot::CurrentUser, u"Anything"));
    ASSERT_EQ(registry_write_string(RegistryRoot::CurrentUser, u"Fresh", u"", u"start"),
              ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/registry.xml.corrupt"));
    EXPECT_EQ(registry_read_string(RegistryRoot::CurrentUser, u"fresh"), Text(u"start"));
    EXPECT_EQ(registry_file(), std::filesystem::path(dir_) / "registry.xml");
}

} // namespace
