#include "Za32VUSystem.h"

#include "Kp32ClientSC.h"
#include "PropertyValues.h"

#include "svclib/PipeMessage.h"

#include <cstdint>
#include <tuple>

using namespace platform;

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";

// The records of orvixclient.dat and user.dat.
using ClientInfo = CConfigKPClientClientInfo;
using NetworkInfo = CConfigKPClientNetworkInfo;
using TimeInfo = CConfigKPClientTimeInfo;
using ServerInfo = CConfigKPClientServerInfo;
using LogInfo = CConfigUserLogInfo;
using SCInfo = CConfigUserSCInfo;
using ProxyInfo = CConfigUserProxyInfo;

// The window position reads as S_FALSE, the output untouched, when none is stored.
HRESULT AsPosition(int value, ULONG* out) {
    return value == SCInfo::kNoPosition ? S_FALSE : AsNumber(value, out);
}

// The point of GetSCPosition / SetSCPosition through IDispatch: one 64-bit integer, x in the low
// and y in the high 32 bits (automation records are not passed here).
std::int64_t PackPoint(const tagPOINT& point) {
    return static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(point.y)) << 32) |
        static_cast<std::uint32_t>(point.x));
}
tagPOINT UnpackPoint(std::int64_t packed) {
    const auto bits = static_cast<std::uint64_t>(packed);
    return tagPOINT{static_cast<LONG>(static_cast<std::uint32_t>(bits)),
                    static_cast<LONG>(static_cast<std::uint32_t>(bits >> 32))};
}

HRESULT InvokeGetSCPosition(void* object, DispatchCall& call) {
    tagPOINT point{};
    const HRESULT hr = static_cast<IZa32VUSystem*>(object)->GetSCPosition(&point);
    if (hr == S_OK)
        *call.out_i64(0) = PackPoint(point);
    return hr;
}

HRESULT InvokeSetSCPosition(void* object, DispatchCall& call) {
    return static_cast<IZa32VUSystem*>(object)->SetSCPosition(UnpackPoint(call.i64(0)));
}

} // namespace

