// `orvixctl set` and `orvixctl system`: a connection's account and switches, and the system
// settings, read and sent to the service the way the settings pages do.
#include "CtlCommands.h"

#include "CtlEvents.h"

#include <iostream>
#include <termios.h>
#include <unistd.h>

using namespace platform;

namespace {

std::string Masked(const Bstr& secret) {
    return secret.view().empty() ? "" : "***";
}

// Runs `call` on the setting named `what`; a failure becomes the status.
template <typename Call> CtlStatus Apply(const std::string& what, Call call) {
    ClearErrorInfo();
    const HRESULT hr = call();
    if (failed(hr))
        return CallFailure(hr, what + " cannot be set");
    return CtlStatus::Ok();
}

CtlStatus SwitchOption(const CtlCommandLine& line, const char* option, VARIANT_BOOL& out) {
    const std::optional<bool> value = ParseSwitch(line.value(option));
    if (!value)
        return CtlStatus::Fail(kExitUsage, std::string(option) + " takes on or off");
    out = to_variant_bool(*value);
    return CtlStatus::Ok();
}

// Prints one text property of the settings object.
void PrintText(std::FILE* out, const char* key, IZa32VUSystem* system,
               HRESULT (IZa32VUSystem::*getter)(BSTR*)) {
    Bstr value;
    if (succeeded((system->*getter)(value.put())))
        std::fprintf(out, "%s: %s\n", key, OneLine(Utf8(value.view())).c_str());
}
void PrintNumber(std::FILE* out, const char* key, IZa32VUSystem* system,
                 HRESULT (IZa32VUSystem::*getter)(ULONG*)) {
    ULONG value = 0;
    if ((system->*getter)(&value) == S_OK)
        std::fprintf(out, "%s: %u\n", key, value);
}
void PrintSwitch(std::FILE* out, const char* key, IZa32VUSystem* system,
                 HRESULT (IZa32VUSystem::*getter)(VARIANT_BOOL*)) {
    VARIANT_BOOL value = VARIANT_FALSE;
    if (succeeded((system->*getter)(&value)))
        std::fprintf(out, "%s: %s\n", key, value == VARIANT_TRUE ? "on" : "off");
}

CtlStatus ShowSystem(IZa32VUSystem* system, std::FILE* out) {
    PrintText(out, "product-name", system, &IZa32VUSystem::get_ProductName);
    PrintText(out, "product-version", system, &IZa32VUSystem::get_ProductVersion);
    PrintText(out, "service-name", system, &IZa32VUSystem::get_ServiceName);
    PrintText(out, "network-name", system, &IZa32VUSystem::get_NetworkName);
    PrintText(out, "install-folder", system, &IZa32VUSystem::get_InstallFolderName);
    PrintNumber(out, "mtu", system, &IZa32VUSystem::get_MTUSize);
    PrintNumber(out, "keep-alive", system, &IZa32VUSystem::get_KeepAlive);
    PrintNumber(out, "retry-interval", system, &IZa32VUSystem::get_RetryInterval);
    PrintNumber(out, "retry-count", system, &IZa32VUSystem::get_RetryCount);
    PrintText(out, "log-file", system, &IZa32VUSystem::get_LogFileName);
    PrintNumber(out, "log-level", system, &IZa32VUSystem::get_LogLevel);
    PrintSwitch(out, "log", system, &IZa32VUSystem::get_Log);
    PrintText(out, "control-server", system, &IZa32VUSystem::get_CtrlServer);
    PrintText(out, "control-server-v6", system, &IZa32VUSystem::get_CtrlServerV6);
    PrintText(out, "env-check-url", system, &IZa32VUSystem::get_EnvCheckToolURL);
    PrintSwitch(out, "startup", system, &IZa32VUSystem::get_StartupSetting);
    PrintNumber(out, "proxy-mode", system, &IZa32VUSystem::get_ConnSelect);
    PrintText(out, "proxy-host", system, &IZa32VUSystem::get_LocalProxyHost);
    USHORT port = 0;
    if (succeeded(system->get_LocalProxyPort(&port)))
        std::fprintf(out, "proxy-port: %u\n", port);
    PrintSwitch(out, "proxy-auth", system, &IZa32VUSystem::get_UseProxyAuth);
    PrintText(out, "proxy-user", system, &IZa32VUSystem::get_LocalProxyUser);
    Bstr proxyPassword;
    if (succeeded(system->get_LocalProxyPassword(proxyPassword.put())))
        std::fprintf(out, "proxy-password: %s\n", Masked(proxyPassword).c_str());
    PrintNumber(out, "welcome", system, &IZa32VUSystem::get_DontShowWelcome);
    tagPOINT point{};
    if (system->GetSCPosition(&point) == S_OK)
        std::fprintf(out, "position: %d,%d\n", point.x, point.y);
    else
        std::fprintf(out, "position: -\n");

    ComPtr<IZa32VUUpdater> updater;
    if (succeeded(system->GetUpdateInterface(updater.put())) && updater) {
        Bstr url;
        if (succeeded(updater->get_UpdateListUrl(url.put())))
            std::fprintf(out, "update-list-url: %s\n", OneLine(Utf8(url.view())).c_str());
        ULONG interval = 0;
        if (succeeded(updater->get_UpdateInterval(&interval)))
            std::fprintf(out, "update-interval: %u\n", interval);
    }
    return CtlStatus::Ok();
}

// One KEY VALUE pair of `system set`, applied in memory.
CtlStatus SetSystemValue(IZa32VUSystem* system, const std::string& key, const std::string& value) {
    const auto number = [&](std::uint64_t max) { return ParseNumber(value, 0, max); };
    const auto bad = [&](const char* what) {
        return CtlStatus::Fail(kExitUsage, key + " takes " + what + ", not " + value);
    };
    if (key == "proxy-mode") {
        const auto n = number(0xFFFFFFFF);
        if (!n)
            return bad("a number");
        return Apply(key, [&] { return system->put_ConnSelect(static_cast<ULONG>(*n)); });
    }
    if (key == "proxy-port") {
        const auto n = number(65535);
        if (!n)
            return bad("a port from 0 to 65535");
        return Apply(key, [&] { return system->put_LocalProxyPort(static_cast<USHORT>(*n)); });
    }
    if (key == "welcome") {
        const auto n = number(0xFFFFFFFF);
        if (!n)
            return bad("a number");
        return Apply(key, [&] { return system->put_DontShowWelcome(static_cast<ULONG>(*n)); });
    }
    if (key == "proxy-auth") {
        const auto on = ParseSwitch(value);
        if (!on)
            return bad("on or off");
        return Apply(key, [&] { return system->put_UseProxyAuth(to_variant_bool(*on)); });
    }
    if (key == "position") {
        const std::size_t comma = value.find(',');
        const auto parse = [](const std::string& text) -> std::optional<LONG> {
            const bool negative = !text.empty() && text[0] == '-';
            const auto n = ParseNumber(negative ? text.substr(1) : text, 0, 0x7FFFFFFF);
            if (!n)
                return std::nullopt;
            return static_cast<LONG>(negative ? -static_cast<std::int64_t>(*n)
                                              : static_cast<std::int64_t>(*n));
        };
        const auto x = comma == std::string::npos ? std::nullopt : parse(value.substr(0, comma));
        const auto y = comma == std::string::npos ? std::nullopt : parse(value.substr(comma + 1));
        if (!x || !y)
            return bad("X,Y");
        return Apply(key, [&] { return system->SetSCPosition(tagPOINT{*x, *y}); });
    }
    if (key == "proxy-host" || key == "proxy-user" || key == "proxy-password") {
        std::optional<std::string> text = value;
        if (key == "proxy-password")
            text = ReadSecret(value, "proxy password: ");
        if (!text)
            return CtlStatus::Fail(kExitUsage, "no proxy password on standard input");
        const Bstr bstr(to_text(*text));
        if (key == "proxy-host")
            return Apply(key, [&] { return system->put_LocalProxyHost(bstr.get()); });
        if (key == "proxy-user")
            return Apply(key, [&] { return system->put_LocalProxyUser(bstr.get()); });
        return Apply(key, [&] { return system->put_LocalProxyPassword(bstr.get()); });
    }
    return CtlStatus::Fail(kExitUsage, "unknown setting " + key);
}

} // namespace

