// The HSM attribute store of the command: the HSM layer's state-file and
// attribute code reaches DMAPI through the process's access object and its
// "migundelete" session.
//
// Contract
// - One instance for the process, created and registered by the front end
//   on the main thread after the DMAPI session exists and before the first
//   file system check; it lives until the process ends.
// - Operations follow the XDSMAPI convention (1 / 0 with errno).
#ifndef KMR_FRONTEND_XDSMSTORE_H
#define KMR_FRONTEND_XDSMSTORE_H

#include "hsmfs/attrstore.h"

class XdsmAttrStore : public HsmAttrStore {
 public:
  uint64_t sessionId() override;
  int setDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token, const char* name,
                int setdtime, size_t length, const void* buffer) override;
  int getDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token, const char* name,
                size_t length, void* buffer, size_t* lengthOut) override;
  int removeDmattr(uint64_t sid, const HsmHandleBytes& h, HsmToken token, int setdtime,
                   const char* name) override;
  int setRegion(uint64_t sid, const HsmHandleBytes& h, HsmToken token,
                const std::vector<HsmRegion>& regions) override;
  int setEventList(uint64_t sid, const HsmHandleBytes& h, HsmToken token, uint32_t eventSet,
                   unsigned maxEvent) override;
  int handleOfPath(const std::string& path, HsmHandleBytes* out) override;
  int fsHandleOfPath(const std::string& path, HsmHandleBytes* out) override;
  int fsHandleOfHandle(const HsmHandleBytes& file, HsmHandleBytes* out) override;
  int fsNameOfHandle(const HsmHandleBytes& file, std::string* fsName) override;
};

// Registers the process's store (once; later calls do nothing).
void registerXdsmAttrStore();

#endif
