#include "TunnelService.h"

#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "svclib/PipeMessage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using platform::HRESULT;
using platform::Milliseconds;
using platform::Text;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
constexpr std::size_t kHistoryLimit = 200;
constexpr std::size_t kHeldLimit = 1000;
// How long one end of a session may stay linked without the other.
constexpr Milliseconds kPairingGrace{5000};

Text PipePath(const Text& bare) {
    return Text(kPipePrefix) + bare;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hr));
    return text;
}

bool FileExists(const Text& path) {
    std::error_code ec;
    return std::filesystem::exists(platform::to_path(path), ec);
}

} // namespace

TunnelService::TunnelService(ServiceOptions options)
    : m_options(std::move(options)), m_engine(m_scenario, [this](const Text& word, const Text& name,
                                                                 const TunnelEngine::Args& args) {
          SendNotification(word, name, args);
      }) {}

TunnelService::~TunnelService() = default;

void TunnelService::RequestStop() {
    m_stop.set();
}

void TunnelService::Trace(const std::string& line) const {
    if (m_options.verbose)
        std::fprintf(stderr, "OrvixService: %s\n", line.c_str());
}

bool TunnelService::OpenChannel(std::unique_ptr<Channel>& slot, const Text& name) {
    auto channel = std::make_unique<Channel>();
    channel->pipe.SetDefaultTimeout(m_options.pipeWaitMs);
    if (!channel->pipe.PipeOpenNamedPipe(name.c_str(), 0, true, &channel->recv,
                                         &channel->connect)) {
        std::fprintf(stderr, "OrvixService: cannot create the pipe %s [E%s]\n",
                     platform::to_utf8(name).c_str(), Hex(channel->pipe.GetLastResult()).c_str());
        return false;
    }
    slot = std::move(channel);
    return true;
}

std::optional<Text> TunnelService::ReadMessage(Channel& channel, HRESULT& hr) {
    std::vector<char16_t> buffer(256, 0);
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size() * 2);
    std::uint32_t n = channel.pipe.PipeReadFile(buffer.data(), &size);
    if (n == 0 && channel.pipe.GetLastResult() == PIPE_E_MORE_DATA) {
        buffer.assign(size / 2 + 1, 0);
        size = static_cast<std::uint32_t>(buffer.size() * 2);
        n = channel.pipe.PipeReadFile(buffer.data(), &size);
    }
    hr = channel.pipe.GetLastResult();
    if (n == 0)
        return std::nullopt;
    return Text(buffer.data(), n / 2);
}

void TunnelService::EndSession(const char* why) {
    Trace(std::string("library session ended: ") + why);
    m_held.clear();
    // Each end is replaced by a new instance, created before the old one goes so that the name
    // never disappears. The notification end goes first, whatever its state: a library opens it
    // only after its command pipe was taken, so no next library can be using it yet. The command
    // end goes only when it took a peer; one still waiting may be taking the next library at
    // this moment and stays.
    bool ok = true;
    {
        std::unique_ptr<Channel> next;
        ok = OpenChannel(next, m_notificationPipe);
        if (next)
            m_notification = std::move(next);
    }
    if (m_command->connected || m_command->pipe.IsConnected()) {
        std::unique_ptr<Channel> next;
        ok = OpenChannel(next, m_commandPipe) && ok;
        if (next)
            m_command = std::move(next);
    }
    if (!ok) {
        std::fprintf(stderr, "OrvixService: cannot serve the next library; stopping\n");
        RequestStop();
    }
}

void TunnelService::ReopenControl() {
    std::unique_ptr<Channel> control;
    if (OpenChannel(control, m_controlPipe))
        m_control = std::move(control);
    else
        m_control.reset();
}

bool TunnelService::WriteNotification(const Text& text) {
    if (!m_notification || !m_notification->connected) {
        if (m_command && m_command->connected && m_held.size() < kHeldLimit) {
            // The library opened its command pipe and is opening the other one: the
            // notification goes out once it is there.
            m_held.push_back(text);
            return true;
        }
        Trace("no library linked; dropped: " + EscapeForControl(text));
        return false;
    }
    if (m_notification->pipe.PipeWriteFile(text.c_str()) == 0) {
        Trace("notification write failed [E" + Hex(m_notification->pipe.GetLastResult()) + "]");
        EndSession("notification pipe broken");
        return false;
    }
    return true;
}

void TunnelService::SendNotification(const Text& word, const Text& name,
                                     const TunnelEngine::Args& args) {
    const Text text = BuildNotificationText(word, name, args);
    Trace("-> " + EscapeForControl(text));
    WriteNotification(text);
}

