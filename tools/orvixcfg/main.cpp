// orvixcfg: support staff and installers read and write the three configuration files with it.
//
//   orvixcfg decode FILE [--kind K]          plain text (declaration and XML) to stdout
//   orvixcfg encode KIND XMLFILE OUTFILE     OUTFILE in the on-disk layout of KIND
//   orvixcfg new KIND OUTFILE                OUTFILE holding the defaults of KIND
//   orvixcfg show FILE [--kind K] [--reveal] the records as a table, passwords masked
//
// KIND is connection, client or user; for FILE it follows from the file name unless given.
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "platform/fs.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using platform::Text;

constexpr int kExitFailure = 1; // a file that is missing, does not decode or cannot be written
constexpr int kExitUsage = 2;   // bad command line or unknown kind

enum class Kind { Connection, Client, User };

struct Failure {
    int code;
    std::string message;
};

std::optional<Kind> ParseKind(std::string_view name) {
    if (name == "connection")
        return Kind::Connection;
    if (name == "client")
        return Kind::Client;
    if (name == "user")
        return Kind::User;
    return std::nullopt;
}

std::optional<Kind> KindFromFileName(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    if (name == "connection.dat")
        return Kind::Connection;
    if (name == "orvixclient.dat")
        return Kind::Client;
    if (name == "user.dat")
        return Kind::User;
    return std::nullopt;
}

std::unique_ptr<CXMLConfigFile> MakeFile(Kind kind) {
    switch (kind) {
    case Kind::Connection:
        return std::make_unique<CConfigConnectionList>();
    case Kind::Client:
        return std::make_unique<CConfigKPClient>();
    case Kind::User:
        return std::make_unique<CConfigUser>();
    }
    return nullptr;
}

std::string HexResult(platform::HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(hr));
    return text;
}

// The file object for `path`: always given as a path, never looked up in the configuration
// folder.
std::unique_ptr<CXMLConfigFile> OpenAs(Kind kind, const std::filesystem::path& path) {
    auto file = MakeFile(kind);
    file->SetFileName(platform::from_path(std::filesystem::absolute(path)));
    return file;
}

// Reads `path` as a file of `kind`: its plain text without the final zero byte.
std::optional<std::string> Decode(Kind kind, const std::filesystem::path& path, Failure& failure) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        failure = {kExitFailure, "cannot open " + path.string() + ": no such file"};
        return std::nullopt;
    }
    auto file = OpenAs(kind, path);
    if (!file->CreateFileW(CONFIG_OPEN_READ)) {
        failure = {kExitFailure,
                   "cannot open " + path.string() + " (" + HexResult(file->GetLastResult()) + ")"};
        return std::nullopt;
    }
    const int ok = file->ReadFile();
    const platform::HRESULT hr = file->GetLastResult();
    file->Close();
    if (!ok) {
        failure = {kExitFailure, path.string() + " does not decode (" + HexResult(hr) + ")"};
        return std::nullopt;
    }
    int size = 0;
    const std::uint8_t* data = file->GetBuffer(size);
    const std::size_t length =
        ::strnlen(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    std::string text(reinterpret_cast<const char*>(data), length);
    // Every file starts with the declaration; anything else is a wrong key or not such a file.
    if (text.compare(0, CONFIG_XML_DECLARATION_SIZE, CONFIG_XML_DECLARATION) != 0) {
        failure = {kExitFailure, path.string() + " does not decode as a " +
                                     (kind == Kind::Connection ? std::string("connection")
                                      : kind == Kind::Client   ? std::string("client")
                                                               : std::string("user")) +
                                     " file"};
        return std::nullopt;
    }
    return text;
}

// ---- show --------------------------------------------------------------------------------------

std::string U8(const Text& text) {
    return platform::to_utf8(text);
}

std::string Secret(const Text& text, bool reveal) {
    if (reveal || text.empty())
        return U8(text);
    return "***";
}

