// The attribute codec: converts the client's in-memory attribute record
// (`Attrib`, host order) to and from the attribute block that MigrUpd carries
// and MigrQryResp returns. The block layout, including our system-dependent
// part, is written down in docs/protocol.md.
//
// Contract
// - Pure functions; any thread. They never read or write past the lengths
//   given.
// - NetToAttrib writes only the fields that the block carries; the caller
//   zeroes the record first and may have filled others (management class,
//   server object information) that it must keep.
#ifndef KMR_SERVER_WIRE_ATTRIBCODEC_H
#define KMR_SERVER_WIRE_ATTRIBCODEC_H

#include <cstddef>
#include <cstdint>

#include "common/rc.h"
#include "server/attrib.h"

constexpr size_t kAttribHeaderLen = 22;
constexpr size_t kAttribSysDepLen = 114;
constexpr size_t kAttribNetLen = kAttribHeaderLen + kAttribSysDepLen;  // 136
constexpr uint8_t kAttribMajor = 8;
constexpr uint8_t kAttribMinor = 9;
constexpr uint8_t kAttribOsLinux = 7;
constexpr uint8_t kAttribFsOrca = 39;
// The HSM part (object id form or handle form) within our system-dependent part.
constexpr size_t kAttribHsmOffset = 28;
constexpr size_t kAttribHsmLen = 36;

// Writes the network form of `in` (kAttribNetLen bytes) to `out`. Returns the
// number of bytes written, or 0 when `cap` is too small.
size_t AttribToNet(const Attrib& in, uint8_t* out, size_t cap);

// Decodes a block of `len` bytes into `out`. `readerClientType` is the
// reading client's own type (1 for this command). Returns 0; 122 for a format
// this codec does not know (a major above 8 still fills the common fields and
// sets the object type to 65535); 136 when the block is shorter than its own
// fields claim or a handle length exceeds 32.
int NetToAttrib(const uint8_t* block, size_t len, Attrib* out, int readerClientType = 1);

#endif
