#include "Za32VUEvent.h"

#include <algorithm>
#include <new>
#include <vector>

using namespace platform;

namespace {

constexpr ULONG kInfiniteWait = 0xFFFFFFFF;
constexpr ULONG kAllEvents = 0xFFFF;

Milliseconds WaitSpan(ULONG ms) {
    return ms == kInfiniteWait ? kInfinite : Milliseconds(ms);
}

bool Matches(ULONG code, ULONG mask, IUnknown* entryInterface, IUnknown* wanted) {
    return (code & mask) != 0 && (!wanted || entryInterface == wanted);
}

} // namespace

const DispatchTable& CZa32VUEvent::dispatch_table() {
    static const DispatchTable table{
        dispatch_method<&IZa32VUEvent::SetEventHandle>(u"SetEventHandle", 1, {u"hEvent"}),
        dispatch_method<&IZa32VUEvent::SetNotifyWindow>(u"SetNotifyWindow", 2,
                                                        {u"hWndNotify", u"ulMsgId", u"lParam"}),
        dispatch_method<&IZa32VUEvent::SetEventMask>(u"SetEventMask", 3, {u"ulEventMask"}),
        dispatch_method<&IZa32VUEvent::GetEvent>(
            u"GetEvent", 4, {u"pEventCode", u"pContext", u"ppInterface", u"ulWaitTime"}),
    };
    return table;
}

CZa32VUEvent::~CZa32VUEvent() {
    // Remaining events still own their context and interface reference.
    for (Entry& entry : m_queue)
        Discard(entry);
}

void CZa32VUEvent::Discard(Entry& entry) {
    SysFreeString(std::exchange(entry.context, nullptr));
    if (IUnknown* p = std::exchange(entry.pInterface, nullptr))
        p->Release();
}

// ---- IZa32VUEvent --------------------------------------------------------------------------

HRESULT CZa32VUEvent::SetEventHandle(ULONG_PTR hEvent) {
    LockGuard lock(m_csQueue);
    m_hNotifyEvent = reinterpret_cast<Event*>(hEvent);
    return S_OK;
}

HRESULT CZa32VUEvent::SetNotifyWindow(ULONG_PTR hWndNotify, ULONG ulMsgId, LONG_PTR lParam) {
    LockGuard lock(m_csQueue);
    m_hWndNotify = static_cast<WindowHandle>(hWndNotify);
    m_ulMsgId = ulMsgId;
    m_lParam = lParam;
    return S_OK;
}

HRESULT CZa32VUEvent::SetEventMask(ULONG ulEventMask) {
    LockGuard lock(m_csQueue);
    m_ulEventMask = ulEventMask;
    return S_OK;
}

HRESULT CZa32VUEvent::GetEvent(ULONG* pEventCode, LONG_PTR* pContext, LONG_PTR* ppInterface,
                               ULONG ulWaitTime) {
    if (!pEventCode || !pContext || !ppInterface)
        return E_POINTER;
    *pEventCode = 0;
    *pContext = 0;
    *ppInterface = 0;

    bool owned = false;
    if (ulWaitTime != 0 && !CurrentWaitEvent())
        owned = SetWaitMode(true, kAllEvents) == 1;
    const std::shared_ptr<Event> waitEvent = CurrentWaitEvent();
    const auto endWait = [&] {
        if (owned)
            SetWaitMode(false, 0);
    };

    Entry entry;
    std::uint32_t last = tick_count();
    std::uint64_t remaining = ulWaitTime;
    for (;;) {
        {
            LockGuard lock(m_csQueue);
            if (!m_queue.empty()) {
                entry = m_queue.front();
                m_queue.pop_front();
                break;
            }
        }
        if (ulWaitTime == 0) {
            ScLogInfo(u"LIB_SC:{CZa32VUEvent::GetEvent} ulWaitTime = 0");
            return hresult_from_system(WAIT_TIMEOUT);
        }
        const Milliseconds span = ulWaitTime == kInfiniteWait ? kInfinite : Milliseconds(remaining);
        if (!waitEvent || !waitEvent->wait(span)) {
            endWait();
            return hresult_from_system(WAIT_TIMEOUT);
        }
        // Woken without an event for us (another taker was faster): wait out the rest.
        if (ulWaitTime != kInfiniteWait) {
            const std::uint32_t now = tick_count();
            const std::uint64_t elapsed = now - last;
            last = now;
            if (elapsed >= remaining) {
                LockGuard lock(m_csQueue);
                if (m_queue.empty()) {
                    endWait();
                    return hresult_from_system(WAIT_TIMEOUT);
                }
                remaining = 0;
            } else {
                remaining -= elapsed;
            }
        }
    }

    *pEventCode = entry.code;
    *pContext = reinterpret_cast<LONG_PTR>(entry.context);
    if (entry.clientReference) {
        // The client object is alive: the caller reaches this queue through it.
        IKp32ClientSC* client = nullptr;
        if (aggregated() && succeeded(controlling_unknown()->QueryInterface(
                                IKp32ClientSC::kIid, reinterpret_cast<void**>(&client))))
            *ppInterface = reinterpret_cast<LONG_PTR>(client);
    } else {
        *ppInterface = reinterpret_cast<LONG_PTR>(entry.pInterface);
    }
    endWait();
    return S_OK;
}

