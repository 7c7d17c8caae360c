#include "app/web/HttpSession.h"

#include "CurlEasy.h"

#include <algorithm>
#include <mutex>

namespace orvix::web {

std::optional<SplitUrl> split_url(platform::TextView url) {
    const auto slashes = url.find(u"//");
    if (slashes == platform::TextView::npos)
        return std::nullopt;
    const auto host_start = slashes + 2;
    const auto slash = url.find(u'/', host_start);
    if (slash == platform::TextView::npos)
        return std::nullopt;
    SplitUrl split;
    split.host = platform::utf16_to_utf8(url.substr(host_start, slash - host_start));
    split.object = platform::utf16_to_utf8(url.substr(slash));
    split.secure = url.find(u"https") != platform::TextView::npos;
    return split;
}

std::string request_url(const SplitUrl& split) {
    static constexpr char hex[] = "0123456789ABCDEF";
    static constexpr std::string_view unsafe = "\"#<>\\^`{|}";
    std::string out = split.secure ? "https://" : "http://";
    out += split.host;
    for (const unsigned char c : split.object) {
        if (c <= 0x20 || c >= 0x7F || unsafe.find(static_cast<char>(c)) != std::string_view::npos) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void ensure_http_library() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// ---- CurlEasy ---------------------------------------------------------------------------------

CurlEasy::CurlEasy() {
    ensure_http_library();
    handle_ = curl_easy_init();
}

CurlEasy::~CurlEasy() {
    if (handle_)
        curl_easy_cleanup(handle_);
    if (headers_)
        curl_slist_free_all(headers_);
}

void CurlEasy::apply_common(const HttpTimeouts& timeouts, const std::string& agent) {
    CURL* h = handle_;
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
    // No byte for `idle`: the transfer is given up (the receive time-out of the system stack).
    const long idle_s =
        static_cast<long>(std::max<long long>(1, (timeouts.idle.count() + 999) / 1000));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idle_s);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    // The object goes out as written: no dot-segment clean-up.
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    add_header("Cache-Control: no-cache");
    add_header("Pragma: no-cache");
}

void CurlEasy::add_header(const char* line) {
    headers_ = curl_slist_append(headers_, line);
}

CURLcode CurlEasy::perform() {
    if (!handle_)
        return CURLE_FAILED_INIT;
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
    error_[0] = '\0';
    return curl_easy_perform(handle_);
}

const char* CurlEasy::error_message(CURLcode rc) const {
    return error_[0] ? error_ : curl_easy_strerror(rc);
}

long CurlEasy::response_code() const {
    long code = 0;
    if (handle_)
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

} // namespace orvix::web
