#pragma once
// CEncrypt: the cipher helper of the configuration store. Blowfish in 64-bit cipher feedback
// mode (zero initial vector, restarted for every call, no padding) and Base64. The exact mode,
// vector, byte order and Base64 conventions are part of the on-disk format of the encrypted
// configuration files, so every copy of the client must drive them the same way.
#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CLogOutput;

class CEncrypt {
  public:
    CEncrypt();
    ~CEncrypt();
    CEncrypt(const CEncrypt&) = delete;
    CEncrypt& operator=(const CEncrypt&) = delete;

    // Where the diagnostics go ("LIB_BFB:" lines, category 0x80); null logs nothing.
    void SetLogOutput(CLogOutput* log) { m_pLog = log; }

    // Builds the key schedule from `key` (ASCII; at most the first 72 bytes count, an empty key
    // is the all-zero key). 1 on success, 0 on failure (no schedule then).
    int Init(platform::TextView key);

    // Encrypts `length` bytes of `in` into `out` (at least `length` bytes). Returns `length`, or 0
    // without a key schedule or for a negative length.
    int EncodeBlowFish(const std::uint8_t* in, std::uint8_t* out, int length);
    // Decrypts `length` bytes of `in` into `out` (`in` and `out` may be the same buffer). The
    // plain data of every file is text ending with a zero byte, so the result is the number of
    // bytes before the first zero byte among the `length` decrypted ones; 0 without a schedule.
    int DecodeBlowFish(const std::uint8_t* in, std::uint8_t* out, int length);

    // Standard Base64 with "=" padding and no line breaks.
    platform::Text EncodeBase64(const std::uint8_t* in, unsigned length);
    // The same, as ASCII bytes.
    std::string EncodeBase64Ansi(const std::uint8_t* in, std::size_t length);

    // Decodes `text` into `out`. The scan ends at the end of the text or at the first character
    // outside A-Z a-z 0-9 + / (so "=" padding and line breaks end it); a final group of 2 or 3
    // characters gives 1 or 2 bytes, a single leftover character nothing. Returns the number of
    // bytes written, or -1 (nothing written) when the text, in the ANSI code page, is longer than
    // `capacity` bytes.
    int DecodeBase64(platform::TextView text, std::uint8_t* out, int capacity);
    // The same over bytes already in the ANSI code page.
    int DecodeBase64Ansi(std::string_view text, std::uint8_t* out, int capacity);

  private:
    struct KeySchedule;
    int Cipher(const std::uint8_t* in, std::uint8_t* out, int length, bool encrypt) const;

    std::unique_ptr<KeySchedule> m_pKey;
    CLogOutput* m_pLog = nullptr;
};
