// The HSM layer's records as zefadm writes them: the stub record goes through
// the HSM layer's own "VOQObj" encoder (encodeVOQObj), the state file through
// its state-file code, so that zefadm and the command write the same bytes.
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
