// The registry as one XML file shared by every process: an in-memory tree per process, reloaded
// when the file changed, and every change written whole (temporary file and rename) under a
// machine-wide mutex.
//
// File layout:
//   <registry version="1">
//     <key name="HKEY_CLASSES_ROOT">
//       <key name="CLSID">
//         <value name="" type="sz" data="default text"/>
//         <value name="Count" type="dword" data="12"/>
//         <key name="...">...</key>
// Text that XML cannot carry unchanged (control characters, unpaired surrogates) is stored as
// UTF-16 code units in hex, in the attribute "name-hex" or "data-hex" instead.
#include "platform/registry.h"

#include "platform/fs.h"
#include "platform/sync.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t kMaxKeyName = 255;
constexpr Milliseconds kLockTimeout{10000};
constexpr const char16_t* kRootNames[] = {u"HKEY_CLASSES_ROOT", u"HKEY_LOCAL_MACHINE",
                                          u"HKEY_CURRENT_USER"};

char16_t fold(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool same_name(TextView a, TextView b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

struct Node {
    Text name;
    std::vector<std::pair<Text, RegistryValue>> values; // in creation order
    std::vector<std::unique_ptr<Node>> children;        // in creation order

    Node* child(TextView n) const {
        for (const auto& c : children)
            if (same_name(c->name, n))
                return c.get();
        return nullptr;
    }
    RegistryValue* value(TextView n) {
        for (auto& v : values)
            if (same_name(v.first, n))
                return &v.second;
        return nullptr;
    }
};

// Splits a key path into its names; empty components are skipped. False for a name that is too
// long.
bool split_path(TextView path, std::vector<Text>& out) {
    out.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == TextView::npos)
            end = path.size();
        if (end > start) {
            if (end - start > kMaxKeyName)
                return false;
            out.emplace_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return true;
}

Text join(const std::vector<Text>& names) {
    Text out;
    for (const auto& n : names) {
        if (!out.empty())
            out += u'\\';
        out += n;
    }
    return out;
}

// ---- Text encoding in the file ----------------------------------------------------------------
bool plain(TextView text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string to_hex(TextView text) {
    std::string out;
    char buf[5];
    for (char16_t c : text) {
        std::snprintf(buf, sizeof buf, "%04X", unsigned(c));
        out += buf;
    }
    return out;
}

std::optional<Text> from_hex(std::string_view hex) {
    if (hex.size() % 4 != 0)
        return std::nullopt;
    Text out;
    for (std::size_t i = 0; i < hex.size(); i += 4) {
        unsigned v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = hex[i + k];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else
                return std::nullopt;
            v = v * 16 + d;
        }
        out.push_back(static_cast<char16_t>(v));
    }
    return out;
}

void put_text(pugi::xml_node node, const char* attr, TextView text) {
    if (plain(text)) {
        node.append_attribute(attr).set_value(utf16_to_utf8(text).c_str());
    } else {
        const std::string name = std::string(attr) + "-hex";
        node.append_attribute(name.c_str()).set_value(to_hex(text).c_str());
    }
}

std::optional<Text> get_text(pugi::xml_node node, const char* attr) {
    if (auto a = node.attribute(attr))
        return utf8_to_utf16(a.value());
    const std::string name = std::string(attr) + "-hex";
    if (auto a = node.attribute(name.c_str()))
        return from_hex(a.value());
    return std::nullopt;
}

void write_node(pugi::xml_node out, const Node& node) {
    put_text(out, "name", node.name);
    for (const auto& [name, value] : node.values) {
        auto v = out.append_child("value");
        put_text(v, "name", name);
        if (const Text* s = std::get_if<Text>(&value)) {
            v.append_attribute("type").set_value("sz");
            put_text(v, "data", *s);
        } else {
            v.append_attribute("type").set_value("dword");
            v.append_attribute("data").set_value(std::get<std::uint32_t>(value));
        }
    }
    for (const auto& child : node.children)
        write_node(out.append_child("key"), *child);
}

bool read_node(pugi::xml_node in, Node& node) {
    for (auto v : in.children("value")) {
        auto name = get_text(v, "name");
        if (!name)
            return false;
        const std::string_view type = v.attribute("type").value();
        if (type == "sz") {
            auto data = get_text(v, "data");
            if (!data)
                return false;
            node.values.emplace_back(std::move(*name), RegistryValue(std::move(*data)));
        } else if (type == "dword") {
            const char* text = v.attribute("data").value();
            char* end = nullptr;
            errno = 0;
            const unsigned long n = std::strtoul(text, &end, 10);
            if (errno || end == text || *end != '\0' || n > 0xFFFFFFFFul)
                return false;
            node.values.emplace_back(std::move(*name),
                                     RegistryValue(static_cast<std::uint32_t>(n)));
        } else {
            return false;
        }
    }
    for (auto k : in.children("key")) {
        auto child = std::make_unique<Node>();
        auto name = get_text(k, "name");
        if (!name || name->empty())
            return false;
        child->name = std::move(*name);
        if (!read_node(k, *child))
            return false;
        node.children.push_back(std::move(child));
    }
    return true;
}

struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileStamp stamp_of(const struct stat& st) {
    FileStamp s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

std::filesystem::path registry_dir() {
    if (const char* dir = std::getenv("ORVIX_REGISTRY_DIR"); dir && *dir)
        return dir;
    return std::filesystem::path("/var/tmp") / ("orvix-registry-" + std::to_string(getuid()));
}

// The tree of one registry file, as this process last read it.
class Store {
  public:
    using Edit = std::function<std::uint32_t(Node* roots, bool& changed)>;
    using Read = std::function<std::uint32_t(Node* roots)>;

    std::uint32_t read(const Read& body) {
        std::lock_guard lock(mutex_);
        select_file();
        refresh();
        return body(roots_);
    }

    std::uint32_t edit(const Edit& body) {
        std::lock_guard lock(mutex_);
        select_file();
        if (const std::uint32_t err = platform::create_directories(dir_))
            return err;
        if (!system_mutex_ || !system_mutex_->valid())
            return system_mutex_ ? system_mutex_->last_error() : ERROR_GEN_FAILURE;
        const auto waited = system_mutex_->wait(kLockTimeout);
        if (waited == SystemMutex::WaitResult::Timeout)
            return ERROR_TIMEOUT;
        if (waited == SystemMutex::WaitResult::Failed)
            return ERROR_GEN_FAILURE;
        refresh();
        bool changed = false;
        std::uint32_t result = body(roots_, changed);
        if (changed) {
            if (const std::uint32_t err = save()) {
                result = err;
                loaded_ = false; // drop the unsaved change: re-read what is really stored
                stamp_ = FileStamp{};
            }
        }
        system_mutex_->release();
        return result;
    }

    std::filesystem::path file() {
        std::lock_guard lock(mutex_);
        select_file();
        return file_;
    }

  private:
    // Follows ORVIX_REGISTRY_DIR, which tests change between cases.
    void select_file() {
        auto dir = registry_dir();
        if (dir == dir_ && system_mutex_)
            return;
        dir_ = std::move(dir);
        file_ = dir_ / "registry.xml";
        const std::size_t h = std::hash<std::string>{}(dir_.string());
        char name[64];
        std::snprintf(name, sizeof name, "OrvixRegistry-%016zx", h);
        system_mutex_ = std::make_unique<SystemMutex>(to_text(name));
        clear();
        stamp_ = FileStamp{};
        loaded_ = false;
    }

    void clear() {
        for (std::size_t i = 0; i < 3; ++i) {
            roots_[i] = Node{};
            roots_[i].name = kRootNames[i];
        }
    }

    // Reloads the tree when the file is not the one last read.
    void refresh() {
        const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (!loaded_ || stamp_.exists) {
                clear();
                stamp_ = FileStamp{};
                loaded_ = true;
            }
            return;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            ::close(fd);
            return;
        }
        const FileStamp now = stamp_of(st);
        if (loaded_ && now == stamp_) {
            ::close(fd);
            return;
        }
        std::string data;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        clear();
        corrupt_ = !parse(data);
        if (corrupt_)
            clear();
        stamp_ = now;
        loaded_ = true;
    }

    bool parse(const std::string& data) {
        pugi::xml_document doc;
        if (!doc.load_buffer(data.data(), data.size(), pugi::parse_escapes, pugi::encoding_utf8))
            return false;
        auto top = doc.child("registry");
        if (!top)
            return false;
        for (auto k : top.children("key")) {
            auto name = get_text(k, "name");
            if (!name)
                return false;
            for (std::size_t i = 0; i < 3; ++i)
                if (same_name(*name, kRootNames[i]) && !read_node(k, roots_[i]))
                    return false;
        }
        return true;
    }

    std::uint32_t save() {
        if (corrupt_) {
            // Keep what could not be read for inspection instead of overwriting it.
            std::error_code ec;
            std::filesystem::rename(file_, file_.string() + ".corrupt", ec);
            corrupt_ = false;
        }
        pugi::xml_document doc;
        auto decl = doc.append_child(pugi::node_declaration);
        decl.append_attribute("version").set_value("1.0");
        decl.append_attribute("encoding").set_value("utf-8");
        auto top = doc.append_child("registry");
        top.append_attribute("version").set_value(1);
        for (const auto& root : roots_)
            write_node(top.append_child("key"), root);
        std::ostringstream out;
        doc.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
        const std::string data = out.str();
        if (const std::uint32_t err = replace_file_contents(file_, data.data(), data.size()))
            return err == ERROR_DISK_FULL ? err : ERROR_CANTWRITE;
        struct stat st {};
        if (::stat(file_.c_str(), &st) == 0)
            stamp_ = stamp_of(st);
        return ERROR_SUCCESS;
    }

    std::mutex mutex_;
    std::filesystem::path dir_, file_;
    std::unique_ptr<SystemMutex> system_mutex_;
    Node roots_[3];
    FileStamp stamp_;
    bool loaded_ = false;
    bool corrupt_ = false;
};

Store& store() {
    static Store* s = new Store; // used until the very end of the process
    return *s;
}

Node* find(Node* roots, RegistryRoot root, const std::vector<Text>& names) {
    Node* node = &roots[static_cast<int>(root)];
    for (const auto& n : names) {
        node = node->child(n);
        if (!node)
            return nullptr;
    }
    return node;
}

// Resolves `key`'s own path; ERROR_KEY_DELETED when it is gone.
std::uint32_t resolve(Node* roots, const RegistryKey& key, Node*& out) {
    std::vector<Text> names;
    split_path(key.path(), names);
    out = find(roots, key.root_id(), names);
    return out ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

} // namespace

RegistryKey RegistryKey::root(RegistryRoot root) {
    return RegistryKey(root, Text());
}

std::uint32_t RegistryKey::open(TextView subkey, RegistryKey& out) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    std::vector<Text> names;
    if (!split_path(subkey, names))
        return ERROR_INVALID_PARAMETER;
    return store().read([&](Node* roots) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        std::vector<Text> full;
        split_path(path_, full);
        for (const auto& n : names) {
            node = node->child(n);
            if (!node)
                return ERROR_FILE_NOT_FOUND;
            full.push_back(node->name);
        }
        out = RegistryKey(root_, join(full));
        return ERROR_SUCCESS;
    });
}

