// The facade's life cycle and stop hand-over, and the run's status object.
#include "common/textexception.h"
#include "reconcile/facade.h"
#include "tests/support/scratch_dir.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {
using rectest::ModeTest;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST_F(ModeTest, FacadeRefusesAStopBeforeItsModeExistsAndPassesItOnAfter) {
  ReconcileLogicFacade facade(env, 0, fs, fs + "/facade.log");
  EXPECT_EQ(RC_NO_MODE, facade.stopReconcile());
  EXPECT_EQ(nullptr, facade.mode());
  ASSERT_NE(nullptr, facade.status());
  EXPECT_EQ(0u, facade.status()->m_processedCount);

  add({.alias = "/a"});
  CaptureStdout();
  EXPECT_EQ(0, facade.processRecoveryMigundeleteMode());
  GetCapturedStdout();
  EXPECT_EQ(1u, facade.status()->m_processedCount);
  EXPECT_EQ(fs, facade.status()->m_fileSystem);
  // A late stop still finds the finished mode and only sets its flag.
  EXPECT_EQ(0, facade.stopReconcile());
  EXPECT_EQ(101, facade.mode()->stopCode());
}

TEST_F(ModeTest, StatusOfEachRunCountsOnlyItsOwnFileSystem) {
  ReconcileLogicFacade first(env, 0, fs, fs + "/facade.log");
  add({.alias = "/a"});
  add({.alias = "/a"});
  CaptureStdout();
  first.processRecoveryMigundeleteMode();
  ReconcileLogicFacade second(env, 0, fs, fs + "/facade.log");
  add({.alias = "/a"});
  second.processRecoveryMigundeleteMode();
  GetCapturedStdout();
  EXPECT_EQ(2u, first.status()->m_processedCount);
  EXPECT_EQ(1u, second.status()->m_processedCount);
  EXPECT_EQ(1u, second.status()->m_updatedCount);
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
  EXPECT_TRUE(st.isLogOpen());
  EXPECT_EQ(0, access(log.c_str(), F_OK));
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
  CaptureStderr();
  st.initStatusObjects();
  std::string err = GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("BQF9457W"));
  EXPECT_NE(std::string::npos, err.find("'/hsm/data'"));
  EXPECT_EQ(err.find("BQF9457W"), err.rfind("BQF9457W"));
  EXPECT_TRUE(st.pools().empty());
}

TEST_F(ReconcileStatusTest, CreatedStatusIsTheStoragePoolFlavourWithZeroCounts) {
  std::unique_ptr<ReconcileStatus> st(createReconcileStatus(log));
  ASSERT_NE(nullptr, dynamic_cast<ReconcileStatusStoragePools*>(st.get()));
  EXPECT_EQ(0u, st->m_processedCount + st->m_updatedCount);
  EXPECT_TRUE(st->m_fileSystem.empty());
}

}  // namespace
