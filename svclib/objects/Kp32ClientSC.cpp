#include "Kp32ClientSC.h"

#include "Za32VUEnumConnections.h"
#include "Za32VUEvent.h"
#include "Za32VUSystem.h"

#include "common/config/ConfigFile.h"
#include "svclib/PipeMessage.h"

#include <new>
#include <vector>

using namespace platform;

namespace {

// Serialises every write on a send pipe of this process.
Lock& SendLock() {
    static Lock lock;
    return lock;
}

constexpr std::size_t kReceiveBufferUnits = 256;

} // namespace

const DispatchTable& CKp32ClientSC::dispatch_table() {
    using I = IKp32ClientSC;
    static const DispatchTable table{
        dispatch_method<&I::Initialize>(u"Initialize", 1, {u"bstrPathName"}),
        dispatch_method<&I::Uninitialize>(u"Uninitialize", 2),
        dispatch_method<&I::ConnectService>(u"ConnectService", 3),
        dispatch_method<&I::CreateConnection>(u"CreateConnection", 4, {u"bstrName", u"ppCon"}),
        dispatch_method<&I::RemoveConnection>(u"RemoveConnection", 5, {u"bstrName", u"ppCon"}),
        dispatch_method<&I::EnumConnections>(u"EnumConnections", 6, {u"ppEnum"}),
        dispatch_method<&I::SaveConnectionConfig>(u"SaveConnectionConfig", 7),
        dispatch_method<&I::ResetConnectionConfig>(u"ResetConnectionConfig", 8),
        dispatch_method<&I::SetLogOutObject>(u"SetLogOutObject", 9, {u"pLogObject"}),
    };
    return table;
}

CKp32ClientSC::CKp32ClientSC() = default;
CKp32ClientSC::~CKp32ClientSC() = default;

HRESULT CKp32ClientSC::final_construct() {
    HRESULT hr =
        create_aggregated<CZa32VUEnumConnections>(controlling_unknown(), m_pEnumUnknown, &m_pEnum);
    if (succeeded(hr))
        hr = create_aggregated<CZa32VUSystem>(controlling_unknown(), m_pSystemUnknown, &m_pSystem);
    if (succeeded(hr))
        hr = create_aggregated<CZa32VUEvent>(controlling_unknown(), m_pEventUnknown, &m_pEvent);
    return hr;
}

void CKp32ClientSC::final_release() {
    {
        LockGuard link(m_csLink);
        if (m_hThread) {
            // Released without Uninitialize: the thread must not outlive the object it works on.
            std::uint32_t error = 0;
            if (!StopReceiveThread(error)) {
                ScLogFatal(u"LIB_SC:{CKp32ClientSC::Uninitialize} [E%08x]WaitForSingleObject error",
                           HrLog(hresult_from_system(error)));
                if (m_hThread->join(kThreadStopWait))
                    m_hThread.reset();
                else
                    m_hThread->detach();
            }
        }
        CloseLink();
    }
    // The enumerator detaches the connection objects that callers still hold.
    m_pEnum = nullptr;
    m_pSystem = nullptr;
    m_pEvent = nullptr;
    m_pEnumUnknown.reset();
    m_pSystemUnknown.reset();
    m_pEventUnknown.reset();
}

HRESULT CKp32ClientSC::find_extra_interface(const IID& iid, void** object) {
    *object = nullptr;
    if (iid == IZa32VUEnumConnections::kIid && m_pEnumUnknown)
        return m_pEnumUnknown->QueryInterface(iid, object);
    if (iid == IZa32VUSystem::kIid && m_pSystemUnknown)
        return m_pSystemUnknown->QueryInterface(iid, object);
    if (iid == IZa32VUEvent::kIid && m_pEventUnknown)
        return m_pEventUnknown->QueryInterface(iid, object);
    return E_NOINTERFACE;
}

// ---- IKp32ClientSC ----------------------------------------------------------------------------

HRESULT CKp32ClientSC::Initialize(BSTR bstrPathName) {
    const TextView folder = bstr_view(bstrPathName);
    CConfigFile::SetConfigFolder(folder);
    Cza32vuModule::SetInstallFolder(folder);

    m_pSystem->SetClient(this);
    const HRESULT hr = m_pSystem->Initialize();
    if (failed(hr))
        return hr;
    m_pEnum->SetClient(this);
    return m_pEnum->Initialize();
}

