// The bytes a recreated stub carries, and which aliases may become stubs.
#include <gtest/gtest.h>

#include "reconcile/migundelete.h"
#include "reconcile/stubfile.h"
#include "server/attrib.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {

TEST(VOQObjRecord, HoldsIdSizeTimesFormAndStateAndNothingElse) {
  midExtObjId_t id = rectest::idFromSeed(7);
  Attrib a{};
  memset(&a, 0xEE, sizeof a);  // every byte the record must not copy is poisoned
  a.size = 0x0102030405060708ULL;
  a.atime = 0x11111111;
  a.mtime = 0xA1A2A3A4;
  a.ctime = 0xB1B2B3B4;
  a.flags = 0x20;
  unsigned char rec[kVOQObjLength];
  memset(rec, 0x55, sizeof rec);
  buildVOQObjRecord(id, a, rec);

  EXPECT_EQ(0, memcmp(rec, id.bytes, 28));
  uint64_t size;
  memcpy(&size, rec + 28, 8);
  EXPECT_EQ(a.size, size);
  // The eight bytes behind the access time: modification and change time.
  uint32_t t1, t2;
  memcpy(&t1, rec + 36, 4);
  memcpy(&t2, rec + 40, 4);
  EXPECT_EQ(0xA1A2A3A4u, t1);
  EXPECT_EQ(0xB1B2B3B4u, t2);
  EXPECT_EQ(0, rec[56]);
  EXPECT_EQ(0x01, rec[57]) << "compressed data form";
  uint32_t state;
  memcpy(&state, rec + 72, 4);
  EXPECT_EQ(2u, state);
  for (size_t i = 0; i < kVOQObjLength; ++i) {
    bool field = i < 44 || i == 57 || (i >= 72 && i < 76);
    if (!field) {
      EXPECT_EQ(0, rec[i]) << "byte " << i;
    }
  }

  a.flags = 0x80;  // encrypted but not compressed
  buildVOQObjRecord(id, a, rec);
  EXPECT_EQ(0x02, rec[57]);
}

TEST(VOQexIDText, IsUpperCaseHexOfTheIdAndAZeroByte) {
  midExtObjId_t id{};
  for (size_t i = 0; i < kExtObjIdLen; ++i) id.bytes[i] = static_cast<uint8_t>(0xF0 + i % 16 + i);
  id.bytes[0] = 0xAB;
  id.bytes[27] = 0x0C;
  char text[kVOQexIDLength];
  memset(text, 'x', sizeof text);
  buildVOQexIDText(id, text);
  EXPECT_EQ('\0', text[56]);
  EXPECT_EQ(56u, strlen(text));
  EXPECT_EQ(std::string("AB"), std::string(text, 2));
  EXPECT_EQ(std::string("0C"), std::string(text + 54, 2));
  for (size_t i = 0; i < kExtObjIdLen; ++i) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02X", id.bytes[i]);
    EXPECT_EQ(std::string(pair), std::string(text + 2 * i, 2)) << "byte " << i;
  }
}

}  // namespace
