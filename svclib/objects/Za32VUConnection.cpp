#include "Za32VUConnection.h"

#include "Kp32ClientSC.h"
#include "PropertyValues.h"
#include "Za32VUEnumConnections.h"
#include "Za32VUEvent.h"

#include "svclib/MessageText.h"
#include "svclib/PipeMessage.h"

using namespace platform;

namespace {

constexpr char16_t kNoAddress[] = u"0.0.0.0";
constexpr Milliseconds kStatusAnswerWait{1000};
constexpr ULONG kMaskConnectDone = SCEVENT_CONNECTED | SCEVENT_DISCONNECTED; // 10
constexpr ULONG kAllEvents = 0xFFFF;

} // namespace

const DispatchTable& CZa32VUConnection::dispatch_table() {
    using I = IZa32VUConnection;
    static const DispatchTable table{
        dispatch_get<&I::get_Name>(u"Name", 1),
        dispatch_put<&I::put_Name>(u"Name", 1),
        dispatch_get<&I::get_BrokerUrl>(u"BrokerUrl", 2),
        dispatch_put<&I::put_BrokerUrl>(u"BrokerUrl", 2),
        dispatch_get<&I::get_NetworkLayer>(u"NetworkLayer", 3),
        dispatch_put<&I::put_NetworkLayer>(u"NetworkLayer", 3),
        dispatch_get<&I::get_Encryption>(u"Encryption", 4),
        dispatch_put<&I::put_Encryption>(u"Encryption", 4),
        dispatch_method<&I::SetUser>(u"SetUser", 5, {u"user", u"password"}),
        dispatch_method<&I::GetUser>(u"GetUser", 6, {u"user", u"password"}),
        dispatch_get<&I::get_KeepConnect>(u"KeepConnect", 7),
        dispatch_put<&I::put_KeepConnect>(u"KeepConnect", 7),
        dispatch_method<&I::Connect>(u"Connect", 8, {u"ulWaitTime", u"bForce", u"pbstrIPAddress"}),
        dispatch_method<&I::Disconnect>(u"Disconnect", 9, {u"ulWaitTime"}),
        dispatch_method<&I::GetStatus>(u"GetStatus", 10, {u"pbstrInfo"}),
        dispatch_method<&I::Answer>(u"Answer", 11, {u"bYes"}),
        dispatch_method<&I::GetLastInformation>(u"GetLastInformation", 12, {u"pbstrInfo"}),
        dispatch_method<&I::GetIPAddress>(u"GetIPAddress", 13, {u"pbstrIPAddress"}),
        dispatch_get<&I::get_UserName>(u"UserName", 14),
        dispatch_put<&I::put_UserName>(u"UserName", 14),
        dispatch_put<&I::put_Password>(u"Password", 15),
        dispatch_method<&I::Save>(u"Save", 16),
        dispatch_get<&I::get_ServerCertCheck>(u"ServerCertCheck", 17),
        dispatch_put<&I::put_ServerCertCheck>(u"ServerCertCheck", 17),
        dispatch_get<&I::get_V6Conn>(u"V6Conn", 18),
        dispatch_put<&I::put_V6Conn>(u"V6Conn", 18),
        dispatch_method<&I::GetLastInformationMsgId>(u"GetLastInformationMsgId", 19, {u"msgid"}),
        dispatch_get<&I::get_BrokerUrlV6>(u"BrokerUrlV6", 20),
        dispatch_put<&I::put_BrokerUrlV6>(u"BrokerUrlV6", 20),
        dispatch_get<&I::get_BrokerNumber>(u"BrokerNumber", 22),
        dispatch_put<&I::put_BrokerNumber>(u"BrokerNumber", 22),
    };
    return table;
}

CZa32VUConnection::CZa32VUConnection() : m_strIPAddress(kNoAddress) {
    // Message texts come from the language resource library below the current directory; without
    // one, from the program's own string table.
    m_hLanguageModule = LoadLanguageModule();
}

CZa32VUConnection::~CZa32VUConnection() = default;

// ---- Record access ----------------------------------------------------------------------------

CConfigConnectionConInfo* CZa32VUConnection::Record(const char16_t* method) const {
    if (!m_pConInfo)
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::%s} m_pConInfo NULL", method);
    return m_pConInfo;
}

template <typename Stored, typename Out>
HRESULT CZa32VUConnection::Get(const char16_t* method, Out* pVal, Stored (ConInfo::*getter)() const,
                               ValueConverter<Stored, Out> convert) {
    const ConInfo* record = Record(method);
    return record ? ReadValue<ConInfo>(*record, getter, pVal, convert) : E_OUTOFMEMORY;
}

