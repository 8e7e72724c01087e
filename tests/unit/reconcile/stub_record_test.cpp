// The "VOQObj" bytes a recreated stub carries come from the record's id,
// size, times and compression flag and from nothing else in it.
#include <gtest/gtest.h>

#include <cstring>

#include "reconcile/migundelete.h"
#include "server/attrib.h"
#include "tests/support/voqobj_sample.h"

namespace {

TEST(VOQObjRecord, IsTheSampleForTheSampleObjectWhateverElseTheRecordHolds) {
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
  EXPECT_EQ(kmrtest::sampleVOQObj(), std::string(reinterpret_cast<char*>(rec), sizeof rec));

  a.flags = 0x20;  // compressed: only the data form byte differs
  buildVOQObjRecord(id, a, rec);
  std::string compressed = kmrtest::sampleVOQObj();
  compressed[57] = 0x01;
  EXPECT_EQ(compressed, std::string(reinterpret_cast<char*>(rec), sizeof rec));
}

}  // namespace
