#include "Za32VUEnumConnections.h"

#include <new>

using namespace platform;

namespace {

// Next through IDispatch: one connection at most, returned as an interface (automation has no
// array argument here).
HRESULT InvokeNext(void* object, DispatchCall& call) {
    const ULONG wanted = call.u32(0);
    if (wanted > 1)
        return E_INVALIDARG;
    IZa32VUConnection* connection = nullptr;
    ULONG fetched = 0;
    const HRESULT hr = static_cast<IZa32VUEnumConnections*>(object)->Next(
        wanted, wanted ? &connection : nullptr, &fetched);
    call.set_out_dispatch(1, connection);
    *call.out_u32(2) = fetched;
    return hr;
}

} // namespace

const DispatchTable& CZa32VUEnumConnections::dispatch_table() {
    using I = IZa32VUEnumConnections;
    static const DispatchTable table{
        DispatchMember{u"Next",
                       1,
                       MemberKind::Method,
                       {ArgDesc{ArgKind::UInt32, false, u"NumOfConn"},
                        ArgDesc{ArgKind::Dispatch, true, u"ppConnections"},
                        ArgDesc{ArgKind::UInt32, true, u"pFetched"}},
                       &InvokeNext},
        dispatch_method<&I::Skip>(u"Skip", 2, {u"NumOfConn"}),
        dispatch_method<&I::Reset>(u"Reset", 3),
        dispatch_method<&I::Clone>(u"Clone", 4, {u"ppEnum"}),
    };
    return table;
}

CZa32VUEnumConnections::CZa32VUEnumConnections()
    : m_pConnFile(std::make_unique<CConfigConnectionList>()), m_posCurrent(m_list.end()) {}

CZa32VUEnumConnections::~CZa32VUEnumConnections() = default;

void CZa32VUEnumConnections::final_release() {
    // The records go with the file: objects that callers still hold must not keep pointers into
    // it, nor to this enumerator or the client object that owns it.
    List old;
    {
        LockGuard lock(m_csList);
        old.swap(m_list);
        m_posCurrent = m_list.end();
    }
    if (!m_pConnFile)
        return; // a clone: the objects belong to the enumerator it was cloned from
    for (ConnectionRef& connection : old) {
        if (connection) {
            Detach(*connection);
            connection->SetClient(nullptr);
        }
    }
}

void CZa32VUEnumConnections::Detach(CZa32VUConnection& connection) {
    connection.SetConfigConInfo(nullptr);
    connection.SetEnumerator(nullptr);
}

// ---- IZa32VUEnumConnections --------------------------------------------------------------

HRESULT CZa32VUEnumConnections::Next(ULONG NumOfConn, IZa32VUConnection** ppConnections,
                                     ULONG* pFetched) {
    if (!pFetched)
        return E_POINTER;
    *pFetched = 0;
    if (NumOfConn == 0)
        return S_OK;
    if (!ppConnections)
        return E_POINTER;
    LockGuard lock(m_csList);
    while (m_posCurrent != m_list.end()) {
        CZa32VUConnection* connection = m_posCurrent->get();
        ++m_posCurrent;
        if (!connection) {
            ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::Next} CComConnection pointer NULL");
            return E_OUTOFMEMORY;
        }
        IZa32VUConnection* item = nullptr;
        const HRESULT hr = connection->inner_query_interface(IZa32VUConnection::kIid,
                                                             reinterpret_cast<void**>(&item));
        if (failed(hr)) {
            ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::Next} [E%08x]QueryInterface error",
                       HrLog(hr));
            return hr;
        }
        ppConnections[*pFetched] = item;
        if (++*pFetched == NumOfConn)
            return S_OK;
    }
    ScLogInfo(u"LIB_SC:{CZa32VUEnumConnections::Next} m_posCurrent pointer NULL");
    return S_FALSE;
}

HRESULT CZa32VUEnumConnections::Skip(ULONG NumOfConn) {
    LockGuard lock(m_csList);
    for (ULONG i = 0; i < NumOfConn; ++i) {
        if (m_posCurrent == m_list.end()) {
            ScLogWarn(u"LIB_SC:{CZa32VUEnumConnections::Skip} m_posCurrent pointer NULL");
            return S_FALSE;
        }
        ++m_posCurrent;
    }
    return S_OK;
}