std::optional<std::string> ReadSecret(const std::string& given, const char* prompt) {
    if (given != "-")
        return given;
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::fputs(prompt, stderr);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string text;
    const bool got = static_cast<bool>(std::getline(std::cin, text));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!got)
        return std::nullopt;
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

CtlStatus CmdSet(CtlClient& client, const CtlCommandLine& line, std::FILE* out) {
    const std::string& name = line.words[0];
    if (name.empty())
        return CtlStatus::Fail(kExitUsage, "a connection needs a name");
    VARIANT_BOOL keep = VARIANT_FALSE, v6 = VARIANT_FALSE, cert = VARIANT_FALSE;
    for (const auto& [option, slot] :
         {std::pair<const char*, VARIANT_BOOL*>{"--keep-connect", &keep},
          {"--ipv6", &v6},
          {"--cert-check", &cert}}) {
        if (line.has(option)) {
            if (CtlStatus status = SwitchOption(line, option, *slot); !status.ok())
                return status;
        }
    }
    std::optional<std::uint64_t> broker;
    if (line.has("--broker-number")) {
        broker = ParseNumber(line.value("--broker-number"), 0, 0xFFFFFFFF);
        if (!broker)
            return CtlStatus::Fail(kExitUsage, "--broker-number takes a number");
    }
    std::optional<std::string> password;
    if (line.has("--password")) {
        password = ReadSecret(line.value("--password"), "password: ");
        if (!password)
            return CtlStatus::Fail(kExitUsage, "no password on standard input");
    }

    if (CtlStatus status = client.Link(); !status.ok())
        return status;
    ComPtr<IZa32VUConnection> connection;
    CtlStatus found = client.Find(name, connection);
    if (!found.ok()) {
        if (found.exitCode != kExitNoSuchName || !line.has("--create"))
            return found;
        const Bstr bstrName(to_text(name));
        ClearErrorInfo();
        const HRESULT hr = client.client()->CreateConnection(bstrName.get(), connection.put());
        if (failed(hr))
            return CallFailure(hr, "the connection " + name + " cannot be created");
    }

    if (line.has("--user") && password) {
        const Bstr user(to_text(line.value("--user"))), secret(to_text(*password));
        if (CtlStatus s =
                Apply("the account", [&] { return connection->SetUser(user.get(), secret.get()); });
            !s.ok())
            return s;
    } else if (line.has("--user")) {
        const Bstr user(to_text(line.value("--user")));
        if (CtlStatus s =
                Apply("the user name", [&] { return connection->put_UserName(user.get()); });
            !s.ok())
            return s;
    } else if (password) {
        const Bstr secret(to_text(*password));
        if (CtlStatus s =
                Apply("the password", [&] { return connection->put_Password(secret.get()); });
            !s.ok())
            return s;
    }
    const std::pair<const char*, HRESULT (IZa32VUConnection::*)(VARIANT_BOOL)> switches[] = {
        {"--keep-connect", &IZa32VUConnection::put_KeepConnect},
        {"--ipv6", &IZa32VUConnection::put_V6Conn},
        {"--cert-check", &IZa32VUConnection::put_ServerCertCheck}};
    const VARIANT_BOOL values[] = {keep, v6, cert};
    for (std::size_t i = 0; i < std::size(switches); ++i) {
        if (!line.has(switches[i].first))
            continue;
        if (CtlStatus s = Apply(switches[i].first + 2,
                                [&] { return (connection.get()->*switches[i].second)(values[i]); });
            !s.ok())
            return s;
    }
    if (broker) {
        if (CtlStatus s =
                Apply("the broker number",
                      [&] { return connection->put_BrokerNumber(static_cast<ULONG>(*broker)); });
            !s.ok())
            return s;
    }

    ClearErrorInfo();
    const HRESULT hr = connection->Save();
    if (failed(hr))
        return CallFailure(hr, "the settings of " + name + " cannot be sent to the service");
    std::fprintf(out, "saved: %s\n", OneLine(name).c_str());
    return CtlStatus::Ok();
}

CtlStatus CmdSystem(CtlClient& client, const CtlCommandLine& line, std::FILE* out) {
    IZa32VUSystem* system = client.system();
    if (line.words.empty() || (line.words.size() == 1 && line.words[0] == "show"))
        return ShowSystem(system, out);
    if (line.words[0] != "set" || line.words.size() < 3 || line.words.size() % 2 == 0)
        return CtlStatus::Fail(kExitUsage, "system takes show, or set KEY VALUE [KEY VALUE ...]");
    for (std::size_t i = 1; i + 1 < line.words.size(); i += 2) {
        if (CtlStatus status = SetSystemValue(system, line.words[i], line.words[i + 1]);
            !status.ok())
            return status;
    }
    if (CtlStatus status = client.Link(); !status.ok())
        return status;
    ClearErrorInfo();
    const HRESULT hr = system->SaveConfiguration();
    if (failed(hr))
        return CallFailure(hr, "the user settings cannot be sent to the service");
    std::fprintf(out, "saved: user settings\n");
    return CtlStatus::Ok();
}