std::string Number(long long value) {
    return std::to_string(value);
}

std::string Flag(int value, const char* on, const char* off) {
    return value == 1 ? on : off;
}

using Rows = std::vector<std::vector<std::string>>;

void PrintTable(std::ostream& out, const Rows& rows) {
    std::vector<std::size_t> widths;
    auto width = [](const std::string& s) {
        // Columns are measured in code points, which is close enough for a console.
        return static_cast<std::size_t>(
            std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], width(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - width(row[i]) + 2, ' ');
        }
        out << line << '\n';
    }
}

void ShowConnections(std::ostream& out, CConfigConnectionList& list, bool reveal) {
    out << "version " << list.GetFileVersionInfo().GetFileVersion() << ", "
        << list.GetConnectionCount() << " connection(s)\n";
    Rows rows = {{"#", "name", "layer", "encryption", "broker", "brokerV6", "username", "password",
                  "keepconnect", "v6conn", "servercertcheck", "brokernumber"}};
    for (int i = 0; i < list.GetConnectionCount(); ++i) {
        const CConfigConnectionConInfo& c = *list.GetConnectionItem(i);
        const int layer = c.GetLayer();
        rows.push_back({Number(i), U8(c.GetName()),
                        layer == 2   ? "PPP"
                        : layer == 1 ? "HUB"
                                     : Number(layer),
                        Flag(c.GetEncryption(), "SSL", "NonSSL"), U8(c.GetBroker()),
                        U8(c.GetBrokerV6()), U8(c.GetUser()), Secret(c.GetPassword(), reveal),
                        Flag(c.GetKeepconnect(), "ON", "OFF"), Flag(c.GetV6Conn(), "ON", "OFF"),
                        Flag(c.GetServerCertCheck(), "ON", "OFF"), Number(c.GetBrokerNumber())});
    }
    PrintTable(out, rows);
}

void ShowClient(std::ostream& out, CConfigKPClient& client) {
    auto& n = client.GetNetworkInfo();
    auto& c = client.GetClientInfo();
    auto& s = client.GetServerInfo();
    auto& t = client.GetTimeInfo();
    const Rows rows = {
        {"element", "value"},
        {"version", Number(client.GetFileVersionInfo().GetFileVersion())},
        {"network/MTU", Number(n.GetMTU())},
        {"network/routedupl", Flag(n.GetRouteDupl(), "ON", "OFF")},
        {"client/product", U8(c.GetProduct())},
        {"client/version", U8(c.GetVersion())},
        {"client/service", U8(c.GetService())},
        {"client/scapp", U8(c.GetScApp())},
        {"client/uninstall", U8(c.GetUninstall())},
        {"client/updater", U8(c.GetUpdater())},
        {"client/driver", U8(c.GetDriver())},
        {"client/inf", U8(c.GetInf())},
        {"client/name", U8(c.GetName())},
        {"client/hardwareid", U8(c.GetHardwareId())},
        {"client/registry", U8(c.GetRegistry())},
        {"client/pipesctosvc", U8(c.GetPipeSCToSvc())},
        {"client/pipesvctosc", U8(c.GetPipeSvcToSC())},
        {"client/installfolder", U8(c.GetInstallFolder())},
        {"server/latestlist", U8(s.GetLatestList())},
        {"server/updatepage", U8(s.GetUpdatePage())},
        {"server/envchecktool", U8(s.GetEnvCheckTool())},
        {"server/ctrlserver", U8(s.GetCtrlServer())},
        {"server/ctrlserverV6", U8(s.GetCtrlServerV6())},
        {"server/startup", Flag(s.GetStartup(), "true", "false")},
        {"time/updatecheck", Number(t.GetUpdatecheck())},
        {"time/keepalive", Number(t.GetKeepalive())},
        {"time/retrytime", Number(t.GetRetrytime())},
        {"time/retrycount", Number(t.GetRetrycount())},
    };
    PrintTable(out, rows);
}

