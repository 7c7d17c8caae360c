#include "svclib/MessageText.h"

#include "platform/fs.h"
#include "svclib/PipeMessage.h"

#include <string>
#include <vector>

using platform::Text;

namespace {

constexpr std::size_t kMessageRoom = 256;
constexpr std::size_t kMaxArguments = 4;

std::shared_ptr<platform::ResourceModule> TryLanguage(const std::filesystem::path& directory,
                                                      unsigned language) {
    const std::filesystem::path path =
        directory / std::to_string(language) / kLanguageModuleFileName;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return nullptr;
    return platform::ResourceModule::load(path);
}

// The two tries for one language: itself, then its primary language.
std::shared_ptr<platform::ResourceModule> TryLanguagePair(const std::filesystem::path& directory,
                                                          unsigned language) {
    if (auto module = TryLanguage(directory, language))
        return module;
    return TryLanguage(directory, language & 0x3FF);
}

bool AllDigits(const std::string& name) {
    if (name.empty())
        return false;
    for (char c : name) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

std::shared_ptr<platform::ResourceModule> LoadLanguageModule(const std::filesystem::path& directory,
                                                             std::uint16_t uiLanguage) {
    if (auto module = TryLanguagePair(directory, uiLanguage))
        return module;
    if (auto module = TryLanguagePair(directory, 1033))
        return module;
    std::vector<platform::DirEntry> entries;
    if (platform::list_directory(directory, entries) != platform::ERROR_SUCCESS)
        return nullptr;
    for (const platform::DirEntry& entry : entries) {
        const std::string name = entry.path.filename().string();
        if (!entry.is_directory || !AllDigits(name) || name.size() > 9)
            continue;
        if (auto module = TryLanguagePair(directory, static_cast<unsigned>(std::stoul(name))))
            return module;
    }
    return nullptr;
}

std::shared_ptr<platform::ResourceModule> LoadLanguageModule() {
    return LoadLanguageModule(platform::known_folder(platform::KnownFolder::CurrentDirectory),
                              platform::user_default_ui_language());
}

Text LoadMessageText(const platform::ResourceModule* module, std::uint32_t id) {
    Text text = module ? module->string(id) : platform::load_string(id);
    if (text.size() >= kMessageRoom)
        text.resize(kMessageRoom - 1);
    return text;
}

std::optional<SCMessageText> FormatInformation(const platform::ResourceModule* module,
                                               std::span<const Text> args) {
    if (args.empty())
        return std::nullopt;
    SCMessageText out;
    out.msgId = ParseMessageId(args[0]);
    const std::span<const Text> values = args.subspan(1);
    if (values.size() > kMaxArguments)
        return out; // more arguments than any message takes: nothing to show
    const Text format = LoadMessageText(module, out.msgId);
    if (format.empty())
        return out;

    // Fields beyond the arguments given are filled with the empty text rather than read from
    // nowhere.
    const std::size_t wanted = platform::count_format_args(format).value_or(values.size());
    std::vector<platform::FormatArg> list;
    static const char16_t kEmpty[] = u"";
    for (std::size_t i = 0; i < std::max(wanted, values.size()); ++i)
        list.emplace_back(i < values.size() ? values[i].c_str() : kEmpty);
    if (auto text = platform::vformat(format, list))
        out.text = std::move(*text);
    return out;
}
