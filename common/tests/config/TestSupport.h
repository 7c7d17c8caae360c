#pragma once
// Shared helpers of the configuration store tests: a temporary tree per test, file helpers,
// a log capture, and an independent reference for the on-disk layers built on OpenSSL directly
// (never through CEncrypt), so a fault shared by our encoder and decoder cannot cancel out.
#include "common/LogOutput.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cfgtest {

inline constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>";
inline constexpr char kClientKey[] = "PlumWillowGrain";
inline constexpr char kConnectionKey[] = "QuartzMelodyHarbor";

using Bytes = std::vector<std::uint8_t>;

// Points the program folder, the common documents folder, the temp folder and the mutex
// namespace at a fresh temporary tree, and the configuration folder at its "cfg" sub-folder.
class TempTree {
  public:
    TempTree();
    ~TempTree();
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& config_dir() const { return config_; }
    std::filesystem::path config_path(const std::string& name) const { return config_ / name; }

  private:
    std::filesystem::path root_;
    std::filesystem::path config_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
};

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<TempTree> tree_;
};

// Registers a program string table holding message 4570, as the program's resources have it.
void RegisterStrings();

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// A log writer with both channels on, every category and every severity, into a file below
// the temporary common documents folder; installed as the configuration store's target while
// it lives.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    CLogOutput& log() { return log_; }
    // The log file as UTF-8 text.
    std::string Contents() const;

  private:
    CLogOutput log_;
};

// ---- Reference implementation of the file layers -------------------------------------------
namespace ref {
// Blowfish-CFB64 with a zero vector through OpenSSL's EVP interface (legacy provider).
Bytes BlowfishCfb(const std::string& key, const Bytes& data, bool encrypt);
std::string Base64Encode(const Bytes& data);
// Strict decoding of a complete Base64 text (padding included).
Bytes Base64Decode(const std::string& text);
// The bytes of an encrypted file whose plain text is the declaration, `xml` and a zero byte.
std::string EncryptedFile(const std::string& key, const std::string& xml);
// The plain text of an encrypted file (declaration, XML and the zero byte).
std::string DecryptFile(const std::string& key, const std::string& file);
} // namespace ref

} // namespace cfgtest
