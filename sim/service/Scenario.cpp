#include "Scenario.h"

#include "platform/fs.h"

#include <cstdio>
#include <fstream>

using platform::Milliseconds;
using platform::Text;

namespace {

constexpr char16_t kMissing[] = u"\x01";

std::optional<long long> Number(const Text& text) {
    if (text.empty())
        return std::nullopt;
    long long value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9' || value > 100000000)
            return std::nullopt;
        value = value * 10 + (c - u'0');
    }
    return value;
}

Text Trim(Text text) {
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t'))
        text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && (text[start] == u' ' || text[start] == u'\t'))
        ++start;
    return text.substr(start);
}

} // namespace

bool Scenario::Load(const std::filesystem::path& file, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read the scenario file " + file.string();
        return false;
    }
    m_file = file;
    return true;
}

Text Scenario::Value(const Text& profile, const char16_t* key) const {
    if (m_file.empty())
        return kMissing;
    Text value = platform::read_profile_string(m_file, profile, key, kMissing);
    if (value == kMissing)
        value = platform::read_profile_string(m_file, u"*", key, kMissing);
    // A comment after the value belongs to the file, not to the value.
    const std::size_t comment = value.find(u';');
    if (value != kMissing && comment != Text::npos)
        value.resize(comment);
    return value == kMissing ? value : Trim(value);
}

ProfileScenario Scenario::For(const Text& profile) const {
    ProfileScenario s;
    auto text = [&](const char16_t* key, Text& out) {
        const Text v = Value(profile, key);
        if (v != kMissing)
            out = v;
    };
    auto millis = [&](const char16_t* key) -> std::optional<Milliseconds> {
        const Text v = Value(profile, key);
        if (v == kMissing)
            return std::nullopt;
        const auto n = Number(v);
        if (!n) {
            std::fprintf(stderr, "OrvixService: scenario value %s of [%s] is not a number\n",
                         platform::to_utf8(key).c_str(), platform::to_utf8(profile).c_str());
            return std::nullopt;
        }
        return Milliseconds(*n);
    };
    if (auto d = millis(u"delay"))
        s.stepDelay = *d;
    s.authFail = Value(profile, u"auth") == u"fail";
    s.certificateQuestion = Value(profile, u"certificate") == u"ask";
    text(u"cert_issuer", s.certIssuer);
    text(u"cert_subject", s.certSubject);
    text(u"cert_from", s.certFrom);
    text(u"cert_until", s.certUntil);
    if (auto t = millis(u"answer_timeout"))
        s.answerTimeout = *t;
    s.adapterDisabled = Value(profile, u"adapter") == u"disabled";
    s.linkDrop = millis(u"link_drop");
    s.statusSilent = Value(profile, u"status") == u"silent";
    text(u"address", s.address);
    if (s.address.empty())
        s.address = ProfileAddress(profile);
    return s;
}

Text ProfileAddress(const Text& profile) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : platform::to_utf8(profile)) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char text[64];
    std::snprintf(text, sizeof text, "2001:db8:%x:%x::%x", static_cast<unsigned>(h >> 48),
                  static_cast<unsigned>((h >> 32) & 0xFFFF),
                  static_cast<unsigned>(h & 0xFFFF) | 1u);
    return platform::to_text(text);
}