TunnelEngine::Profile TunnelService::LookUpProfile(const Text& name) {
    TunnelEngine::Profile profile;
    CConfigConnectionList list;
    if (!list.Load())
        return profile;
    for (int i = 0; i < list.GetConnectionCount(); ++i) {
        const CConfigConnectionConInfo* record = list.GetConnectionItem(i);
        if (record && record->GetName() == name) {
            profile.known = true;
            profile.accountComplete = !record->GetUser().empty() && !record->GetPassword().empty();
            break;
        }
    }
    return profile;
}

void TunnelService::SaveConnection(const std::vector<Text>& fields) {
    SCConnectionSettings settings;
    if (!ParseConnectionSettingsBlock(fields, settings)) {
        Trace("SETCONFCONN with a malformed block dropped");
        return;
    }
    CConfigConnectionList list;
    // A file that exists but does not load is left alone rather than overwritten.
    if (!list.Load() && FileExists(list.GetFilePath())) {
        Trace("connection.dat does not load [E" + Hex(list.GetLastResult()) + "]; not saved");
        return;
    }
    CConfigConnectionConInfo* record = nullptr;
    for (int i = 0; i < list.GetConnectionCount() && !record; ++i) {
        CConfigConnectionConInfo* r = list.GetConnectionItem(i);
        if (r && r->GetName() == settings.name)
            record = r;
    }
    if (!record) {
        record = list.AddConnectionItem();
        if (!record)
            return;
        record->SetName(settings.name);
    }
    record->SetUser(settings.user);
    record->SetPassword(settings.password);
    record->SetKeepconnect(settings.keepConnect ? 1 : 0);
    record->SetV6Conn(settings.v6Conn ? 1 : 0);
    record->SetServerCertCheck(settings.serverCertCheck ? 1 : 0);
    record->SetBrokerNumber(static_cast<std::uint32_t>(settings.brokerNumber));
    if (!list.Save())
        Trace("connection.dat not saved [E" + Hex(list.GetLastResult()) + "]");
}

void TunnelService::SaveUser(const std::vector<Text>& fields) {
    SCUserSettings settings;
    if (!ParseUserSettingsBlock(fields, settings)) {
        Trace("SETCONFUSER with a malformed block dropped");
        return;
    }
    CConfigUser user;
    if (!user.Load() && FileExists(user.GetFilePath())) {
        Trace("user.dat does not load [E" + Hex(user.GetLastResult()) + "]; not saved");
        return;
    }
    CConfigUserSCInfo& sc = user.GetSCInfo();
    sc.SetX(settings.x);
    sc.SetY(settings.y);
    sc.SetDontShowWelcome(settings.dontShowWelcome);
    CConfigUserProxyInfo& proxy = user.GetProxyInfo();
    proxy.SetConnSelect(settings.connSelect);
    proxy.SetProxyHost(settings.proxyHost);
    proxy.SetProxyPort(settings.proxyPort);
    proxy.SetProxyAuth(settings.proxyAuth ? 1 : 0);
    proxy.SetProxyUser(settings.proxyUser);
    proxy.SetProxyPassword(settings.proxyPassword);
    if (!user.Save())
        Trace("user.dat not saved [E" + Hex(user.GetLastResult()) + "]");
}

void TunnelService::Remember(const Text& commandText) {
    // Passwords never leave the service: not in traces, not in the control pipe's answers.
    SCCommand command = ParseCommandText(commandText);
    if (command.word == u"SETCONFCONN" && command.fields.size() > 2)
        command.fields[2] = u"***";
    if (command.word == u"SETCONFUSER" && command.fields.size() > 7)
        command.fields[7] = u"***";
    Text masked = command.word;
    for (const Text& field : command.fields)
        masked += u"\r\n" + field;
    Trace("<- " + EscapeForControl(masked));
    m_history.push_back(std::move(masked));
    while (m_history.size() > kHistoryLimit)
        m_history.pop_front();
}

void TunnelService::OnCommand(const Text& text) {
    Remember(text);
    const SCCommand command = ParseCommandText(text);
    const Text name = command.fields.empty() ? Text() : command.fields[0];
    const bool named = !name.empty();
    if (command.word == u"CONNECT" && named) {
        const bool force = command.fields.size() > 1 && command.fields[1] == u"FORCE";
        m_engine.Connect(name, LookUpProfile(name), force);
    } else if (command.word == u"DISCONNECT" && named) {
        m_engine.Disconnect(name);
    } else if (command.word == u"STATUS" && named) {
        m_engine.Status(name);
    } else if (command.word == u"ANSWER" && named) {
        m_engine.Answer(name, command.fields.size() > 1 && command.fields[1] == u"YES");
    } else if (command.word == u"SETCONFCONN") {
        SaveConnection(command.fields);
    } else if (command.word == u"SETCONFUSER") {
        SaveUser(command.fields);
    } else if (command.word == u"SHUTDOWN") {
        ++m_shutdowns; // the application is closing; nothing to answer
    } else if (command.word == u"LOG" || command.word == u"CONFCHANGE") {
        // taken note of; nothing to do here
    } else {
        Trace("command dropped (unknown or without a connection name)");
    }
}

