#include "CtlOptions.h"

#include <algorithm>
#include <cctype>

namespace {

struct OptionDef {
    const char* name;
    bool takesValue;
    std::vector<std::string> commands; // empty: every command
};

const std::vector<OptionDef>& Options() {
    static const std::vector<OptionDef> options = {
        {"--dir", true, {}},
        {"--log", true, {}},
        {"--no-log", false, {}},
        {"--help", false, {}},
        {"--wait", true, {"connect", "disconnect"}},
        {"--force", false, {"connect"}},
        {"--count", true, {"watch"}},
        {"--timeout", true, {"watch"}},
        {"--create", false, {"set"}},
        {"--user", true, {"set"}},
        {"--password", true, {"set"}},
        {"--keep-connect", true, {"set"}},
        {"--ipv6", true, {"set"}},
        {"--cert-check", true, {"set"}},
        {"--broker-number", true, {"set"}},
    };
    return options;
}

const OptionDef* FindOption(const std::string& name) {
    for (const OptionDef& item : Options()) {
        if (name == item.name)
            return &item;
    }
    return nullptr;
}

struct CommandDef {
    const char* name;
    std::size_t minWords;
    std::size_t maxWords;
};

const CommandDef kCommands[] = {
    {"list", 0, 0},   {"status", 0, 1}, {"connect", 0, 1}, {"disconnect", 0, 1},
    {"answer", 1, 2}, {"watch", 0, 0},  {"set", 1, 1},     {"system", 0, 64},
};

} // namespace

std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t min,
                                         std::uint64_t max) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    const std::uint64_t value = std::stoull(text);
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<bool> ParseSwitch(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "on" || lower == "yes" || lower == "true" || lower == "1")
        return true;
    if (lower == "off" || lower == "no" || lower == "false" || lower == "0")
        return false;
    return std::nullopt;
}

std::optional<CtlCommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                               std::string& problem) {
    CtlCommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            line.help = true;
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            const std::size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            const OptionDef* item = FindOption(name);
            if (!item) {
                problem = "unknown option " + name;
                return std::nullopt;
            }
            std::string value;
            if (item->takesValue) {
                if (equals != std::string::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    problem = name + " needs a value";
                    return std::nullopt;
                }
            } else if (equals != std::string::npos) {
                problem = name + " takes no value";
                return std::nullopt;
            }
            line.options[name] = value;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            problem = "unknown option " + arg;
            return std::nullopt;
        }
        if (line.command.empty())
            line.command = arg;
        else
            line.words.push_back(arg);
    }
    if (line.command == "help") {
        line.help = true;
        line.command.clear();
    }
    if (line.help)
        return line;
    if (line.command.empty()) {
        problem = "no command given";
        return std::nullopt;
    }

    const CommandDef* command = nullptr;
    for (const CommandDef& item : kCommands) {
        if (line.command == item.name)
            command = &item;
    }
    if (!command) {
        problem = "unknown command " + line.command;
        return std::nullopt;
    }
    if (line.words.size() < command->minWords || line.words.size() > command->maxWords) {
        problem = "wrong number of arguments for " + line.command;
        return std::nullopt;
    }
    for (const auto& [name, value] : line.options) {
        const OptionDef* item = FindOption(name);
        if (!item->commands.empty() && std::find(item->commands.begin(), item->commands.end(),
                                                 line.command) == item->commands.end()) {
            problem = name + " does not apply to " + line.command;
            return std::nullopt;
        }
    }
    return line;
}

const char kCtlHelpText[] =
    R"HELP(Usage: orvixctl [--dir DIR] [--log NAME | --no-log] COMMAND [ARGUMENTS]

Drives the tunnel service through the service client library (Kp32ClientSC, created by its
class id from the registry), as the tray application does. NAME defaults to the first
connection of connection.dat.

Commands:
  list                       Every connection: name, status, address, user name (TAB
                             separated). Works without the service (status shown as -).
  status [NAME]              Status, address, last information and the account settings.
  connect [NAME] [--wait MS] [--force]
                             Asks the service to connect. With --wait: waits at most MS for
                             the outcome, prints the events seen and "address: ...".
                             --force asks the service to connect by force (FORCE).
  disconnect [NAME] [--wait MS]
                             Asks the service to disconnect; --wait as for connect.
  answer yes|no [NAME]       Answers the service's question (server certificate) for NAME.
                             The service serves one client at a time: for a connection that
                             asks, run connect without --wait, then answer, then status.
  watch [--count N] [--timeout MS]
                             Prints every event as it arrives until interrupted (SIGINT,
                             SIGTERM), N events were printed, or MS passed. Ends with exit
                             code 3 when the service goes away.
  set NAME [--create] [--user USER] [--password PASSWORD|-] [--keep-connect on|off]
           [--ipv6 on|off] [--cert-check on|off] [--broker-number N]
                             Changes the account and switches of a connection and sends them
                             to the service (Save). --create makes the connection when it
                             does not exist. --password - reads the password from standard
                             input (without echo on a terminal).
  system [show]              The system settings (orvixclient.dat, user.dat), passwords masked.
  system set KEY VALUE ...   Changes user settings and sends them to the service
                             (SaveConfiguration). KEY: proxy-mode N, proxy-host HOST,
                             proxy-port N, proxy-auth on|off, proxy-user USER,
                             proxy-password PASSWORD|-, welcome N, position X,Y.
                             The other settings come from orvixclient.dat (see orvixcfg).

Options:
  --dir DIR      Installation folder with orvixclient.dat, user.dat and connection.dat
                 (default: the program folder).
  --log NAME     Every diagnostic line of the library to the log file NAME (in the log
                 folder below the common documents folder). Default: as user.dat says.
  --no-log       The library writes no log at all.
  --help         This text.

Output: results as "key: value" lines on standard output, events as
"event: WORD [CONNECTION] [TEXT]", failures as "orvixctl: TEXT (CODE)" on standard error.

Exit codes:
  0  done
  1  another failure of the library or the system
  2  bad command line
  3  the service is not running ("KP service is stopped"), or the link to it was lost
  4  a wait ran out: no outcome within --wait, no status answer, watch --count not reached
     within --timeout, or the service is busy with another client
  5  no connection of that name
  6  authentication error
  7  connection error
  8  the virtual network device is disabled
  9  the library is not registered or does not load, or the configuration cannot be read
)HELP";
