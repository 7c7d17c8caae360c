#include "svclib/PipeMessage.h"

#include <climits>
#include <string>

using platform::Text;
using platform::TextView;

namespace {

constexpr char16_t kLineBreak[] = u"\r\n";

bool IsBreak(char16_t c) {
    return c == u'\r' || c == u'\n';
}

Text Decimal(long long value) {
    return platform::to_text(std::to_string(value));
}

const char16_t* OnOff(bool value) {
    return value ? u"ON" : u"OFF";
}

// A whole field as a signed decimal number (an optional '-' and digits, nothing else).
bool ParseSigned(TextView text, long long low, long long high, long long& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
        value = value * 10 + (text[i] - u'0');
        if (value > high - low + 1) // far enough out of every range we take
            return false;
    }
    value = negative ? -value : value;
    if (value < low || value > high)
        return false;
    out = value;
    return true;
}

} // namespace

std::vector<unsigned char> EncodeFrame(TextView text, std::optional<std::uint32_t> announced) {
    const std::uint32_t count = announced.value_or(static_cast<std::uint32_t>(text.size() * 2));
    std::vector<unsigned char> out;
    out.reserve(4 + text.size() * 2);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(count >> (8 * i)));
    for (char16_t c : text) {
        out.push_back(static_cast<unsigned char>(c));
        out.push_back(static_cast<unsigned char>(c >> 8));
    }
    return out;
}

TextView SCCommandWord(std::uint32_t command) {
    switch (command) {
    case SCCMD_CONNECT:
        return u"CONNECT";
    case SCCMD_DISCONNECT:
        return u"DISCONNECT";
    case SCCMD_STATUS:
        return u"STATUS";
    case SCCMD_LOG:
        return u"LOG";
    case SCCMD_ANSWER:
        return u"ANSWER";
    case SCCMD_CONFCHANGE:
        return u"CONFCHANGE";
    case SCCMD_SETCONFUSER:
        return u"SETCONFUSER";
    case SCCMD_SETCONFCONN:
        return u"SETCONFCONN";
    case SCCMD_SHUTDOWN:
        return u"SHUTDOWN";
    default:
        return u"";
    }
}

Text BuildCommandText(std::uint32_t command, const char16_t* text, std::int32_t flag) {
    const bool set = IsAutomationTrue(flag);
    Text out(SCCommandWord(command));
    out += kLineBreak;
    if (text) {
        out += text;
        out += kLineBreak;
    }
    switch (command) {
    case SCCMD_CONNECT:
        if (set) {
            out += u"FORCE";
            out += kLineBreak;
        }
        break;
    case SCCMD_LOG:
        out += OnOff(set);
        out += kLineBreak;
        break;
    case SCCMD_ANSWER:
        out += set ? u"YES" : u"NO";
        out += kLineBreak;
        break;
    default:
        break;
    }
    out += kLineBreak;
    return out;
}

Text BuildConnectionSettingsBlock(const SCConnectionSettings& s) {
    Text out;
    for (const Text* field : {&s.name, &s.user, &s.password}) {
        out += *field;
        out += kLineBreak;
    }
    for (bool flag : {s.keepConnect, s.v6Conn, s.serverCertCheck}) {
        out += OnOff(flag);
        out += kLineBreak;
    }
    out += Decimal(s.brokerNumber);
    return out;
}

Text BuildUserSettingsBlock(const SCUserSettings& s) {
    Text out;
    out += Decimal(s.x) + kLineBreak;
    out += Decimal(s.y) + kLineBreak;
    out += Decimal(s.connSelect) + kLineBreak;
    out += s.proxyHost + kLineBreak;
    out += Decimal(s.proxyPort) + kLineBreak;
    out += Text(OnOff(s.proxyAuth)) + kLineBreak;
    out += s.proxyUser + kLineBreak;
    out += s.proxyPassword + kLineBreak;
    out += Decimal(s.dontShowWelcome);
    return out;
}

std::vector<Text> SplitMessageTokens(TextView text) {
    std::vector<Text> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBreak(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsBreak(text[i]))
            ++i;
        if (i > start)
            tokens.emplace_back(text.substr(start, i - start));
    }
    return tokens;
}

std::optional<SCNotification> ParseNotification(TextView text) {
    std::vector<Text> tokens = SplitMessageTokens(text);
    if (tokens.empty())
        return std::nullopt;
    SCNotification out;
    out.word = std::move(tokens.front());
    out.args.assign(std::make_move_iterator(tokens.begin() + 1),
                    std::make_move_iterator(tokens.end()));
    return out;
}

Text BuildNotificationText(TextView word, TextView name, std::span<const Text> args) {
    Text out(word);
    out += kLineBreak;
    out += name;
    out += kLineBreak;
    for (const Text& arg : args) {
        out += arg;
        out += kLineBreak;
    }
    out += kLineBreak;
    return out;
}

std::uint32_t ParseMessageId(TextView token) {
    std::size_t i = 0;
    while (i < token.size() && (token[i] == u' ' || token[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < token.size() && (token[i] == u'-' || token[i] == u'+')) {
        negative = token[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < token.size() && token[i] >= u'0' && token[i] <= u'9'; ++i) {
        value = value * 10 + (token[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1; // saturates below
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

SCCommand ParseCommandText(TextView text) {
    std::vector<Text> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!IsBreak(text[i])) {
            ++i;
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        // CR LF is one break; a lone CR or LF is one as well.
        i += (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ? 2 : 1;
        start = i;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start)); // a last line without its break
    else if (!lines.empty() && lines.back().empty())
        lines.pop_back(); // the closing empty line
    SCCommand out;
    if (lines.empty())
        return out;
    out.word = std::move(lines.front());
    out.fields.assign(std::make_move_iterator(lines.begin() + 1),
                      std::make_move_iterator(lines.end()));
    return out;
}

bool ParseConnectionSettingsBlock(std::span<const Text> fields, SCConnectionSettings& out) {
    if (fields.size() < 7)
        return false;
    long long broker = 0;
    if (!ParseSigned(fields[6], INT_MIN, INT_MAX, broker))
        return false;
    out.name = fields[0];
    out.user = fields[1];
    out.password = fields[2];
    out.keepConnect = fields[3] == u"ON";
    out.v6Conn = fields[4] == u"ON";
    out.serverCertCheck = fields[5] == u"ON";
    out.brokerNumber = static_cast<std::int32_t>(broker);
    return true;
}

bool ParseUserSettingsBlock(std::span<const Text> fields, SCUserSettings& out) {
    if (fields.size() < 9)
        return false;
    long long x = 0, y = 0, select = 0, port = 0, welcome = 0;
    if (!ParseSigned(fields[0], INT_MIN, INT_MAX, x) ||
        !ParseSigned(fields[1], INT_MIN, INT_MAX, y) ||
        !ParseSigned(fields[2], INT_MIN, INT_MAX, select) ||
        !ParseSigned(fields[4], 0, 65535, port) ||
        !ParseSigned(fields[8], INT_MIN, INT_MAX, welcome))
        return false;
    out.x = static_cast<std::int32_t>(x);
    out.y = static_cast<std::int32_t>(y);
    out.connSelect = static_cast<std::int32_t>(select);
    out.proxyHost = fields[3];
    out.proxyPort = static_cast<std::uint16_t>(port);
    out.proxyAuth = fields[5] == u"ON";
    out.proxyUser = fields[6];
    out.proxyPassword = fields[7];
    out.dontShowWelcome = static_cast<std::int32_t>(welcome);
    return true;
}
