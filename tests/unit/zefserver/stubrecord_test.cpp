// The "VOQObj" record zefadm writes on a migrated file: the same bytes the
// command writes for the same object.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/voqobj_sample.h"
#include "zefserver/stubrecord.h"

namespace zef {
namespace {

TEST(StubRecord, IsByteForByteWhatTheCommandWritesForTheSameObject) {
  FileAttrs a;
  a.size = kmrtest::kSampleSize;
  a.mtime = kmrtest::kSampleMtime;
  a.ctime = kmrtest::kSampleCtime;
  a.atime = 1500000000;
  a.uid = 77;
  ObjId id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(kmrtest::kSampleIdFirstByte + i);
  uint8_t rec[kStubRecordLen];
  std::memset(rec, 0xEE, sizeof rec);
  encodeStubRecord(id, a, rec);
  EXPECT_EQ(kmrtest::sampleVOQObj(), std::string(reinterpret_cast<char*>(rec), sizeof rec));
}

}  // namespace
}  // namespace zef
