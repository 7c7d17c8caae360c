#include "platform/text.h"

#include <cerrno>
#include <cstdlib>
#include <iconv.h>

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf16(Text& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes UTF-8; each maximal ill-formed subpart becomes one U+FFFD (the Unicode recommended
// practice). `well_formed` turns false when a replacement was made.
Text decode_utf8(std::string_view in, bool& well_formed) {
    Text out;
    out.reserve(in.size());
    well_formed = true;
    std::size_t i = 0;
    const std::size_t n = in.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0)
                lo = 0xA0;
            else if (b0 == 0xED)
                hi = 0x9F; // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0)
                lo = 0x90;
            else if (b0 == 0xF4)
                hi = 0x8F;
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            well_formed = false;
            ++i;
            continue;
        }
        std::size_t j = 1;
        for (; j < len && i + j < n; ++j) {
            const auto b = static_cast<unsigned char>(in[i + j]);
            const unsigned char min = j == 1 ? lo : 0x80;
            const unsigned char max = j == 1 ? hi : 0xBF;
            if (b < min || b > max)
                break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (j == len) {
            append_utf16(out, cp);
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            well_formed = false;
        }
        i += j;
    }
    return out;
}

std::string encode_utf8(TextView in, bool& well_formed) {
    std::string out;
    out.reserve(in.size() * 3 / 2);
    well_formed = true;
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
            well_formed = false;
        }
        append_utf8(out, c);
    }
    return out;
}

bool is_utf8_name(const std::string& charset) {
    std::string n;
    for (char c : charset) {
        if (c == '-' || c == '_')
            continue;
        n.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    }
    return n == "UTF8";
}

class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (valid())
            iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `in`. An input sequence the target cannot hold (or the source cannot decode) is
    // skipped by `skip(rest)` bytes and replaced by `replacement`, which is converted like input
    // when `convert_replacement` (it is then in the source charset) and else appended as it is.
    template <typename Skip>
    std::string run(std::string_view in, std::string_view replacement, bool convert_replacement,
                    Skip skip, bool& lossless) {
        lossless = true;
        std::string out;
        char buf[1024];
        char* inp = const_cast<char*>(in.data());
        std::size_t inleft = in.size();
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        while (inleft > 0) {
            char* outp = buf;
            std::size_t outleft = sizeof(buf);
            const std::size_t r = iconv(cd_, &inp, &inleft, &outp, &outleft);
            out.append(buf, static_cast<std::size_t>(outp - buf));
            if (r != static_cast<std::size_t>(-1) || errno == E2BIG)
                continue;
            lossless = false;
            if (errno != EILSEQ && errno != EINVAL) // EINVAL: incomplete sequence at the end
                break;
            std::size_t n = skip(std::string_view(inp, inleft));
            if (n == 0 || n > inleft)
                n = 1;
            inp += n;
            inleft -= n;
            if (!convert_replacement) {
                out.append(replacement);
                continue;
            }
            char* rp = const_cast<char*>(replacement.data());
            std::size_t rl = replacement.size();
            outp = buf;
            outleft = sizeof(buf);
            if (iconv(cd_, &rp, &rl, &outp, &outleft) != static_cast<std::size_t>(-1))
                out.append(buf, static_cast<std::size_t>(outp - buf));
        }
        for (;;) { // return to the initial shift state
            char* outp = buf;
            std::size_t outleft = sizeof(buf);
            const std::size_t r = iconv(cd_, nullptr, nullptr, &outp, &outleft);
            out.append(buf, static_cast<std::size_t>(outp - buf));
            if (r != static_cast<std::size_t>(-1) || errno != E2BIG)
                break;
        }
        return out;
    }

  private:
    iconv_t cd_;
};

std::size_t utf8_sequence_length(std::string_view s) {
    if (s.empty())
        return 0;
    const auto b = static_cast<unsigned char>(s[0]);
    std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return len <= s.size() ? len : s.size();
}

} // namespace

Text utf8_to_utf16(std::string_view utf8) {
    bool ok = true;
    return decode_utf8(utf8, ok);
}

std::string utf16_to_utf8(TextView utf16) {
    bool ok = true;
    return encode_utf8(utf16, ok);
}

Text utf16le_to_text(std::string_view bytes) {
    Text text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return text;
}