template <typename Stored>
HRESULT CZa32VUConnection::Put(const char16_t* method, void (ConInfo::*setter)(Stored),
                               std::type_identity_t<Stored> value) {
    ConInfo* record = Record(method);
    return record ? WriteValue<ConInfo>(*record, setter, value) : E_OUTOFMEMORY;
}

// ---- Properties -------------------------------------------------------------------------------

HRESULT CZa32VUConnection::get_Name(BSTR* pVal) {
    return Get(u"get_Name", pVal, &ConInfo::GetName, AsText);
}

HRESULT CZa32VUConnection::put_Name(BSTR newVal) {
    CConfigConnectionConInfo* record = Record(u"put_Name");
    if (!record)
        return E_OUTOFMEMORY;
    const TextView name = bstr_view(newVal);
    if (m_pEnum && m_pEnum->HasOtherWithName(name, this))
        return Cza32vuModule::ReportError(IZa32VUConnection::kIid, kProgIdZa32VUConnection,
                                          IDS_SC_E_DUPLICATE_NAME, SC_E_DUPLICATE_NAME);
    record->SetName(name);
    {
        LockGuard lock(m_csInfo);
        m_strName = record->GetName();
    }
    ScLogInfo(u"LIB_SC:{CZa32VUConnection::put_Name} Connection Name = %s", Text(name));
    return S_OK;
}

HRESULT CZa32VUConnection::get_BrokerUrl(BSTR* pVal) {
    return Get(u"get_BrokerUrl", pVal, &ConInfo::GetBroker, AsText);
}
HRESULT CZa32VUConnection::put_BrokerUrl(BSTR newVal) {
    return Put(u"put_BrokerUrl", &ConInfo::SetBroker, bstr_view(newVal));
}

HRESULT CZa32VUConnection::get_NetworkLayer(ULONG* pVal) {
    return Get(u"get_NetworkLayer", pVal, &ConInfo::GetLayer, AsNumber);
}
HRESULT CZa32VUConnection::put_NetworkLayer(ULONG newVal) {
    return Put(u"put_NetworkLayer", &ConInfo::SetLayer, static_cast<int>(newVal));
}

HRESULT CZa32VUConnection::get_Encryption(VARIANT_BOOL* pVal) {
    return Get(u"get_Encryption", pVal, &ConInfo::GetEncryption, AsFlag);
}
HRESULT CZa32VUConnection::put_Encryption(VARIANT_BOOL newVal) {
    return Put(u"put_Encryption", &ConInfo::SetEncryption, FlagOf(newVal));
}

HRESULT CZa32VUConnection::SetUser(BSTR user, BSTR password) {
    CConfigConnectionConInfo* record = Record(u"SetUser");
    if (!record)
        return E_OUTOFMEMORY;
    record->SetUser(bstr_view(user));
    record->SetPassword(bstr_view(password));
    return S_OK;
}

HRESULT CZa32VUConnection::GetUser(BSTR* user, BSTR* password) {
    if (user)
        *user = nullptr;
    if (password)
        *password = nullptr;
    CConfigConnectionConInfo* record = Record(u"GetUser");
    if (!record)
        return E_OUTOFMEMORY;
    if (!user || !password)
        return E_POINTER;
    const HRESULT hr = get_UserName(user);
    if (failed(hr))
        return hr;
    return AsTextOrNull(record->GetPassword(), password);
}

HRESULT CZa32VUConnection::get_KeepConnect(VARIANT_BOOL* pVal) {
    return Get(u"get_KeepConnect", pVal, &ConInfo::GetKeepconnect, AsFlag);
}
HRESULT CZa32VUConnection::put_KeepConnect(VARIANT_BOOL newVal) {
    return Put(u"put_KeepConnect", &ConInfo::SetKeepconnect, FlagOf(newVal));
}

// The user name reads as null when none is stored.
HRESULT CZa32VUConnection::get_UserName(BSTR* pVal) {
    return Get(u"get_UserName", pVal, &ConInfo::GetUser, AsTextOrNull);
}
HRESULT CZa32VUConnection::put_UserName(BSTR newVal) {
    return Put(u"put_UserName", &ConInfo::SetUser, bstr_view(newVal));
}

HRESULT CZa32VUConnection::put_Password(BSTR newVal) {
    return Put(u"put_Password", &ConInfo::SetPassword, bstr_view(newVal));
}

HRESULT CZa32VUConnection::get_ServerCertCheck(VARIANT_BOOL* pVal) {
    return Get(u"get_ServerCertCheck", pVal, &ConInfo::GetServerCertCheck, AsFlag);
}
HRESULT CZa32VUConnection::put_ServerCertCheck(VARIANT_BOOL newVal) {
    return Put(u"put_ServerCertCheck", &ConInfo::SetServerCertCheck, FlagOf(newVal));
}

