// HsmAttrStore: the narrow view of the DMAPI access object that the HSM
// attribute and state-file code needs. The DMAPI layer implements it over its
// XDSMAPI object (xdsmstore.h); the store in use is the one of the installed
// HsmLayerEnv (hsmenv.h); tests install a store of their own.
//
// Contract
// - Operations follow the XDSMAPI convention: 1 on success, 0 on failure with
//   errno set. A missing attribute fails with ENOENT; a buffer shorter than
//   the attribute fails with E2BIG and reports the needed length.
// - Handles are DmHandle values (common/objectid.h).
// - The installed instance is owned by whoever installed it and must outlive
//   every use.
#ifndef KMR_HSMFS_ATTRSTORE_H
#define KMR_HSMFS_ATTRSTORE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/objectid.h"

// A DMAPI token (128 bits as two halves); all zero is DM_NO_TOKEN.
struct HsmToken {
  uint64_t high = 0;
  uint64_t low = 0;
};
inline constexpr HsmToken kNoToken{};

// One managed region: size 0 reaches to the end of the file.
struct HsmRegion {
  uint64_t offset = 0;
  uint64_t size = 0;
  unsigned flags = 0;  // 1 read, 2 write, 4 truncate
};

class HsmAttrStore {
 public:
  virtual ~HsmAttrStore() = default;

  // The process's DMAPI session, obtained on first call; 0 when none can be had.
  virtual uint64_t sessionId() = 0;

  virtual int setDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name,
                        int setdtime, size_t length, const void* buffer) = 0;
  virtual int getDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name,
                        size_t length, void* buffer, size_t* lengthOut) = 0;
  virtual int removeDmattr(uint64_t sid, const DmHandle& h, HsmToken token, int setdtime,
                           const char* name) = 0;
  // Replaces the file's managed regions (an empty list clears them).
  virtual int setRegion(uint64_t sid, const DmHandle& h, HsmToken token,
                        const std::vector<HsmRegion>& regions) = 0;
  // Replaces the file's event list: bit n of `eventSet` is event n, of `maxEvent` events.
  virtual int setEventList(uint64_t sid, const DmHandle& h, HsmToken token, uint32_t eventSet,
                           unsigned maxEvent) = 0;

  virtual int handleOfPath(const std::string& path, DmHandle* out) = 0;
  virtual int fsHandleOfPath(const std::string& path, DmHandle* out) = 0;
  virtual int fsHandleOfHandle(const DmHandle& file, DmHandle* out) = 0;
  // Mount point of the file system that holds the file.
  virtual int fsNameOfHandle(const DmHandle& file, std::string* fsName) = 0;
};

// The store of the installed HsmLayerEnv (hsmenv.h), or null when it has none.
HsmAttrStore* hsmAttrStore();

#endif
