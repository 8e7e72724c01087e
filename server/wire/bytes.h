// Big-endian access to wire bytes. Every multi-byte integer of the verb
// protocol is in network order; these helpers are the only place that knows
// it. They do no bounds checks: callers check lengths first (see verb.h).
#ifndef KMR_SERVER_WIRE_BYTES_H
#define KMR_SERVER_WIRE_BYTES_H

#include <cstddef>
#include <cstdint>

inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t getU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void putU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

#endif
