#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/memory.h"
#include "tests/unit/common/trace_fixture.h"

namespace {
uint32_t wordAt(const unsigned char* p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}
}  // namespace

using GuardedAllocator = TraceTest;

TEST_F(GuardedAllocator, BlockCarriesGuardsAndTotalSize) {
  auto* p = static_cast<unsigned char*>(kmrMALLOC(5));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(wordAt(p - 8), 0xABCDDCBAu);
  EXPECT_EQ(wordAt(p - 4), 17u);
  EXPECT_EQ(wordAt(p + 5), 0xABCDDCBAu) << "trailer must stand right behind the bytes";
  EXPECT_EQ(kmrCHKSNAKE(p), 0);
  kmrFREE(p);

  auto* z = static_cast<unsigned char*>(kmrCALLOC(3, 7));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 21; ++i) ASSERT_EQ(z[i], 0);
  EXPECT_EQ(wordAt(z - 4), 33u);
  EXPECT_EQ(wordAt(z + 21), 0xABCDDCBAu);
  kmrFREE(z);
}

TEST_F(GuardedAllocator, ByteWrittenPastTheBlockIsReportedAndTheBlockIsNotFreed) {
  std::string name = begin("mem.trc", "MEMORY");
  auto* p = static_cast<unsigned char*>(kmrMALLOC(10));
  ASSERT_NE(p, nullptr);
  unsigned char saved = p[10];
  p[10] ^= 0xFF;  // one byte too far
  kmrFREE(p);
  EXPECT_EQ(kmrCHKSNAKE(p), -1);
  std::string file = readFile(name);
  char addr[32];
  snprintf(addr, sizeof addr, "%p", static_cast<void*>(p));
  EXPECT_NE(file.find(std::string("Block trailer invalid, possible memory overwrite. Addr ") + addr),
            std::string::npos);
  EXPECT_EQ(file.find(std::string("KMREM(-) Addr ") + addr), std::string::npos);
  // Still allocated: repairing the guard makes it a sound block again (the
  // sanitizer build would report a use after free here otherwise).
  p[10] = saved;
  EXPECT_EQ(kmrCHKSNAKE(p), 0);
  kmrFREE(p);
  EXPECT_NE(readFile(name).find(std::string("KMREM(-) Addr ") + addr), std::string::npos);
}

TEST_F(GuardedAllocator, DamagedHeaderBlocksFreeAndRealloc) {
  std::string name = begin("head.trc", "MEMORY");
  auto* p = static_cast<unsigned char*>(kmrMALLOC(8));
  memcpy(p, "abcdefgh", 8);
  p[-8] ^= 0x01;
  EXPECT_EQ(kmrREALLOC(p, 100), nullptr);
  kmrFREE(p);
  EXPECT_EQ(countOf(readFile(name), "Block header invalid, possible memory overwrite."), 2u);
  p[-8] ^= 0x01;
  EXPECT_EQ(memcmp(p, "abcdefgh", 8), 0);
  auto* q = static_cast<unsigned char*>(kmrREALLOC(p, 100));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(memcmp(q, "abcdefgh", 8), 0);
  EXPECT_EQ(wordAt(q - 4), 112u);
  EXPECT_EQ(wordAt(q + 100), 0xABCDDCBAu);
  kmrFREE(q);
  kmrFREE(nullptr);
  EXPECT_NE(readFile(name).find("Attempt to free NULL pointer. File "), std::string::npos);
}

class MemoryPool : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    mpDestroyAll();
    trClearTestFlags();
  }
  void TearDown() override {
    mpDestroyAll();
    trClearTestFlags();
    TraceTest::TearDown();
  }
  static std::vector<uint32_t> chunks(mpHandle_t h) {
    uint32_t free[16];
    size_t n = mpChunkFree(h, free, 16);
    return std::vector<uint32_t>(free, free + (n < 16 ? n : 16));
  }
};

TEST_F(MemoryPool, SmallRequestsAreRoundedAndCarvedConsecutively) {
  mpHandle_t h = kmrpCREATE(1);
  ASSERT_EQ(h, 1);
  auto* a = static_cast<char*>(mpAlloc(h, 5));
  auto* b = static_cast<char*>(mpAlloc(h, 1));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(b, a + 8);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{2048 - 16 - 16}));
  EXPECT_EQ(mpAlloc(h, 0), nullptr);
  EXPECT_EQ(mpAlloc(h, -4), nullptr);
  EXPECT_EQ(mpAlloc(99, 8), nullptr);
}

TEST_F(MemoryPool, LargeRequestGetsItsOwnChunkAndSmallOnesStillUseTheOldChunk) {
  mpHandle_t h = kmrpCREATE(2);  // 2048 bytes
  auto* a = static_cast<char*>(mpAlloc(h, 8));
  auto* big = static_cast<char*>(mpAlloc(h, 4000));
  ASSERT_NE(big, nullptr);
  memset(big, 0x5A, 4000);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{2024, 0}));
  auto* c = static_cast<char*>(mpAlloc(h, 16));
  EXPECT_EQ(c, a + 8);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{2008, 0}));
}

TEST_F(MemoryPool, BestFitTakesTheFullestChunkWithRoomAndKeepsOrder) {
  mpHandle_t h = kmrpCREATE(1);
  auto* a = static_cast<char*>(mpAlloc(h, 2000));  // chunk A: 32 free
  auto* b = static_cast<char*>(mpAlloc(h, 100));   // doesn't fit A: chunk B
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{1928, 32}));
  auto* c = static_cast<char*>(mpAlloc(h, 24));
  EXPECT_EQ(c, a + 2000) << "must come from the fullest chunk that has room";
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{1928, 8}));
  auto* d = static_cast<char*>(mpAlloc(h, 1900));
  EXPECT_EQ(d, b + 104);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{24, 8}));
}

TEST_F(MemoryPool, StrDupAndHandleReuseAndTableGrowth) {
  mpHandle_t h = kmrpCREATE(4);
  char* s = mpStrDup(h, "fs/hl/ll");
  EXPECT_STREQ(s, "fs/hl/ll");
  char* e1 = mpStrDup(h, "");
  char* e2 = mpStrDup(h, "");
  EXPECT_EQ(e1, e2);
  EXPECT_STREQ(e1, "");
  EXPECT_EQ(mpTableSize(), 520u);

  mpHandle_t h2 = kmrpCREATE(4);
  EXPECT_EQ(h2, 2);
  kmrpDESTROY(h);
  EXPECT_EQ(mpAlloc(h, 8), nullptr);
  EXPECT_EQ(kmrpCREATE(4), h) << "a released entry is reused first";
  kmrpDESTROY(12345);  // bad handle: reported, nothing else happens

  ASSERT_EQ(trProcTestFlags("MEMPOOLSIZE:3"), 0);
  for (int i = 0; i < 518; ++i) ASSERT_GT(kmrpCREATE(1), 0);
  EXPECT_EQ(mpTableSize(), 520u);
  EXPECT_EQ(kmrpCREATE(1), 521);
  EXPECT_EQ(mpTableSize(), 523u);
}