std::string Level(int level) {
    switch (level) {
    case 1:
        return "INFO";
    case 2:
        return "WARN";
    case 3:
        return "FATAL";
    default:
        return "";
    }
}

void ShowUser(std::ostream& out, CConfigUser& user, bool reveal) {
    auto& l = user.GetLogInfo();
    auto& p = user.GetSCInfo();
    auto& x = user.GetProxyInfo();
    const Rows rows = {
        {"element", "value"},
        {"version", Number(user.GetFileVersionInfo().GetFileVersion())},
        {"log/pathname", U8(l.GetPathname())},
        {"log/level", Level(l.GetLevel())},
        {"log/logout", Flag(l.GetLog(), "ON", "OFF")},
        {"log/category", U8(FormatCategoryList(l.GetCategory()))},
        {"log/debug_level", Level(l.GetDebugLevel())},
        {"log/debug_logout", Flag(l.GetDebugLog(), "ON", "OFF")},
        {"log/debug_category", U8(FormatCategoryList(l.GetDebugCategory()))},
        {"sc_pos/x", Number(p.GetX())},
        {"sc_pos/y", Number(p.GetY())},
        {"sc_pos/dontshowwelcome", Number(p.GetDontShowWelcome())},
        {"proxy/connselect", Number(x.GetConnSelect())},
        {"proxy/proxyhost", U8(x.GetProxyHost())},
        {"proxy/proxyport", Number(x.GetProxyPort())},
        {"proxy/proxyauth", Flag(x.GetProxyAuth(), "true", "false")},
        {"proxy/proxyuser", U8(x.GetProxyUser())},
        {"proxy/proxypassword", Secret(x.GetProxyPassword(), reveal)},
    };
    PrintTable(out, rows);
}

// ---- commands ----------------------------------------------------------------------------------

int Fail(const Failure& failure) {
    std::cerr << "orvixcfg: " << failure.message << '\n';
    return failure.code;
}

int Usage() {
    std::cerr << "usage: orvixcfg decode FILE [--kind K]\n"
                 "       orvixcfg encode KIND XMLFILE OUTFILE\n"
                 "       orvixcfg new KIND OUTFILE\n"
                 "       orvixcfg show FILE [--kind K] [--reveal]\n"
                 "KIND: connection, client or user\n";
    return kExitUsage;
}

struct Options {
    std::vector<std::string> positional;
    std::optional<std::string> kind;
    bool reveal = false;
};

std::optional<Options> ParseOptions(int argc, char** argv, int first) {
    Options options;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--reveal") {
            options.reveal = true;
        } else if (arg == "--kind" && i + 1 < argc) {
            options.kind = argv[++i];
        } else if (arg.starts_with("--kind=")) {
            options.kind = std::string(arg.substr(7));
        } else if (arg.starts_with("--")) {
            return std::nullopt;
        } else {
            options.positional.emplace_back(arg);
        }
    }
    return options;
}

std::optional<Kind> ResolveKind(const Options& options, const std::filesystem::path& path,
                                Failure& failure) {
    if (options.kind) {
        if (auto kind = ParseKind(*options.kind))
            return kind;
        failure = {kExitUsage, "unknown kind '" + *options.kind + "'"};
        return std::nullopt;
    }
    if (auto kind = KindFromFileName(path))
        return kind;
    failure = {kExitUsage, "cannot tell the kind of " + path.string() + ": give --kind K"};
    return std::nullopt;
}

int Decode(const Options& options) {
    if (options.positional.size() != 1 || options.reveal)
        return Usage();
    const std::filesystem::path path = options.positional[0];
    Failure failure;
    const auto kind = ResolveKind(options, path, failure);
    if (!kind)
        return Fail(failure);
    const auto text = Decode(*kind, path, failure);
    if (!text)
        return Fail(failure);
    std::cout.write(text->data(), static_cast<std::streamsize>(text->size()));
    std::cout.flush();
    return std::cout ? 0 : kExitFailure;
}

