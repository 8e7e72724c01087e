// The "VOQObj" record a recreated stub carries and the one zefadm writes on a
// migrated file: the same bytes for the same object, from the record's id,
// size, times and compression flag and from nothing else in it.
#include <gtest/gtest.h>

#include <cstring>

#include "reconcile/migundelete.h"
#include "server/attrib.h"
#include "tests/support/voqobj_sample.h"
#include "zefserver/stubrecord.h"

namespace {

std::string asText(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(VOQObjRecord, CommandAndZefadmWriteTheSampleForTheSampleObjectWhateverElseTheyHold) {
  midExtObjId_t id{};
  for (size_t i = 0; i < kExtObjIdLen; ++i) id.bytes[i] = static_cast<uint8_t>(kmrtest::kSampleIdFirstByte + i);
  Attrib a{};
  memset(&a, 0xEE, sizeof a);  // every byte the record must not copy is poisoned
  a.size = kmrtest::kSampleSize;
  a.atime = 0x11111111;
  a.mtime = kmrtest::kSampleMtime;
  a.ctime = kmrtest::kSampleCtime;
  a.flags = 0x80;  // encrypted but not compressed
  unsigned char rec[kVOQObjLen];
  memset(rec, 0x55, sizeof rec);
  buildVOQObjRecord(id, a, rec);
  EXPECT_EQ(kmrtest::sampleVOQObj(), asText(rec, sizeof rec));

  // zefadm's, from its own attributes of the same object.
  zef::FileAttrs z;
  z.size = kmrtest::kSampleSize;
  z.mtime = kmrtest::kSampleMtime;
  z.ctime = kmrtest::kSampleCtime;
  z.atime = 1500000000;
  z.uid = 77;
  zef::ObjId zid;
  std::memcpy(zid.data(), id.bytes, zid.size());
  memset(rec, 0xEE, sizeof rec);
  zef::encodeStubRecord(zid, z, rec);
  EXPECT_EQ(kmrtest::sampleVOQObj(), asText(rec, sizeof rec));

  a.flags = 0x20;  // compressed: only the data form byte differs
  buildVOQObjRecord(id, a, rec);
  std::string compressed = kmrtest::sampleVOQObj();
  compressed[57] = 0x01;
  EXPECT_EQ(compressed, asText(rec, sizeof rec));
}

}  // namespace
