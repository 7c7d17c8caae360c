#pragma once
// The stand-in tunnel service: serves one client library at a time on the two pipes named in
// orvixclient.dat, simulates the tunnels of the profiles in connection.dat, stores the settings
// the library sends, and offers a control pipe to tests.
#include "Scenario.h"
#include "TunnelEngine.h"

#include "svclib/NamedPipe.h"

#include "platform/sync.h"
#include "platform/text.h"

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ServiceOptions {
    std::filesystem::path dir;      // orvixclient.dat, connection.dat, user.dat
    std::filesystem::path scenario; // empty: none
    platform::Text controlPipe;     // bare name; empty: no control pipe
    platform::Text readyPipe;       // bare name; empty: nobody to tell
    std::uint32_t pipeWaitMs = CNamedPipe::kDefaultTimeoutMs;
    bool verbose = false;
};

class TunnelService {
  public:
    explicit TunnelService(ServiceOptions options);
    ~TunnelService();

    // Serves until stopped. Returns the process exit code.
    int Run();
    // From any thread or a signal handler.
    void RequestStop();

  private:
    // One server end with its events. The events are declared first so that they outlive the
    // pipe's own thread.
    struct Channel {
        platform::Event recv{platform::Event::Reset::Auto};
        platform::Event connect{platform::Event::Reset::Auto};
        CNamedPipe pipe;
        bool connected = false;
        std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
        ~Channel() { pipe.PipeCloseHandle(); }
    };

    bool OpenChannel(std::unique_ptr<Channel>& slot, const platform::Text& name);
    std::optional<platform::Text> ReadMessage(Channel& channel, platform::HRESULT& hr);
    // The library left (or is dropped): new instances first, then the old ones go.
    void EndSession(const char* why);
    void ReopenControl();

    void OnCommand(const platform::Text& text);
    void OnControl(const platform::Text& text);
    void SendNotification(const platform::Text& word, const platform::Text& name,
                          const TunnelEngine::Args& args);
    bool WriteNotification(const platform::Text& text);
    TunnelEngine::Profile LookUpProfile(const platform::Text& name);
    void SaveConnection(const std::vector<platform::Text>& fields);
    void SaveUser(const std::vector<platform::Text>& fields);
    void Trace(const std::string& line) const;
    void Remember(const platform::Text& commandText);
    std::string DescribeState() const;

    ServiceOptions m_options;
    Scenario m_scenario;
    TunnelEngine m_engine;
    platform::Event m_stop{platform::Event::Reset::Manual};
    platform::Text m_commandPipe;      // library to service
    platform::Text m_notificationPipe; // service to library
    platform::Text m_controlPipe;
    std::unique_ptr<Channel> m_command;
    std::unique_ptr<Channel> m_notification;
    std::unique_ptr<Channel> m_control;
    std::deque<platform::Text> m_history; // commands received, passwords masked
    std::deque<platform::Text> m_held;    // notifications waiting for the library's second pipe
    unsigned m_sessions = 0;
    unsigned m_shutdowns = 0;
};

// Escapes for the control pipe's texts: \r \n \t \\ and \uXXXX.
platform::Text UnescapeControlText(platform::TextView text);
std::string EscapeForControl(platform::TextView text);
