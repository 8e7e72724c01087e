#include "zefserver/stubrecord.h"

#include <cstring>

#include "hsmfs/fsstate.h"
#include "hsmfs/hsmattr.h"

namespace zef {

static_assert(kStubRecordLen == kVOQObjLen);

void encodeStubRecord(const ObjId& id, const FileAttrs& a, uint8_t out[kStubRecordLen]) {
  dmiInfo info;
  std::memcpy(info.extObjId.bytes, id.data(), kObjIdLen);
  info.fileSize = a.size;
  info.fileValue2 = static_cast<uint64_t>(a.ctime) << 32 | a.mtime;
  info.objFlags = DMI_OBJ_UNCOMPRESSED;
  info.migState = DMI_STATE_MIGRATED;
  encodeVOQObj(info, out);
}

int createFsState(uint64_t sid, const std::string& mountPoint) { return dmiCreateFSState(sid, mountPoint); }

}  // namespace zef