const DispatchTable& CZa32VUSystem::dispatch_table() {
    using I = IZa32VUSystem;
    static const DispatchTable table{
        dispatch_get<&I::get_ProductName>(u"ProductName", 1),
        dispatch_get<&I::get_ProductVersion>(u"ProductVersion", 2),
        dispatch_get<&I::get_ServiceName>(u"ServiceName", 3),
        dispatch_get<&I::get_UninstallerName>(u"UninstallerName", 4),
        dispatch_get<&I::get_DriverName>(u"DriverName", 5),
        dispatch_get<&I::get_InfFileName>(u"InfFileName", 6),
        dispatch_get<&I::get_NetworkName>(u"NetworkName", 7),
        dispatch_get<&I::get_Hardwareid>(u"Hardwareid", 8),
        dispatch_get<&I::get_RegistryName>(u"RegistryName", 9),
        dispatch_get<&I::get_InstallFolderName>(u"InstallFolderName", 10),
        dispatch_get<&I::get_MTUSize>(u"MTUSize", 11),
        dispatch_put<&I::put_MTUSize>(u"MTUSize", 11),
        dispatch_get<&I::get_KeepAlive>(u"KeepAlive", 12),
        dispatch_put<&I::put_KeepAlive>(u"KeepAlive", 12),
        dispatch_get<&I::get_RetryInterval>(u"RetryInterval", 13),
        dispatch_put<&I::put_RetryInterval>(u"RetryInterval", 13),
        dispatch_get<&I::get_RetryCount>(u"RetryCount", 14),
        dispatch_put<&I::put_RetryCount>(u"RetryCount", 14),
        dispatch_method<&I::SetRetryParameters>(u"SetRetryParameters", 15, {u"Interval", u"Count"}),
        dispatch_method<&I::GetRetryParameters>(u"GetRetryParameters", 16,
                                                {u"pInterval", u"pCount"}),
        dispatch_get<&I::get_LogFileName>(u"LogFileName", 17),
        dispatch_put<&I::put_LogFileName>(u"LogFileName", 17),
        dispatch_get<&I::get_LogLevel>(u"LogLevel", 18),
        dispatch_put<&I::put_LogLevel>(u"LogLevel", 18),
        dispatch_method<&I::GetLogInformation>(u"GetLogInformation", 19,
                                               {u"pbstrLogFile", u"pLevel"}),
        dispatch_method<&I::SetLogInformation>(u"SetLogInformation", 20,
                                               {u"bstrLogFile", u"Level"}),
        dispatch_get<&I::get_SCPosX>(u"SCPosX", 22),
        dispatch_put<&I::put_SCPosX>(u"SCPosX", 22),
        dispatch_get<&I::get_SCPosY>(u"SCPosY", 23),
        dispatch_put<&I::put_SCPosY>(u"SCPosY", 23),
        DispatchMember{u"GetSCPosition",
                       24,
                       MemberKind::Method,
                       {ArgDesc{ArgKind::Int64, true, u"point"}},
                       &InvokeGetSCPosition},
        DispatchMember{u"SetSCPosition",
                       25,
                       MemberKind::Method,
                       {ArgDesc{ArgKind::Int64, false, u"point"}},
                       &InvokeSetSCPosition},
        dispatch_method<&I::SaveConfiguration>(u"SaveConfiguration", 26),
        dispatch_method<&I::ResetConfiguration>(u"ResetConfiguration", 27),
        dispatch_method<&I::GetUpdateInterface>(u"GetUpdateInterface", 28, {u"ppUpdater"}),
        dispatch_get<&I::get_Log>(u"Log", 29),
        dispatch_put<&I::put_Log>(u"Log", 29),
        dispatch_get<&I::get_ConnSelect>(u"ConnSelect", 30),
        dispatch_put<&I::put_ConnSelect>(u"ConnSelect", 30),
        dispatch_get<&I::get_LocalProxyPort>(u"LocalProxyPort", 31),
        dispatch_put<&I::put_LocalProxyPort>(u"LocalProxyPort", 31),
        dispatch_get<&I::get_LocalProxyHost>(u"LocalProxyHost", 32),
        dispatch_put<&I::put_LocalProxyHost>(u"LocalProxyHost", 32),
        dispatch_get<&I::get_LocalProxyUser>(u"LocalProxyUser", 33),
        dispatch_put<&I::put_LocalProxyUser>(u"LocalProxyUser", 33),
        dispatch_get<&I::get_LocalProxyPassword>(u"LocalProxyPassword", 34),
        dispatch_put<&I::put_LocalProxyPassword>(u"LocalProxyPassword", 34),
        dispatch_get<&I::get_UseProxyAuth>(u"UseProxyAuth", 35),
        dispatch_put<&I::put_UseProxyAuth>(u"UseProxyAuth", 35),
        dispatch_get<&I::get_EnvCheckToolURL>(u"EnvCheckToolURL", 36),
        dispatch_get<&I::get_CtrlServer>(u"CtrlServer", 37),
        dispatch_put<&I::put_CtrlServer>(u"CtrlServer", 37),
        dispatch_get<&I::get_StartupSetting>(u"StartupSetting", 38),
        dispatch_put<&I::put_StartupSetting>(u"StartupSetting", 38),
        dispatch_method<&I::Shutdown>(u"Shutdown", 39),
        dispatch_get<&I::get_CtrlServerV6>(u"CtrlServerV6", 40),
        dispatch_put<&I::put_CtrlServerV6>(u"CtrlServerV6", 40),
        dispatch_get<&I::get_DontShowWelcome>(u"DontShowWelcome", 41),
        dispatch_put<&I::put_DontShowWelcome>(u"DontShowWelcome", 41),
    };
    return table;
}

