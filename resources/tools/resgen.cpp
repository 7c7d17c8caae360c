// resgen: turns string data files (and binary files) into a C++ source defining a
// platform::ResourceTable. Runs at build time; see cmake/StringTable.cmake.
//
//   resgen --output <file.cpp> --language <id> (--symbol <name> | --export-table)
//          [--binary <kind>:<id>:<file>]... <file.txt>...
//
// --symbol defines `const platform::ResourceTable* <name>()`; --export-table defines the C symbol
// orvix_resource_table that a resource module exports.
//
// String files are UTF-8, one string a line: "<id><TAB><text>". Lines starting with '#' and
// blank lines are skipped; a UTF-8 byte order mark and CR line ends are accepted. The text
// knows the escapes \n \t \r and \\. A malformed line, an id given twice or text that is not
// UTF-8 stops the build with "file:line: message".
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Location {
    std::string file;
    std::size_t line = 0;
};

struct Entry {
    std::u32string text;
    Location where;
};

struct Binary {
    std::string kind;
    std::uint32_t id = 0;
    std::vector<unsigned char> data;
};

bool g_failed = false;

void report(const Location& where, const std::string& message) {
    std::fprintf(stderr, "%s:%zu: error: %s\n", where.file.c_str(), where.line, message.c_str());
    g_failed = true;
}

// Strict UTF-8 decoding; false on anything ill-formed.
bool decode_utf8(const std::string& in, std::u32string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size();) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        std::size_t len = b0 < 0x80         ? 1
                          : (b0 >> 5) == 6  ? 2
                          : (b0 >> 4) == 14 ? 3
                          : (b0 >> 3) == 30 ? 4
                                            : 0;
        if (len == 0 || i + len > in.size())
            return false;
        char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
        for (std::size_t j = 1; j < len; ++j) {
            const auto b = static_cast<unsigned char>(in[i + j]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        const char32_t min = len == 1 ? 0 : len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.push_back(cp);
        i += len;
    }
    return true;
}

bool parse_id(const std::string& s, std::uint32_t& id) {
    if (s.empty() || s.size() > 5)
        return false;
    std::uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (v > 0xFFFF) // string ids are 16-bit
        return false;
    id = v;
    return true;
}

void read_strings(const std::string& file, std::map<std::uint32_t, Entry>& table) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        report({file, 0}, "cannot open the file");
        return;
    }
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        const Location where{file, number};
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#')
            continue;
        const auto tab = line.find('\t');
        std::uint32_t id = 0;
        if (tab == std::string::npos) {
            report(where, "expected <id><TAB><text>");
            continue;
        }
        if (!parse_id(line.substr(0, tab), id)) {
            report(where, "the id must be a decimal number from 0 to 65535");
            continue;
        }
        std::u32string raw;
        if (!decode_utf8(line.substr(tab + 1), raw)) {
            report(where, "the text is not valid UTF-8");
            continue;
        }
        if (raw.find(U'\t') != std::u32string::npos || raw.find(U'\0') != std::u32string::npos) {
            report(where, "a TAB in the text is written \\t; NUL is not allowed");
            continue;
        }
        std::u32string text;
        bool ok = true;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != U'\\') {
                text.push_back(raw[i]);
                continue;
            }
            const char32_t next = i + 1 < raw.size() ? raw[i + 1] : 0;
            switch (next) {
            case U'n':
                text.push_back(U'\n');
                break;
            case U't':
                text.push_back(U'\t');
                break;
            case U'r':
                text.push_back(U'\r');
                break;
            case U'\\':
                text.push_back(U'\\');
                break;
            default:
                ok = false;
                break;
            }
            if (!ok)
                break;
            ++i;
        }
        if (!ok) {
            report(where, "unknown escape (use \\n \\t \\r or \\\\)");
            continue;
        }
        const auto [it, inserted] = table.emplace(id, Entry{std::move(text), where});
        if (!inserted) {
            std::ostringstream msg;
            msg << "id " << id << " is already defined at " << it->second.where.file << ":"
                << it->second.where.line;
            report(where, msg.str());
        }
    }
}

