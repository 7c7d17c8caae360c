#pragma once
// A libcurl easy handle with the settings every request of the client shares.
#include "app/web/HttpSession.h"

#include <curl/curl.h>

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
    // Adds a request header line ("Name: value", or "Name:" to suppress a default one).
    void add_header(const char* line);
    // Runs the request. The error message is the library's detailed text when it gave one.
    CURLcode perform();
    const char* error_message(CURLcode rc) const;
    long response_code() const;

  private:
    CURL* handle_ = nullptr;
    curl_slist* headers_ = nullptr;
    char error_[CURL_ERROR_SIZE + 1] = {};
};

} // namespace orvix::web