// ---- Records ----------------------------------------------------------------------------------

template <typename Rec> Rec& CZa32VUSystem::Record() {
    // Each record type has one place in the two files.
    return std::get<Rec&>(std::tie(m_kpClient.GetClientInfo(), m_kpClient.GetNetworkInfo(),
                                   m_kpClient.GetTimeInfo(), m_kpClient.GetServerInfo(),
                                   m_user.GetLogInfo(), m_user.GetSCInfo(), m_user.GetProxyInfo()));
}

template <typename Rec, typename Stored, typename Out>
HRESULT CZa32VUSystem::Get(Out* pVal, Stored (Rec::*getter)() const,
                           ValueConverter<Stored, Out> convert) {
    return ReadValue<Rec>(Record<Rec>(), getter, pVal, convert);
}

template <typename Rec, typename Stored>
HRESULT CZa32VUSystem::Put(void (Rec::*setter)(Stored), std::type_identity_t<Stored> value) {
    return WriteValue<Rec>(Record<Rec>(), setter, value);
}

HRESULT CZa32VUSystem::final_construct() {
    // The updater answers to the same controlling unknown as this object.
    return create_aggregated<CZa32VUUpdater>(controlling_unknown(), m_pUpdaterUnknown, &m_pUpdater);
}

void CZa32VUSystem::final_release() {
    if (m_pUpdater)
        m_pUpdater->SetSystem(nullptr);
    m_pUpdater = nullptr;
    m_pUpdaterUnknown.reset();
}

// ---- Inside the library -----------------------------------------------------------------------

HRESULT CZa32VUSystem::Initialize() {
    CLogOutput* log = GetLibLogTarget();
    // The configuration store logs through the same writer from its next load on.
    CConfigFile::SetLogOutput(log);
    m_kpClient.SetFileName(CConfigKPClient::kFileName);
    m_user.SetFileName(CConfigUser::kFileName);
    if (!m_kpClient.Load())
        return m_kpClient.GetLastResult();
    if (!m_user.Load())
        return m_user.GetLastResult();

    if (log) {
        const CConfigUserLogInfo& info = m_user.GetLogInfo();
        Text path = info.GetPathname();
        if (path.find(u'\\') == Text::npos)
            path = Cza32vuModule::GetInstallFolder() + u"\\" + path;
        log->SetLogPathName(path.c_str());
        log->SetLogLevel(static_cast<unsigned>(info.GetLevel() - 1));
        log->SetDebugLevel(static_cast<unsigned>(info.GetDebugLevel() - 1));
        log->SetCategory(info.GetCategory());
        log->SetDebugCategory(info.GetDebugCategory());
        log->SetLogOut(info.GetLog() ? 1 : 0);
        log->SetDebugLogOut(info.GetDebugLog() ? 1 : 0);
    }

    if (m_pUpdater)
        m_pUpdater->SetSystem(this);

    const CConfigKPClientClientInfo& client = m_kpClient.GetClientInfo();
    m_strSendPipeName = kPipePrefix + client.GetPipeSCToSvc();
    m_strRecvPipeName = kPipePrefix + client.GetPipeSvcToSC();
    return S_OK;
}

HRESULT CZa32VUSystem::GetUpdateListUrl(BSTR* pVal) {
    return Get(pVal, &ServerInfo::GetLatestList, AsTextOrNull);
}

ULONG CZa32VUSystem::GetUpdateCheck() {
    return static_cast<ULONG>(m_kpClient.GetTimeInfo().GetUpdatecheck());
}

HRESULT CZa32VUSystem::SetUpdateCheck(ULONG value) {
    m_kpClient.GetTimeInfo().SetUpdatecheck(static_cast<int>(value));
    return S_OK;
}

