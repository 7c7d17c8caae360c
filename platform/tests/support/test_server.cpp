// A small in-process server for the tests: one dual, aggregatable class registered by class id.
#include "test_interfaces.h"

#include "platform/com_dispatch.h"
#include "platform/com_object.h"
#include "platform/fs.h"
#include "platform/registry.h"

using namespace platform;
using namespace testserver;

namespace {

class CTestCounter final : public ComObject<CTestCounter, DualInterface<CTestCounter, ITestCounter>,
                                            SupportErrorInfoFor<ITestCounter>> {
  public:
    static const DispatchTable& dispatch_table() {
        static const DispatchTable table{
            dispatch_method<&ITestCounter::Add>(u"Add", 1, {u"delta", u"total"}),
            dispatch_get<&ITestCounter::get_Name>(u"Name", 2),
            dispatch_put<&ITestCounter::put_Name>(u"Name", 2),
            dispatch_get<&ITestCounter::get_Enabled>(u"Enabled", 3),
            dispatch_put<&ITestCounter::put_Enabled>(u"Enabled", 3),
            dispatch_method<&ITestCounter::Fail>(u"Fail", 4, {u"description"}),
            dispatch_method<&ITestCounter::Split>(u"Split", 5, {u"text", u"head", u"rest"}),
            dispatch_method<&ITestCounter::Peer>(u"Peer", 6, {u"peer"}),
        };
        return table;
    }

    HRESULT Add(LONG delta, LONG* total) override {
        if (!total)
            return E_POINTER;
        total_ += delta;
        *total = total_;
        return S_OK;
    }
    HRESULT get_Name(BSTR* name) override {
        if (!name)
            return E_POINTER;
        *name = name_.empty() ? nullptr : alloc_bstr(name_);
        return name_.empty() ? S_FALSE : S_OK;
    }
    HRESULT put_Name(BSTR name) override {
        name_ = Text(bstr_view(name));
        return S_OK;
    }
    HRESULT get_Enabled(VARIANT_BOOL* enabled) override {
        if (!enabled)
            return E_POINTER;
        *enabled = to_variant_bool(enabled_);
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL enabled) override {
        enabled_ = enabled == VARIANT_TRUE;
        return S_OK;
    }
    HRESULT Fail(BSTR description) override {
        return report_error(ITestCounter::kIid, kTestSource, bstr_view(description), kTestFailure);
    }
    HRESULT Split(BSTR text, BSTR* head, ULONG* rest_length) override {
        if (!head || !rest_length)
            return E_POINTER;
        const TextView t = bstr_view(text);
        const std::size_t space = std::min(t.find(u' '), t.size());
        *head = alloc_bstr(t.substr(0, space));
        *rest_length = static_cast<ULONG>(t.size() - space);
        return S_OK;
    }
    HRESULT Peer(ITestCounter** peer) override {
        if (!peer)
            return E_POINTER;
        ComPtr<ITestCounter> other;
        const HRESULT hr = create_com_object<CTestCounter>(nullptr, other);
        *peer = other.detach();
        return hr;
    }

  private:
    LONG total_ = 0;
    Text name_;
    bool enabled_ = false;
};

const ClassEntry kCatalogue[] = {
    {&CLSID_TestCounter, &create_for_factory<CTestCounter>},
};

Text clsid_key() {
    return u"CLSID\\" + to_text(CLSID_TestCounter);
}

} // namespace

extern "C" PLATFORM_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return get_class_object_from(kCatalogue, clsid, iid, object);
}

extern "C" PLATFORM_EXPORT HRESULT DllCanUnloadNow() {
    return library_can_unload_now();
}

extern "C" PLATFORM_EXPORT HRESULT DllRegisterServer() {
    RegistryKey key;
    if (RegistryKey::root(RegistryRoot::ClassesRoot).create(clsid_key() + u"\\InprocServer32", key))
        return SELFREG_E_CLASS;
    if (key.set_string(u"", from_path(library_path())) ||
        key.set_string(u"ThreadingModel", u"Both"))
        return SELFREG_E_CLASS;
    return S_OK;
}

extern "C" PLATFORM_EXPORT HRESULT DllUnregisterServer() {
    const auto err = RegistryKey::root(RegistryRoot::ClassesRoot).delete_tree(clsid_key());
    return err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
