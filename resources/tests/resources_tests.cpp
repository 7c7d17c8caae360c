#include "orvixstrings_app.h"
#include "orvixstrings_log.h"
#include "orvixstrings_svclib.h"
#include "platform/module.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platform::Text;

// An independent reading of a data file: id -> text with the escapes resolved.
std::map<std::uint32_t, Text> read_data_file(const fs::path& path) {
    std::map<std::uint32_t, Text> out;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const auto tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        std::string text;
        for (std::size_t i = tab + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                const char e = line[++i];
                text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e);
            } else {
                text.push_back(line[i]);
            }
        }
        out[static_cast<std::uint32_t>(std::stoul(line.substr(0, tab)))] =
            platform::utf8_to_utf16(text);
    }
    return out;
}

Text table_string(const platform::ResourceTable& table, std::uint32_t id) {
    const auto text = platform::find_string(table, id);
    return text ? Text(*text) : Text(u"<missing>");
}

TEST(StringTables, CompiledTablesMatchTheirDataFiles) {
    struct Case {
        const char* file;
        const platform::ResourceTable* table;
        std::uint16_t language;
    };
    const Case cases[] = {
        {"app.1041.txt", app_string_table_1041(), 1041},
        {"app.2052.txt", app_string_table_2052(), 2052},
        {"log.1041.txt", log_string_table(), 1041},
        {"svclib.1041.txt", svclib_string_table(), 1041},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto expected = read_data_file(fs::path(ORVIX_STRINGS_DIR) / c.file);
        ASSERT_FALSE(expected.empty());
        ASSERT_NE(c.table, nullptr);
        EXPECT_EQ(c.table->language, c.language);
        EXPECT_EQ(c.table->string_count, expected.size());
        for (const auto& [id, text] : expected)
            EXPECT_EQ(table_string(*c.table, id), text) << id;
        for (std::size_t i = 1; i < c.table->string_count; ++i)
            EXPECT_LT(c.table->strings[i - 1].id, c.table->strings[i].id);
    }
}

TEST(StringTables, KnownTexts) {
    const auto& ja = *app_string_table_1041();
    const auto& zh = *app_string_table_2052();
    EXPECT_EQ(table_string(ja, 103), u"サービスが開始するのを待っています");
    EXPECT_EQ(table_string(ja, 1003), u"仮想ネットワークに接続しました。\nIPアドレス : %s");
    EXPECT_EQ(table_string(zh, 121), u"发生超时 "); // the trailing space is part of the text
    EXPECT_EQ(table_string(zh, 118), u"现在正在进行连接。\n马上断开吗？ ");
    EXPECT_FALSE(platform::find_string(zh, 136)); // Japanese only
    EXPECT_FALSE(platform::find_string(zh, 139));
    EXPECT_EQ(table_string(*svclib_string_table(), 100), u"za32vu");
    EXPECT_EQ(table_string(*svclib_string_table(), 206), u"KP service is stopped");

    const auto line = platform::format(table_string(*log_string_table(), 5090),
                                       Text(u"OrvixApplication"), Text(u"A"));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, u"SCAPP:{CVi32ZirAru::InitInstance} OrvixApplication Edition A");
    const auto version = platform::format(table_string(*log_string_table(), 4570),
                                          Text(u"CConfigUser::SetParam"), Text(u"user.dat"), 3);
    ASSERT_TRUE(version);
    EXPECT_EQ(*version, u"LIB_CONF:{CConfigUser::SetParam} user.dat version error(3)");
}

TEST(StringTables, BothLanguagesCarryTheSameIdsAndFormats) {
    const auto& ja = *app_string_table_1041();
    const auto& zh = *app_string_table_2052();
    for (std::size_t i = 0; i < ja.string_count; ++i) {
        const std::uint32_t id = ja.strings[i].id;
        if (id == 136 || id == 139)
            continue;
        const auto other = platform::find_string(zh, id);
        ASSERT_TRUE(other) << id;
        // a translation must take the same arguments, or formatting it would fail
        EXPECT_EQ(platform::count_format_args(ja.strings[i].text),
                  platform::count_format_args(*other))
            << id;
    }
    EXPECT_EQ(ja.string_count, zh.string_count + 2);
    for (const auto* table : {&ja, &zh, log_string_table(), svclib_string_table()}) {
        for (std::size_t i = 0; i < table->string_count; ++i)
            EXPECT_TRUE(platform::count_format_args(table->strings[i].text))
                << table->strings[i].id;
    }
}

// ---- A resource module built by orvix_resource_module ------------------------------------------

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ResourceModule, LoadsStringsAndBinaryResources) {
    const auto module = platform::ResourceModule::load(ORVIX_TEST_MODULE);
    ASSERT_TRUE(module);
    EXPECT_EQ(module->table().language, 2052);
    EXPECT_EQ(module->string(1003), u"已连接到虚拟网络。\nIP地址 : %s");
    EXPECT_EQ(module->string(42), u"tab\there\\back\rcr");
    EXPECT_EQ(module->string(7), u"😀 emoji");
    EXPECT_EQ(module->string(0), u"zero id");
    EXPECT_EQ(module->string(65535), u"last id");
    EXPECT_EQ(module->string(8), u"");

    const auto* html = platform::find_resource(module->table(), "HTML", 1101);
    ASSERT_NE(html, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(html->data), html->size),
              read_file(fs::path(ORVIX_TEST_DATA_DIR) / "page.html"));
    const auto* icon = platform::find_resource(module->table(), "ICON", 128);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(icon->data), icon->size),
              read_file(fs::path(ORVIX_TEST_DATA_DIR) / "icon.bin"));
    EXPECT_EQ(platform::find_resource(module->table(), "HTML", 128), nullptr);
    EXPECT_EQ(platform::find_resource(module->table(), "MENU", 1101), nullptr);

    EXPECT_FALSE(
        platform::ResourceModule::load(fs::path(ORVIX_TEST_MODULE).parent_path() / "missing.so"));
}

