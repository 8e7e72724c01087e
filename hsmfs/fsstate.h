// HSM state of file systems: the per-file-system state file
// ".Tarnveld/dmiFSState" with its "VOQStat" attribute, and the node's global
// state file "<node dir>/config/dmiFSGlobalState" that maps each managed file
// system's handle to its state file's handle.
//
// Global state file layout (machine byte order):
//   0        4   global flags: bit 0 recall, bit 1 migration (3 when created)
//   4+72n   32   file system handle (zero padded)   36+72n  4  its length (32)
//   40+72n  32   state file handle (zero padded)    72+72n  4  its length (32)
//
// Contract
// - Functions return 0 on success and -1 with errno set on failure; they go
//   through the installed HsmAttrStore (hsmenv.h).
// - Writers hold the lock file "<node dir>/config/dmiFSGlobalState.pid"
//   exclusively; readers wait while a writer holds it, pausing between polls
//   with the installed HsmLayerEnv's globalStatePause (5 seconds).
#ifndef KMR_HSMFS_FSSTATE_H
#define KMR_HSMFS_FSSTATE_H

#include <cstdint>
#include <string>

#include "hsmfs/attrstore.h"
#include "hsmfs/hsmattr.h"

inline constexpr const char* kFSStateFileName = ".Tarnveld/dmiFSState";
inline constexpr const char* kFSStateText = "This file contains DMAPI attributes, do not delete!";
inline constexpr size_t kGlobalHeaderLen = 4;
inline constexpr size_t kGlobalRecordLen = 72;
inline constexpr uint32_t kGlobalFlagsNew = 3;

struct GlobalStateRecord {
  DmHandle fsHandle;
  DmHandle stateFileHandle;
};
// Encodes one 72-byte record, each handle zero padded to 32 bytes.
void encodeGlobalRecord(const GlobalStateRecord& rec, uint8_t out[kGlobalRecordLen]);
// Decodes one record; false when its lengths are not both 32 (older or damaged file).
bool decodeGlobalRecord(const uint8_t in[kGlobalRecordLen], GlobalStateRecord* rec);

std::string globalStateFilePath();
std::string fsStateFilePath(const std::string& fsName);

// Creates the state file of `fsName` and registers it in the global file.
int dmiCreateFSState(uint64_t sid, const std::string& fsName);
// Rebuilds the global file from the managed file system table.
int DmiCreateGlobalStateFile(uint64_t sid);
// Handle of the state file of the file system with handle `fsHandle`.
int dmiGetFSStateHandle(uint64_t sid, const DmHandle& fsHandle, DmHandle* out);
int dmiGetFSState(uint64_t sid, const DmHandle& stateFileHandle, fsmState* state);
// state->fsName names the file system on entry.
int dmiEntryGetFSState(uint64_t sid, fsmState* state);
int dmiEntryGetGlobalState(uint64_t sid, fsmState* state);
// Writes new global flags (bit 0 recall, bit 1 migration) under the lock.
int dmiSetGlobalState(uint32_t flags);

#endif
