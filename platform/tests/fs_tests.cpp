#include "platform/fs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "orvix-fs-XXXXXX").string();
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

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_text(const fs::path& p, std::string_view s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(s.data(), static_cast<std::streamsize>(s.size()));
}

class FsTest : public ::testing::Test {
  protected:
    TempDir dir_;
};

TEST(Paths, TextAndComponents) {
    EXPECT_EQ(to_path(u"a\\b/c.txt"), fs::path("a/b/c.txt"));
    EXPECT_EQ(to_path(u"接続\\x"), fs::path("\xE6\x8E\xA5\xE7\xB6\x9A/x"));
    EXPECT_EQ(from_path(fs::path("/tmp/接続")), u"/tmp/接続");
    EXPECT_EQ(last_path_component(u"C:\\prog\\orvixapp.exe"), u"orvixapp.exe");
    EXPECT_EQ(last_path_component(u"/a/b"), u"b");
    EXPECT_EQ(last_path_component(u"plain"), u"plain");
    EXPECT_EQ(last_path_component(u"dir/"), u"");
    EXPECT_EQ(join_path(u"/a", u"b"), u"/a/b");
    EXPECT_EQ(join_path(u"/a/", u"b"), u"/a/b");
    EXPECT_EQ(join_path(u"", u"b"), u"b");
}

TEST_F(FsTest, SecondOpenerIsRefusedWhileAnExclusiveOpenExists) {
    const fs::path p = dir_.path() / "log.txt";
    std::uint32_t err = 1;
    File first =
        File::open(p, FileAccess::Write, FileDisposition::CreateAlways, FileShare::Exclusive, &err);
    ASSERT_TRUE(first.is_open());
    EXPECT_EQ(err, ERROR_SUCCESS);

    for (const FileShare share : {FileShare::Exclusive, FileShare::Shared}) {
        for (const FileAccess access : {FileAccess::Read, FileAccess::Write}) {
            File second = File::open(p, access, FileDisposition::OpenExisting, share, &err);
            EXPECT_FALSE(second.is_open());
            EXPECT_EQ(err, ERROR_SHARING_VIOLATION);
            EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_system(err)), 0x80070020u);
        }
    }
    EXPECT_EQ(append_to_file(p, "x", 1), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(replace_file_contents(p, "x", 1), ERROR_SHARING_VIOLATION);

    first.close();
    File again =
        File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Exclusive, &err);
    EXPECT_TRUE(again.is_open());
}

TEST_F(FsTest, SharedOpensCoexistButRefuseAnExclusiveOne) {
    const fs::path p = dir_.path() / "shared.txt";
    std::uint32_t err = 1;
    File a = File::open(p, FileAccess::ReadWrite, FileDisposition::OpenAlways, FileShare::Shared);
    File b =
        File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Shared, &err);
    ASSERT_TRUE(a.is_open());
    ASSERT_TRUE(b.is_open());
    File c =
        File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Exclusive, &err);
    EXPECT_FALSE(c.is_open());
    EXPECT_EQ(err, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(append_to_file(p, "ok", 2), ERROR_SUCCESS);
}

TEST_F(FsTest, RefusedCreateAlwaysLeavesTheContentAlone) {
    const fs::path p = dir_.path() / "keep.txt";
    write_text(p, "precious");
    File holder =
        File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Exclusive);
    ASSERT_TRUE(holder.is_open());
    std::uint32_t err = 0;
    File other =
        File::open(p, FileAccess::Write, FileDisposition::CreateAlways, FileShare::Shared, &err);
    EXPECT_FALSE(other.is_open());
    EXPECT_EQ(err, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(read_text(p), "precious");
}

// Waits for one byte on `fd` for at most `ms`; false on time-out or end of pipe.
bool wait_byte(int fd, int ms, char& out) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, ms) != 1)
        return false;
    return ::read(fd, &out, 1) == 1;
}

