#include "Za32VUUpdater.h"

#include "Za32VUSystem.h"

using namespace platform;

const DispatchTable& CZa32VUUpdater::dispatch_table() {
    using I = IZa32VUUpdater;
    static const DispatchTable table{
        dispatch_get<&I::get_UpdateListUrl>(u"UpdateListUrl", 1),
        dispatch_get<&I::get_UpdateInterval>(u"UpdateInterval", 3),
        dispatch_put<&I::put_UpdateInterval>(u"UpdateInterval", 3),
        dispatch_method<&I::CheckUpdate>(u"CheckUpdate", 4),
        dispatch_method<&I::Update>(u"Update", 5),
    };
    return table;
}

HRESULT CZa32VUUpdater::get_UpdateListUrl(BSTR* pVal) {
    if (!m_pSCSystem) {
        ScLogFatal(u"LIB_SC:{CZa32VUUpdater::get_UpdateListUrl} m_pSCSystem pointer NULL");
        return E_FAIL;
    }
    if (!pVal)
        return E_POINTER;
    return m_pSCSystem->GetUpdateListUrl(pVal);
}

HRESULT CZa32VUUpdater::get_UpdateInterval(ULONG* pVal) {
    if (!m_pSCSystem) {
        ScLogFatal(u"LIB_SC:{CZa32VUUpdater::get_UpdateInterval} m_pSCSystem pointer NULL");
        return E_FAIL;
    }
    if (!pVal)
        return E_POINTER;
    *pVal = m_pSCSystem->GetUpdateCheck();
    return S_OK;
}

HRESULT CZa32VUUpdater::put_UpdateInterval(ULONG newVal) {
    if (!m_pSCSystem) {
        ScLogFatal(u"LIB_SC:{CZa32VUUpdater::put_UpdateInterval} m_pSCSystem pointer NULL");
        return E_FAIL;
    }
    return failed(m_pSCSystem->SetUpdateCheck(newVal)) ? E_FAIL : S_OK;
}

HRESULT CZa32VUUpdater::CheckUpdate() {
    return S_FALSE; // the tray application runs the update check itself
}

HRESULT CZa32VUUpdater::Update() {
    return S_FALSE;
}
