#include "ScModule.h"

#include "Kp32ClientSC.h"
#include "Za32VUConnection.h"
#include "Za32VUEnumConnections.h"
#include "Za32VUEvent.h"
#include "Za32VUSystem.h"
#include "Za32VUUpdater.h"

#include "orvixstrings_svclib.h"

#include <mutex>

using namespace platform;

namespace {

// The error descriptions are loaded with room for 1024 characters.
constexpr std::size_t kErrorTextRoom = 1024;

std::mutex g_folderLock;
Text g_installFolder;

const ClassEntry kCatalogue[] = {
    {&CLSID_Kp32ClientSC, &create_for_factory<CKp32ClientSC>},
    {&CLSID_Za32VUConnection, &create_for_factory<CZa32VUConnection>},
    {&CLSID_Za32VUEnumConnections, &create_for_factory<CZa32VUEnumConnections>},
    {&CLSID_Za32VUSystem, &create_for_factory<CZa32VUSystem>},
    {&CLSID_Za32VUEvent, &create_for_factory<CZa32VUEvent>},
    {&CLSID_Za32VUUpdater, &create_for_factory<CZa32VUUpdater>},
};

} // namespace

Text Cza32vuModule::LoadLibraryString(std::uint32_t id) {
    const ResourceTable* table = svclib_string_table();
    if (!table)
        return {};
    const std::optional<TextView> text = find_string(*table, id);
    return text ? Text(*text) : Text();
}

HRESULT Cza32vuModule::ReportError(const IID& iid, const char16_t* progId, std::uint32_t stringId,
                                   HRESULT hr) {
    Text description = LoadLibraryString(stringId);
    if (description.empty())
        description = u"Unknown Error";
    if (description.size() >= kErrorTextRoom)
        description.resize(kErrorTextRoom - 1);
    return report_error(iid, progId, description, hr);
}

void Cza32vuModule::SetInstallFolder(TextView folder) {
    std::lock_guard<std::mutex> lock(g_folderLock);
    g_installFolder.assign(folder);
}

Text Cza32vuModule::GetInstallFolder() {
    std::lock_guard<std::mutex> lock(g_folderLock);
    return g_installFolder;
}

std::span<const ClassEntry> Cza32vuModule::Catalogue() {
    return kCatalogue;
}
