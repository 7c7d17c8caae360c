// Registration of the library in the registry, as the installer asks for it: the application id,
// the six classes with their ProgIDs, and the type library with its interfaces.
#include "ScModule.h"

#include "platform/fs.h"
#include "platform/registry.h"

using namespace platform;

namespace {

// The automation marshaller every dual interface of a registered type library names.
constexpr char16_t kOleAutomationProxy[] = u"{00020424-0000-0000-C000-000000000046}";
constexpr char16_t kDllKeyName[] = u"za32vu.DLL";
constexpr char16_t kTypeLibVersion[] = u"1.0";

struct InterfaceName {
    const IID* iid;
    const char16_t* name;
};
constexpr InterfaceName kInterfaces[] = {
    {&IID_IKp32ClientSC, u"IKp32ClientSC"},
    {&IID_IZa32VUConnection, u"IZa32VUConnection"},
    {&IID_IZa32VUEnumConnections, u"IZa32VUEnumConnections"},
    {&IID_IZa32VUSystem, u"IZa32VUSystem"},
    {&IID_IZa32VUUpdater, u"IZa32VUUpdater"},
    {&IID_IZa32VUEvent, u"IZa32VUEvent"},
};

RegistryKey Root() {
    return RegistryKey::root(RegistryRoot::ClassesRoot);
}

// Creates `path` and sets its default value.
std::uint32_t WriteKey(TextView path, TextView defaultValue) {
    RegistryKey key;
    std::uint32_t error = Root().create(path, key);
    if (error == ERROR_SUCCESS)
        error = key.set_string(u"", defaultValue);
    return error;
}

std::uint32_t WriteValue(TextView path, TextView name, TextView value) {
    RegistryKey key;
    std::uint32_t error = Root().create(path, key);
    if (error == ERROR_SUCCESS)
        error = key.set_string(name, value);
    return error;
}

// Removes a key with everything below it; a key that is not there is fine.
std::uint32_t RemoveTree(TextView path) {
    const std::uint32_t error = Root().delete_tree(path);
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

HRESULT FirstFailure(HRESULT first, std::uint32_t error) {
    if (failed(first) || error == ERROR_SUCCESS)
        return first;
    return hresult_from_system(error);
}

HRESULT RegisterAppId() {
    const Text appId = to_text(APPID_za32vu);
    HRESULT hr = S_OK;
    hr = FirstFailure(hr, WriteKey(u"AppID\\" + appId, kZa32vuAppName));
    hr = FirstFailure(hr, WriteValue(u"AppID\\" + Text(kDllKeyName), u"AppID", appId));
    return hr;
}

HRESULT RegisterClass(const Za32vuClassInfo& info, TextView modulePath) {
    const Text clsid = to_text(*info.clsid);
    const Text progId = info.prog_id;
    const Text indep = info.version_independent_prog_id;
    const Text clsidKey = u"CLSID\\" + clsid;
    HRESULT hr = S_OK;
    hr = FirstFailure(hr, WriteKey(progId, info.description));
    hr = FirstFailure(hr, WriteKey(progId + u"\\CLSID", clsid));
    hr = FirstFailure(hr, WriteKey(indep, info.description));
    hr = FirstFailure(hr, WriteKey(indep + u"\\CLSID", clsid));
    hr = FirstFailure(hr, WriteKey(indep + u"\\CurVer", progId));
    // The class key is replaced as a whole.
    hr = FirstFailure(hr, RemoveTree(clsidKey));
    hr = FirstFailure(hr, WriteKey(clsidKey, info.description));
    hr = FirstFailure(hr, WriteKey(clsidKey + u"\\ProgID", progId));
    hr = FirstFailure(hr, WriteKey(clsidKey + u"\\VersionIndependentProgID", indep));
    hr = FirstFailure(hr, WriteKey(clsidKey + u"\\Programmable", u""));
    hr = FirstFailure(hr, WriteKey(clsidKey + u"\\InprocServer32", modulePath));
    hr = FirstFailure(
        hr, WriteValue(clsidKey + u"\\InprocServer32", u"ThreadingModel", info.threading_model));
    hr = FirstFailure(hr, WriteKey(clsidKey + u"\\TypeLib", to_text(LIBID_ZA32VULib)));
    return hr;
}

HRESULT RegisterTypeLibrary(const std::filesystem::path& modulePath) {
    const Text libId = to_text(LIBID_ZA32VULib);
    const Text versionKey = u"TypeLib\\" + libId + u"\\" + kTypeLibVersion;
    HRESULT hr = S_OK;
    hr = FirstFailure(hr, WriteKey(versionKey, kZa32vuTypeLibHelp));
    hr = FirstFailure(hr, WriteKey(versionKey + u"\\0\\win32", from_path(modulePath)));
    hr = FirstFailure(hr, WriteKey(versionKey + u"\\FLAGS", u"0"));
    hr = FirstFailure(hr, WriteKey(versionKey + u"\\HELPDIR", from_path(modulePath.parent_path())));
    for (const InterfaceName& entry : kInterfaces) {
        const Text key = u"Interface\\" + to_text(*entry.iid);
        hr = FirstFailure(hr, WriteKey(key, entry.name));
        hr = FirstFailure(hr, WriteKey(key + u"\\ProxyStubClsid", kOleAutomationProxy));
        hr = FirstFailure(hr, WriteKey(key + u"\\ProxyStubClsid32", kOleAutomationProxy));
        hr = FirstFailure(hr, WriteKey(key + u"\\TypeLib", libId));
        hr = FirstFailure(hr, WriteValue(key + u"\\TypeLib", u"Version", kTypeLibVersion));
    }
    return hr;
}

} // namespace

HRESULT Cza32vuModule::RegisterServer(const std::filesystem::path& libraryPath) {
    if (libraryPath.empty())
        return SELFREG_E_CLASS;
    const Text modulePath = from_path(libraryPath);
    HRESULT hr = RegisterAppId();
    for (const Za32vuClassInfo& info : kZa32vuClasses) {
        const HRESULT classResult = RegisterClass(info, modulePath);
        if (succeeded(hr) && failed(classResult))
            hr = classResult;
    }
    const HRESULT typeLibResult = RegisterTypeLibrary(libraryPath);
    return failed(hr) ? hr : typeLibResult;
}

HRESULT Cza32vuModule::UnregisterServer() {
    HRESULT hr = S_OK;
    for (const Za32vuClassInfo& info : kZa32vuClasses) {
        hr = FirstFailure(hr, RemoveTree(info.prog_id));
        hr = FirstFailure(hr, RemoveTree(info.version_independent_prog_id));
        hr = FirstFailure(hr, RemoveTree(u"CLSID\\" + to_text(*info.clsid)));
    }
    hr = FirstFailure(hr, RemoveTree(u"TypeLib\\" + to_text(LIBID_ZA32VULib)));
    for (const InterfaceName& entry : kInterfaces)
        hr = FirstFailure(hr, RemoveTree(u"Interface\\" + to_text(*entry.iid)));
    // The parent keys AppID and CLSID stay.
    hr = FirstFailure(hr, RemoveTree(u"AppID\\" + to_text(APPID_za32vu)));
    hr = FirstFailure(hr, RemoveTree(u"AppID\\" + Text(kDllKeyName)));
    return hr;
}