TEST_F(FsTest, ExclusiveOpenHoldsAgainstAnotherProcess) {
    const fs::path p = dir_.path() / "cross.txt";
    write_text(p, "data");
    int to_child[2];
    int to_parent[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(to_parent), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // child: hold the file exclusively until told to go, then try it the other way round
        ::close(to_child[1]);
        ::close(to_parent[0]);
        char c = 0;
        {
            File held = File::open(p, FileAccess::ReadWrite, FileDisposition::OpenExisting,
                                   FileShare::Exclusive);
            c = held.is_open() ? 'H' : 'F';
            if (::write(to_parent[1], &c, 1) != 1 || !wait_byte(to_child[0], 20000, c))
                ::_exit(2);
        }
        if (::write(to_parent[1], "R", 1) != 1 || !wait_byte(to_child[0], 20000, c))
            ::_exit(3);
        std::uint32_t err = 0;
        File refused =
            File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Shared, &err);
        ::_exit(!refused.is_open() && err == ERROR_SHARING_VIOLATION ? 0 : 4);
    }
    ::close(to_child[0]);
    ::close(to_parent[1]);
    char c = 0;
    ASSERT_TRUE(wait_byte(to_parent[0], 20000, c));
    EXPECT_EQ(c, 'H');
    std::uint32_t err = 0;
    {
        File mine =
            File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Shared, &err);
        EXPECT_FALSE(mine.is_open());
        EXPECT_EQ(err, ERROR_SHARING_VIOLATION);
    }
    ASSERT_EQ(::write(to_child[1], "g", 1), 1);
    ASSERT_TRUE(wait_byte(to_parent[0], 20000, c));
    EXPECT_EQ(c, 'R');
    // the child closed its open: now this process holds it and the child must be refused
    File mine =
        File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Exclusive, &err);
    EXPECT_TRUE(mine.is_open());
    ASSERT_EQ(::write(to_child[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(to_child[1]);
    ::close(to_parent[0]);
}

TEST_F(FsTest, DispositionsAndErrors) {
    const fs::path existing = dir_.path() / "existing.txt";
    const fs::path missing = dir_.path() / "missing.txt";
    const fs::path no_parent = dir_.path() / "nowhere" / "x.txt";
    struct Case {
        fs::path path;
        FileDisposition disposition;
        std::uint32_t error;
        const char* content_after; // nullptr: file must not exist afterwards
    };
    const Case cases[] = {
        {existing, FileDisposition::OpenExisting, ERROR_SUCCESS, "old"},
        {missing, FileDisposition::OpenExisting, ERROR_FILE_NOT_FOUND, nullptr},
        {no_parent, FileDisposition::OpenExisting, ERROR_PATH_NOT_FOUND, nullptr},
        {no_parent, FileDisposition::CreateAlways, ERROR_PATH_NOT_FOUND, nullptr},
        {existing, FileDisposition::CreateNew, ERROR_FILE_EXISTS, "old"},
        {missing, FileDisposition::CreateNew, ERROR_SUCCESS, ""},
        {existing, FileDisposition::OpenAlways, ERROR_SUCCESS, "old"},
        {missing, FileDisposition::OpenAlways, ERROR_SUCCESS, ""},
        {existing, FileDisposition::CreateAlways, ERROR_SUCCESS, ""},
        {missing, FileDisposition::CreateAlways, ERROR_SUCCESS, ""},
        {dir_.path(), FileDisposition::OpenExisting, ERROR_ACCESS_DENIED, nullptr},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(index++);
        write_text(existing, "old");
        std::error_code ec;
        fs::remove(missing, ec);
        std::uint32_t err = 12345;
        File f = File::open(c.path, FileAccess::Read, c.disposition, FileShare::Exclusive, &err);
        EXPECT_EQ(err, c.error);
        EXPECT_EQ(f.is_open(), c.error == ERROR_SUCCESS);
        if (c.content_after != nullptr) {
            EXPECT_EQ(read_text(c.path), c.content_after);
        } else if (c.path != dir_.path()) {
            EXPECT_FALSE(fs::exists(c.path));
        }
    }
}

TEST_F(FsTest, ReadWriteSeekTruncate) {
    const fs::path p = dir_.path() / "rw.bin";
    File f = File::open(p, FileAccess::ReadWrite, FileDisposition::CreateNew, FileShare::Exclusive);
    ASSERT_TRUE(f.is_open());
    EXPECT_EQ(f.write("hello world", 11), ERROR_SUCCESS);
    std::uint64_t size = 0;
    EXPECT_EQ(f.size(size), ERROR_SUCCESS);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(f.seek(6), ERROR_SUCCESS);
    char buf[16] = {};
    std::size_t got = 0;
    EXPECT_EQ(f.read(buf, sizeof(buf), got), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, got), "world");
    EXPECT_EQ(f.read(buf, sizeof(buf), got), ERROR_SUCCESS);
    EXPECT_EQ(got, 0u); // end of file
    EXPECT_EQ(f.seek(5), ERROR_SUCCESS);
    EXPECT_EQ(f.truncate(), ERROR_SUCCESS);
    EXPECT_EQ(f.seek_end(), ERROR_SUCCESS);
    EXPECT_EQ(f.write("!", 1), ERROR_SUCCESS);
    EXPECT_EQ(f.flush(), ERROR_SUCCESS);

    std::vector<std::uint8_t> all;
    EXPECT_EQ(f.seek(0), ERROR_SUCCESS);
    EXPECT_EQ(f.read_all(all), ERROR_SUCCESS);
    EXPECT_EQ(std::string(all.begin(), all.end()), "hello!");
    EXPECT_EQ(f.seek(0), ERROR_SUCCESS);
    EXPECT_EQ(f.read_all(all, 4), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(all.begin(), all.end()), "hell");

    File moved = std::move(f);
    EXPECT_FALSE(f.is_open());
    EXPECT_TRUE(moved.is_open());
    moved.close();
    EXPECT_EQ(moved.write("x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(moved.read(buf, 1, got), ERROR_INVALID_HANDLE);
}

TEST_F(FsTest, ReadOnlyOpenCannotWrite) {
    const fs::path p = dir_.path() / "ro.txt";
    write_text(p, "abc");
    File f = File::open(p, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Shared);
    ASSERT_TRUE(f.is_open());
    EXPECT_NE(f.write("x", 1), ERROR_SUCCESS);
    EXPECT_EQ(read_text(p), "abc");
}

TEST_F(FsTest, AppendCreatesAndAppends) {
    const fs::path p = dir_.path() / "append.log";
    EXPECT_EQ(append_to_file(p, "one\n", 4), ERROR_SUCCESS);
    EXPECT_EQ(append_to_file(p, "two\n", 4), ERROR_SUCCESS);
    EXPECT_EQ(read_text(p), "one\ntwo\n");
    EXPECT_EQ(append_to_file(dir_.path() / "no" / "x.log", "x", 1), ERROR_PATH_NOT_FOUND);
}

TEST_F(FsTest, ReplaceFileContentsIsAllOrNothing) {
    const fs::path p = dir_.path() / "user.dat";
    EXPECT_EQ(replace_file_contents(p, "first", 5), ERROR_SUCCESS);
    EXPECT_EQ(read_text(p), "first");
    ::chmod(p.c_str(), 0640);
    EXPECT_EQ(replace_file_contents(p, "second version", 14), ERROR_SUCCESS);
    EXPECT_EQ(read_text(p), "second version");
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(replace_file_contents(p, "", 0), ERROR_SUCCESS);
    EXPECT_EQ(read_text(p), "");

    std::vector<DirEntry> entries;
    ASSERT_EQ(list_directory(dir_.path(), entries), ERROR_SUCCESS);
    ASSERT_EQ(entries.size(), 1u); // no temporary file left behind
    EXPECT_EQ(replace_file_contents(dir_.path() / "gone" / "x", "x", 1), ERROR_PATH_NOT_FOUND);
}

// Restores the variables it was given when it goes, so other tests of the process see the
// environment they were started with.
class EnvironmentGuard {
  public:
    explicit EnvironmentGuard(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value != nullptr, value != nullptr ? value : ""});
        }
    }
    ~EnvironmentGuard() {
        for (const auto& v : saved_) {
            if (v.set)
                ::setenv(v.name.c_str(), v.value.c_str(), 1);
            else
                ::unsetenv(v.name.c_str());
        }
    }

  private:
    struct Saved {
        std::string name;
        bool set;
        std::string value;
    };
    std::vector<Saved> saved_;
};

