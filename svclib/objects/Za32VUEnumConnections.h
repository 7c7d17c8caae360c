#pragma once
// CZa32VUEnumConnections: the list of connection objects and the connections file whose records
// they wrap (class Za32VUEnumConnections). The client object's inner enumerator is the library's
// single source of connection objects; callers enumerate clones of it, which share the objects
// but have their own list and cursor, no file and no client object.
//
// The list is touched by the application's thread (changes, enumeration) and by the receive
// thread (search by name for each notification): a lock guards it, held for the search and for
// each change.
#include "ScModule.h"
#include "Za32VUConnection.h"

#include "common/config/ConfigConnectionList.h"
#include "platform/com_dispatch.h"
#include "platform/sync.h"

#include <list>
#include <memory>
#include <vector>

class CKp32ClientSC;

class CZa32VUEnumConnections final
    : public platform::ComObject<
          CZa32VUEnumConnections,
          platform::DualInterface<CZa32VUEnumConnections, IZa32VUEnumConnections>,
          platform::SupportErrorInfoFor<IZa32VUEnumConnections>> {
  public:
    using ConnectionRef = platform::ComPtr<CZa32VUConnection>;

    CZa32VUEnumConnections();
    ~CZa32VUEnumConnections() override;

    static const platform::DispatchTable& dispatch_table();

    // ---- IZa32VUEnumConnections --------------------------------------------------------------
    platform::HRESULT Next(platform::ULONG NumOfConn, IZa32VUConnection** ppConnections,
                           platform::ULONG* pFetched) override;
    platform::HRESULT Skip(platform::ULONG NumOfConn) override;
    platform::HRESULT Reset() override;
    platform::HRESULT Clone(IZa32VUEnumConnections** ppEnum) override;

    // ---- Inside the library -------------------------------------------------------------------
    void SetClient(CKp32ClientSC* pClientSC) { m_pClientSC = pClientSC; }
    // Loads connection.dat and rebuilds the list. A file that does not load leaves the list and
    // the records as they were; objects of the previous list are detached.
    platform::HRESULT Initialize();
    platform::ComPtr<IZa32VUConnection> AddNewConnection(platform::TextView name,
                                                         platform::HRESULT& result);
    platform::ComPtr<IZa32VUConnection> RemoveConnection(platform::TextView name,
                                                         platform::HRESULT& result);
    // The object named exactly `name` (a counted reference), or null.
    ConnectionRef FindConnection(platform::TextView name) const;
    // Whether an object other than `except` has exactly this name.
    bool HasOtherWithName(platform::TextView name, const CZa32VUConnection* except) const;
    // The objects of the list, in order.
    std::vector<ConnectionRef> Snapshot() const;
    // Releases every entry; the objects are detached (no record, no enumerator).
    void RemoveAllConnections();

  protected:
    void final_release() override;

  private:
    using List = std::list<ConnectionRef>;

    CZa32VUConnection* AddConnection(CConfigConnectionConInfo* pConInfo, platform::HRESULT& result);
    static void Detach(CZa32VUConnection& connection);

    std::unique_ptr<CConfigConnectionList> m_pConnFile; // null in a clone
    mutable platform::Lock m_csList;
    List m_list;
    List::iterator m_posCurrent; // m_list.end(): none
    CKp32ClientSC* m_pClientSC = nullptr;
};
