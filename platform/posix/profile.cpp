// INI profile reading with the rules of GetPrivateProfileString.
#include "platform/fs.h"

namespace platform {

namespace {

// Profile files are small; a larger one is read up to this size only.
constexpr std::size_t kMaxProfileBytes = 16u * 1024u * 1024u;

Text decode_profile(const std::vector<std::uint8_t>& bytes) {
    const std::size_t n = bytes.size();
    if (n >= 2 &&
        ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        const bool little = bytes[0] == 0xFF;
        Text out;
        out.reserve(n / 2);
        for (std::size_t i = 2; i + 1 < n; i += 2) {
            const unsigned lo = little ? bytes[i] : bytes[i + 1];
            const unsigned hi = little ? bytes[i + 1] : bytes[i];
            out.push_back(static_cast<char16_t>(lo | (hi << 8)));
        }
        return out;
    }
    std::string_view utf8(reinterpret_cast<const char*>(bytes.data()), n);
    if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF")
        utf8.remove_prefix(3);
    return utf8_to_utf16(utf8);
}

bool is_blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

TextView trim(TextView s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

char16_t ascii_lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool equals_ignoring_ascii_case(TextView a, TextView b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

// The value of `key` in `section`, when present.
std::optional<TextView> find_value(TextView content, TextView section, TextView key) {
    bool in_section = false;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find_first_of(u"\r\n", pos);
        if (end == TextView::npos)
            end = content.size();
        const TextView line = trim(content.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == u';')
            continue;
        if (line.front() == u'[') {
            TextView name = line.substr(1);
            const auto close = name.find(u']');
            if (close != TextView::npos)
                name = name.substr(0, close);
            in_section = equals_ignoring_ascii_case(trim(name), section);
            continue;
        }
        if (!in_section)
            continue;
        const auto eq = line.find(u'=');
        if (eq == TextView::npos || !equals_ignoring_ascii_case(trim(line.substr(0, eq)), key))
            continue;
        TextView value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

Text truncated(TextView text, std::size_t max_chars) {
    if (max_chars == 0)
        return Text();
    std::size_t n = std::min(text.size(), max_chars - 1);
    // never end on the first half of a surrogate pair
    if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
        --n;
    return Text(text.substr(0, n));
}

} // namespace

Text read_profile_string(const std::filesystem::path& path, TextView section, TextView key,
                         TextView default_value, std::size_t max_chars) {
    if (section.empty() || key.empty())
        return truncated(default_value, max_chars);
    File file =
        File::open(path, FileAccess::Read, FileDisposition::OpenExisting, FileShare::Shared);
    if (!file.is_open())
        return truncated(default_value, max_chars);
    std::vector<std::uint8_t> bytes;
    const std::uint32_t rc = file.read_all(bytes, kMaxProfileBytes);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
        return truncated(default_value, max_chars);
    const Text content = decode_profile(bytes);
    const auto value = find_value(content, section, key);
    return truncated(value ? *value : default_value, max_chars);
}

} // namespace platform
