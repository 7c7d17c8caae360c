#pragma once
// CConfigUser: user.dat, the user-level settings: the log writer's settings, the tray window's
// remembered position and welcome choice, and the proxy settings of the client's own HTTP
// traffic. Stored as plain text (no layers, empty key), root "user".
#include "common/config/XMLConfigFile.h"

#include <cstdint>

// user/log. Levels: 0 none, 1 INFO, 2 WARN, 3 FATAL. Category masks: bit k is category k+1.
class CConfigUserLogInfo : public CXMLExchangeData {
  public:
    enum Level { LevelNone = 0, LevelInfo = 1, LevelWarn = 2, LevelFatal = 3 };

    const platform::Text& GetPathname() const { return m_strPathname; }
    void SetPathname(platform::TextView pathname);
    int GetLevel() const { return m_nLevel; }
    void SetLevel(int level);
    int GetLog() const { return m_nLogout; }
    void SetLog(int logout);
    std::uint32_t GetCategory() const { return m_nCategory; }
    void SetCategory(std::uint32_t mask) { m_nCategory = mask; }
    int GetDebugLevel() const { return m_nDebugLevel; }
    void SetDebugLevel(int level) { m_nDebugLevel = level; }
    int GetDebugLog() const { return m_nDebugLogout; }
    void SetDebugLog(int logout) { m_nDebugLogout = logout; }
    std::uint32_t GetDebugCategory() const { return m_nDebugCategory; }
    void SetDebugCategory(std::uint32_t mask) { m_nDebugCategory = mask; }

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    platform::Text m_strPathname;
    int m_nLevel = 0;
    int m_nLogout = 0;
    std::uint32_t m_nCategory = 0;
    int m_nDebugLevel = 0;
    int m_nDebugLogout = 0;
    std::uint32_t m_nDebugCategory = 0;
};

// user/sc_pos: the tray window's position (INT32_MAX: none remembered) and the welcome choice.
class CConfigUserSCInfo : public CXMLExchangeData {
  public:
    static constexpr int kNoPosition = 2147483647;

    int GetX() const { return m_nX; }
    void SetX(int x);
    int GetY() const { return m_nY; }
    void SetY(int y);
    int GetDontShowWelcome() const { return m_nDontShowWelcome; }
    void SetDontShowWelcome(int value);

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    int m_nX = kNoPosition;
    int m_nY = kNoPosition;
    int m_nDontShowWelcome = 0;
};

// user/proxy. The password is stored in plain text; the file format has no protection for it.
class CConfigUserProxyInfo : public CXMLExchangeData {
  public:
    int GetConnSelect() const { return m_nConnSelect; }
    void SetConnSelect(int value) { m_nConnSelect = value; }
    const platform::Text& GetProxyHost() const { return m_strProxyHost; }
    void SetProxyHost(platform::TextView value) { m_strProxyHost.assign(value); }
    std::uint16_t GetProxyPort() const { return m_nProxyPort; }
    void SetProxyPort(std::uint16_t value) { m_nProxyPort = value; }
    int GetProxyAuth() const { return m_nProxyAuth; }
    void SetProxyAuth(int flag) { m_nProxyAuth = flag; }
    const platform::Text& GetProxyUser() const { return m_strProxyUser; }
    void SetProxyUser(platform::TextView value) { m_strProxyUser.assign(value); }
    const platform::Text& GetProxyPassword() const { return m_strProxyPassword; }
    void SetProxyPassword(platform::TextView value) { m_strProxyPassword.assign(value); }

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    int m_nConnSelect = 0;
    platform::Text m_strProxyHost;
    std::uint16_t m_nProxyPort = 0;
    int m_nProxyAuth = 0;
    platform::Text m_strProxyUser;
    platform::Text m_strProxyPassword;
};

class CConfigUser : public CXMLConfigFile {
  public:
    static constexpr char16_t kFileName[] = u"user.dat";
    static constexpr std::uint32_t kFileVersion = 2; // written, and the highest accepted

    CConfigUser();

    CConfigFileVersion& GetFileVersionInfo() { return m_version; }
    CConfigUserLogInfo& GetLogInfo() { return m_log; }
    CConfigUserSCInfo& GetSCInfo() { return m_sc; }
    CConfigUserProxyInfo& GetProxyInfo() { return m_proxy; }

    int SetParam() override;
    int GetParam() override;
    platform::Text GetRootTagName() override;

  private:
    CConfigFileVersion m_version;
    CConfigUserLogInfo m_log;
    CConfigUserSCInfo m_sc;
    CConfigUserProxyInfo m_proxy;
};

// The category list of the log element: set bits as 1-based numbers joined by ";", the full
// mask as "0", no bits as an empty text.
platform::Text FormatCategoryList(std::uint32_t mask);
// Reads a category list: empty keeps all bits; a single number v sets bit (v-1) mod 32 (0 or no
// digits: all bits); a list with ";" sets the bit of every non-zero part.
std::uint32_t ParseCategoryList(platform::TextView text);
