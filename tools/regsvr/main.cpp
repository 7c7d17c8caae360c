// orvixregsvr: loads an in-process server library and calls its DllRegisterServer (or, with /u,
// DllUnregisterServer), as the installer and the uninstaller do.
#include "platform/com.h"
#include "platform/text.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

const char kUsageText[] =
    "Usage: orvixregsvr [/u] [/s] LIBRARY\n"
    "  Registers the in-process server LIBRARY in the registry\n"
    "  (ORVIX_REGISTRY_DIR), or removes its entries with /u.\n"
    "  /s  prints nothing.\n"
    "Exit codes: 0 done, 1 the library did not load or lacks the entry point,\n"
    "            2 the entry point failed, 3 wrong arguments.\n";

enum ExitCode { kDone = 0, kNotLoaded = 1, kEntryFailed = 2, kBadArguments = 3 };

bool IsOption(const std::string& arg, char letter) {
    return arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') &&
           (arg[1] == letter || arg[1] == letter - 'a' + 'A');
}

} // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool silent = false;
    std::string library;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "/?") {
            std::fputs(kUsageText, stdout);
            return kDone;
        }
        if (IsOption(arg, 'u')) {
            unregister = true;
        } else if (IsOption(arg, 's')) {
            silent = true;
        } else if (library.empty() && !arg.empty()) {
            // Anything but the two switches is the library (a path may begin with '/').
            library = arg;
        } else {
            std::fputs(kUsageText, stderr);
            return kBadArguments;
        }
    }
    if (library.empty()) {
        std::fputs(kUsageText, stderr);
        return kBadArguments;
    }

    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(library, ec);
    const platform::HRESULT hr =
        platform::register_server(ec ? std::filesystem::path(library) : path, unregister);
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    const unsigned code = static_cast<unsigned>(hr);
    if (platform::succeeded(hr)) {
        if (!silent)
            std::printf("%s in %s succeeded.\n", entry, library.c_str());
        return kDone;
    }
    // Loading failures come as system errors or CO_E_ERRORINDLL (no entry point).
    const bool notLoaded = (code & 0xFFFF0000u) == 0x80070000u || hr == platform::CO_E_ERRORINDLL;
    if (!silent) {
        if (notLoaded)
            std::fprintf(stderr, "orvixregsvr: %s could not be loaded or has no %s [E%08x]\n",
                         library.c_str(), entry, code);
        else
            std::fprintf(stderr, "orvixregsvr: %s in %s failed [E%08x]\n", entry, library.c_str(),
                         code);
    }
    return notLoaded ? kNotLoaded : kEntryFailed;
}