std::uint32_t RegistryKey::create(TextView subkey, RegistryKey& out, bool* created) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    if (created)
        *created = false;
    std::vector<Text> names;
    if (!split_path(subkey, names))
        return ERROR_INVALID_PARAMETER;
    return store().edit([&](Node* roots, bool& changed) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        std::vector<Text> full;
        split_path(path_, full);
        bool is_new = false;
        for (const auto& n : names) {
            Node* next = node->child(n);
            is_new = next == nullptr;
            if (!next) {
                node->children.push_back(std::make_unique<Node>());
                next = node->children.back().get();
                next->name = n;
                changed = true;
            }
            node = next;
            full.push_back(node->name);
        }
        if (created)
            *created = is_new;
        out = RegistryKey(root_, join(full));
        return ERROR_SUCCESS;
    });
}

namespace {
std::uint32_t delete_below(const RegistryKey& key, TextView subkey, bool recursive) {
    std::vector<Text> names;
    if (!split_path(subkey, names))
        return ERROR_INVALID_PARAMETER;
    return store().edit([&](Node* roots, bool& changed) -> std::uint32_t {
        Node* parent = nullptr;
        if (const std::uint32_t err = resolve(roots, key, parent))
            return err;
        if (names.empty()) {
            if (!recursive)
                return ERROR_INVALID_PARAMETER;
            // The key itself stays; everything in it goes.
            changed = !parent->children.empty() || !parent->values.empty();
            parent->children.clear();
            parent->values.clear();
            return ERROR_SUCCESS;
        }
        for (std::size_t i = 0; i + 1 < names.size(); ++i) {
            parent = parent->child(names[i]);
            if (!parent)
                return ERROR_FILE_NOT_FOUND;
        }
        auto& list = parent->children;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (!same_name((*it)->name, names.back()))
                continue;
            if (!recursive && !(*it)->children.empty())
                return ERROR_ACCESS_DENIED;
            list.erase(it);
            changed = true;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}
} // namespace

std::uint32_t RegistryKey::delete_tree(TextView subkey) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return delete_below(*this, subkey, true);
}

std::uint32_t RegistryKey::delete_key(TextView subkey) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return delete_below(*this, subkey, false);
}

