#pragma once
// What the stand-in tunnel does for a profile: read from the scenario file, an INI file with one
// section per profile name and the section "*" for every profile without its own value.
//
//   [*]
//   delay = 50                 ; ms between two progress notifications
//   [office]
//   auth = fail                ; the broker refuses the account: DISCONNECTED AUTHERROR
//   certificate = ask          ; QUERY 1010 with four arguments, then wait for ANSWER
//   cert_issuer = ...          ; the four arguments (defaults: a test CA and broker)
//   cert_subject = ...
//   cert_from = ...
//   cert_until = ...
//   answer_timeout = 60000     ; ms to wait for ANSWER before giving up (CONNECTERR)
//   adapter = disabled         ; DISCONNECTED DISABLE unless CONNECT carries FORCE
//   link_drop = 2000           ; ms after CONNECTED: INFORMATION 1019, DISCONNECTED LINK_DISC
//   status = silent            ; STATUS gets no answer
//   address = 2001:db8::10     ; the tunnel address (default: derived from the profile name)
#include "platform/sync.h"
#include "platform/text.h"

#include <filesystem>
#include <optional>
#include <string>

struct ProfileScenario {
    platform::Milliseconds stepDelay{50};
    bool authFail = false;
    bool certificateQuestion = false;
    platform::Text certIssuer = u"Orvix Test CA";
    platform::Text certSubject = u"broker.orvix.example";
    platform::Text certFrom = u"2020/01/01 00:00:00";
    platform::Text certUntil = u"2030/12/31 23:59:59";
    platform::Milliseconds answerTimeout{60000};
    bool adapterDisabled = false;
    std::optional<platform::Milliseconds> linkDrop;
    bool statusSilent = false;
    platform::Text address;
};

class Scenario {
  public:
    // No file: every profile behaves normally.
    Scenario() = default;
    // False (and `error`) when the file cannot be read.
    bool Load(const std::filesystem::path& file, std::string& error);
    ProfileScenario For(const platform::Text& profile) const;

  private:
    platform::Text Value(const platform::Text& profile, const char16_t* key) const;

    std::filesystem::path m_file;
};

// The tunnel address of a profile: in 2001:db8::/32, the same for the same name every time.
platform::Text ProfileAddress(const platform::Text& profile);