HRESULT CZa32VUEnumConnections::Reset() {
    LockGuard lock(m_csList);
    m_posCurrent = m_list.begin();
    return S_OK;
}

HRESULT CZa32VUEnumConnections::Clone(IZa32VUEnumConnections** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    CZa32VUEnumConnections* clone = nullptr;
    IZa32VUEnumConnections* result = nullptr;
    const HRESULT hr = create_com_object<CZa32VUEnumConnections>(
        nullptr, IZa32VUEnumConnections::kIid, reinterpret_cast<void**>(&result), &clone);
    if (failed(hr)) {
        ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::Clone} [E%08x]CreateInstance error",
                   HrLog(hr));
        return hr;
    }
    clone->m_pConnFile.reset();
    {
        LockGuard lock(m_csList);
        try {
            clone->m_list = m_list;
        } catch (const std::bad_alloc&) {
            result->Release();
            return E_OUTOFMEMORY;
        }
    }
    clone->Reset();
    *ppEnum = result;
    return S_OK;
}

// ---- Inside the library -----------------------------------------------------------------------

HRESULT CZa32VUEnumConnections::Initialize() {
    if (!m_pConnFile)
        return E_FAIL;
    // Loaded into a new file object: a failed load leaves the old records (and the objects that
    // point at them) untouched.
    std::unique_ptr<CConfigConnectionList> file;
    try {
        file = std::make_unique<CConfigConnectionList>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    file->SetFileName(CConfigConnectionList::kFileName);
    if (!file->Load())
        return file->GetLastResult();

    RemoveAllConnections();
    m_pConnFile = std::move(file);
    for (int i = 0; i < m_pConnFile->GetConnectionCount(); ++i) {
        CConfigConnectionConInfo* record = m_pConnFile->GetConnectionItem(i);
        if (!record) {
            ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::Initialize} CConfigConnectionConInfo "
                       u"pointer NULL");
            return E_OUTOFMEMORY;
        }
        HRESULT hr = S_OK;
        if (!AddConnection(record, hr)) {
            ScLogFatal(
                u"LIB_SC:{CZa32VUEnumConnections::Initialize} CZa32VUConnection pointer NULL");
            return hr;
        }
    }
    return S_OK;
}

CZa32VUConnection* CZa32VUEnumConnections::AddConnection(CConfigConnectionConInfo* pConInfo,
                                                         HRESULT& result) {
    CZa32VUConnection* connection = nullptr;
    void* unused = nullptr;
    result = create_com_object<CZa32VUConnection>(nullptr, IUnknown::kIid, &unused, &connection);
    if (failed(result)) {
        ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::AddConnection} [E%08x]CreateInstance error",
                   HrLog(result));
        return nullptr;
    }
    // The reference of the creation becomes the list's.
    ConnectionRef ref = ConnectionRef::attach(connection);
    connection->SetConfigConInfo(pConInfo);
    connection->SetClient(m_pClientSC);
    connection->SetEnumerator(this);
    try {
        LockGuard lock(m_csList);
        m_list.push_back(std::move(ref));
    } catch (const std::bad_alloc&) {
        Detach(*connection);
        result = E_OUTOFMEMORY;
        return nullptr;
    }
    result = S_OK;
    return connection;
}