HRESULT CZa32VUConnection::get_V6Conn(VARIANT_BOOL* pVal) {
    return Get(u"get_V6Conn", pVal, &ConInfo::GetV6Conn, AsFlag);
}
HRESULT CZa32VUConnection::put_V6Conn(VARIANT_BOOL newVal) {
    return Put(u"put_V6Conn", &ConInfo::SetV6Conn, FlagOf(newVal));
}

HRESULT CZa32VUConnection::get_BrokerUrlV6(BSTR* pVal) {
    return Get(u"get_BrokerUrlV6", pVal, &ConInfo::GetBrokerV6, AsText);
}
HRESULT CZa32VUConnection::put_BrokerUrlV6(BSTR newVal) {
    return Put(u"put_BrokerUrlV6", &ConInfo::SetBrokerV6, bstr_view(newVal));
}

HRESULT CZa32VUConnection::get_BrokerNumber(ULONG* pVal) {
    return Get(u"get_BrokerNumber", pVal, &ConInfo::GetBrokerNumber, AsNumber);
}
HRESULT CZa32VUConnection::put_BrokerNumber(ULONG newVal) {
    return Put(u"put_BrokerNumber", &ConInfo::SetBrokerNumber, newVal);
}

HRESULT CZa32VUConnection::Save() {
    CConfigConnectionConInfo* record = Record(u"Save");
    if (!record)
        return E_OUTOFMEMORY;
    if (!m_pClientSC) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Save} m_pClientSC NULL");
        return E_FAIL;
    }
    SCConnectionSettings settings;
    settings.name = GetName();
    settings.user = record->GetUser();
    settings.password = record->GetPassword();
    settings.keepConnect = record->GetKeepconnect() == 1;
    settings.v6Conn = record->GetV6Conn() == 1;
    settings.serverCertCheck = record->GetServerCertCheck() == 1;
    settings.brokerNumber = static_cast<std::int32_t>(record->GetBrokerNumber());
    const Text block = BuildConnectionSettingsBlock(settings);
    const HRESULT hr = m_pClientSC->SendMessage(SCCMD_SETCONFCONN, block.c_str(), 0);
    if (failed(hr)) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Save} [E%08x]SendMessage error", HrLog(hr));
        return hr;
    }
    return S_OK;
}

// ---- Commands -------------------------------------------------------------------------------

HRESULT CZa32VUConnection::SendCommand(ULONG command, LONG flag) {
    const Text name = GetName();
    return m_pClientSC->SendMessage(command, name.c_str(), flag);
}

HRESULT CZa32VUConnection::Connect(ULONG ulWaitTime, VARIANT_BOOL bForce, BSTR* pbstrIPAddress) {
    if (pbstrIPAddress)
        *pbstrIPAddress = nullptr;
    if (!m_pClientSC || GetName().empty()) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Connect} m_pClientSC or m_strName is NULL");
        return E_FAIL;
    }
    CZa32VUEvent* events = m_pClientSC->GetEventObject();
    if (!events) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Connect} CZa32VUEvent NULL");
        return E_FAIL;
    }
    // From here on the application's window gets no message until the wait ends.
    const bool ownsWait = ulWaitTime != 0 && events->SetWaitMode(true, kAllEvents) == 1;
    const auto endWait = [&] {
        if (ownsWait)
            events->SetWaitMode(false, 0);
    };

    ComPtr<IZa32VUConnection> self;
    HRESULT hr = inner_query_interface(IZa32VUConnection::kIid, self.put_void());
    if (failed(hr)) {
        endWait();
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Connect} _InternalQueryInterface error");
        return hr;
    }
    events->RemoveEvents(kAllEvents, self.get());

    hr = SendCommand(SCCMD_CONNECT, bForce);
    if (failed(hr)) {
        endWait();
        return hr;
    }
    if (ulWaitTime == 0)
        return S_OK;

    ULONG code = 0;
    BSTR context = nullptr;
    hr = events->GetEventWithMask(kMaskConnectDone, self.get(), &code, &context, ulWaitTime);
    const Bstr reason = Bstr::attach(context);
    if (failed(hr)) {
        endWait();
        return hr;
    }
    if (GetStatusValue() == SCSTATUS_CONNECTED && pbstrIPAddress)
        *pbstrIPAddress = alloc_bstr(GetAddress());
    endWait();
    if (code == SCEVENT_CONNECTED)
        return S_OK;

    if (reason.view() == u"DISABLE") {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Connect} [E%08x]DISCONNECTED Context is DISABLE",
                   HrLog(SC_E_DEVICE_DISABLED));
        return Cza32vuModule::ReportError(IZa32VUConnection::kIid, kProgIdZa32VUConnection,
                                          IDS_SC_E_DEVICE_DISABLED, SC_E_DEVICE_DISABLED);
    }
    if (reason.view() == u"AUTHERROR") {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Connect} [E%08x]DISCONNECTED Context is AUTHERROR",
                   HrLog(SC_E_AUTH_ERROR));
        return Cza32vuModule::ReportError(IZa32VUConnection::kIid, kProgIdZa32VUConnection,
                                          IDS_SC_E_AUTH_ERROR, SC_E_AUTH_ERROR);
    }
    ScLogFatal(u"LIB_SC:{CZa32VUConnection::Connect} [E%08x]DISCONNECTED Context is error",
               HrLog(SC_E_CONNECT_ERROR));
    return Cza32vuModule::ReportError(IZa32VUConnection::kIid, kProgIdZa32VUConnection,
                                      IDS_SC_E_CONNECT_ERROR, SC_E_CONNECT_ERROR);
}

