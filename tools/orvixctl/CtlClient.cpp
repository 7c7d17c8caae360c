#include "CtlClient.h"

#include "platform/fs.h"

#include <chrono>
#include <cstdio>
#include <thread>

using namespace platform;

namespace {

constexpr ULONG kAllEvents = 0xFFFF;
constexpr std::uint32_t kAllCategories = 0xFFFFFFFF;
constexpr std::chrono::milliseconds kInitializeRetryDelay{1000};

bool IsLoadFailure(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    return hr == REGDB_E_CLASSNOTREG || hr == CO_E_ERRORINDLL || hr == CO_E_DLLNOTFOUND ||
           hr == CLASS_E_CLASSNOTAVAILABLE || (code & 0xFFFF0000u) == 0x80070000u;
}

} // namespace

std::string HexCode(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
    return text;
}

std::string Utf8(TextView text) {
    return to_utf8(text);
}

int ExitCodeFor(HRESULT hr) {
    if (hr == SC_E_SERVICE_STOPPED || hr == PIPE_E_BROKEN)
        return kExitNoService;
    if (hr == kWaitTimeout)
        return kExitTimeout;
    if (hr == SC_E_NO_SUCH_NAME)
        return kExitNoSuchName;
    if (hr == SC_E_AUTH_ERROR)
        return kExitAuthError;
    if (hr == SC_E_CONNECT_ERROR)
        return kExitConnectError;
    if (hr == SC_E_DEVICE_DISABLED)
        return kExitDeviceDisabled;
    return kExitFailed;
}

void ClearErrorInfo() {
    SetErrorInfo(0, nullptr);
}

CtlStatus CallFailure(HRESULT hr, const std::string& fallback) {
    std::string description;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        Bstr text;
        if (succeeded(info->GetDescription(text.put())))
            description = Utf8(text.view());
    }
    if (description.empty())
        description = fallback;
    return CtlStatus::Fail(ExitCodeFor(hr), description + " (" + HexCode(hr) + ")");
}

std::string ConnectionName(IZa32VUConnection* connection) {
    Bstr name;
    if (!connection || failed(connection->get_Name(name.put())))
        return {};
    return Utf8(name.view());
}

// ---- CtlClient ----------------------------------------------------------------------------------

CtlClient::~CtlClient() {
    if (m_client) {
        if (m_linked)
            m_client->Uninitialize();
        // The library keeps the writer's address process-wide: take it back before it goes.
        m_client->SetLogOutObject(0);
    }
    m_events.reset();
    m_system.reset();
    m_client.reset();
}

CtlStatus CtlClient::Open(const CtlSettings& settings) {
    m_dir = settings.dir;
    ClearErrorInfo();
    HRESULT hr = create_instance(CLSID_Kp32ClientSC, nullptr, m_client);
    if (failed(hr)) {
        if (IsLoadFailure(hr))
            return CtlStatus::Fail(kExitInstallation,
                                   "the service client library is not registered or does not "
                                   "load; register it with orvixregsvr (" +
                                       HexCode(hr) + ")");
        return CallFailure(hr, "the client object could not be created");
    }
    m_client->SetLogOutObject(settings.noLog ? 0 : reinterpret_cast<LONG_PTR>(&m_log));

    ClearErrorInfo();
    const Bstr folder(from_path(m_dir));
    hr = m_client->Initialize(folder.get());
    if (failed(hr)) {
        // As the tray application does: once more after a second (the service may be writing
        // a file the library wants to read).
        std::this_thread::sleep_for(kInitializeRetryDelay);
        ClearErrorInfo();
        hr = m_client->Initialize(folder.get());
    }
    if (failed(hr)) {
        CtlStatus status = CallFailure(hr, "the configuration files in " + m_dir.string() +
                                               " could not be loaded");
        status.exitCode = kExitInstallation;
        return status;
    }
    // Initialize applied the log settings of user.dat; a log named on the command line takes
    // every line instead.
    if (!settings.noLog && !settings.logName.empty()) {
        if (!m_log.SetLogPathName(to_text(settings.logName).c_str()))
            return CtlStatus::Fail(kExitFailed, "the log file " + settings.logName +
                                                    " cannot be written (" +
                                                    HexCode(m_log.GetLastResult()) + ")");
        m_log.SetLogLevel(0);
        m_log.SetDebugLevel(0);
        m_log.SetCategory(kAllCategories);
        m_log.SetDebugCategory(kAllCategories);
        m_log.SetLogOut(1);
        m_log.SetDebugLogOut(1);
    }

    hr = m_client.query(m_events);
    if (failed(hr))
        return CallFailure(hr, "the event queue is not available");
    hr = m_client.query(m_system);
    if (failed(hr))
        return CallFailure(hr, "the settings object is not available");
    m_events->SetEventMask(kAllEvents);
    return CtlStatus::Ok();
}

CtlStatus CtlClient::Link() {
    ClearErrorInfo();
    const HRESULT hr = m_client->ConnectService();
    if (hr == kWaitTimeout)
        return CtlStatus::Fail(kExitTimeout, "the service is busy with another client; try "
                                             "again when it has left (" +
                                                 HexCode(hr) + ")");
    if (failed(hr))
        return CallFailure(hr, "the service cannot be reached");
    m_linked = true;
    return CtlStatus::Ok();
}

CtlStatus CtlClient::All(std::vector<ComPtr<IZa32VUConnection>>& out) {
    out.clear();
    ComPtr<IZa32VUEnumConnections> enumerator;
    ClearErrorInfo();
    const HRESULT hr = m_client->EnumConnections(enumerator.put());
    if (failed(hr))
        return CallFailure(hr, "the connections cannot be listed");
    for (;;) {
        IZa32VUConnection* item = nullptr;
        ULONG fetched = 0;
        const HRESULT next = enumerator->Next(1, &item, &fetched);
        if (fetched == 0 || !item)
            break;
        out.push_back(ComPtr<IZa32VUConnection>::attach(item));
        if (next != S_OK)
            break;
    }
    return CtlStatus::Ok();
}

CtlStatus CtlClient::Find(const std::string& name, ComPtr<IZa32VUConnection>& out) {
    out.reset();
    std::vector<ComPtr<IZa32VUConnection>> all;
    if (CtlStatus status = All(all); !status.ok())
        return status;
    if (name.empty()) {
        if (all.empty())
            return CtlStatus::Fail(kExitNoSuchName, "there is no connection in " +
                                                        (m_dir / "connection.dat").string());
        out = all.front();
        return CtlStatus::Ok();
    }
    for (const auto& connection : all) {
        if (ConnectionName(connection.get()) == name) {
            out = connection;
            return CtlStatus::Ok();
        }
    }
    return CtlStatus::Fail(kExitNoSuchName, "No such connection name: " + name);
}
