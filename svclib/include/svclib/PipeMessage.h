#pragma once
// The messages on the two service pipes: commands (library to service) and notifications
// (service to library). A message text is a sequence of lines, each ended by CR LF: the word,
// the fields, and one empty line at the end.
#include "interfaces/orvixsc_codes.h"
#include "platform/text.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The command codes (SCCMD_*) come from the library's interfaces (orvixsc_codes.h).

// The bytes of one message as it travels on a pipe: its byte count (32 bits, little-endian),
// then the text in UTF-16 little-endian. `announced` replaces the byte count of the prefix (what
// a peer that does not keep to the protocol might send).
std::vector<unsigned char> EncodeFrame(platform::TextView text,
                                       std::optional<std::uint32_t> announced = {});

// An automation boolean counts as true only when all its 16 low bits are set (VARIANT_TRUE).
constexpr bool IsAutomationTrue(std::int32_t value) {
    return (value & 0xFFFF) == 0xFFFF;
}

// The word of a command code; empty for a code outside the table.
platform::TextView SCCommandWord(std::uint32_t command);

// The text of a command: the word, the text argument when `text` is not null, the flag line
// ("FORCE" for CONNECT only when the flag is set; "ON"/"OFF" for LOG; "YES"/"NO" for ANSWER),
// and the closing empty line. The flag is an automation boolean (IsAutomationTrue).
platform::Text BuildCommandText(std::uint32_t command, const char16_t* text, std::int32_t flag);

// The connection settings block of SETCONFCONN (seven lines, no line break after the last).
struct SCConnectionSettings {
    platform::Text name;
    platform::Text user;
    platform::Text password;
    bool keepConnect = false;
    bool v6Conn = false;
    bool serverCertCheck = false;
    std::int32_t brokerNumber = 0;
};
platform::Text BuildConnectionSettingsBlock(const SCConnectionSettings& settings);

// The user settings block of SETCONFUSER (nine lines, no line break after the last).
struct SCUserSettings {
    std::int32_t x = 2147483647; // 2147483647: no position stored
    std::int32_t y = 2147483647;
    std::int32_t connSelect = 0;
    platform::Text proxyHost;
    std::uint16_t proxyPort = 0;
    bool proxyAuth = false;
    platform::Text proxyUser;
    platform::Text proxyPassword;
    std::int32_t dontShowWelcome = 0;
};
platform::Text BuildUserSettingsBlock(const SCUserSettings& settings);

// ---- Notifications ----------------------------------------------------------------------------

// Splits a received text into tokens at every run of CR and LF; empty lines give no token.
std::vector<platform::Text> SplitMessageTokens(platform::TextView text);

// A notification split into its word and the tokens after it (the first of them is the
// connection name).
struct SCNotification {
    platform::Text word;
    std::vector<platform::Text> args;
};
// Std::nullopt when the text holds no token at all.
std::optional<SCNotification> ParseNotification(platform::TextView text);

// The text of a notification: word, connection name, then each argument, each on its line, and
// the closing empty line.
platform::Text BuildNotificationText(platform::TextView word, platform::TextView name,
                                     std::span<const platform::Text> args = {});

// A message id token as an integer: optional blanks and sign, then decimal digits up to the
// first other character; text that is not a number gives 0; out-of-range values saturate at the
// 32-bit signed limits. The result is taken as unsigned.
std::uint32_t ParseMessageId(platform::TextView token);

// ---- Commands as the service reads them --------------------------------------------------------

// A command split into lines: the word and every field line up to the closing empty line, in
// place (an empty field keeps its position). A lone CR or LF also ends a line.
struct SCCommand {
    platform::Text word;
    std::vector<platform::Text> fields;
};
SCCommand ParseCommandText(platform::TextView text);

// Reads the settings blocks back from the field lines of SETCONFCONN and SETCONFUSER. False when
// lines are missing or a number is malformed.
bool ParseConnectionSettingsBlock(std::span<const platform::Text> fields,
                                  SCConnectionSettings& out);
bool ParseUserSettingsBlock(std::span<const platform::Text> fields, SCUserSettings& out);
