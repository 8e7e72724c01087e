// The trace classes (TRACEFLAGS) with their aggregates, and the test flags
// (TESTFLAGS) with their values.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>

#include "common/trace.h"
#include "tests/unit/common/trace_fixture.h"

namespace {

using Names = std::set<std::string>;

Names enabledClasses() {
  Names on;
  for (const TrClass* c = ClassTable; c->keyword; ++c)
    if (*c->flag) on.insert(c->keyword);
  return on;
}

const char* const kServiceOff[] = {
    "NLS", "COMMDETAIL", "COMMFULL", "DIRDETAIL", "MEMORY", "MEMDETAIL", "VERBDETAIL",
    "MAC_DETAIL", "INCLEXCL_DETAIL", "CLIENTTYPE", "PROXY_DETAIL", "EXTRC_DETAIL", "DEBUG",
    "PFM_DETAIL", "VSS_DETAIL", "XATTR_DETAIL", "WF30517", "BTREEDB", "EDITOR", "CACHEDB",
    "DBPERF", "EXCLUDECACHE", "SMSIGNALHANDLER"};

}  // namespace

// The class table is the public face of TRACEFLAGS: its order and its
// renamed rows must stay as documented.
TEST(TraceClassTable, HoldsAllClassesInOrderWithRenamedFlags) {
  const std::map<std::string, const unsigned char*> renamed = {
      {"WF30517", &TR_WARN_FAILED}, {"QUERYSTATS", &TR_BAQSTATS}, {"NAMEDPIPES", &TR_NPCOMM}};
  int rows = 0, renamedSeen = 0;
  Names comm;
  std::set<const unsigned char*> flags;
  for (; ClassTable[rows].keyword; ++rows) {
    const TrClass& row = ClassTable[rows];
    if (row.commMarker) comm.insert(row.keyword);
    flags.insert(row.flag);
    if (renamed.count(row.keyword)) {
      EXPECT_EQ(row.flag, renamed.at(row.keyword)) << row.keyword;
      ++renamedSeen;
    }
  }
  EXPECT_EQ(rows, 192);
  EXPECT_EQ(renamedSeen, 3);
  EXPECT_STREQ(ClassTable[0].keyword, "ERROR");
  EXPECT_STREQ(ClassTable[rows - 1].keyword, "FMDB");
  EXPECT_EQ(comm, (Names{"COMM", "COMMDETAIL", "COMMFULL", "DELTA", "DELTASTAT"}));
  EXPECT_EQ(flags.size(), 192u) << "two rows share one flag byte";
}

using TraceFlags = TraceTest;

TEST_F(TraceFlags, ServiceEnablesAllButItsExclusionsDevelopAlsoDropsTheTimestamp) {
  ASSERT_EQ(trEnable("SERVICE", true), 0);
  Names expected;
  for (const TrClass* c = ClassTable; c->keyword; ++c) expected.insert(c->keyword);
  for (const char* off : kServiceOff) expected.erase(off);
  EXPECT_EQ(enabledClasses(), expected);
  EXPECT_TRUE(trGetTraceState());
  EXPECT_TRUE(trIsCommTracingEnabled());  // COMM itself stays on

  trReset(false);
  ASSERT_EQ(trEnable("DEVELOP", true), 0);
  expected.erase("TIMESTAMP");
  EXPECT_EQ(enabledClasses(), expected);
  ASSERT_EQ(trEnable("-ALL", true), 0);
  EXPECT_EQ(enabledClasses(), (Names{"PREFIX"}));
}

TEST_F(TraceFlags, NegatedMemberInsideAggregateResetAndLowerCaseTokens) {
  ASSERT_EQ(trEnable("SMALL -SMLOG", true), 0);
  Names on = enabledClasses();
  EXPECT_EQ(on.count("SMLOG"), 0u);
  for (const char* member : {"SM", "SMFSTABLEDETAIL", "SMSIGNALHANDLER"}) EXPECT_EQ(on.count(member), 1u);
  EXPECT_EQ(on.size(), 27u + 2u);  // 28 members less SMLOG, plus PREFIX and TIMESTAMP

  // A reset clears every class and re-arms the first enable, which alone
  // turns the time stamp on. The option layer has already turned "sm,smlog"
  // into "sm smlog".
  ASSERT_EQ(trEnable("ALL", true), 0);
  trReset(false);
  EXPECT_TRUE(enabledClasses().empty());
  ASSERT_EQ(trEnable("sm smlog", true), 0);
  EXPECT_EQ(enabledClasses(), (Names{"SM", "SMLOG", "PREFIX", "TIMESTAMP"}));
  TR_TIMESTAMP = 0;
  ASSERT_EQ(trEnable("GENERAL", true), 0);
  EXPECT_EQ(TR_TIMESTAMP, 0) << "only the first enable turns the time stamp on";
}

