#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/trace.h"

class TestFlags : public ::testing::Test {
 protected:
  void SetUp() override { trClearTestFlags(); }
  void TearDown() override { trClearTestFlags(); }
};

TEST_F(TestFlags, TableHas322DistinctRowsIncludingTheOnesThisCommandReads) {
  std::set<std::string> names;
  std::set<const TestFlag*> records;
  for (const TestClass* t = TestClassTable; t->keyword; ++t) {
    names.insert(t->keyword);
    records.insert(t->flag);
  }
  EXPECT_EQ(names.size(), 322u);
  EXPECT_EQ(records.size(), 322u);
  for (const char* used : {"ANSIINPUT", "CLCTIMESTAMP", "DISABLESDRUPDATE", "ENABLESCRIPTINPUT",
                           "NOAES", "HSMCOMMQUEUESIZE", "MEMPOOLSIZE", "SHM_SERVER_CTL",
                           "SKIPSYSTEMEXCLUDE", "INSTRUMENT", "KILLATSTEP", "PAUSEATSTEP"})
    EXPECT_EQ(names.count(used), 1u) << used;
  for (const TestClass* t = TestClassTable; t->keyword; ++t) {
    if (!strcmp(t->keyword, "CLCTIMESTAMP")) {
      EXPECT_EQ(t->flag, &TEST_CLC_TIMESTAMP);
    }
    if (!strcmp(t->keyword, "NOAES")) {
      EXPECT_EQ(t->flag, &TEST_NO_AES);
    }
  }
}

TEST_F(TestFlags, NamesNumbersTextsAndInstrumentClasses) {
  ASSERT_EQ(trProcTestFlags("hsmcommqueuesize:64 ansiinput MEMPOOLSIZE:-3 "
                            "HSMLF:\"two words\" instrument:detail/DBOPS"),
            0);
  EXPECT_EQ(TEST_HSMCOMMQUEUESIZE.set, 1);
  EXPECT_EQ(TEST_HSMCOMMQUEUESIZE.numValue, 64);
  EXPECT_EQ(TEST_ANSIINPUT.set, 1);
  EXPECT_EQ(TEST_ANSIINPUT.numValue, 0);
  EXPECT_EQ(TEST_MEMPOOLSIZE.numValue, -3);
  ASSERT_NE(TEST_HSMLF.strValue, nullptr);
  EXPECT_STREQ(TEST_HSMLF.strValue, "two words");
  EXPECT_EQ(TEST_INSTRUMENT.numValue, kInstrDetail | kInstrDbOps);
  EXPECT_EQ(TEST_CRC.set, 0);
}

TEST_F(TestFlags, BadTokensFailAndEarlierTokensStay) {
  EXPECT_EQ(trProcTestFlags("CRC NOSUCHFLAG HSMLF"), -1);
  EXPECT_EQ(TEST_CRC.set, 1);
  EXPECT_EQ(TEST_HSMLF.set, 0);
  EXPECT_EQ(trProcTestFlags("HSMCOMMQUEUESIZE:12x"), -1);
  EXPECT_EQ(TEST_HSMCOMMQUEUESIZE.set, 0);
  EXPECT_EQ(trProcTestFlags("HSMCOMMQUEUESIZE:"), -1);
  EXPECT_EQ(trProcTestFlags("INSTRUMENT:API/FAST"), -1);
  EXPECT_EQ(trProcTestFlags("CRC:DETAIL"), -1) << "instrument classes belong to INSTRUMENT only";
}

TEST_F(TestFlags, AllSetsEveryRecordAndConsistentRcImpliesScheduleSwitches) {
  ASSERT_EQ(trProcTestFlags("ALL:7"), 0);
  for (const TestClass* t = TestClassTable; t->keyword; ++t) {
    if (t->flag == &TEST_SHOWALLCONSISTENTRC) continue;
    ASSERT_EQ(t->flag->set, 1) << t->keyword;
    ASSERT_EQ(t->flag->numValue, 7) << t->keyword;
  }
  EXPECT_EQ(TEST_SHOWALLCONSISTENTRC.set, 0);

  trClearTestFlags();
  ASSERT_EQ(trProcTestFlags("SHOWALLCONSISTENTRC DISABLECONSISTENTRC"), 0);
  EXPECT_EQ(TEST_IGNOREPRESCHEDULECMD.set, 1);
  EXPECT_EQ(TEST_IGNOREPOSTSCHEDULECMD.set, 1);
  EXPECT_EQ(TEST_SHOWALLCONSISTENTRC.set, 0);
}

TEST_F(TestFlags, ASecondTextReplacesTheFirstAndClearingFreesIt) {
  ASSERT_EQ(trProcTestFlags("HSMLF:\"a\""), 0);
  ASSERT_EQ(trProcTestFlags("HSMLF:\"bb\""), 0);
  EXPECT_STREQ(TEST_HSMLF.strValue, "bb");
  ASSERT_EQ(trProcTestFlags("HSMLF:5"), 0);
  EXPECT_EQ(TEST_HSMLF.strValue, nullptr);
  EXPECT_EQ(TEST_HSMLF.numValue, 5);
}
