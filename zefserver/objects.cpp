#include "zefserver/objects.h"

#include <cstring>
#include <utility>

#include "server/wire/attribcodec.h"
#include "zefserver/wire.h"

namespace zef {

namespace {
constexpr uint8_t kIdPrefix[4] = {'Z', 'E', 'F', 1};
constexpr size_t kFlagByte = 18;  // the flags byte of the block's header
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

namespace {

// The 32-bit attributes that the client's record and ours both carry.
constexpr std::pair<uint32_t Attrib::*, uint32_t FileAttrs::*> kSharedWords[] = {
    {&Attrib::mode, &FileAttrs::mode},   {&Attrib::uid, &FileAttrs::uid},
    {&Attrib::gid, &FileAttrs::gid},     {&Attrib::atime, &FileAttrs::atime},
    {&Attrib::mtime, &FileAttrs::mtime}, {&Attrib::ctime, &FileAttrs::ctime},
    {&Attrib::inode, &FileAttrs::inode}};

}  // namespace

// The record is packed; aligned whole, the words that kSharedWords reaches
// through member pointers (which do not know of the packing) are aligned too.
std::vector<uint8_t> encodeAttrBlock(const FileAttrs& a, const DmHandle& handle) {
  alignas(8) Attrib r{};
  r.size = a.size;
  r.objectType = 1;  // regular file
  for (const auto& [client, ours] : kSharedWords) r.*client = a.*ours;
  attribSetMigState(r, a.migState);
  if (!handle.empty()) attribSetHandle(r, handle);
  std::vector<uint8_t> b(kAttribNetLen);
  AttribToNet(r, b.data(), b.size());
  return b;
}

std::optional<FileAttrs> decodeAttrBlock(std::span<const uint8_t> block) {
  alignas(8) Attrib r{};
  if (NetToAttrib(block.data(), block.size(), &r) != 0) return std::nullopt;
  FileAttrs a;
  a.size = r.size;
  for (const auto& [client, ours] : kSharedWords) a.*ours = r.*client;
  a.migState = attribMigState(r);
  return a;
}

bool attrBlockWellFormed(std::span<const uint8_t> block) {
  if (block.size() < kAttribHeaderLen) return false;
  size_t off = block[2], len = getU16(&block[3]);
  return off >= kAttribHeaderLen && off <= block.size() && len <= block.size() - off;
}

void setMigState(std::vector<uint8_t>& block, unsigned state) {
  block.at(kFlagByte) = static_cast<uint8_t>((block[kFlagByte] & ~kMigStateMask) |
                                             ((state << kMigStateShift) & kMigStateMask));
}

std::vector<uint8_t> answerBlock(std::span<const uint8_t> stored, const ObjId& id, bool enhanced) {
  std::vector<uint8_t> b(stored.begin(), stored.end());
  if (!attrBlockWellFormed(stored) || getU16(&stored[3]) < kAttribHsmOffset + kAttribHsmLen) return b;
  uint8_t* hsm = &b[b[2] + kAttribHsmOffset];
  uint16_t marker = getU16(hsm);
  if (enhanced && (marker == kAttribHandleMarker || marker == kAttribHandleMarkerAlt)) return b;
  std::memset(hsm, 0, kAttribHsmLen);
  std::memcpy(hsm, id.data(), kObjIdLen);
  return b;
}

}  // namespace zef
