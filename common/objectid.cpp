#include "common/objectid.h"

#include <algorithm>
#include <cstring>

std::string hexUpper(const void* bytes, size_t length, size_t groupBytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto* in = static_cast<const uint8_t*>(bytes);
  const size_t dashes = groupBytes && length ? (length - 1) / groupBytes : 0;
  // Sized once and filled in place: one allocation, no capacity check per digit.
  std::string out(2 * length + dashes, '-');
  char* next = out.data();
  for (size_t i = 0; i < length; ++i) {
    *next++ = kDigits[in[i] >> 4];
    *next++ = kDigits[in[i] & 0x0F];
    if (groupBytes && (i + 1) % groupBytes == 0 && i + 1 < length) ++next;  // keeps the '-'
  }
  return out;
}

std::string extObjIdHex(const midExtObjId_t& id) { return hexUpper(id.bytes, kExtObjIdLen); }

DmHandle::DmHandle(const void* bytes, size_t length) {
  if (!bytes) return;
  length_ = static_cast<uint8_t>(std::min(length, kMaxHandleLen));
  memcpy(bytes_.data(), bytes, length_);
}

DmHandle DmHandle::padded() const {
  DmHandle out = *this;
  out.length_ = kMaxHandleLen;
  return out;
}
