#pragma once
// Text in memory is UTF-16. Conversions to and from UTF-8 and the "ANSI code page", and a
// printf-style formatter over UTF-16 with the Windows wide rules.
#include "platform/result.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

using Text = std::u16string;
using TextView = std::u16string_view;

// UTF-8 <-> UTF-16. Ill-formed input (bad UTF-8 sequences, unpaired surrogates) becomes U+FFFD;
// the conversions never fail.
Text utf8_to_utf16(std::string_view utf8);
std::string utf16_to_utf8(TextView utf16);
// UTF-16 little-endian bytes, as the log writer stores text, to text; an odd last byte is
// dropped.
Text utf16le_to_text(std::string_view bytes);

// The "ANSI code page": UTF-8 unless the environment variable ORVIX_ANSI_CHARSET names another
// iconv charset (for example CP932). Read once per process.
const std::string& ansi_charset();

// Converts to the ANSI code page. Characters the charset cannot hold become '?' and the result's
// `lossless` is false. Returns std::nullopt only when the charset itself is unusable.
struct AnsiResult {
    std::string text;
    bool lossless = true;
};
std::optional<AnsiResult> utf16_to_ansi(TextView text);
// Converts from the ANSI code page; undecodable bytes become U+FFFD (`lossless` false).
struct WideResult {
    Text text;
    bool lossless = true;
};
std::optional<WideResult> ansi_to_utf16(std::string_view text);

// Same conversions for an explicit charset (tests, tools).
std::optional<AnsiResult> utf16_to_charset(TextView text, const std::string& charset);
std::optional<WideResult> charset_to_utf16(std::string_view text, const std::string& charset);

// ---- Formatting -------------------------------------------------------------------------------
// One argument of a format call. A null string argument formats as "(null)".
class FormatArg {
  public:
    enum class Kind { String, Signed, Unsigned };
    FormatArg(const char16_t* s) : kind_(Kind::String), str_(s) {}
    FormatArg(const Text& s) : kind_(Kind::String), str_(s.c_str()) {}
    FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}

    Kind kind() const { return kind_; }
    const char16_t* string() const { return str_; }
    std::int64_t as_signed() const {
        return kind_ == Kind::Unsigned ? static_cast<std::int64_t>(u_) : i_;
    }
    std::uint64_t as_unsigned() const {
        return kind_ == Kind::Signed ? static_cast<std::uint64_t>(i_) : u_;
    }

  private:
    Kind kind_;
    const char16_t* str_ = nullptr;
    std::int64_t i_ = 0;
    std::uint64_t u_ = 0;
};

// Formats `format` with `args`. Conversions: %s (UTF-16 string), %d %i %u %x %X %c, the
// length prefixes l/ll/h/w (%ls and %ws take UTF-16 strings too), flags '-' '0' ' ' '+' '#',
// width and precision (digits, at most 65536; '*' is not supported), and %%. %d/%u/%x print the
// argument as the 32-bit value a Windows caller passes unless the l-prefix asks for long (still 32
// bits on Windows) or ll (64 bits). Fails (returns std::nullopt) when the format asks for more
// arguments than given, when an argument's kind does not fit its conversion (%s with a number or %d
// with a string), or on an unknown conversion. Never reads past `args`.
std::optional<Text> vformat(TextView format, std::span<const FormatArg> args);

template <typename... Args> std::optional<Text> format(TextView format, Args&&... args) {
    const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
    return vformat(format, std::span<const FormatArg>(list, sizeof...(Args)));
}

// How many arguments `format` consumes (std::nullopt for an invalid format).
std::optional<std::size_t> count_format_args(TextView format);

// Helpers for literal-free code paths.
inline Text to_text(std::string_view utf8) {
    return utf8_to_utf16(utf8);
}
inline std::string to_utf8(TextView text) {
    return utf16_to_utf8(text);
}

} // namespace platform
