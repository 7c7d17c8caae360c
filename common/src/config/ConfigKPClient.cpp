#include "common/config/ConfigKPClient.h"

#include "ConfigLog.h"
#include "XmlValue.h"

#include <algorithm>

using namespace orvix::config;
using platform::Text;

namespace {

CLogOutput* Log() {
    return CConfigFile::GetLogOutput();
}

template <typename Record> struct TextField {
    const char16_t* element;
    Text Record::*member;
};

} // namespace

// ---- network -----------------------------------------------------------------------------------

void CConfigKPClientNetworkInfo::SetMTU(int mtu) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigKPClientNetworkInfo::SetMTU} MTU=%d", mtu);
    m_nMTU = std::clamp(mtu, kMinMTU, kMaxMTU);
}

int CConfigKPClientNetworkInfo::FromXML(CXMLElement& element) {
    int mtu = m_nMTU;
    if (!ReadInt(element, u"MTU", mtu) || !ReadFlag(element, u"routedupl", u"ON", m_nRouteDupl))
        return 0;
    m_nMTU = std::clamp(mtu, kMinMTU, kMaxMTU);
    return 1;
}

int CConfigKPClientNetworkInfo::ToXML(CXMLElement& element) {
    return WriteInt(element, u"MTU", m_nMTU) &&
                   WriteFlag(element, u"routedupl", m_nRouteDupl, u"ON", u"OFF")
               ? 1
               : 0;
}

// ---- client ------------------------------------------------------------------------------------

std::array<std::pair<const char16_t*, Text*>, 14> CConfigKPClientClientInfo::Fields() {
    return {{
        {u"product", &m_strProduct},
        {u"version", &m_strVersion},
        {u"service", &m_strService},
        {u"scapp", &m_strScApp},
        {u"uninstall", &m_strUninstall},
        {u"updater", &m_strUpdater},
        {u"driver", &m_strDriver},
        {u"inf", &m_strInf},
        {u"name", &m_strName},
        {u"hardwareid", &m_strHardwareId},
        {u"registry", &m_strRegistry},
        {u"pipesctosvc", &m_strPipeSCToSvc},
        {u"pipesvctosc", &m_strPipeSvcToSC},
        {u"installfolder", &m_strInstallFolder},
    }};
}

int CConfigKPClientClientInfo::FromXML(CXMLElement& element) {
    for (const auto& [name, member] : Fields())
        if (!ReadText(element, name, *member))
            return 0;
    return 1;
}

int CConfigKPClientClientInfo::ToXML(CXMLElement& element) {
    for (const auto& [name, member] : Fields())
        if (!WriteChild(element, name, *member))
            return 0;
    return 1;
}

// ---- server ------------------------------------------------------------------------------------

int CConfigKPClientServerInfo::FromXML(CXMLElement& element) {
    return ReadText(element, u"latestlist", m_strLatestList) &&
                   ReadText(element, u"updatepage", m_strUpdatePage) &&
                   ReadText(element, u"ctrlserver", m_strCtrlServer) &&
                   ReadText(element, u"ctrlserverV6", m_strCtrlServerV6) &&
                   ReadText(element, u"envchecktool", m_strEnvCheckTool) &&
                   ReadFlag(element, u"startup", u"true", m_nStartup)
               ? 1
               : 0;
}

int CConfigKPClientServerInfo::ToXML(CXMLElement& element) {
    return WriteChild(element, u"latestlist", m_strLatestList) &&
                   WriteChild(element, u"updatepage", m_strUpdatePage) &&
                   WriteChild(element, u"envchecktool", m_strEnvCheckTool) &&
                   WriteChild(element, u"ctrlserver", m_strCtrlServer) &&
                   WriteChild(element, u"ctrlserverV6", m_strCtrlServerV6) &&
                   WriteFlag(element, u"startup", m_nStartup, u"true", u"false")
               ? 1
               : 0;
}

// ---- time --------------------------------------------------------------------------------------

void CConfigKPClientTimeInfo::SetUpdatecheck(int value) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigKPClientTimeInfo::SetUpdatecheck} updatecheck=%d", value);
    m_nUpdatecheck = value;
}

