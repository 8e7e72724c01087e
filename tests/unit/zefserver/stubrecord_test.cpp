// The "VOQObj" record zefadm writes on a migrated file, byte by byte, and the
// import of malformed aliases that tests feed to the command.
#include <gtest/gtest.h>

#include <cstring>

#include "zefserver/adm.h"
#include "zefserver/stubrecord.h"

namespace zef {
namespace {

uint64_t machine64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
uint32_t machine32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

TEST(StubRecord, CarriesIdSizeTimesFlagAndStateAndNothingElse) {
  FileAttrs a;
  a.size = 0x123456789ULL;
  a.mtime = 1600000000;
  a.ctime = 1700000001;
  a.atime = 1500000000;
  a.uid = 77;
  const ObjId id = makeObjId(3, 0x0102030405ULL);
  uint8_t rec[kStubRecordLen];
  std::memset(rec, 0xEE, sizeof rec);
  encodeStubRecord(id, a, rec);

  EXPECT_EQ(0, std::memcmp(rec, id.data(), 28));
  EXPECT_EQ(0x123456789ULL, machine64(rec + 28));
  EXPECT_EQ(1600000000u, machine32(rec + 36)) << "modification time first";
  EXPECT_EQ(1700000001u, machine32(rec + 40)) << "then the change time";
  EXPECT_EQ(0, rec[56]);
  EXPECT_EQ(0x02, rec[57]) << "uncompressed";
  EXPECT_EQ(2u, machine32(rec + 72));
  for (size_t i = 44; i < kStubRecordLen; ++i) {
    if (i == 57 || (i >= 72 && i < 76)) continue;
    EXPECT_EQ(0, rec[i]) << "byte " << i;
  }
}

TEST(ImportLine, AliasKeyTakesNamesWithoutLeadingSlashButNotBothKeys) {
  std::string err;
  auto r = parseImportLine(R"({"alias":"rel/x","size":5})", 1, err);
  ASSERT_TRUE(r) << err;
  EXPECT_EQ("rel/x", r->path);
  r = parseImportLine(R"({"alias":"/","size":5})", 1, err);
  ASSERT_TRUE(r) << err;
  EXPECT_EQ("/", r->path);
  EXPECT_FALSE(parseImportLine(R"({"alias":"","size":5})", 1, err));
  EXPECT_FALSE(parseImportLine(R"({"alias":"a","path":"/b","size":5})", 1, err));
  EXPECT_FALSE(parseImportLine(R"({"path":"/b","alias":"a","size":5})", 1, err));
  EXPECT_FALSE(parseImportLine(R"({"path":"rel","size":5})", 1, err)) << "path still demands the slash";
}

}  // namespace
}  // namespace zef
