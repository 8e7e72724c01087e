// Migrated objects as the reference server keeps them: the 28-byte external
// object id scheme and the attribute block it stores and answers with.
//
// Contract
// - Pure functions on caller-owned values; any thread may call them.
// - An attribute block is kept exactly as it was last written (by zefadm or by
//   a client's MigrUpd); the server only patches the migration state bits and
//   the HSM part, at the documented positions, when it must.
#ifndef KMR_ZEFSERVER_OBJECTS_H
#define KMR_ZEFSERVER_OBJECTS_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/objectid.h"

namespace zef {

constexpr size_t kObjIdLen = 28;
using ObjId = std::array<uint8_t, kObjIdLen>;

// Id scheme: "ZEF" and a scheme version 1, the file space id (32 bit), the
// server object number (64 bit), then 12 zero bytes. The object number is
// the database key and is never reused, so an id names one object for ever.
ObjId makeObjId(uint32_t fsId, uint64_t objNum);
// Splits an id built by makeObjId; nullopt for an id this server never made.
struct ObjIdParts {
  uint32_t fsId;
  uint64_t objNum;
};
std::optional<ObjIdParts> parseObjId(std::span<const uint8_t> id);

// Migration states of a stored object.
constexpr unsigned kStateMigrated = 2;
constexpr unsigned kStateExpired = 3;
// Major format byte written for objects chosen by the bad-format fault.
constexpr uint8_t kUnknownAttrMajor = 99;

// The file attributes an administrator gives for an object.
struct FileAttrs {
  uint64_t size = 0;
  uint32_t mode = 0100644;
  uint32_t uid = 0, gid = 0;
  uint32_t atime = 0, mtime = 0, ctime = 0;
  uint32_t inode = 0;
  unsigned migState = kStateMigrated;
};

// A new 136-byte block, laid out by the client's own attribute codec
// (server/wire/attribcodec.h) so that zefadm stores exactly what the command
// sends: a regular file with the given attributes and, with a handle, the
// handle form in the HSM part; without one the HSM part is zero (the id
// form is filled in when the object is answered).
std::vector<uint8_t> encodeAttrBlock(const FileAttrs& a, const DmHandle& handle = DmHandle());
// Reads the attributes back with the same codec; nullopt when the codec
// refuses the block (too short for its own fields, unknown format).
std::optional<FileAttrs> decodeAttrBlock(std::span<const uint8_t> block);
// True when the block has a sane header: at least 22 bytes and a
// system-dependent part that lies inside it. The server refuses to store
// anything else.
bool attrBlockWellFormed(std::span<const uint8_t> block);
// Sets bits 3 and 4 of byte 18; other bits unchanged. Block must be well formed.
void setMigState(std::vector<uint8_t>& block, unsigned state);
// The block as it goes into a query answer. Plain answers carry the object id
// in the HSM part (the client takes the id from there); enhanced answers keep a
// stored handle form and carry the id form otherwise. A block whose
// system-dependent part is too short for an HSM part is sent unchanged.
std::vector<uint8_t> answerBlock(std::span<const uint8_t> stored, const ObjId& id, bool enhanced);

}  // namespace zef

#endif
