// Byte-level helpers of the reference server: big-endian access (the server
// layer's server/wire/bytes.h), the verb header, descriptors, and a
// bounds-checked view of one received verb.
//
// Contract
// - Everything here is pure computation on caller-owned buffers; any thread
//   may call it.
// - Readers never touch a byte outside the span they were given: a field or
//   descriptor that would reach past the end is reported as failure (false /
//   std::nullopt), never read.
// - VerbBuilder owns its buffer; finish() writes the total length into the
//   header and returns the complete verb.
#ifndef KMR_ZEFSERVER_WIRE_H
#define KMR_ZEFSERVER_WIRE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server/wire/bytes.h"
#include "server/wire/verb.h"

namespace zef {

// Header sizes, magic byte, verb codes and EndTxn votes are the protocol's
// numbers, taken from the client's framing (server/wire/verb.h), and the
// abort reasons from the client's return codes (common/rc.h), so that the
// two sides cannot drift apart on a number; how a verb is read and written
// stays this server's own. Longest verb a session accepts: the server never offers
// large buffers.
constexpr size_t kMaxVerbLen = kVerbMaxLen;

// Big-endian access (getU16, getU32, putU16, putU32) is the server layer's
// own low-level helper, server/wire/bytes.h, shared as docs/layers.md allows;
// the verbs themselves are encoded and decoded here.
using ::getU16;
using ::getU32;
using ::putU16;
using ::putU32;

// What a verb header says: code, total length and header size.
struct VerbHeader {
  uint32_t code = 0;
  uint32_t length = 0;
  size_t headerLen = kVerbShortHeaderLen;
};

// Parses the first 4 bytes of a header. For the extended form (code byte 8)
// `extra` must hold the next 8 bytes; returns std::nullopt on a bad magic byte
// or a length shorter than its own header.
std::optional<VerbHeader> parseShortHeader(const uint8_t (&first4)[4]);
bool completeExtendedHeader(VerbHeader& h, const uint8_t (&extra)[8]);

// A received verb: its code and all of its bytes (header included), with
// checked access to fixed fields and descriptor-addressed data.
class VerbView {
 public:
  VerbView(uint32_t code, std::span<const uint8_t> bytes, size_t headerLen)
      : code_(code), bytes_(bytes), headerLen_(headerLen) {}
  uint32_t code() const { return code_; }
  size_t size() const { return bytes_.size(); }
  bool extended() const { return headerLen_ == kVerbExtendedHeaderLen; }
  // Offsets are those of the short form; the view shifts them for a verb that
  // came with an extended header.
  bool has(size_t offset, size_t len) const;
  uint8_t u8(size_t offset) const { return bytes_[shift(offset)]; }
  uint16_t u16(size_t offset) const { return getU16(&bytes_[shift(offset)]); }
  uint32_t u32(size_t offset) const { return getU32(&bytes_[shift(offset)]); }
  // The bytes described by the descriptor at `descOffset`, relative to the
  // data area starting at `dataStart`. nullopt when the descriptor itself or
  // what it describes lies outside the verb.
  std::optional<std::span<const uint8_t>> field(size_t descOffset, size_t dataStart) const;
  // The bytes from `offset` (short-form offset) to the end of the verb;
  // empty when the verb ends before it.
  std::span<const uint8_t> tail(size_t offset) const {
    return shift(offset) < bytes_.size() ? bytes_.subspan(shift(offset)) : std::span<const uint8_t>();
  }

 private:
  size_t shift(size_t offset) const { return offset + headerLen_ - kVerbShortHeaderLen; }
  uint32_t code_;
  std::span<const uint8_t> bytes_;
  size_t headerLen_;
};

// Builds one short-form verb: a fixed part of `fixedLen` bytes (zeroed) and a
// data area appended behind it.
class VerbBuilder {
 public:
  VerbBuilder(uint8_t code, size_t fixedLen);
  void u8(size_t offset, uint8_t v) { buf_.at(offset) = v; }
  void u16(size_t offset, uint16_t v) { putU16(&buf_.at(offset + 1) - 1, v); }
  void u32(size_t offset, uint32_t v) { putU32(&buf_.at(offset + 3) - 3, v); }
  void bytes(size_t offset, std::span<const uint8_t> b);
  // Appends `data` to the data area and writes its descriptor at `descOffset`.
  void addField(size_t descOffset, std::span<const uint8_t> data);
  // Appends `data` after everything so far, without a descriptor.
  void append(std::span<const uint8_t> data) { buf_.insert(buf_.end(), data.begin(), data.end()); }
  // Fills the length; the verb must fit the 16-bit length field.
  const std::vector<uint8_t>& finish();

 private:
  size_t fixedLen_;
  std::vector<uint8_t> buf_;
};

inline std::span<const uint8_t> asBytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
inline std::string asString(std::span<const uint8_t> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace zef

#endif
