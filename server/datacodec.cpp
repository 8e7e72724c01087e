#include "server/datacodec.h"

#include <cstring>

#include "server/wire/bytes.h"
#include "server/wire/verb.h"

namespace {

void put64(VerbWriter& w, size_t pos, uint64_t v) {
  w.u32(pos, static_cast<uint32_t>(v >> 32));
  w.u32(pos + 4, static_cast<uint32_t>(v));
}

uint64_t get64(const uint8_t* p) { return static_cast<uint64_t>(getU32(p)) << 32 | getU32(p + 4); }

// Code and length of a verb already framed; 0 when it is not `code` or
// shorter than `fixed`.
bool isVerb(const uint8_t* verb, size_t len, uint8_t code, size_t fixed) {
  return len >= fixed && verb[2] == code && getU16(verb) == len;
}

}  // namespace

size_t buildDataPut(uint8_t* buf, size_t cap, uint32_t fsId, uint64_t size, const std::string& path,
                    const uint8_t* attribBlock, size_t attribLen, uint8_t flags) {
  VerbWriter w(buf, cap, kDataPutFixed);
  w.u32(4, fsId);
  w.u8(24, flags);
  put64(w, 8, size);
  w.field(16, path.data(), path.size());
  w.field(20, attribBlock, attribLen);
  return w.finish(kVerbDataPut);
}

size_t buildDataChunkInPlace(uint8_t* buf, size_t cap, uint64_t offset, size_t len) {
  if (len > kDataChunkMax || kDataChunkFixed + len > cap) return 0;
  buf[0] = static_cast<uint8_t>((kDataChunkFixed + len) >> 8);
  buf[1] = static_cast<uint8_t>(kDataChunkFixed + len);
  buf[2] = kVerbDataChunk;
  buf[3] = kVerbMagic;
  putU32(buf + 4, static_cast<uint32_t>(offset >> 32));
  putU32(buf + 8, static_cast<uint32_t>(offset));
  return kDataChunkFixed + len;
}

size_t buildDataChunkExtInPlace(uint8_t* buf, size_t cap, uint64_t offset, size_t len) {
  if (len > kDataChunkExtMax || kDataChunkExtFixed + len > cap) return 0;
  buf[0] = buf[1] = 0;
  buf[2] = kVerbExtendedCode;
  buf[3] = kVerbMagic;
  putU32(buf + 4, kVerbDataChunk);
  putU32(buf + 8, static_cast<uint32_t>(kDataChunkExtFixed + len));
  putU32(buf + 12, static_cast<uint32_t>(offset >> 32));
  putU32(buf + 16, static_cast<uint32_t>(offset));
  return kDataChunkExtFixed + len;
}

size_t buildDataPutEnd(uint8_t* buf, size_t cap, const uint8_t (&sha256)[kSha256Len]) {
  VerbWriter w(buf, cap, kDataPutEndLen);
  w.bytes(4, sha256, kSha256Len);
  return w.finish(kVerbDataPutEnd);
}

size_t buildDataFlush(uint8_t* buf, size_t cap) {
  VerbWriter w(buf, cap, 4);
  return w.finish(kVerbDataFlush);
}

size_t buildDataGet(uint8_t* buf, size_t cap, const midExtObjId_t& id, uint64_t offset, uint64_t length,
                    uint32_t flags) {
  VerbWriter w(buf, cap, kDataGetFixed);
  put64(w, 4, offset);
  put64(w, 12, length);
  w.field(20, id.bytes, kExtObjIdLen);
  if (flags) {
    uint8_t f[kDataGetFlagsLen];
    putU32(f, flags);
    w.append(f, sizeof f);
  }
  return w.finish(kVerbDataGet);
}

size_t buildDataInfo(uint8_t* buf, size_t cap, const midExtObjId_t& id) {
  VerbWriter w(buf, cap, kDataInfoFixed);
  w.field(4, id.bytes, kExtObjIdLen);
  return w.finish(kVerbDataInfo);
}

int decodeDataChunk(const uint8_t* verb, size_t len, DataChunkView* out) {
  if (len >= kDataChunkExtFixed && verb[2] == kVerbExtendedCode && getU32(verb + 4) == kVerbDataChunk &&
      getU32(verb + 8) == len) {
    out->offset = get64(verb + 12);
    out->length = len - kDataChunkExtFixed;
    out->data = verb + kDataChunkExtFixed;
    return 0;
  }
  if (!isVerb(verb, len, kVerbDataChunk, kDataChunkFixed)) return RC_PROTOCOL_ERROR;
  out->offset = get64(verb + 4);
  out->length = len - kDataChunkFixed;
  out->data = verb + kDataChunkFixed;
  return 0;
}

int decodeDataResp(const uint8_t* verb, size_t len, DataRespAnswer* out) {
  if (!isVerb(verb, len, kVerbDataResp, kDataRespLen)) return RC_PROTOCOL_ERROR;
  out->result = verb[4];
  memcpy(out->objId.bytes, verb + 5, kExtObjIdLen);
  out->info.size = get64(verb + 33);
  memcpy(out->info.sha256, verb + 41, kSha256Len);
  return 0;
}
