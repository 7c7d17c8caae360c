#pragma once
// CZa32VUUpdater: the update settings of the client configuration file (class Za32VUUpdater):
// the address of the update list and the update check interval. It lives inside the system
// object, aggregated; it performs no update check itself.
#include "ScModule.h"

#include "platform/com_dispatch.h"

class CZa32VUSystem;

class CZa32VUUpdater final
    : public platform::ComObject<CZa32VUUpdater,
                                 platform::DualInterface<CZa32VUUpdater, IZa32VUUpdater>,
                                 platform::SupportErrorInfoFor<IZa32VUUpdater>> {
  public:
    static const platform::DispatchTable& dispatch_table();

    platform::HRESULT get_UpdateListUrl(platform::BSTR* pVal) override;
    platform::HRESULT get_UpdateInterval(platform::ULONG* pVal) override;
    platform::HRESULT put_UpdateInterval(platform::ULONG newVal) override;
    platform::HRESULT CheckUpdate() override;
    platform::HRESULT Update() override;

    void SetSystem(CZa32VUSystem* pSystem) { m_pSCSystem = pSystem; }

  private:
    CZa32VUSystem* m_pSCSystem = nullptr;
};
