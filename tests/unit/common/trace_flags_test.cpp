#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "common/trace.h"
#include "tests/unit/common/trace_fixture.h"

namespace {

std::set<std::string> enabledClasses() {
  std::set<std::string> on;
  for (const TrClass* c = ClassTable; c->keyword; ++c)
    if (*c->flag) on.insert(c->keyword);
  return on;
}

std::set<std::string> allClasses() {
  std::set<std::string> all;
  for (const TrClass* c = ClassTable; c->keyword; ++c) all.insert(c->keyword);
  return all;
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
  int rows = 0;
  while (ClassTable[rows].keyword) ++rows;
  EXPECT_EQ(rows, 192);
  EXPECT_STREQ(ClassTable[0].keyword, "ERROR");
  EXPECT_STREQ(ClassTable[rows - 1].keyword, "FMDB");
  std::set<std::string> comm;
  std::set<const unsigned char*> flags;
  for (int i = 0; i < rows; ++i) {
    const std::string kw = ClassTable[i].keyword;
    if (ClassTable[i].commMarker) comm.insert(kw);
    flags.insert(ClassTable[i].flag);
    if (kw == "WF30517") {
      EXPECT_EQ(ClassTable[i].flag, &TR_WARN_FAILED);
    }
    if (kw == "QUERYSTATS") {
      EXPECT_EQ(ClassTable[i].flag, &TR_BAQSTATS);
    }
    if (kw == "NAMEDPIPES") {
      EXPECT_EQ(ClassTable[i].flag, &TR_NPCOMM);
    }
  }
  EXPECT_EQ(comm, (std::set<std::string>{"COMM", "COMMDETAIL", "COMMFULL", "DELTA", "DELTASTAT"}));
  EXPECT_EQ(flags.size(), 192u) << "two rows share one flag byte";
}

using TraceFlags = TraceTest;

TEST_F(TraceFlags, ServiceEnablesAllButItsExclusionsDevelopAlsoDropsTheTimestamp) {
  ASSERT_EQ(trEnable("SERVICE", true), 0);
  std::set<std::string> expected = allClasses();
  for (const char* off : kServiceOff) expected.erase(off);
  EXPECT_EQ(enabledClasses(), expected);
  EXPECT_TRUE(trGetTraceState());
  EXPECT_TRUE(trIsCommTracingEnabled());  // COMM itself stays on

  trReset(false);
  ASSERT_EQ(trEnable("DEVELOP", true), 0);
  expected.erase("TIMESTAMP");
  EXPECT_EQ(enabledClasses(), expected);
  ASSERT_EQ(trEnable("-ALL", true), 0);
  EXPECT_EQ(enabledClasses(), (std::set<std::string>{"PREFIX"}));
}

TEST_F(TraceFlags, NegatedMemberInsideAggregateAndLowerCaseTokens) {
  ASSERT_EQ(trEnable("SMALL -SMLOG", true), 0);
  std::set<std::string> on = enabledClasses();
  EXPECT_EQ(on.count("SMLOG"), 0u);
  EXPECT_EQ(on.count("SM"), 1u);
  EXPECT_EQ(on.count("SMFSTABLEDETAIL"), 1u);
  EXPECT_EQ(on.count("SMSIGNALHANDLER"), 1u);
  EXPECT_EQ(on.size(), 27u + 2u);  // 28 members less SMLOG, plus PREFIX and TIMESTAMP

  trReset(false);
  // The option layer has already turned "sm,smlog" into "sm smlog".
  ASSERT_EQ(trEnable("sm smlog", true), 0);
  EXPECT_EQ(enabledClasses(), (std::set<std::string>{"SM", "SMLOG", "PREFIX", "TIMESTAMP"}));
}

TEST_F(TraceFlags, NestedAggregatesResolveThroughAllLevels) {
  ASSERT_EQ(trEnable("ALL_PROC", true), 0);
  EXPECT_EQ(enabledClasses(),
            (std::set<std::string>{"INCR", "TXN", "POLICY", "PFM", "PFM_DETAIL", "DIROPS",
                                   "FILEOPS", "FIOATTRIBS", "OFSFILENAME", "SESSION", "VERBINFO",
                                   "SESSVERB", "VERBADMIN", "VERBDETAIL", "C2C", "PREFIX",
                                   "TIMESTAMP"}));
  EXPECT_EQ(TR_OFS_FILE_NAME, 1);
  EXPECT_FALSE(trIsCommTracingEnabled());
}

TEST_F(TraceFlags, InvalidTokenStopsResolutionKeepsEarlierTokensAndReportsIt) {
  testing::internal::CaptureStdout();
  int rc = trEnable("SM BOGUS SMLOG", false);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(TR_SM, 1);
  EXPECT_EQ(TR_SMLOG, 0) << "a token after the invalid one was applied";
  EXPECT_EQ(out, "Invalid trace flag: BOGUS\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(trEnable("nothing", true), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "silent resolution printed";
}

TEST_F(TraceFlags, InvalidMemberFailsTheAggregateAndAggregatesShadowClasses) {
  const TrClass classes[] = {{"SM", &TR_SM, 0}, {"SMLOG", &TR_SMLOG, 0}, {"GENERAL", &TR_GENERAL, 0},
                             {nullptr, nullptr, 0}};
  const TrAggrClass aggregates[] = {{"SM", "GENERAL"}, {"BROKEN", "SMLOG NOSUCH SM"},
                                    {nullptr, nullptr}};
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

TEST_F(TraceFlags, ResetClearsEveryClassAndReArmsTheFirstEnable) {
  ASSERT_EQ(trEnable("ALL", true), 0);
  trReset(false);
  EXPECT_TRUE(enabledClasses().empty());
  ASSERT_EQ(trEnable("GENERAL", true), 0);
  EXPECT_EQ(TR_PREFIX, 1);
  EXPECT_EQ(TR_TIMESTAMP, 1);
  TR_TIMESTAMP = 0;
  ASSERT_EQ(trEnable("SM", true), 0);
  EXPECT_EQ(TR_TIMESTAMP, 0) << "only the first enable turns the time stamp on";
}
