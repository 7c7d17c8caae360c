// orvix-webapi: runs the reachability probe and getProperties against the control server and
// prints the result codes, for support staff who want to try the web side without the GUI.
#include "app/web/CheckAction.h"
#include "app/web/WebApiClient.h"
#include "common/config/ConfigKPClient.h"
#include "platform/fs.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const kHelp = R"(Usage: orvix-webapi [options]

Runs the control-server reachability probe and the web API's getProperties, and prints
their result codes:
  probe: CtrlServer=<0 answered | 1 no answer>&CtrlServer_URL=<address>
  getProperties=<code>   (200 success, 998 another HTTP status, 999 no connection,
                          other codes from the provider)

Options:
  --server URL        the control server's address (the base of every request, normally
                      ending with "/"); default: CtrlServer of orvixclient.dat in the
                      program folder
  --v6                take CtrlServerV6 from orvixclient.dat instead
  --user EMAIL        account for getProperties; without it only the probe runs
  --password-stdin    read the password from the first line of standard input; otherwise
                      the environment variable ORVIX_WEBAPI_PASSWORD is used (one of the two
                      is needed with --user)
  --show-properties   print the reply text of a successful getProperties (the account's
                      properties)
  --timeout-ms N      limit for connecting and for silence while receiving (default: the
                      client's own, 60000 and 30000)
  --help              this text

The password is never printed: where a text shown (a reply, an error, an address) holds it,
it is replaced by ********. Exit code: 0 when the probe succeeded and getProperties (when
run) returned 200, 1 otherwise, 2 for a usage error.
)";

int usage_error(const std::string& text) {
    std::cerr << "orvix-webapi: " << text << " (see --help)\n";
    return 2;
}

// Texts from elsewhere (a reply that echoes the request, an error message, an address) may hold
// the password as typed or as it went out in the query: both forms are blotted out.
class PasswordMask {
  public:
    explicit PasswordMask(const std::string& password) {
        if (password.empty())
            return;
        forms_.push_back(password);
        const std::string encoded =
            platform::to_utf8(CWebApiClient::EncodeValue(platform::to_text(password)));
        if (encoded != password)
            forms_.push_back(encoded);
    }
    std::string operator()(std::string text) const {
        for (const std::string& form : forms_) {
            for (auto at = text.find(form); at != std::string::npos;
                 at = text.find(form, at + kMask.size()))
                text.replace(at, form.size(), kMask);
        }
        return text;
    }

  private:
    static constexpr std::string_view kMask = "********";
    std::vector<std::string> forms_;
};

platform::Text configured_server(bool v6, std::string& error) {
    const auto dir = platform::known_folder(platform::KnownFolder::ProgramFolder);
    CConfigFile::SetConfigFolder(platform::from_path(dir));
    CConfigKPClient client;
    client.SetFileName(platform::from_path(dir / platform::to_path(CConfigKPClient::kFileName)));
    if (!client.Load()) {
        error = "cannot load " + (dir / "orvixclient.dat").string();
        return {};
    }
    auto& server = client.GetServerInfo();
    return v6 ? server.GetCtrlServerV6() : server.GetCtrlServer();
}

} // namespace

int main(int argc, char** argv) {
    platform::Text server;
    platform::Text user;
    bool v6 = false;
    bool password_stdin = false;
    bool show_properties = false;
    long timeout_ms = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--server") {
            const char* v = value();
            if (!v)
                return usage_error("--server needs a value");
            server = platform::to_text(v);
        } else if (arg == "--user") {
            const char* v = value();
            if (!v)
                return usage_error("--user needs a value");
            user = platform::to_text(v);
        } else if (arg == "--v6") {
            v6 = true;
        } else if (arg == "--password-stdin") {
            password_stdin = true;
        } else if (arg == "--show-properties") {
            show_properties = true;
        } else if (arg == "--timeout-ms") {
            const char* v = value();
            char* end = nullptr;
            timeout_ms = v ? std::strtol(v, &end, 10) : 0;
            if (!v || *end || timeout_ms <= 0)
                return usage_error("--timeout-ms needs a positive number");
        } else if (arg.starts_with("-")) {
            return usage_error("unknown option " + arg);
        } else {
            return usage_error("unexpected argument " + arg);
        }
    }
    const bool configured = server.empty();
    if (configured) {
        std::string error;
        server = configured_server(v6, error);
        if (server.empty())
            return usage_error(error.empty() ? "no control server configured" : error);
    }
    // The client takes the host from between "//" and the next "/"; an address without them
    // would fail every request in a way that looks like an unreachable server.
    if (!orvix::web::split_url(server)) {
        return usage_error(std::string(configured ? "the configured control server address "
                                                  : "malformed server address ") +
                           "\"" + platform::to_utf8(server) +
                           "\" (expected http://HOST[:PORT]/PATH or https://...)");
    }

    // The password is settled before anything is sent, so a missing one is a usage error and
    // not a refusal from the server.
    std::string password;
    if (!user.empty()) {
        if (password_stdin) {
            if (!std::getline(std::cin, password))
                return usage_error("--password-stdin: no password line on standard input");
            if (!password.empty() && password.back() == '\r')
                password.pop_back();
        } else if (const char* env = std::getenv("ORVIX_WEBAPI_PASSWORD")) {
            password = env;
        } else {
            return usage_error("--user needs a password: --password-stdin or the environment "
                               "variable ORVIX_WEBAPI_PASSWORD");
        }
    }
    const PasswordMask mask(password);

    orvix::web::HttpTimeouts timeouts;
    if (timeout_ms > 0) {
        timeouts.connect = std::chrono::milliseconds(timeout_ms);
        timeouts.idle = std::chrono::milliseconds(timeout_ms);
    }

    HTTPCheckAction probe(u"orvix-webapi", u"CtrlServer", server);
    probe.SetTimeouts(timeouts);
    probe.Check();
    std::cout << "probe: " << mask(platform::to_utf8(probe.GetResultText())) << "\n";
    bool ok = probe.GetResult() == 0;

    if (!user.empty()) {
        CWebApiClient client;
        client.SetServerUrl(server);
        client.SetTimeouts(timeouts);
        client.SetAccount(user, platform::to_text(password));
        const int code = client.getProperties();
        std::cout << "getProperties=" << code << "\n";
        if (code == CWebApiClient::kTransportError && !client.GetErrorText().empty())
            std::cout << "error: " << mask(platform::to_utf8(client.GetErrorText()));
        if (code == 200 && show_properties)
            std::cout << mask(platform::to_utf8(client.GetReplyText())) << "\n";
        ok = ok && code == 200;
    }
    return ok ? 0 : 1;
}
