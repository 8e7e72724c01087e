#include "hsmfs/xdsmattrstore.h"

#include <cerrno>
#include <climits>
#include <vector>

#include "hsmfs/fscheck.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/xdsmapi.h"

namespace {

dm_token_t toToken(HsmToken t) { return dm_token_t{t.high, t.low}; }
// Handles kept in the node's global state file come back padded with zeros
// to 32 bytes; the library refuses them so. Its own layout tells the real
// length: a file system handle (kind 0xD5) is 9 bytes, a file handle (0xD6)
// 11 plus the kernel handle's length in byte 10.
size_t unpaddedLength(const HsmHandleBytes& h) {
  if (h.size() == kMaxStoredHandle && h[0] == 0xD5) return 9;
  if (h.size() == kMaxStoredHandle && h[0] == 0xD6 && 11u + h[10] <= h.size()) return 11u + h[10];
  return h.size();
}
xdsm_handle_t view(const HsmHandleBytes& h) {
  return xdsm_handle_t{const_cast<uint8_t*>(h.data()), h.empty() ? 0 : unpaddedLength(h)};
}

// A handle filled by a handleSet... function, freed on every path.
class OwnedHandle {
 public:
  OwnedHandle() { handleInit(&h_); }
  ~OwnedHandle() { handleFree(&h_); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  xdsm_handle_t* out() { return &h_; }
  HsmHandleBytes bytes() const {
    const auto* p = static_cast<const uint8_t*>(h_.hanp);
    return p ? HsmHandleBytes(p, p + h_.hlen) : HsmHandleBytes();
  }

 private:
  xdsm_handle_t h_;
};

template <typename Fill>
int fillHandle(HsmHandleBytes* out, Fill fill) {
  OwnedHandle h;
  if (!fill(h.out())) return 0;
  *out = h.bytes();
  return 1;
}

class XdsmAttrStore : public HsmAttrStore {
 public:
  uint64_t sessionId() override { return api()->getSID(); }
  int setDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token, const char* name, int setdtime,
                size_t length, const void* buffer) override {
    return api()->setDmattr(sid, view(h), toToken(token), name, setdtime, length, buffer);
  }
  int getDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token, const char* name, size_t length,
                void* buffer, size_t* lengthOut) override {
    return api()->getDmattr(sid, view(h), toToken(token), name, length, buffer, lengthOut);
  }
  int removeDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token, int setdtime, const char* name) override {
    return api()->removeDmattr(sid, view(h), toToken(token), setdtime, name);
  }
  int setRegion(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                const std::vector<HsmRegion>& regions) override {
    std::vector<dm_region_t> r;
    for (const HsmRegion& g : regions) r.push_back(dm_region_t{static_cast<dm_off_t>(g.offset), g.size, g.flags, 0});
    return api()->setRegion(sid, view(h), toToken(token), static_cast<unsigned>(r.size()), r.data(), nullptr);
  }
  int setEventList(uint64_t sid, const HsmHandleBytes& h, HsmToken token, uint32_t eventSet,
                   unsigned maxEvent) override {
    dm_eventset_t set = eventSet;
    return api()->setEventList(sid, view(h), toToken(token), &set, maxEvent);
  }
  int handleOfPath(const std::string& path, HsmHandleBytes* out) override {
    return fillHandle(out, [&](xdsm_handle_t* h) { return handleSetWithPath(h, path.c_str()); });
  }
  int fsHandleOfPath(const std::string& path, HsmHandleBytes* out) override {
    return fillHandle(out, [&](xdsm_handle_t* h) { return handleSetFsWithPath(h, path.c_str()); });
  }
  int fsHandleOfHandle(const HsmHandleBytes& file, HsmHandleBytes* out) override {
    return fillHandle(out, [&](xdsm_handle_t* h) { return handleSetFsHandle(h, view(file)); });
  }
  int fsNameOfHandle(const HsmHandleBytes& file, std::string* fsName) override {
    HsmHandleBytes fsHandle;
    if (!fsHandleOfHandle(file, &fsHandle)) return 0;
    char path[PATH_MAX];
    // The file system's root directory is its own path below the mount.
    if (!handleToPath(view(fsHandle), view(file), path, sizeof path)) return 0;
    char* mount = MountPoint(path, hsmSettings().mtabPath);
    if (!mount) {
      errno = ENOENT;
      return 0;
    }
    *fsName = mount;
    free(mount);
    return 1;
  }

 private:
  static XDSMAPI* api() { return XDSMAPI::getXDSMAPI(); }
};

}  // namespace

HsmAttrStore* xdsmAttrStore() {
  static XdsmAttrStore store;
  return &store;
}
