#include "CtlCommands.h"

#include "CtlEvents.h"
#include "CtlWatch.h"

using namespace platform;

namespace {

constexpr std::uint64_t kMaxWaitMs = 0xFFFFFFFE; // 0xFFFFFFFF would wait without a limit

std::string StatusWord(ULONG status) {
    switch (status) {
    case SCSTATUS_NONE:
        return "unknown";
    case SCSTATUS_CONNECTING:
        return "connecting";
    case SCSTATUS_CONNECTED:
        return "connected";
    case SCSTATUS_DISCONNECTING:
        return "disconnecting";
    case SCSTATUS_DISCONNECTED:
        return "disconnected";
    case SCSTATUS_ASKED:
        return "asked";
    case SCSTATUS_NOSERVICE:
        return "no-service";
    case SCSTATUS_NOANSWER:
        return "no-answer";
    default:
        return "status-" + std::to_string(status);
    }
}

std::string OnOff(VARIANT_BOOL value) {
    return value == VARIANT_TRUE ? "on" : "off";
}

// The status of a connection, asking the service when the library does not know it.
struct StatusReport {
    HRESULT status = 0;
    std::string address;
};
StatusReport AskStatus(IZa32VUConnection* connection) {
    StatusReport report;
    Bstr info;
    report.status = connection->GetStatus(info.put());
    if (report.status == SCSTATUS_CONNECTED)
        report.address = Utf8(info.view());
    return report;
}

CtlStatus StatusFailure(const std::string& name, HRESULT status) {
    if (status == SCSTATUS_NOANSWER)
        return CtlStatus::Fail(kExitTimeout,
                               "the service did not answer the status request for " + name);
    if (status == SCSTATUS_NOSERVICE)
        return CtlStatus::Fail(kExitNoService, "the link to the service was lost");
    if (failed(status))
        return CallFailure(status, "the status of " + name + " cannot be read");
    return CtlStatus::Ok();
}

// --wait MS, 0 without the option.
ULONG WaitOption(const CtlCommandLine& line) {
    return line.has("--wait")
               ? static_cast<ULONG>(*ParseNumber(line.value("--wait"), 0, kMaxWaitMs))
               : 0;
}

std::string NameWord(const CtlCommandLine& line, std::size_t index) {
    return index < line.words.size() ? line.words[index] : std::string();
}

// Links to the service and finds the connection named by the word at `index` (the first
// connection when there is none).
CtlStatus LinkedConnection(CtlClient& client, const CtlCommandLine& line, std::size_t index,
                           ComPtr<IZa32VUConnection>& connection) {
    if (CtlStatus status = client.Link(); !status.ok())
        return status;
    return client.Find(NameWord(line, index), connection);
}

// A failed connect or disconnect: with a wait the outcome did not come, without one the
// request did not go out.
CtlStatus RequestFailure(HRESULT hr, ULONG wait) {
    return CallFailure(hr,
                       wait ? "no outcome from the service within " + std::to_string(wait) + " ms"
                            : "the request cannot be sent");
}

} // namespace

std::string StatusText(HRESULT status) {
    return StatusWord(static_cast<ULONG>(status)) + " (" + std::to_string(status) + ")";
}

CtlStatus CmdList(CtlClient& client, std::FILE* out) {
    // The profiles come from connection.dat; their status needs the service.
    const CtlStatus link = client.Link();
    std::vector<ComPtr<IZa32VUConnection>> all;
    if (CtlStatus status = client.All(all); !status.ok())
        return status;
    for (const auto& connection : all) {
        std::string status = "-";
        std::string address = "-";
        if (client.linked()) {
            const StatusReport report = AskStatus(connection.get());
            status = StatusWord(static_cast<ULONG>(report.status));
            if (!report.address.empty())
                address = report.address;
        }
        Bstr user;
        connection->get_UserName(user.put());
        const std::string userText = user.is_null() ? "-" : Utf8(user.view());
        std::fprintf(out, "%s\t%s\t%s\t%s\n", OneLine(ConnectionName(connection.get())).c_str(),
                     status.c_str(), address.c_str(), OneLine(userText).c_str());
    }
    if (!link.ok())
        std::fprintf(stderr, "orvixctl: status not known: %s\n", link.message.c_str());
    return CtlStatus::Ok();
}

CtlStatus CmdStatus(CtlClient& client, const CtlCommandLine& line, std::FILE* out) {
    ComPtr<IZa32VUConnection> connection;
    if (CtlStatus status = LinkedConnection(client, line, 0, connection); !status.ok())
        return status;
    const std::string name = ConnectionName(connection.get());
    const StatusReport report = AskStatus(connection.get());
    std::fprintf(out, "name: %s\n", OneLine(name).c_str());
    if (succeeded(report.status))
        std::fprintf(out, "status: %s\n", StatusText(report.status).c_str());
    if (!report.address.empty())
        std::fprintf(out, "address: %s\n", report.address.c_str());
    Bstr information;
    if (connection->GetLastInformation(information.put()) == S_OK && !information.is_null())
        std::fprintf(out, "information: %s\n", OneLine(Utf8(information.view())).c_str());

    Bstr user;
    VARIANT_BOOL keep = VARIANT_FALSE, v6 = VARIANT_FALSE, cert = VARIANT_FALSE;
    ULONG broker = 0;
    connection->get_UserName(user.put());
    connection->get_KeepConnect(&keep);
    connection->get_V6Conn(&v6);
    connection->get_ServerCertCheck(&cert);
    connection->get_BrokerNumber(&broker);
    std::fprintf(out, "user: %s\n", OneLine(Utf8(user.view())).c_str());
    std::fprintf(out, "keep-connect: %s\nipv6: %s\ncert-check: %s\nbroker-number: %u\n",
                 OnOff(keep).c_str(), OnOff(v6).c_str(), OnOff(cert).c_str(), broker);
    return StatusFailure(name, report.status);
}