HRESULT CKp32ClientSC::ConnectService() {
    LockGuard link(m_csLink);
    if (m_hThread) {
        if (m_hThread->running() && !m_bLinkEnding)
            return S_OK; // linked already
        // The previous link is gone (or going): let its thread end and close what is left.
        std::uint32_t error = 0;
        if (!StopReceiveThread(error))
            return hresult_from_system(error);
        CloseLink();
    }
    m_bLinkEnding = false;

    const auto pipeFailure = [this](HRESULT pipeResult) {
        if (pipeResult == hresult_from_system(ERROR_SEM_TIMEOUT))
            return hresult_from_system(WAIT_TIMEOUT); // every instance busy past the wait
        return Cza32vuModule::ReportError(IKp32ClientSC::kIid, kProgIdKp32ClientSC,
                                          IDS_SC_E_SERVICE_STOPPED, SC_E_SERVICE_STOPPED);
    };

    const Text sendName = m_pSystem->GetSendPipeName();
    const Text recvName = m_pSystem->GetRecvPipeName();
    if (!m_pipeSend.PipeOpenNamedPipe(sendName.c_str(), 0, false, nullptr, nullptr)) {
        ScLogWarn(u"LIB_SC:{CKp32ClientSC::ConnectService} [W%08x]Send Pipe Name = %s is error",
                  HrLog(SC_E_SERVICE_STOPPED), sendName);
        return pipeFailure(m_pipeSend.GetLastResult());
    }

    m_hRecvEvent = std::make_unique<Event>(Event::Reset::Auto);
    if (!m_hRecvEvent->valid()) {
        m_hRecvEvent.reset();
        CloseSendPipe();
        const HRESULT hr = hresult_from_system(ERROR_NO_SYSTEM_RESOURCES);
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ConnectService} [E%08x]Create Receive Event error",
                   HrLog(hr));
        return hr;
    }

    if (!m_pipeRecv.PipeOpenNamedPipe(recvName.c_str(), 0, false, m_hRecvEvent.get(), nullptr)) {
        const HRESULT pipeResult = m_pipeRecv.GetLastResult();
        {
            LockGuard lock(m_csRecvPipe);
            if (m_pipeRecv.IsOpen())
                m_pipeRecv.PipeCloseHandle(); // opened, but its first read did not start
        }
        m_hRecvEvent.reset();
        CloseSendPipe();
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ConnectService} [E%08x]PipeOpenNamedPipe error",
                   HrLog(SC_E_SERVICE_STOPPED));
        return pipeFailure(pipeResult);
    }

    m_hStopEvent = std::make_unique<Event>(Event::Reset::Auto);
    if (!m_hStopEvent->valid()) {
        const HRESULT hr = hresult_from_system(ERROR_NO_SYSTEM_RESOURCES);
        CloseLink();
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ConnectService} [E%08x]PipeOpenNamedPipe error",
                   HrLog(SC_E_SERVICE_STOPPED));
        return hr;
    }

    auto thread = std::make_unique<Thread>([this] { ReceiveThread(); });
    if (!thread->started()) {
        const std::uint32_t error = last_system_error();
        const HRESULT hr = hresult_from_system(error ? error : ERROR_NOT_ENOUGH_MEMORY);
        CloseLink();
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ConnectService} [E%08x]Create Receive Thread  error",
                   HrLog(hr));
        return hr;
    }
    m_hThread = std::move(thread);
    return S_OK;
}

HRESULT CKp32ClientSC::Uninitialize() {
    LockGuard link(m_csLink);
    std::uint32_t error = 0;
    const bool ended = StopReceiveThread(error);
    if (ended || !m_hThread)
        CloseLink();
    else
        CloseSendPipe(); // the thread that did not end still owns its pipe
    m_bLinkEnding = false;
    if (!ended) {
        const HRESULT hr = hresult_from_system(error);
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::Uninitialize} [E%08x]WaitForSingleObject error",
                   HrLog(hr));
        return hr;
    }
    return S_OK;
}

HRESULT CKp32ClientSC::CreateConnection(BSTR bstrName, IZa32VUConnection** ppCon) {
    HRESULT hr = S_OK;
    ComPtr<IZa32VUConnection> connection = m_pEnum->AddNewConnection(bstr_view(bstrName), hr);
    const bool created = static_cast<bool>(connection);
    if (ppCon)
        *ppCon = connection.detach(); // without an out argument it is released at once
    return created ? S_OK : hr;
}

HRESULT CKp32ClientSC::RemoveConnection(BSTR bstrName, IZa32VUConnection** ppCon) {
    HRESULT hr = S_OK;
    ComPtr<IZa32VUConnection> connection = m_pEnum->RemoveConnection(bstr_view(bstrName), hr);
    const bool found = static_cast<bool>(connection);
    if (ppCon)
        *ppCon = connection.detach();
    return found ? S_OK : hr;
}

HRESULT CKp32ClientSC::EnumConnections(IZa32VUEnumConnections** ppEnum) {
    return m_pEnum->Clone(ppEnum);
}

