#include "common/config/ConfigUser.h"

#include "ConfigLog.h"
#include "XmlValue.h"

using namespace orvix::config;
using platform::Text;
using platform::TextView;

namespace {

CLogOutput* Log() {
    return CConfigFile::GetLogOutput();
}

constexpr std::uint32_t kAllCategories = 0xFFFFFFFFu;

std::uint32_t CategoryBit(std::int32_t number) {
    // Number v stands for bit (v-1) modulo 32, negative numbers included.
    return 1u << ((static_cast<std::uint32_t>(number) - 1u) & 31u);
}

const char16_t* LevelText(int level) {
    switch (level) {
    case CConfigUserLogInfo::LevelInfo:
        return u"INFO";
    case CConfigUserLogInfo::LevelWarn:
        return u"WARN";
    case CConfigUserLogInfo::LevelFatal:
        return u"FATAL";
    default:
        return u"";
    }
}

bool ReadLevel(CXMLElement& parent, const char16_t* name, int& level) {
    auto text = ReadChild(parent, name);
    if (!text)
        return false;
    if (text->empty())
        return true;
    const TextView word = Trim(*text);
    level = word == u"INFO"    ? CConfigUserLogInfo::LevelInfo
            : word == u"WARN"  ? CConfigUserLogInfo::LevelWarn
            : word == u"FATAL" ? CConfigUserLogInfo::LevelFatal
                               : CConfigUserLogInfo::LevelNone;
    return true;
}

bool ReadCategory(CXMLElement& parent, const char16_t* name, std::uint32_t& mask) {
    mask = kAllCategories;
    auto text = ReadChild(parent, name);
    if (!text)
        return false;
    mask = ParseCategoryList(*text);
    return true;
}

} // namespace

Text FormatCategoryList(std::uint32_t mask) {
    if (mask == kAllCategories)
        return u"0";
    Text text;
    for (int bit = 0; bit < 32; ++bit) {
        if (!(mask & (1u << bit)))
            continue;
        if (!text.empty())
            text.push_back(u';');
        text += platform::format(u"%d", bit + 1).value_or(Text());
    }
    return text;
}

std::uint32_t ParseCategoryList(TextView text) {
    const TextView trimmed = Trim(text);
    if (trimmed.empty())
        return kAllCategories;
    if (trimmed.find(u';') == TextView::npos) {
        const std::int32_t number = ParseLong(trimmed);
        return number == 0 ? kAllCategories : CategoryBit(number);
    }
    std::uint32_t mask = 0;
    std::size_t pos = 0;
    while (pos <= trimmed.size()) {
        std::size_t end = trimmed.find(u';', pos);
        if (end == TextView::npos)
            end = trimmed.size();
        const std::int32_t number = ParseLong(Trim(trimmed.substr(pos, end - pos)));
        if (number != 0)
            mask |= CategoryBit(number);
        pos = end + 1;
    }
    return mask;
}

// ---- log ---------------------------------------------------------------------------------------

void CConfigUserLogInfo::SetPathname(TextView pathname) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUserLogInfo::SetPathname} pathname=%s",
              Text(pathname));
    m_strPathname.assign(pathname);
}

void CConfigUserLogInfo::SetLevel(int level) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUserLogInfo::SetLevel} level=%d", level);
    m_nLevel = level;
}

void CConfigUserLogInfo::SetLog(int logout) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUserLogInfo::SetLog} logout=%s",
              logout == 1 ? u"ON" : u"OFF");
    m_nLogout = logout;
}

int CConfigUserLogInfo::FromXML(CXMLElement& element) {
    return ReadText(element, u"pathname", m_strPathname) &&
                   ReadLevel(element, u"level", m_nLevel) &&
                   ReadFlag(element, u"logout", u"ON", m_nLogout) &&
                   ReadCategory(element, u"category", m_nCategory) &&
                   ReadLevel(element, u"debug_level", m_nDebugLevel) &&
                   ReadFlag(element, u"debug_logout", u"ON", m_nDebugLogout) &&
                   ReadCategory(element, u"debug_category", m_nDebugCategory)
               ? 1
               : 0;
}

int CConfigUserLogInfo::ToXML(CXMLElement& element) {
    return WriteChild(element, u"pathname", m_strPathname) &&
                   WriteChild(element, u"level", LevelText(m_nLevel)) &&
                   WriteFlag(element, u"logout", m_nLogout, u"ON", u"OFF") &&
                   WriteChild(element, u"category", FormatCategoryList(m_nCategory)) &&
                   WriteChild(element, u"debug_level", LevelText(m_nDebugLevel)) &&
                   WriteFlag(element, u"debug_logout", m_nDebugLogout, u"ON", u"OFF") &&
                   WriteChild(element, u"debug_category", FormatCategoryList(m_nDebugCategory))
               ? 1
               : 0;
}

// ---- sc_pos ------------------------------------------------------------------------------------

