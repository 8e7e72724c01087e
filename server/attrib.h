// The client's attribute record of a file, as held in memory (host byte
// order). Its size, 168 bytes, is fixed: records copy it whole. The network
// form of the attributes is the attribute block of the wire protocol
// (docs/protocol.md); the codec converts between the two.
#ifndef KMR_SERVER_ATTRIB_H
#define KMR_SERVER_ATTRIB_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/objectid.h"

// The 16-bit marker at the start of the HSM part that selects the handle form.
constexpr uint16_t kAttribHandleMarker = 0x8E7D;
constexpr uint16_t kAttribHandleMarkerAlt = 0x7F6E;
#pragma pack(push, 1)
struct AttribHandleForm {
  uint16_t marker;              // kAttribHandleMarker
  uint16_t handleLength;        // 0..32
  uint8_t handle[kMaxHandleLen];
};
union AttribHsmPart {
  uint8_t objId[kExtObjIdLen];  // object id form
  AttribHandleForm handleForm;  // handle form
};

struct Attrib {
  uint64_t size;                // 0   file size
  uint32_t mode;                // 8   st_mode
  uint32_t uid;                 // 12
  uint32_t gid;                 // 16
  uint32_t atime;               // 20  seconds since the epoch
  uint32_t mtime;               // 24
  uint32_t ctime;               // 28
  uint32_t inode;               // 32
  uint16_t objectType;          // 36
  uint8_t flags;                // 38  bits 1,2,6 general; 3-4 migration state; 0x20 compressed; 0x80 encrypted
  uint8_t flags2;               // 39  bit 1 strong encryption, bit 2 file space name in high-level name
  uint8_t stateFlags;           // 40  bits 0 and 1 set for a server answer
  uint8_t osCode;               // 41  platform of the client that stored the attributes
  uint8_t fsCode;               // 42
  uint8_t clientKind;           // 43
  uint8_t buildLevel;           // 44
  uint8_t modLevel;             // 45  bits 0-6
  uint8_t attribsOnly;          // 46  0/1
  uint8_t reserved0;            // 47
  uint32_t mgmtClassId;         // 48
  char mgmtClassName[32];       // 52  NUL-terminated
  uint32_t srvObjInfo1;         // 84  server object information, unconverted
  uint16_t srvObjInfo2;         // 88
  uint8_t srvObjInfo3;          // 90
  uint8_t reserved1;            // 91
  AttribHsmPart hsm;            // 92  36 bytes
  uint8_t reserved2[40];        // 128
};
#pragma pack(pop)
static_assert(sizeof(Attrib) == 168, "Attrib must stay 168 bytes");
static_assert(sizeof(AttribHsmPart) == 36, "HSM part is 36 bytes");

// True when the record's HSM part holds the handle form (either marker).
inline bool attribHasHandleForm(const Attrib& a) {
  return a.hsm.handleForm.marker == kAttribHandleMarker || a.hsm.handleForm.marker == kAttribHandleMarkerAlt;
}
// The handle that the handle form carries; empty for the object id form.
inline DmHandle attribHandle(const Attrib& a) {
  if (!attribHasHandleForm(a)) return DmHandle();
  return DmHandle(a.hsm.handleForm.handle, a.hsm.handleForm.handleLength);
}
// Puts the handle form in the HSM part: kAttribHandleMarker, the length and
// the bytes, zero padded.
inline void attribSetHandle(Attrib& a, const DmHandle& h) {
  AttribHandleForm& form = a.hsm.handleForm;
  form.marker = kAttribHandleMarker;
  form.handleLength = static_cast<uint16_t>(h.size());
  memcpy(form.handle, h.padded().data(), kMaxHandleLen);
}

// Migration state, bits 3 and 4 of Attrib::flags.
constexpr uint8_t kMigStateShift = 3;
constexpr uint8_t kMigStateMask = 0x18;
inline unsigned attribMigState(const Attrib& a) { return (a.flags & kMigStateMask) >> kMigStateShift; }
inline void attribSetMigState(Attrib& a, unsigned state) {
  a.flags = static_cast<uint8_t>((a.flags & ~kMigStateMask) | ((state << kMigStateShift) & kMigStateMask));
}

#endif
