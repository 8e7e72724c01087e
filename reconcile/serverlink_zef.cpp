// The real server behind ReconcileServerLink: a ZefServerCommInterface made
// the way the mode base makes it (no LAN-free transfer, session checked now).
#include <memory>
#include <new>
#include <string>

#include "reconcile/serverlink.h"

#include "server/comminterface.h"

namespace {
class ZefServerLink : public ReconcileServerLink {
 public:
  explicit ZefServerLink(ZefServerCommInterface* comm) : m_comm(comm) {}
  int beginTransaction() override { return m_comm->beginTransaction(); }
  int getAllMigrObjectsFromServer(int ordering) override {
    return m_comm->getAllMigrObjectsFromServer(ordering);
  }
  cQueueBaseObject* getNextMigrObjectFromServer() override {
    return m_comm->getNextMigrObjectFromServer();
  }
  int updateMigrObjectOnServer(ZefServerMigratedObject* obj, int flags) override {
    return m_comm->updateMigrObjectOnServer(obj, flags);
  }
  int stopTransaction() override { return m_comm->stopTransaction(); }
  uint64_t committedUpdates() const override { return m_comm->committedUpdates(); }

 private:
  std::unique_ptr<ZefServerCommInterface> m_comm;
};
}  // namespace

std::unique_ptr<ReconcileServerLink> createZefServerLink(int* rc, const std::string& fileSystem) {
  *rc = 0;
  std::unique_ptr<ZefServerCommInterface> comm(
      new (std::nothrow) ZefServerCommInterface(*rc, fileSystem, 0, 1));
  if (!comm || *rc != 0) return nullptr;
  return std::make_unique<ZefServerLink>(comm.release());
}

