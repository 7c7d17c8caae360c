// The part of the COM-style runtime that every library (and program) compiles in separately: its
// own lock count and path, the object root and its class factories. Never bound across libraries.
#include "platform/com.h"

#include "platform/com_object.h"

#include <atomic>
#include <dlfcn.h>

namespace platform {
// ---- Library lock count ---------------------------------------------------------------------
namespace {
std::atomic<long> g_library_locks{0};
} // namespace

void library_lock() {
    g_library_locks.fetch_add(1, std::memory_order_relaxed);
}
void library_unlock() {
    g_library_locks.fetch_sub(1, std::memory_order_acq_rel);
}
long library_lock_count() {
    return g_library_locks.load(std::memory_order_acquire);
}
HRESULT library_can_unload_now() {
    return library_lock_count() == 0 ? S_OK : S_FALSE;
}

std::filesystem::path library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&library_path), &info) == 0 || !info.dli_fname)
        return {};
    std::error_code ec;
    auto path = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path(info.dli_fname) : path;
}

// ---- Object root --------------------------------------------------------------------------------
ComObjectRoot::ComObjectRoot() {
    library_lock();
}

ComObjectRoot::~ComObjectRoot() {
    library_unlock();
}

HRESULT ComObjectRoot::construct(IUnknown* outer) {
    if (outer)
        outer_ = outer;
    // Kept alive while final_construct hands out and drops references to itself.
    refs_.fetch_add(1);
    const HRESULT hr = final_construct();
    if (failed(hr)) {
        final_release();
        delete this;
        return hr;
    }
    refs_.fetch_sub(1);
    return S_OK;
}

HRESULT ComObjectRoot::inner_query_interface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::kIid) {
        *object = &inner_;
        inner_add_ref();
        return S_OK;
    }
    if (void* found = find_interface(iid)) {
        *object = found;
        // References to the object's interfaces count on the controlling unknown.
        controlling_unknown()->AddRef();
        return S_OK;
    }
    return find_extra_interface(iid, object);
}

ULONG ComObjectRoot::inner_add_ref() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ComObjectRoot::inner_release() {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // Guard against a release of a reference taken during final_release.
        refs_.store(1);
        final_release();
        delete this;
    }
    return left;
}

// ---- Class factories ----------------------------------------------------------------------------
HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    return create_(outer, iid, object);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock)
        library_lock();
    else
        library_unlock();
    return S_OK;
}

HRESULT get_class_object_from(std::span<const ClassEntry> catalogue, REFCLSID clsid, REFIID iid,
                              void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    for (const ClassEntry& entry : catalogue) {
        if (*entry.clsid != clsid)
            continue;
        return create_com_object<ClassFactory>(nullptr, iid, object,
                                               static_cast<ClassFactory**>(nullptr), entry.create);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

} // namespace platform