TEST_F(TraceFlags, NestedAggregatesResolveThroughAllLevels) {
  ASSERT_EQ(trEnable("ALL_PROC", true), 0);
  EXPECT_EQ(enabledClasses(), (Names{"INCR", "TXN", "POLICY", "PFM", "PFM_DETAIL", "DIROPS", "FILEOPS",
                                     "FIOATTRIBS", "OFSFILENAME", "SESSION", "VERBINFO", "SESSVERB",
                                     "VERBADMIN", "VERBDETAIL", "C2C", "PREFIX", "TIMESTAMP"}));
  EXPECT_EQ(TR_OFS_FILE_NAME, 1);
  EXPECT_FALSE(trIsCommTracingEnabled());
}

TEST_F(TraceFlags, InvalidTokenStopsResolutionKeepsEarlierTokensAndReportsIt) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(trEnable("SM BOGUS SMLOG", false), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid trace flag: BOGUS\n");
  EXPECT_EQ(TR_SM, 1);
  EXPECT_EQ(TR_SMLOG, 0) << "a token after the invalid one was applied";

  testing::internal::CaptureStdout();
  EXPECT_EQ(trEnable("nothing", true), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "silent resolution printed";
}

TEST_F(TraceFlags, InvalidMemberFailsTheAggregateAndAggregatesShadowClasses) {
  const TrClass classes[] = {{"SM", &TR_SM, 0}, {"SMLOG", &TR_SMLOG, 0}, {"GENERAL", &TR_GENERAL, 0},
                             {nullptr, nullptr, 0}};
  const TrAggrClass aggregates[] = {{"SM", "GENERAL"}, {"BROKEN", "SMLOG NOSUCH SM"}, {nullptr, nullptr}};
  ASSERT_EQ(trEnable("SM", true, classes, aggregates), 0);
  EXPECT_EQ(TR_GENERAL, 1);
  EXPECT_EQ(TR_SM, 0) << "the aggregate named SM must win over the class";
  EXPECT_EQ(trEnable("BROKEN", true, classes, aggregates), -1);
  EXPECT_EQ(TR_SMLOG, 1);
}

TEST_F(TraceFlags, CommunicationMarkerFollowsEnabledClassesAndErrnoIsKept) {
  errno = EXDEV;
  ASSERT_EQ(trEnable("DELTASTAT", true), 0);
  EXPECT_TRUE(trIsCommTracingEnabled());
  EXPECT_EQ(errno, EXDEV);
  ASSERT_EQ(trEnable("-DELTASTAT GENERAL", true), 0);
  EXPECT_FALSE(trIsCommTracingEnabled());
  ASSERT_EQ(trEnable("bad", true), -1);
  EXPECT_EQ(errno, EXDEV);
}

class TestFlags : public ::testing::Test {
 protected:
  void SetUp() override { trClearTestFlags(); }
  void TearDown() override { trClearTestFlags(); }
};

TEST_F(TestFlags, TableHas323DistinctRowsIncludingTheOnesThisCommandReads) {
  const std::map<std::string, const TestFlag*> renamed = {{"CLCTIMESTAMP", &TEST_CLC_TIMESTAMP},
                                                          {"NOAES", &TEST_NO_AES}};
  Names names;
  std::set<const TestFlag*> records;
  for (const TestClass* t = TestClassTable; t->keyword; ++t) {
    names.insert(t->keyword);
    records.insert(t->flag);
    if (renamed.count(t->keyword)) {
      EXPECT_EQ(t->flag, renamed.at(t->keyword)) << t->keyword;
    }
  }
  EXPECT_EQ(names.size(), 323u);
  EXPECT_EQ(records.size(), 323u);
  for (const char* used : {"ANSIINPUT", "CLCTIMESTAMP", "DISABLESDRUPDATE", "ENABLESCRIPTINPUT", "NOAES",
                           "HSMCOMMQUEUESIZE", "MEMPOOLSIZE", "SHM_SERVER_CTL", "SKIPSYSTEMEXCLUDE",
                           "INSTRUMENT", "KILLATSTEP", "PAUSEATSTEP", "NOUNNAMEDFILES"})
    EXPECT_EQ(names.count(used), 1u) << used;
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
  // A second text replaces the first; a number in its place frees it.
  ASSERT_EQ(trProcTestFlags("HSMLF:\"bb\""), 0);
  EXPECT_STREQ(TEST_HSMLF.strValue, "bb");
  ASSERT_EQ(trProcTestFlags("HSMLF:5"), 0);
  EXPECT_EQ(TEST_HSMLF.strValue, nullptr);
  EXPECT_EQ(TEST_HSMLF.numValue, 5);
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
