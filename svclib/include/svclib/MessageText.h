#pragma once
// Service message texts: the language resource library and the formatting of the message ids
// that INFORMATION and QUERY notifications carry.
#include "platform/module.h"
#include "platform/text.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

// The language resource library on this platform: <folder>/<language id>/orvixres.so.
inline constexpr char kLanguageModuleFileName[] = "orvixres.so";

// Looks for the language resource library below `directory` and loads the first that loads:
// the user's UI language `uiLanguage`, then its primary language (masked with 0x3FF); the same
// two for 1033; then, for every sub-folder whose name is decimal digits only (in name order),
// that number and its primary language. Null when none loads.
std::shared_ptr<platform::ResourceModule> LoadLanguageModule(const std::filesystem::path& directory,
                                                             std::uint16_t uiLanguage);
// The same below the process's current directory with the user's default UI language.
std::shared_ptr<platform::ResourceModule> LoadLanguageModule();

// The message text `id` as a string lookup with room for 256 characters gives it (at most 255
// characters): from `module` when given, else from the program's own string table. Empty when
// missing.
platform::Text LoadMessageText(const platform::ResourceModule* module, std::uint32_t id);

// A formatted message: the id and the text.
struct SCMessageText {
    std::uint32_t msgId = 0;
    platform::Text text;
};

// Formats the tokens of an INFORMATION or QUERY notification after the connection name: the
// message id, then up to four arguments for the text's "%s" fields, in order. With five or more
// arguments the text is empty. The text always passes through the formatter, so "%%" becomes
// "%"; a field without an argument is filled with the empty text. Std::nullopt when there is no
// id token.
std::optional<SCMessageText> FormatInformation(const platform::ResourceModule* module,
                                               std::span<const platform::Text> args);