// The process's resource source: the module alone when one is set, else the own tables in the
// order of the user's language. One test, as the source is process-wide.
TEST(ResourceSource, ModuleFirstElseOwnTablesByLanguage) {
    platform::register_own_table(app_string_table_1041());
    platform::register_own_table(app_string_table_2052());
    platform::register_own_table(log_string_table());
    platform::register_own_table(app_string_table_1041()); // again: no change

    const auto module = platform::ResourceModule::load(ORVIX_TEST_MODULE);
    ASSERT_TRUE(module);
    platform::set_resource_module(module);
    EXPECT_EQ(platform::resource_module(), module);
    EXPECT_EQ(platform::load_string(1003), u"已连接到虚拟网络。\nIP地址 : %s");
    EXPECT_EQ(platform::load_string(5090), u"MODULE:{Test::Table} %s Edition %s");
    EXPECT_EQ(platform::load_string(103), u""); // only the module is asked
    platform::set_resource_module(nullptr);

    struct Case {
        const char* language;
        std::uint32_t id;
        Text expected;
    };
    const Case cases[] = {
        {"1041", 105, u"接続先の登録がありません"},
        {"2052", 105, u"没有已登记的连接目标"},
        {"1028", 105, u"没有已登记的连接目标"},     // same primary language
        {"1033", 105, u"接続先の登録がありません"}, // none fits: the first registered
        {"2052", 136, u"KPクライアント Edition A"}, // missing in Chinese: any language
        {"2052", 5090, u"SCAPP:{CVi32ZirAru::InitInstance} %s Edition %s"},
        {"1041", 4, u""},
    };
    const char* saved = std::getenv("ORVIX_UI_LANGUAGE");
    const std::string saved_value = saved != nullptr ? saved : "";
    for (const auto& c : cases) {
        ::setenv("ORVIX_UI_LANGUAGE", c.language, 1);
        EXPECT_EQ(platform::load_string(c.id), c.expected) << c.language << " " << c.id;
    }
    if (saved != nullptr)
        ::setenv("ORVIX_UI_LANGUAGE", saved_value.c_str(), 1);
    else
        ::unsetenv("ORVIX_UI_LANGUAGE");
}

// ---- The generator refuses bad data with the file and line ------------------------------------

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "orvix-res-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr)
            path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

struct GenResult {
    int status = -1;
    std::string errors;
    std::string source;
};

GenResult run_resgen(const fs::path& dir, const std::vector<std::string>& files) {
    std::string cmd = std::string("'") + ORVIX_RESGEN + "' --output '" +
                      (dir / "out.cpp").string() + "' --language 1041 --symbol t";
    for (const auto& f : files)
        cmd += " '" + (dir / f).string() + "'";
    cmd += " 2>'" + (dir / "errors.txt").string() + "'";
    GenResult r;
    const int rc = std::system(cmd.c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.errors = read_file(dir / "errors.txt");
    r.source = read_file(dir / "out.cpp");
    return r;
}

void write(const fs::path& p, const std::string& s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << s;
}

TEST(Resgen, RefusesMalformedDataWithFileAndLine) {
    struct Case {
        std::string content;
        std::string message; // expected in the error output after "bad.txt:<line>: error:"
        int line;
    };
    const Case cases[] = {
        {"# ok\n1\tone\n2 two\n", "expected <id><TAB><text>", 3},
        {"x1\tone\n", "decimal number", 1},
        {"65536\tone\n", "decimal number", 1},
        {"\tone\n", "decimal number", 1},
        {"1\tone\n\n1\tagain\n", "id 1 is already defined at", 3},
        {"1\tbad \\q escape\n", "unknown escape", 1},
        {"1\ttrailing backslash\\\n", "unknown escape", 1},
        {"1\tbad \xC3\x28 utf8\n", "not valid UTF-8", 1},
        {"1\ttwo\ttabs\n", "TAB", 1},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write(dir.path() / "bad.txt", c.content);
        const GenResult r = run_resgen(dir.path(), {"bad.txt"});
        EXPECT_EQ(r.status, 1) << c.content;
        const std::string where = "bad.txt:" + std::to_string(c.line) + ": error:";
        EXPECT_NE(r.errors.find(where), std::string::npos) << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
        EXPECT_FALSE(fs::exists(dir.path() / "out.cpp"));
    }
}

TEST(Resgen, DuplicateAcrossFilesNamesBothPlaces) {
    TempDir dir;
    write(dir.path() / "a.txt", "10\tten\n");
    write(dir.path() / "b.txt", "#\n10\tzehn\n");
    const GenResult r = run_resgen(dir.path(), {"a.txt", "b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("b.txt:2: error: id 10 is already defined at"), std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find("a.txt:1"), std::string::npos) << r.errors;
}

TEST(Resgen, AcceptsBomCrlfAndBlankLines) {
    TempDir dir;
    write(dir.path() / "ok.txt", "\xEF\xBB\xBF# comment\r\n\r\n   \r\n2\ttwo\r\n1\t\r\n");
    const GenResult r = run_resgen(dir.path(), {"ok.txt"});
    EXPECT_EQ(r.status, 0) << r.errors;
    // sorted by id, the empty text kept
    const auto one = r.source.find("{1u, u\"\"}");
    const auto two = r.source.find("{2u, u\"two\"}");
    EXPECT_NE(one, std::string::npos) << r.source;
    EXPECT_NE(two, std::string::npos) << r.source;
    EXPECT_LT(one, two);
}

} // namespace
