#include "server/wire/verb.h"

#include <cstring>

#include "server/wire/bytes.h"

const char* verbName(uint32_t code) {
  switch (code) {
    case kVerbBeginTxn: return "BeginTxn";
    case kVerbEndTxn: return "EndTxn";
    case kVerbSignOn: return "SignOn";
    case kVerbSignOnResp: return "SignOnResp";
    case kVerbMigrQryRespEnh: return "MigrQryRespEnh";
    case kVerbMigrUpd: return "MigrUpd";
    case kVerbMigrDel: return "MigrDel";
    case kVerbMigrQryAll: return "MigrQryAll";
    case kVerbMigrQryItem: return "MigrQryItem";
    case kVerbMigrQryResp: return "MigrQryResp";
    case kVerbFSAdd: return "FSAdd";
    case kVerbFSQry: return "FSQry";
    case kVerbFSQryResp: return "FSQryResp";
    case kVerbFSQryRespEnh: return "FSQryRespEnh";
    case kVerbChecksumCode: return "Checksum";
    default: return "Unknown";
  }
}

int verbParseHeader(const uint8_t* bytes, size_t avail, uint32_t maxLen, VerbHeader* out) {
  if (avail < kVerbShortHeaderLen || bytes[3] != kVerbMagic) return RC_PROTOCOL_ERROR;
  VerbHeader h;
  if (bytes[2] == kVerbExtendedCode) {
    if (avail < kVerbExtendedHeaderLen) return RC_PROTOCOL_ERROR;
    h.code = getU32(bytes + 4);
    h.length = getU32(bytes + 8);
    h.headerLen = kVerbExtendedHeaderLen;
  } else {
    h.code = bytes[2];
    h.length = getU16(bytes);
    h.headerLen = kVerbShortHeaderLen;
  }
  if (h.length < h.headerLen || h.length > maxLen) return RC_PROTOCOL_ERROR;
  *out = h;
  return 0;
}

int verbGetField(const uint8_t* verb, size_t verbLen, size_t dataStart, size_t descPos,
                 VerbField* out) {
  if (dataStart > verbLen || descPos + 4 > dataStart) return RC_PROTOCOL_ERROR;
  size_t offset = getU16(verb + descPos);
  size_t length = getU16(verb + descPos + 2);
  if (offset + length > verbLen - dataStart) return RC_PROTOCOL_ERROR;
  out->data = length ? verb + dataStart + offset : nullptr;
  out->length = length;
  return 0;
}

VerbWriter::VerbWriter(uint8_t* buf, size_t cap, size_t fixedLen)
    : buf_(buf), cap_(cap), fixed_(fixedLen), used_(fixedLen) {
  if (!buf_ || fixedLen > cap_ || fixedLen > 0xFFFF) {
    ok_ = false;
    return;
  }
  memset(buf_, 0, fixedLen);
}

bool VerbWriter::fits(size_t pos, size_t len) {
  if (!ok_ || pos > cap_ || len > cap_ - pos) ok_ = false;
  return ok_;
}

void VerbWriter::u8(size_t pos, uint8_t v) {
  if (fits(pos, 1)) buf_[pos] = v;
}
void VerbWriter::u16(size_t pos, uint16_t v) {
  if (fits(pos, 2)) putU16(buf_ + pos, v);
}
void VerbWriter::u32(size_t pos, uint32_t v) {
  if (fits(pos, 4)) putU32(buf_ + pos, v);
}
void VerbWriter::bytes(size_t pos, const void* src, size_t len) {
  if (len && fits(pos, len)) memcpy(buf_ + pos, src, len);
}

void VerbWriter::field(size_t descPos, const void* src, size_t len) {
  size_t offset = used_ - fixed_;
  if (len > 0xFFFF || offset > 0xFFFF || !fits(used_, len)) {
    ok_ = false;
    return;
  }
  if (len) memcpy(buf_ + used_, src, len);
  used_ += len;
  if (descPos != kNoDesc) {
    u16(descPos, static_cast<uint16_t>(offset));
    u16(descPos + 2, static_cast<uint16_t>(len));
  }
}

size_t VerbWriter::finish(uint8_t code, size_t totalLen) {
  size_t len = totalLen > used_ ? totalLen : used_;
  if (len > 0xFFFF || !fits(0, len)) return 0;
  if (len > used_) memset(buf_ + used_, 0, len - used_);
  putU16(buf_, static_cast<uint16_t>(len));
  buf_[2] = code;
  buf_[3] = kVerbMagic;
  return len;
}