int Show(const Options& options) {
    if (options.positional.size() != 1)
        return Usage();
    const std::filesystem::path path = options.positional[0];
    Failure failure;
    const auto kind = ResolveKind(options, path, failure);
    if (!kind)
        return Fail(failure);
    if (!Decode(*kind, path, failure))
        return Fail(failure);
    auto file = OpenAs(*kind, path);
    if (!file->Load())
        return Fail({kExitFailure, "cannot load " + path.string() + " (" +
                                       HexResult(file->GetLastResult()) + ")"});
    switch (*kind) {
    case Kind::Connection:
        ShowConnections(std::cout, static_cast<CConfigConnectionList&>(*file), options.reveal);
        break;
    case Kind::Client:
        ShowClient(std::cout, static_cast<CConfigKPClient&>(*file));
        break;
    case Kind::User:
        ShowUser(std::cout, static_cast<CConfigUser&>(*file), options.reveal);
        break;
    }
    return 0;
}

// The XML of an input text: a byte order mark and a declaration in front are dropped.
std::optional<std::string> ReadXmlInput(const std::filesystem::path& path, Failure& failure) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        failure = {kExitFailure, "cannot open " + path.string()};
        return std::nullopt;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    text.erase(0, start == std::string::npos ? text.size() : start);
    if (text.starts_with("<?xml")) {
        const std::size_t end = text.find("?>");
        if (end == std::string::npos) {
            failure = {kExitFailure, path.string() + " is not well-formed XML"};
            return std::nullopt;
        }
        text.erase(0, end + 2);
    }
    // The stored text follows the declaration directly and ends with the document.
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last + 1 - first);
    if (text.find('\0') != std::string::npos) {
        failure = {kExitFailure, path.string() + " holds a zero byte"};
        return std::nullopt;
    }
    pugi::xml_document document;
    const pugi::xml_parse_result result =
        document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result || !document.document_element()) {
        failure = {kExitFailure, path.string() + " is not well-formed XML (" +
                                     std::string(result.description()) + ")"};
        return std::nullopt;
    }
    return text;
}

int Encode(const Options& options) {
    if (options.positional.size() != 3 || options.kind || options.reveal)
        return Usage();
    const auto kind = ParseKind(options.positional[0]);
    if (!kind)
        return Fail({kExitUsage, "unknown kind '" + options.positional[0] + "'"});
    Failure failure;
    const auto xml = ReadXmlInput(options.positional[1], failure);
    if (!xml)
        return Fail(failure);
    auto file = OpenAs(*kind, options.positional[2]);
    // The stored text ends with one zero byte.
    if (!file->SetBuffer(xml->c_str(), static_cast<int>(xml->size() + 1)) ||
        !file->CreateFileW(CONFIG_OPEN_WRITE) || !file->WriteFile()) {
        const platform::HRESULT hr = file->GetLastResult();
        file->Close();
        return Fail(
            {kExitFailure, "cannot write " + options.positional[2] + " (" + HexResult(hr) + ")"});
    }
    file->Close();
    return 0;
}

int New(const Options& options) {
    if (options.positional.size() != 2 || options.kind || options.reveal)
        return Usage();
    const auto kind = ParseKind(options.positional[0]);
    if (!kind)
        return Fail({kExitUsage, "unknown kind '" + options.positional[0] + "'"});
    auto file = OpenAs(*kind, options.positional[1]);
    if (!file->Save())
        return Fail({kExitFailure, "cannot write " + options.positional[1] + " (" +
                                       HexResult(file->GetLastResult()) + ")"});
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string_view command = argv[1];
    const auto options = ParseOptions(argc, argv, 2);
    if (!options)
        return Usage();
    if (command == "decode")
        return Decode(*options);
    if (command == "encode")
        return Encode(*options);
    if (command == "new")
        return New(*options);
    if (command == "show")
        return Show(*options);
    return Usage();
}
