#pragma once
// The command line of orvixctl: global options, one command, its words and its options. Options
// may stand before or after the command, as "--name value" or "--name=value".
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct CtlCommandLine {
    std::string command;                        // empty with --help alone
    std::vector<std::string> words;             // after the command
    std::map<std::string, std::string> options; // "--wait" -> "5000"; flags -> ""
    bool help = false;

    bool has(const std::string& option) const { return options.count(option) != 0; }
    std::string value(const std::string& option) const {
        const auto it = options.find(option);
        return it == options.end() ? std::string() : it->second;
    }
};

// Parses argv[1..]. On a bad command line returns std::nullopt with the reason in `problem`.
std::optional<CtlCommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                               std::string& problem);

// Decimal number within [min, max], nothing else.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t min,
                                         std::uint64_t max);
// on/off, yes/no, true/false, 1/0.
std::optional<bool> ParseSwitch(const std::string& text);

extern const char kCtlHelpText[];
