// Reading a configuration file of each kind from arbitrary bytes: the first byte picks the kind
// (connection, client, user) and the layout (as stored, or the rest encrypted and encoded as
// the kind's layers do). Whatever loads is written back into its tree and serialised; that text
// parses and writes back to a stable text. The log form of the text is made too.
#include "XmlValue.h"
#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "common/config/Encrypt.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::filesystem::path Folder() {
    static const std::filesystem::path folder = [] {
        // A memory-backed folder when there is one: every input is a file written and read.
        std::string pattern = std::filesystem::is_directory("/dev/shm")
                                  ? "/dev/shm/orvix-fuzz-config-XXXXXX"
                                  : "/tmp/orvix-fuzz-config-XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        if (!made)
            std::abort();
        CConfigFile::SetConfigFolder(platform::from_path(made));
        return std::filesystem::path(made);
    }();
    return folder;
}

std::unique_ptr<CXMLConfigFile> Make(int kind) {
    switch (kind) {
    case 0:
        return std::make_unique<CConfigConnectionList>();
    case 1:
        return std::make_unique<CConfigKPClient>();
    default:
        return std::make_unique<CConfigUser>();
    }
}

const char16_t* Key(int kind) {
    return kind == 0 ? u"QuartzMelodyHarbor" : kind == 1 ? u"PlumWillowGrain" : u"";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int kind = data[0] % 3;
    const bool wrap = (data[0] & 0x80) != 0 && kind != 2;
    std::string contents(reinterpret_cast<const char*>(data + 1), size - 1);
    if (wrap) {
        // The bytes as the plain text behind the declaration, in the kind's layers.
        std::string plain = CONFIG_XML_DECLARATION + contents;
        plain.push_back('\0');
        CEncrypt encrypt;
        encrypt.Init(Key(kind));
        std::string cipher(plain.size(), '\0');
        encrypt.EncodeBlowFish(reinterpret_cast<const std::uint8_t*>(plain.data()),
                               reinterpret_cast<std::uint8_t*>(cipher.data()),
                               static_cast<int>(plain.size()));
        contents = encrypt.EncodeBase64Ansi(reinterpret_cast<const std::uint8_t*>(cipher.data()),
                                            cipher.size());
    }

    auto file = Make(kind);
    const std::filesystem::path path = Folder() / platform::to_path(file->GetFileName());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
    } else {
        std::abort();
    }

    const int loaded = file->Load();
    const platform::HRESULT hr = file->GetLastResult();
    if (loaded != (hr == 0 ? 1 : 0))
        std::abort();
    if (!loaded || !file->GetRoot())
        return 0;

    // Write the object into its tree and serialise it. Parsing that text and writing it again
    // settles it (an empty category list reads as every category and is written as "0"); from
    // then on the text stays the same.
    if (!file->GetParam())
        std::abort();
    const platform::Text first = file->GetRoot()->GetXML();
    auto rewrite = [kind](const platform::Text& text) {
        auto copy = Make(kind);
        if (!copy->CreateXMLDocument(text) || !copy->SetParam() || !copy->GetParam())
            std::abort();
        return copy->GetRoot()->GetXML();
    };
    const platform::Text second = rewrite(first);
    const platform::Text third = rewrite(second);
    if (second != third) {
        std::fprintf(stderr, "second: %s\nthird:  %s\n", platform::to_utf8(second).c_str(),
                     platform::to_utf8(third).c_str());
        std::abort();
    }

    // The log form of the text.
    (void)orvix::config::MaskSecrets(first);
    return 0;
}
