#include "zefserver/stubrecord.h"

#include <cstring>

#include "hsmfs/hsmattr.h"

namespace zef {

static_assert(kStubRecordLen == kVOQObjLen);

void encodeStubRecord(const ObjId& id, const FileAttrs& a, uint8_t out[kStubRecordLen]) {
  midExtObjId_t objId;
  std::memcpy(objId.bytes, id.data(), kObjIdLen);
  encodeVOQObj(dmiStubInfo(objId, a.size, a.mtime, a.ctime, false), out);
}

}  // namespace zef