HRESULT CKp32ClientSC::SaveConnectionConfig() {
    return S_OK; // connection settings reach the service one connection at a time (Save)
}

HRESULT CKp32ClientSC::ResetConnectionConfig() {
    return m_pEnum->Initialize();
}

HRESULT CKp32ClientSC::SetLogOutObject(LONG_PTR pLogObject) {
    SetLibLogTarget(reinterpret_cast<CLogOutput*>(pLogObject));
    return S_OK;
}

// ---- Commands ---------------------------------------------------------------------------------

HRESULT CKp32ClientSC::SendMessage(ULONG command, const char16_t* text, LONG flag) {
    Text message;
    try {
        message = BuildCommandText(command, text, flag);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    std::uint32_t written = 0;
    {
        LockGuard lock(SendLock());
        written = m_pipeSend.PipeWriteFile(message.c_str());
    }
    // Whatever the cause; the link itself is torn down only by the receive thread.
    return written ? S_OK : PIPE_E_BROKEN;
}

void CKp32ClientSC::CloseSendPipe() {
    LockGuard lock(SendLock());
    m_pipeSend.PipeCloseHandle();
}

void CKp32ClientSC::CloseLink() {
    {
        LockGuard lock(m_csRecvPipe);
        m_pipeRecv.PipeCloseHandle();
    }
    CloseSendPipe();
    m_hRecvEvent.reset();
    m_hStopEvent.reset();
}

bool CKp32ClientSC::StopReceiveThread(std::uint32_t& error) {
    if (!m_hThread) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (m_hStopEvent)
        m_hStopEvent->set();
    {
        // A body read that waits for announced bytes ends at once.
        LockGuard lock(m_csRecvPipe);
        if (m_pipeRecv.IsOpen())
            m_pipeRecv.CancelIo();
    }
    if (!m_hThread->join(kThreadStopWait)) {
        error = WAIT_TIMEOUT;
        return false;
    }
    m_hThread.reset();
    return true;
}

bool CKp32ClientSC::IsLinked() const {
    return m_hThread && m_hThread->running() && !m_bLinkEnding;
}

// ---- Receive thread ---------------------------------------------------------------------------

void CKp32ClientSC::ReceiveThread() {
    // No apartment to enter on this platform: interface pointers reach the application's thread
    // through the event queue as they are.
    CheckUpdate();
    // The stop event first: a stream of notifications must not hold off Uninitialize.
    Event* const events[] = {m_hStopEvent.get(), m_hRecvEvent.get()};
    for (;;) {
        const std::optional<std::size_t> signalled = wait_any(events, kReceiveWait);
        if (!signalled) {
            CheckUpdate();
            continue;
        }
        if (*signalled == 0)
            break;
        if (ReceiveMessage() == 0)
            break;
    }
    // The events stay until whoever joins this thread closes them with the pipes.
}

HRESULT CKp32ClientSC::ReceiveMessage() {
    std::vector<char16_t> buffer;
    std::uint32_t size = 0;
    std::uint32_t read = 0;
    try {
        buffer.assign(kReceiveBufferUnits, 0);
        size = static_cast<std::uint32_t>(buffer.size() * sizeof(char16_t));
        read = m_pipeRecv.PipeReadFile(buffer.data(), &size);
    } catch (const std::bad_alloc&) {
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} ReadBuffer pointer is NULL");
        return 1;
    }
    if (read == 0) {
        HRESULT hr = m_pipeRecv.GetLastResult();
        if (hr == PIPE_E_MORE_DATA) {
            try {
                buffer.assign((size + 1) / sizeof(char16_t), 0);
            } catch (const std::bad_alloc&) {
                ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} ReadBuffer pointer is NULL");
                return 1;
            }
            size = static_cast<std::uint32_t>(buffer.size() * sizeof(char16_t));
            read = m_pipeRecv.PipeReadFile(buffer.data(), &size);
            if (read == 0) {
                ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} Pipe Read Byte  = 0");
                // A pipe that broke meanwhile is a lost link all the same: no read is pending
                // any more that would tell.
                if (m_pipeRecv.GetLastResult() == PIPE_E_BROKEN)
                    return OnLinkLost();
                return 1;
            }
        } else if (hr == PIPE_E_BROKEN) {
            return OnLinkLost();
        } else {
            return 0; // the thread ends; the pipes stay open
        }
    }
    return DispatchNotification(TextView(buffer.data(), read / sizeof(char16_t)));
}

