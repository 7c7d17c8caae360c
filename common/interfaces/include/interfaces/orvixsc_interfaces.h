#pragma once
// The six dual interfaces of the service client library, members in interface order (the order
// of their vtable slots after IDispatch), with their dispatch ids.
//
// Types as the automation interfaces use them: text is a BSTR (the receiver frees it), booleans
// are VARIANT_BOOL, "unsigned 32-bit" is ULONG, pointer-sized values are LONG_PTR/ULONG_PTR.
// Property accessors come as get_/put_ pairs sharing one dispatch id.
#include "interfaces/orvixsc_ids.h"
#include "platform/com.h"

struct IZa32VUConnection;
struct IZa32VUEnumConnections;
struct IZa32VUUpdater;

// The automation point record (GetSCPosition, SetSCPosition).
struct tagPOINT {
    platform::LONG x;
    platform::LONG y;
};
using POINT = tagPOINT;

// ---- IKp32ClientSC --------------------------------------------------------------------------
struct IKp32ClientSC : platform::IDispatch {
    static constexpr platform::IID kIid = IID_IKp32ClientSC;
    virtual platform::HRESULT Initialize(platform::BSTR bstrPathName) = 0; // 1
    virtual platform::HRESULT Uninitialize() = 0;                          // 2
    virtual platform::HRESULT ConnectService() = 0;                        // 3
    virtual platform::HRESULT CreateConnection(platform::BSTR bstrName,
                                               IZa32VUConnection** ppCon) = 0; // 4
    virtual platform::HRESULT RemoveConnection(platform::BSTR bstrName,
                                               IZa32VUConnection** ppCon) = 0;      // 5
    virtual platform::HRESULT EnumConnections(IZa32VUEnumConnections** ppEnum) = 0; // 6
    virtual platform::HRESULT SaveConnectionConfig() = 0;                           // 7
    virtual platform::HRESULT ResetConnectionConfig() = 0;                          // 8
    // The host's log writer (CLogOutput) as a pointer-sized integer; 0 switches logging off.
    virtual platform::HRESULT SetLogOutObject(platform::LONG_PTR pLogObject) = 0; // 9

  protected:
    ~IKp32ClientSC() = default;
};

// ---- IZa32VUConnection ------------------------------------------------------------------------
struct IZa32VUConnection : platform::IDispatch {
    static constexpr platform::IID kIid = IID_IZa32VUConnection;
    virtual platform::HRESULT get_Name(platform::BSTR* pVal) = 0;                          // 1
    virtual platform::HRESULT put_Name(platform::BSTR newVal) = 0;                         // 1
    virtual platform::HRESULT get_BrokerUrl(platform::BSTR* pVal) = 0;                     // 2
    virtual platform::HRESULT put_BrokerUrl(platform::BSTR newVal) = 0;                    // 2
    virtual platform::HRESULT get_NetworkLayer(platform::ULONG* pVal) = 0;                 // 3
    virtual platform::HRESULT put_NetworkLayer(platform::ULONG newVal) = 0;                // 3
    virtual platform::HRESULT get_Encryption(platform::VARIANT_BOOL* pVal) = 0;            // 4
    virtual platform::HRESULT put_Encryption(platform::VARIANT_BOOL newVal) = 0;           // 4
    virtual platform::HRESULT SetUser(platform::BSTR user, platform::BSTR password) = 0;   // 5
    virtual platform::HRESULT GetUser(platform::BSTR* user, platform::BSTR* password) = 0; // 6
    virtual platform::HRESULT get_KeepConnect(platform::VARIANT_BOOL* pVal) = 0;           // 7
    virtual platform::HRESULT put_KeepConnect(platform::VARIANT_BOOL newVal) = 0;          // 7
    virtual platform::HRESULT Connect(platform::ULONG ulWaitTime, platform::VARIANT_BOOL bForce,
                                      platform::BSTR* pbstrIPAddress) = 0; // 8
    virtual platform::HRESULT Disconnect(platform::ULONG ulWaitTime) = 0;  // 9
    // Returns the status itself (SCSTATUS_*) as the call's result.
    virtual platform::HRESULT GetStatus(platform::BSTR* pbstrInfo) = 0;               // 10
    virtual platform::HRESULT Answer(platform::VARIANT_BOOL bYes) = 0;                // 11
    virtual platform::HRESULT GetLastInformation(platform::BSTR* pbstrInfo) = 0;      // 12
    virtual platform::HRESULT GetIPAddress(platform::BSTR* pbstrIPAddress) = 0;       // 13
    virtual platform::HRESULT get_UserName(platform::BSTR* pVal) = 0;                 // 14
    virtual platform::HRESULT put_UserName(platform::BSTR newVal) = 0;                // 14
    virtual platform::HRESULT put_Password(platform::BSTR newVal) = 0;                // 15
    virtual platform::HRESULT Save() = 0;                                             // 16
    virtual platform::HRESULT get_ServerCertCheck(platform::VARIANT_BOOL* pVal) = 0;  // 17
    virtual platform::HRESULT put_ServerCertCheck(platform::VARIANT_BOOL newVal) = 0; // 17
    virtual platform::HRESULT get_V6Conn(platform::VARIANT_BOOL* pVal) = 0;           // 18
    virtual platform::HRESULT put_V6Conn(platform::VARIANT_BOOL newVal) = 0;          // 18
    virtual platform::HRESULT GetLastInformationMsgId(platform::ULONG* msgid) = 0;    // 19
    virtual platform::HRESULT get_BrokerUrlV6(platform::BSTR* pVal) = 0;              // 20
    virtual platform::HRESULT put_BrokerUrlV6(platform::BSTR newVal) = 0;             // 20
    virtual platform::HRESULT get_BrokerNumber(platform::ULONG* pVal) = 0;            // 22
    virtual platform::HRESULT put_BrokerNumber(platform::ULONG newVal) = 0;           // 22

