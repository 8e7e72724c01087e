// The real server behind ReconcileServerLink: a ZefServerCommInterface made
// the way the mode base makes it (no LAN-free transfer, session checked now).
#include <new>

#include "common/trace.h"
#include "reconcile/serverlink.h"

#if __has_include("server/comminterface.h")
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

#else

// Built before the server communication layer is part of the tree: there is
// no server to talk to, and the mode base ends the run as it does for any
// server interface that cannot be created.
std::unique_ptr<ReconcileServerLink> createZefServerLink(int* rc, const std::string& fileSystem) {
  TRACE(TR_SMRECONCILE, "(createZefServerLink): no server communication layer for %s\n",
        fileSystem.c_str());
  *rc = -1;
  return nullptr;
}

#endif
