// The process-wide part of the COM-style runtime: GUID text and creating objects by class id
// through the registry and the libraries loaded for it.
#include "platform/com.h"

#include "platform/com_object.h"
#include "platform/fs.h"
#include "platform/module.h"
#include "platform/registry.h"

#include <cstdio>
#include <dlfcn.h>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

// ---- GUID text --------------------------------------------------------------------------------
std::string to_string(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

Text to_text(const GUID& guid) {
    const std::string s = to_string(guid);
    return Text(s.begin(), s.end());
}

std::optional<GUID> parse_guid(TextView text) {
    GUID g;
    if (!detail::parse_guid_chars(text.data(), text.size(), g))
        return std::nullopt;
    return g;
}

std::optional<GUID> parse_guid(std::string_view text) {
    GUID g;
    if (!detail::parse_guid_chars(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                  g))
        return std::nullopt;
    return g;
}

// ---- Creating objects by class id -------------------------------------------------------------
namespace {

struct LoadedServer {
    Module module;
    DllGetClassObjectFn get_class_object = nullptr;
    DllCanUnloadNowFn can_unload_now = nullptr;
};

// The in-process servers this library has loaded, by path.
class ServerCache {
  public:
    HRESULT get(const std::filesystem::path& path, DllGetClassObjectFn& out) {
        std::lock_guard lock(mutex_);
        auto it = servers_.find(path.native());
        if (it == servers_.end()) {
            std::uint32_t error = 0;
            auto server = std::make_unique<LoadedServer>();
            server->module = Module::load(path, &error);
            if (!server->module.loaded())
                return hresult_from_system(error ? error : ERROR_MOD_NOT_FOUND);
            server->get_class_object =
                reinterpret_cast<DllGetClassObjectFn>(server->module.symbol("DllGetClassObject"));
            server->can_unload_now =
                reinterpret_cast<DllCanUnloadNowFn>(server->module.symbol("DllCanUnloadNow"));
            if (!server->get_class_object)
                return CO_E_ERRORINDLL;
            it = servers_.emplace(path.native(), std::move(server)).first;
        }
        out = it->second->get_class_object;
        return S_OK;
    }

    std::size_t free_unused() {
        std::lock_guard lock(mutex_);
        std::size_t freed = 0;
        for (auto it = servers_.begin(); it != servers_.end();) {
            if (it->second->can_unload_now && it->second->can_unload_now() == S_OK) {
                it = servers_.erase(it);
                ++freed;
            } else {
                ++it;
            }
        }
        return freed;
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<LoadedServer>> servers_;
};

ServerCache& server_cache() {
    static ServerCache* cache = new ServerCache; // outlives every static destructor
    return *cache;
}

HRESULT server_path_of(REFCLSID clsid, std::filesystem::path& out) {
    const Text key = u"CLSID\\" + to_text(clsid) + u"\\InprocServer32";
    const auto path = registry_read_string(RegistryRoot::ClassesRoot, key);
    if (!path || path->empty())
        return REGDB_E_CLASSNOTREG;
    out = to_path(*path);
    return S_OK;
}

} // namespace

HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    std::filesystem::path path;
    HRESULT hr = server_path_of(clsid, path);
    if (failed(hr))
        return hr;
    DllGetClassObjectFn get = nullptr;
    hr = server_cache().get(path, get);
    if (failed(hr))
        return hr;
    hr = get(clsid, iid, object);
    if (failed(hr))
        *object = nullptr;
    return hr;
}

HRESULT create_instance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer && iid != IUnknown::kIid)
        return CLASS_E_NOAGGREGATION;
    ComPtr<IClassFactory> factory;
    HRESULT hr = get_class_object(clsid, IClassFactory::kIid, factory.put_void());
    if (failed(hr))
        return hr;
    hr = factory->CreateInstance(outer, iid, object);
    if (failed(hr))
        *object = nullptr;
    return hr;
}

std::size_t free_unused_libraries() {
    return server_cache().free_unused();
}

HRESULT register_server(const std::filesystem::path& path, bool unregister) {
    std::uint32_t error = 0;
    Module module = Module::load(path, &error);
    if (!module.loaded())
        return hresult_from_system(error ? error : ERROR_MOD_NOT_FOUND);
    auto entry = reinterpret_cast<DllRegisterServerFn>(
        module.symbol(unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    if (!entry)
        return CO_E_ERRORINDLL;
    return entry();
}

} // namespace platform
