// The stub record as zefadm writes it: the object id of zefserver's scheme
// and the administrator's file attributes go through the very function the
// command uses (dmiStubInfo and encodeVOQObj, hsmfs/hsmattr.h), so that
// zefadm and the command write the same bytes. The file system's state file
// zefadm creates with the HSM layer's dmiCreateFSState directly.
//
// Contract: pure encoding; any thread.
#ifndef KMR_ZEFSERVER_STUBRECORD_H
#define KMR_ZEFSERVER_STUBRECORD_H

#include <cstddef>
#include <cstdint>

#include "zefserver/objects.h"

namespace zef {

constexpr size_t kStubRecordLen = 124;  // "VOQObj"

// "VOQObj" as the command writes it for a recreated stub: the object id,
// the size, the 64 bits that follow the access time in the client's
// attribute record (modification time, then change time, machine order),
// the uncompressed flag and migration state 2; every other byte zero.
void encodeStubRecord(const ObjId& id, const FileAttrs& a, uint8_t out[kStubRecordLen]);

}  // namespace zef

#endif
