// The cipher helper against the published vectors and against OpenSSL driven directly.
#include "TestSupport.h"

#include "common/config/Encrypt.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using cfgtest::Bytes;

namespace {

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b)
        c = static_cast<std::uint8_t>(rng() % 255 + 1); // no zero byte: a text
    return b;
}

TEST(EncryptBase64, EncodesStandardGroups) {
    const struct {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"abc", u"YWJj"}, {"ab", u"YWI="},       {"a", u"YQ=="},
        {"", u""},        {"abcd", u"YWJjZA=="}, {"\xff\xfe\xfd", u"//79"},
    };
    CEncrypt enc;
    for (const auto& c : cases) {
        const Bytes in = ToBytes(c.in);
        EXPECT_EQ(enc.EncodeBase64(in.data(), static_cast<unsigned>(in.size())), c.out) << c.in;
    }
}

TEST(EncryptBase64, DecodeStopsAtFirstForeignCharacter) {
    const struct {
        std::u16string text;
        std::string bytes;
    } cases[] = {
        {u"YWI=", "ab"},
        {u"YQ", "a"},
        {u"Y", ""},
        {u"", ""},
        {u"YWJj\r\nYWJj", "abc"},
        {u"YWJj YWJj", "abc"},
        {u"YW=Jj", "a"},
        {u"YWJjZA==", "abcd"},
        {u"//79", "\xff\xfe\xfd"},
        {u"YWJj\u00e9YWJj", "abc"},
    };
    CEncrypt enc;
    for (const auto& c : cases) {
        std::uint8_t out[64] = {};
        const int n = enc.DecodeBase64(c.text, out, sizeof(out));
        ASSERT_EQ(n, static_cast<int>(c.bytes.size()));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n)), c.bytes);
    }
}

TEST(EncryptBase64, TextLongerThanCapacityWritesNothing) {
    CEncrypt enc;
    std::uint8_t out[9] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(enc.DecodeBase64(u"YWJjYWJjY", out, 8), -1);
    for (auto b : out)
        EXPECT_EQ(b, 0x55);
    EXPECT_EQ(enc.DecodeBase64(u"YWJjYWJj", out, 8), 6);
}

TEST(EncryptBase64, MatchesOpenSslOnRandomData) {
    CEncrypt enc;
    for (std::size_t len : {1u, 2u, 3u, 4u, 5u, 100u, 1001u}) {
        const Bytes data = RandomBytes(len, static_cast<unsigned>(len));
        const std::string expected = cfgtest::ref::Base64Encode(data);
        EXPECT_EQ(enc.EncodeBase64Ansi(data.data(), data.size()), expected);
        Bytes out(expected.size());
        const int n = enc.DecodeBase64Ansi(expected, out.data(), static_cast<int>(out.size()));
        out.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(out, data);
    }
}

TEST(EncryptBlowFish, MatchesOpenSslCfbWithZeroVector) {
    for (const std::string& key : {std::string(cfgtest::kClientKey),
                                   std::string(cfgtest::kConnectionKey), std::string("k")}) {
        CEncrypt enc;
        ASSERT_EQ(enc.Init(std::u16string(key.begin(), key.end())), 1);
        for (std::size_t len : {1u, 7u, 8u, 9u, 17u, 4096u}) {
            const Bytes plain = RandomBytes(len, static_cast<unsigned>(len * 7));
            Bytes cipher(len);
            ASSERT_EQ(enc.EncodeBlowFish(plain.data(), cipher.data(), static_cast<int>(len)),
                      static_cast<int>(len));
            EXPECT_EQ(cipher, cfgtest::ref::BlowfishCfb(key, plain, true)) << key << " " << len;
            // Decrypting in place, as the container does.
            Bytes buffer = cipher;
            buffer.push_back(0);
            EXPECT_EQ(enc.DecodeBlowFish(buffer.data(), buffer.data(), static_cast<int>(len)),
                      static_cast<int>(len));
            buffer.pop_back();
            EXPECT_EQ(buffer, plain);
        }
    }
}