const std::string& ansi_charset() {
    static const std::string charset = [] {
        const char* env = std::getenv("ORVIX_ANSI_CHARSET");
        return std::string(env != nullptr && *env != '\0' ? env : "UTF-8");
    }();
    return charset;
}

std::optional<AnsiResult> utf16_to_charset(TextView text, const std::string& charset) {
    AnsiResult result;
    bool well_formed = true;
    std::string utf8 = encode_utf8(text, well_formed);
    if (is_utf8_name(charset)) {
        result.text = std::move(utf8);
        result.lossless = well_formed;
        return result;
    }
    Iconv cd(charset.c_str(), "UTF-8");
    if (!cd.valid())
        return std::nullopt;
    bool lossless = true;
    result.text = cd.run(utf8, "?", true, utf8_sequence_length, lossless);
    result.lossless = lossless && well_formed;
    return result;
}

std::optional<WideResult> charset_to_utf16(std::string_view text, const std::string& charset) {
    WideResult result;
    bool well_formed = true;
    if (is_utf8_name(charset)) {
        result.text = decode_utf8(text, well_formed);
        result.lossless = well_formed;
        return result;
    }
    Iconv cd("UTF-8", charset.c_str());
    if (!cd.valid())
        return std::nullopt;
    bool lossless = true;
    const std::string utf8 = cd.run(
        text, "\xEF\xBF\xBD", false, [](std::string_view) -> std::size_t { return 1; }, lossless);
    result.text = decode_utf8(utf8, well_formed);
    result.lossless = lossless && well_formed;
    return result;
}

std::optional<AnsiResult> utf16_to_ansi(TextView text) {
    return utf16_to_charset(text, ansi_charset());
}

std::optional<WideResult> ansi_to_utf16(std::string_view text) {
    return charset_to_utf16(text, ansi_charset());
}

// ---- Formatting -------------------------------------------------------------------------------

namespace {

// Widths and precisions beyond this are refused rather than allocating without bound.
constexpr std::size_t kMaxFieldWidth = 65536;

enum class Length { Default, Short, Long, LongLong, Wide };

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    std::size_t width = 0;
    std::optional<std::size_t> precision;
    Length length = Length::Default;
    char16_t conv = 0; // 0 for a literal '%'
};

bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool parse_number(TextView f, std::size_t& i, std::size_t& value) {
    value = 0;
    while (i < f.size() && is_digit(f[i])) {
        value = value * 10 + static_cast<std::size_t>(f[i] - u'0');
        if (value > kMaxFieldWidth)
            return false;
        ++i;
    }
    return true;
}

// Parses the conversion after the '%' at f[i - 1]; on success `i` is past it.
bool parse_conversion(TextView f, std::size_t& i, Conversion& c) {
    for (; i < f.size(); ++i) {
        const char16_t ch = f[i];
        if (ch == u'-')
            c.left = true;
        else if (ch == u'0')
            c.zero = true;
        else if (ch == u'+')
            c.plus = true;
        else if (ch == u' ')
            c.space = true;
        else if (ch == u'#')
            c.alt = true;
        else
            break;
    }
    if (!parse_number(f, i, c.width))
        return false;
    if (i < f.size() && f[i] == u'.') {
        ++i;
        std::size_t p = 0;
        if (!parse_number(f, i, p))
            return false;
        c.precision = p;
    }
    if (i < f.size() && f[i] == u'h') {
        c.length = Length::Short;
        ++i;
    } else if (i < f.size() && f[i] == u'w') {
        c.length = Length::Wide; // %ws, %wc: explicitly wide
        ++i;
    } else if (i < f.size() && f[i] == u'l') {
        ++i;
        c.length = Length::Long;
        if (i < f.size() && f[i] == u'l') {
            c.length = Length::LongLong;
            ++i;
        }
    }
    if (i >= f.size())
        return false;
    const char16_t conv = f[i++];
    switch (conv) {
    case u'%':
        // only the plain "%%" is a literal percent sign
        return c.length == Length::Default && !c.left && !c.zero && !c.plus && !c.space && !c.alt &&
               c.width == 0 && !c.precision;
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X':
        if (c.length == Length::Wide)
            return false;
        c.conv = conv;
        return true;
    case u's':
    case u'c':
        // %hs and %hc would take narrow text, which no caller passes
        if (c.length == Length::Short || c.length == Length::LongLong)
            return false;
        c.conv = conv;
        return true;
    default:
        return false;
    }
}

