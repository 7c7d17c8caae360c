#pragma once
// CLogOutput: the diagnostic log writer shared by every component of the client.
#include "platform/result.h"
#include "platform/sync.h"
#include "platform/text.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

// Category bits.
inline constexpr std::uint32_t LOGCAT_CONFIG = 0x04; // configuration store, "LIB_CONF:"
inline constexpr std::uint32_t LOGCAT_APP = 0x08;    // library and tray application
inline constexpr std::uint32_t LOGCAT_PIPE = 0x40;   // named-pipe transport, "LIB_PIPE:"
inline constexpr std::uint32_t LOGCAT_CIPHER = 0x80; // cipher helper, "LIB_BFB:"

// Result codes.
inline constexpr platform::HRESULT LOG_E_SWITCH = platform::make_hresult(0x87060001);
inline constexpr platform::HRESULT LOG_E_LEVEL = platform::make_hresult(0x87060002);
inline constexpr platform::HRESULT LOG_E_NOFILE = platform::make_hresult(0x87060003);

class CLogOutput {
  public:
    enum Severity { SevInfo = 0, SevWarn = 1, SevFatal = 2 };
    enum Channel { ChannelNormal = 0, ChannelDebug = 1 };

    CLogOutput();
    ~CLogOutput();
    CLogOutput(const CLogOutput&) = delete;
    CLogOutput& operator=(const CLogOutput&) = delete;

    int SetLogPathName(const char16_t* name);
    int SetLogLevel(unsigned level);
    int SetDebugLevel(unsigned level);
    int SetLogOut(unsigned out);
    int SetDebugLogOut(unsigned out);
    int SetCategory(std::uint32_t mask);
    int SetDebugCategory(std::uint32_t mask);
    platform::HRESULT GetLastResult() const;

    // The log file path currently set (empty when none).
    const platform::Text& GetLogPathName() const { return m_strLogPath; }

    template <typename... A> int OutputInfo(std::uint32_t cat, int id, A&&... a) {
        return WriteId(ChannelNormal, SevInfo, cat, id, {platform::FormatArg(a)...});
    }
    template <typename... A> int OutputWarn(std::uint32_t cat, int id, A&&... a) {
        return WriteId(ChannelNormal, SevWarn, cat, id, {platform::FormatArg(a)...});
    }
    template <typename... A> int OutputFatal(std::uint32_t cat, int id, A&&... a) {
        return WriteId(ChannelNormal, SevFatal, cat, id, {platform::FormatArg(a)...});
    }
    template <typename... A> int DebugInfo(std::uint32_t cat, int id, A&&... a) {
        return WriteId(ChannelDebug, SevInfo, cat, id, {platform::FormatArg(a)...});
    }
    template <typename... A> int DebugWarn(std::uint32_t cat, int id, A&&... a) {
        return WriteId(ChannelDebug, SevWarn, cat, id, {platform::FormatArg(a)...});
    }
    template <typename... A> int DebugFatal(std::uint32_t cat, int id, A&&... a) {
        return WriteId(ChannelDebug, SevFatal, cat, id, {platform::FormatArg(a)...});
    }
    // A null `fmt` gives E_POINTER and 0.
    template <typename... A> int TraceInfo(std::uint32_t cat, const char16_t* fmt, A&&... a) {
        return WriteText(SevInfo, cat, fmt, {platform::FormatArg(a)...});
    }
    template <typename... A> int TraceWarn(std::uint32_t cat, const char16_t* fmt, A&&... a) {
        return WriteText(SevWarn, cat, fmt, {platform::FormatArg(a)...});
    }
    template <typename... A> int TraceFatal(std::uint32_t cat, const char16_t* fmt, A&&... a) {
        return WriteText(SevFatal, cat, fmt, {platform::FormatArg(a)...});
    }

    // The untyped entry points behind the templates.
    int WriteId(Channel channel, Severity sev, std::uint32_t cat, int id,
                std::initializer_list<platform::FormatArg> args);
    int WriteText(Severity sev, std::uint32_t cat, const char16_t* fmt,
                  std::initializer_list<platform::FormatArg> args);

  private:
    bool Passes(Channel channel, Severity sev, std::uint32_t cat);
    int WriteLine(Channel channel, Severity sev, int id, platform::TextView fmt,
                  std::span<const platform::FormatArg> args);
    int AppendToFile(platform::TextView line);
    // Takes a level or switch of 0 to 2; anything else sets `refused` and answers `error`.
    int SetSwitch(unsigned value, unsigned& field, unsigned refused, platform::HRESULT error);

    std::unique_ptr<platform::SystemMutex> m_hMutex;
    std::atomic<platform::HRESULT> m_hrLast{0};
    platform::Text m_strLogPath;
    std::filesystem::path m_pathLog; // m_strLogPath as the system takes it
    unsigned m_nLogLevel = 2;
    unsigned m_nDebugLevel = 2;
    unsigned m_nLogOut = 0;
    unsigned m_nDebugLogOut = 2;
    std::uint32_t m_nCategory = 0;
    std::uint32_t m_nDebugCategory = 0;
};