std::string TunnelService::DescribeState() const {
    std::string out = "sessions " + std::to_string(m_sessions) + "\n";
    out += std::string("library ") + (m_command && m_command->connected ? "command" : "-") + " " +
           (m_notification && m_notification->connected ? "notification" : "-") + "\n";
    out += "shutdowns " + std::to_string(m_shutdowns) + "\n";
    for (const std::string& line : m_engine.Describe())
        out += line + "\n";
    for (const Text& command : m_history)
        out += "command " + EscapeForControl(command) + "\n";
    return out;
}

void TunnelService::OnControl(const Text& text) {
    const std::size_t space = text.find(u' ');
    const Text verb = text.substr(0, space);
    const Text rest = space == Text::npos ? Text() : text.substr(space + 1);
    std::string reply = "OK";
    if (verb == u"ping") {
    } else if (verb == u"state") {
        reply = DescribeState();
    } else if (verb == u"clear") {
        m_history.clear();
    } else if (verb == u"notify") {
        if (!WriteNotification(UnescapeControlText(rest)))
            reply = "ERR no library linked";
    } else if (verb == u"raw") {
        std::vector<unsigned char> bytes;
        const std::string hex = platform::to_utf8(rest);
        unsigned value = 0;
        int digits = 0;
        for (char c : hex) {
            const int d = (c >= '0' && c <= '9')   ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
            if (d < 0)
                continue;
            value = value * 16 + static_cast<unsigned>(d);
            if (++digits == 2) {
                bytes.push_back(static_cast<unsigned char>(value));
                value = 0;
                digits = 0;
            }
        }
        if (!m_notification || !m_notification->connected)
            reply = "ERR no library linked";
        else if (bytes.empty() || m_notification->pipe.PipeWriteBytes(
                                      bytes.data(), static_cast<std::uint32_t>(bytes.size())) == 0)
            reply = "ERR nothing written";
    } else if (verb == u"drop") {
        EndSession("dropped by the control pipe");
    } else if (verb == u"vanish") {
        // Gone at once, as a crashed service: no pipe is closed in order.
        std::fflush(stderr);
        std::_Exit(0);
    } else if (verb == u"quit") {
        RequestStop();
    } else {
        reply = "ERR unknown control command";
    }
    if (m_control && m_control->connected)
        m_control->pipe.PipeWriteFile(platform::to_text(reply).c_str());
}