ComPtr<IZa32VUConnection> CZa32VUEnumConnections::AddNewConnection(TextView name, HRESULT& result) {
    if (FindConnection(name)) {
        result =
            Cza32vuModule::ReportError(IZa32VUEnumConnections::kIid, kProgIdZa32VUEnumConnections,
                                       IDS_SC_E_DUPLICATE_NAME, SC_E_DUPLICATE_NAME);
        ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::AddNewConnection} Same Name");
        return nullptr;
    }
    CConfigConnectionConInfo* record = m_pConnFile ? m_pConnFile->AddConnectionItem() : nullptr;
    if (!record) {
        result = E_OUTOFMEMORY;
        ScLogFatal(
            u"LIB_SC:{CZa32VUEnumConnections::AddNewConnection} [E%08x]CComConnection pointer NULL",
            HrLog(result));
        return nullptr;
    }
    record->SetName(name);
    CZa32VUConnection* connection = AddConnection(record, result);
    if (!connection) {
        m_pConnFile->DeleteConnectionItem(record);
        ScLogFatal(
            u"LIB_SC:{CZa32VUEnumConnections::AddNewConnection} [E%08x]CComConnection pointer NULL",
            HrLog(result));
        return nullptr;
    }
    ComPtr<IZa32VUConnection> out;
    result = connection->inner_query_interface(IZa32VUConnection::kIid, out.put_void());
    if (failed(result)) {
        {
            LockGuard lock(m_csList);
            for (auto it = m_list.begin(); it != m_list.end(); ++it) {
                if (it->get() == connection) {
                    if (m_posCurrent == it)
                        ++m_posCurrent;
                    Detach(*connection);
                    m_list.erase(it);
                    break;
                }
            }
        }
        m_pConnFile->DeleteConnectionItem(record);
        ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::AddNewConnection} [E%08x]QueryInterface error",
                   HrLog(result));
        return nullptr;
    }
    return out;
}

ComPtr<IZa32VUConnection> CZa32VUEnumConnections::RemoveConnection(TextView name, HRESULT& result) {
    ConnectionRef connection;
    {
        LockGuard lock(m_csList);
        for (auto it = m_list.begin(); it != m_list.end(); ++it) {
            if ((*it)->EqualName(name)) {
                connection = *it;
                if (m_posCurrent == it)
                    ++m_posCurrent;
                m_list.erase(it);
                break;
            }
        }
    }
    if (!connection) {
        result =
            Cza32vuModule::ReportError(IZa32VUEnumConnections::kIid, kProgIdZa32VUEnumConnections,
                                       IDS_SC_E_NO_SUCH_NAME, SC_E_NO_SUCH_NAME);
        ScLogFatal(
            u"LIB_SC:{CZa32VUEnumConnections::RemoveConnection} [E%08x]CComConnection pointer NULL",
            HrLog(result));
        return nullptr;
    }
    CConfigConnectionConInfo* record = connection->GetConfigConInfo();
    Detach(*connection);
    if (m_pConnFile && record)
        m_pConnFile->DeleteConnectionItem(record);
    ComPtr<IZa32VUConnection> out;
    result = connection->inner_query_interface(IZa32VUConnection::kIid, out.put_void());
    if (failed(result)) {
        ScLogFatal(u"LIB_SC:{CZa32VUEnumConnections::RemoveConnection} [E%08x]QueryInterface error",
                   HrLog(result));
        return nullptr;
    }
    return out;
}

CZa32VUEnumConnections::ConnectionRef CZa32VUEnumConnections::FindConnection(TextView name) const {
    LockGuard lock(m_csList);
    for (const ConnectionRef& connection : m_list) {
        if (connection && connection->EqualName(name))
            return connection;
    }
    return nullptr;
}

bool CZa32VUEnumConnections::HasOtherWithName(TextView name,
                                              const CZa32VUConnection* except) const {
    LockGuard lock(m_csList);
    for (const ConnectionRef& connection : m_list) {
        if (connection && connection.get() != except && connection->EqualName(name))
            return true;
    }
    return false;
}

std::vector<CZa32VUEnumConnections::ConnectionRef> CZa32VUEnumConnections::Snapshot() const {
    LockGuard lock(m_csList);
    return std::vector<ConnectionRef>(m_list.begin(), m_list.end());
}

void CZa32VUEnumConnections::RemoveAllConnections() {
    List old;
    {
        LockGuard lock(m_csList);
        old.swap(m_list);
        m_posCurrent = m_list.end();
    }
    // Like removed objects, they keep their name and client object and can still send commands.
    for (ConnectionRef& connection : old) {
        if (connection)
            Detach(*connection);
    }
    // The list's references go here, outside the lock.
}
