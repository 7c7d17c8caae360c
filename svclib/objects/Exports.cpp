// The entry points of the in-process server orvixsc (module za32vu), exported by these names.
#include "ScModule.h"

using namespace platform;

extern "C" PLATFORM_EXPORT HRESULT DllCanUnloadNow() {
    return library_can_unload_now();
}

extern "C" PLATFORM_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return get_class_object_from(Cza32vuModule::Catalogue(), clsid, iid, object);
}

extern "C" PLATFORM_EXPORT HRESULT DllRegisterServer() {
    // No thread locale to switch on this platform: the registered texts do not depend on one.
    return Cza32vuModule::RegisterServer(library_path());
}

extern "C" PLATFORM_EXPORT HRESULT DllUnregisterServer() {
    return Cza32vuModule::UnregisterServer();
}
