// orvixctl: the tunnel from the command line, for users who script it and for support. It drives
// the service client library exactly as the tray application does (see CtlCommands.h).
#include "CtlCommands.h"

#include "platform/fs.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The folder of this program. The library looks for the language resource library below the
// current directory, which for an installed client is the program folder.
std::filesystem::path ProgramDirectory(const char* argv0) {
    std::error_code ec;
    const std::filesystem::path self(argv0 ? argv0 : "");
    if (self.has_parent_path())
        return std::filesystem::absolute(self, ec).parent_path();
    // Started by name: the first PATH entry holding it.
    const char* path = std::getenv("PATH");
    std::stringstream entries(path ? path : "");
    std::string entry;
    while (std::getline(entries, entry, ':')) {
        const std::filesystem::path candidate = std::filesystem::path(entry) / self;
        if (!entry.empty() && std::filesystem::is_regular_file(candidate, ec))
            return std::filesystem::absolute(candidate, ec).parent_path();
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    // A closed output ends a command through its write error, not through a signal.
    std::signal(SIGPIPE, SIG_IGN);

    std::string problem;
    const auto line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), problem);
    if (!line) {
        std::fprintf(stderr, "orvixctl: %s (see --help)\n", problem.c_str());
        return kExitUsage;
    }
    if (line->help) {
        std::fputs(kCtlHelpText, stdout);
        return kExitOk;
    }

    CtlSettings settings;
    std::error_code ec;
    settings.dir = line->has("--dir")
                       ? std::filesystem::absolute(line->value("--dir"), ec)
                       : platform::known_folder(platform::KnownFolder::ProgramFolder);
    settings.logName = line->value("--log");
    settings.noLog = line->has("--no-log");
    if (settings.noLog && !settings.logName.empty()) {
        std::fprintf(stderr, "orvixctl: --log and --no-log exclude each other (see --help)\n");
        return kExitUsage;
    }
    if (const std::filesystem::path programDir = ProgramDirectory(argv[0]); !programDir.empty())
        std::filesystem::current_path(programDir, ec);

    CtlStatus status = RunCommand(*line, settings, stdout);
    // Every object of the library is released by now.
    platform::free_unused_libraries();
    if (std::fflush(stdout) != 0 && status.ok())
        status = CtlStatus::Fail(kExitFailed, "standard output cannot be written");
    if (!status.ok())
        std::fprintf(stderr, "orvixctl: %s\n", status.message.c_str());
    return status.exitCode;
}
