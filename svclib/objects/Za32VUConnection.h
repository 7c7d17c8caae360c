#pragma once
// CZa32VUConnection: one named tunnel profile (class Za32VUConnection). It wraps one record of
// the connections file, owned by the enumerator, and adds what the service reported for this
// name: the status, the tunnel address and the last information text. Commands go to the
// service through the client object; the receive thread updates the live values.
#include "PropertyValues.h"
#include "ScModule.h"

#include "common/config/ConfigConnectionList.h"
#include "platform/com_dispatch.h"
#include "platform/module.h"
#include "platform/sync.h"

#include <memory>
#include <optional>
#include <span>
#include <type_traits>

class CKp32ClientSC;
class CZa32VUEnumConnections;

class CZa32VUConnection final
    : public platform::ComObject<CZa32VUConnection,
                                 platform::DualInterface<CZa32VUConnection, IZa32VUConnection>,
                                 platform::SupportErrorInfoFor<IZa32VUConnection>> {
  public:
    CZa32VUConnection();
    ~CZa32VUConnection() override;

    static const platform::DispatchTable& dispatch_table();

    // ---- IZa32VUConnection -------------------------------------------------------------------
    platform::HRESULT get_Name(platform::BSTR* pVal) override;
    platform::HRESULT put_Name(platform::BSTR newVal) override;
    platform::HRESULT get_BrokerUrl(platform::BSTR* pVal) override;
    platform::HRESULT put_BrokerUrl(platform::BSTR newVal) override;
    platform::HRESULT get_NetworkLayer(platform::ULONG* pVal) override;
    platform::HRESULT put_NetworkLayer(platform::ULONG newVal) override;
    platform::HRESULT get_Encryption(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_Encryption(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT SetUser(platform::BSTR user, platform::BSTR password) override;
    platform::HRESULT GetUser(platform::BSTR* user, platform::BSTR* password) override;
    platform::HRESULT get_KeepConnect(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_KeepConnect(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT Connect(platform::ULONG ulWaitTime, platform::VARIANT_BOOL bForce,
                              platform::BSTR* pbstrIPAddress) override;
    platform::HRESULT Disconnect(platform::ULONG ulWaitTime) override;
    platform::HRESULT GetStatus(platform::BSTR* pbstrInfo) override;
    platform::HRESULT Answer(platform::VARIANT_BOOL bYes) override;
    platform::HRESULT GetLastInformation(platform::BSTR* pbstrInfo) override;
    platform::HRESULT GetIPAddress(platform::BSTR* pbstrIPAddress) override;
    platform::HRESULT get_UserName(platform::BSTR* pVal) override;
    platform::HRESULT put_UserName(platform::BSTR newVal) override;
    platform::HRESULT put_Password(platform::BSTR newVal) override;
    platform::HRESULT Save() override;
    platform::HRESULT get_ServerCertCheck(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_ServerCertCheck(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT get_V6Conn(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_V6Conn(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT GetLastInformationMsgId(platform::ULONG* msgid) override;
    platform::HRESULT get_BrokerUrlV6(platform::BSTR* pVal) override;
    platform::HRESULT put_BrokerUrlV6(platform::BSTR newVal) override;
    platform::HRESULT get_BrokerNumber(platform::ULONG* pVal) override;
    platform::HRESULT put_BrokerNumber(platform::ULONG newVal) override;

    // ---- Inside the library (application thread) ----------------------------------------------
    // Attaches a record and copies its name; null detaches the object (it keeps its name).
    void SetConfigConInfo(CConfigConnectionConInfo* pConInfo);
    CConfigConnectionConInfo* GetConfigConInfo() const { return m_pConInfo; }
    void SetClient(CKp32ClientSC* pClientSC) { m_pClientSC = pClientSC; }
    void SetEnumerator(CZa32VUEnumConnections* pEnum) { m_pEnum = pEnum; }
    // First status request.
    platform::HRESULT Initialize();

    // ---- Inside the library (any thread) ------------------------------------------------------
    bool EqualName(platform::TextView name) const;
    platform::Text GetName() const;
    // Stores the status, signals the status event (unless `signal` is false), then stores the
    // address (null: "0.0.0.0").
    void SetStatus(platform::ULONG status, const char16_t* address, bool signal = true);
    // Signals the status event: a status request waiting for an answer returns.
    void SignalStatus();
    platform::ULONG GetStatusValue() const;
    platform::Text GetAddress() const;
    // The tokens of an INFORMATION after the connection name: message id, then its arguments.
    void SetLastInformation(std::span<const platform::Text> args);
    // Looks up and formats the message id (recording it); std::nullopt without an id token.
    std::optional<platform::Text> FormatInformation(std::span<const platform::Text> args);
    platform::Text GetLastInformationText() const;

  private:
    using ConInfo = CConfigConnectionConInfo;

    // The record, or null after a log line "LIB_SC:{CZa32VUConnection::<method>} m_pConInfo NULL".
    ConInfo* Record(const char16_t* method) const;
    // A property of the record, read through `getter` and `convert` or written through `setter`;
    // without a record, E_OUTOFMEMORY after the log line of Record(method).
    template <typename Stored, typename Out>
    platform::HRESULT Get(const char16_t* method, Out* pVal, Stored (ConInfo::*getter)() const,
                          ValueConverter<Stored, Out> convert);
    template <typename Stored>
    platform::HRESULT Put(const char16_t* method, void (ConInfo::*setter)(Stored),
                          std::type_identity_t<Stored> value);
    platform::HRESULT SendCommand(platform::ULONG command, platform::LONG flag);

    mutable platform::Lock m_csInfo; // name, status, address, message id, information text
    platform::Text m_strName;
    CConfigConnectionConInfo* m_pConInfo = nullptr;
    CZa32VUEnumConnections* m_pEnum = nullptr;
    CKp32ClientSC* m_pClientSC = nullptr;
    platform::ULONG m_ulStatus = SCSTATUS_NONE;
    platform::ULONG m_ulLastMsgId = 0;
    platform::Text m_strIPAddress;
    platform::Text m_strLastInformation;
    std::unique_ptr<platform::Event> m_hStatusEvent;
    std::shared_ptr<platform::ResourceModule> m_hLanguageModule;
};
