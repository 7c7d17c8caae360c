#pragma once
// The service client library as orvixctl drives it: the client object created by class id from
// the registry, its event queue and settings object, connection lookup, and the turning of failed
// calls into messages and exit codes.
#include "common/LogOutput.h"
#include "interfaces/orvixsc_codes.h"
#include "interfaces/orvixsc_interfaces.h"
#include "platform/com.h"

#include <filesystem>
#include <string>
#include <vector>

// Exit codes of orvixctl (listed in its --help).
enum CtlExit : int {
    kExitOk = 0,
    kExitFailed = 1,         // any other failure of the library or the system
    kExitUsage = 2,          // bad command line
    kExitNoService = 3,      // the service is not running, or the link to it was lost
    kExitTimeout = 4,        // a wait ran out, the service is busy with another client, no answer
    kExitNoSuchName = 5,     // no connection of that name
    kExitAuthError = 6,      // the service refused the account
    kExitConnectError = 7,   // the tunnel could not be set up
    kExitDeviceDisabled = 8, // the virtual network device is disabled
    kExitInstallation = 9,   // library not registered or not loadable, configuration unreadable
};

// The outcome of one step: success, or an exit code with the text for standard error.
struct CtlStatus {
    int exitCode = kExitOk;
    std::string message;

    bool ok() const { return exitCode == kExitOk; }
    static CtlStatus Ok() { return {}; }
    static CtlStatus Fail(int code, std::string text) { return {code, std::move(text)}; }
};

inline constexpr platform::HRESULT kWaitTimeout = platform::make_hresult(0x80070102);

// The exit code a failed call's result stands for.
int ExitCodeFor(platform::HRESULT hr);
// Forgets the calling thread's error information, so a later failure is not described with an
// older call's text.
void ClearErrorInfo();
// A failed call as a status: the description of the error information the call left (the
// library's own text), else `fallback`, followed by the result code.
CtlStatus CallFailure(platform::HRESULT hr, const std::string& fallback);

std::string HexCode(platform::HRESULT hr);
std::string Utf8(platform::TextView text);

struct CtlSettings {
    std::filesystem::path dir; // installation folder with the three configuration files
    std::string logName;       // non-empty: every library diagnostic to this file
    bool noLog = false;        // hand the library no log writer at all
};

// One client object with its queue and settings object. The destructor unlinks (Uninitialize)
// and releases every interface before the log writer goes.
class CtlClient {
  public:
    CtlClient() = default;
    ~CtlClient();
    CtlClient(const CtlClient&) = delete;
    CtlClient& operator=(const CtlClient&) = delete;

    // Creates Kp32ClientSC by class id, hands it the log writer, loads the installation's
    // configuration, takes the event queue (mask 0xFFFF) and the settings object.
    CtlStatus Open(const CtlSettings& settings);
    // Opens both pipes to the service and starts the receive thread.
    CtlStatus Link();
    bool linked() const { return m_linked; }

    // The connection named `name` (exact comparison), or the first one when `name` is empty.
    CtlStatus Find(const std::string& name, platform::ComPtr<IZa32VUConnection>& out);
    // Every connection in list order.
    CtlStatus All(std::vector<platform::ComPtr<IZa32VUConnection>>& out);

    IKp32ClientSC* client() const { return m_client.get(); }
    IZa32VUEvent* events() const { return m_events.get(); }
    IZa32VUSystem* system() const { return m_system.get(); }

  private:
    CLogOutput m_log;
    platform::ComPtr<IKp32ClientSC> m_client;
    platform::ComPtr<IZa32VUEvent> m_events;
    platform::ComPtr<IZa32VUSystem> m_system;
    std::filesystem::path m_dir;
    bool m_linked = false;
};

// The name of a connection ("" when it cannot be read).
std::string ConnectionName(IZa32VUConnection* connection);