void CConfigKPClientTimeInfo::SetKeepalive(int value) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigKPClientTimeInfo::SetKeepalive} keepalive=%d", value);
    m_nKeepalive = value;
}

void CConfigKPClientTimeInfo::SetRetrytime(int value) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigKPClientTimeInfo::SetRetrytime} retrytime=%d", value);
    m_nRetrytime = value;
}

void CConfigKPClientTimeInfo::SetRetrycount(int value) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigKPClientTimeInfo::SetRetrycount} retrycount=%d", value);
    m_nRetrycount = value;
}

int CConfigKPClientTimeInfo::FromXML(CXMLElement& element) {
    return ReadInt(element, u"updatecheck", m_nUpdatecheck) &&
                   ReadInt(element, u"keepalive", m_nKeepalive) &&
                   ReadInt(element, u"retrytime", m_nRetrytime) &&
                   ReadInt(element, u"retrycount", m_nRetrycount)
               ? 1
               : 0;
}

int CConfigKPClientTimeInfo::ToXML(CXMLElement& element) {
    return WriteInt(element, u"updatecheck", m_nUpdatecheck) &&
                   WriteInt(element, u"keepalive", m_nKeepalive) &&
                   WriteInt(element, u"retrytime", m_nRetrytime) &&
                   WriteInt(element, u"retrycount", m_nRetrycount)
               ? 1
               : 0;
}

// ---- file --------------------------------------------------------------------------------------

CConfigKPClient::CConfigKPClient() {
    SetCipherKey(u"PlumWillowGrain");
    SetFileName(kFileName);
}

Text CConfigKPClient::GetRootTagName() {
    return u"kpclient";
}

int CConfigKPClient::SetParam() {
    if (!m_pRoot)
        return 0;
    CXMLElement& root = *m_pRoot;
    if (!m_version.FromXML(root)) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigKPClient::SetParam} XML To fileversion error");
        return 0;
    }
    if (m_version.GetFileVersion() > kFileVersion) {
        if (CLogOutput* log = Log())
            log->OutputWarn(LOGCAT_CONFIG, CONFIG_MSG_VERSION_ERROR, u"CConfigKPClient::SetParam",
                            GetFileName(), static_cast<int>(m_version.GetFileVersion()));
        return 0;
    }
    return ReadParts(
        root,
        {
            {u"network", m_network, u"LIB_CONF:{CConfigKPClient::SetParam} Get Tag network error",
             u"LIB_CONF:{CConfigKPClient::SetParam} XML To network error"},
            {u"client", m_client, u"LIB_CONF:{CConfigKPClient::SetParam} Get Tag client error",
             u"LIB_CONF:{CConfigKPClient::SetParam} XML To client error"},
            {u"server", m_server, u"LIB_CONF:{CConfigKPClient::SetParam} Get Tag server error",
             u"LIB_CONF:{CConfigKPClient::SetParam} XML To setver error"},
            {u"time", m_time, u"LIB_CONF:{CConfigKPClient::SetParam} Get Tag time error",
             u"LIB_CONF:{CConfigKPClient::SetParam} XML To time error"},
        });
}

int CConfigKPClient::GetParam() {
    if (!m_pRoot)
        return 0;
    CXMLElement& root = *m_pRoot;
    m_version.SetFileVersion(kFileVersion);
    if (!m_version.ToXML(root)) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigKPClient::GetParam} fileversion To XML error");
        return 0;
    }
    return WriteParts(
        root,
        {
            {u"network", m_network, u"LIB_CONF:{CConfigKPClient::GetParam} Get Tag network error",
             u"LIB_CONF:{CConfigKPClient::GetParam} network To XML error"},
            {u"client", m_client, u"LIB_CONF:{CConfigKPClient::GetParam} Get Tag client error",
             u"LIB_CONF:{CConfigKPClient::GetParam} client To XML error"},
            {u"server", m_server, u"LIB_CONF:{CConfigKPClient::GetParam} Get Tag server error",
             u"LIB_CONF:{CConfigKPClient::GetParam} server To XML error"},
            {u"time", m_time, u"LIB_CONF:{CConfigKPClient::GetParam} Get Tag time error",
             u"LIB_CONF:{CConfigKPClient::GetParam} time To XML error"},
        });
}
