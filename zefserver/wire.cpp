#include "zefserver/wire.h"

#include <cstring>
#include <stdexcept>

namespace zef {

std::optional<VerbHeader> parseShortHeader(const uint8_t (&first4)[4]) {
  if (first4[3] != kVerbMagic) return std::nullopt;
  VerbHeader h;
  h.code = first4[2];
  if (h.code == kVerbExtendedCode) {
    h.headerLen = kVerbExtendedHeaderLen;
    return h;  // length and code follow in the next 8 bytes
  }
  h.length = getU16(first4);
  h.headerLen = kVerbShortHeaderLen;
  if (h.length < kVerbShortHeaderLen) return std::nullopt;
  return h;
}

bool completeExtendedHeader(VerbHeader& h, const uint8_t (&extra)[8]) {
  h.code = getU32(extra);
  h.length = getU32(extra + 4);
  return h.length >= kVerbExtendedHeaderLen;
}

bool VerbView::has(size_t offset, size_t len) const {
  size_t start = shift(offset);
  return start <= bytes_.size() && len <= bytes_.size() - start;
}

std::optional<std::span<const uint8_t>> VerbView::field(size_t descOffset, size_t dataStart) const {
  if (!has(descOffset, 4)) return std::nullopt;
  size_t off = u16(descOffset);
  size_t len = u16(descOffset + 2);
  size_t start = dataStart + off;
  if (!has(start, len)) return std::nullopt;
  return bytes_.subspan(shift(start), len);
}

VerbBuilder::VerbBuilder(uint8_t code, size_t fixedLen) : fixedLen_(fixedLen), buf_(fixedLen, 0) {
  buf_[2] = code;
  buf_[3] = kVerbMagic;
}

void VerbBuilder::bytes(size_t offset, std::span<const uint8_t> b) {
  if (offset + b.size() > buf_.size()) throw std::out_of_range("VerbBuilder::bytes");
  if (!b.empty()) std::memcpy(&buf_[offset], b.data(), b.size());
}

void VerbBuilder::addField(size_t descOffset, std::span<const uint8_t> data) {
  size_t off = buf_.size() - fixedLen_;
  if (off > 0xFFFF || data.size() > 0xFFFF) throw std::length_error("VerbBuilder field too long");
  u16(descOffset, static_cast<uint16_t>(off));
  u16(descOffset + 2, static_cast<uint16_t>(data.size()));
  buf_.insert(buf_.end(), data.begin(), data.end());
}

const std::vector<uint8_t>& VerbBuilder::finish() {
  if (buf_.size() > kMaxVerbLen) throw std::length_error("verb longer than a session accepts");
  putU16(buf_.data(), static_cast<uint16_t>(buf_.size()));
  return buf_;
}

std::string toHex(std::span<const uint8_t> b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(b.size() * 2);
  for (uint8_t c : b) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

}  // namespace zef
