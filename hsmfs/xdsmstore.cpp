#include "hsmfs/xdsmstore.h"

#include <errno.h>
#include <limits.h>

#include <cstdlib>

#include "common/options.h"
#include "common/trace.h"
#include "hsmfs/fscheck.h"
#include "hsmfs/handles.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/xdsmapi.h"

namespace {

// Handles kept in the node's global state file come back padded with zeros
// to 32 bytes, and the library refuses them so. The handle's own layout
// tells the real length: a file system handle (kind 0xD5) is 9 bytes, a file
// handle (0xD6) 11 plus the kernel handle's length in byte 10.
size_t unpaddedLength(const DmHandle& h) {
  if (h.size() == kMaxHandleLen && h[0] == 0xD5) return 9;
  if (h.size() == kMaxHandleLen && h[0] == 0xD6 && 11u + h[10] <= h.size()) return 11u + h[10];
  return h.size();
}

// A view of the caller's bytes; the pair owns nothing.
xdsm_handle_t viewOf(const DmHandle& h) {
  xdsm_handle_t view;
  handleSet(&view, const_cast<uint8_t*>(h.data()), h.empty() ? 0 : unpaddedLength(h));
  return view;
}

dm_token_t tokenOf(HsmToken t) { return dm_token_t{t.high, t.low}; }

// The library's handle as a value; handles longer than we may store fail EOVERFLOW.
int copyTo(const OwnedHandle& h, DmHandle* out) {
  if (h.get().hlen > kMaxHandleLen) {
    errno = EOVERFLOW;
    return 0;
  }
  *out = handleValue(h.get());
  return 1;
}

XDSMAPI* api() { return XDSMAPI::getXDSMAPI(); }

}  // namespace

uint64_t XdsmAttrStore::sessionId() {
  XDSMAPI* dmapi = api();
  if (!dmapi->isInitialized() && !dmapi->initService()) return DM_NO_SESSION;
  dm_sessid_t sid = dmapi->getSID();
  if (sid == DM_NO_SESSION) sid = dmapi->createSession(DM_NO_SESSION, nullptr, 0);
  return sid;
}

int XdsmAttrStore::setDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name,
                             int setdtime, size_t length, const void* buffer) {
  return api()->setDmattr(sid, viewOf(h), tokenOf(token), name, setdtime, length, buffer);
}

int XdsmAttrStore::getDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name,
                             size_t length, void* buffer, size_t* lengthOut) {
  return api()->getDmattr(sid, viewOf(h), tokenOf(token), name, length, buffer, lengthOut);
}

int XdsmAttrStore::removeDmattr(uint64_t sid, const DmHandle& h, HsmToken token, int setdtime,
                                const char* name) {
  return api()->removeDmattr(sid, viewOf(h), tokenOf(token), setdtime, name);
}

int XdsmAttrStore::setRegion(uint64_t sid, const DmHandle& h, HsmToken token,
                             const std::vector<HsmRegion>& regions) {
  std::vector<dm_region_t> list;
  list.reserve(regions.size());
  for (const HsmRegion& r : regions)
    list.push_back(dm_region_t{static_cast<dm_off_t>(r.offset), r.size, r.flags, 0});
  return api()->setRegion(sid, viewOf(h), tokenOf(token), static_cast<unsigned>(list.size()),
                          list.empty() ? nullptr : list.data(), nullptr);
}

int XdsmAttrStore::setEventList(uint64_t sid, const DmHandle& h, HsmToken token, uint32_t eventSet,
                                unsigned maxEvent) {
  dm_eventset_t events = eventSet;
  return api()->setEventList(sid, viewOf(h), tokenOf(token), &events, maxEvent);
}

int XdsmAttrStore::handleOfPath(const std::string& path, DmHandle* out) {
  OwnedHandle h;
  return handleSetWithPath(h.out(), path.c_str()) && copyTo(h, out);
}

int XdsmAttrStore::fsHandleOfPath(const std::string& path, DmHandle* out) {
  OwnedHandle h;
  return handleSetFsWithPath(h.out(), path.c_str()) && copyTo(h, out);
}

int XdsmAttrStore::fsHandleOfHandle(const DmHandle& file, DmHandle* out) {
  OwnedHandle h;
  return handleSetFsHandle(h.out(), viewOf(file)) && copyTo(h, out);
}

int XdsmAttrStore::fsNameOfHandle(const DmHandle& file, std::string* fsName) {
  OwnedHandle fs;
  if (!handleSetFsHandle(fs.out(), viewOf(file))) return 0;
  char path[PATH_MAX + 1];
  if (!handleToPath(fs.get(), viewOf(file), path, sizeof path)) return 0;
  char* mountPoint = MountPoint(path, hsmSettings().mtabPath);
  if (!mountPoint) {
    TRACE(TR_SMXDSM, "fsNameOfHandle: no mount point for '%s'\n", path);
    errno = ENOENT;
    return 0;
  }
  fsName->assign(mountPoint);
  free(mountPoint);
  return 1;
}

XdsmAttrStore* xdsmAttrStore() {
  static XdsmAttrStore* store = new XdsmAttrStore;  // intentionally never destroyed
  return store;
}

HsmLayerEnv hsmXdsmEnv() {
  HsmLayerEnv env;
  env.attrStore = xdsmAttrStore();
  return env;
}

int hsmLayerStartup(const HsmLayerEnv& env, const clientOptions* opts) {
  if (!opts) opts = optionsP;
  if (!opts) {
    errno = EINVAL;
    return -1;
  }
  HsmSettings& settings = hsmSettings();
  settings.extObjIdAttr = opts->hsmExtObjIdAttr;
  settings.eventDestroy = opts->hsmEventDestroy;
  settings.migrateServerName = opts->migrateServer;
  hsmInstallEnv(env);
  TRACE(TR_SMXDSM, "hsmLayerStartup: HSMEXTOBJIDATTR %d, HSMEVENTDESTROY %d\n", settings.extObjIdAttr,
        settings.eventDestroy);
  return 0;
}
