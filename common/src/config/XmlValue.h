#pragma once
// Value conventions shared by the records of the configuration files: every value is the text
// of one child element; an empty text keeps the value; numbers are read as the C library's
// wide-string-to-long conversion reads them (32-bit long) after trimming; flags compare the
// trimmed text case-sensitively with their "on" word.
#include "common/config/XMLConfigFile.h"

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace orvix::config {

// Leading and trailing white space (space, tab, line feed, vertical tab, form feed, carriage
// return) removed.
platform::TextView Trim(platform::TextView text);
// Optional sign and decimal digits, stopping at the first other character; 0 when no digit
// comes first; clamped to the 32-bit range as a 32-bit long conversion is.
std::int32_t ParseLong(platform::TextView text);

// The text of child `name` of `parent` (created when missing); std::nullopt when the child
// could not be had.
std::optional<platform::Text> ReadChild(CXMLElement& parent, const char16_t* name);
// Sets the text of child `name` (created when missing). False when the child could not be had.
bool WriteChild(CXMLElement& parent, const char16_t* name, platform::TextView text);

// Typed readers: false only when the child could not be had; an empty text keeps `value`.
bool ReadText(CXMLElement& parent, const char16_t* name, platform::Text& value);
bool ReadInt(CXMLElement& parent, const char16_t* name, int& value);
bool ReadUnsigned(CXMLElement& parent, const char16_t* name, std::uint32_t& value);
// 1 when the trimmed text equals `on`, else 0.
bool ReadFlag(CXMLElement& parent, const char16_t* name, const char16_t* on, int& value);

bool WriteInt(CXMLElement& parent, const char16_t* name, int value);
bool WriteUnsigned(CXMLElement& parent, const char16_t* name, std::uint32_t value);
// `on` for a value of 1, `off` for any other.
bool WriteFlag(CXMLElement& parent, const char16_t* name, int value, const char16_t* on,
               const char16_t* off);

// Elements whose text is a secret: never shown in clear in a log line.
bool IsSecretElement(platform::TextView name);
// `xml` with the text of every secret element replaced by "***".
platform::Text MaskSecrets(platform::TextView xml);

} // namespace orvix::config

namespace orvix::config {

// One record of a file under its own child of the root, with the warning texts for a missing
// child and for a failed exchange.
struct RecordPart {
    const char16_t* tag;
    CXMLExchangeData& record;
    const char16_t* tagError;
    const char16_t* dataError;
};
// Each part's child of `root` (created when missing) and the record's FromXML / ToXML, in
// order, stopping at the first failure, which is logged as a warning. 1 or 0.
int ReadParts(CXMLElement& root, std::initializer_list<RecordPart> parts);
int WriteParts(CXMLElement& root, std::initializer_list<RecordPart> parts);

} // namespace orvix::config
