#pragma once
// A libcurl easy handle with the settings every request of the client shares.
#include "app/web/HttpSession.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <string>

namespace orvix::web {

class CurlEasy {
  public:
    CurlEasy();
    ~CurlEasy();
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    bool valid() const { return handle_ != nullptr; }
    CURL* get() const { return handle_; }

    // Time limits, agent, redirects (followed, at most 10, http and https only), no content
    // decoding, the preconfigured proxy of the environment, "no-cache" request headers, and the
    // certificate relaxations: certificate problems (untrusted authority, wrong name, expired)
    // never stop a request.
    void apply_common(const HttpTimeouts& timeouts, const std::string& agent);
    // A flag that ends the transfer when set (checked about once a second and by the caller's
    // own callbacks).
    void set_cancel_flag(const std::atomic<bool>* flag) { cancel_ = flag; }
    bool cancelled() const { return cancelled_; }
    bool idle_expired() const { return idle_expired_; }
    // Adds a request header line ("Name: value", or "Name:" to suppress a default one).
    void add_header(const char* line);
    // Runs the request. The error message is the library's detailed text when it gave one.
    CURLcode perform();
    const char* error_message(CURLcode rc);
    long response_code() const;

  private:
    static int on_progress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow);

    CURL* handle_ = nullptr;
    std::chrono::milliseconds idle_{0};
    std::chrono::steady_clock::time_point last_activity_{};
    curl_off_t last_dl_ = -1;
    curl_off_t last_ul_ = -1;
    bool idle_expired_ = false;
    bool cancelled_ = false;
    const std::atomic<bool>* cancel_ = nullptr;
    std::string idle_message_;
    curl_slist* headers_ = nullptr;
    char error_[CURL_ERROR_SIZE + 1] = {};
};

} // namespace orvix::web