HRESULT CZa32VUConnection::Disconnect(ULONG ulWaitTime) {
    if (!m_pClientSC || GetName().empty()) {
        ScLogFatal(
            u"LIB_SC:{CZa32VUConnection::Disconnect} [E%08x]m_pClientSC or m_strName is NULL",
            HrLog(E_FAIL));
        return E_FAIL;
    }
    CZa32VUEvent* events = m_pClientSC->GetEventObject();
    if (!events) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Disconnect} [E%08x]CZa32VUEvent is NULL",
                   HrLog(E_FAIL));
        return E_FAIL;
    }
    const bool ownsWait = ulWaitTime != 0 && events->SetWaitMode(true, kAllEvents) == 1;
    const auto endWait = [&] {
        if (ownsWait)
            events->SetWaitMode(false, 0);
    };

    ComPtr<IZa32VUConnection> self;
    HRESULT hr = inner_query_interface(IZa32VUConnection::kIid, self.put_void());
    if (failed(hr)) {
        endWait();
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Disconnect} [E%08x]_InternalQueryInterface error",
                   HrLog(hr));
        return hr;
    }
    events->RemoveEvents(kAllEvents, self.get());

    hr = SendCommand(SCCMD_DISCONNECT, 0);
    if (failed(hr)) {
        endWait();
        return hr;
    }
    if (ulWaitTime != 0) {
        ULONG code = 0;
        BSTR context = nullptr;
        hr =
            events->GetEventWithMask(SCEVENT_DISCONNECTED, self.get(), &code, &context, ulWaitTime);
        SysFreeString(context);
        if (failed(hr)) {
            endWait();
            return hr;
        }
    }
    endWait();
    return S_OK;
}

HRESULT CZa32VUConnection::Initialize() {
    if (!m_pClientSC || GetName().empty()) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Initialize} m_pClientSC or m_strName is empty");
        return E_FAIL;
    }
    {
        LockGuard lock(m_csInfo);
        m_ulStatus = SCSTATUS_ASKED;
        // Created before the request goes out, so an answer that comes at once is not missed.
        if (!m_hStatusEvent)
            m_hStatusEvent = std::make_unique<Event>(Event::Reset::Auto);
    }
    const HRESULT hr = SendCommand(SCCMD_STATUS, 0);
    if (failed(hr)) {
        LockGuard lock(m_csInfo);
        m_hStatusEvent.reset();
        ScLogWarn(u"LIB_SC:{CZa32VUConnection::Initialize} [W%08x]SendMessage error", HrLog(hr));
        return hr;
    }
    return S_OK;
}

