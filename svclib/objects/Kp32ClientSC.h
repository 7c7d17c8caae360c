#pragma once
// CKp32ClientSC: the entry object of the service client library (class Kp32ClientSC). It owns
// the inner enumerator, system object and event queue (aggregated: asking it for their
// interfaces answers with theirs), the two pipes to the tunnel service and the receive thread,
// and carries every command of the library's objects to the service (SendMessage).
//
// Link states: initialised -> linked (ConnectService: both pipes open, receive thread running)
// -> link lost (the receive pipe broke: pipes closed, thread ended, event 48 queued) or deaf
// (another read failure ended the thread; commands still go out) -> ConnectService again, or
// Uninitialize. Releasing the object stops a running receive thread as Uninitialize does.
#include "ScModule.h"

#include "svclib/NamedPipe.h"

#include "platform/com_dispatch.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <atomic>
#include <memory>

class CZa32VUEnumConnections;
class CZa32VUSystem;
class CZa32VUEvent;

class CKp32ClientSC final
    : public platform::ComObject<CKp32ClientSC,
                                 platform::DualInterface<CKp32ClientSC, IKp32ClientSC>,
                                 platform::SupportErrorInfoFor<IKp32ClientSC>> {
  public:
    // How long Uninitialize (and the release) wait for the receive thread, and how long the
    // receive thread sleeps between two update hooks.
    static constexpr platform::Milliseconds kThreadStopWait{60000};
    static constexpr platform::Milliseconds kReceiveWait{60000};

    CKp32ClientSC();
    ~CKp32ClientSC() override;

    static const platform::DispatchTable& dispatch_table();

    // ---- IKp32ClientSC ------------------------------------------------------------------------
    platform::HRESULT Initialize(platform::BSTR bstrPathName) override;
    platform::HRESULT Uninitialize() override;
    platform::HRESULT ConnectService() override;
    platform::HRESULT CreateConnection(platform::BSTR bstrName, IZa32VUConnection** ppCon) override;
    platform::HRESULT RemoveConnection(platform::BSTR bstrName, IZa32VUConnection** ppCon) override;
    platform::HRESULT EnumConnections(IZa32VUEnumConnections** ppEnum) override;
    platform::HRESULT SaveConnectionConfig() override;
    platform::HRESULT ResetConnectionConfig() override;
    platform::HRESULT SetLogOutObject(platform::LONG_PTR pLogObject) override;

    // ---- Inside the library -------------------------------------------------------------------
    // Builds one command and writes it on the send pipe under the process-wide send lock.
    // PIPE_E_BROKEN for any failed write.
    platform::HRESULT SendMessage(platform::ULONG command, const char16_t* text,
                                  platform::LONG flag);
    CZa32VUEvent* GetEventObject() const { return m_pEvent; }
    CZa32VUEnumConnections* GetEnumObject() const { return m_pEnum; }
    CZa32VUSystem* GetSystemObject() const { return m_pSystem; }
    // Every connection to status 32, then one event 48.
    platform::HRESULT NotifyServiceLost();
    // The receive thread's periodic update hook.
    void CheckUpdate();
    // Whether a receive thread is running and has not seen the link break.
    bool IsLinked() const;

  protected:
    platform::HRESULT final_construct() override;
    void final_release() override;
    platform::HRESULT find_extra_interface(const platform::IID& iid, void** object) override;

  private:
    void ReceiveThread();
    // 1 to keep the thread running, 0 to end it, a negative HRESULT to keep it running.
    platform::HRESULT ReceiveMessage();
    platform::HRESULT DispatchNotification(platform::TextView text);
    platform::HRESULT OnLinkLost();
    // Sets the stop event, ends blocking reads and waits for the thread. True when it ended;
    // `error` gets the system error otherwise.
    bool StopReceiveThread(std::uint32_t& error);
    // Closes both pipes and the two events (the receive thread must have ended).
    void CloseLink();
    void CloseSendPipe();

    platform::ComPtr<platform::IUnknown> m_pEnumUnknown;
    platform::ComPtr<platform::IUnknown> m_pSystemUnknown;
    platform::ComPtr<platform::IUnknown> m_pEventUnknown;
    CZa32VUEnumConnections* m_pEnum = nullptr;
    CZa32VUSystem* m_pSystem = nullptr;
    CZa32VUEvent* m_pEvent = nullptr;

    CNamedPipe m_pipeRecv;
    CNamedPipe m_pipeSend;
    std::unique_ptr<platform::Event> m_hRecvEvent;
    std::unique_ptr<platform::Event> m_hStopEvent;
    std::unique_ptr<platform::Thread> m_hThread;

    platform::Lock m_csLink;                // ConnectService, Uninitialize and the release
    platform::Lock m_csRecvPipe;            // closing the receive pipe against cancelling its reads
    std::atomic<bool> m_bLinkEnding{false}; // the receive thread is on its way out
};