void CConfigUserSCInfo::SetX(int x) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUserSCInfo::SetX} X=%d", x);
    m_nX = x;
}

void CConfigUserSCInfo::SetY(int y) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUserSCInfo::SetY} Y=%d", y);
    m_nY = y;
}

void CConfigUserSCInfo::SetDontShowWelcome(int value) {
    TraceInfo(Log(), LOGCAT_CONFIG,
              u"LIB_CONF:{CConfigUserSCInfo::SetDontShowWelcome} DontShowWelcome=%d", value);
    m_nDontShowWelcome = value;
}

int CConfigUserSCInfo::FromXML(CXMLElement& element) {
    return ReadInt(element, u"x", m_nX) && ReadInt(element, u"y", m_nY) &&
                   ReadInt(element, u"dontshowwelcome", m_nDontShowWelcome)
               ? 1
               : 0;
}

int CConfigUserSCInfo::ToXML(CXMLElement& element) {
    return WriteInt(element, u"x", m_nX) && WriteInt(element, u"y", m_nY) &&
                   WriteInt(element, u"dontshowwelcome", m_nDontShowWelcome)
               ? 1
               : 0;
}

// ---- proxy -------------------------------------------------------------------------------------

int CConfigUserProxyInfo::FromXML(CXMLElement& element) {
    std::uint32_t port = m_nProxyPort;
    if (!ReadInt(element, u"connselect", m_nConnSelect) ||
        !ReadText(element, u"proxyhost", m_strProxyHost) ||
        !ReadUnsigned(element, u"proxyport", port) ||
        !ReadFlag(element, u"proxyauth", u"true", m_nProxyAuth) ||
        !ReadText(element, u"proxyuser", m_strProxyUser) ||
        !ReadText(element, u"proxypassword", m_strProxyPassword))
        return 0;
    m_nProxyPort = static_cast<std::uint16_t>(port & 0xFFFFu);
    return 1;
}

int CConfigUserProxyInfo::ToXML(CXMLElement& element) {
    return WriteInt(element, u"connselect", m_nConnSelect) &&
                   WriteChild(element, u"proxyhost", m_strProxyHost) &&
                   WriteUnsigned(element, u"proxyport", m_nProxyPort) &&
                   WriteFlag(element, u"proxyauth", m_nProxyAuth, u"true", u"false") &&
                   WriteChild(element, u"proxyuser", m_strProxyUser) &&
                   WriteChild(element, u"proxypassword", m_strProxyPassword)
               ? 1
               : 0;
}

// ---- file --------------------------------------------------------------------------------------

CConfigUser::CConfigUser() {
    SetUseBase64(0);
    SetUseBlowFish(0);
    SetCipherKey(u"");
    SetFileName(kFileName);
}

Text CConfigUser::GetRootTagName() {
    return u"user";
}

int CConfigUser::SetParam() {
    if (!m_pRoot)
        return 0;
    CXMLElement& root = *m_pRoot;
    if (!m_version.FromXML(root)) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUser::SetParam} XML To version error");
        return 0;
    }
    if (m_version.GetFileVersion() > kFileVersion) {
        if (CLogOutput* log = Log())
            log->OutputWarn(LOGCAT_CONFIG, CONFIG_MSG_VERSION_ERROR, u"CConfigUser::SetParam",
                            GetFileName(), static_cast<int>(m_version.GetFileVersion()));
        return 0;
    }
    return ReadParts(
        root, {
                  {u"log", m_log, u"LIB_CONF:{CConfigUser::SetParam} Get Tag log error",
                   u"LIB_CONF:{CConfigUser::SetParam} XML To log error"},
                  {u"sc_pos", m_sc, u"LIB_CONF:{CConfigUser::SetParam} Get Tag scpos error",
                   u"LIB_CONF:{CConfigUser::SetParam} XML To sc_pos error"},
                  {u"proxy", m_proxy, u"LIB_CONF:{CConfigUser::SetParam} Get Tag Proxy error",
                   u"LIB_CONF:{CConfigUser::SetParam} XML To Proxy error"},
              });
}

int CConfigUser::GetParam() {
    if (!m_pRoot)
        return 0;
    CXMLElement& root = *m_pRoot;
    m_version.SetFileVersion(kFileVersion);
    if (!m_version.ToXML(root)) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigUser::GetParam} version To XML error");
        return 0;
    }
    return WriteParts(
        root, {
                  {u"log", m_log, u"LIB_CONF:{CConfigUser::GetParam} Get Tag log error",
                   u"LIB_CONF:{CConfigUser::GetParam} log To XML error"},
                  {u"sc_pos", m_sc, u"LIB_CONF:{CConfigUser::GetParam} Get Tag scpos error",
                   u"LIB_CONF:{CConfigUser::GetParam} scpos To XML error"},
                  {u"proxy", m_proxy, u"LIB_CONF:{CConfigUser::GetParam} Get Tag proxy error",
                   u"LIB_CONF:{CConfigUser::GetParam} proxy To XML error"},
              });
}
