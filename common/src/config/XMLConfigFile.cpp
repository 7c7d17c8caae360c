#include "common/config/XMLConfigFile.h"
#include "ConfigLog.h"
#include "XmlValue.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

using namespace orvix::config;
using platform::Text;
using platform::TextView;

namespace {

CLogOutput* Log() {
    return CConfigFile::GetLogOutput();
}

// Comments and processing instructions are kept so that they survive a load and save; white
// space between elements is dropped, as nothing adds it when writing; an element whose only
// content is white space keeps it (a value of spaces is a value). Parsing as a fragment keeps
// character data beside the document element visible, so that WellFormed can refuse it.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_ws_pcdata_single | pugi::parse_fragment;

// A document is usable only with exactly one document element and no character data beside it.
bool WellFormed(const pugi::xml_document& document) {
    int elements = 0;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_element)
            ++elements;
        else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            return false;
    }
    return elements == 1;
}

bool AnsiIsUtf8() {
    static const bool utf8 = [] {
        std::string name = platform::ansi_charset();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return name == "utf-8" || name == "utf8";
    }();
    return utf8;
}

} // namespace

CXMLConfigFile::CXMLConfigFile() = default;

CXMLConfigFile::~CXMLConfigFile() {
    m_pRoot.reset();
    m_pDocument.reset();
}

int CXMLConfigFile::SetParam() {
    return 1;
}

int CXMLConfigFile::GetParam() {
    return 1;
}

Text CXMLConfigFile::GetRootTagName() {
    return Text();
}

int CXMLConfigFile::CreateXMLDocument(TextView text) {
    // Whatever the declaration says, the characters are parsed in their UTF-8 form.
    return CreateXMLDocumentUtf8(platform::utf16_to_utf8(text));
}

int CXMLConfigFile::CreateXMLDocumentUtf8(std::string_view utf8) {
    return NewDocument(utf8, Buffer());
}

int CXMLConfigFile::CreateXMLDocumentInPlace(Buffer buffer, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(buffer.get()), buffer ? size : 0);
    return NewDocument(text, std::move(buffer));
}

int CXMLConfigFile::NewDocument(std::string_view text, Buffer inPlace) {
    std::unique_ptr<pugi::xml_document> document(new (std::nothrow) pugi::xml_document);
    if (!document) {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CXMLConfigFile::CreateXMLDocument} [E%08x]CreateInstance error",
                  Hr(m_hrLast));
        return 0;
    }
    if (!text.empty()) {
        const pugi::xml_parse_result result =
            inPlace ? document->load_buffer_inplace(inPlace.get(), text.size(), kParseOptions,
                                                    pugi::encoding_utf8)
                    : document->load_buffer(text.data(), text.size(), kParseOptions,
                                            pugi::encoding_utf8);
        if (!result || !WellFormed(*document))
            document->reset();
    }

    pugi::xml_node root = document->document_element();
    if (!root) {
        const Text name = GetRootTagName();
        if (name.empty()) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CXMLConfigFile::CreateXMLDocument} GetRootTagName error");
            return 0;
        }
        root = document->append_child(pugi::node_element);
        if (!root || !root.set_name(platform::utf16_to_utf8(name).c_str())) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CXMLConfigFile::CreateXMLDocument} createElement error");
            return 0;
        }
    }
    std::unique_ptr<CXMLElement> wrapper(new (std::nothrow) CXMLElement(root.internal_object()));
    if (!wrapper) {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceFatal(Log(), LOGCAT_CONFIG,
                   u"LIB_CONF:{CXMLConfigFile::CreateXMLDocument} [E%08x]new CXMLElement error",
                   Hr(m_hrLast));
        return 0;
    }
    m_pRoot = std::move(wrapper);
    m_pDocument = std::move(document);
    m_pDocumentBuffer = std::move(inPlace);
    m_hrLast = 0;
    return 1;
}