void pad(Text& out, std::size_t count, char16_t fill) {
    out.append(count, fill);
}

void emit_field(Text& out, const Conversion& c, TextView body) {
    const std::size_t fill = c.width > body.size() ? c.width - body.size() : 0;
    if (!c.left)
        pad(out, fill, u' ');
    out.append(body);
    if (c.left)
        pad(out, fill, u' ');
}

void emit_integer(Text& out, const Conversion& c, const FormatArg& arg) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (c.conv == u'd' || c.conv == u'i') {
        std::int64_t v = arg.as_signed();
        if (c.length == Length::Short)
            v = static_cast<std::int16_t>(v);
        else if (c.length != Length::LongLong)
            v = static_cast<std::int32_t>(v);
        negative = v < 0;
        magnitude = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    } else {
        magnitude = arg.as_unsigned();
        if (c.length == Length::Short)
            magnitude = static_cast<std::uint16_t>(magnitude);
        else if (c.length != Length::LongLong)
            magnitude = static_cast<std::uint32_t>(magnitude);
    }

    const bool hex = c.conv == u'x' || c.conv == u'X';
    const char* digits_set = c.conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t digits[24];
    std::size_t n = 0;
    for (std::uint64_t v = magnitude; v != 0; v /= hex ? 16 : 10)
        digits[n++] = static_cast<char16_t>(digits_set[v % (hex ? 16 : 10)]);
    // precision 0 with the value 0 prints no digits
    const std::size_t min_digits = c.precision ? *c.precision : 1;

    Text prefix;
    if (negative)
        prefix = u"-";
    else if (!hex && c.conv != u'u' && c.plus)
        prefix = u"+";
    else if (!hex && c.conv != u'u' && c.space)
        prefix = u" ";
    else if (hex && c.alt && magnitude != 0)
        prefix = c.conv == u'X' ? u"0X" : u"0x";

    std::size_t zeros = min_digits > n ? min_digits - n : 0;
    const std::size_t used = prefix.size() + zeros + n;
    std::size_t fill = c.width > used ? c.width - used : 0;
    const bool zero_pad = c.zero && !c.left && !c.precision;
    if (zero_pad) {
        zeros += fill;
        fill = 0;
    }
    if (!c.left)
        pad(out, fill, u' ');
    out.append(prefix);
    pad(out, zeros, u'0');
    while (n > 0)
        out.push_back(digits[--n]);
    if (c.left)
        pad(out, fill, u' ');
}

} // namespace

std::optional<Text> vformat(TextView format, std::span<const FormatArg> args) {
    Text out;
    out.reserve(format.size() + 16);
    std::size_t next_arg = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const char16_t ch = format[i++];
        if (ch != u'%') {
            out.push_back(ch);
            continue;
        }
        Conversion c;
        if (!parse_conversion(format, i, c))
            return std::nullopt;
        if (c.conv == 0) {
            out.push_back(u'%');
            continue;
        }
        if (next_arg >= args.size())
            return std::nullopt;
        const FormatArg& arg = args[next_arg++];
        if (c.conv == u's') {
            if (arg.kind() != FormatArg::Kind::String)
                return std::nullopt;
            TextView s = arg.string() != nullptr ? TextView(arg.string()) : TextView(u"(null)");
            if (c.precision && *c.precision < s.size())
                s = s.substr(0, *c.precision);
            emit_field(out, c, s);
        } else if (c.conv == u'c') {
            if (arg.kind() == FormatArg::Kind::String)
                return std::nullopt;
            const char16_t unit = static_cast<char16_t>(arg.as_unsigned() & 0xFFFF);
            emit_field(out, c, TextView(&unit, 1));
        } else {
            if (arg.kind() == FormatArg::Kind::String)
                return std::nullopt;
            emit_integer(out, c, arg);
        }
    }
    return out;
}

std::optional<std::size_t> count_format_args(TextView format) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        if (format[i++] != u'%')
            continue;
        Conversion c;
        if (!parse_conversion(format, i, c))
            return std::nullopt;
        if (c.conv != 0)
            ++count;
    }
    return count;
}

} // namespace platform
