#include "ConfigLog.h"
#include "XmlValue.h"
#include "common/config/XMLConfigFile.h"

#include <pugixml.hpp>

#include <new>
#include <string>

using namespace orvix::config;
using platform::Text;
using platform::TextView;

namespace {

CLogOutput* Log() {
    return CConfigFile::GetLogOutput();
}

std::string Utf8(TextView text) {
    return platform::utf16_to_utf8(text);
}

// Collects a serialisation into one string.
struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override {
        text.append(static_cast<const char*>(data), size);
    }
};

// Whether the element name `utf8` (as the document holds it) is `name`. The names in use are
// ASCII: those compare without a conversion.
bool NameIs(const char* utf8, TextView name) {
    std::size_t i = 0;
    for (; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c >= 0x80)
            return platform::utf16_to_utf8(name) == utf8;
        if (static_cast<unsigned char>(utf8[i]) != c || utf8[i] == '\0')
            return false;
    }
    return utf8[i] == '\0';
}

bool IsElementNamed(const pugi::xml_node& node, TextView name) {
    return node.type() == pugi::node_element && NameIs(node.name(), name);
}

std::unique_ptr<CXMLElement> Wrap(pugi::xml_node node) {
    return std::unique_ptr<CXMLElement>(new (std::nothrow) CXMLElement(node.internal_object()));
}

} // namespace

CXMLElement::CXMLElement(pugi::xml_node_struct* node) : m_pNode(node) {}

CXMLElement::~CXMLElement() = default;

Text CXMLElement::GetName() const {
    return platform::utf8_to_utf16(pugi::xml_node(m_pNode).name());
}

std::unique_ptr<CXMLElement> CXMLElement::GetChild(TextView name) {
    const pugi::xml_node node(m_pNode);
    if (!node)
        return nullptr;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (IsElementNamed(child, name)) {
            if (auto wrapper = Wrap(child))
                return wrapper;
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CXMLElement::GetChild} new CXMLElement Error TagName=%s",
                      Text(name));
            break;
        }
    }
    return AddChild(name);
}

std::unique_ptr<CXMLElement> CXMLElement::AddChild(TextView name) {
    pugi::xml_node node(m_pNode);
    if (!node)
        return nullptr;
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::AddChild} get_ownerDocument OK");
    const std::string key = Utf8(name);
    if (key.empty())
        return nullptr;
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::AddChild} createNode OK");
    pugi::xml_node child = node.append_child(pugi::node_element);
    if (!child || !child.set_name(key.c_str()))
        return nullptr;
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::AddChild} appendChild OK");
    auto wrapper = Wrap(child);
    if (!wrapper)
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::AddChild} new CXMLElement error");
    return wrapper;
}

int CXMLElement::GetChildren(TextView name, std::vector<std::unique_ptr<CXMLElement>>& out) {
    const pugi::xml_node node(m_pNode);
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::GetChildren} get_childNodes OK");
    int length = 0;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
        ++length;
    if (length == 0) {
        TraceWarn(Log(), LOGCAT_CONFIG,
                  u"LIB_CONF:{CXMLElement::GetChildren} get_length error length=0");
        return 0;
    }
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::GetChildren} get_length OK length=%d",
              length);
    int index = 0;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling(), ++index) {
        if (!IsElementNamed(child, name))
            continue;
        auto wrapper = Wrap(child);
        if (!wrapper) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CXMLElement::GetChildren} new CXMLElement error idx=%d", index);
            return 0;
        }
        out.push_back(std::move(wrapper));
    }
    return static_cast<int>(out.size());
}

int CXMLElement::ClearAll(TextView name) {
    pugi::xml_node node(m_pNode);
    if (!node) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::ClearAll} get_childNodes error");
        return 0;
    }
    int count = 0;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
        ++count;
    TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::ClearAll} childNodes cnt=%d", count);
    // From the last child to the first, so removals never skip a child.
    int index = count - 1;
    for (pugi::xml_node child = node.last_child(); child; --index) {
        pugi::xml_node previous = child.previous_sibling();
        if (IsElementNamed(child, name) && !node.remove_child(child)) {
            TraceWarn(Log(), LOGCAT_CONFIG,
                      u"LIB_CONF:{CXMLElement::ClearAll} removeChild error idx=%d", index);
            return 0;
        }
        child = previous;
    }
    return 1;
}

Text CXMLElement::GetValue() {
    const pugi::xml_node node(m_pNode);
    if (!node) {
        TraceWarn(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::GetValue} Get Error");
        return Text();
    }
    // The element's text: all character data below it, in document order. Mostly that is one
    // character data child.
    const pugi::xml_node only = node.first_child();
    if (!only)
        return Text();
    if ((only.type() == pugi::node_pcdata || only.type() == pugi::node_cdata) &&
        !only.next_sibling())
        return platform::utf8_to_utf16(only.value());
    std::string text;
    pugi::xml_node current = node.first_child();
    while (current) {
        if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata)
            text += current.value();
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current && current != node && !current.next_sibling())
            current = current.parent();
        if (!current || current == node)
            break;
        current = current.next_sibling();
    }
    return platform::utf8_to_utf16(text);
}

void CXMLElement::SetValue(TextView text) {
    pugi::xml_node node(m_pNode);
    if (IsSecretElement(GetName()))
        TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::SetValue} New Value=%s",
                  text.empty() ? u"" : u"***");
    else
        TraceInfo(Log(), LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::SetValue} New Value=%s",
                  Text(text));
    while (pugi::xml_node child = node.first_child())
        node.remove_child(child);
    if (!text.empty())
        node.append_child(pugi::node_pcdata).set_value(Utf8(text).c_str());
}

Text CXMLElement::GetXML() {
    const pugi::xml_node node(m_pNode);
    if (!node)
        return Text();
    StringWriter writer;
    node.print(writer, PUGIXML_TEXT(""), pugi::format_raw | pugi::format_no_declaration,
               pugi::encoding_utf8);
    Text xml = platform::utf8_to_utf16(writer.text);
    if (CLogOutput* log = Log())
        log->TraceInfo(LOGCAT_CONFIG, u"LIB_CONF:{CXMLElement::GetXML} get_xml name=%s",
                       MaskSecrets(xml));
    return xml;
}
