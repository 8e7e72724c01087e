// The guarded allocator (guard words around each block, damage reported in
// the trace instead of freeing a damaged block) and the memory pools.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/memory.h"
#include "tests/unit/common/trace_fixture.h"

namespace {

uint32_t wordAt(const unsigned char* p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}

// The header (guard word, size with both guards) and the trailer of a block
// of `bytes` bytes.
void expectGuards(const unsigned char* p, size_t bytes, uint32_t total) {
  EXPECT_EQ(wordAt(p - 8), 0xABCDDCBAu);
  EXPECT_EQ(wordAt(p - 4), total);
  EXPECT_EQ(wordAt(p + bytes), 0xABCDDCBAu) << "trailer must stand right behind the bytes";
}

// How the trace shows the block at `p`.
std::string addrOf(const void* p) {
  char addr[32];
  snprintf(addr, sizeof addr, "%p", p);
  return addr;
}

}  // namespace

using GuardedAllocator = TraceTest;

TEST_F(GuardedAllocator, ZeroedBlockCarriesGuardsAndTotalSize) {
  auto* z = static_cast<unsigned char*>(kmrCALLOC(3, 7));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 21; ++i) ASSERT_EQ(z[i], 0);
  expectGuards(z, 21, 33);
  kmrFREE(z);
}

TEST_F(GuardedAllocator, DamagedGuardIsReportedAndTheBlockIsNeitherFreedNorMoved) {
  std::string name = begin("mem.trc", "MEMORY");
  auto* p = static_cast<unsigned char*>(kmrMALLOC(10));
  ASSERT_NE(p, nullptr);
  expectGuards(p, 10, 22);
  memcpy(p, "abcdefghij", 10);
  const unsigned char saved = p[10];
  p[10] ^= 0xFF;  // one byte too far
  kmrFREE(p);
  EXPECT_EQ(kmrCHKSNAKE(p), -1);
  // Reported by the free and by the check.
  const std::string trailer = "Block trailer invalid, possible memory overwrite. Addr " + addrOf(p);
  EXPECT_EQ(countOf(readFile(name), trailer), 2u);
  EXPECT_EQ(countOf(readFile(name), "KMREM(-) Addr " + addrOf(p)), 0u);
  // Still allocated: repairing the guard makes it a sound block again (the
  // sanitizer build would report a use after free here otherwise).
  p[10] = saved;
  EXPECT_EQ(kmrCHKSNAKE(p), 0);

  p[-8] ^= 0x01;
  EXPECT_EQ(kmrREALLOC(p, 100), nullptr);
  kmrFREE(p);
  EXPECT_EQ(countOf(readFile(name), "Block header invalid, possible memory overwrite."), 2u);
  p[-8] ^= 0x01;
  auto* q = static_cast<unsigned char*>(kmrREALLOC(p, 100));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(memcmp(q, "abcdefghij", 10), 0);
  expectGuards(q, 100, 112);
  kmrFREE(q);
  EXPECT_EQ(countOf(readFile(name), "KMREM(-) Addr " + addrOf(q)), 1u);
  kmrFREE(nullptr);
  EXPECT_EQ(countOf(readFile(name), "Attempt to free NULL pointer. File "), 1u);
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
  // The free bytes of the pool's chunks, in the pool's order.
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
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(mpAlloc(h, 1), a + 8);
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
  EXPECT_EQ(mpAlloc(h, 16), a + 8);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{2008, 0}));
}

TEST_F(MemoryPool, BestFitTakesTheFullestChunkWithRoomAndKeepsOrder) {
  mpHandle_t h = kmrpCREATE(1);
  auto* a = static_cast<char*>(mpAlloc(h, 2000));  // chunk A: 32 free
  auto* b = static_cast<char*>(mpAlloc(h, 100));   // doesn't fit A: chunk B
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{1928, 32}));
  EXPECT_EQ(mpAlloc(h, 24), a + 2000) << "must come from the fullest chunk that has room";
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{1928, 8}));
  EXPECT_EQ(mpAlloc(h, 1900), b + 104);
  EXPECT_EQ(chunks(h), (std::vector<uint32_t>{24, 8}));
}

TEST_F(MemoryPool, StrDupAndHandleReuseAndTableGrowth) {
  mpHandle_t h = kmrpCREATE(4);
  EXPECT_STREQ(mpStrDup(h, "fs/hl/ll"), "fs/hl/ll");
  char* empty = mpStrDup(h, "");
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(mpStrDup(h, ""), empty);
  EXPECT_EQ(mpTableSize(), 520u);

  EXPECT_EQ(kmrpCREATE(4), 2);
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
