#pragma once
// Settings shared by every HTTP request of the tray client (web API, reachability probe, update
// downloads) and the helpers that turn the configured addresses into requests.
#include "platform/text.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvix::web {

// Time limits of one request. The defaults follow the operating system HTTP stack the client was
// written against: 60 s to connect, 30 s without any data while receiving. On top of that a
// request as a whole is cut off after `total` so a server that trickles bytes cannot hold a
// caller for ever (zero: no overall limit).
struct HttpTimeouts {
    std::chrono::milliseconds connect{60'000};
    std::chrono::milliseconds idle{30'000};
    std::chrono::milliseconds total{120'000};
};

// The parts of a configured address as the client splits it: the host is the text between the
// first "//" and the next "/", the object everything from that "/" on. Secure (TLS) when the
// address contains "https" anywhere; the port is the one written after the host, else 443 for
// secure and 80 for plain requests.
struct SplitUrl {
    std::string host;   // as written, port included when one is written
    std::string object; // path and query, starts with "/"
    bool secure = false;
};
std::optional<SplitUrl> split_url(platform::TextView url);

// The URL handed to the HTTP library for a split address. Bytes that cannot stand in a request
// line (control characters, space, '"', '#', '<', '>', '\\', '^', '`', '{', '|', '}' and every
// byte of a non-ASCII character) are percent-escaped; everything else of the object, '&', '='
// and '%' included, goes out as written.
std::string request_url(const SplitUrl& split);

// One-time initialisation of the HTTP library for the process (thread-safe, idempotent).
void ensure_http_library();

} // namespace orvix::web
