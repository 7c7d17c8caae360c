#include "common/config/ConfigConnectionList.h"

#include "ConfigLog.h"
#include "XmlValue.h"

#include <algorithm>
#include <new>

using namespace orvix::config;
using platform::Text;
using platform::TextView;

namespace {

CLogOutput* Log() {
    return CConfigFile::GetLogOutput();
}

const char16_t* TrueFalse(int flag) {
    return flag ? u"TRUE" : u"FALSE";
}

} // namespace

// ---- record ------------------------------------------------------------------------------------

void CConfigConnectionConInfo::SetName(TextView name) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionConInfo::SetName} name=%s",
              Text(name));
    m_strName.assign(name);
}

void CConfigConnectionConInfo::SetLayer(int layer) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionConInfo::SetLayer} layer=%d",
              layer);
    m_nLayer = layer;
}

void CConfigConnectionConInfo::SetEncryption(int flag) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionConInfo::SetEncryption} encryption=%s", TrueFalse(flag));
    m_nEncryption = flag;
}

void CConfigConnectionConInfo::SetBroker(TextView broker) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionConInfo::SetBroker}  broker=%s",
              Text(broker));
    m_strBroker.assign(broker);
}

void CConfigConnectionConInfo::SetBrokerV6(TextView broker) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionConInfo::SetBrokerV6}  brokerV6=%s", Text(broker));
    m_strBrokerV6.assign(broker);
}

void CConfigConnectionConInfo::SetUser(TextView user) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionConInfo::SetUser} username=%s",
              Text(user));
    m_strUser.assign(user);
}

void CConfigConnectionConInfo::SetPassword(TextView password) {
    // Never in clear text in a log line.
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionConInfo::SetPassword} password=%s",
              password.empty() ? u"" : u"***");
    m_strPassword.assign(password);
}

void CConfigConnectionConInfo::SetKeepconnect(int flag) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionConInfo::SetKeepconnect} keepconnect=%s",
              TrueFalse(flag));
    m_nKeepconnect = flag;
}

void CConfigConnectionConInfo::SetV6Conn(int flag) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionConInfo::SetV6Conn} v6conn=%s",
              TrueFalse(flag));
    m_nV6Conn = flag;
}

void CConfigConnectionConInfo::SetServerCertCheck(int flag) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionConInfo::SetServerCertCheck} servercertcheck=%s",
              TrueFalse(flag));
    m_nServerCertCheck = flag;
}

void CConfigConnectionConInfo::SetBrokerNumber(std::uint32_t number) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionConInfo::SetBrokerNumber} brokernumber=%d",
              static_cast<int>(number));
    m_nBrokerNumber = number;
}

int CConfigConnectionConInfo::FromXML(CXMLElement& element) {
    if (!ReadText(element, u"name", m_strName))
        return 0;

    auto network = element.GetChild(u"network");
    if (!network)
        return 0;
    auto layer = ReadChild(*network, u"layer");
    if (!layer)
        return 0;
    if (!layer->empty()) {
        const TextView word = Trim(*layer);
        m_nLayer = word == u"PPP" ? LayerPPP : word == u"HUB" ? LayerHUB : LayerNone;
    }
    if (!ReadFlag(*network, u"encryption", u"SSL", m_nEncryption))
        return 0;

    auto server = element.GetChild(u"server");
    if (!server || !ReadText(*server, u"broker", m_strBroker) ||
        !ReadText(*server, u"brokerV6", m_strBrokerV6))
        return 0;

    auto user = element.GetChild(u"user");
    return user && ReadText(*user, u"username", m_strUser) &&
                   ReadText(*user, u"password", m_strPassword) &&
                   ReadFlag(*user, u"keepconnect", u"ON", m_nKeepconnect) &&
                   ReadFlag(*user, u"v6conn", u"ON", m_nV6Conn) &&
                   ReadUnsigned(*user, u"brokernumber", m_nBrokerNumber) &&
                   ReadFlag(*user, u"servercertcheck", u"ON", m_nServerCertCheck)
               ? 1
               : 0;
}

