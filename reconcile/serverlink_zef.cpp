// The real server behind ReconcileServerLink: a ZefServerCommInterface made
// the way the mode base makes it (no LAN-free transfer, session checked now).
#include <memory>
#include <new>
#include <string>

#include "reconcile/serverlink.h"

#include "common/rc.h"
#include "server/comminterface.h"
#include "server/queueobjects.h"

namespace {
class ZefServerLink : public ReconcileServerLink {
 public:
  ZefServerLink(ZefServerCommInterface* comm, bool known) : m_comm(comm), m_known(known) {}
  int beginTransaction() override { return m_comm->beginTransaction(); }
  // Without a file space there is nothing to ask for: the stream just ends.
  int getAllMigrObjectsFromServer(int ordering) override {
    return m_known ? m_comm->getAllMigrObjectsFromServer(ordering) : 0;
  }
  cQueueBaseObject* getNextMigrObjectFromServer() override {
    if (!m_known) return new (std::nothrow) FinishedMessageObject(0);
    return m_comm->getNextMigrObjectFromServer();
  }
  bool fileSpaceKnown() const override { return m_known; }
  int updateMigrObjectOnServer(ZefServerMigratedObject* obj, int flags) override {
    return m_comm->updateMigrObjectOnServer(obj, flags);
  }
  int stopTransaction() override { return m_comm->stopTransaction(); }
  uint64_t committedUpdates() const override { return m_comm->committedUpdates(); }

 private:
  std::unique_ptr<ZefServerCommInterface> m_comm;
  bool m_known;
};
}  // namespace

std::unique_ptr<ReconcileServerLink> createZefServerLink(int* rc, const std::string& fileSystem) {
  *rc = 0;
  std::unique_ptr<ZefServerCommInterface> comm(
      new (std::nothrow) ZefServerCommInterface(*rc, fileSystem, 0, 1));
  if (!comm || *rc != 0) return nullptr;
  return std::make_unique<ZefServerLink>(comm.release(), true);
}

std::unique_ptr<ReconcileServerLink> createZefQueryLink(int* rc, const std::string& fileSystem) {
  *rc = 0;
  std::unique_ptr<ZefServerCommInterface> comm(
      new (std::nothrow) ZefServerCommInterface(*rc, fileSystem, 0, 0));
  if (!comm || *rc != 0) return nullptr;
  comm->setAddsFileSpace(false);
  *rc = comm->checkSession();
  const bool known = *rc != RC_NO_MATCH;
  if (!known) *rc = 0;
  if (*rc != 0) return nullptr;
  return std::make_unique<ZefServerLink>(comm.release(), known);
}

