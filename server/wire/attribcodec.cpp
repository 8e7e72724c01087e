#include "server/wire/attribcodec.h"

#include <cstring>

#include "common/trace.h"
#include "server/wire/bytes.h"
#include "server/wire/verb.h"

namespace {

// Offsets inside the system-dependent part.
constexpr size_t kSdMode = 0, kSdUid = 4, kSdGid = 8, kSdAtime = 12, kSdMtime = 16, kSdCtime = 20,
                 kSdInode = 24;
constexpr size_t kSdUsedLen = kAttribHsmOffset + kAttribHsmLen;  // 64: what a reader needs

// Flag bits of byte 18 that travel: 1, 2, 6 general, 3-4 migration state,
// 5 compressed, 7 encrypted. Bit 0 has no meaning on the wire.
constexpr uint8_t kFlagsOnWire = 0xFE;

void encodeHsmPart(const Attrib& in, uint8_t* p) {
  memset(p, 0, kAttribHsmLen);
  if (attribHasHandleForm(in)) {
    uint16_t len = in.hsm.handleForm.handleLength;
    if (len > kMaxHandleLen) len = kMaxHandleLen;
    putU16(p, in.hsm.handleForm.marker);
    putU16(p + 2, len);
    memcpy(p + 4, in.hsm.handleForm.handle, len);
  } else {
    memcpy(p, in.hsm.objId, kExtObjIdLen);
  }
}

int decodeHsmPart(const uint8_t* p, Attrib* out) {
  memset(&out->hsm, 0, sizeof out->hsm);
  uint16_t marker = getU16(p);
  if (marker == kAttribHandleMarker || marker == kAttribHandleMarkerAlt) {
    uint16_t len = getU16(p + 2);
    if (len > kMaxHandleLen) return RC_PROTOCOL_ERROR;
    out->hsm.handleForm.marker = marker;
    out->hsm.handleForm.handleLength = len;
    memcpy(out->hsm.handleForm.handle, p + 4, kMaxHandleLen);
  } else {
    memcpy(out->hsm.objId, p, kExtObjIdLen);
  }
  return 0;
}

void zeroSysDep(Attrib* out) {
  out->mode = out->uid = out->gid = 0;
  out->atime = out->mtime = out->ctime = out->inode = 0;
  memset(&out->hsm, 0, sizeof out->hsm);
}

// Our own platform form; a part too short to hold it leaves the attributes
// zeroed rather than half-filled.
int decodeSysDep(const uint8_t* p, size_t len, Attrib* out) {
  zeroSysDep(out);
  if (len < kSdUsedLen) return 0;
  out->mode = getU32(p + kSdMode);
  out->uid = getU32(p + kSdUid);
  out->gid = getU32(p + kSdGid);
  out->atime = getU32(p + kSdAtime);
  out->mtime = getU32(p + kSdMtime);
  out->ctime = getU32(p + kSdCtime);
  out->inode = getU32(p + kSdInode);
  return decodeHsmPart(p + kAttribHsmOffset, out);
}

int decodeOldForm(const uint8_t* b, size_t len, Attrib* out) {
  if (len < 10) return RC_PROTOCOL_ERROR;
  size_t sdLen = b[1];
  if (10 + sdLen > len) return RC_PROTOCOL_ERROR;
  out->osCode = b[2];
  out->fsCode = b[3];
  out->size = getU32(b + 4);
  out->objectType = getU16(b + 8);
  return decodeSysDep(b + 10, sdLen, out);
}

void decodeCommon(const uint8_t* b, Attrib* out) {
  out->osCode = b[5];
  out->fsCode = b[6];
  out->clientKind = b[7];
  out->size = (static_cast<uint64_t>(getU32(b + 8)) << 32) | getU32(b + 12);
  out->objectType = getU16(b + 16);
  out->flags = static_cast<uint8_t>((out->flags & ~0x3F) | (b[18] & 0x3F));
}

}  // namespace


size_t AttribToNet(const Attrib& in, uint8_t* out, size_t cap) {
  if (!out || cap < kAttribNetLen) return 0;
  memset(out, 0, kAttribNetLen);
  out[0] = kAttribMajor;
  out[1] = kAttribMinor;
  out[2] = kAttribHeaderLen;
  putU16(out + 3, kAttribSysDepLen);
  // The system-dependent part is always in our own form, so the block names
  // our platform whatever platform first stored the attributes.
  out[5] = kAttribOsLinux;
  out[6] = kAttribFsOrca;
  out[7] = 1;
  putU32(out + 8, static_cast<uint32_t>(in.size >> 32));
  putU32(out + 12, static_cast<uint32_t>(in.size));
  putU16(out + 16, in.objectType ? in.objectType : 1);
  out[18] = in.flags & kFlagsOnWire;
  out[19] = in.flags2 & 0x0F;
  out[21] = in.attribsOnly ? 0x80 : 0;
  uint8_t* sd = out + kAttribHeaderLen;
  putU32(sd + kSdMode, in.mode);
  putU32(sd + kSdUid, in.uid);
  putU32(sd + kSdGid, in.gid);
  putU32(sd + kSdAtime, in.atime);
  putU32(sd + kSdMtime, in.mtime);
  putU32(sd + kSdCtime, in.ctime);
  putU32(sd + kSdInode, in.inode);
  encodeHsmPart(in, sd + kAttribHsmOffset);
  return kAttribNetLen;
}

int NetToAttrib(const uint8_t* b, size_t len, Attrib* out, int readerClientType) {
  if (!b || len < 2) return RC_PROTOCOL_ERROR;
  uint8_t major = b[0], minor = b[1];
  if (major == 1 || major == 2) return decodeOldForm(b, len, out);
  if (len < kAttribHeaderLen) return RC_PROTOCOL_ERROR;
  uint8_t kind = b[7];
  bool kindOk = kind == 1 || (kind == 2 && readerClientType != 2);
  if (major < 5 || major > 8 || !kindOk) {
    TRACE(TR_VERBINFO, "NetToAttrib(): Unknown Attrib format, maj: %d, min: %d, client: %d", major,
          minor, kind);
    if (major > 8) {
      decodeCommon(b, out);
      out->objectType = 65535;
    }
    return RC_UNKNOWN_FORMAT;
  }
  decodeCommon(b, out);
  if (major > 6) {
    out->buildLevel = b[20];
    out->modLevel = b[21] & 0x7F;
    out->flags = static_cast<uint8_t>((out->flags & ~0x40) | (b[18] & 0x40));
  }
  if (minor > 8) {
    out->flags = static_cast<uint8_t>((out->flags & ~0x80) | (b[18] & 0x80));
    out->flags2 = b[19] & 0x0F;
    out->attribsOnly = b[21] >> 7;
  }
  size_t sdOff = b[2], sdLen = getU16(b + 3);
  if (sdOff > len || sdLen > len - sdOff) return RC_PROTOCOL_ERROR;
  if (kind == 2) {
    zeroSysDep(out);
    return 0;
  }
  return decodeSysDep(b + sdOff, sdLen, out);
}