int CConfigConnectionConInfo::ToXML(CXMLElement& element) {
    if (!WriteChild(element, u"name", m_strName))
        return 0;
    auto network = element.GetChild(u"network");
    const char16_t* layer = m_nLayer == LayerPPP ? u"PPP" : m_nLayer == LayerHUB ? u"HUB" : u"";
    if (!network || !WriteChild(*network, u"layer", layer) ||
        !WriteFlag(*network, u"encryption", m_nEncryption, u"SSL", u"NonSSL"))
        return 0;
    auto server = element.GetChild(u"server");
    if (!server || !WriteChild(*server, u"broker", m_strBroker) ||
        !WriteChild(*server, u"brokerV6", m_strBrokerV6))
        return 0;
    auto user = element.GetChild(u"user");
    return user && WriteChild(*user, u"username", m_strUser) &&
                   WriteChild(*user, u"password", m_strPassword) &&
                   WriteFlag(*user, u"keepconnect", m_nKeepconnect, u"ON", u"OFF") &&
                   WriteFlag(*user, u"v6conn", m_nV6Conn, u"ON", u"OFF") &&
                   WriteUnsigned(*user, u"brokernumber", m_nBrokerNumber) &&
                   WriteFlag(*user, u"servercertcheck", m_nServerCertCheck, u"ON", u"OFF")
               ? 1
               : 0;
}

// ---- list --------------------------------------------------------------------------------------

CConfigConnectionList::CConfigConnectionList() {
    SetCipherKey(u"QuartzMelodyHarbor");
    SetFileName(kFileName);
}

CConfigConnectionList::~CConfigConnectionList() = default;

Text CConfigConnectionList::GetRootTagName() {
    return u"connections";
}

CConfigConnectionConInfo* CConfigConnectionList::AppendRecord() {
    std::unique_ptr<CConfigConnectionConInfo> record(new (std::nothrow) CConfigConnectionConInfo);
    if (!record)
        return nullptr;
    try {
        m_list.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return m_list.back().get();
}

CConfigConnectionConInfo* CConfigConnectionList::AddConnectionItem() {
    if (CConfigConnectionConInfo* record = AppendRecord())
        return record;
    TraceWarn(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionList::AddConnectionItem} CConfigConnectionConInfo "
              u"create error");
    return nullptr;
}

CConfigConnectionConInfo* CConfigConnectionList::GetConnectionItem(int index) {
    const int count = GetConnectionCount();
    if (index < 0 || index > count - 1) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigConnectionList::GetConnectionItem} index error listcnt=%d "
                  u"idx=%d",
                  count, index);
        return nullptr;
    }
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigConnectionList::GetConnectionItem} idx=%d",
              index);
    return m_list[static_cast<std::size_t>(index)].get();
}

int CConfigConnectionList::DeleteConnectionItem(const CConfigConnectionConInfo* record) {
    const auto it = std::find_if(m_list.begin(), m_list.end(),
                                 [record](const auto& item) { return item.get() == record; });
    if (it == m_list.end() || !record)
        return 0;
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigConnectionList::DeleteConnectionItem} delete idx=%d",
              static_cast<int>(it - m_list.begin()));
    m_list.erase(it);
    return 1;
}

int CConfigConnectionList::SetParam() {
    if (!m_pRoot)
        return 0;
    CXMLElement& root = *m_pRoot;
    if (!m_version.FromXML(root)) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigConnectionList::SetParam} XML To version error");
        return 0;
    }
    if (m_version.GetFileVersion() > kFileVersion) {
        if (CLogOutput* log = Log())
            log->OutputWarn(LOGCAT_CONFIG, CONFIG_MSG_VERSION_ERROR,
                            u"CConfigConnectionList::SetParam", GetFileName(),
                            static_cast<int>(m_version.GetFileVersion()));
        return 0;
    }
    std::vector<std::unique_ptr<CXMLElement>> elements;
    root.GetChildren(u"connection", elements);
    m_list.clear();
    int index = 0;
    for (const auto& element : elements) {
        CConfigConnectionConInfo* record = AppendRecord();
        if (!record) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CConfigConnectionList::SetParam} new CConfigConnectionConInfo "
                      u"error idx=%d",
                      index);
            return 0;
        }
        record->FromXML(*element);
        ++index;
    }
    return 1;
}

int CConfigConnectionList::GetParam() {
    if (!m_pRoot)
        return 0;
    CXMLElement& root = *m_pRoot;
    m_version.SetFileVersion(kFileVersion);
    if (!m_version.ToXML(root)) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigConnectionList::GetParam} version To XML error");
        return 0;
    }
    if (!root.ClearAll(u"connection")) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CConfigConnectionList::GetParam} Clear All error");
        return 0;
    }
    int index = 0;
    for (const auto& record : m_list) {
        auto element = root.AddChild(u"connection");
        if (!element) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CConfigConnectionList::GetParam} Add Child error idx=%d", index);
            return 0;
        }
        if (!record->ToXML(*element)) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CConfigConnectionList::GetParam} connection To XML error");
            return 0;
        }
        ++index;
    }
    return 1;
}
