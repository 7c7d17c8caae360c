#include "TestSupport.h"

#include "common/config/ConfigFile.h"
#include "platform/module.h"
#include "platform/text.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace cfgtest {

namespace fs = std::filesystem;

TempTree::TempTree() {
    static std::atomic<int> counter{0};
    std::string pattern =
        (fs::temp_directory_path() / ("orvix-cfgtest-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(counter++) + "-XXXXXX"))
            .string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    config_ = root_ / "cfg";
    fs::create_directories(config_);
    fs::create_directories(root_ / "docs");
    fs::create_directories(root_ / "tmp");
    const std::pair<const char*, std::string> env[] = {
        {"ORVIX_PROGRAM_DIR", config_.string()},
        {"ORVIX_COMMON_DOCUMENTS", (root_ / "docs").string()},
        {"ORVIX_TEMP", (root_ / "tmp").string()},
        {"ORVIX_SESSION", root_.filename().string()},
    };
    for (const auto& [name, value] : env) {
        const char* old = std::getenv(name);
        saved_env_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name, value.c_str(), 1);
    }
    CConfigFile::SetConfigFolder(platform::from_path(config_));
    CConfigFile::SetLogOutput(nullptr);
}

TempTree::~TempTree() {
    CConfigFile::SetLogOutput(nullptr);
    CConfigFile::SetConfigFolder(u"");
    for (const auto& [name, value] : saved_env_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void ConfigTest::SetUp() {
    tree_ = std::make_unique<TempTree>();
}

void ConfigTest::TearDown() {
    tree_.reset();
}

void RegisterStrings() {
    static const platform::StringEntry strings[] = {
        {4570, u"LIB_CONF:{%s} %s version error(%d)"},
    };
    static const platform::ResourceTable table = {1041, strings, std::size(strings), nullptr, 0};
    static const bool once = [] {
        ::setenv("ORVIX_UI_LANGUAGE", "1041", 1);
        platform::register_own_table(&table);
        return true;
    }();
    (void)once;
}

std::string ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

LogCapture::LogCapture() {
    log_.SetLogOut(1);
    log_.SetLogLevel(0);
    log_.SetCategory(0xFFFFFFFFu);
    log_.SetDebugLogOut(1);
    log_.SetDebugLevel(0);
    log_.SetDebugCategory(0xFFFFFFFFu);
    log_.SetLogPathName(u"config-test.log");
    CConfigFile::SetLogOutput(&log_);
}

LogCapture::~LogCapture() {
    CConfigFile::SetLogOutput(nullptr);
}

std::string LogCapture::Contents() const {
    const std::string raw = ReadFileBytes(platform::to_path(log_.GetLogPathName()));
    return platform::utf16_to_utf8(platform::utf16le_to_text(raw));
}

namespace ref {

namespace {
// Blowfish lives in the legacy provider; the default provider stays available beside it.
EVP_CIPHER* BlowfishCfbCipher() {
    static EVP_CIPHER* cipher = [] {
        OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER_load(nullptr, "default");
        return EVP_CIPHER_fetch(nullptr, "BF-CFB", nullptr);
    }();
    return cipher;
}
} // namespace

Bytes BlowfishCfb(const std::string& key, const Bytes& data, bool encrypt) {
    EVP_CIPHER* cipher = BlowfishCfbCipher();
    if (!cipher)
        throw std::runtime_error("BF-CFB not available");
    // The empty key is the all-zero key: one zero byte gives the same schedule.
    const std::string k = key.empty() ? std::string(1, '\0') : key;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    const unsigned char iv[8] = {};
    if (EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(k.size())) != 1 ||
        EVP_CipherInit_ex2(ctx.get(), nullptr, reinterpret_cast<const unsigned char*>(k.data()), iv,
                           encrypt ? 1 : 0, nullptr) != 1)
        throw std::runtime_error("BF-CFB init failed");
    Bytes out(data.size() + 16);
    int n = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) !=
            1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        throw std::runtime_error("BF-CFB failed");
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

std::string Base64Encode(const Bytes& data) {
    std::string text((data.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                                  static_cast<int>(data.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

Bytes Base64Decode(const std::string& text) {
    Bytes out(text.size() / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        throw std::runtime_error("bad Base64");
    // EVP_DecodeBlock counts the padding bytes as data.
    std::size_t size = static_cast<std::size_t>(n);
    if (text.size() >= 1 && text.back() == '=')
        --size;
    if (text.size() >= 2 && text[text.size() - 2] == '=')
        --size;
    out.resize(size);
    return out;
}

std::string EncryptedFile(const std::string& key, const std::string& xml) {
    std::string plain = std::string(kDeclaration) + xml;
    Bytes p(plain.begin(), plain.end());
    p.push_back(0);
    return Base64Encode(BlowfishCfb(key, p, true));
}

std::string DecryptFile(const std::string& key, const std::string& file) {
    const Bytes plain = BlowfishCfb(key, Base64Decode(file), false);
    return std::string(plain.begin(), plain.end());
}

} // namespace ref

} // namespace cfgtest
