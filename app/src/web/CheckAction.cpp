#include "app/web/CheckAction.h"

#include "CurlEasy.h"

using orvix::web::CurlEasy;
using platform::Text;
using platform::TextView;

namespace {

Text number_text(long value) {
    return platform::to_text(std::to_string(value));
}

struct ProbeReader {
    std::string headers;
    bool answered = false;

    static size_t header(char* ptr, size_t size, size_t count, void* user) {
        auto* self = static_cast<ProbeReader*>(user);
        const size_t n = size * count;
        const std::string_view line(ptr, n);
        if (line.starts_with("HTTP/"))
            self->answered = true;
        // The library itself refuses header blocks beyond 100 KB; keep a copy of a sane size.
        if (self->headers.size() < 64 * 1024)
            self->headers.append(line.substr(0, 64 * 1024 - self->headers.size()));
        return n;
    }
    // The body is not read: the status line and the headers are the answer.
    static size_t body(char*, size_t, size_t, void*) { return CURL_WRITEFUNC_ERROR; }
};

} // namespace

CheckAction::CheckAction(TextView source, TextView key) : m_strKey(key), m_strSource(source) {}

Text CheckAction::GetDescription() {
    return m_strSource;
}

Text CheckAction::GetResultText() {
    m_strResultText = m_strKey + u"=" + number_text(m_nResult);
    return m_strResultText;
}

HTTPCheckAction::HTTPCheckAction(TextView source, TextView key, TextView url)
    : CheckAction(source, key), m_strUrl(url) {}

Text HTTPCheckAction::GetDescription() {
    return m_strSource + u" to " + m_strUrl;
}

Text HTTPCheckAction::GetResultText() {
    m_strResultText =
        m_strKey + u"=" + number_text(m_nResult) + u"&" + m_strKey + u"_URL=" + m_strUrl;
    return m_strResultText;
}

void HTTPCheckAction::Check() {
    m_nStatus = 0;
    m_strRawHeaders.clear();
    const auto split = orvix::web::split_url(m_strUrl);
    if (!split) {
        m_nResult = 1;
        return;
    }
    const std::string target = orvix::web::request_url(*split);
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        CurlEasy curl;
        if (!curl.valid())
            break;
        curl.apply_common(m_timeouts, "OrvixClient");
        CURL* h = curl.get();
        curl_easy_setopt(h, CURLOPT_URL, target.c_str());
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
        curl.add_header("Content-Type:");
        curl.add_header("Expect:");
        ProbeReader reader;
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &ProbeReader::header);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &reader);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &ProbeReader::body);
        const CURLcode rc = curl.perform();
        // Any answer counts, whatever its status and whatever happened after it (a redirect
        // that leads nowhere is still an answer of the server).
        if (reader.answered) {
            m_nStatus = curl.response_code();
            m_strRawHeaders = std::move(reader.headers);
            m_nResult = 0;
            return;
        }
        if (rc != CURLE_COULDNT_CONNECT)
            break;
    }
    m_nResult = 1;
}
