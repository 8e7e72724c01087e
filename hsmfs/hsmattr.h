// HSM attributes of files: binary layouts of "VOQObj", "VOQPMig", "VOQexID"
// and "VOQStat", the migration state of a file read from them, writing them,
// and the managed region of a stub.
//
// Contract
// - Layouts are in the machine's byte order; encode/decode never fail on
//   buffers of the stated length.
// - The dmi... functions go through the installed HsmAttrStore (hsmenv.h, attrstore.h)
//   and the process settings (HSMEXTOBJIDATTR, HSMEVENTDESTROY). They return
//   0 on success and -1 with errno set on failure, unless stated otherwise;
//   a missing store fails with ENXIO.
// - Callers hold the DMAPI right the access needs on `token`.
#ifndef KMR_HSMFS_HSMATTR_H
#define KMR_HSMFS_HSMATTR_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/objectid.h"
#include "hsmfs/attrstore.h"
#include "platform/xdsm/dmapi.h"

// Attribute names (at most 8 bytes, zero padded by DMAPI).
inline constexpr const char* kAttrObj = "VOQObj";
inline constexpr const char* kAttrPMig = "VOQPMig";
inline constexpr const char* kAttrExtId = "VOQexID";
inline constexpr const char* kAttrStat = "VOQStat";

inline constexpr size_t kVOQObjLen = 124;
inline constexpr size_t kVOQPMigLen = 28;
inline constexpr size_t kVOQexIDLen = 57;
inline constexpr size_t kVOQStatLen = 1020;
inline constexpr size_t kVOQStatNameLen = 1000;

// Migration states of a file.
inline constexpr int DMI_STATE_ERROR = -1;
inline constexpr int DMI_STATE_PREMIGRATED = 1;
inline constexpr int DMI_STATE_MIGRATED = 2;
inline constexpr int DMI_STATE_RESIDENT = 3;
inline constexpr int DMI_STATE_CANCELLED = 5;
inline constexpr int DMI_STATE_RECALL_MARKED = 10;
inline constexpr int DMI_STATE_RECALL_CANCELLED = 12;

// DMAPI's own no-attribute error beside ENOENT.
inline constexpr int DMI_ENOATTR = 112;
bool dmiIsNoAttr(int err);

// In-memory form of "VOQObj".
struct dmiInfo {
  midExtObjId_t extObjId{};   // 0
  uint64_t fileSize = 0;      // 28
  uint64_t fileValue2 = 0;    // 36
  uint32_t dataSizeHigh = 0;  // 44
  uint32_t dataSizeLow = 0;   // 48
  uint32_t keep52 = 0;        // 52
  uint8_t dataSizeForm = 0;   // 56  8: 64-bit data size
  uint8_t objFlags = 0;       // 57  0x01 compressed, 0x02 uncompressed
  uint16_t keep58 = 0;        // 58
  uint32_t keep60 = 0;        // 60
  uint32_t migState = 0;      // 72
  uint32_t recallMark = 0;    // 76
  uint32_t migDataLen = 0;    // 88
  uint8_t migData[32] = {};   // 92
};
inline constexpr uint8_t DMI_OBJ_COMPRESSED = 0x01;
inline constexpr uint8_t DMI_OBJ_UNCOMPRESSED = 0x02;
inline constexpr uint8_t DMI_DATASIZE_64BIT = 8;

void encodeVOQObj(const dmiInfo& info, uint8_t out[kVOQObjLen]);
dmiInfo decodeVOQObj(const uint8_t in[kVOQObjLen]);
uint64_t dmiGet64bitDataSize(const dmiInfo& info);
void dmiSet64bitDataSize(dmiInfo& info, uint64_t size);

// "VOQObj" of a stub made for an object on the server, by the command that
// recreates stubs and by zefadm alike: the id, the size, the modification
// and change time as fileValue2 (change time in the high half), the data
// form (compressed or not) and state DMI_STATE_MIGRATED; all else zero.
dmiInfo dmiStubInfo(const midExtObjId_t& id, uint64_t size, uint32_t mtime, uint32_t ctime, bool compressed);

// "VOQexID": 56 upper-case hex digits of the id and a zero byte.
void encodeVOQexID(const midExtObjId_t& id, char out[kVOQexIDLen]);

