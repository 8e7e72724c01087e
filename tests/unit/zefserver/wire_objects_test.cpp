#include <gtest/gtest.h>

#include "zefserver/objects.h"
#include "zefserver/wire.h"

namespace zef {
namespace {

TEST(VerbHeader, ShortExtendedAndBadMagic) {
  uint8_t shortHdr[4] = {0x00, 0x06, 0x13, 0xA5};
  auto h = parseShortHeader(shortHdr);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->code, 0x13u);
  EXPECT_EQ(h->length, 6u);
  uint8_t bad[4] = {0x00, 0x06, 0x13, 0xA6};
  EXPECT_FALSE(parseShortHeader(bad));
  uint8_t tooShort[4] = {0x00, 0x03, 0x13, 0xA5};
  EXPECT_FALSE(parseShortHeader(tooShort));
  uint8_t ext[4] = {0xFF, 0xFF, 0x08, 0xA5};
  h = parseShortHeader(ext);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->headerLen, 12u);
  uint8_t rest[8] = {0, 0, 0, 0x36, 0, 0x01, 0, 0};
  ASSERT_TRUE(completeExtendedHeader(*h, rest));
  EXPECT_EQ(h->code, 0x36u);
  EXPECT_EQ(h->length, 0x10000u);
  // An extended verb whose length does not even cover its own 12-byte header.
  uint8_t shortRest[8] = {0, 0, 0, 0x36, 0, 0, 0, 11};
  h = parseShortHeader(ext);
  ASSERT_TRUE(h);
  EXPECT_FALSE(completeExtendedHeader(*h, shortRest));
  uint8_t exactRest[8] = {0, 0, 0, 0x36, 0, 0, 0, 12};
  EXPECT_TRUE(completeExtendedHeader(*h, exactRest));
}

TEST(VerbView, DescriptorsAreBoundsChecked) {
  // fixed part 8 bytes: descriptor at 4 -> offset 1, length 3 of data "xabc"
  std::vector<uint8_t> v = {0, 12, 0xB3, 0xA5, 0, 1, 0, 3, 'x', 'a', 'b', 'c'};
  VerbView view(0xB3, v, 4);
  auto f = view.field(4, 8);
  ASSERT_TRUE(f);
  EXPECT_EQ(asString(*f), "abc");
  v[7] = 4;  // one byte too long
  EXPECT_FALSE(VerbView(0xB3, v, 4).field(4, 8));
  EXPECT_FALSE(view.field(10, 8)) << "descriptor itself outside the verb";
  EXPECT_FALSE(view.has(12, 1));
  EXPECT_TRUE(view.has(11, 1));
}

// (Its length, magic and descriptors are read by zefserverd's tests with a
// client of their own.)
TEST(VerbBuilder, RefusesAVerbLongerThanASessionAccepts) {
  VerbBuilder big(0x36, 57);
  std::vector<uint8_t> blob(kMaxVerbLen, 0);
  big.addField(33, blob);
  EXPECT_THROW(big.finish(), std::length_error);
}

TEST(ObjId, SchemeRoundTripsAndRejectsForeignIds) {
  ObjId id = makeObjId(0x01020304, 0x1122334455667788ULL);
  EXPECT_EQ(hexUpper(id.data(), id.size()), "5A454601" "01020304" "1122334455667788" "000000000000000000000000");
  // (Grouped text, as handles are shown: the handle text tests.)
  EXPECT_EQ(hexUpper(id.data(), 0, 8), "");
  auto p = parseObjId(id);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->fsId, 0x01020304u);
  EXPECT_EQ(p->objNum, 0x1122334455667788ULL);
  ObjId foreign = id;
  foreign[0] = 'X';
  EXPECT_FALSE(parseObjId(foreign));
  foreign = id;
  foreign[27] = 1;
  EXPECT_FALSE(parseObjId(foreign));
  EXPECT_FALSE(parseObjId(std::span<const uint8_t>(id.data(), 27)));
}

// The block is the client's network form, whose bytes its own tests check;
// our fields, state and handle form are read back by the client in the comm
// and end-to-end tests, the answer forms in zefserverd's tests.
TEST(AttrBlock, SizeHighWordComesBackAndAStateChangeKeepsTheOtherFlags) {
  FileAttrs a;
  a.size = 0x100000002ULL;
  a.migState = kStateExpired;
  auto b = encodeAttrBlock(a);
  auto back = decodeAttrBlock(b);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size, 0x100000002ULL);
  b[18] |= 0xA0;  // compressed and encrypted bits survive a state change
  setMigState(b, kStateMigrated);
  EXPECT_EQ(b[18], 0xA0 | 0x10);
}

TEST(AttrBlock, WellFormednessAndTooShortAnswersUnchanged) {
  EXPECT_FALSE(attrBlockWellFormed(std::vector<uint8_t>(21, 0)));
  std::vector<uint8_t> hdr(22, 0);
  hdr[2] = 22;
  EXPECT_TRUE(attrBlockWellFormed(hdr)) << "empty system part";
  hdr[4] = 1;
  EXPECT_FALSE(attrBlockWellFormed(hdr)) << "system part beyond the block";
  EXPECT_EQ(answerBlock(hdr, makeObjId(5, 6), false), hdr) << "too short for an HSM part: unchanged";
}

}  // namespace
}  // namespace zef
