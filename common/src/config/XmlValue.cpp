#include "XmlValue.h"

#include "ConfigLog.h"

#include <algorithm>

namespace orvix::config {

using platform::Text;
using platform::TextView;

namespace {
bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}
} // namespace

TextView Trim(TextView text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsSpace(text[begin]))
        ++begin;
    while (end > begin && IsSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::int32_t ParseLong(TextView text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1)
            value = static_cast<std::int64_t>(INT32_MAX) + 1; // saturated; keeps scanning
    }
    if (negative)
        value = -value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

std::optional<Text> ReadChild(CXMLElement& parent, const char16_t* name) {
    auto child = parent.GetChild(name);
    if (!child)
        return std::nullopt;
    return child->GetValue();
}

bool WriteChild(CXMLElement& parent, const char16_t* name, TextView text) {
    auto child = parent.GetChild(name);
    if (!child)
        return false;
    child->SetValue(text);
    return true;
}

bool ReadText(CXMLElement& parent, const char16_t* name, Text& value) {
    auto text = ReadChild(parent, name);
    if (!text)
        return false;
    if (!text->empty())
        value = std::move(*text);
    return true;
}

bool ReadInt(CXMLElement& parent, const char16_t* name, int& value) {
    auto text = ReadChild(parent, name);
    if (!text)
        return false;
    if (!text->empty())
        value = ParseLong(Trim(*text));
    return true;
}

bool ReadUnsigned(CXMLElement& parent, const char16_t* name, std::uint32_t& value) {
    auto text = ReadChild(parent, name);
    if (!text)
        return false;
    if (!text->empty())
        value = static_cast<std::uint32_t>(ParseLong(Trim(*text)));
    return true;
}

bool ReadFlag(CXMLElement& parent, const char16_t* name, const char16_t* on, int& value) {
    auto text = ReadChild(parent, name);
    if (!text)
        return false;
    if (!text->empty())
        value = Trim(*text) == TextView(on) ? 1 : 0;
    return true;
}

bool WriteInt(CXMLElement& parent, const char16_t* name, int value) {
    return WriteChild(parent, name, platform::format(u"%d", value).value_or(Text()));
}

bool WriteUnsigned(CXMLElement& parent, const char16_t* name, std::uint32_t value) {
    return WriteChild(parent, name,
                      platform::format(u"%lu", static_cast<unsigned long>(value)).value_or(Text()));
}

bool WriteFlag(CXMLElement& parent, const char16_t* name, int value, const char16_t* on,
               const char16_t* off) {
    return WriteChild(parent, name, value == 1 ? on : off);
}

bool IsSecretElement(TextView name) {
    // "password", "proxypassword" and any other name ending in "password", in any case.
    constexpr TextView kWord = u"password";
    if (name.size() < kWord.size())
        return false;
    const TextView tail = name.substr(name.size() - kWord.size());
    return std::equal(tail.begin(), tail.end(), kWord.begin(), [](char16_t a, char16_t b) {
        return (a >= u'A' && a <= u'Z' ? static_cast<char16_t>(a - u'A' + u'a') : a) == b;
    });
}

namespace {
// The end of the content of an element whose start tag ends just before `pos`: the position of
// its matching end tag, or the end of the text. Character data sections, comments and
// processing instructions are skipped whole; nested elements are counted.
std::size_t ContentEnd(TextView xml, std::size_t pos) {
    int depth = 1;
    while (pos < xml.size()) {
        const std::size_t lt = xml.find(u'<', pos);
        if (lt == TextView::npos)
            return xml.size();
        const TextView rest = xml.substr(lt);
        auto skipTo = [&](TextView terminator, std::size_t from) {
            const std::size_t end = xml.find(terminator, from);
            return end == TextView::npos ? xml.size() : end + terminator.size();
        };
        if (rest.starts_with(u"<![CDATA[")) {
            pos = skipTo(u"]]>", lt + 9);
        } else if (rest.starts_with(u"<!--")) {
            pos = skipTo(u"-->", lt + 4);
        } else if (rest.starts_with(u"<?")) {
            pos = skipTo(u"?>", lt + 2);
        } else if (rest.starts_with(u"</")) {
            if (--depth == 0)
                return lt;
            pos = skipTo(u">", lt + 2);
        } else {
            const std::size_t gt = xml.find(u'>', lt);
            if (gt == TextView::npos)
                return xml.size();
            if (xml[gt - 1] != u'/')
                ++depth;
            pos = gt + 1;
        }
    }
    return xml.size();
}
} // namespace

Text MaskSecrets(TextView xml) {
    // Works on the text as it stands (it need not be well-formed): the whole content of every
    // secret element is replaced.
    Text out;
    out.reserve(xml.size());
    std::size_t pos = 0;
    while (pos < xml.size()) {
        const std::size_t open = xml.find(u'<', pos);
        if (open == TextView::npos) {
            out.append(xml.substr(pos));
            break;
        }
        const std::size_t close = xml.find(u'>', open);
        if (close == TextView::npos) {
            out.append(xml.substr(pos));
            break;
        }
        out.append(xml.substr(pos, close + 1 - pos));
        pos = close + 1;
        const TextView tag = xml.substr(open + 1, close - open - 1);
        if (tag.empty() || tag.front() == u'/' || tag.front() == u'?' || tag.front() == u'!' ||
            tag.back() == u'/')
            continue;
        if (!IsSecretElement(tag.substr(0, tag.find_first_of(u" \t\r\n"))))
            continue;
        const std::size_t end = ContentEnd(xml, pos);
        if (end > pos)
            out.append(u"***");
        pos = end;
    }
    return out;
}

} // namespace orvix::config

namespace orvix::config {

namespace {
int ExchangeParts(CXMLElement& root, std::initializer_list<RecordPart> parts, bool read) {
    CLogOutput* log = CConfigFile::GetLogOutput();
    for (const RecordPart& part : parts) {
        auto element = root.GetChild(part.tag);
        if (!element) {
            TraceWarn(log, LOGCAT_CONFIG, part.tagError);
            return 0;
        }
        if (!(read ? part.record.FromXML(*element) : part.record.ToXML(*element))) {
            TraceWarn(log, LOGCAT_CONFIG, part.dataError);
            return 0;
        }
    }
    return 1;
}
} // namespace

int ReadParts(CXMLElement& root, std::initializer_list<RecordPart> parts) {
    return ExchangeParts(root, parts, true);
}

int WriteParts(CXMLElement& root, std::initializer_list<RecordPart> parts) {
    return ExchangeParts(root, parts, false);
}

} // namespace orvix::config
