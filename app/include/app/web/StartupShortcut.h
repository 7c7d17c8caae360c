#pragma once
// Start-up shortcuts: the tray client starts with the desktop session through an autostart entry
// (a ".desktop" file) in the all-users or per-user start-up folder, named after the application
// title and pointing at the program with its working directory and arguments.
#include "platform/fs.h"
#include "platform/text.h"

#include <filesystem>
#include <functional>

// "<folder>/<name>.desktop". Empty when `name` cannot be a file name (empty, "." or "..", or
// holding a path separator).
std::filesystem::path ShortcutPath(const std::filesystem::path& folder, platform::TextView name);

// True when the all-users start-up folder holds the shortcut `name`.
bool StartupShortcutExists(platform::TextView name);
// True when the shortcut exists afterwards; an existing one is left untouched.
bool CreateStartupShortcut(platform::TextView target, platform::TextView name,
                           platform::TextView arguments = {});
// Deletes the all-users shortcut `name`. True when the deletion failed, also when there was
// nothing to delete; false when a shortcut was removed.
bool DeleteStartupShortcut(platform::TextView name);
// Deletes the shortcut `name` in the start-up folder `folder` of the current user or of all
// users (the uninstall helper removes the per-user one). True when a shortcut was removed or
// there was none.
bool RemoveShortcut(platform::KnownFolder folder, platform::TextView name);

// Writes the shortcut `name` in `folder` pointing at `target` (working directory: the target's
// folder) with the optional argument text (a command line, split by the Windows rules). True
// when the file was written. A failure is shown through the message handler.
bool CreateShortcut(platform::TextView target, platform::TextView folder, platform::TextView name,
                    platform::TextView arguments = {});

// The message box of a failed creation ("shortcut create error!"). The tray application installs
// its own; without one the message is not shown.
using ShortcutMessageFn = std::function<void(const platform::Text& message)>;
void SetShortcutMessageHandler(ShortcutMessageFn handler);

// The text of a desktop entry for `target` (exposed for tests and tools).
std::string DesktopEntryText(platform::TextView target, platform::TextView name,
                             platform::TextView arguments);
