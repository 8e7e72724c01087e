// The HSM layer's records as zefadm writes them. Kept apart from migrate.cpp
// because the HSM attribute header and the DMAPI header both define the
// event numbers and cannot share one translation unit.
//
// Contract: pure encoding (encodeStubRecord) or a call into the HSM layer
// with the registered HsmAttrStore (createFsState, 0 or -1 with errno).
#ifndef KMR_ZEFSERVER_STUBRECORD_H
#define KMR_ZEFSERVER_STUBRECORD_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "zefserver/objects.h"

namespace zef {

constexpr size_t kStubRecordLen = 124;  // "VOQObj"

// "VOQObj" as the command writes it for a recreated stub: the object id,
// the size, the 64 bits that follow the access time in the client's
// attribute record (modification time, then change time, machine order),
// the uncompressed flag and migration state 2; every other byte zero.
void encodeStubRecord(const ObjId& id, const FileAttrs& a, uint8_t out[kStubRecordLen]);

// The file system's state file with recall and migration active, registered
// in the node's global state file.
int createFsState(uint64_t sid, const std::string& mountPoint);

}  // namespace zef

#endif