std::uint32_t RegistryKey::set_value(TextView name, const RegistryValue& value) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return store().edit([&](Node* roots, bool& changed) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        if (RegistryValue* existing = node->value(name)) {
            if (*existing == value)
                return ERROR_SUCCESS;
            *existing = value;
        } else {
            node->values.emplace_back(Text(name), value);
        }
        changed = true;
        return ERROR_SUCCESS;
    });
}

std::uint32_t RegistryKey::get_value(TextView name, RegistryValue& out) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return store().read([&](Node* roots) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        const RegistryValue* v = node->value(name);
        if (!v)
            return ERROR_FILE_NOT_FOUND;
        out = *v;
        return ERROR_SUCCESS;
    });
}

std::uint32_t RegistryKey::get_string(TextView name, Text& out) const {
    RegistryValue v;
    if (const std::uint32_t err = get_value(name, v))
        return err;
    if (!std::holds_alternative<Text>(v))
        return ERROR_INVALID_DATATYPE;
    out = std::get<Text>(std::move(v));
    return ERROR_SUCCESS;
}

std::uint32_t RegistryKey::get_dword(TextView name, std::uint32_t& out) const {
    RegistryValue v;
    if (const std::uint32_t err = get_value(name, v))
        return err;
    if (!std::holds_alternative<std::uint32_t>(v))
        return ERROR_INVALID_DATATYPE;
    out = std::get<std::uint32_t>(v);
    return ERROR_SUCCESS;
}

