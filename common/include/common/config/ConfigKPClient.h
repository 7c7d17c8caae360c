#pragma once
// CConfigKPClient: orvixclient.dat, the installation and network parameters of the client
// (product and component names, the two pipe names to the tunnel service, adapter names,
// server addresses, MTU and timing). Both layers on, key "PlumWillowGrain", root "kpclient".
#include "common/config/XMLConfigFile.h"

#include <array>
#include <utility>

// kpclient/network
class CConfigKPClientNetworkInfo : public CXMLExchangeData {
  public:
    int GetMTU() const { return m_nMTU; }
    void SetMTU(int mtu); // clamped to 128..4095
    int GetRouteDupl() const { return m_nRouteDupl; }
    void SetRouteDupl(int flag) { m_nRouteDupl = flag; }

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

    static constexpr int kMinMTU = 128;
    static constexpr int kMaxMTU = 4095;

  private:
    int m_nMTU = kMaxMTU;
    int m_nRouteDupl = 0;
};

// kpclient/client: names supplied by the installation.
class CConfigKPClientClientInfo : public CXMLExchangeData {
  public:
    const platform::Text& GetProduct() const { return m_strProduct; }
    void SetProduct(platform::TextView value) { m_strProduct.assign(value); }
    const platform::Text& GetVersion() const { return m_strVersion; }
    void SetVersion(platform::TextView value) { m_strVersion.assign(value); }
    const platform::Text& GetService() const { return m_strService; }
    void SetService(platform::TextView value) { m_strService.assign(value); }
    const platform::Text& GetScApp() const { return m_strScApp; }
    void SetScApp(platform::TextView value) { m_strScApp.assign(value); }
    const platform::Text& GetUninstall() const { return m_strUninstall; }
    void SetUninstall(platform::TextView value) { m_strUninstall.assign(value); }
    const platform::Text& GetUpdater() const { return m_strUpdater; }
    void SetUpdater(platform::TextView value) { m_strUpdater.assign(value); }
    const platform::Text& GetDriver() const { return m_strDriver; }
    void SetDriver(platform::TextView value) { m_strDriver.assign(value); }
    const platform::Text& GetInf() const { return m_strInf; }
    void SetInf(platform::TextView value) { m_strInf.assign(value); }
    const platform::Text& GetName() const { return m_strName; }
    void SetName(platform::TextView value) { m_strName.assign(value); }
    const platform::Text& GetHardwareId() const { return m_strHardwareId; }
    void SetHardwareId(platform::TextView value) { m_strHardwareId.assign(value); }
    const platform::Text& GetRegistry() const { return m_strRegistry; }
    void SetRegistry(platform::TextView value) { m_strRegistry.assign(value); }
    // Bare pipe names (no "\\.\pipe\" prefix): client library to service, and back.
    const platform::Text& GetPipeSCToSvc() const { return m_strPipeSCToSvc; }
    void SetPipeSCToSvc(platform::TextView value) { m_strPipeSCToSvc.assign(value); }
    const platform::Text& GetPipeSvcToSC() const { return m_strPipeSvcToSC; }
    void SetPipeSvcToSC(platform::TextView value) { m_strPipeSvcToSC.assign(value); }
    const platform::Text& GetInstallFolder() const { return m_strInstallFolder; }
    void SetInstallFolder(platform::TextView value) { m_strInstallFolder.assign(value); }

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    // The elements in the order of the file, with their members.
    std::array<std::pair<const char16_t*, platform::Text*>, 14> Fields();

    platform::Text m_strProduct, m_strVersion, m_strService, m_strScApp, m_strUninstall,
        m_strUpdater, m_strDriver, m_strInf, m_strName, m_strHardwareId, m_strRegistry,
        m_strPipeSCToSvc, m_strPipeSvcToSC, m_strInstallFolder;
};

// kpclient/server: addresses and the start-up setting.
class CConfigKPClientServerInfo : public CXMLExchangeData {
  public:
    static constexpr char16_t kDefaultEnvCheckTool[] =
        u"https://envcheck.orvix.example/envchecker/";

    const platform::Text& GetLatestList() const { return m_strLatestList; }
    void SetLatestList(platform::TextView value) { m_strLatestList.assign(value); }
    const platform::Text& GetUpdatePage() const { return m_strUpdatePage; }
    void SetUpdatePage(platform::TextView value) { m_strUpdatePage.assign(value); }
    const platform::Text& GetEnvCheckTool() const { return m_strEnvCheckTool; }
    void SetEnvCheckTool(platform::TextView value) { m_strEnvCheckTool.assign(value); }
    const platform::Text& GetCtrlServer() const { return m_strCtrlServer; }
    void SetCtrlServer(platform::TextView value) { m_strCtrlServer.assign(value); }
    const platform::Text& GetCtrlServerV6() const { return m_strCtrlServerV6; }
    void SetCtrlServerV6(platform::TextView value) { m_strCtrlServerV6.assign(value); }
    int GetStartup() const { return m_nStartup; }
    void SetStartup(int flag) { m_nStartup = flag; }

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    platform::Text m_strLatestList;
    platform::Text m_strUpdatePage;
    platform::Text m_strEnvCheckTool{kDefaultEnvCheckTool};
    platform::Text m_strCtrlServer;
    platform::Text m_strCtrlServerV6;
    int m_nStartup = 0;
};

// kpclient/time: intervals and counts, stored and handed on as they are.
class CConfigKPClientTimeInfo : public CXMLExchangeData {
  public:
    int GetUpdatecheck() const { return m_nUpdatecheck; }
    void SetUpdatecheck(int value);
    int GetKeepalive() const { return m_nKeepalive; }
    void SetKeepalive(int value);
    int GetRetrytime() const { return m_nRetrytime; }
    void SetRetrytime(int value);
    int GetRetrycount() const { return m_nRetrycount; }
    void SetRetrycount(int value);

    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    int m_nUpdatecheck = 24;
    int m_nKeepalive = 60;
    int m_nRetrytime = 60;
    int m_nRetrycount = 3;
};

class CConfigKPClient : public CXMLConfigFile {
  public:
    static constexpr char16_t kFileName[] = u"orvixclient.dat";
    static constexpr std::uint32_t kFileVersion = 1; // written, and the highest accepted

    CConfigKPClient();

    CConfigFileVersion& GetFileVersionInfo() { return m_version; }
    CConfigKPClientNetworkInfo& GetNetworkInfo() { return m_network; }
    CConfigKPClientServerInfo& GetServerInfo() { return m_server; }
    CConfigKPClientClientInfo& GetClientInfo() { return m_client; }
    CConfigKPClientTimeInfo& GetTimeInfo() { return m_time; }

    int SetParam() override;
    int GetParam() override;
    platform::Text GetRootTagName() override;

  private:
    CConfigFileVersion m_version;
    CConfigKPClientNetworkInfo m_network;
    CConfigKPClientServerInfo m_server;
    CConfigKPClientClientInfo m_client;
    CConfigKPClientTimeInfo m_time;
};