TEST_F(FsTest, KnownFoldersFollowTheirOverrides) {
    const EnvironmentGuard guard({"ORVIX_COMMON_DOCUMENTS", "ORVIX_PROGRAM_DIR", "ORVIX_TEMP",
                                  "ORVIX_DESKTOP", "ORVIX_USER_STARTUP", "ORVIX_COMMON_STARTUP",
                                  "TMPDIR", "XDG_CONFIG_HOME"});
    struct Case {
        KnownFolder folder;
        const char* variable;
    };
    const Case cases[] = {
        {KnownFolder::CommonDocuments, "ORVIX_COMMON_DOCUMENTS"},
        {KnownFolder::ProgramFolder, "ORVIX_PROGRAM_DIR"},
        {KnownFolder::Temp, "ORVIX_TEMP"},
        {KnownFolder::Desktop, "ORVIX_DESKTOP"},
        {KnownFolder::UserStartup, "ORVIX_USER_STARTUP"},
        {KnownFolder::CommonStartup, "ORVIX_COMMON_STARTUP"},
    };
    for (const auto& c : cases) {
        const fs::path want = dir_.path() / c.variable;
        ::setenv(c.variable, want.c_str(), 1);
        EXPECT_EQ(known_folder(c.folder), want) << c.variable;
        ::setenv(c.variable, "", 1); // empty counts as unset
        EXPECT_NE(known_folder(c.folder), fs::path()) << c.variable;
        ::unsetenv(c.variable);
    }
    ::setenv("TMPDIR", "/some/tmp", 1);
    EXPECT_EQ(known_folder(KnownFolder::Temp), fs::path("/some/tmp"));
    ::unsetenv("TMPDIR");
    EXPECT_EQ(known_folder(KnownFolder::Temp), fs::path("/tmp"));
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(known_folder(KnownFolder::UserStartup), fs::path("/cfg/autostart"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(known_folder(KnownFolder::CommonDocuments), fs::path("/var/tmp/orvix/documents"));
    EXPECT_EQ(known_folder(KnownFolder::CommonStartup), fs::path("/etc/xdg/autostart"));
    EXPECT_EQ(known_folder(KnownFolder::ProgramFolder),
              fs::read_symlink("/proc/self/exe").parent_path());
    EXPECT_EQ(known_folder(KnownFolder::CurrentDirectory), fs::current_path());
}

TEST_F(FsTest, CreateAndListDirectories) {
    const fs::path deep = dir_.path() / "a" / "b" / "c";
    EXPECT_EQ(platform::create_directories(deep), ERROR_SUCCESS);
    EXPECT_EQ(platform::create_directories(deep), ERROR_SUCCESS); // existing is fine
    EXPECT_TRUE(fs::is_directory(deep));
    write_text(dir_.path() / "file", "x");
    EXPECT_NE(platform::create_directories(dir_.path() / "file"), ERROR_SUCCESS);
    EXPECT_EQ(platform::create_directories(dir_.path() / "file" / "sub"), ERROR_PATH_NOT_FOUND);

    write_text(dir_.path() / "Zeta.txt", "");
    write_text(dir_.path() / "beta.txt", "");
    std::vector<DirEntry> entries;
    ASSERT_EQ(list_directory(dir_.path(), entries), ERROR_SUCCESS);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].path.filename(), "Zeta.txt");
    EXPECT_EQ(entries[1].path.filename(), "a");
    EXPECT_TRUE(entries[1].is_directory);
    EXPECT_EQ(entries[2].path.filename(), "beta.txt");
    EXPECT_FALSE(entries[2].is_directory);
    EXPECT_EQ(entries[3].path.filename(), "file");

    EXPECT_EQ(list_directory(dir_.path() / "missing", entries), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(list_directory(dir_.path() / "file", entries), ERROR_DIRECTORY);
}

// ---- INI profiles ----------------------------------------------------------------------------

TEST_F(FsTest, ProfileStrings) {
    const fs::path ini = dir_.path() / "version.ini";
    write_text(ini, "; comment\r\n"
                    "orphan=before any section\r\n"
                    "[Version]\r\n"
                    "  Version = 1.2.3  \r\n"
                    "URL=http://example.invalid/update?a=b\r\n"
                    "Quoted=\"  padded  \"\r\n"
                    "Empty=\r\n"
                    "NoEquals\r\n"
                    "[ Other ]\n"
                    "version=other\n"
                    "名前=値\n");
    struct Case {
        Text section;
        Text key;
        Text expected;
        std::size_t max_chars;
    };
    const Case cases[] = {
        {u"Version", u"Version", u"1.2.3", 1024},
        {u"VERSION", u"version", u"1.2.3", 1024}, // ASCII case does not matter
        {u"Version", u"URL", u"http://example.invalid/update?a=b", 1024},
        {u"Version", u"Quoted", u"  padded  ", 1024},
        {u"Version", u"Empty", u"", 1024},
        {u"Version", u"NoEquals", u"dflt", 1024},
        {u"Version", u"Missing", u"dflt", 1024},
        {u"Missing", u"Version", u"dflt", 1024},
        {u"Other", u"Version", u"other", 1024},
        {u"Other", u"名前", u"値", 1024},
        {u"Version", u"orphan", u"dflt", 1024},
        {u"Version", u"Version", u"1.2", 4}, // buffer of 4: three characters
        {u"Version", u"Missing", u"df", 3},  // the default is cut the same way
        {u"Version", u"Version", u"", 0},
        {u"", u"Version", u"dflt", 1024},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_profile_string(ini, c.section, c.key, u"dflt", c.max_chars), c.expected)
            << utf16_to_utf8(c.section) << "/" << utf16_to_utf8(c.key);
    }
    EXPECT_EQ(read_profile_string(dir_.path() / "none.ini", u"Version", u"Version", u"d"), u"d");
    EXPECT_EQ(read_profile_string(dir_.path(), u"Version", u"Version", u"d"), u"d");
}