CtlStatus CmdConnect(CtlClient& client, const CtlCommandLine& line, std::FILE* out) {
    ComPtr<IZa32VUConnection> connection;
    if (CtlStatus status = LinkedConnection(client, line, 0, connection); !status.ok())
        return status;
    const std::string name = OneLine(ConnectionName(connection.get()));
    const ULONG wait = WaitOption(line);
    Bstr address;
    ClearErrorInfo();
    const HRESULT hr = connection->Connect(wait, line.has("--force") ? VARIANT_TRUE : VARIANT_FALSE,
                                           address.put());
    // The progress the service reported stays queued; the outcome was taken by the wait.
    // Without a wait nothing was awaited: what arrived meanwhile is the service's own pace.
    if (wait != 0)
        PrintQueuedEvents(client.events(), out);
    if (failed(hr))
        return RequestFailure(hr, wait);
    if (wait == 0) {
        std::fprintf(out, "requested: connect %s\n", name.c_str());
        return CtlStatus::Ok();
    }
    std::fprintf(out, "connected: %s\n", name.c_str());
    if (!address.is_null())
        std::fprintf(out, "address: %s\n", Utf8(address.view()).c_str());
    return CtlStatus::Ok();
}

CtlStatus CmdDisconnect(CtlClient& client, const CtlCommandLine& line, std::FILE* out) {
    ComPtr<IZa32VUConnection> connection;
    if (CtlStatus status = LinkedConnection(client, line, 0, connection); !status.ok())
        return status;
    const std::string name = OneLine(ConnectionName(connection.get()));
    const ULONG wait = WaitOption(line);
    ClearErrorInfo();
    const HRESULT hr = connection->Disconnect(wait);
    if (wait != 0)
        PrintQueuedEvents(client.events(), out);
    if (failed(hr))
        return RequestFailure(hr, wait);
    std::fprintf(out, wait ? "disconnected: %s\n" : "requested: disconnect %s\n", name.c_str());
    return CtlStatus::Ok();
}

CtlStatus CmdAnswer(CtlClient& client, const CtlCommandLine& line, std::FILE* out) {
    const std::optional<bool> yes = ParseSwitch(line.words[0]);
    if (!yes)
        return CtlStatus::Fail(kExitUsage, "answer takes yes or no, not " + line.words[0]);
    ComPtr<IZa32VUConnection> connection;
    if (CtlStatus status = LinkedConnection(client, line, 1, connection); !status.ok())
        return status;
    ClearErrorInfo();
    const HRESULT hr = connection->Answer(*yes ? VARIANT_TRUE : VARIANT_FALSE);
    if (failed(hr))
        return CallFailure(hr, "the answer cannot be sent");
    std::fprintf(out, "requested: answer %s %s\n", *yes ? "yes" : "no",
                 OneLine(ConnectionName(connection.get())).c_str());
    return CtlStatus::Ok();
}

CtlStatus RunCommand(const CtlCommandLine& line, const CtlSettings& settings, std::FILE* out) {
    // Option values are checked before anything is created.
    for (const char* option : {"--wait", "--timeout"}) {
        if (line.has(option) && !ParseNumber(line.value(option), 0, kMaxWaitMs))
            return CtlStatus::Fail(kExitUsage, std::string(option) + " takes milliseconds");
    }
    if (line.has("--count") && !ParseNumber(line.value("--count"), 1, 0xFFFFFFFF))
        return CtlStatus::Fail(kExitUsage, "--count takes a number of events from 1");

    CtlClient client;
    if (CtlStatus status = client.Open(settings); !status.ok())
        return status;
    const std::string& command = line.command;
    if (command == "list")
        return CmdList(client, out);
    if (command == "status")
        return CmdStatus(client, line, out);
    if (command == "connect")
        return CmdConnect(client, line, out);
    if (command == "disconnect")
        return CmdDisconnect(client, line, out);
    if (command == "answer")
        return CmdAnswer(client, line, out);
    if (command == "set")
        return CmdSet(client, line, out);
    if (command == "system")
        return CmdSystem(client, line, out);
    if (command == "watch") {
        WatchLimits limits;
        if (line.has("--count"))
            limits.count = static_cast<unsigned>(*ParseNumber(line.value("--count"), 1, ~0u));
        if (line.has("--timeout"))
            limits.timeoutMs =
                static_cast<unsigned>(*ParseNumber(line.value("--timeout"), 0, kMaxWaitMs));
        return Watch(client, limits, out);
    }
    return CtlStatus::Fail(kExitUsage, "unknown command " + command);
}