  protected:
    ~IZa32VUConnection() = default;
};

// ---- IZa32VUEnumConnections -------------------------------------------------------------------
struct IZa32VUEnumConnections : platform::IDispatch {
    static constexpr platform::IID kIid = IID_IZa32VUEnumConnections;
    // ppConnections is an array of NumOfConn elements; pFetched is required.
    virtual platform::HRESULT Next(platform::ULONG NumOfConn, IZa32VUConnection** ppConnections,
                                   platform::ULONG* pFetched) = 0;        // 1
    virtual platform::HRESULT Skip(platform::ULONG NumOfConn) = 0;        // 2
    virtual platform::HRESULT Reset() = 0;                                // 3
    virtual platform::HRESULT Clone(IZa32VUEnumConnections** ppEnum) = 0; // 4

  protected:
    ~IZa32VUEnumConnections() = default;
};

// ---- IZa32VUSystem ----------------------------------------------------------------------------
struct IZa32VUSystem : platform::IDispatch {
    static constexpr platform::IID kIid = IID_IZa32VUSystem;
    virtual platform::HRESULT get_ProductName(platform::BSTR* pVal) = 0;       // 1
    virtual platform::HRESULT get_ProductVersion(platform::BSTR* pVal) = 0;    // 2
    virtual platform::HRESULT get_ServiceName(platform::BSTR* pVal) = 0;       // 3
    virtual platform::HRESULT get_UninstallerName(platform::BSTR* pVal) = 0;   // 4
    virtual platform::HRESULT get_DriverName(platform::BSTR* pVal) = 0;        // 5
    virtual platform::HRESULT get_InfFileName(platform::BSTR* pVal) = 0;       // 6
    virtual platform::HRESULT get_NetworkName(platform::BSTR* pVal) = 0;       // 7
    virtual platform::HRESULT get_Hardwareid(platform::BSTR* pVal) = 0;        // 8
    virtual platform::HRESULT get_RegistryName(platform::BSTR* pVal) = 0;      // 9
    virtual platform::HRESULT get_InstallFolderName(platform::BSTR* pVal) = 0; // 10
    virtual platform::HRESULT get_MTUSize(platform::ULONG* pVal) = 0;          // 11
    virtual platform::HRESULT put_MTUSize(platform::ULONG newVal) = 0;         // 11
    virtual platform::HRESULT get_KeepAlive(platform::ULONG* pVal) = 0;        // 12
    virtual platform::HRESULT put_KeepAlive(platform::ULONG newVal) = 0;       // 12
    virtual platform::HRESULT get_RetryInterval(platform::ULONG* pVal) = 0;    // 13
    virtual platform::HRESULT put_RetryInterval(platform::ULONG newVal) = 0;   // 13
    virtual platform::HRESULT get_RetryCount(platform::ULONG* pVal) = 0;       // 14
    virtual platform::HRESULT put_RetryCount(platform::ULONG newVal) = 0;      // 14
    virtual platform::HRESULT SetRetryParameters(platform::ULONG Interval,
                                                 platform::ULONG Count) = 0; // 15
    virtual platform::HRESULT GetRetryParameters(platform::ULONG* pInterval,
                                                 platform::ULONG* pCount) = 0; // 16
    virtual platform::HRESULT get_LogFileName(platform::BSTR* pVal) = 0;       // 17
    virtual platform::HRESULT put_LogFileName(platform::BSTR newVal) = 0;      // 17
    virtual platform::HRESULT get_LogLevel(platform::ULONG* pVal) = 0;         // 18
    virtual platform::HRESULT put_LogLevel(platform::ULONG newVal) = 0;        // 18
    virtual platform::HRESULT GetLogInformation(platform::BSTR* pbstrLogFile,
                                                platform::ULONG* pLevel) = 0; // 19
    virtual platform::HRESULT SetLogInformation(platform::BSTR bstrLogFile,
                                                platform::ULONG Level) = 0;          // 20
    virtual platform::HRESULT get_SCPosX(platform::ULONG* pVal) = 0;                 // 22
    virtual platform::HRESULT put_SCPosX(platform::ULONG newVal) = 0;                // 22
    virtual platform::HRESULT get_SCPosY(platform::ULONG* pVal) = 0;                 // 23
    virtual platform::HRESULT put_SCPosY(platform::ULONG newVal) = 0;                // 23
    virtual platform::HRESULT GetSCPosition(tagPOINT* point) = 0;                    // 24
    virtual platform::HRESULT SetSCPosition(tagPOINT point) = 0;                     // 25
    virtual platform::HRESULT SaveConfiguration() = 0;                               // 26
    virtual platform::HRESULT ResetConfiguration() = 0;                              // 27
    virtual platform::HRESULT GetUpdateInterface(IZa32VUUpdater** ppUpdater) = 0;    // 28
    virtual platform::HRESULT get_Log(platform::VARIANT_BOOL* pVal) = 0;             // 29
    virtual platform::HRESULT put_Log(platform::VARIANT_BOOL newVal) = 0;            // 29
    virtual platform::HRESULT get_ConnSelect(platform::ULONG* pVal) = 0;             // 30
    virtual platform::HRESULT put_ConnSelect(platform::ULONG newVal) = 0;            // 30
    virtual platform::HRESULT get_LocalProxyPort(platform::USHORT* pVal) = 0;        // 31
    virtual platform::HRESULT put_LocalProxyPort(platform::USHORT newVal) = 0;       // 31
    virtual platform::HRESULT get_LocalProxyHost(platform::BSTR* pVal) = 0;          // 32
    virtual platform::HRESULT put_LocalProxyHost(platform::BSTR newVal) = 0;         // 32
    virtual platform::HRESULT get_LocalProxyUser(platform::BSTR* pVal) = 0;          // 33
    virtual platform::HRESULT put_LocalProxyUser(platform::BSTR newVal) = 0;         // 33
    virtual platform::HRESULT get_LocalProxyPassword(platform::BSTR* pVal) = 0;      // 34
    virtual platform::HRESULT put_LocalProxyPassword(platform::BSTR newVal) = 0;     // 34
    virtual platform::HRESULT get_UseProxyAuth(platform::VARIANT_BOOL* pVal) = 0;    // 35
    virtual platform::HRESULT put_UseProxyAuth(platform::VARIANT_BOOL newVal) = 0;   // 35
    virtual platform::HRESULT get_EnvCheckToolURL(platform::BSTR* pVal) = 0;         // 36
    virtual platform::HRESULT get_CtrlServer(platform::BSTR* pVal) = 0;              // 37
    virtual platform::HRESULT put_CtrlServer(platform::BSTR newVal) = 0;             // 37
    virtual platform::HRESULT get_StartupSetting(platform::VARIANT_BOOL* pVal) = 0;  // 38
    virtual platform::HRESULT put_StartupSetting(platform::VARIANT_BOOL newVal) = 0; // 38
    virtual platform::HRESULT Shutdown() = 0;                                        // 39
    virtual platform::HRESULT get_CtrlServerV6(platform::BSTR* pVal) = 0;            // 40
    virtual platform::HRESULT put_CtrlServerV6(platform::BSTR newVal) = 0;           // 40
    virtual platform::HRESULT get_DontShowWelcome(platform::ULONG* pVal) = 0;        // 41
    virtual platform::HRESULT put_DontShowWelcome(platform::ULONG newVal) = 0;       // 41

