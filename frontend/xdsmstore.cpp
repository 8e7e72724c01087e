#include "frontend/xdsmstore.h"

#include <cerrno>
#include <cstdlib>

#include "hsmfs/fscheck.h"
#include "hsmfs/xdsmapi.h"

namespace {
dm_token_t toToken(HsmToken t) { return dm_token_t{t.high, t.low}; }

xdsm_handle_t view(const HsmHandleBytes& h) {
  return xdsm_handle_t{const_cast<uint8_t*>(h.data()), h.size()};
}

// A handle filled by the handle layer, freed on every path.
class OwnedHandle {
 public:
  OwnedHandle() { handleInit(&h_); }
  ~OwnedHandle() { handleFree(&h_); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  xdsm_handle_t* out() { return &h_; }
  HsmHandleBytes bytes() const {
    const auto* p = static_cast<const uint8_t*>(h_.hanp);
    return HsmHandleBytes(p, p + h_.hlen);
  }

 private:
  xdsm_handle_t h_;
};

XDSMAPI* api() { return XDSMAPI::getXDSMAPI(); }
}  // namespace

uint64_t XdsmAttrStore::sessionId() { return api()->getSID(); }

int XdsmAttrStore::setDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                             const char* name, int setdtime, size_t length, const void* buffer) {
  return api()->setDmattr(sid, view(h), toToken(token), name, setdtime, length, buffer);
}

int XdsmAttrStore::getDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                             const char* name, size_t length, void* buffer, size_t* lengthOut) {
  return api()->getDmattr(sid, view(h), toToken(token), name, length, buffer, lengthOut);
}

int XdsmAttrStore::removeDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                                int setdtime, const char* name) {
  return api()->removeDmattr(sid, view(h), toToken(token), setdtime, name);
}

int XdsmAttrStore::setRegion(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                             const std::vector<HsmRegion>& regions) {
  std::vector<dm_region_t> r;
  for (const HsmRegion& g : regions)
    r.push_back(dm_region_t{static_cast<dm_off_t>(g.offset), g.size, g.flags, 0});
  return api()->setRegion(sid, view(h), toToken(token), static_cast<unsigned>(r.size()), r.data(),
                          nullptr);
}

int XdsmAttrStore::setEventList(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                                uint32_t eventSet, unsigned maxEvent) {
  dm_eventset_t set = eventSet;
  return api()->setEventList(sid, view(h), toToken(token), &set, maxEvent);
}

int XdsmAttrStore::handleOfPath(const std::string& path, HsmHandleBytes* out) {
  OwnedHandle h;
  if (!handleSetWithPath(h.out(), path.c_str())) return 0;
  *out = h.bytes();
  return 1;
}

int XdsmAttrStore::fsHandleOfPath(const std::string& path, HsmHandleBytes* out) {
  OwnedHandle h;
  if (!handleSetFsWithPath(h.out(), path.c_str())) return 0;
  *out = h.bytes();
  return 1;
}

int XdsmAttrStore::fsHandleOfHandle(const HsmHandleBytes& file, HsmHandleBytes* out) {
  OwnedHandle h;
  if (!handleSetFsHandle(h.out(), view(file))) return 0;
  *out = h.bytes();
  return 1;
}

int XdsmAttrStore::fsNameOfHandle(const HsmHandleBytes& file, std::string* fsName) {
  OwnedHandle fs;
  if (!handleSetFsHandle(fs.out(), view(file))) return 0;
  char path[4096];
  HsmHandleBytes fsBytes = fs.bytes();
  if (!handleToPath(view(fsBytes), view(file), path, sizeof path)) return 0;
  char* mount = MountPoint(path);
  if (mount == nullptr) {
    errno = ENOENT;
    return 0;
  }
  *fsName = mount;
  free(mount);
  return 1;
}

void registerXdsmAttrStore() {
  static XdsmAttrStore store;
  if (hsmAttrStore() == nullptr) setHsmAttrStore(&store);
}
