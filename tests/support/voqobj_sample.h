// Test support: one migrated object and the "VOQObj" record its stub must
// carry, written out byte by byte. The command that recreates stubs and
// zefadm migrate both write this record for the object; each side's test
// compares with these bytes, so the two cannot drift apart.
#ifndef KMR_TESTS_SUPPORT_VOQOBJ_SAMPLE_H
#define KMR_TESTS_SUPPORT_VOQOBJ_SAMPLE_H

#include <cstdint>
#include <string>

namespace kmrtest {

// The object: id bytes 0x30 .. 0x4B, 1,000,000 bytes, modified at
// 1600000000, changed at 1600000100, stored uncompressed.
inline constexpr uint8_t kSampleIdFirstByte = 0x30;
inline constexpr uint64_t kSampleSize = 1000000;
inline constexpr uint32_t kSampleMtime = 1600000000;
inline constexpr uint32_t kSampleCtime = 1600000100;

inline std::string sampleVOQObj() {
  static const uint8_t bytes[124] = {
      // 0: object id
      0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D,
      0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B,
      // 28: size, little-endian
      0x40, 0x42, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00,
      // 36: modification time, then change time
      0x00, 0x10, 0x5E, 0x5F, 0x64, 0x10, 0x5E, 0x5F,
      // 44 .. 56: no data size
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      // 57: uncompressed
      0x02,
      // 58 .. 71
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      // 72: state migrated
      0x02, 0x00, 0x00, 0x00,
      // 76 .. 123
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace kmrtest

#endif
