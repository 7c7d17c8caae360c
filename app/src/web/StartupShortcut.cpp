#include "app/web/StartupShortcut.h"

#include "platform/process.h"

#include <mutex>

using platform::Text;
using platform::TextView;

namespace {

std::mutex g_handler_lock;
ShortcutMessageFn g_handler;

void show_message(const Text& message) {
    ShortcutMessageFn handler;
    {
        std::lock_guard<std::mutex> guard(g_handler_lock);
        handler = g_handler;
    }
    if (handler)
        handler(message);
}

// Value escapes of a desktop entry string: backslash, newline, tab and carriage return.
std::string escape_value(const std::string& value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// One argument of an Exec line: quoted when it holds a reserved character, with '"', '`', '$'
// and '\' escaped inside the quotes; '%' doubled (field codes).
std::string exec_argument(const std::string& arg) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = arg.empty() || arg.find_first_of(reserved) != std::string::npos;
    std::string out;
    if (quote)
        out += '"';
    for (const char c : arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        out += c;
        if (c == '%')
            out += '%';
    }
    if (quote)
        out += '"';
    return out;
}

std::filesystem::path common_startup_folder() {
    const auto folder = platform::known_folder(platform::KnownFolder::CommonStartup);
    platform::create_directories(folder); // asked for with its creation allowed
    return folder;
}

} // namespace

void SetShortcutMessageHandler(ShortcutMessageFn handler) {
    std::lock_guard<std::mutex> guard(g_handler_lock);
    g_handler = std::move(handler);
}

std::filesystem::path ShortcutPath(const std::filesystem::path& folder, TextView name) {
    if (name.empty() || name == u"." || name == u".." || name.find(u'/') != TextView::npos ||
        name.find(u'\\') != TextView::npos || name.find(u'\0') != TextView::npos)
        return {};
    return folder / (platform::utf16_to_utf8(name) + ".desktop");
}

std::string DesktopEntryText(TextView target, TextView name, TextView arguments) {
    const std::filesystem::path program = platform::to_path(target);
    std::string exec = exec_argument(program.string());
    for (const Text& arg : platform::split_command_line(arguments))
        exec += ' ' + exec_argument(platform::utf16_to_utf8(arg));
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Version=1.0\n";
    text += "Name=" + escape_value(platform::utf16_to_utf8(name)) + "\n";
    text += "Exec=" + escape_value(exec) + "\n";
    const std::filesystem::path dir = program.parent_path();
    if (!dir.empty())
        text += "Path=" + escape_value(dir.string()) + "\n";
    text += "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n";
    return text;
}

bool CreateShortcut(TextView target, TextView folder, TextView name, TextView arguments) {
    if (target.empty() || folder.empty() || name.empty())
        return false;
    const std::filesystem::path path = ShortcutPath(platform::to_path(folder), name);
    bool ok = false;
    if (!path.empty()) {
        const std::string text = DesktopEntryText(target, name, arguments);
        ok = platform::replace_file_contents(path, text.data(), text.size()) == 0;
    }
    if (!ok)
        show_message(u"shortcut create error!");
    return ok;
}

bool StartupShortcutExists(TextView name) {
    const std::filesystem::path path = ShortcutPath(common_startup_folder(), name);
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec) &&
           !std::filesystem::is_directory(path, ec);
}

bool CreateStartupShortcut(TextView target, TextView name, TextView arguments) {
    if (StartupShortcutExists(name))
        return true;
    return CreateShortcut(target, platform::from_path(common_startup_folder()), name, arguments);
}

bool DeleteStartupShortcut(TextView name) {
    const std::filesystem::path path = ShortcutPath(common_startup_folder(), name);
    if (path.empty())
        return true;
    std::error_code ec;
    return !std::filesystem::remove(path, ec);
}

bool RemoveShortcut(platform::KnownFolder folderKind, TextView name) {
    const auto folder = platform::known_folder(folderKind);
    platform::create_directories(folder);
    const std::filesystem::path path = ShortcutPath(folder, name);
    if (path.empty())
        return false;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return !ec;
}
