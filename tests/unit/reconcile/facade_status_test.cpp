// The facade's life cycle and stop hand-over, and the run's status object.
#include "common/textexception.h"
#include "reconcile/facade.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {
using rectest::ModeTest;

TEST_F(ModeTest, FacadeHandsAStopOnlyToItsModeAndEachRunCountsItsOwnObjects) {
  ReconcileLogicFacade first(env, 0, fs, fs + "/facade.log");
  EXPECT_EQ(RC_NO_MODE, first.stopReconcile());
  add({.alias = "/a"});
  add({.alias = "/a"});
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, first.processRecoveryMigundeleteMode());
  ReconcileLogicFacade second(env, 0, fs, fs + "/facade.log");
  add({.alias = "/a"});
  EXPECT_EQ(0, second.processRecoveryMigundeleteMode());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(2u, first.status()->m_processedCount);
  EXPECT_EQ(fs, first.status()->m_fileSystem);
  EXPECT_EQ(1u, second.status()->m_processedCount);
  EXPECT_EQ(1u, second.status()->m_updatedCount);
  // A late stop still finds the finished mode and only sets its flag.
  EXPECT_EQ(0, first.stopReconcile());
  EXPECT_EQ(101, first.mode()->stopCode());
}

class ReconcileStatusTest : public ::testing::Test {
 protected:
  kmrtest::ScratchDir dir;
  const std::string log = dir.file("kmrreconcile.log");
};

TEST_F(ReconcileStatusTest, PoolDiscoveryFillsZeroCountersInOrder) {
  ReconcileStatusStoragePools st(log, [](const std::string& fs, std::vector<unsigned>& ids) {
    EXPECT_EQ("/orca/fs1", fs);
    ids = {7, 3, 65537};
  });
  EXPECT_TRUE(kmrtest::lexists(log));
  st.m_fileSystem = "/orca/fs1";
  st.increaseMigratedFiles(3);  // a stale count from before must be reset
  st.initStatusObjects();
  ASSERT_EQ(3u, st.pools().size());
  EXPECT_EQ(0u, st.getMigratedFiles(3));
  st.increasePremigedBlocks(40, 7);
  st.increaseMigratedFiles(65537);
  EXPECT_EQ(40u, st.getPremigedBlocks(7));
  EXPECT_EQ(1u, st.getMigratedFiles(65537));
  EXPECT_EQ(0u, st.m_migratedFiles) << "pool counters, not the totals";
}

TEST_F(ReconcileStatusTest, UnreadablePoolListIsReportedOnceAndTheRunGoesOn) {
  ReconcileStatusStoragePools st(log, [](const std::string&, std::vector<unsigned>&) {
    errno = ENOENT;
    throw cTextException("%s", "no pools");
  });
  st.m_fileSystem = "/hsm/data";
  testing::internal::CaptureStderr();
  st.initStatusObjects();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1u, kmrtest::countOf(err, "BQF9457W")) << err;
  EXPECT_TRUE(kmrtest::contains(err, "'/hsm/data'"));
  EXPECT_TRUE(st.pools().empty());
}

}  // namespace
