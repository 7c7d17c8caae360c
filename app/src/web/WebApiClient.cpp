#include "app/web/WebApiClient.h"

#include "CurlEasy.h"

#include <climits>
#include <cstring>

using orvix::web::CurlEasy;
using platform::Text;
using platform::TextView;

namespace {

// Decimal reading as the C run-time's _wtoi does it: leading white space, an optional sign,
// digits up to the first non-digit; no digits give 0; out of range values are clamped.
int text_to_int(TextView text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// The query in the C run-time's multibyte encoding (the ANSI code page), cut to `limit` bytes at
// a character boundary.
std::string to_multibyte(TextView text, std::size_t limit) {
    auto convert = [](TextView part) {
        if (auto r = platform::utf16_to_ansi(part))
            return r->text;
        return platform::utf16_to_utf8(part);
    };
    std::string whole = convert(text);
    if (whole.size() <= limit)
        return whole;
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t n = 1;
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size())
            n = 2;
        const std::string piece = convert(text.substr(i, n));
        if (out.size() + piece.size() > limit)
            break;
        out += piece;
        i += n;
    }
    return out;
}

Text cut_query(Text query) {
    if (query.size() > CWebApiClient::kMaxQuery) {
        std::size_t n = CWebApiClient::kMaxQuery;
        if (query[n - 1] >= 0xD800 && query[n - 1] <= 0xDBFF)
            --n; // do not split a surrogate pair
        query.resize(n);
    }
    return query;
}

struct ReplyReader {
    CURL* handle = nullptr;
    std::string data;
    bool stopped = false; // we ended the transfer ourselves: enough data, or not a 200 answer

    static size_t write(char* ptr, size_t size, size_t count, void* user) {
        auto* self = static_cast<ReplyReader*>(user);
        const size_t n = size * count;
        long status = 0;
        curl_easy_getinfo(self->handle, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200) {
            self->stopped = true;
            return CURL_WRITEFUNC_ERROR;
        }
        const size_t room = CWebApiClient::kMaxReply - self->data.size();
        self->data.append(ptr, std::min(n, room));
        if (self->data.size() >= CWebApiClient::kMaxReply) {
            // One block of the reply is all the client reads: the rest is never fetched.
            self->stopped = true;
            return CURL_WRITEFUNC_ERROR;
        }
        return n;
    }
};

} // namespace

CWebApiClient::CWebApiClient() = default;

void CWebApiClient::SetAccount(TextView userId, TextView password) {
    m_strUserId = userId;
    m_strPassword = password;
}

Text CWebApiClient::EncodeValue(TextView value) {
    static constexpr char16_t hex[] = u"0123456789ABCDEF";
    const std::string bytes = platform::utf16_to_utf8(value);
    Text out;
    out.reserve(bytes.size() * 3);
    for (const unsigned char c : bytes) {
        if (c == ' ') {
            out += u"%20";
        } else if (c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                   (c >= 'a' && c <= 'z')) {
            out += static_cast<char16_t>(c);
        } else {
            out += u'%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

int CWebApiClient::confirmPass(TextView userId) {
    return Request("confirmPass", u"email=" + Text(userId));
}

int CWebApiClient::confirmAuthUrl(TextView userId) {
    return Request("confirmAuthUrl", u"email=" + Text(userId));
}

int CWebApiClient::createAccount(TextView userId, TextView password) {
    return Request("createAccount",
                   u"email=" + Text(userId) + u"&password=" + EncodeValue(password));
}

int CWebApiClient::changePassword(TextView newPassword) {
    return Request("changePassword", u"email=" + m_strUserId + u"&password=" +
                                         EncodeValue(m_strPassword) + u"&newpassword=" +
                                         EncodeValue(newPassword));
}

int CWebApiClient::setFilteringLevel(int level) {
    return Request("setFilteringLevel", u"email=" + m_strUserId + u"&password=" +
                                            EncodeValue(m_strPassword) + u"&filteringlevel=" +
                                            platform::to_text(std::to_string(level)));
}

int CWebApiClient::getProperties() {
    return Request("getProperties",
                   u"email=" + m_strUserId + u"&password=" + EncodeValue(m_strPassword));
}

void CWebApiClient::AppendError(const std::string& message) {
    Text text = platform::utf8_to_utf16(message.substr(0, 1024));
    m_strErrorText += text;
    m_strErrorText += u"\n";
    if (m_strErrorText.size() > kMaxErrorText)
        m_strErrorText.erase(0, m_strErrorText.size() - kMaxErrorText);
}

int CWebApiClient::Request(const char* operation, const Text& rawQuery) {
    const Text query = cut_query(rawQuery);
    const Text url = m_strServerUrl + platform::to_text(operation) + u".do?" + query;
    const auto split = orvix::web::split_url(url);
    if (!split)
        return m_nResult; // nothing sent: the result stays as it was

    CurlEasy curl;
    if (!curl.valid()) {
        AppendError("the HTTP library could not be initialised");
        return m_nResult = kTransportError;
    }
    curl.apply_common(m_timeouts, "Orvix");
    const std::string target = orvix::web::request_url(*split);
    // The query travels in the URL and again as the body of the GET request.
    const std::string body = to_multibyte(query, kMaxBody);
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl.add_header("Content-Type:");
    curl.add_header("Expect:");
    ReplyReader reader;
    reader.handle = h;
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &ReplyReader::write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reader);

    const CURLcode rc = curl.perform();
    const long status = curl.response_code();
    const bool answered = rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && reader.stopped);
    if (rc != CURLE_TOO_MANY_REDIRECTS && status != 0 && status != 200) {
        m_strReplyText.clear();
        return m_nResult = kHttpStatusError;
    }
    if (status != 200 || !answered) {
        AppendError(curl.error_message(rc));
        return m_nResult = kTransportError;
    }

    // The block is text in the ANSI code page; it ends at the first zero byte like any C string.
    std::string block = reader.data;
    if (const auto zero = block.find('\0'); zero != std::string::npos)
        block.resize(zero);
    Text text;
    if (auto wide = platform::ansi_to_utf16(block))
        text = std::move(wide->text);
    else
        text = platform::utf8_to_utf16(block);
    const auto crlf = text.find(u"\r\n");
    if (crlf == Text::npos) {
        m_strReplyText.clear();
        m_nResult = text_to_int(text);
    } else {
        m_nResult = text_to_int(TextView(text).substr(0, crlf));
        m_strReplyText = text.substr(crlf + 2);
    }
    return m_nResult;
}
