#include <gtest/gtest.h>

#include "common/trace.h"

// The class table is the public face of TRACEFLAGS: its order and its
// renamed rows must stay as documented.
TEST(TraceClassTable, HoldsAllClassesInOrderWithRenamedFlags) {
  int rows = 0;
  while (ClassTable[rows].keyword) ++rows;
  EXPECT_EQ(rows, 192);
  EXPECT_STREQ(ClassTable[0].keyword, "ERROR");
  EXPECT_STREQ(ClassTable[rows - 1].keyword, "FMDB");
  for (int i = 0; i < rows; ++i) {
    const std::string kw = ClassTable[i].keyword;
    if (kw == "WF30517") {
      EXPECT_EQ(ClassTable[i].flag, &TR_WARN_FAILED);
    }
    if (kw == "COMMFULL") {
      EXPECT_NE(ClassTable[i].commMarker, 0u);
    }
    if (kw == "SESSION") {
      EXPECT_EQ(ClassTable[i].commMarker, 0u);
    }
  }
}