// In-memory form of "VOQStat".
struct fsmState {
  uint32_t flags = 0;       // bit 0 recall, 1 migration, 2 and 3 further flags
  int32_t created = 0;      // seconds since the epoch
  std::string fsName;
};
inline constexpr uint32_t FSM_RECALL = 1;
inline constexpr uint32_t FSM_MIGRATE = 2;
// Returns false (message 2076) when the name exceeds the field.
bool encodeVOQStat(const fsmState& st, uint8_t out[kVOQStatLen]);
fsmState decodeVOQStat(const uint8_t* in, size_t length);

// ---- migration state of a file -----------------------------------------------
// State from "VOQObj" alone: its state code, or 3 when absent; -1 on error.
int dmiGetFileResStat(uint64_t sid, const DmHandle& h, HsmToken token, midExtObjId_t* extObjIdOut);
// Full state (see the DMI_STATE_ values); the id of the object when known.
int dmiGetFileMigStat(uint64_t sid, const DmHandle& h, HsmToken token, midExtObjId_t* extObjIdOut);
// State of a path by name with the process's session. 0 or -1.
int dmiGetPmigStat(int* status, const char* path);
int dmiSetFileMigStat(uint64_t sid, const DmHandle& h, HsmToken token, const midExtObjId_t& id,
                      int state);
int dmiResetFileMigStat(uint64_t sid, const DmHandle& h, HsmToken token);

int dmiGetDMAttrib(uint64_t sid, const DmHandle& h, HsmToken token, dmiInfo* info);
// Writes "VOQObj" as given (and "VOQexID" when HSMEXTOBJIDATTR is 1). On
// ENOSPC/ENOMEM empties space-reserve files one at a time and tries again.
int dmiSetDMAttrib(uint64_t sid, const DmHandle& h, HsmToken token, const dmiInfo& info);
int dmiSetExtObjIDAttrib(uint64_t sid, const DmHandle& h, HsmToken token, const midExtObjId_t& id);
int dmiRemoveExtObjIDAttrib(uint64_t sid, const DmHandle& h, HsmToken token);
// 1 when the file carries `name`, else 0.
int dmiFileHasDmAttr(uint64_t sid, const DmHandle& h, const char* name);

// ---- making a stub in place ----------------------------------------------------
// A program that turns an existing file into a stub ("VOQObj", managed
// region, then the data punched out) holds a POSIX read lock on this one
// byte of the file for those steps. The recall service lets that program's
// own accesses (the punch) through without a recall and refuses others with
// EBUSY until the lock goes: a recall in the middle would bring the data
// back under a file that is being emptied. See docs/protocol.md.
inline constexpr int64_t kStubMakingLockOffset = 0x7FFFFFFFFFFFFFFE;
// Holds that lock on the file open at `fd` (any access mode) while it lives,
// waiting for it if need be; held() is false (errno set) when it could not
// be taken.
class StubMakingLock {
 public:
  explicit StubMakingLock(int fd);
  ~StubMakingLock();
  StubMakingLock(const StubMakingLock&) = delete;
  StubMakingLock& operator=(const StubMakingLock&) = delete;
  bool held() const { return m_held; }

 private:
  int m_fd;
  bool m_held = false;
};

// ---- managed regions ----------------------------------------------------------
inline constexpr unsigned DMI_REGION_STUB = 7;  // read, write and truncate events
// DM_EVENT_DESTROY (22) and DM_EVENT_MAX (24) come from the DMAPI header.
const char* dmiEventName(unsigned event);  // "DM_EVENT_CLOSE" .. "DM_EVENT_USER", or "DM_EVENT_INVALID"
int dmiSetMngRegion(uint64_t sid, const DmHandle& h, HsmToken token, uint64_t offset, unsigned flags);
int dmiClrMngRegion(uint64_t sid, const DmHandle& h, HsmToken token);

// ---- active migrations of the process -----------------------------------------
struct ActiveMigration {
  DmHandle handle;
  dmiInfo info;
  bool underWay = false;
};
// Adds a migration to the process's list (main thread only).
void dmiAddActiveMig(const ActiveMigration& mig);
size_t dmiActiveMigCount();
// Writes the record of a finished migration and drops it from the list.
int dmiFinishMig(ActiveMigration& mig);
// Cancels every migration under way (state 5) and empties the list.
void dmiCancelMig();

#endif
