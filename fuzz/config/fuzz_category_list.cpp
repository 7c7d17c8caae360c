// The log category list of user.dat: any text parses, and every non-zero mask survives a
// write and a read.
#include "common/config/ConfigUser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Text text =
        platform::utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::uint32_t mask = ParseCategoryList(text);
    if (mask != 0 && ParseCategoryList(FormatCategoryList(mask)) != mask)
        std::abort();
    if (size >= 4) {
        std::uint32_t raw = 0;
        std::memcpy(&raw, data, 4);
        if (raw != 0 && ParseCategoryList(FormatCategoryList(raw)) != raw)
            std::abort();
    }
    return 0;
}