TEST(EncryptBlowFish, EveryCallRestartsFromTheZeroVector) {
    CEncrypt enc;
    ASSERT_EQ(enc.Init(u"PlumWillowGrain"), 1);
    const Bytes plain = ToBytes("the same text twice");
    Bytes a(plain.size()), b(plain.size());
    enc.EncodeBlowFish(plain.data(), a.data(), static_cast<int>(plain.size()));
    enc.EncodeBlowFish(plain.data(), b.data(), static_cast<int>(plain.size()));
    EXPECT_EQ(a, b);
}

TEST(EncryptBlowFish, DecodeCountsBytesBeforeFirstZero) {
    CEncrypt enc;
    ASSERT_EQ(enc.Init(u"QuartzMelodyHarbor"), 1);
    const Bytes plain = {'a', 'b', 'c', 0, 'd', 'e', 0};
    Bytes cipher(plain.size());
    enc.EncodeBlowFish(plain.data(), cipher.data(), static_cast<int>(plain.size()));
    Bytes out(plain.size() + 1);
    EXPECT_EQ(enc.DecodeBlowFish(cipher.data(), out.data(), static_cast<int>(plain.size())), 3);
    // Without any zero byte in the decrypted data the count stops at the length.
    const Bytes text = ToBytes("abcdefghij");
    Bytes c2(text.size());
    enc.EncodeBlowFish(text.data(), c2.data(), static_cast<int>(text.size()));
    EXPECT_EQ(enc.DecodeBlowFish(c2.data(), c2.data(), static_cast<int>(c2.size())), 10);
}

TEST(EncryptBlowFish, WithoutKeyScheduleNothingHappens) {
    CEncrypt enc;
    const Bytes plain = ToBytes("abc");
    Bytes out = {9, 9, 9};
    EXPECT_EQ(enc.EncodeBlowFish(plain.data(), out.data(), 3), 0);
    EXPECT_EQ(enc.DecodeBlowFish(plain.data(), out.data(), 3), 0);
    EXPECT_EQ(out, (Bytes{9, 9, 9}));
    // A negative length never reaches the cipher.
    ASSERT_EQ(enc.Init(u"k"), 1);
    EXPECT_EQ(enc.EncodeBlowFish(plain.data(), out.data(), -1), 0);
    EXPECT_EQ(out, (Bytes{9, 9, 9}));
}

TEST(EncryptBlowFish, KeysCountUpToSeventyTwoBytes) {
    std::u16string k80;
    for (int i = 0; i < 80; ++i)
        k80.push_back(static_cast<char16_t>(u'a' + i % 26));
    std::u16string k72 = k80.substr(0, 72);
    std::u16string k71 = k80.substr(0, 71);
    const Bytes plain = ToBytes("key length check");
    auto encrypt = [&](const std::u16string& key) {
        CEncrypt enc;
        EXPECT_EQ(enc.Init(key), 1);
        Bytes out(plain.size());
        enc.EncodeBlowFish(plain.data(), out.data(), static_cast<int>(plain.size()));
        return out;
    };
    EXPECT_EQ(encrypt(k80), encrypt(k72));
    EXPECT_NE(encrypt(k72), encrypt(k71));
    // The empty key is the all-zero key.
    EXPECT_EQ(encrypt(u""), cfgtest::ref::BlowfishCfb("", plain, true));
    EXPECT_EQ(encrypt(u""), encrypt(std::u16string(1, u'\0')));
}

TEST(EncryptBlowFish, LogsThroughTheTargetItIsGiven) {
    cfgtest::TempTree tree;
    cfgtest::LogCapture capture;
    CEncrypt enc;
    enc.SetLogOutput(&capture.log());
    ASSERT_EQ(enc.Init(u"k"), 1);
    const Bytes plain = ToBytes("x");
    Bytes out(1);
    enc.EncodeBlowFish(plain.data(), out.data(), 1);
    const std::string log = capture.Contents();
    EXPECT_NE(log.find("<ID>,<001000>,LIB_BFB:{CEncrypt::Init} Init OK\r\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("LIB_BFB:{CEncrypt::EncodeBlowFish} EncodeBlowFish OK"), std::string::npos);
}

} // namespace