HRESULT CZa32VUSystem::SendCommand(const char16_t* method, ULONG command, const Text& text) {
    if (!m_pClientSC) {
        ScLogFatal(u"LIB_SC:{CZa32VUSystem::%s} m_pClientSC pointer NULL", method);
        return E_FAIL;
    }
    const HRESULT hr = m_pClientSC->SendMessage(command, text.c_str(), 0);
    if (failed(hr))
        ScLogFatal(u"LIB_SC:{CZa32VUSystem::%s} [E%08x]SendMessage error", method, HrLog(hr));
    return hr;
}

// ---- Client file ------------------------------------------------------------------------------

HRESULT CZa32VUSystem::get_ProductName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetProduct, AsText);
}
HRESULT CZa32VUSystem::get_ProductVersion(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetVersion, AsText);
}
HRESULT CZa32VUSystem::get_ServiceName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetService, AsText);
}
HRESULT CZa32VUSystem::get_UninstallerName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetUninstall, AsText);
}
HRESULT CZa32VUSystem::get_DriverName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetDriver, AsText);
}
HRESULT CZa32VUSystem::get_InfFileName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetInf, AsText);
}
HRESULT CZa32VUSystem::get_NetworkName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetName, AsText);
}
HRESULT CZa32VUSystem::get_Hardwareid(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetHardwareId, AsText);
}
HRESULT CZa32VUSystem::get_RegistryName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetRegistry, AsText);
}
HRESULT CZa32VUSystem::get_InstallFolderName(BSTR* pVal) {
    return Get(pVal, &ClientInfo::GetInstallFolder, AsText);
}

