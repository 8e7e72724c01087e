#include "zefserver/objects.h"

#include <cstring>

#include "zefserver/wire.h"

namespace zef {

namespace {
constexpr uint8_t kIdPrefix[4] = {'Z', 'E', 'F', 1};
constexpr size_t kFlagByte = 18;
constexpr uint8_t kStateMask = 0x18;
}  // namespace

ObjId makeObjId(uint32_t fsId, uint64_t objNum) {
  ObjId id{};
  std::memcpy(id.data(), kIdPrefix, 4);
  putU32(&id[4], fsId);
  putU32(&id[8], static_cast<uint32_t>(objNum >> 32));
  putU32(&id[12], static_cast<uint32_t>(objNum));
  return id;
}

std::optional<ObjIdParts> parseObjId(std::span<const uint8_t> id) {
  if (id.size() != kObjIdLen || std::memcmp(id.data(), kIdPrefix, 4) != 0) return std::nullopt;
  for (size_t i = 16; i < kObjIdLen; ++i)
    if (id[i] != 0) return std::nullopt;
  ObjIdParts p;
  p.fsId = getU32(&id[4]);
  p.objNum = static_cast<uint64_t>(getU32(&id[8])) << 32 | getU32(&id[12]);
  return p;
}

std::vector<uint8_t> encodeAttrBlock(const FileAttrs& a) {
  std::vector<uint8_t> b(kAttrBlockLen, 0);
  b[0] = 8;
  b[1] = 9;
  b[2] = kAttrHeaderLen;
  putU16(&b[3], kAttrSysLen);
  b[5] = 7;   // Linux
  b[6] = 39;  // ORCA
  b[7] = 1;   // client kind
  putU32(&b[8], static_cast<uint32_t>(a.size >> 32));
  putU32(&b[12], static_cast<uint32_t>(a.size));
  putU16(&b[16], 1);  // regular file
  b[kFlagByte] = static_cast<uint8_t>((a.migState << 3) & kStateMask);
  uint8_t* s = &b[kAttrHeaderLen];
  putU32(s + 0, a.mode);
  putU32(s + 4, a.uid);
  putU32(s + 8, a.gid);
  putU32(s + 12, a.atime);
  putU32(s + 16, a.mtime);
  putU32(s + 20, a.ctime);
  putU32(s + 24, a.inode);
  return b;
}

bool attrBlockWellFormed(std::span<const uint8_t> block) {
  if (block.size() < kAttrHeaderLen) return false;
  size_t off = block[2], len = getU16(&block[3]);
  return off >= kAttrHeaderLen && off <= block.size() && len <= block.size() - off;
}

std::optional<FileAttrs> decodeAttrBlock(std::span<const uint8_t> block) {
  if (!attrBlockWellFormed(block) || getU16(&block[3]) < kSysHsmOffset) return std::nullopt;
  FileAttrs a;
  a.size = static_cast<uint64_t>(getU32(&block[8])) << 32 | getU32(&block[12]);
  a.migState = (block[kFlagByte] & kStateMask) >> 3;
  const uint8_t* s = &block[block[2]];
  a.mode = getU32(s + 0);
  a.uid = getU32(s + 4);
  a.gid = getU32(s + 8);
  a.atime = getU32(s + 12);
  a.mtime = getU32(s + 16);
  a.ctime = getU32(s + 20);
  a.inode = getU32(s + 24);
  return a;
}

void setMigState(std::vector<uint8_t>& block, unsigned state) {
  block.at(kFlagByte) = static_cast<uint8_t>((block[kFlagByte] & ~kStateMask) | ((state << 3) & kStateMask));
}

std::vector<uint8_t> answerBlock(std::span<const uint8_t> stored, const ObjId& id, bool enhanced) {
  std::vector<uint8_t> b(stored.begin(), stored.end());
  if (!attrBlockWellFormed(stored) || getU16(&stored[3]) < kSysHsmOffset + kHsmPartLen) return b;
  uint8_t* hsm = &b[b[2] + kSysHsmOffset];
  uint16_t marker = getU16(hsm);
  if (enhanced && (marker == kHandleMarker || marker == kHandleMarkerAlt)) return b;
  std::memset(hsm, 0, kHsmPartLen);
  std::memcpy(hsm, id.data(), kObjIdLen);
  return b;
}

}  // namespace zef