std::uint32_t RegistryKey::delete_value(TextView name) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return store().edit([&](Node* roots, bool& changed) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        for (auto it = node->values.begin(); it != node->values.end(); ++it) {
            if (same_name(it->first, name)) {
                node->values.erase(it);
                changed = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

std::uint32_t RegistryKey::subkeys(std::vector<Text>& out) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return store().read([&](Node* roots) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        out.clear();
        for (const auto& c : node->children)
            out.push_back(c->name);
        return ERROR_SUCCESS;
    });
}

std::uint32_t RegistryKey::value_names(std::vector<Text>& out) const {
    if (!open_)
        return ERROR_INVALID_HANDLE;
    return store().read([&](Node* roots) -> std::uint32_t {
        Node* node = nullptr;
        if (const std::uint32_t err = resolve(roots, *this, node))
            return err;
        out.clear();
        for (const auto& v : node->values)
            out.push_back(v.first);
        return ERROR_SUCCESS;
    });
}

std::optional<Text> registry_read_string(RegistryRoot root, TextView path, TextView name) {
    RegistryKey key;
    if (RegistryKey::root(root).open(path, key) != ERROR_SUCCESS)
        return std::nullopt;
    Text value;
    if (key.get_string(name, value) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::uint32_t registry_write_string(RegistryRoot root, TextView path, TextView name,
                                    TextView value) {
    RegistryKey key;
    if (const std::uint32_t err = RegistryKey::root(root).create(path, key))
        return err;
    return key.set_string(name, value);
}

std::filesystem::path registry_file() {
    return store().file();
}

} // namespace platform
