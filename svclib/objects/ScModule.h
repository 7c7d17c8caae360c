#pragma once
// Cza32vuModule: what the objects of the service client library (module za32vu) share: the
// class catalogue, the library's own string table (error descriptions), the installation folder
// given to Initialize, the error information of failing calls, and the log lines of category 8.
#include "interfaces/orvixsc_codes.h"
#include "interfaces/orvixsc_interfaces.h"
#include "platform/com_object.h"
#include "svclib/LibLog.h"

#include <filesystem>
#include <span>

// HRESULTs are logged as their 32-bit pattern ("[E%08x]").
inline unsigned HrLog(platform::HRESULT hr) {
    return static_cast<unsigned>(hr);
}

// The library's log lines (category bit 8): progress texts, "[W%08x]" texts and error texts.
template <typename... A> void ScLogInfo(const char16_t* fmt, A&&... a) {
    LibTraceInfo(LOGCAT_APP, fmt, a...);
}
template <typename... A> void ScLogWarn(const char16_t* fmt, A&&... a) {
    LibTraceWarn(LOGCAT_APP, fmt, a...);
}
template <typename... A> void ScLogFatal(const char16_t* fmt, A&&... a) {
    LibTraceFatal(LOGCAT_APP, fmt, a...);
}

// An automation boolean counts as true only when all its 16 low bits are set.
constexpr bool IsVariantTrue(platform::VARIANT_BOOL value) {
    return value == platform::VARIANT_TRUE;
}

class Cza32vuModule {
  public:
    // The string `id` of the library's own table (language 1041); empty when it has none.
    static platform::Text LoadLibraryString(std::uint32_t id);

    // Sets the calling thread's error information: the library string `stringId` as description
    // ("Unknown Error" when it cannot be loaded), `progId` as source, for interface `iid`.
    // Returns `hr`.
    static platform::HRESULT ReportError(const platform::IID& iid, const char16_t* progId,
                                         std::uint32_t stringId, platform::HRESULT hr);

    // The installation folder handed to IKp32ClientSC::Initialize (process-wide).
    static void SetInstallFolder(platform::TextView folder);
    static platform::Text GetInstallFolder();

    // The six creatable classes.
    static std::span<const platform::ClassEntry> Catalogue();

    // Writes (or removes) the registry entries of the application id, the classes and the type
    // library, with `libraryPath` as the in-process server of every class.
    static platform::HRESULT RegisterServer(const std::filesystem::path& libraryPath);
    static platform::HRESULT UnregisterServer();
};