  protected:
    ~IZa32VUSystem() = default;
};

// ---- IZa32VUUpdater ---------------------------------------------------------------------------
struct IZa32VUUpdater : platform::IDispatch {
    static constexpr platform::IID kIid = IID_IZa32VUUpdater;
    virtual platform::HRESULT get_UpdateListUrl(platform::BSTR* pVal) = 0;    // 1
    virtual platform::HRESULT get_UpdateInterval(platform::ULONG* pVal) = 0;  // 3
    virtual platform::HRESULT put_UpdateInterval(platform::ULONG newVal) = 0; // 3
    virtual platform::HRESULT CheckUpdate() = 0;                              // 4
    virtual platform::HRESULT Update() = 0;                                   // 5

  protected:
    ~IZa32VUUpdater() = default;
};

// ---- IZa32VUEvent -----------------------------------------------------------------------------
struct IZa32VUEvent : platform::IDispatch {
    static constexpr platform::IID kIid = IID_IZa32VUEvent;
    // The event to signal (a platform::Event's address). Pointer-sized here: a handle narrowed
    // to 32 bits would not survive on a 64-bit build.
    virtual platform::HRESULT SetEventHandle(platform::ULONG_PTR hEvent) = 0; // 1
    // hWndNotify is a platform::WindowHandle.
    virtual platform::HRESULT SetNotifyWindow(platform::ULONG_PTR hWndNotify,
                                              platform::ULONG ulMsgId,
                                              platform::LONG_PTR lParam) = 0; // 2
    virtual platform::HRESULT SetEventMask(platform::ULONG ulEventMask) = 0;  // 3
    // The caller takes over the context string (a BSTR, or 0) and the interface reference.
    virtual platform::HRESULT GetEvent(platform::ULONG* pEventCode, platform::LONG_PTR* pContext,
                                       platform::LONG_PTR* ppInterface,
                                       platform::ULONG ulWaitTime) = 0; // 4

