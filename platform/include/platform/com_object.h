#pragma once
// Implementing COM-style objects: reference counting, interface maps, aggregation, class
// factories and the library lock count behind DllCanUnloadNow.
//
// An object derives from ComObject<Self, Interfaces...>; the interfaces are answered by
// QueryInterface in that order (an interface derived from IDispatch also answers IDispatch; the
// first such wins). Dual interfaces are listed as DualInterface<Self, IFoo> (com_dispatch.h),
// ISupportErrorInfo as SupportErrorInfoFor<IFoo>.
//
//     class CThing final : public ComObject<CThing, DualInterface<CThing, IThing>,
//                                           SupportErrorInfoFor<IThing>> { ... };
//     ComPtr<IThing> thing;
//     HRESULT hr = create_com_object<CThing>(nullptr, thing);
//
// Aggregation: every object has two unknowns. Its inner (non-delegating) unknown owns the
// reference count and answers QueryInterface from the object's own map; the IUnknown methods of
// its interfaces go to the controlling unknown, which is the outer object when the object was
// created aggregated, else the inner unknown. An outer object creates an inner one with itself as
// outer (create_aggregated), keeps the inner unknown (one reference, released in final_release)
// and answers the inner object's interfaces from find_extra_interface by asking that inner
// unknown. The inner object's own pointer to its outer object is not a counted reference.
#include "platform/com.h"

#include <atomic>
#include <filesystem>
#include <new>
#include <span>
#include <type_traits>

// Functions and classes compiled into every library separately (each library has its own lock
// count and knows its own path), never bound across libraries.
#if defined(_WIN32)
#define PLATFORM_LIBRARY_LOCAL
#define PLATFORM_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define PLATFORM_LIBRARY_LOCAL __attribute__((visibility("hidden")))
#define PLATFORM_EXPORT __attribute__((visibility("default")))
#else
#define PLATFORM_LIBRARY_LOCAL
#define PLATFORM_EXPORT
#endif
// An in-process server exports its entry points as
//     extern "C" PLATFORM_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID, void**);
// (and DllCanUnloadNow, DllRegisterServer, DllUnregisterServer).

namespace platform {

// ---- Library lock count -----------------------------------------------------------------------
// Objects alive plus IClassFactory::LockServer locks of the library this code is linked into.
PLATFORM_LIBRARY_LOCAL void library_lock();
PLATFORM_LIBRARY_LOCAL void library_unlock();
PLATFORM_LIBRARY_LOCAL long library_lock_count();
// DllCanUnloadNow: S_OK when the lock count is 0, else S_FALSE.
PLATFORM_LIBRARY_LOCAL HRESULT library_can_unload_now();
// The full path of the shared library (or program) this code is linked into; used by
// DllRegisterServer to register itself.
PLATFORM_LIBRARY_LOCAL std::filesystem::path library_path();

// ---- Object root --------------------------------------------------------------------------------
class PLATFORM_LIBRARY_LOCAL ComObjectRoot {
  public:
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;

    // The controlling unknown (the outer object when aggregated).
    IUnknown* controlling_unknown() const { return outer_; }
    // The inner, non-delegating unknown (no reference taken).
    IUnknown* inner_unknown() { return &inner_; }
    bool aggregated() const { return outer_ != &inner_; }

    // The inner unknown's QueryInterface: answers IUnknown with the inner unknown, every other
    // id from find_interface / find_extra_interface.
    HRESULT inner_query_interface(REFIID iid, void** object);
    ULONG inner_add_ref();
    ULONG inner_release();

    // Runs final_construct with the object kept alive, and wires the outer unknown. Used by the
    // creation helpers below.
    HRESULT construct(IUnknown* outer);

  protected:
    ComObjectRoot();
    virtual ~ComObjectRoot();

    // Called once after construction, before the object is handed out; a failure destroys the
    // object and becomes the creation result. Inner aggregated objects are created here.
    virtual HRESULT final_construct() { return S_OK; }
    // Called when the last reference goes, before the destructor; release inner objects here.
    virtual void final_release() {}
    // The interface for `iid` (never IUnknown) without a reference taken, or null.
    virtual void* find_interface(REFIID iid) = 0;
    // Interfaces answered by aggregated inner objects: set *object (with a reference) and return
    // S_OK, or return E_NOINTERFACE.
    virtual HRESULT find_extra_interface(REFIID iid, void** object) {
        (void)iid;
        *object = nullptr;
        return E_NOINTERFACE;
    }

  private:
    class InnerUnknown final : public IUnknown {
      public:
        explicit InnerUnknown(ComObjectRoot& root) : root_(root) {}
        HRESULT QueryInterface(REFIID iid, void** object) override {
            return root_.inner_query_interface(iid, object);
        }
        ULONG AddRef() override { return root_.inner_add_ref(); }
        ULONG Release() override { return root_.inner_release(); }

      private:
        ComObjectRoot& root_;
    };