// ---- Inside the library --------------------------------------------------------------------

HRESULT CZa32VUEvent::Append(Entry entry) {
    LockGuard lock(m_csQueue);
    if (m_ulEventMask == 0) {
        Discard(entry);
        return S_OK;
    }
    try {
        m_queue.push_back(entry);
    } catch (const std::bad_alloc&) {
        Discard(entry);
        return E_OUTOFMEMORY;
    }
    // Signalled under the lock, so a wait mode cannot end (and its event go) meanwhile.
    if (m_hWaitEvent) {
        m_hWaitEvent->set();
    } else {
        if (m_hNotifyEvent)
            m_hNotifyEvent->set();
        if (m_hWndNotify)
            post_message(m_hWndNotify, m_ulMsgId, 0, m_lParam);
    }
    return S_OK;
}

HRESULT CZa32VUEvent::PostEvent(ULONG code, BSTR context, IUnknown* pInterface) {
    return Append(Entry{code, context, pInterface, false});
}

HRESULT CZa32VUEvent::PostServiceLost() {
    return Append(Entry{SCEVENT_SERVICELOST, nullptr, nullptr, true});
}

HRESULT CZa32VUEvent::GetEventWithMask(ULONG mask, IUnknown* pInterface, ULONG* pCode,
                                       BSTR* pContext, ULONG ulWaitTime) {
    if (!pCode || !pContext)
        return E_POINTER;
    *pCode = 0;
    *pContext = nullptr;

    bool owned = false;
    if (!CurrentWaitEvent())
        owned = SetWaitMode(true, mask) == 1;
    const std::shared_ptr<Event> waitEvent = CurrentWaitEvent();
    const auto endWait = [&] {
        if (owned)
            SetWaitMode(false, 0);
    };

    Entry entry;
    std::uint32_t last = tick_count();
    std::uint64_t remaining = ulWaitTime;
    for (;;) {
        {
            LockGuard lock(m_csQueue);
            const auto it = std::find_if(m_queue.begin(), m_queue.end(), [&](const Entry& e) {
                return Matches(e.code, mask, e.pInterface, pInterface);
            });
            if (it != m_queue.end()) {
                entry = *it;
                m_queue.erase(it);
                break;
            }
        }
        if (!waitEvent || remaining == 0 ||
            !waitEvent->wait(WaitSpan(static_cast<ULONG>(remaining)))) {
            endWait();
            ScLogInfo(u"LIB_SC:{CZa32VUEvent::GetEventWithMask} WaitForSingleObject is timeout");
            return hresult_from_system(WAIT_TIMEOUT);
        }
        if (ulWaitTime != kInfiniteWait) {
            const std::uint32_t now = tick_count();
            const std::uint64_t elapsed = now - last;
            last = now;
            if (elapsed >= remaining) {
                // No time left; an event that arrived with the wake-up still counts.
                LockGuard lock(m_csQueue);
                const auto it = std::find_if(m_queue.begin(), m_queue.end(), [&](const Entry& e) {
                    return Matches(e.code, mask, e.pInterface, pInterface);
                });
                if (it == m_queue.end()) {
                    endWait();
                    return hresult_from_system(WAIT_TIMEOUT);
                }
                remaining = 0;
                entry = *it;
                m_queue.erase(it);
                break;
            }
            remaining -= elapsed;
        }
    }

    *pCode = entry.code;
    *pContext = std::exchange(entry.context, nullptr);
    Discard(entry);
    endWait();
    return S_OK;
}

HRESULT CZa32VUEvent::RemoveEvents(ULONG mask, IUnknown* pInterface) {
    std::vector<Entry> removed;
    {
        LockGuard lock(m_csQueue);
        if (m_queue.empty())
            return S_OK;
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (Matches(it->code, mask, it->pInterface, pInterface)) {
                removed.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Released outside the lock: a last reference may end a connection object.
    for (Entry& entry : removed)
        Discard(entry);
    return S_OK;
}

int CZa32VUEvent::SetWaitMode(bool on, ULONG extraMask) {
    LockGuard lock(m_csQueue);
    if (on) {
        if (m_hWaitEvent)
            return 0;
        auto waitEvent = std::make_shared<Event>(Event::Reset::Auto);
        if (!waitEvent->valid())
            return 0;
        m_ulSavedMask = m_ulEventMask;
        m_ulEventMask = m_ulSavedMask | extraMask;
        m_hWaitEvent = std::move(waitEvent);
        return 1;
    }
    if (!m_hWaitEvent)
        return 0;
    m_ulEventMask = m_ulSavedMask;
    m_ulSavedMask = 0;
    m_hWaitEvent.reset();
    return 1;
}

std::shared_ptr<Event> CZa32VUEvent::CurrentWaitEvent() const {
    LockGuard lock(m_csQueue);
    return m_hWaitEvent;
}

std::size_t CZa32VUEvent::GetQueuedCount() const {
    LockGuard lock(m_csQueue);
    return m_queue.size();
}
