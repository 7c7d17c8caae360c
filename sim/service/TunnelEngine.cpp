#include "TunnelEngine.h"

using platform::Milliseconds;
using platform::Text;

namespace {

const char* StateName(int state) {
    static const char* const names[] = {"DISCONNECTED", "CONNECTING", "CONNECTED", "DISCONNECTING"};
    return names[state];
}

} // namespace

TunnelEngine::TunnelEngine(const Scenario& scenario, Notify notify)
    : m_scenario(scenario), m_notify(std::move(notify)) {}

TunnelEngine::Tunnel& TunnelEngine::Get(const Text& name) {
    return m_tunnels[name];
}

void TunnelEngine::Send(const Text& word, const Text& name, Args args) {
    m_notify(word, name, args);
}

void TunnelEngine::Info(const Text& name, const char16_t* id, Args args) {
    args.insert(args.begin(), Text(id));
    Send(u"INFORMATION", name, std::move(args));
}

void TunnelEngine::Ended(const Text& name, const Text& reason) {
    Tunnel& t = Get(name);
    t.state = State::Disconnected;
    t.address.clear();
    t.reason = reason;
    t.plan.clear();
    t.awaitingAnswer = false;
    ++t.generation;
    Send(u"DISCONNECTED", name, {reason});
}

void TunnelEngine::Start(const Text& name, std::deque<Step> plan) {
    Tunnel& t = Get(name);
    ++t.generation; // steps of an earlier plan that are still due are ignored
    t.awaitingAnswer = false;
    t.plan = std::move(plan);
    ScheduleNext(name);
}

void TunnelEngine::ScheduleNext(const Text& name) {
    Tunnel& t = Get(name);
    if (t.plan.empty())
        return;
    m_due.emplace(Clock::now() + t.plan.front().delay, Due{name, t.generation});
}

void TunnelEngine::Connect(const Text& name, const Profile& profile, bool force) {
    Tunnel& t = Get(name);
    if (!profile.known) {
        Info(name, u"2208", {name});
        Ended(name, u"CONNECTERR");
        return;
    }
    if (t.state == State::Connecting || t.state == State::Connected) {
        // Already on its way or up: say so and report where it stands.
        Info(name, u"2209", {name});
        Status(name);
        return;
    }
    const ProfileScenario s = m_scenario.For(name);
    t.state = State::Connecting;
    t.address.clear();
    Send(u"CONNECTING", name);

    const Milliseconds d = s.stepDelay;
    std::deque<Step> plan;
    plan.push_back({d, [this, name] { Info(name, u"1000"); }});
    if (s.adapterDisabled && !force) {
        plan.push_back({d, [this, name] {
                            Info(name, u"1020");
                            Ended(name, u"DISABLE");
                        }});
    } else if (!profile.accountComplete) {
        plan.push_back({d, [this, name] {
                            Info(name, u"1028");
                            Ended(name, u"AUTHERROR");
                        }});
    } else if (s.authFail) {
        plan.push_back({d, [this, name] {
                            Info(name, u"1015");
                            Ended(name, u"AUTHERROR");
                        }});
    } else {
        if (s.certificateQuestion) {
            Step ask;
            ask.delay = d;
            ask.run = [this, name, s] {
                Send(u"QUERY", name,
                     {u"1010", s.certIssuer, s.certSubject, s.certFrom, s.certUntil});
            };
            ask.asks = true;
            plan.push_back(std::move(ask));
        }
        plan.push_back({d, [this, name] { Info(name, u"1001"); }});
        plan.push_back({d, [this, name] { Info(name, u"1002"); }});
        plan.push_back({d, [this, name, s] {
                            Tunnel& up = Get(name);
                            up.state = State::Connected;
                            up.address = s.address;
                            Send(u"CONNECTED", name, {s.address});
                        }});
        if (s.linkDrop) {
            plan.push_back({*s.linkDrop, [this, name] {
                                Info(name, u"1019");
                                Ended(name, u"LINK_DISC");
                            }});
        }
    }
    Start(name, std::move(plan));
}

void TunnelEngine::Disconnect(const Text& name) {
    Tunnel& t = Get(name);
    if (t.state == State::Disconnected) {
        Ended(name, u"NORMAL");
        return;
    }
    const Milliseconds d = m_scenario.For(name).stepDelay;
    t.state = State::Disconnecting;
    Send(u"DISCONNECTING", name);
    std::deque<Step> plan;
    plan.push_back({d, [this, name] { Info(name, u"1004"); }});
    plan.push_back({d, [this, name] {
                        Info(name, u"1005");
                        Ended(name, u"NORMAL");
                    }});
    Start(name, std::move(plan));
}

void TunnelEngine::Status(const Text& name) {
    if (m_scenario.For(name).statusSilent)
        return;
    const Tunnel& t = Get(name);
    switch (t.state) {
    case State::Disconnected:
        Send(u"DISCONNECTED", name, {t.reason});
        break;
    case State::Connecting:
        Send(u"CONNECTING", name);
        break;
    case State::Connected:
        Send(u"CONNECTED", name, {t.address});
        break;
    case State::Disconnecting:
        Send(u"DISCONNECTING", name);
        break;
    }
}

void TunnelEngine::Answer(const Text& name, bool yes) {
    auto it = m_tunnels.find(name);
    if (it == m_tunnels.end() || !it->second.awaitingAnswer)
        return; // nothing was asked
    Tunnel& t = it->second;
    t.awaitingAnswer = false;
    if (!yes) {
        Info(name, u"1016");
        Ended(name, u"CONNECTERR");
        return;
    }
    ++t.generation; // the answer time-out no longer counts
    ScheduleNext(name);
}

void TunnelEngine::RunDue(Clock::time_point now) {
    while (!m_due.empty() && m_due.begin()->first <= now) {
        const Due due = m_due.begin()->second;
        m_due.erase(m_due.begin());
        auto it = m_tunnels.find(due.name);
        if (it == m_tunnels.end() || it->second.generation != due.generation)
            continue; // replaced or cancelled since
        Tunnel& t = it->second;
        if (t.awaitingAnswer) {
            // The question went unanswered.
            Info(due.name, u"1016");
            Ended(due.name, u"CONNECTERR");
            continue;
        }
        if (t.plan.empty())
            continue;
        Step step = std::move(t.plan.front());
        t.plan.pop_front();
        step.run();
        // The step may have ended or replaced the plan; go on only with what is still ours.
        auto again = m_tunnels.find(due.name);
        if (again == m_tunnels.end() || again->second.generation != due.generation)
            continue;
        if (step.asks) {
            // The question is out: the answer may come at any moment from now on.
            again->second.awaitingAnswer = true;
            m_due.emplace(now + m_scenario.For(due.name).answerTimeout,
                          Due{due.name, due.generation});
        } else {
            ScheduleNext(due.name);
        }
    }
}

std::optional<TunnelEngine::Clock::time_point> TunnelEngine::NextDue() const {
    if (m_due.empty())
        return std::nullopt;
    return m_due.begin()->first;
}

std::vector<std::string> TunnelEngine::Describe() const {
    std::vector<std::string> lines;
    for (const auto& [name, t] : m_tunnels) {
        std::string line =
            "tunnel " + platform::to_utf8(name) + " " + StateName(static_cast<int>(t.state));
        line += " " + (t.address.empty() ? std::string("-") : platform::to_utf8(t.address));
        line += " " + platform::to_utf8(t.reason);
        if (t.awaitingAnswer)
            line += " asking";
        lines.push_back(line);
    }
    return lines;
}
