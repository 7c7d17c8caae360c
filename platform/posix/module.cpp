#include "platform/module.h"

#include "platform/result.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace platform {

// ---- Module ------------------------------------------------------------------------------------

Module::~Module() {
    if (handle_ != nullptr)
        ::dlclose(handle_);
}

Module::Module(Module&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = nullptr;
    other.path_.clear();
}

Module& Module::operator=(Module&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr)
            ::dlclose(handle_);
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = nullptr;
        other.path_.clear();
    }
    return *this;
}

Module Module::load(const std::filesystem::path& path, std::uint32_t* error,
                    std::string* error_text) {
    Module module;
    ::dlerror();
    module.handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module.handle_ == nullptr) {
        if (error_text != nullptr) {
            const char* text = ::dlerror();
            *error_text = text != nullptr ? text : "";
        }
        if (error != nullptr) {
            struct stat st {};
            *error = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? ERROR_BAD_EXE_FORMAT
                                                                           : ERROR_MOD_NOT_FOUND;
        }
        return module;
    }
    module.path_ = path;
    if (error != nullptr)
        *error = ERROR_SUCCESS;
    if (error_text != nullptr)
        error_text->clear();
    return module;
}

void* Module::symbol(const char* name) const {
    if (handle_ == nullptr || name == nullptr)
        return nullptr;
    return ::dlsym(handle_, name);
}

// ---- Resource tables ---------------------------------------------------------------------------

std::optional<TextView> find_string(const ResourceTable& table, std::uint32_t id) {
    if (table.strings == nullptr)
        return std::nullopt;
    const StringEntry* begin = table.strings;
    const StringEntry* end = table.strings + table.string_count;
    const StringEntry* it = std::lower_bound(
        begin, end, id, [](const StringEntry& e, std::uint32_t value) { return e.id < value; });
    if (it == end || it->id != id)
        return std::nullopt;
    return it->text != nullptr ? TextView(it->text) : TextView();
}

const BinaryResource* find_resource(const ResourceTable& table, const char* kind,
                                    std::uint32_t id) {
    if (table.resources == nullptr || kind == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < table.resource_count; ++i) {
        const BinaryResource& r = table.resources[i];
        if (r.id == id && r.kind != nullptr && std::strcmp(r.kind, kind) == 0)
            return &r;
    }
    return nullptr;
}

namespace {

// A table from a module we did not build ourselves is checked before binary search relies on it.
bool table_is_usable(const ResourceTable* table) {
    if (table == nullptr)
        return false;
    if (table->string_count != 0 && table->strings == nullptr)
        return false;
    if (table->resource_count != 0 && table->resources == nullptr)
        return false;
    for (std::size_t i = 1; i < table->string_count; ++i) {
        if (table->strings[i - 1].id >= table->strings[i].id)
            return false;
    }
    return true;
}

} // namespace

std::shared_ptr<ResourceModule> ResourceModule::load(const std::filesystem::path& path) {
    Module module = Module::load(path);
    if (!module.loaded())
        return nullptr;
    const auto fn = reinterpret_cast<ResourceTableFn>(module.symbol(kResourceTableSymbol));
    if (fn == nullptr)
        return nullptr;
    const ResourceTable* table = fn();
    if (!table_is_usable(table))
        return nullptr;
    auto result = std::make_shared<ResourceModule>();
    result->module_ = std::move(module);
    result->table_ = table;
    return result;
}

Text ResourceModule::string(std::uint32_t id) const {
    const auto text = find_string(*table_, id);
    return text ? Text(*text) : Text();
}

// ---- The process's resource source -------------------------------------------------------------

namespace {

struct ResourceSource {
    std::mutex lock;
    std::vector<const ResourceTable*> own;
    std::shared_ptr<ResourceModule> module;
};

ResourceSource& source() {
    static ResourceSource instance;
    return instance;
}

constexpr std::uint16_t primary_language(std::uint16_t language) {
    return language & 0x3FF;
}

} // namespace