int CXMLConfigFile::Load() {
    if (!CreateFileW(CONFIG_OPEN_READ)) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Load} CreateFile error");
        return 0;
    }
    if (!ReadFile()) {
        const platform::HRESULT hr = m_hrLast;
        Close();
        m_hrLast = hr;
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Load} ReadFile error");
        return 0;
    }
    int size = 0;
    const std::uint8_t* buffer = GetBuffer(size);
    Close();
    // The text ends at its zero byte.
    const std::string_view ansi(
        reinterpret_cast<const char*>(buffer),
        buffer ? ::strnlen(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size))
               : 0);
    // With the UTF-8 code page the bytes go to the parser as they are; otherwise through the
    // wide form. The wide form for the log line is made only when there is a log.
    CLogOutput* log = Log();
    std::optional<Text> wide;
    if (log || !AnsiIsUtf8()) {
        auto converted = platform::ansi_to_utf16(ansi);
        wide = converted ? std::move(converted->text) : Text();
    }
    if (log)
        log->TraceInfo(LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Load} XML = %s",
                       MaskSecrets(*wide));
    // The UTF-8 text is parsed where it lies; the document keeps the buffer.
    int created = 0;
    if (AnsiIsUtf8()) {
        const std::size_t length = ansi.size();
        m_nDataSize = 0;
        created = CreateXMLDocumentInPlace(std::move(m_pData), length);
    } else {
        created = CreateXMLDocument(*wide);
    }
    wide.reset();
    if (!created) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Load} CreateXMLDocument error");
        return 0;
    }
    if (!SetParam()) {
        m_hrLast = CONFIG_E_NODATA;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Load} [E%08x] SetParam error",
                   Hr(m_hrLast));
        return 0;
    }
    m_hrLast = 0;
    return 1;
}

int CXMLConfigFile::Save() {
    if (!m_pRoot && !CreateXMLDocument(Text())) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} CreateXMLDocument error");
        return 0;
    }
    if (!GetParam()) {
        m_hrLast = CONFIG_E_NODATA;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} [E%08x]GetParam error",
                   Hr(m_hrLast));
        return 0;
    }
    const Text xml = m_pRoot->GetXML();
    auto ansi = platform::utf16_to_ansi(xml);
    if (!ansi) {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} [E%08x]new char error",
                   Hr(m_hrLast));
        return 0;
    }
    if (CLogOutput* log = Log())
        log->TraceInfo(LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} XML = %s",
                       MaskSecrets(xml));
    // The stored text ends with one zero byte.
    std::string& bytes = ansi->text;
    if (bytes.size() >= static_cast<std::size_t>(INT32_MAX)) {
        m_hrLast = platform::E_OUTOFMEMORY;
        TraceFatal(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} [E%08x]new char error",
                   Hr(m_hrLast));
        return 0;
    }
    if (!SetBuffer(bytes.c_str(), static_cast<int>(bytes.size() + 1))) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} SetBuffer error");
        return 0;
    }
    if (!CreateFileW(CONFIG_OPEN_WRITE)) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} CreateFile error");
        return 0;
    }
    if (!WriteFile()) {
        const platform::HRESULT hr = m_hrLast;
        Close();
        m_hrLast = hr;
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLConfigFile::Save} WriteFile error");
        return 0;
    }
    Close();
    m_hrLast = 0;
    return 1;
}

void CConfigFileVersion::SetFileVersion(std::uint32_t version) {
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CConfigFileVersion::SetFileVersion} version=%d",
              static_cast<int>(version));
    m_nFileVersion = version;
}

int CConfigFileVersion::ToXML(CXMLElement& root) {
    return WriteUnsigned(root, u"version", m_nFileVersion) ? 1 : 0;
}

int CConfigFileVersion::FromXML(CXMLElement& root) {
    return ReadUnsigned(root, u"version", m_nFileVersion) ? 1 : 0;
}
