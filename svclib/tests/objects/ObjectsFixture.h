#pragma once
// A client object linked into the test, initialised on a temporary folder with the three
// configuration files, without a service.
#include "Kp32ClientSC.h"
#include "Za32VUConnection.h"
#include "Za32VUEnumConnections.h"
#include "Za32VUEvent.h"
#include "Za32VUSystem.h"

#include "common/config/ConfigConnectionList.h"
#include "common/config/ConfigKPClient.h"
#include "common/config/ConfigUser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace std::chrono_literals;
using platform::Bstr;
using platform::ComPtr;
using platform::HRESULT;
using platform::Text;
using platform::ULONG;

inline constexpr HRESULT kTimeout = platform::make_hresult(0x80070102);

class ObjectsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvix-sc-objects-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ::setenv("ORVIX_PIPE_DIR", (m_dir / "pipes").c_str(), 1);
        ::setenv("ORVIX_COMMON_DOCUMENTS", (m_dir / "documents").c_str(), 1);
        CConfigFile::SetConfigFolder(platform::from_path(m_dir));
        CConfigKPClient client;
        client.GetClientInfo().SetPipeSCToSvc(u"objtosvc");
        client.GetClientInfo().SetPipeSvcToSC(u"objtosc");
        client.GetClientInfo().SetProduct(u"Orvix");
        client.GetNetworkInfo().SetMTU(1400);
        client.GetTimeInfo().SetUpdatecheck(24);
        client.GetServerInfo().SetCtrlServer(u"ctrl.orvix.example");
        ASSERT_EQ(client.Save(), 1);
        CConfigUser user;
        ASSERT_EQ(user.Save(), 1);
        CConfigConnectionList list;
        for (const char16_t* name : {u"office", u"home"}) {
            CConfigConnectionConInfo* record = list.AddConnectionItem();
            record->SetName(name);
            record->SetUser(u"user@example.jp");
            record->SetPassword(u"pw");
        }
        ASSERT_EQ(list.Save(), 1);

        ASSERT_EQ(platform::create_com_object<CKp32ClientSC>(nullptr, m_client), platform::S_OK);
        ASSERT_EQ(m_client->Initialize(Bstr(platform::from_path(m_dir)).get()), platform::S_OK);
        ASSERT_EQ(m_client.query(m_events), platform::S_OK);
        ASSERT_EQ(m_client.query(m_system), platform::S_OK);
    }
    void TearDown() override {
        m_events.reset();
        m_system.reset();
        m_client.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    ComPtr<IZa32VUConnection> Connection(const Text& name) {
        ComPtr<IZa32VUEnumConnections> enumerator;
        m_client->EnumConnections(enumerator.put());
        for (;;) {
            IZa32VUConnection* item = nullptr;
            ULONG fetched = 0;
            enumerator->Next(1, &item, &fetched);
            if (!fetched)
                return nullptr;
            auto connection = ComPtr<IZa32VUConnection>::attach(item);
            Bstr itemName;
            connection->get_Name(itemName.put());
            if (itemName.view() == name)
                return connection;
        }
    }

    std::filesystem::path m_dir;
    ComPtr<IKp32ClientSC> m_client;
    ComPtr<IZa32VUEvent> m_events;
    ComPtr<IZa32VUSystem> m_system;
};
