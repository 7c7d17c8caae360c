// The event queue: mask, wait mode, waits with time-outs, searches by connection, and the
// notify window whose messages arrive on the thread that owns it.
#include "ObjectsFixture.h"

#include "platform/thread.h"
#include "platform/window.h"

#include <atomic>

namespace {

class EventQueueTest : public ObjectsTest {
  protected:
    CZa32VUEvent& Queue() { return *static_cast<CZa32VUEvent*>(m_events.get()); }
    // Posts `code` for `connection` (the queue takes a reference of its own).
    HRESULT Post(ULONG code, IZa32VUConnection* connection, const char16_t* context = nullptr) {
        connection->AddRef();
        return Queue().PostEvent(code, context ? platform::alloc_bstr(context) : nullptr,
                                 connection);
    }
    struct Taken {
        ULONG code = 0;
        std::string context;
        void* iface = nullptr;
    };
    std::optional<Taken> Take(ULONG waitMs, HRESULT* result = nullptr) {
        ULONG code = 0;
        platform::LONG_PTR context = 0, iface = 0;
        const HRESULT hr = m_events->GetEvent(&code, &context, &iface, waitMs);
        if (result)
            *result = hr;
        if (hr != platform::S_OK)
            return std::nullopt;
        Taken t{code,
                platform::to_utf8(platform::bstr_view(reinterpret_cast<platform::BSTR>(context))),
                reinterpret_cast<void*>(iface)};
        platform::SysFreeString(reinterpret_cast<platform::BSTR>(context));
        if (iface)
            reinterpret_cast<platform::IUnknown*>(iface)->Release();
        return t;
    }
    // The reference count of `p` (one AddRef/Release round trip).
    static ULONG Refs(platform::IUnknown* p) {
        p->AddRef();
        return p->Release();
    }
};

TEST_F(EventQueueTest, MaskZeroDropsEventsAndTheirReferences) {
    auto office = Connection(u"office");
    const ULONG before = Refs(office.get());
    ASSERT_EQ(m_events->SetEventMask(0), platform::S_OK);
    EXPECT_EQ(Post(SCEVENT_CONNECTED, office.get(), u"2001:db8::1"), platform::S_OK);
    EXPECT_EQ(Queue().GetQueuedCount(), 0u);
    EXPECT_EQ(Refs(office.get()), before);
    // Any other mask queues every event, whatever its bits.
    ASSERT_EQ(m_events->SetEventMask(SCEVENT_INFORMATION), platform::S_OK);
    for (ULONG code : {SCEVENT_CONNECTING, SCEVENT_CONNECTED, SCEVENT_QUERY})
        EXPECT_EQ(Post(code, office.get()), platform::S_OK);
    EXPECT_EQ(Queue().GetQueuedCount(), 3u);
    HRESULT hr = platform::S_OK;
    std::vector<ULONG> codes;
    while (auto t = Take(0, &hr))
        codes.push_back(t->code);
    EXPECT_EQ(codes, (std::vector<ULONG>{SCEVENT_CONNECTING, SCEVENT_CONNECTED, SCEVENT_QUERY}));
    EXPECT_EQ(hr, kTimeout);
    EXPECT_EQ(Refs(office.get()), before);
}

TEST_F(EventQueueTest, WaitModeSignalsOnlyTheWaiterAndRestoresTheMask) {
    auto office = Connection(u"office");
    platform::Event notifyEvent(platform::Event::Reset::Manual);
    ASSERT_EQ(m_events->SetEventHandle(reinterpret_cast<platform::ULONG_PTR>(&notifyEvent)),
              platform::S_OK);
    // A wait mode switches queueing on when the mask was 0, and restores 0 at its end.
    EXPECT_EQ(Queue().SetWaitMode(true, 0xFFFF), 1);
    EXPECT_EQ(Queue().SetWaitMode(true, 0xFFFF), 0) << "the running wait keeps it";
    EXPECT_EQ(Post(SCEVENT_CONNECTING, office.get()), platform::S_OK);
    EXPECT_FALSE(notifyEvent.wait(0ms));
    EXPECT_EQ(Queue().SetWaitMode(false, 0), 1);
    EXPECT_EQ(Queue().SetWaitMode(false, 0), 0);
    EXPECT_EQ(Queue().GetQueuedCount(), 1u) << "the event stays queued";
    EXPECT_EQ(Post(SCEVENT_CONNECTED, office.get()), platform::S_OK);
    EXPECT_EQ(Queue().GetQueuedCount(), 1u) << "mask 0 again";

    m_events->SetEventMask(0xFFFF);
    EXPECT_EQ(Post(SCEVENT_CONNECTED, office.get()), platform::S_OK);
    EXPECT_TRUE(notifyEvent.wait(0ms));
}

TEST_F(EventQueueTest, GetEventWaitsForAnEventFromAnotherThread) {
    auto office = Connection(u"office");
    m_events->SetEventMask(0xFFFF);
    HRESULT hr = platform::S_OK;
    EXPECT_FALSE(Take(100, &hr));
    EXPECT_EQ(hr, kTimeout);

    platform::Thread poster([&] {
        std::this_thread::sleep_for(50ms);
        Post(SCEVENT_INFORMATION, office.get(), u"text");
    });
    auto taken = Take(10000, &hr);
    ASSERT_TRUE(taken) << std::hex << hr;
    EXPECT_EQ(taken->code, SCEVENT_INFORMATION);
    EXPECT_EQ(taken->context, "text");
    EXPECT_EQ(taken->iface, static_cast<void*>(office.get()));
    EXPECT_TRUE(poster.join(5000ms));
}

TEST_F(EventQueueTest, SearchesAndRemovalsKeepTheOtherEventsInOrder) {
    auto office = Connection(u"office");
    auto home = Connection(u"home");
    m_events->SetEventMask(0xFFFF);
    Post(SCEVENT_CONNECTING, office.get());
    Post(SCEVENT_DISCONNECTED, home.get(), u"NORMAL");
    Post(SCEVENT_INFORMATION, office.get(), u"i");
    Post(SCEVENT_CONNECTED, office.get(), u"2001:db8::2");
    Post(SCEVENT_DISCONNECTED, office.get(), u"LINK_DISC");

    ULONG code = 0;
    platform::BSTR context = nullptr;
    ASSERT_EQ(Queue().GetEventWithMask(SCEVENT_CONNECTED | SCEVENT_DISCONNECTED, office.get(),
                                       &code, &context, 1000),
              platform::S_OK);
    EXPECT_EQ(code, SCEVENT_CONNECTED);
    EXPECT_EQ(platform::bstr_view(context), u"2001:db8::2");
    platform::SysFreeString(context);
    // Nothing of another connection matches.
    EXPECT_EQ(Queue().GetEventWithMask(SCEVENT_QUERY, office.get(), &code, &context, 50), kTimeout);

    EXPECT_EQ(Queue().RemoveEvents(SCEVENT_INFORMATION | SCEVENT_CONNECTING, office.get()),
              platform::S_OK);
    std::vector<std::pair<ULONG, std::string>> left;
    while (auto t = Take(0))
        left.emplace_back(t->code, t->context);
    EXPECT_EQ(left, (std::vector<std::pair<ULONG, std::string>>{
                        {SCEVENT_DISCONNECTED, "NORMAL"}, {SCEVENT_DISCONNECTED, "LINK_DISC"}}));
}

TEST_F(EventQueueTest, NotifyMessagesArriveOnTheThreadOwningTheWindow) {
    auto office = Connection(u"office");
    m_events->SetEventMask(0xFFFF);
    const std::uint32_t message = platform::register_window_message(kScaLibraryMessageName);
    std::atomic<std::uint32_t> ownerThread{0};
    std::atomic<platform::WindowHandle> window{0};
    std::atomic<int> received{0};
    std::atomic<bool> wrongThread{false};
    platform::Event ready(platform::Event::Reset::Manual);
    platform::Event done(platform::Event::Reset::Manual);

    // The window's owner runs its own message loop, as the tray application's GUI thread does.
    platform::Thread owner([&] {
        ownerThread = platform::current_thread_id();
        platform::Window target =
            platform::Window::create([&](platform::WindowHandle, std::uint32_t id,
                                         std::uintptr_t wparam, std::intptr_t lparam) {
                if (id == message && wparam == 0 && lparam == kScaLibraryMessageParam) {
                    if (platform::current_thread_id() != ownerThread)
                        wrongThread = true;
                    ++received;
                }
                return std::intptr_t(0);
            });
        window = target.handle();
        ready.set();
        platform::pump_messages_until([&] { return received >= 2; }, 10000ms);
        done.set();
    });
    ASSERT_TRUE(ready.wait(5000ms));
    ASSERT_EQ(m_events->SetNotifyWindow(window, message, kScaLibraryMessageParam), platform::S_OK);
    // Posted from a third thread, as the receive thread does.
    platform::Thread receiver([&] {
        Post(SCEVENT_CONNECTING, office.get());
        Post(SCEVENT_CONNECTED, office.get(), u"2001:db8::3");
    });
    EXPECT_TRUE(receiver.join(5000ms));
    EXPECT_TRUE(done.wait(10000ms));
    EXPECT_TRUE(owner.join(5000ms));
    EXPECT_EQ(received, 2) << "one message per event";
    EXPECT_FALSE(wrongThread);
    // The first drain takes both events; the second message then finds the queue empty.
    EXPECT_TRUE(Take(0));
    EXPECT_TRUE(Take(0));
    HRESULT hr = platform::S_OK;
    EXPECT_FALSE(Take(0, &hr));
    EXPECT_EQ(hr, kTimeout);
}

TEST_F(EventQueueTest, ServiceLostCarriesTheClientObject) {
    m_events->SetEventMask(0xFFFF);
    auto office = Connection(u"office");
    CKp32ClientSC* client = static_cast<CKp32ClientSC*>(m_client.get());
    ASSERT_EQ(client->NotifyServiceLost(), platform::S_OK);
    Bstr address;
    EXPECT_EQ(office->GetIPAddress(address.put()), platform::S_FALSE);
    EXPECT_EQ(static_cast<CZa32VUConnection*>(office.get())->GetStatusValue(),
              ULONG(SCSTATUS_NOSERVICE));
    auto taken = Take(0);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->code, SCEVENT_SERVICELOST);
    EXPECT_EQ(taken->iface, static_cast<void*>(m_client.get()));
    EXPECT_TRUE(taken->context.empty());
}

} // namespace
