// An in-memory HsmAttrStore over real files: handles are built from the
// device and inode of the path (so they are stable and differ per file), the
// attributes, regions and event lists live in maps. Failures can be injected
// per attribute name.
#ifndef KMR_TESTS_UNIT_HSMFS_FAKE_STORE_H
#define KMR_TESTS_UNIT_HSMFS_FAKE_STORE_H

#include <errno.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hsmfs/attrstore.h"
#include "hsmfs/fscheck.h"

class FakeAttrStore : public HsmAttrStore {
 public:
  uint64_t sid = 0x51D;
  std::map<std::pair<DmHandle, std::string>, std::vector<uint8_t>> attrs;
  std::map<DmHandle, std::vector<HsmRegion>> regions;
  std::map<DmHandle, uint32_t> events;
  std::map<DmHandle, std::string> fsNames;
  // Failures to inject: attribute name -> errno for the next N sets.
  std::map<std::string, std::pair<int, int>> failSet;
  int failGetErrno = 0;
  int setCalls = 0;

  uint64_t sessionId() override { return sid; }

  int setDmattr(uint64_t, const DmHandle& h, HsmToken, const char* name, int, size_t len,
                const void* buf) override {
    ++setCalls;
    auto f = failSet.find(name);
    if (f != failSet.end() && f->second.second > 0) {
      --f->second.second;
      errno = f->second.first;
      return 0;
    }
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    attrs[{h, name}] = std::vector<uint8_t>(p, p + len);
    return 1;
  }
  int getDmattr(uint64_t, const DmHandle& h, HsmToken, const char* name, size_t len, void* buf,
                size_t* lenOut) override {
    if (failGetErrno) {
      errno = failGetErrno;
      return 0;
    }
    auto it = attrs.find({h, name});
    if (it == attrs.end()) {
      errno = ENOENT;
      return 0;
    }
    *lenOut = it->second.size();
    if (it->second.size() > len) {
      errno = E2BIG;
      return 0;
    }
    memcpy(buf, it->second.data(), it->second.size());
    return 1;
  }
  int removeDmattr(uint64_t, const DmHandle& h, HsmToken, int, const char* name) override {
    if (attrs.erase({h, name}) == 0) {
      errno = ENOENT;
      return 0;
    }
    return 1;
  }
  int setRegion(uint64_t, const DmHandle& h, HsmToken, const std::vector<HsmRegion>& r) override {
    regions[h] = r;
    return 1;
  }
  int setEventList(uint64_t, const DmHandle& h, HsmToken, uint32_t set, unsigned) override {
    events[h] = set;
    return 1;
  }
  int handleOfPath(const std::string& path, DmHandle* out) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    *out = bytesOf(st.st_dev, st.st_ino);
    if (char* mp = MountPoint(path.c_str())) {
      fsNames[*out] = mp;
      free(mp);
    }
    return 1;
  }
  int fsHandleOfPath(const std::string& path, DmHandle* out) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    *out = bytesOf(st.st_dev, 0);
    return 1;
  }
  int fsHandleOfHandle(const DmHandle& file, DmHandle* out) override {
    *out = DmHandle(file.data(), 8).padded();
    return 1;
  }
  int fsNameOfHandle(const DmHandle& file, std::string* name) override {
    auto it = fsNames.find(file);
    if (it == fsNames.end()) {
      errno = EINVAL;
      return 0;
    }
    *name = it->second;
    return 1;
  }

  static DmHandle bytesOf(uint64_t dev, uint64_t ino) {
    uint8_t h[32] = {};
    memcpy(h, &dev, 8);
    memcpy(h + 8, &ino, 8);
    h[16] = 0xAB;  // make handles of different files distinguishable from zero padding
    return DmHandle(h, sizeof h);
  }
};

#endif