HRESULT CZa32VUConnection::GetStatus(BSTR* pbstrInfo) {
    if (pbstrInfo)
        *pbstrInfo = nullptr;
    Event* statusEvent = nullptr;
    bool asked = false;
    const ULONG status = GetStatusValue();
    if (status == SCSTATUS_NONE) {
        {
            LockGuard lock(m_csInfo);
            if (m_hStatusEvent)
                m_hStatusEvent->reset();
        }
        Initialize();
        asked = true;
    } else if (status == SCSTATUS_ASKED || status == SCSTATUS_NOSERVICE ||
               status == SCSTATUS_NOANSWER) {
        {
            LockGuard lock(m_csInfo);
            // A connection whose status came unasked (a connect, a lost link) has no status event
            // yet; the request is answered all the same, so it is waited for like the first.
            if (!m_hStatusEvent)
                m_hStatusEvent = std::make_unique<Event>(Event::Reset::Auto);
            m_hStatusEvent->reset();
        }
        if (m_pClientSC && !GetName().empty())
            SendCommand(SCCMD_STATUS, 0); // a failed send shows as no answer
        asked = true;
    }
    if (asked) {
        {
            LockGuard lock(m_csInfo);
            statusEvent = m_hStatusEvent.get(); // lives as long as this object
        }
        if (statusEvent && !statusEvent->wait(kStatusAnswerWait)) {
            LockGuard lock(m_csInfo);
            // Only when nothing was reported meanwhile.
            if (m_ulStatus == SCSTATUS_ASKED || m_ulStatus == SCSTATUS_NOSERVICE ||
                m_ulStatus == SCSTATUS_NOANSWER)
                m_ulStatus = SCSTATUS_NOANSWER;
        }
    }
    LockGuard lock(m_csInfo);
    if (m_ulStatus == SCSTATUS_CONNECTED && pbstrInfo)
        *pbstrInfo = alloc_bstr(m_strIPAddress);
    return static_cast<HRESULT>(m_ulStatus);
}

HRESULT CZa32VUConnection::Answer(VARIANT_BOOL bYes) {
    if (!m_pClientSC || GetName().empty()) {
        ScLogFatal(u"LIB_SC:{CZa32VUConnection::Answer} m_pClientSC or m_strName is NULL");
        return E_FAIL;
    }
    const HRESULT hr = SendCommand(SCCMD_ANSWER, bYes);
    return failed(hr) ? hr : S_FALSE;
}

HRESULT CZa32VUConnection::GetLastInformation(BSTR* pbstrInfo) {
    if (!pbstrInfo)
        return E_POINTER;
    *pbstrInfo = nullptr;
    const Text text = GetLastInformationText();
    if (text.empty())
        return S_FALSE;
    return AsText(text, pbstrInfo);
}

HRESULT CZa32VUConnection::GetIPAddress(BSTR* pbstrIPAddress) {
    if (!pbstrIPAddress)
        return E_POINTER;
    *pbstrIPAddress = nullptr;
    LockGuard lock(m_csInfo);
    if (m_ulStatus != SCSTATUS_CONNECTED)
        return S_FALSE;
    return AsText(m_strIPAddress, pbstrIPAddress);
}

HRESULT CZa32VUConnection::GetLastInformationMsgId(ULONG* msgid) {
    if (!msgid)
        return E_POINTER;
    LockGuard lock(m_csInfo);
    *msgid = m_ulLastMsgId;
    return S_OK;
}

// ---- Inside the library -----------------------------------------------------------------------

void CZa32VUConnection::SetConfigConInfo(CConfigConnectionConInfo* pConInfo) {
    m_pConInfo = pConInfo;
    if (pConInfo) {
        LockGuard lock(m_csInfo);
        m_strName = pConInfo->GetName();
    }
}

bool CZa32VUConnection::EqualName(TextView name) const {
    LockGuard lock(m_csInfo);
    return m_strName == name;
}

Text CZa32VUConnection::GetName() const {
    LockGuard lock(m_csInfo);
    return m_strName;
}

void CZa32VUConnection::SetStatus(ULONG status, const char16_t* address, bool signal) {
    LockGuard lock(m_csInfo);
    m_ulStatus = status;
    if (signal && m_hStatusEvent)
        m_hStatusEvent->set();
    m_strIPAddress = address ? address : kNoAddress;
}

void CZa32VUConnection::SignalStatus() {
    LockGuard lock(m_csInfo);
    if (m_hStatusEvent)
        m_hStatusEvent->set();
}

ULONG CZa32VUConnection::GetStatusValue() const {
    LockGuard lock(m_csInfo);
    return m_ulStatus;
}

Text CZa32VUConnection::GetAddress() const {
    LockGuard lock(m_csInfo);
    return m_strIPAddress;
}

std::optional<Text> CZa32VUConnection::FormatInformation(std::span<const Text> args) {
    std::optional<SCMessageText> message = ::FormatInformation(m_hLanguageModule.get(), args);
    if (!message)
        return std::nullopt;
    LockGuard lock(m_csInfo);
    m_ulLastMsgId = message->msgId;
    return std::move(message->text);
}

void CZa32VUConnection::SetLastInformation(std::span<const Text> args) {
    std::optional<Text> text = FormatInformation(args);
    if (!text)
        return;
    LockGuard lock(m_csInfo);
    m_strLastInformation = std::move(*text);
}

Text CZa32VUConnection::GetLastInformationText() const {
    LockGuard lock(m_csInfo);
    return m_strLastInformation;
}