  protected:
    ~IZa32VUEvent() = default;
};

// ---- Dispatch ids -----------------------------------------------------------------------------
namespace dispid {
namespace Kp32ClientSC {
inline constexpr platform::DISPID Initialize = 1, Uninitialize = 2, ConnectService = 3,
                                  CreateConnection = 4, RemoveConnection = 5, EnumConnections = 6,
                                  SaveConnectionConfig = 7, ResetConnectionConfig = 8,
                                  SetLogOutObject = 9;
}
namespace Za32VUConnection {
inline constexpr platform::DISPID Name = 1, BrokerUrl = 2, NetworkLayer = 3, Encryption = 4,
                                  SetUser = 5, GetUser = 6, KeepConnect = 7, Connect = 8,
                                  Disconnect = 9, GetStatus = 10, Answer = 11,
                                  GetLastInformation = 12, GetIPAddress = 13, UserName = 14,
                                  Password = 15, Save = 16, ServerCertCheck = 17, V6Conn = 18,
                                  GetLastInformationMsgId = 19, BrokerUrlV6 = 20, BrokerNumber = 22;
}
namespace Za32VUEnumConnections {
inline constexpr platform::DISPID Next = 1, Skip = 2, Reset = 3, Clone = 4;
}
namespace Za32VUSystem {
inline constexpr platform::DISPID ProductName = 1, ProductVersion = 2, ServiceName = 3,
                                  UninstallerName = 4, DriverName = 5, InfFileName = 6,
                                  NetworkName = 7, Hardwareid = 8, RegistryName = 9,
                                  InstallFolderName = 10, MTUSize = 11, KeepAlive = 12,
                                  RetryInterval = 13, RetryCount = 14, SetRetryParameters = 15,
                                  GetRetryParameters = 16, LogFileName = 17, LogLevel = 18,
                                  GetLogInformation = 19, SetLogInformation = 20, SCPosX = 22,
                                  SCPosY = 23, GetSCPosition = 24, SetSCPosition = 25,
                                  SaveConfiguration = 26, ResetConfiguration = 27,
                                  GetUpdateInterface = 28, Log = 29, ConnSelect = 30,
                                  LocalProxyPort = 31, LocalProxyHost = 32, LocalProxyUser = 33,
                                  LocalProxyPassword = 34, UseProxyAuth = 35, EnvCheckToolURL = 36,
                                  CtrlServer = 37, StartupSetting = 38, Shutdown = 39,
                                  CtrlServerV6 = 40, DontShowWelcome = 41;
}
namespace Za32VUUpdater {
inline constexpr platform::DISPID UpdateListUrl = 1, UpdateInterval = 3, CheckUpdate = 4,
                                  Update = 5;
}
namespace Za32VUEvent {
inline constexpr platform::DISPID SetEventHandle = 1, SetNotifyWindow = 2, SetEventMask = 3,
                                  GetEvent = 4;
}
} // namespace dispid