HRESULT CKp32ClientSC::OnLinkLost() {
    m_bLinkEnding = true;
    // Both pipes are closed before anyone hears of the loss, so that a consumer reacting to
    // event 48 (by reconnecting) finds the link torn down.
    {
        LockGuard lock(m_csRecvPipe);
        m_pipeRecv.PipeCloseHandle();
    }
    CloseSendPipe();
    if (failed(NotifyServiceLost()))
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} SetEvent error");
    ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} [E%08x]ReceiveMessage read byte = 0",
               HrLog(SC_E_SERVICE_STOPPED));
    return 0;
}

HRESULT CKp32ClientSC::DispatchNotification(TextView text) {
    std::optional<SCNotification> note = ParseNotification(text);
    if (!note) {
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} [E%08x]command illigal message",
                   HrLog(SC_E_ILLEGAL_MESSAGE));
        return 1;
    }
    ScLogInfo(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} command = %s", note->word);
    std::vector<Text>& args = note->args;
    if (args.empty()) {
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} [E%08x]argment illigal message",
                   HrLog(SC_E_ILLEGAL_MESSAGE));
        return 1;
    }
    const CZa32VUEnumConnections::ConnectionRef connection = m_pEnum->FindConnection(args[0]);
    if (!connection) {
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} ComConnection same name not found");
        return 1;
    }

    const Text& word = note->word;
    ULONG code = 0;
    bool emptyContext = false;
    if (word == u"CONNECTING") {
        connection->SetStatus(SCSTATUS_CONNECTING, nullptr, false);
        code = SCEVENT_CONNECTING;
    } else if (word == u"CONNECTED") {
        if (args.size() < 2) {
            ScLogInfo(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} CONNECTED argment error");
            connection->SetStatus(SCSTATUS_CONNECTED, u"0.0.0.0", false);
            emptyContext = true;
        } else {
            connection->SetStatus(SCSTATUS_CONNECTED, args[1].c_str(), false);
        }
        code = SCEVENT_CONNECTED;
    } else if (word == u"DISCONNECTING") {
        connection->SetStatus(SCSTATUS_DISCONNECTING, nullptr, false);
        code = SCEVENT_DISCONNECTING;
    } else if (word == u"DISCONNECTED") {
        if (args.size() < 2) {
            ScLogInfo(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} DISCONNECTED argment error");
            args.emplace_back();
        }
        connection->SetStatus(SCSTATUS_DISCONNECTED, nullptr, false);
        code = SCEVENT_DISCONNECTED;
    } else if (word == u"INFORMATION" || word == u"QUERY") {
        if (args.size() < 2) {
            // Nothing to format without a message id: dropped.
            ScLogInfo(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} %s argment error", word);
            return 1;
        }
        if (word == u"INFORMATION") {
            connection->SetLastInformation(std::span<const Text>(args).subspan(1));
            code = SCEVENT_INFORMATION;
        } else {
            code = SCEVENT_QUERY;
        }
    } else {
        ScLogInfo(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} COMMAND Message Unknown");
        return 1;
    }

    IZa32VUConnection* pInterface = nullptr;
    if (failed(connection->inner_query_interface(IZa32VUConnection::kIid,
                                                 reinterpret_cast<void**>(&pInterface))) ||
        !pInterface) {
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::ReceiveMessage} IZa32VUConnection is NULL");
        return 1;
    }

    BSTR context = nullptr;
    switch (code) {
    case SCEVENT_CONNECTED:
    case SCEVENT_DISCONNECTED:
        context = alloc_bstr(emptyContext ? TextView() : TextView(args[1]));
        break;
    case SCEVENT_INFORMATION: {
        const Text information = connection->GetLastInformationText();
        if (!information.empty())
            context = alloc_bstr(information);
        break;
    }
    case SCEVENT_QUERY: {
        const std::optional<Text> question =
            connection->FormatInformation(std::span<const Text>(args).subspan(1));
        context = alloc_bstr(question.value_or(Text()));
        break;
    }
    default:
        break;
    }
    const HRESULT hr = m_pEvent->PostEvent(code, context, pInterface);
    // A status request waiting for this answer returns only now, with the answer's event queued:
    // a command that follows it (Connect drops the connection's queued events) sees it.
    if (code != SCEVENT_INFORMATION && code != SCEVENT_QUERY)
        connection->SignalStatus();
    return failed(hr) ? hr : 1;
}

HRESULT CKp32ClientSC::NotifyServiceLost() {
    for (const auto& connection : m_pEnum->Snapshot())
        connection->SetStatus(SCSTATUS_NOSERVICE, u"0.0.0.0");
    return m_pEvent->PostServiceLost();
}

void CKp32ClientSC::CheckUpdate() {
    if (!m_pSystem || !m_pSystem->GetUpdater())
        ScLogFatal(u"LIB_SC:{CKp32ClientSC::CheckUpdate} CZa32VUUpdater is NULL");
    // Nothing else: the application runs the update check itself.
}