    InnerUnknown inner_{*this};
    IUnknown* outer_ = &inner_;
    std::atomic<ULONG> refs_{0};
};

namespace detail {
template <typename E> struct interface_of { using type = E; };
template <typename E>
requires requires {
    typename E::interface_type;
}
struct interface_of<E> {
    using type = typename E::interface_type;
};
} // namespace detail

// ---- Object with an interface map -------------------------------------------------------------
template <typename Self, typename... Interfaces>
class ComObject : public ComObjectRoot, public Interfaces... {
  public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        return controlling_unknown()->QueryInterface(iid, object);
    }
    ULONG AddRef() override { return controlling_unknown()->AddRef(); }
    ULONG Release() override { return controlling_unknown()->Release(); }

  protected:
    void* find_interface(REFIID iid) override {
        void* found = nullptr;
        ((found = found ? found : match<Interfaces>(iid)), ...);
        if (!found && iid == IDispatch::kIid)
            ((found = found ? found : match_dispatch<Interfaces>()), ...);
        return found;
    }

  private:
    template <typename E> void* match(REFIID iid) {
        using I = typename detail::interface_of<E>::type;
        if (iid == I::kIid)
            return static_cast<I*>(static_cast<E*>(static_cast<Self*>(this)));
        return nullptr;
    }
    template <typename E> void* match_dispatch() {
        using I = typename detail::interface_of<E>::type;
        if constexpr (std::is_base_of_v<IDispatch, I>)
            return static_cast<IDispatch*>(
                static_cast<I*>(static_cast<E*>(static_cast<Self*>(this))));
        else
            return nullptr;
    }
};

// ISupportErrorInfo answering for interface I only.
template <typename I> class SupportErrorInfoFor : public ISupportErrorInfo {
  public:
    using interface_type = ISupportErrorInfo;
    HRESULT InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == I::kIid ? S_OK : S_FALSE;
    }
};

// ---- Creation -----------------------------------------------------------------------------------
// Creates a T (constructed with `args`), aggregated into `outer` when given, and returns its
// interface `iid` (the inner unknown when aggregated: then `iid` must be IUnknown, else
// CLASS_E_NOAGGREGATION). `impl` (when given) receives the implementation pointer, valid as long
// as the returned reference is held.
template <typename T, typename... Args>
HRESULT create_com_object(IUnknown* outer, REFIID iid, void** object, T** impl, Args&&... args) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (impl)
        *impl = nullptr;
    if (outer && iid != IUnknown::kIid)
        return CLASS_E_NOAGGREGATION;
    T* created = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!created)
        return E_OUTOFMEMORY;
    ComObjectRoot* root = created;
    // construct() destroys the object itself when final_construct fails.
    const HRESULT hr = root->construct(outer);
    if (failed(hr))
        return hr;
    // The first reference comes from this QueryInterface; a failure destroys the object again.
    root->inner_add_ref();
    const HRESULT qhr = root->inner_query_interface(iid, object);
    root->inner_release();
    if (failed(qhr))
        return qhr;
    if (impl)
        *impl = created;
    return S_OK;
}

template <typename T, typename I, typename... Args>
HRESULT create_com_object(IUnknown* outer, ComPtr<I>& out, Args&&... args) {
    return create_com_object<T>(outer, iid_of<I>(), out.put_void(), static_cast<T**>(nullptr),
                                std::forward<Args>(args)...);
}

// Creates a T aggregated into `outer`: `inner` receives its inner unknown (the outer object's
// one reference), `impl` the implementation pointer.
template <typename T, typename... Args>
HRESULT create_aggregated(IUnknown* outer, ComPtr<IUnknown>& inner, T** impl, Args&&... args) {
    if (!outer)
        return E_POINTER;
    return create_com_object<T>(outer, IUnknown::kIid, inner.put_void(), impl,
                                std::forward<Args>(args)...);
}

// ---- Class factories ----------------------------------------------------------------------------
using ObjectCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** object);

template <typename T> HRESULT create_for_factory(IUnknown* outer, REFIID iid, void** object) {
    return create_com_object<T>(outer, iid, object, static_cast<T**>(nullptr));
}

// A class factory creating objects through `create`; LockServer locks this library.
class PLATFORM_LIBRARY_LOCAL ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
  public:
    explicit ClassFactory(ObjectCreator create) : create_(create) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT LockServer(BOOL lock) override;

  private:
    ObjectCreator create_;
};

// One entry of a library's class catalogue.
struct ClassEntry {
    const CLSID* clsid;
    ObjectCreator create;
};

// DllGetClassObject over a catalogue: a new factory for `clsid`, CLASS_E_CLASSNOTAVAILABLE for a
// class id not in it.
PLATFORM_LIBRARY_LOCAL HRESULT get_class_object_from(std::span<const ClassEntry> catalogue,
                                                     REFCLSID clsid, REFIID iid, void** object);

} // namespace platform