int TunnelService::Run() {
    auto tellReady = [this](const std::string& text) {
        if (m_options.readyPipe.empty())
            return;
        CNamedPipe ready;
        if (ready.PipeOpenNamedPipe(PipePath(m_options.readyPipe).c_str(), 0, false, nullptr,
                                    nullptr))
            ready.PipeWriteFile(platform::to_text(text).c_str());
        ready.PipeCloseHandle();
    };
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "OrvixService: %s\n", why.c_str());
        tellReady("failed: " + why);
        return 1;
    };

    CConfigFile::SetConfigFolder(platform::from_path(m_options.dir));
    CConfigKPClient client;
    if (!client.Load())
        return fail("cannot load orvixclient.dat in " + m_options.dir.string() + " [E" +
                    Hex(client.GetLastResult()) + "]");
    const Text toService = client.GetClientInfo().GetPipeSCToSvc();
    const Text toClient = client.GetClientInfo().GetPipeSvcToSC();
    if (toService.empty() || toClient.empty() || toService == toClient)
        return fail("orvixclient.dat names no two distinct pipes (pipesctosvc, pipesvctosc)");
    m_commandPipe = PipePath(toService);
    m_notificationPipe = PipePath(toClient);
    if (!m_options.scenario.empty()) {
        std::string error;
        if (!m_scenario.Load(m_options.scenario, error))
            return fail(error);
    }
    if (!OpenChannel(m_command, m_commandPipe) || !OpenChannel(m_notification, m_notificationPipe))
        return fail("cannot create the service pipes");
    if (!m_options.controlPipe.empty()) {
        m_controlPipe = PipePath(m_options.controlPipe);
        if (!OpenChannel(m_control, m_controlPipe))
            return fail("cannot create the control pipe");
    }
    Trace("serving " + platform::to_utf8(m_commandPipe) + " and " +
          platform::to_utf8(m_notificationPipe));
    tellReady("ready");

    for (;;) {
        // A peer's connect is taken before what it sends (the lowest signalled index wins).
        std::vector<platform::Event*> events = {&m_stop, &m_command->connect,
                                                &m_notification->connect, &m_command->recv,
                                                &m_notification->recv};
        if (m_control) {
            events.push_back(&m_control->connect);
            events.push_back(&m_control->recv);
        }
        // Wake for the next planned step, for a half-linked session's grace, and at least once a
        // minute.
        auto wake = Clock::now() + Milliseconds(60000);
        if (auto due = m_engine.NextDue())
            wake = std::min(wake, *due);
        const bool half = m_command->connected != m_notification->connected;
        if (half) {
            const auto since = m_command->connected ? m_command->since : m_notification->since;
            wake = std::min(wake, since + Milliseconds(m_options.pipeWaitMs) + kPairingGrace);
        }
        const auto timeout = std::chrono::duration_cast<Milliseconds>(wake - Clock::now());
        const auto index = platform::wait_any(events, std::max(timeout, Milliseconds(0)));
        if (const auto late = Clock::now() - wake; late > Milliseconds(1000))
            Trace("woke " + std::to_string(std::chrono::duration_cast<Milliseconds>(late).count()) +
                  " ms after the planned time (event " +
                  (index ? std::to_string(*index) : std::string("none")) + ")");

        if (index) {
            switch (*index) {
            case 0:
                Trace("stopping");
                return 0;
            case 1:
            case 2: {
                Channel& ch = *index == 1 ? *m_command : *m_notification;
                ch.connected = true;
                ch.since = Clock::now();
                if (!ch.pipe.ReadyRead()) {
                    EndSession("a library end failed at once"); // replaces it as well
                    break;
                }
                if (m_command->connected && m_notification->connected) {
                    ++m_sessions;
                    Trace("library linked");
                    std::deque<Text> held;
                    held.swap(m_held);
                    for (const Text& text : held)
                        if (!WriteNotification(text))
                            break;
                }
                break;
            }
            case 3:
            case 4: {
                Channel& ch = *index == 3 ? *m_command : *m_notification;
                HRESULT hr = 0;
                const auto text = ReadMessage(ch, hr);
                if (text && *index == 3) {
                    OnCommand(*text);
                } else if (text) {
                    Trace("message on the notification pipe dropped");
                } else if (hr == PIPE_E_BROKEN) {
                    EndSession(*index == 3 ? "command pipe closed" : "notification pipe closed");
                } else if (hr != 0) {
                    Trace("read failed [E" + Hex(hr) + "]");
                    EndSession("read failure");
                }
                break;
            }
            case 5:
                m_control->connected = true;
                if (!m_control->pipe.ReadyRead())
                    ReopenControl();
                break;
            case 6: {
                HRESULT hr = 0;
                const auto text = ReadMessage(*m_control, hr);
                if (text)
                    OnControl(*text);
                else if (hr != 0 && m_control)
                    ReopenControl(); // the control client left
                break;
            }
            default:
                break;
            }
        }
        m_engine.RunDue(Clock::now());
        if (m_command->connected != m_notification->connected) {
            const auto since = m_command->connected ? m_command->since : m_notification->since;
            if (Clock::now() >= since + Milliseconds(m_options.pipeWaitMs) + kPairingGrace)
                EndSession("the library opened only one pipe");
        }
    }
}

Text UnescapeControlText(platform::TextView text) {
    Text out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char16_t c = text[++i];
        if (c == u'r')
            out += u'\r';
        else if (c == u'n')
            out += u'\n';
        else if (c == u't')
            out += u'\t';
        else if (c == u'u' && i + 4 < text.size()) {
            unsigned value = 0;
            bool ok = true;
            for (std::size_t k = 1; k <= 4 && ok; ++k) {
                const char16_t h = text[i + k];
                const int d = (h >= u'0' && h <= u'9')   ? h - u'0'
                              : (h >= u'a' && h <= u'f') ? h - u'a' + 10
                              : (h >= u'A' && h <= u'F') ? h - u'A' + 10
                                                         : -1;
                ok = d >= 0;
                value = value * 16 + static_cast<unsigned>(d < 0 ? 0 : d);
            }
            if (ok) {
                out += static_cast<char16_t>(value);
                i += 4;
            } else {
                out += u"\\u";
            }
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeForControl(platform::TextView text) {
    Text escaped;
    for (char16_t c : text) {
        if (c == u'\r')
            escaped += u"\\r";
        else if (c == u'\n')
            escaped += u"\\n";
        else if (c == u'\\')
            escaped += u"\\\\";
        else if (c >= 0xD800 && c <= 0xDFFF) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
            escaped += platform::to_text(hex);
        } else
            escaped += c;
    }
    return platform::to_utf8(escaped);
}
