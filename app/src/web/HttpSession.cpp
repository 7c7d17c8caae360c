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
    // No byte in either direction for `idle` once connected: the transfer is given up (the
    // receive time-out of the system stack). Watched from the progress callback, which the
    // library calls about once a second even when nothing moves.
    idle_ = timeouts.idle;
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CurlEasy::on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
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

int CurlEasy::on_progress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* self = static_cast<CurlEasy*>(user);
    if (self->cancel_ && *self->cancel_) {
        self->cancelled_ = true;
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    curl_off_t connected = 0;
    curl_easy_getinfo(self->handle_, CURLINFO_PRETRANSFER_TIME_T, &connected);
    if (connected == 0 || dlnow != self->last_dl_ || ulnow != self->last_ul_) {
        // Still connecting (the connect time-out covers that), or data moved.
        self->last_dl_ = dlnow;
        self->last_ul_ = ulnow;
        self->last_activity_ = now;
        return 0;
    }
    if (self->idle_.count() > 0 && now - self->last_activity_ >= self->idle_) {
        self->idle_expired_ = true;
        return 1;
    }
    return 0;
}

CURLcode CurlEasy::perform() {
    if (!handle_)
        return CURLE_FAILED_INIT;
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
    error_[0] = '\0';
    idle_expired_ = false;
    cancelled_ = false;
    last_dl_ = last_ul_ = -1;
    last_activity_ = std::chrono::steady_clock::now();
    return curl_easy_perform(handle_);
}

const char* CurlEasy::error_message(CURLcode rc) {
    if (idle_expired_) {
        idle_message_ =
            "Operation timed out: no data for " + std::to_string(idle_.count()) + " milliseconds";
        return idle_message_.c_str();
    }
    if (cancelled_)
        return "Cancelled";
    return error_[0] ? error_ : curl_easy_strerror(rc);
}

long CurlEasy::response_code() const {
    long code = 0;
    if (handle_)
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

} // namespace orvix::web
