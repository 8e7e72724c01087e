// The HSM attribute code over the real DMAPI access object, and the start-up
// step of this layer that follows option processing.
//
// XdsmAttrStore is the HsmAttrStore (attrstore.h) that the command runs with:
// each operation is the XDSMAPI operation of the same name on the process-wide
// object (XDSMAPI::getXDSMAPI(), looked up on every call), so every request
// passes the access object's checks, tracing and last-errno bookkeeping.
//
// Contract
// - Operations return 1 on success and 0 on failure with errno as the
//   DMAPI library left it (ENOENT for a missing attribute, E2BIG with the
//   needed length for a short buffer, EACCES for a token without the right).
// - Handle bytes are copied in and out; the library's handles are freed
//   before an operation returns. Handles are at most 32 bytes.
// - sessionId() initialises the service and creates a session (information:
//   the process id) only when the process has none yet; the front end
//   normally created "migundelete" before. 0 when neither can be had.
// - Any thread may call the operations once start-up is done.
#ifndef KMR_HSMFS_XDSMSTORE_H
#define KMR_HSMFS_XDSMSTORE_H

#include <string>
#include <vector>

#include "hsmfs/attrstore.h"
#include "hsmfs/hsmenv.h"

struct clientOptions;

class XdsmAttrStore : public HsmAttrStore {
 public:
  uint64_t sessionId() override;
  int setDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name, int setdtime,
                size_t length, const void* buffer) override;
  int getDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name, size_t length,
                void* buffer, size_t* lengthOut) override;
  int removeDmattr(uint64_t sid, const DmHandle& h, HsmToken token, int setdtime,
                   const char* name) override;
  int setRegion(uint64_t sid, const DmHandle& h, HsmToken token,
                const std::vector<HsmRegion>& regions) override;
  int setEventList(uint64_t sid, const DmHandle& h, HsmToken token, uint32_t eventSet,
                   unsigned maxEvent) override;
  int handleOfPath(const std::string& path, DmHandle* out) override;
  int fsHandleOfPath(const std::string& path, DmHandle* out) override;
  int fsHandleOfHandle(const DmHandle& file, DmHandle* out) override;
  // The file's path below its file system (dm_handle_to_path), then the
  // mount point that holds it from the mount table (MountPoint).
  int fsNameOfHandle(const DmHandle& file, std::string* fsName) override;
};

// The process's XdsmAttrStore (never null, never destroyed, so the exit
// clean-up may still use it).
XdsmAttrStore* xdsmAttrStore();

// The env a program runs this layer with: xdsmAttrStore() and the defaults
// of every other member (hsmenv.h).
HsmLayerEnv hsmXdsmEnv();

// Start-up of the HSM file system layer. The command's wiring calls it once
// on the main thread right after smSysOptFile, before any other thread runs:
// - copies HSMEXTOBJIDATTR, HSMEVENTDESTROY and MIGRATESERVER from `opts`
//   (nullptr: the process's optionsP) into hsmSettings();
// - installs `env` (hsmInstallEnv), so the attribute and state-file code
//   reaches the file system through env.attrStore.
// Returns 0; -1 with errno EINVAL (and nothing changed) when there is no
// option record.
int hsmLayerStartup(const HsmLayerEnv& env, const clientOptions* opts = nullptr);

#endif
