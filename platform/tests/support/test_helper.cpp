// A second process for the registry and window tests.
//   registry-set KEY NAME VALUE       writes a string below HKEY_CURRENT_USER
//   registry-get KEY NAME             prints the string (exit 1 when missing)
//   registry-fill KEY PREFIX N        writes the DWORDs PREFIX0..PREFIXn-1, one write each
//   message-id NAME                   prints the registered message id
//   serve TITLE                       creates a top-level target titled TITLE, prints "ready",
//                                     answers the registered message "OrvixTestPing" (sent) with
//                                     wparam + lparam, prints each posted WM_USER+n as "user n",
//                                     and ends with the WM_QUIT code
#include "platform/registry.h"
#include "platform/window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace platform;

namespace {

int registry_set(const char* key, const char* name, const char* value) {
    return registry_write_string(RegistryRoot::CurrentUser, to_text(key), to_text(name),
                                 to_text(value)) == ERROR_SUCCESS
               ? 0
               : 2;
}

int registry_get(const char* key, const char* name) {
    const auto value = registry_read_string(RegistryRoot::CurrentUser, to_text(key), to_text(name));
    if (!value)
        return 1;
    std::printf("%s\n", to_utf8(*value).c_str());
    return 0;
}

int registry_fill(const char* key, const char* prefix, int n) {
    RegistryKey k;
    if (RegistryKey::root(RegistryRoot::CurrentUser).create(to_text(key), k))
        return 2;
    for (int i = 0; i < n; ++i)
        if (k.set_dword(to_text(std::string(prefix) + std::to_string(i)),
                        static_cast<std::uint32_t>(i)))
            return 3;
    return 0;
}

int serve(const char* title) {
    const std::uint32_t ping = register_window_message(u"OrvixTestPing");
    Window w = Window::create(
        [ping](WindowHandle, std::uint32_t id, std::uintptr_t wparam,
               std::intptr_t lparam) -> std::intptr_t {
            if (id == ping)
                return static_cast<std::intptr_t>(wparam) + lparam;
            if (id > WM_USER && id < WM_USER + 100) {
                std::printf("user %u\n", id - WM_USER);
                std::fflush(stdout);
            }
            return 0;
        },
        to_text(title));
    if (!w)
        return 2;
    std::printf("ready\n");
    std::fflush(stdout);
    return run_message_loop();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 64;
    const std::string cmd = argv[1];
    if (cmd == "registry-set" && argc == 5)
        return registry_set(argv[2], argv[3], argv[4]);
    if (cmd == "registry-get" && argc == 4)
        return registry_get(argv[2], argv[3]);
    if (cmd == "registry-fill" && argc == 5)
        return registry_fill(argv[2], argv[3], std::atoi(argv[4]));
    if (cmd == "message-id" && argc == 3) {
        std::printf("%u\n", register_window_message(to_text(argv[2])));
        return 0;
    }
    if (cmd == "serve" && argc == 3)
        return serve(argv[2]);
    return 64;
}
