// Test support: the command's start-up of its message catalog and DMAPI
// session, and migrated objects as the server sends them, for the reconcile
// tests and the stub benchmark alike.
#ifndef KMR_TESTS_SUPPORT_MIGRATED_OBJECT_H
#define KMR_TESTS_SUPPORT_MIGRATED_OBJECT_H

#include <cstdint>
#include <string>

#include "common/messages.h"
#include "hsmfs/xdsmapi.h"
#include "server/migobject.h"

namespace kmrtest {

// The message catalog (KMR_CATALOG_DIR) and the process's DMAPI session, as
// the command starts them; stopCommandServices ends both.
inline void startCommandServices() {
  dsCoreInit(nullptr, 0);
  char chosen[64] = "EN_US";
  nlinit(KMR_CATALOG_DIR, 10, KMR_CATALOG_DIR, 5, 1, 1, 1, chosen, nullptr);
  XDSMAPI* dmapi = XDSMAPI::getXDSMAPI();
  if (!dmapi->isInitialized()) dmapi->initService();
  if (dmapi->getSID() == 0) dmapi->createSession(0, "migundelete", 0);
}
inline void stopCommandServices() {
  kmrDestroySession(0);
  nlterm();
  dsCoreCleanUp();
}

struct ObjSpec {
  std::string alias;
  uint64_t size = 4096;
  uint32_t mtime = 1600000000;
  uint32_t atime = 1500000000;
  uint32_t ctime = 1600000100;
  uint32_t mode = 0100640;
  uint32_t uid = 1234;
  uint32_t gid = 4321;
  uint8_t flags = 0;
  bool expired = false;
  uint8_t idSeed = 1;
};

// Id bytes seed * 16 + i.
inline midExtObjId_t idFromSeed(uint8_t seed) {
  midExtObjId_t id{};
  for (size_t i = 0; i < kExtObjIdLen; ++i) id.bytes[i] = static_cast<uint8_t>(seed * 16 + i);
  return id;
}

inline Attrib attribOf(const ObjSpec& s) {
  Attrib a{};
  a.size = s.size;
  a.mode = s.mode;
  a.uid = s.uid;
  a.gid = s.gid;
  a.atime = s.atime;
  a.mtime = s.mtime;
  a.ctime = s.ctime;
  a.flags = s.flags;
  attribSetMigState(a, s.expired ? kMigStateExpired : kMigStateMigrated);
  return a;
}

// A new object (the caller owns it) with `id`, or the seed's id.
inline ZefServerMigratedObject* makeObject(const ObjSpec& s, const midExtObjId_t& id) {
  auto* obj = new ZefServerMigratedObject();
  obj->setExtObjID(&id);
  const Attrib a = attribOf(s);
  obj->setAttributes(&a);
  obj->alias = s.alias;
  return obj;
}
inline ZefServerMigratedObject* makeObject(const ObjSpec& s) { return makeObject(s, idFromSeed(s.idSeed)); }

}  // namespace kmrtest

#endif