bool read_binary(const std::string& item, Binary& out) {
    // kind:id:file (the file may itself contain ':')
    const auto first = item.find(':');
    const auto second = first == std::string::npos ? first : item.find(':', first + 1);
    if (second == std::string::npos) {
        report({item, 0}, "a binary resource is given as <kind>:<id>:<file>");
        return false;
    }
    out.kind = item.substr(0, first);
    const std::string file = item.substr(second + 1);
    if (out.kind.empty() ||
        out.kind.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") != std::string::npos) {
        report({file, 0}, "a resource kind is written in capitals, for example HTML");
        return false;
    }
    if (!parse_id(item.substr(first + 1, second - first - 1), out.id)) {
        report({file, 0}, "the resource id must be a decimal number from 0 to 65535");
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        report({file, 0}, "cannot open the file");
        return false;
    }
    out.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// A UTF-16 literal for `text`: printable ASCII as it is, everything else escaped so that no
// escape can swallow the character after it.
std::string literal(const std::u32string& text) {
    std::string out = "u\"";
    char buf[16];
    for (const char32_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != U'"' && c != U'\\' && c != U'?') {
            out.push_back(static_cast<char>(c));
        } else if (c < 0xA0) {
            std::snprintf(buf, sizeof(buf), "\\%03o", static_cast<unsigned>(c));
            out += buf;
        } else if (c < 0x10000) {
            std::snprintf(buf, sizeof(buf), "\\u%04X", static_cast<unsigned>(c));
            out += buf;
        } else {
            std::snprintf(buf, sizeof(buf), "\\U%08X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    out += "\"";
    return out;
}

std::string c_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

bool is_identifier(const std::string& s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9'))
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

// Writes `content` to `path` unless it already holds exactly that (keeps rebuilds small).
bool write_if_changed(const std::string& path, const std::string& content) {
    {
        std::ifstream old(path, std::ios::binary);
        if (old) {
            const std::string existing((std::istreambuf_iterator<char>(old)),
                                       std::istreambuf_iterator<char>());
            if (existing == content)
                return true;
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        report({path, 0}, "cannot write the file");
        return false;
    }
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: resgen --output <file.cpp> --language <id> (--symbol <name> | "
                         "--export-table) [--binary <kind>:<id>:<file>]... <file.txt>...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string output, symbol;
    std::vector<std::string> inputs, binaries;
    std::uint32_t language = 0;
    bool have_language = false;
    bool export_table = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--output" && has_value) {
            output = argv[++i];
        } else if (arg == "--symbol" && has_value) {
            symbol = argv[++i];
        } else if (arg == "--binary" && has_value) {
            binaries.emplace_back(argv[++i]);
        } else if (arg == "--language" && has_value) {
            have_language = parse_id(argv[++i], language);
            if (!have_language)
                return usage();
        } else if (arg == "--export-table") {
            export_table = true;
        } else if (arg.rfind("--", 0) == 0) {
            return usage();
        } else {
            inputs.push_back(arg);
        }
    }
    if (output.empty() || !have_language || export_table == !symbol.empty())
        return usage();
    if (!symbol.empty() && !is_identifier(symbol)) {
        std::fprintf(stderr, "resgen: %s is no C++ identifier\n", symbol.c_str());
        return 2;
    }

    std::map<std::uint32_t, Entry> strings;
    for (const auto& file : inputs)
        read_strings(file, strings);
    std::vector<Binary> resources;
    for (const auto& item : binaries) {
        Binary b;
        if (read_binary(item, b))
            resources.push_back(std::move(b));
    }
    for (std::size_t i = 0; i < resources.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (resources[i].kind == resources[j].kind && resources[i].id == resources[j].id)
                report({binaries[i], 0}, "this kind and id are given twice");
        }
    }
    if (g_failed)
        return 1;

    std::ostringstream src;
    src << "// Generated by resgen from";
    for (const auto& file : inputs)
        src << " " << file;
    src << ". Edit the data files, not this file.\n";
    src << "#include \"platform/module.h\"\n\nnamespace {\n\n";
    src << "const platform::StringEntry kStrings[] = {\n";
    for (const auto& [id, entry] : strings)
        src << "    {" << id << "u, " << literal(entry.text) << "},\n";
    if (strings.empty())
        src << "    {0u, nullptr},\n"; // no zero-length arrays; the count below stays 0
    src << "};\n\n";
    for (std::size_t i = 0; i < resources.size(); ++i) {
        src << "const unsigned char kData" << i << "[] = {";
        const auto& data = resources[i].data;
        for (std::size_t k = 0; k < data.size(); ++k)
            src << (k % 20 == 0 ? "\n    " : " ") << static_cast<unsigned>(data[k]) << ",";
        if (data.empty())
            src << "0";
        src << "\n};\n";
    }
    src << "const platform::BinaryResource kResources[] = {\n";
    for (std::size_t i = 0; i < resources.size(); ++i) {
        src << "    {" << c_string(resources[i].kind) << ", " << resources[i].id << "u, kData" << i
            << ", " << resources[i].data.size() << "u},\n";
    }
    if (resources.empty())
        src << "    {nullptr, 0u, nullptr, 0u},\n";
    src << "};\n\n";
    src << "const platform::ResourceTable kTable = {\n    " << language << ", kStrings, "
        << strings.size() << "u, kResources, " << resources.size() << "u,\n};\n\n";
    src << "} // namespace\n\n";
    if (export_table) {
        src << "extern \"C\" __attribute__((visibility(\"default\"))) const "
               "platform::ResourceTable* "
               "orvix_resource_table() {\n    return &kTable;\n}\n";
    } else {
        src << "const platform::ResourceTable* " << symbol << "();\n";
        src << "const platform::ResourceTable* " << symbol << "() {\n    return &kTable;\n}\n";
    }
    if (!write_if_changed(output, src.str()))
        return 1;

    return 0;
}
