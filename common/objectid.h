// The storage server's external object id and the longest DMAPI handle: the
// two sizes that the HSM layer (which keeps them in file attributes) and the
// server layer (which carries them on the wire) must agree on. Kept here so
// that neither of those layers has to include the other.
//
// Contract
// - Plain values, no functions; safe from any thread.
#ifndef KMR_COMMON_OBJECTID_H
#define KMR_COMMON_OBJECTID_H

#include <cstddef>
#include <cstdint>

// Bytes of an external object id as the server assigns it.
constexpr size_t kExtObjIdLen = 28;
// Bytes of the longest DMAPI handle of a file.
constexpr size_t kMaxHandleLen = 32;

struct midExtObjId_t {
  uint8_t bytes[kExtObjIdLen];
};

#endif
