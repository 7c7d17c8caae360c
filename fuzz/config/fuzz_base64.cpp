// DecodeBase64 on arbitrary text: never writes past the capacity it is given, never returns more
// than three bytes per four characters, and agrees with the wide-text entry point.
#include "common/config/Encrypt.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the capacity relative to the text.
    const int slack = static_cast<int>(data[0] % 8) - 4;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const int capacity = static_cast<int>(text.size()) + slack;
    // Exactly `capacity` bytes, so AddressSanitizer sees any write past it.
    std::vector<std::uint8_t> out(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
    CEncrypt encrypt;
    const int n = encrypt.DecodeBase64Ansi(text, out.data(), capacity);
    if (capacity < static_cast<int>(text.size())) {
        if (n != -1)
            std::abort();
        return 0;
    }
    if (n < 0 || static_cast<std::size_t>(n) > text.size() / 4 * 3 + 2)
        std::abort();

    // Re-encoding the decoded bytes and decoding again gives the same bytes.
    const std::string again = encrypt.EncodeBase64Ansi(out.data(), static_cast<std::size_t>(n));
    std::vector<std::uint8_t> back(again.size() + 1);
    const int m = encrypt.DecodeBase64Ansi(again, back.data(), static_cast<int>(back.size()));
    if (m != n || !std::equal(out.begin(), out.begin() + n, back.begin()))
        std::abort();

    // The wide entry point scans the same characters (ASCII text).
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::vector<std::uint8_t> wideOut(out.size());
        const platform::Text wide(text.begin(), text.end());
        const int w = encrypt.DecodeBase64(wide, wideOut.data(), capacity);
        if (w != n || !std::equal(out.begin(), out.begin() + n, wideOut.begin()))
            std::abort();
    }
    return 0;
}
