#pragma once
// The simulated tunnels, one per profile name: what the service answers to CONNECT, DISCONNECT,
// STATUS and ANSWER, and the notifications it sends later on its own (progress, link drops).
#include "Scenario.h"

#include "platform/text.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class TunnelEngine {
  public:
    using Clock = std::chrono::steady_clock;
    using Args = std::vector<platform::Text>;
    // Sends one notification (word, connection name, arguments).
    using Notify = std::function<void(const platform::Text&, const platform::Text&, const Args&)>;

    // What the service knows of a profile from connection.dat.
    struct Profile {
        bool known = false;           // a profile of that name exists
        bool accountComplete = false; // user name and password are both set
    };

    TunnelEngine(const Scenario& scenario, Notify notify);

    void Connect(const platform::Text& name, const Profile& profile, bool force);
    void Disconnect(const platform::Text& name);
    void Status(const platform::Text& name);
    void Answer(const platform::Text& name, bool yes);

    // Runs what is due at `now`; the time of the next step, when one is planned.
    void RunDue(Clock::time_point now);
    std::optional<Clock::time_point> NextDue() const;

    // One line per tunnel: name, state, address, last reason.
    std::vector<std::string> Describe() const;

  private:
    enum class State { Disconnected, Connecting, Connected, Disconnecting };
    struct Step {
        platform::Milliseconds delay{0};
        std::function<void()> run;
        bool asks = false; // after it, the plan waits for ANSWER
    };
    struct Tunnel {
        State state = State::Disconnected;
        platform::Text address;
        platform::Text reason = u"NORMAL";
        std::deque<Step> plan;
        std::uint64_t generation = 0;
        bool awaitingAnswer = false;
    };
    struct Due {
        platform::Text name;
        std::uint64_t generation;
    };

    Tunnel& Get(const platform::Text& name);
    void Send(const platform::Text& word, const platform::Text& name, Args args = {});
    void Info(const platform::Text& name, const char16_t* id, Args args = {});
    // Replaces the tunnel's plan and starts it.
    void Start(const platform::Text& name, std::deque<Step> plan);
    void ScheduleNext(const platform::Text& name);
    void Ended(const platform::Text& name, const platform::Text& reason);

    const Scenario& m_scenario;
    Notify m_notify;
    std::map<platform::Text, Tunnel> m_tunnels;
    std::multimap<Clock::time_point, Due> m_due;
};
