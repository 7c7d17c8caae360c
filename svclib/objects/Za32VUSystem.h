#pragma once
// CZa32VUSystem: the installation's settings (class Za32VUSystem): orvixclient.dat and user.dat,
// the two pipe names for the client object, the log settings applied to the library's log
// target, the inner updater, and the two commands SETCONFUSER and SHUTDOWN. The setters change
// the records in memory only; nothing here writes either file.
#include "PropertyValues.h"
#include "ScModule.h"
#include "Za32VUUpdater.h"

#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"
#include "platform/com_dispatch.h"

#include <type_traits>

class CKp32ClientSC;

class CZa32VUSystem final
    : public platform::ComObject<CZa32VUSystem,
                                 platform::DualInterface<CZa32VUSystem, IZa32VUSystem>,
                                 platform::SupportErrorInfoFor<IZa32VUSystem>> {
  public:
    static const platform::DispatchTable& dispatch_table();

    // ---- IZa32VUSystem ------------------------------------------------------------------------
    platform::HRESULT get_ProductName(platform::BSTR* pVal) override;
    platform::HRESULT get_ProductVersion(platform::BSTR* pVal) override;
    platform::HRESULT get_ServiceName(platform::BSTR* pVal) override;
    platform::HRESULT get_UninstallerName(platform::BSTR* pVal) override;
    platform::HRESULT get_DriverName(platform::BSTR* pVal) override;
    platform::HRESULT get_InfFileName(platform::BSTR* pVal) override;
    platform::HRESULT get_NetworkName(platform::BSTR* pVal) override;
    platform::HRESULT get_Hardwareid(platform::BSTR* pVal) override;
    platform::HRESULT get_RegistryName(platform::BSTR* pVal) override;
    platform::HRESULT get_InstallFolderName(platform::BSTR* pVal) override;
    platform::HRESULT get_MTUSize(platform::ULONG* pVal) override;
    platform::HRESULT put_MTUSize(platform::ULONG newVal) override;
    platform::HRESULT get_KeepAlive(platform::ULONG* pVal) override;
    platform::HRESULT put_KeepAlive(platform::ULONG newVal) override;
    platform::HRESULT get_RetryInterval(platform::ULONG* pVal) override;
    platform::HRESULT put_RetryInterval(platform::ULONG newVal) override;
    platform::HRESULT get_RetryCount(platform::ULONG* pVal) override;
    platform::HRESULT put_RetryCount(platform::ULONG newVal) override;
    platform::HRESULT SetRetryParameters(platform::ULONG Interval, platform::ULONG Count) override;
    platform::HRESULT GetRetryParameters(platform::ULONG* pInterval,
                                         platform::ULONG* pCount) override;
    platform::HRESULT get_LogFileName(platform::BSTR* pVal) override;
    platform::HRESULT put_LogFileName(platform::BSTR newVal) override;
    platform::HRESULT get_LogLevel(platform::ULONG* pVal) override;
    platform::HRESULT put_LogLevel(platform::ULONG newVal) override;
    platform::HRESULT GetLogInformation(platform::BSTR* pbstrLogFile,
                                        platform::ULONG* pLevel) override;
    platform::HRESULT SetLogInformation(platform::BSTR bstrLogFile, platform::ULONG Level) override;
    platform::HRESULT get_SCPosX(platform::ULONG* pVal) override;
    platform::HRESULT put_SCPosX(platform::ULONG newVal) override;
    platform::HRESULT get_SCPosY(platform::ULONG* pVal) override;
    platform::HRESULT put_SCPosY(platform::ULONG newVal) override;
    platform::HRESULT GetSCPosition(tagPOINT* point) override;
    platform::HRESULT SetSCPosition(tagPOINT point) override;
    platform::HRESULT SaveConfiguration() override;
    platform::HRESULT ResetConfiguration() override;
    platform::HRESULT GetUpdateInterface(IZa32VUUpdater** ppUpdater) override;
    platform::HRESULT get_Log(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_Log(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT get_ConnSelect(platform::ULONG* pVal) override;
    platform::HRESULT put_ConnSelect(platform::ULONG newVal) override;
    platform::HRESULT get_LocalProxyPort(platform::USHORT* pVal) override;
    platform::HRESULT put_LocalProxyPort(platform::USHORT newVal) override;
    platform::HRESULT get_LocalProxyHost(platform::BSTR* pVal) override;
    platform::HRESULT put_LocalProxyHost(platform::BSTR newVal) override;
    platform::HRESULT get_LocalProxyUser(platform::BSTR* pVal) override;
    platform::HRESULT put_LocalProxyUser(platform::BSTR newVal) override;
    platform::HRESULT get_LocalProxyPassword(platform::BSTR* pVal) override;
    platform::HRESULT put_LocalProxyPassword(platform::BSTR newVal) override;
    platform::HRESULT get_UseProxyAuth(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_UseProxyAuth(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT get_EnvCheckToolURL(platform::BSTR* pVal) override;
    platform::HRESULT get_CtrlServer(platform::BSTR* pVal) override;
    platform::HRESULT put_CtrlServer(platform::BSTR newVal) override;
    platform::HRESULT get_StartupSetting(platform::VARIANT_BOOL* pVal) override;
    platform::HRESULT put_StartupSetting(platform::VARIANT_BOOL newVal) override;
    platform::HRESULT Shutdown() override;
    platform::HRESULT get_CtrlServerV6(platform::BSTR* pVal) override;
    platform::HRESULT put_CtrlServerV6(platform::BSTR newVal) override;
    platform::HRESULT get_DontShowWelcome(platform::ULONG* pVal) override;
    platform::HRESULT put_DontShowWelcome(platform::ULONG newVal) override;

    // ---- Inside the library -------------------------------------------------------------------
    void SetClient(CKp32ClientSC* pClientSC) { m_pClientSC = pClientSC; }
    // Loads both files, applies the log settings, builds the pipe names.
    platform::HRESULT Initialize();
    const platform::Text& GetSendPipeName() const { return m_strSendPipeName; }
    const platform::Text& GetRecvPipeName() const { return m_strRecvPipeName; }
    CZa32VUUpdater* GetUpdater() const { return m_pUpdater; }
    // For the updater: server latestlist (null when empty), time updatecheck.
    platform::HRESULT GetUpdateListUrl(platform::BSTR* pVal);
    platform::ULONG GetUpdateCheck();
    platform::HRESULT SetUpdateCheck(platform::ULONG value);

  protected:
    platform::HRESULT final_construct() override;
    void final_release() override;

  private:
    // The record of type Rec in the two files.
    template <typename Rec> Rec& Record();
    // A property of a record, read through `getter` and `convert` or written through `setter`.
    template <typename Rec, typename Stored, typename Out>
    platform::HRESULT Get(Out* pVal, Stored (Rec::*getter)() const,
                          ValueConverter<Stored, Out> convert);
    template <typename Rec, typename Stored>
    platform::HRESULT Put(void (Rec::*setter)(Stored), std::type_identity_t<Stored> value);

    platform::HRESULT SendCommand(const char16_t* method, platform::ULONG command,
                                  const platform::Text& text);

    CConfigKPClient m_kpClient;
    platform::ComPtr<platform::IUnknown> m_pUpdaterUnknown;
    CZa32VUUpdater* m_pUpdater = nullptr;
    CKp32ClientSC* m_pClientSC = nullptr;
    CConfigUser m_user;
    platform::Text m_strRecvPipeName;
    platform::Text m_strSendPipeName;
};
