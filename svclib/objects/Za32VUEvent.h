#pragma once
// CZa32VUEvent: the queue of events the library reports to the application (class Za32VUEvent).
// The receive thread appends one event per notification and wakes the consumer by its event
// handle and its notify window; the application takes the events out with GetEvent. The same
// queue serves the synchronous waits of IZa32VUConnection::Connect and Disconnect: while such a
// wait runs ("wait mode"), new events signal only the waiter's private event and stay queued.
#include "ScModule.h"

#include "platform/com_dispatch.h"
#include "platform/sync.h"
#include "platform/window.h"

#include <deque>
#include <memory>

class CZa32VUEvent final
    : public platform::ComObject<CZa32VUEvent, platform::DualInterface<CZa32VUEvent, IZa32VUEvent>,
                                 platform::SupportErrorInfoFor<IZa32VUEvent>> {
  public:
    CZa32VUEvent() = default;
    ~CZa32VUEvent() override;

    static const platform::DispatchTable& dispatch_table();

    // ---- IZa32VUEvent ------------------------------------------------------------------------
    platform::HRESULT SetEventHandle(platform::ULONG_PTR hEvent) override;
    platform::HRESULT SetNotifyWindow(platform::ULONG_PTR hWndNotify, platform::ULONG ulMsgId,
                                      platform::LONG_PTR lParam) override;
    platform::HRESULT SetEventMask(platform::ULONG ulEventMask) override;
    platform::HRESULT GetEvent(platform::ULONG* pEventCode, platform::LONG_PTR* pContext,
                               platform::LONG_PTR* ppInterface,
                               platform::ULONG ulWaitTime) override;

    // ---- Inside the library --------------------------------------------------------------------
    // Appends one event and wakes the consumer. The event owns `context` and the reference
    // `pInterface` from here on (also when it is dropped because the mask is 0).
    platform::HRESULT PostEvent(platform::ULONG code, platform::BSTR context,
                                platform::IUnknown* pInterface);
    // Appends SCEVENT_SERVICELOST. Its interface, the client object's IKp32ClientSC, is taken
    // when the consumer takes the event out: the receive thread never counts references on the
    // client object, so a client released meanwhile is never revived from that thread.
    platform::HRESULT PostServiceLost();
    // Takes out the oldest event of `pInterface` (any when null) whose code has a bit in `mask`,
    // waiting at most `ulWaitTime` ms (0xFFFFFFFF: no limit). The event's interface reference is
    // released; its context passes to the caller.
    platform::HRESULT GetEventWithMask(platform::ULONG mask, platform::IUnknown* pInterface,
                                       platform::ULONG* pCode, platform::BSTR* pContext,
                                       platform::ULONG ulWaitTime);
    // Drops every queued event of `pInterface` (any when null) whose code has a bit in `mask`.
    platform::HRESULT RemoveEvents(platform::ULONG mask, platform::IUnknown* pInterface);
    // Begins (on) or ends a synchronous wait. 1 when the state changed, 0 otherwise.
    int SetWaitMode(bool on, platform::ULONG extraMask);

    // The number of queued events (diagnostics and tests).
    std::size_t GetQueuedCount() const;

  private:
    struct Entry {
        platform::ULONG code = 0;
        platform::BSTR context = nullptr;
        platform::IUnknown* pInterface = nullptr; // counted reference
        bool clientReference = false;             // SCEVENT_SERVICELOST: taken at delivery
    };
    static void Discard(Entry& entry);
    // Appends under the lock and signals; the entry's resources pass to the queue.
    platform::HRESULT Append(Entry entry);
    std::shared_ptr<platform::Event> CurrentWaitEvent() const;

    mutable platform::Lock m_csQueue; // guards everything below
    platform::ULONG m_ulEventMask = 0;
    std::deque<Entry> m_queue;
    platform::Event* m_hNotifyEvent = nullptr;
    platform::WindowHandle m_hWndNotify = 0;
    platform::ULONG m_ulMsgId = 0;
    platform::LONG_PTR m_lParam = 0;
    std::shared_ptr<platform::Event> m_hWaitEvent;
    platform::ULONG m_ulSavedMask = 0;
};