TEST_F(FsTest, ProfileEncodings) {
    const fs::path ini = dir_.path() / "enc.ini";
    write_text(ini, "\xEF\xBB\xBF[S]\nk=\xE5\x80\xA4\n");
    EXPECT_EQ(read_profile_string(ini, u"S", u"k", u"d"), u"値");

    const Text utf16 = u"[S]\r\nk=値😀\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : utf16) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    write_text(ini, bytes);
    EXPECT_EQ(read_profile_string(ini, u"s", u"K", u"d"), u"値😀");
    // a surrogate pair is never cut in half
    EXPECT_EQ(read_profile_string(ini, u"S", u"k", u"d", 3), u"値");
}

TEST_F(FsTest, ProfileSurvivesJunk) {
    const fs::path ini = dir_.path() / "junk.ini";
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 131) & 0xFF));
    junk += "\n[S]\n";
    junk += "long=" + std::string(1 << 20, 'v') + "\n";
    junk += std::string("bin\0ary=x\n", 10);
    junk += "k=found\n";
    write_text(ini, junk);
    EXPECT_EQ(read_profile_string(ini, u"S", u"k", u"d"), u"found");
    EXPECT_EQ(read_profile_string(ini, u"S", u"long", u"d", 11), u"vvvvvvvvvv");
    EXPECT_EQ(read_profile_string(ini, u"S", u"long", u"d", 1u << 21).size(), 1u << 20);
}

} // namespace
} // namespace platform
