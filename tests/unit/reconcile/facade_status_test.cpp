// The facade's life cycle and stop hand-over, and the run's status object.
#include "common/textexception.h"
#include "reconcile/facade.h"
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

  rectest::ObjSpec spec;
  spec.alias = "/a";
  add(spec);
  CaptureStdout();
  EXPECT_EQ(0, facade.processRecoveryMigundeleteMode());
  GetCapturedStdout();
  EXPECT_EQ(1u, facade.status()->m_processedCount);
  EXPECT_EQ(fs, facade.status()->m_fileSystem);
  // A late stop still finds the finished mode and only sets its flag.
  EXPECT_EQ(0, facade.stopReconcile());
  EXPECT_EQ(101, facade.mode()->stopCode());
}

TEST_F(ModeTest, EachFlavourSelectsItsFlags) {
  // An expired object whose file exists and is newer locally: only the
  // expiring recovery flavour recreates it; expiring alone respects the
  // local file; the others skip the expired object.
  struct Case {
    int (ReconcileLogicFacade::*run)();
    bool recreated;
  } cases[] = {{&ReconcileLogicFacade::processNormalMigundeleteMode, false},
               {&ReconcileLogicFacade::processExpiringMigundeleteMode, false},
               {&ReconcileLogicFacade::processRecoveryMigundeleteMode, false},
               {&ReconcileLogicFacade::processExpiringRecoveryMigundeleteMode, true}};
  for (const auto& c : cases) {
    writeFile("/f", "local", 1700000000);
    rectest::ObjSpec expired;
    expired.alias = "/f";
    expired.expired = true;
    add(expired);
    rectest::ObjSpec missing;
    missing.alias = "/m";
    missing.expired = true;
    add(missing);
    ReconcileLogicFacade facade(env, 0, fs, fs + "/facade.log");
    size_t before = script.updates.size();
    CaptureStdout();
    EXPECT_EQ(0, (facade.*c.run)());
    GetCapturedStdout();
    size_t made = script.updates.size() - before;
    struct stat st {};
    ASSERT_EQ(0, stat(path("/f").c_str(), &st));
    EXPECT_EQ(c.recreated ? 4096 : 5, st.st_size);
    bool expiring = c.run == &ReconcileLogicFacade::processExpiringMigundeleteMode ||
                    c.run == &ReconcileLogicFacade::processExpiringRecoveryMigundeleteMode;
    EXPECT_EQ((expiring ? 1u : 0u) + (c.recreated ? 1u : 0u), made);
    unlink(path("/m").c_str());
  }
}

TEST_F(ModeTest, StatusOfEachRunCountsOnlyItsOwnFileSystem) {
  ReconcileLogicFacade first(env, 0, fs, fs + "/facade.log");
  rectest::ObjSpec spec;
  spec.alias = "/a";
  add(spec);
  add(spec);
  CaptureStdout();
  first.processRecoveryMigundeleteMode();
  ReconcileLogicFacade second(env, 0, fs, fs + "/facade.log");
  add(spec);
  second.processRecoveryMigundeleteMode();
  GetCapturedStdout();
  EXPECT_EQ(2u, first.status()->m_processedCount);
  EXPECT_EQ(1u, second.status()->m_processedCount);
  EXPECT_EQ(1u, second.status()->m_updatedCount);
}

TEST(ReconcileStatusTest, PoolDiscoveryFillsZeroCountersInOrder) {
  char dir[] = "/tmp/kmrstatXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string log = std::string(dir) + "/kmrreconcile.log";
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
  unlink(log.c_str());
  rmdir(dir);
}

TEST(ReconcileStatusTest, UnreadablePoolListIsReportedOnceAndTheRunGoesOn) {
  char dir[] = "/tmp/kmrstatXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string log = std::string(dir) + "/kmrreconcile.log";
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
  unlink(log.c_str());
  rmdir(dir);
}

TEST(ReconcileStatusTest, CreatedStatusIsTheStoragePoolFlavourWithZeroCounts) {
  char dir[] = "/tmp/kmrstatXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string log = std::string(dir) + "/r.log";
  std::unique_ptr<ReconcileStatus> st(createReconcileStatus(log));
  ASSERT_NE(nullptr, dynamic_cast<ReconcileStatusStoragePools*>(st.get()));
  EXPECT_EQ(0u, st->m_processedCount + st->m_updatedCount);
  EXPECT_TRUE(st->m_fileSystem.empty());
  st.reset();
  unlink(log.c_str());
  rmdir(dir);
}

}  // namespace
