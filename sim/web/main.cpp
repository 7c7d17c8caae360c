// orvix-websim: the substitute provider web servers for the demo and the tests.
#include "WebServer.h"

#include <charconv>
#include <cstring>
#include <iostream>
#include <string>

namespace {

const char* const kHelp = R"(Usage: orvix-websim [options]

Substitute for the provider's web servers: the web API on the control server, the update
server (version.ini and installer files), the portal page and the environment-check page.
Listens on loopback only unless --bind says otherwise. Stops on SIGINT or SIGTERM.

Listeners (each runs when its option is given; PORT 0 lets the system choose a free port;
without any of them a plain HTTP listener on a free port runs):
  --http-port PORT       plain HTTP
  --https-port PORT      HTTPS with a self-signed certificate made at start-up
  --expired-cert         make that certificate one that expired yesterday
  --silent-port PORT     accepts connections and never answers anything (not even TLS)
  --bind ADDRESS         listen address (default 127.0.0.1)
  --port-file FILE       write the bound ports as "http=N", "https=N", "silent=N" lines
                         (written under a temporary name and renamed when complete); the same
                         lines also go to standard output

Content:
  --accounts FILE        account store (JSON, {"accounts":[{"email","password",
                         "filteringlevel","confirmed"}]}); read before and written after every
                         operation; without it accounts live in memory
  --answers FILE         fixed replies, re-read on every request. One line per operation:
                           <operation> <reply body>
                         the body with \r \n \t \\ and \xHH escapes; "*" matches every
                         operation; '#' starts a comment. Example:
                           createAccount 303\r\n{"account":"abc"}
                           getProperties 200\r\n{"status":"online"}
                           confirmPass 305
  --files DIR            static files served by path (version.ini, installers, pages);
                         a file here overrides the built-in pages

Web API: <any path>/<operation>.do?<query> with the operations confirmPass,
confirmAuthUrl, createAccount, changePassword, setFilteringLevel and getProperties.
The reply is HTTP 200 with the result code on the first line:
  200 done (getProperties: followed by the account's properties as a JSON object)
  301 e-mail address registered, not yet confirmed (createAccount)
  302 e-mail address registered (createAccount)
  305 malformed e-mail address (createAccount)
  320 password not acceptable (6 to 64 characters)
  400 missing parameter, or filtering level outside 0..3
  403 wrong password
  404 unknown e-mail address
  500 the account store cannot be read or written
confirmAuthUrl marks the account as confirmed (the mailed link counts as followed).
Codes like 303 (with its JSON "account" member) come from --answers.

Pages: /orvix/app/index.html (portal), /envchecker/ (environment check), / (index).

Behaviour prefixes: a path may start with any number of "/_/<behaviour>/" segments; the
rest of the path is then served as usual where the behaviour allows it:
  /_/slow-MS/        wait MS milliseconds, then go on
  /_/status-N/       answer with HTTP status N (body "N" and a text)
  /_/drop/           read the request, close the connection without an answer
  /_/hang/           read the request, never answer (until the client closes)
  /_/huge/           HTTP 200, a 256 MiB body ("200" and filler)
  /_/endless/        HTTP 200, a chunked body that never ends
  /_/lie-long/       announces 100000 bytes, sends a few, closes
  /_/stall/          announces 100 bytes, sends a few, then holds the connection
  /_/lie-short/      announces 5 bytes, sends more
  /_/redirect/       302 to the rest of the path (same query)
  /_/redirect-loop/  302 to the same address, for ever
  /_/echo/           HTTP 200, body "200" and the request as received (request line,
                     User-Agent, Content-Length, blank line, body); the same also in
                     the headers X-Echo-Method, X-Echo-Target, X-Echo-Agent, X-Echo-Length
)";

bool parse_port(const char* text, std::uint16_t& port) {
    unsigned value = 0;
    const char* end = text + std::strlen(text);
    const auto r = std::from_chars(text, end, value);
    if (r.ec != std::errc() || r.ptr != end || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    websim::ServerConfig config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "orvix-websim: " << arg << " needs a value\n";
                return nullptr;
            }
            return argv[++i];
        };
        auto port = [&](std::optional<std::uint16_t>& out) {
            const char* v = value();
            std::uint16_t p = 0;
            if (!v || !parse_port(v, p)) {
                std::cerr << "orvix-websim: bad port for " << arg << "\n";
                return false;
            }
            out = p;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--http-port") {
            if (!port(config.http_port))
                return 2;
        } else if (arg == "--https-port") {
            if (!port(config.https_port))
                return 2;
        } else if (arg == "--silent-port") {
            if (!port(config.silent_port))
                return 2;
        } else if (arg == "--expired-cert") {
            config.expired_certificate = true;
        } else if (arg == "--bind" || arg == "--port-file" || arg == "--accounts" ||
                   arg == "--answers" || arg == "--files") {
            const char* v = value();
            if (!v)
                return 2;
            if (arg == "--bind")
                config.bind = v;
            else if (arg == "--port-file")
                config.port_file = v;
            else if (arg == "--accounts")
                config.accounts_file = v;
            else if (arg == "--answers")
                config.answers_file = v;
            else
                config.files_dir = v;
        } else {
            std::cerr << "orvix-websim: unknown option " << arg << " (see --help)\n";
            return 2;
        }
    }
    return websim::run_server(config);
}
