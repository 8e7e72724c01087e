// The client's encoders and decoders of the object data verbs (DataPut,
// DataChunk, DataPutEnd, DataFlush, DataGet, DataInfo and the server's DataResp; the
// layouts are in docs/protocol.md, "Object data").
//
// Contract
// - Pure functions without traces, sessions or options; any thread.
// - Builders write one short-form verb (the extended chunk: one extended-form verb) into a caller's buffer and return its
//   length, or 0 when it does not fit `cap` (or a chunk would exceed
//   kDataChunkMax bytes).
// - Decoders read one complete verb whose header has been checked
//   (server/wire/verb.h) and return 0, or 136 when the verb is shorter than
//   its fixed part or a field lies outside it. They never read beyond `len`.
#ifndef KMR_SERVER_DATACODEC_H
#define KMR_SERVER_DATACODEC_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/objectid.h"

enum DataVerbCode : uint8_t {
  kVerbDataPut = 0xC0,
  kVerbDataChunk = 0xC1,
  kVerbDataPutEnd = 0xC2,
  kVerbDataResp = 0xC3,
  kVerbDataGet = 0xC4,
  kVerbDataInfo = 0xC5,
  kVerbDataFlush = 0xC6,
};

// DataPut byte 24: the client sends DataFlush (or another verb that is not
// a store's) before it waits for this store's answer, so the server need not
// settle its batch merely because no input is waiting.
constexpr uint8_t kDataPutFlushFollows = 0x01;

constexpr size_t kDataPutFixed = 28;
constexpr size_t kDataChunkFixed = 12;
constexpr size_t kDataChunkMax = 32768 - kDataChunkFixed;  // 32756 bytes of data
// A DataChunk in the extended form (12-byte header, 32-bit length) carries up
// to 1 MiB of data; only the client sends it, only inside a store.
constexpr size_t kDataChunkExtFixed = 20;
constexpr size_t kDataChunkExtMax = 1 << 20;
constexpr size_t kDataPutEndLen = 36;
constexpr size_t kDataRespLen = 73;
constexpr size_t kDataGetFixed = 24;
// DataGet's flags: 4 bytes after the object id (the verb is then 56 bytes
// long). Both are requests a server may decline (one that predates them
// reads only the id), so a client that sets them takes either answer.
// 0x01: send the range in extended-form chunks of up to 1 MiB.
// 0x02: the client checks a whole-object read against the DataResp's
//       SHA-256 itself, so the server need not hash what it sends.
constexpr uint32_t kDataGetLargeChunks = 0x01;
constexpr uint32_t kDataGetClientChecks = 0x02;
constexpr size_t kDataGetFlagsLen = 4;
constexpr size_t kDataInfoFixed = 8;
constexpr size_t kSha256Len = 32;

// Size and SHA-256 of an object's data as the server holds them.
struct ObjectDataInfo {
  uint64_t size = 0;
  uint8_t sha256[kSha256Len] = {};
};

// `attribBlock` is the network form of the attributes (attribcodec.h).
size_t buildDataPut(uint8_t* buf, size_t cap, uint32_t fsId, uint64_t size, const std::string& path,
                    const uint8_t* attribBlock, size_t attribLen, uint8_t flags = 0);
size_t buildDataFlush(uint8_t* buf, size_t cap);
// The chunk's header only: the caller has put `len` bytes of data at
// buf + kDataChunkFixed already (so file data is read straight into the verb).
size_t buildDataChunkInPlace(uint8_t* buf, size_t cap, uint64_t offset, size_t len);
// The same in the extended form: the data at buf + kDataChunkExtFixed, at
// most kDataChunkExtMax bytes.
size_t buildDataChunkExtInPlace(uint8_t* buf, size_t cap, uint64_t offset, size_t len);
size_t buildDataPutEnd(uint8_t* buf, size_t cap, const uint8_t (&sha256)[kSha256Len]);
// Without flags the verb has no flags field (52 bytes), as before they existed.
size_t buildDataGet(uint8_t* buf, size_t cap, const midExtObjId_t& id, uint64_t offset, uint64_t length,
                    uint32_t flags = 0);
size_t buildDataInfo(uint8_t* buf, size_t cap, const midExtObjId_t& id);

// Takes a DataChunk in the short form or, as a server sends it when asked
// for large chunks, in the extended form (sessRecvVerb hands on in the short
// form any extended verb whose length fits one).
struct DataChunkView {
  uint64_t offset = 0;
  const uint8_t* data = nullptr;  // points into the verb
  size_t length = 0;
};
int decodeDataChunk(const uint8_t* verb, size_t len, DataChunkView* out);

struct DataRespAnswer {
  uint8_t result = 0;  // 0, or a reason of common/rc.h
  midExtObjId_t objId{};
  ObjectDataInfo info;
};
int decodeDataResp(const uint8_t* verb, size_t len, DataRespAnswer* out);

#endif