void register_own_table(const ResourceTable* table) {
    if (table == nullptr)
        return;
    ResourceSource& s = source();
    std::lock_guard<std::mutex> guard(s.lock);
    if (std::find(s.own.begin(), s.own.end(), table) == s.own.end())
        s.own.push_back(table);
}

void set_resource_module(std::shared_ptr<ResourceModule> module) {
    ResourceSource& s = source();
    std::lock_guard<std::mutex> guard(s.lock);
    s.module = std::move(module);
}

std::shared_ptr<ResourceModule> resource_module() {
    ResourceSource& s = source();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.module;
}

Text load_string(std::uint32_t id) {
    std::shared_ptr<ResourceModule> module;
    std::vector<const ResourceTable*> own;
    {
        ResourceSource& s = source();
        std::lock_guard<std::mutex> guard(s.lock);
        module = s.module;
        if (!module)
            own = s.own;
    }
    if (module)
        return module->string(id);

    // The user's language first, then the same primary language, then any, as the resource
    // loader falls back to whatever language carries the string.
    const std::uint16_t language = user_default_ui_language();
    std::stable_sort(
        own.begin(), own.end(), [language](const ResourceTable* a, const ResourceTable* b) {
            const auto rank = [language](const ResourceTable* t) {
                if (t->language == language)
                    return 0;
                return primary_language(t->language) == primary_language(language) ? 1 : 2;
            };
            return rank(a) < rank(b);
        });
    for (const ResourceTable* table : own) {
        if (const auto text = find_string(*table, id))
            return Text(*text);
    }
    return Text();
}

// ---- The user's UI language --------------------------------------------------------------------

namespace {

struct LocaleLanguage {
    std::string_view locale; // language, or language_TERRITORY
    std::uint16_t id;
};

// Territory-specific entries come before the language alone.
constexpr LocaleLanguage kLocaleLanguages[] = {
    {"ja_JP", 1041}, {"ja", 1041},    {"zh_CN", 2052}, {"zh_SG", 4100}, {"zh_TW", 1028},
    {"zh_HK", 3076}, {"zh_MO", 5124}, {"zh", 2052},    {"ko_KR", 1042}, {"ko", 1042},
    {"en_US", 1033}, {"en_GB", 2057}, {"en_AU", 3081}, {"en_CA", 4105}, {"en", 1033},
    {"de_DE", 1031}, {"de", 1031},    {"fr_FR", 1036}, {"fr", 1036},    {"es_ES", 3082},
    {"es", 3082},    {"it", 1040},    {"pt_BR", 1046}, {"pt_PT", 2070}, {"pt", 2070},
    {"ru", 1049},    {"nl", 1043},    {"sv", 1053},    {"pl", 1045},    {"tr", 1055},
    {"th", 1054},    {"vi", 1066},    {"id", 1057},    {"ar", 1025},    {"he", 1037},
};

constexpr std::uint16_t kDefaultLanguage = 1041;

std::optional<std::uint16_t> language_from_locale(std::string_view locale) {
    // ll[_TT][.charset][@modifier]
    locale = locale.substr(0, locale.find_first_of(".@"));
    const std::string_view lang = locale.substr(0, locale.find('_'));
    for (const auto& entry : kLocaleLanguages) {
        if (entry.locale == locale)
            return entry.id;
    }
    for (const auto& entry : kLocaleLanguages) {
        if (entry.locale == lang)
            return entry.id;
    }
    return std::nullopt;
}

} // namespace

std::uint16_t user_default_ui_language() {
    if (const char* env = std::getenv("ORVIX_UI_LANGUAGE"); env != nullptr && *env != '\0') {
        char* end = nullptr;
        const unsigned long value = std::strtoul(env, &end, 10);
        if (*end == '\0' && value > 0 && value <= 0xFFFF)
            return static_cast<std::uint16_t>(value);
    }
    // The first of these that is set decides, as for the messages category of the C library.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0')
            continue;
        return language_from_locale(value).value_or(kDefaultLanguage);
    }
    return kDefaultLanguage;
}

} // namespace platform
