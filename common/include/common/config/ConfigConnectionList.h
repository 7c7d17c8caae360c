#pragma once
// CConfigConnectionList: connection.dat, the user's tunnel connection profiles. Both layers on,
// key "QuartzMelodyHarbor", root "connections"; one "connection" element per profile, in list
// order. Elements of other names under the root are kept.
#include "common/config/XMLConfigFile.h"

#include <cstdint>
#include <memory>
#include <vector>

// One connection profile. Flags are 1 for on; only exactly 1 is written as on.
class CConfigConnectionConInfo : public CXMLExchangeData {
  public:
    enum Layer { LayerNone = 0, LayerHUB = 1, LayerPPP = 2 };

    // The setters log the new value (the password masked) and store it unchecked.
    const platform::Text& GetName() const { return m_strName; }
    void SetName(platform::TextView name);
    int GetLayer() const { return m_nLayer; }
    void SetLayer(int layer);
    int GetEncryption() const { return m_nEncryption; }
    void SetEncryption(int flag);
    const platform::Text& GetBroker() const { return m_strBroker; }
    void SetBroker(platform::TextView broker);
    const platform::Text& GetBrokerV6() const { return m_strBrokerV6; }
    void SetBrokerV6(platform::TextView broker);
    const platform::Text& GetUser() const { return m_strUser; }
    void SetUser(platform::TextView user);
    const platform::Text& GetPassword() const { return m_strPassword; }
    void SetPassword(platform::TextView password);
    int GetKeepconnect() const { return m_nKeepconnect; }
    void SetKeepconnect(int flag);
    int GetV6Conn() const { return m_nV6Conn; }
    void SetV6Conn(int flag);
    int GetServerCertCheck() const { return m_nServerCertCheck; }
    void SetServerCertCheck(int flag);
    std::uint32_t GetBrokerNumber() const { return m_nBrokerNumber; }
    void SetBrokerNumber(std::uint32_t number);

    // `element` is the record's "connection" element.
    int ToXML(CXMLElement& element) override;
    int FromXML(CXMLElement& element) override;

  private:
    platform::Text m_strName;
    int m_nLayer = LayerPPP;
    int m_nEncryption = 1;
    platform::Text m_strBroker;
    platform::Text m_strBrokerV6;
    platform::Text m_strUser;
    platform::Text m_strPassword;
    int m_nKeepconnect = 1;
    int m_nV6Conn = 0;
    int m_nServerCertCheck = 0;
    std::uint32_t m_nBrokerNumber = 0;
};

class CConfigConnectionList : public CXMLConfigFile {
  public:
    static constexpr char16_t kFileName[] = u"connection.dat";
    static constexpr std::uint32_t kFileVersion = 1; // written, and the highest accepted

    CConfigConnectionList();
    ~CConfigConnectionList() override;

    // A new record with the defaults, appended and owned by the list; null on failure.
    CConfigConnectionConInfo* AddConnectionItem();
    // The record at `index`, or null (logged) when there is none. Records stay valid until
    // they are deleted, the list is loaded again or the list is destroyed.
    CConfigConnectionConInfo* GetConnectionItem(int index);
    int GetConnectionCount() const { return static_cast<int>(m_list.size()); }
    // Removes and destroys `record`; 1 when it was in the list, else 0.
    int DeleteConnectionItem(const CConfigConnectionConInfo* record);

    CConfigFileVersion& GetFileVersionInfo() { return m_version; }

    int SetParam() override;
    int GetParam() override;
    platform::Text GetRootTagName() override;

  private:
    // A new record with the defaults at the end of the list; null when it cannot be made.
    CConfigConnectionConInfo* AppendRecord();

    CConfigFileVersion m_version;
    std::vector<std::unique_ptr<CConfigConnectionConInfo>> m_list;
};
