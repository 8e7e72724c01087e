// The object data verbs as the client writes and reads them, against bytes
// laid out from the protocol tables (tests/support/data_verbs.h).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "server/datacodec.h"
#include "server/wire/sha256.h"
#include "tests/support/data_verbs.h"

namespace {

using kmrtest::Bytes;

midExtObjId_t idOf(const Bytes& b) {
  midExtObjId_t id{};
  memcpy(id.bytes, b.data(), kExtObjIdLen);
  return id;
}

const Bytes kId = kmrtest::counting(28, 0x40);
const Bytes kSha = kmrtest::counting(32, 0x80);

struct EncodeCase {
  const char* name;
  std::function<size_t(uint8_t*, size_t)> build;
  Bytes expected;
};

TEST(DataCodec, EncodersLayTheVerbsOutAsTheTablesSay) {
  const Bytes path = kmrtest::str("/proj/a.dat");
  const Bytes block = kmrtest::counting(136, 1);
  const EncodeCase cases[] = {
      {"DataPut",
       [&](uint8_t* b, size_t cap) {
         return buildDataPut(b, cap, 7, 0x100000001ULL, "/proj/a.dat", block.data(), block.size());
       },
       kmrtest::dataPutVerb(7, 0x100000001ULL, path, block)},
      {"DataPutEnd",
       [&](uint8_t* b, size_t cap) {
         uint8_t sha[32];
         memcpy(sha, kSha.data(), 32);
         return buildDataPutEnd(b, cap, sha);
       },
       kmrtest::dataPutEndVerb(kSha)},
      {"DataGet",
       [&](uint8_t* b, size_t cap) { return buildDataGet(b, cap, idOf(kId), 0x200000003ULL, 65536); },
       kmrtest::dataGetVerb(kId, 0x200000003ULL, 65536)},
      {"DataGet with flags",
       [&](uint8_t* b, size_t cap) { return buildDataGet(b, cap, idOf(kId), 7, 9, kDataGetLargeChunks | kDataGetClientChecks); },
       kmrtest::dataGetVerb(kId, 7, 9, 0x03)},
      {"DataInfo", [&](uint8_t* b, size_t cap) { return buildDataInfo(b, cap, idOf(kId)); },
       kmrtest::dataInfoVerb(kId)},
      {"DataChunk",
       [&](uint8_t* b, size_t cap) {
         if (cap >= kDataChunkFixed + 3) memcpy(b + kDataChunkFixed, "xyz", 3);  // the data sits in the buffer
         return buildDataChunkInPlace(b, cap, 0x300000000ULL, 3);
       },
       kmrtest::dataChunkVerb(0x300000000ULL, kmrtest::str("xyz"))},
      {"DataChunk, extended form",
       [&](uint8_t* b, size_t cap) {
         if (cap >= kDataChunkExtFixed + 3) memcpy(b + kDataChunkExtFixed, "xyz", 3);
         return buildDataChunkExtInPlace(b, cap, 0x300000000ULL, 3);
       },
       kmrtest::dataChunkExtVerb(0x300000000ULL, kmrtest::str("xyz"))},
  };
  for (const auto& c : cases) {
    Bytes buf(kDataChunkFixed + kDataChunkMax, 0);
    size_t n = c.build(buf.data(), buf.size());
    buf.resize(n);
    EXPECT_EQ(buf, c.expected) << c.name;
    // One byte less room than the verb needs is refused, not cut short.
    Bytes small(c.expected.size() - 1, 0);
    EXPECT_EQ(c.build(small.data(), small.size()), 0u) << c.name;
  }
}

TEST(DataCodec, ChunksHoldAtMostOneFullVerbOfData) {
  Bytes buf(kDataChunkFixed + kDataChunkMax + 1, 0);
  EXPECT_EQ(buildDataChunkInPlace(buf.data(), buf.size(), 0, kDataChunkMax), 32768u);
  EXPECT_EQ(buildDataChunkInPlace(buf.data(), buf.size(), 0, kDataChunkMax + 1), 0u);
  Bytes big(kDataChunkExtFixed + kDataChunkExtMax + 1, 0);
  EXPECT_EQ(buildDataChunkExtInPlace(big.data(), big.size(), 0, kDataChunkExtMax), kDataChunkExtFixed + kDataChunkExtMax);
  EXPECT_EQ(buildDataChunkExtInPlace(big.data(), big.size(), 0, kDataChunkExtMax + 1), 0u);
}

TEST(DataCodec, DecodersReadTheServersVerbsAndRefuseOthers) {
  Bytes resp = kmrtest::dataRespVerb(39, kId, 0x0102030405060708ULL, kSha);
  DataRespAnswer a;
  ASSERT_EQ(decodeDataResp(resp.data(), resp.size(), &a), 0);
  EXPECT_EQ(a.result, 39);
  EXPECT_EQ(Bytes(a.objId.bytes, a.objId.bytes + 28), kId);
  EXPECT_EQ(a.info.size, 0x0102030405060708ULL);
  EXPECT_EQ(Bytes(a.info.sha256, a.info.sha256 + 32), kSha);

  Bytes chunk = kmrtest::dataChunkVerb(0x10, kmrtest::str("abc"));
  DataChunkView v;
  ASSERT_EQ(decodeDataChunk(chunk.data(), chunk.size(), &v), 0);
  EXPECT_EQ(v.offset, 0x10u);
  ASSERT_EQ(v.length, 3u);
  EXPECT_EQ(memcmp(v.data, "abc", 3), 0);

  Bytes ext = kmrtest::dataChunkExtVerb(0x100000, kmrtest::str("defg"));
  ASSERT_EQ(decodeDataChunk(ext.data(), ext.size(), &v), 0);
  EXPECT_EQ(v.offset, 0x100000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.data), v.length), "defg");

  struct Bad {
    const char* name;
    Bytes verb;
    bool resp;  // given to the DataResp decoder, else to the DataChunk decoder
  };
  Bytes shortResp(resp.begin(), resp.end() - 1);
  kmrtest::put16(shortResp, 0, static_cast<uint16_t>(shortResp.size()));
  Bytes shortChunk(chunk.begin(), chunk.begin() + 11);
  kmrtest::put16(shortChunk, 0, 11);
  const Bad bad[] = {
      {"DataResp one byte short", shortResp, true},
      {"a chunk where DataResp belongs", chunk, true},
      {"DataChunk shorter than its offset", shortChunk, false},
      {"DataResp where a chunk belongs", resp, false},
  };
  for (const auto& b : bad) {
    int rc = b.resp ? decodeDataResp(b.verb.data(), b.verb.size(), &a)
                    : decodeDataChunk(b.verb.data(), b.verb.size(), &v);
    EXPECT_EQ(rc, 136) << b.name;
  }
}

// The published SHA-256 vectors, fed in pieces that do not fall on the
// 64-byte blocks, so that a digest that drops or repeats a partial block
// between add() calls shows; a spent digest gives nothing more.
TEST(DataDigest, PiecesGiveTheStandardSha256AndASpentDigestNothing) {
  struct Case {
    std::string data;
    size_t piece;
    const char* hex;
  };
  const Case cases[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), 1000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(1000000, 'a'), 65537, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    Sha256Stream sha;
    ASSERT_TRUE(sha.ok());
    for (size_t at = 0; at < c.data.size(); at += c.piece)
      sha.add(c.data.data() + at, std::min(c.piece, c.data.size() - at));
    Sha256Digest d;
    ASSERT_TRUE(sha.final(&d));
    char hex[65];
    for (size_t i = 0; i < d.size(); ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    EXPECT_STREQ(hex, c.hex) << c.data.size() << " bytes in pieces of " << c.piece;
    EXPECT_FALSE(sha.final(&d));
  }
}

}  // namespace