HRESULT CZa32VUSystem::get_MTUSize(ULONG* pVal) {
    return Get(pVal, &NetworkInfo::GetMTU, AsNumber);
}
HRESULT CZa32VUSystem::put_MTUSize(ULONG newVal) {
    // The record keeps the value within its range; a value beyond int counts as too large.
    return Put(&NetworkInfo::SetMTU, newVal > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::get_KeepAlive(ULONG* pVal) {
    return Get(pVal, &TimeInfo::GetKeepalive, AsNumber);
}
HRESULT CZa32VUSystem::put_KeepAlive(ULONG newVal) {
    return Put(&TimeInfo::SetKeepalive, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::get_RetryInterval(ULONG* pVal) {
    return Get(pVal, &TimeInfo::GetRetrytime, AsNumber);
}
HRESULT CZa32VUSystem::put_RetryInterval(ULONG newVal) {
    return Put(&TimeInfo::SetRetrytime, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::get_RetryCount(ULONG* pVal) {
    return Get(pVal, &TimeInfo::GetRetrycount, AsNumber);
}
HRESULT CZa32VUSystem::put_RetryCount(ULONG newVal) {
    return Put(&TimeInfo::SetRetrycount, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::SetRetryParameters(ULONG Interval, ULONG Count) {
    TimeInfo& time = Record<TimeInfo>();
    time.SetRetrytime(static_cast<int>(Interval));
    time.SetRetrycount(static_cast<int>(Count));
    return S_OK;
}
HRESULT CZa32VUSystem::GetRetryParameters(ULONG* pInterval, ULONG* pCount) {
    if (!pInterval || !pCount)
        return E_POINTER;
    const TimeInfo& time = Record<TimeInfo>();
    *pInterval = static_cast<ULONG>(time.GetRetrytime());
    *pCount = static_cast<ULONG>(time.GetRetrycount());
    return S_OK;
}

HRESULT CZa32VUSystem::get_EnvCheckToolURL(BSTR* pVal) {
    return Get(pVal, &ServerInfo::GetEnvCheckTool, AsText);
}

HRESULT CZa32VUSystem::get_CtrlServer(BSTR* pVal) {
    return Get(pVal, &ServerInfo::GetCtrlServer, AsTextOrNull);
}
HRESULT CZa32VUSystem::put_CtrlServer(BSTR) {
    return S_OK; // accepted and ignored: the control server comes from the installation
}
HRESULT CZa32VUSystem::get_CtrlServerV6(BSTR* pVal) {
    return Get(pVal, &ServerInfo::GetCtrlServerV6, AsTextOrNull);
}
HRESULT CZa32VUSystem::put_CtrlServerV6(BSTR) {
    return S_OK;
}

HRESULT CZa32VUSystem::get_StartupSetting(VARIANT_BOOL* pVal) {
    return Get(pVal, &ServerInfo::GetStartup, AsFlag);
}
HRESULT CZa32VUSystem::put_StartupSetting(VARIANT_BOOL newVal) {
    return Put(&ServerInfo::SetStartup, FlagOf(newVal));
}

// ---- User file --------------------------------------------------------------------------------

HRESULT CZa32VUSystem::get_LogFileName(BSTR* pVal) {
    return Get(pVal, &LogInfo::GetPathname, AsText);
}
HRESULT CZa32VUSystem::put_LogFileName(BSTR newVal) {
    return Put(&LogInfo::SetPathname, bstr_view(newVal));
}
HRESULT CZa32VUSystem::get_LogLevel(ULONG* pVal) {
    return Get(pVal, &LogInfo::GetLevel, AsNumber);
}
HRESULT CZa32VUSystem::put_LogLevel(ULONG newVal) {
    return Put(&LogInfo::SetLevel, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::GetLogInformation(BSTR* pbstrLogFile, ULONG* pLevel) {
    if (!pbstrLogFile || !pLevel)
        return E_POINTER;
    const LogInfo& log = Record<LogInfo>();
    *pLevel = static_cast<ULONG>(log.GetLevel());
    return AsText(log.GetPathname(), pbstrLogFile);
}
HRESULT CZa32VUSystem::SetLogInformation(BSTR bstrLogFile, ULONG Level) {
    LogInfo& log = Record<LogInfo>();
    log.SetPathname(bstr_view(bstrLogFile));
    log.SetLevel(static_cast<int>(Level));
    return S_OK;
}
HRESULT CZa32VUSystem::get_Log(VARIANT_BOOL* pVal) {
    return Get(pVal, &LogInfo::GetLog, AsFlag);
}
HRESULT CZa32VUSystem::put_Log(VARIANT_BOOL newVal) {
    return Put(&LogInfo::SetLog, FlagOf(newVal));
}

HRESULT CZa32VUSystem::get_SCPosX(ULONG* pVal) {
    return Get(pVal, &SCInfo::GetX, AsPosition);
}
HRESULT CZa32VUSystem::put_SCPosX(ULONG newVal) {
    return Put(&SCInfo::SetX, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::get_SCPosY(ULONG* pVal) {
    return Get(pVal, &SCInfo::GetY, AsPosition);
}
HRESULT CZa32VUSystem::put_SCPosY(ULONG newVal) {
    return Put(&SCInfo::SetY, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::GetSCPosition(tagPOINT* point) {
    if (!point)
        return E_POINTER;
    const SCInfo& position = Record<SCInfo>();
    if (position.GetX() == SCInfo::kNoPosition)
        return S_FALSE;
    point->x = position.GetX();
    point->y = position.GetY();
    return S_OK;
}
HRESULT CZa32VUSystem::SetSCPosition(tagPOINT point) {
    SCInfo& position = Record<SCInfo>();
    position.SetX(point.x);
    position.SetY(point.y);
    return S_OK;
}
HRESULT CZa32VUSystem::get_DontShowWelcome(ULONG* pVal) {
    return Get(pVal, &SCInfo::GetDontShowWelcome, AsNumber);
}
HRESULT CZa32VUSystem::put_DontShowWelcome(ULONG newVal) {
    return Put(&SCInfo::SetDontShowWelcome, static_cast<int>(newVal));
}

HRESULT CZa32VUSystem::get_ConnSelect(ULONG* pVal) {
    return Get(pVal, &ProxyInfo::GetConnSelect, AsNumber);
}
HRESULT CZa32VUSystem::put_ConnSelect(ULONG newVal) {
    return Put(&ProxyInfo::SetConnSelect, static_cast<int>(newVal));
}
HRESULT CZa32VUSystem::get_LocalProxyPort(USHORT* pVal) {
    return Get(pVal, &ProxyInfo::GetProxyPort, AsNumber);
}
HRESULT CZa32VUSystem::put_LocalProxyPort(USHORT newVal) {
    return Put(&ProxyInfo::SetProxyPort, newVal);
}
HRESULT CZa32VUSystem::get_LocalProxyHost(BSTR* pVal) {
    return Get(pVal, &ProxyInfo::GetProxyHost, AsText);
}
HRESULT CZa32VUSystem::put_LocalProxyHost(BSTR newVal) {
    return Put(&ProxyInfo::SetProxyHost, bstr_view(newVal));
}
HRESULT CZa32VUSystem::get_LocalProxyUser(BSTR* pVal) {
    return Get(pVal, &ProxyInfo::GetProxyUser, AsText);
}
HRESULT CZa32VUSystem::put_LocalProxyUser(BSTR newVal) {
    return Put(&ProxyInfo::SetProxyUser, bstr_view(newVal));
}
HRESULT CZa32VUSystem::get_LocalProxyPassword(BSTR* pVal) {
    return Get(pVal, &ProxyInfo::GetProxyPassword, AsText);
}
HRESULT CZa32VUSystem::put_LocalProxyPassword(BSTR newVal) {
    return Put(&ProxyInfo::SetProxyPassword, bstr_view(newVal));
}
HRESULT CZa32VUSystem::get_UseProxyAuth(VARIANT_BOOL* pVal) {
    return Get(pVal, &ProxyInfo::GetProxyAuth, AsFlag);
}
HRESULT CZa32VUSystem::put_UseProxyAuth(VARIANT_BOOL newVal) {
    return Put(&ProxyInfo::SetProxyAuth, FlagOf(newVal));
}

// ---- Commands and the updater -------------------------------------------------------------------

HRESULT CZa32VUSystem::SaveConfiguration() {
    const CConfigUserSCInfo& position = m_user.GetSCInfo();
    const CConfigUserProxyInfo& proxy = m_user.GetProxyInfo();
    SCUserSettings settings;
    settings.x = position.GetX();
    settings.y = position.GetY();
    settings.connSelect = proxy.GetConnSelect();
    settings.proxyHost = proxy.GetProxyHost();
    settings.proxyPort = proxy.GetProxyPort();
    settings.proxyAuth = proxy.GetProxyAuth() == 1;
    settings.proxyUser = proxy.GetProxyUser();
    settings.proxyPassword = proxy.GetProxyPassword();
    settings.dontShowWelcome = position.GetDontShowWelcome();
    const HRESULT hr =
        SendCommand(u"SaveConfiguration", SCCMD_SETCONFUSER, BuildUserSettingsBlock(settings));
    return failed(hr) ? hr : S_OK;
}

HRESULT CZa32VUSystem::Shutdown() {
    const HRESULT hr = SendCommand(u"Shutdown", SCCMD_SHUTDOWN, u"dummy");
    return failed(hr) ? hr : S_FALSE;
}

HRESULT CZa32VUSystem::ResetConfiguration() {
    return Initialize();
}

HRESULT CZa32VUSystem::GetUpdateInterface(IZa32VUUpdater** ppUpdater) {
    if (!ppUpdater)
        return E_POINTER;
    *ppUpdater = nullptr;
    if (!m_pUpdaterUnknown)
        return E_FAIL;
    const HRESULT hr = m_pUpdaterUnknown->QueryInterface(IZa32VUUpdater::kIid,
                                                         reinterpret_cast<void**>(ppUpdater));
    if (failed(hr))
        ScLogFatal(u"LIB_SC:{CZa32VUSystem::GetUpdateInterface} [E%08x]QueryInterface error",
                   HrLog(hr));
    return hr;
}
