// The enumerator's cursor and clones, the system object's settings and the updater, without a
// service: commands then fail as a broken link.
#include "ObjectsFixture.h"

namespace {

class SettingsTest : public ObjectsTest {};

TEST_F(SettingsTest, EnumeratorCursorAndClones) {
    ComPtr<IZa32VUEnumConnections> clone;
    ASSERT_EQ(m_client->EnumConnections(clone.put()), platform::S_OK);
    IZa32VUConnection* items[3] = {};
    ULONG fetched = 9;
    EXPECT_EQ(clone->Next(0, items, &fetched), platform::S_OK);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(clone->Next(3, items, &fetched), platform::S_FALSE);
    EXPECT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i)
        items[i]->Release();
    EXPECT_EQ(clone->Reset(), platform::S_OK);
    EXPECT_EQ(clone->Skip(1), platform::S_OK);
    EXPECT_EQ(clone->Skip(1), platform::S_OK) << "onto the end";
    EXPECT_EQ(clone->Skip(1), platform::S_FALSE);

    // A clone does not see later additions.
    ASSERT_EQ(m_client->CreateConnection(Bstr(u"later").get(), nullptr), platform::S_OK);
    clone->Reset();
    EXPECT_EQ(clone->Next(3, items, &fetched), platform::S_FALSE);
    EXPECT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i)
        items[i]->Release();
    EXPECT_TRUE(Connection(u"later"));
}

TEST_F(SettingsTest, SystemSettingsStayInMemoryUntilReset) {
    tagPOINT point{1, 2};
    EXPECT_EQ(m_system->GetSCPosition(&point), platform::S_FALSE);
    EXPECT_EQ(point.x, 1) << "left unchanged";
    ULONG x = 77;
    EXPECT_EQ(m_system->get_SCPosX(&x), platform::S_FALSE);
    EXPECT_EQ(x, 77u);
    ASSERT_EQ(m_system->SetSCPosition(tagPOINT{10, 20}), platform::S_OK);
    EXPECT_EQ(m_system->GetSCPosition(&point), platform::S_OK);
    EXPECT_EQ(point.x, 10);
    EXPECT_EQ(point.y, 20);

    Bstr text;
    EXPECT_EQ(m_system->put_CtrlServer(Bstr(u"elsewhere").get()), platform::S_OK);
    EXPECT_EQ(m_system->get_CtrlServer(text.put()), platform::S_OK);
    EXPECT_EQ(text.view(), u"ctrl.orvix.example");
    EXPECT_EQ(m_system->get_CtrlServerV6(text.put()), platform::S_OK);
    EXPECT_TRUE(text.is_null()) << "null when empty";
    EXPECT_EQ(m_system->get_ProductName(text.put()), platform::S_OK);
    EXPECT_EQ(text.view(), u"Orvix");
    EXPECT_EQ(m_system->get_DriverName(text.put()), platform::S_OK);
    EXPECT_FALSE(text.is_null()) << "an empty text, not null";

    ULONG mtu = 0;
    ASSERT_EQ(m_system->put_MTUSize(100000), platform::S_OK);
    EXPECT_EQ(m_system->get_MTUSize(&mtu), platform::S_OK);
    EXPECT_EQ(mtu, 4095u) << "kept within its range";
    ASSERT_EQ(m_system->put_UseProxyAuth(1), platform::S_OK);
    platform::VARIANT_BOOL flag = platform::VARIANT_TRUE;
    EXPECT_EQ(m_system->get_UseProxyAuth(&flag), platform::S_OK);
    EXPECT_EQ(flag, platform::VARIANT_FALSE) << "only VARIANT_TRUE is true";

    ComPtr<IZa32VUUpdater> updater;
    ASSERT_EQ(m_system->GetUpdateInterface(updater.put()), platform::S_OK);
    EXPECT_EQ(updater->get_UpdateListUrl(text.put()), platform::S_OK);
    EXPECT_TRUE(text.is_null());
    ULONG interval = 0;
    ASSERT_EQ(updater->put_UpdateInterval(60), platform::S_OK);
    EXPECT_EQ(updater->get_UpdateInterval(&interval), platform::S_OK);
    EXPECT_EQ(interval, 60u);
    EXPECT_EQ(updater->CheckUpdate(), platform::S_FALSE);

    ASSERT_EQ(m_system->ResetConfiguration(), platform::S_OK);
    EXPECT_EQ(m_system->get_MTUSize(&mtu), platform::S_OK);
    EXPECT_EQ(mtu, 1400u);
    EXPECT_EQ(updater->get_UpdateInterval(&interval), platform::S_OK);
    EXPECT_EQ(interval, 24u);
    EXPECT_EQ(m_system->GetSCPosition(&point), platform::S_FALSE);
}

TEST_F(SettingsTest, CommandsWithoutALinkReportABrokenPipe) {
    auto office = Connection(u"office");
    EXPECT_EQ(m_system->SaveConfiguration(), PIPE_E_BROKEN);
    EXPECT_EQ(m_system->Shutdown(), PIPE_E_BROKEN);
    EXPECT_EQ(office->Save(), PIPE_E_BROKEN);
    EXPECT_EQ(office->Answer(platform::VARIANT_TRUE), PIPE_E_BROKEN);
    EXPECT_EQ(office->Connect(1000, platform::VARIANT_FALSE, nullptr), PIPE_E_BROKEN);
    // The first status request fails to go out: no event to wait for, the status stays asked.
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_ASKED);
    // Asked again, it waits for an answer that cannot come.
    EXPECT_EQ(office->GetStatus(nullptr), SCSTATUS_NOANSWER);
    EXPECT_EQ(m_client->SaveConnectionConfig(), platform::S_OK);
}

TEST_F(SettingsTest, ReloadKeepsTheListWhenTheFileDoesNotLoad) {
    auto office = Connection(u"office");
    std::filesystem::remove(m_dir / "connection.dat");
    EXPECT_TRUE(platform::failed(m_client->ResetConnectionConfig()));
    Bstr name;
    EXPECT_EQ(office->get_Name(name.put()), platform::S_OK) << "still attached";
    EXPECT_EQ(name.view(), u"office");
    EXPECT_TRUE(Connection(u"home"));
}

} // namespace
