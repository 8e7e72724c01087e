// The values the HSM layer (which keeps them in file attributes) and the
// server layer (which carries them on the wire) must agree on: the storage
// server's external object id and a file's DMAPI handle, with their one text
// form. Kept here so that neither of those layers has to include the other.
//
// Contract
// - Plain values; every function is pure and safe from any thread.
// - A DmHandle holds at most kMaxHandleLen bytes inside itself (no heap);
//   the bytes past its length are always zero, so two handles compare by
//   their bytes and length alone.
#ifndef KMR_COMMON_OBJECTID_H
#define KMR_COMMON_OBJECTID_H

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>

// Bytes of an external object id as the server assigns it.
constexpr size_t kExtObjIdLen = 28;
// Bytes of the longest DMAPI handle of a file.
constexpr size_t kMaxHandleLen = 32;

struct midExtObjId_t {
  uint8_t bytes[kExtObjIdLen];
};

// Upper-case hex, two digits per byte. With groupBytes > 0 a "-" follows
// every groupBytes-th byte that another byte follows.
std::string hexUpper(const void* bytes, size_t length, size_t groupBytes = 0);

// The id as 56 upper-case hex digits: the text of "VOQexID", the name of a
// stub's temporary file and the id in trace lines.
std::string extObjIdHex(const midExtObjId_t& id);

// A DMAPI handle as a value: the bytes the library gave for a file or file
// system, at most 32 of them.
class DmHandle {
 public:
  DmHandle() = default;
  // Copies the first min(length, 32) bytes; a null `bytes` gives the empty
  // handle. Callers that must refuse longer handles check the length first.
  DmHandle(const void* bytes, size_t length);

  size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + length_; }
  uint8_t operator[](size_t i) const { return bytes_[i]; }

  // The same handle zero padded to 32 bytes, as records of fixed size keep it.
  DmHandle padded() const;

  // Two upper-case hex digits per byte with a "-" after every eighth byte
  // that another follows: the handle in messages and trace lines.
  std::string hex() const { return hexUpper(data(), length_, 8); }

  friend bool operator==(const DmHandle&, const DmHandle&) = default;
  friend auto operator<=>(const DmHandle&, const DmHandle&) = default;

 private:
  std::array<uint8_t, kMaxHandleLen> bytes_{};
  uint8_t length_ = 0;
};

#endif
