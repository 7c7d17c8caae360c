#pragma once
// Shared libraries, resource modules and string tables, and the user's UI language.
#include "platform/text.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

// A loaded shared library. Unloaded by the destructor.
class Module {
  public:
    Module() = default;
    ~Module();
    Module(Module&& other) noexcept;
    Module& operator=(Module&& other) noexcept;

    // On failure the module is empty and `error` (when given) holds ERROR_MOD_NOT_FOUND or the
    // like; `error_text` gets the loader's message.
    static Module load(const std::filesystem::path& path, std::uint32_t* error = nullptr,
                       std::string* error_text = nullptr);
    bool loaded() const { return handle_ != nullptr; }
    void* symbol(const char* name) const;
    const std::filesystem::path& path() const { return path_; }

  private:
    void* handle_ = nullptr;
    std::filesystem::path path_;
};

// ---- Resources --------------------------------------------------------------------------------
// A resource table as compiled into a program or a resource module: strings by id for one
// language, and binary resources by kind and id.
struct StringEntry {
    std::uint32_t id;
    const char16_t* text;
};
struct BinaryResource {
    const char* kind; // "ICON", "MENU", "HTML", "DIALOG", ...
    std::uint32_t id;
    const unsigned char* data;
    std::size_t size;
};
struct ResourceTable {
    std::uint16_t language; // language id, for example 1041 (Japanese) or 2052 (Chinese)
    const StringEntry* strings;
    std::size_t string_count; // sorted by id
    const BinaryResource* resources;
    std::size_t resource_count;
};

// A resource module exports this C symbol returning its table.
inline constexpr const char* kResourceTableSymbol = "orvix_resource_table";
using ResourceTableFn = const ResourceTable* (*)();

// Looks up `id` in `table`; std::nullopt when missing.
std::optional<TextView> find_string(const ResourceTable& table, std::uint32_t id);
const BinaryResource* find_resource(const ResourceTable& table, const char* kind, std::uint32_t id);

// A loaded resource module (a shared library exporting kResourceTableSymbol).
class ResourceModule {
  public:
    // Loads the library at `path`; null when it does not load or exports no table.
    static std::shared_ptr<ResourceModule> load(const std::filesystem::path& path);
    const ResourceTable& table() const { return *table_; }
    const std::filesystem::path& path() const { return module_.path(); }
    Text string(std::uint32_t id) const; // empty when missing

  private:
    Module module_;
    const ResourceTable* table_ = nullptr;
};

// The process's resource source: the language resource module when one was set (then only it is
// asked), else the program's own tables (one per language, registered at start-up; registering a
// table again changes nothing). A string is taken from the table of the user's UI language, else
// from one of the same primary language, else from any other in the order of registration, as
// the resource loader falls back to any language that carries the string. Thread-safe.
void register_own_table(const ResourceTable* table);
void set_resource_module(std::shared_ptr<ResourceModule> module);
std::shared_ptr<ResourceModule> resource_module();
// The string `id` from the resource source; empty when missing.
Text load_string(std::uint32_t id);

// The user's default UI language id (GetUserDefaultUILanguage): ORVIX_UI_LANGUAGE (decimal) when
// set, else derived from LC_ALL/LC_MESSAGES/LANG (ja -> 1041, zh_CN -> 2052, zh_TW -> 1028,
// zh_HK -> 3076, ko -> 1042, en_US -> 1033, ...), else 1041.
std::uint16_t user_default_ui_language();

} // namespace platform
