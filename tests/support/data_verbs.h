// Test support: the object data verbs written byte by byte from the tables
// of docs/protocol.md ("Object data"), independently of the client's and the
// server's encoders, for the tests of both sides.
#ifndef KMR_TESTS_SUPPORT_DATA_VERBS_H
#define KMR_TESTS_SUPPORT_DATA_VERBS_H

#include <cstdint>
#include <string>

#include "tests/support/verb_builder.h"

namespace kmrtest {

inline void put64(Bytes& b, size_t o, uint64_t v) {
  put32(b, o, static_cast<uint32_t>(v >> 32));
  put32(b, o + 4, static_cast<uint32_t>(v));
}
inline uint64_t be64(const Bytes& b, size_t o) { return static_cast<uint64_t>(be32(b, o)) << 32 | be32(b, o + 4); }

// `flags` is byte 24 (0x01: a DataFlush follows before the client waits).
inline Bytes dataPutVerb(uint32_t fsId, uint64_t size, const Bytes& path, const Bytes& attribBlock,
                         uint8_t flags = 0) {
  VerbBuilder v(0xC0, 28);
  put32(v.b, 4, fsId);
  put64(v.b, 8, size);
  v.b[24] = flags;
  v.field(16, path).field(20, attribBlock);
  return v.done();
}

inline Bytes dataChunkVerb(uint64_t offset, const Bytes& data) {
  VerbBuilder v(0xC1, 12);
  put64(v.b, 4, offset);
  v.b.insert(v.b.end(), data.begin(), data.end());
  return v.done();
}

// The extended form (code byte 8, real code and 32-bit length after it).
inline Bytes dataChunkExtVerb(uint64_t offset, const Bytes& data) {
  Bytes v(20);
  v[2] = 0x08;
  v[3] = 0xA5;
  put32(v, 4, 0xC1);
  put32(v, 8, static_cast<uint32_t>(20 + data.size()));
  put64(v, 12, offset);
  v.insert(v.end(), data.begin(), data.end());
  return v;
}

inline Bytes dataPutEndVerb(const Bytes& sha256) {
  VerbBuilder v(0xC2, 36);
  std::copy(sha256.begin(), sha256.end(), v.b.begin() + 4);
  return v.done();
}

inline Bytes dataFlushVerb() { return VerbBuilder(0xC6, 4).done(); }

// `flags` (0x01 large chunks, 0x02 the client checks) go after the id.
inline Bytes dataGetVerb(const Bytes& objId, uint64_t offset, uint64_t length, uint32_t flags = 0) {
  VerbBuilder v(0xC4, 24);
  put64(v.b, 4, offset);
  put64(v.b, 12, length);
  v.field(20, objId);
  if (flags) v.b.insert(v.b.end(), {uint8_t(flags >> 24), uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)});
  return v.done();
}

inline Bytes dataInfoVerb(const Bytes& objId) {
  VerbBuilder v(0xC5, 8);
  v.field(4, objId);
  return v.done();
}

inline Bytes dataRespVerb(uint8_t result, const Bytes& objId, uint64_t size, const Bytes& sha256) {
  VerbBuilder v(0xC3, 73);
  v.b[4] = result;
  std::copy(objId.begin(), objId.end(), v.b.begin() + 5);
  put64(v.b, 33, size);
  std::copy(sha256.begin(), sha256.end(), v.b.begin() + 41);
  return v.done();
}

// n bytes counting up from `first`, as sample ids, digests and data.
inline Bytes counting(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

}  // namespace kmrtest

#endif
