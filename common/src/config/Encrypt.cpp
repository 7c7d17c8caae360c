#include "common/config/Encrypt.h"

#include "ConfigLog.h"

// The on-disk format is defined by the low-level Blowfish calls, which OpenSSL 3 marks as
// deprecated; this file alone uses them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

using orvix::config::TraceFatal;
using orvix::config::TraceInfo;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Index of each byte in the alphabet, or -1 for bytes that end the scan.
constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table)
        v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr std::array<std::int8_t, 256> kDecode = MakeDecodeTable();

} // namespace

struct CEncrypt::KeySchedule {
    BF_KEY key;
};

CEncrypt::CEncrypt() = default;
CEncrypt::~CEncrypt() = default;

int CEncrypt::Init(platform::TextView key) {
    m_pKey.reset();
    std::unique_ptr<KeySchedule> schedule(new (std::nothrow) KeySchedule);
    if (!schedule) {
        TraceFatal(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::Init} alloc error");
        return 0;
    }
    // The keys in use are ASCII, one byte per character. Characters outside the ANSI code page
    // become '?' as the system conversion does.
    auto ansi = platform::utf16_to_ansi(key);
    if (!ansi) {
        TraceFatal(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::Init} alloc error");
        return 0;
    }
    const std::string& bytes = ansi->text;
    // c_str() keeps one readable zero byte behind an empty key, which the key setup reads: the
    // empty key is the all-zero key.
    BF_set_key(&schedule->key, static_cast<int>(std::min<std::size_t>(bytes.size(), 72)),
               reinterpret_cast<const unsigned char*>(bytes.c_str()));
    m_pKey = std::move(schedule);
    TraceInfo(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::Init} Init OK");
    return 1;
}

int CEncrypt::Cipher(const std::uint8_t* in, std::uint8_t* out, int length, bool encrypt) const {
    // A fresh zero vector for every call: files never depend on an earlier call.
    std::array<unsigned char, 8> iv{};
    int num = 0;
    BF_cfb64_encrypt(in, out, length, &m_pKey->key, iv.data(), &num,
                     encrypt ? BF_ENCRYPT : BF_DECRYPT);
    return length;
}

int CEncrypt::EncodeBlowFish(const std::uint8_t* in, std::uint8_t* out, int length) {
    if (!m_pKey || length < 0 || (length > 0 && (!in || !out)))
        return 0;
    Cipher(in, out, length, true);
    TraceInfo(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::EncodeBlowFish} EncodeBlowFish OK");
    return length;
}

int CEncrypt::DecodeBlowFish(const std::uint8_t* in, std::uint8_t* out, int length) {
    if (!m_pKey || length < 0 || (length > 0 && (!in || !out)))
        return 0;
    Cipher(in, out, length, false);
    TraceInfo(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::DecodeBlowFish} DecodeBlowFish OK");
    // Counted within the decrypted bytes, so a buffer without a zero byte is never overrun.
    const void* zero = length > 0 ? std::memchr(out, 0, static_cast<std::size_t>(length)) : nullptr;
    return zero ? static_cast<int>(static_cast<const std::uint8_t*>(zero) - out) : length;
}

std::string CEncrypt::EncodeBase64Ansi(const std::uint8_t* in, std::size_t length) {
    std::string text;
    if (length > 0 && in) {
        text.resize((length + 2) / 3 * 4 + 1);
        // EVP_EncodeBlock takes an int count: encode in chunks that are multiples of 3 bytes.
        constexpr std::size_t kChunk = 3u << 20;
        std::size_t written = 0;
        for (std::size_t pos = 0; pos < length; pos += kChunk) {
            const std::size_t n = std::min(kChunk, length - pos);
            written += static_cast<std::size_t>(
                EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()) + written, in + pos,
                                static_cast<int>(n)));
        }
        text.resize(written);
    }
    TraceInfo(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::EncodeBase64} EncodeBase64 OK");
    return text;
}

platform::Text CEncrypt::EncodeBase64(const std::uint8_t* in, unsigned length) {
    const std::string ansi = EncodeBase64Ansi(in, length);
    return platform::Text(ansi.begin(), ansi.end());
}

int CEncrypt::DecodeBase64Ansi(std::string_view text, std::uint8_t* out, int capacity) {
    if (capacity < 0 || text.size() > static_cast<std::size_t>(capacity))
        return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    int written = 0;
    std::size_t i = 0;
    // Whole groups while all four characters belong to the alphabet.
    while (i + 4 <= size) {
        const int a = kDecode[p[i]], b = kDecode[p[i + 1]], c = kDecode[p[i + 2]],
                  d = kDecode[p[i + 3]];
        if ((a | b | c | d) < 0)
            break;
        const unsigned v = static_cast<unsigned>(a) << 18 | static_cast<unsigned>(b) << 12 |
                           static_cast<unsigned>(c) << 6 | static_cast<unsigned>(d);
        out[written] = static_cast<std::uint8_t>(v >> 16);
        out[written + 1] = static_cast<std::uint8_t>(v >> 8);
        out[written + 2] = static_cast<std::uint8_t>(v);
        written += 3;
        i += 4;
    }
    // The rest, up to the first character outside the alphabet.
    unsigned group = 0; // bits of the characters of the current group
    int count = 0;      // characters in the current group
    for (; i < size; ++i) {
        const int v = kDecode[p[i]];
        if (v < 0)
            break;
        group = (group << 6) | static_cast<unsigned>(v);
        if (++count == 4) {
            out[written++] = static_cast<std::uint8_t>(group >> 16);
            out[written++] = static_cast<std::uint8_t>(group >> 8);
            out[written++] = static_cast<std::uint8_t>(group);
            group = 0;
            count = 0;
        }
    }
    // A final group of 2 or 3 characters gives 1 or 2 bytes.
    if (count == 2) {
        out[written++] = static_cast<std::uint8_t>(group >> 4);
    } else if (count == 3) {
        out[written++] = static_cast<std::uint8_t>(group >> 10);
        out[written++] = static_cast<std::uint8_t>(group >> 2);
    }
    TraceInfo(m_pLog, LOGCAT_CIPHER, u"LIB_BFB:{CEncrypt::DecodeBase64} DecodeBase64 OK OutData");
    return written;
}

int CEncrypt::DecodeBase64(platform::TextView text, std::uint8_t* out, int capacity) {
    auto ansi = platform::utf16_to_ansi(text);
    if (!ansi)
        return DecodeBase64Ansi(std::string_view(), out, capacity);
    return DecodeBase64Ansi(ansi->text, out, capacity);
}
