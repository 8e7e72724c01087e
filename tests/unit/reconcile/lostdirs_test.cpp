// The directories above a stub: looked at and made one component at a time
// beneath the mount point, never through a link, never onto another mount.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reconcile/lostdirs.h"
#include "tests/support/hostile_tree.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {

class LostDirsTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    mountFd = open(mount.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(mountFd, 0);
    ASSERT_EQ(0, mkdir((mount + "/.Tarnveld").c_str(), 0755));
    stagingFd = openDirectoryStaging(mountFd);
    ASSERT_GE(stagingFd, 0);
  }
  void TearDown() override {
    close(stagingFd);
    close(mountFd);
    HostileTreeTest::TearDown();
  }
  ParentProbe make(const std::string& alias) {
    made.clear();
    return makeLostDirectories(mountFd, stagingFd, alias, [&](const MadeDirectory& d) { made.push_back(d.alias); });
  }
  int mountFd = -1, stagingFd = -1;
  std::vector<std::string> made;
};

void expectProbe(const ParentProbe& p, ParentState state, const std::string& component) {
  EXPECT_EQ(static_cast<int>(state), static_cast<int>(p.state)) << component;
  EXPECT_EQ(component, p.component);
}

// (A present, missing or file component, and that a probe makes nothing:
// the preview's test, which shows what the probe names.)
TEST_F(LostDirsTest, ProbeNamesALinkInTheWay) {
  ASSERT_EQ(0, mkdir((mount + "/a").c_str(), 0755));
  ASSERT_EQ(0, symlink(outside.c_str(), (mount + "/a/link").c_str()));
  expectProbe(probeParent(mountFd, "/a/link/f"), ParentState::kSymlink, "/a/link");
}

TEST_F(LostDirsTest, MissingDirectoriesTakeOwnerGroupAndModeOfTheNearestExistingOne) {
  ASSERT_EQ(0, mkdir((mount + "/team").c_str(), 0700));
  ASSERT_EQ(0, chown((mount + "/team").c_str(), 1001, 1002));
  ASSERT_EQ(0, chmod((mount + "/team").c_str(), 02750));
  ParentProbe p = make("/team/proj/src/main.c");
  expectProbe(p, ParentState::kPresent, "");
  EXPECT_EQ((std::vector<std::string>{"/team/proj", "/team/proj/src"}), made);
  for (const char* dir : {"/team/proj", "/team/proj/src"}) {
    struct stat st;
    ASSERT_EQ(0, lstat((mount + dir).c_str(), &st)) << dir;
    EXPECT_EQ(042750u, st.st_mode) << dir;
    EXPECT_EQ(1001u, st.st_uid);
    EXPECT_EQ(1002u, st.st_gid);
  }
  // A directory that appeared meanwhile (someone else's) is used as found;
  // those that are there are neither made nor reported again.
  ASSERT_EQ(0, mkdir((mount + "/team/proj/theirs").c_str(), 0777));
  ASSERT_EQ(0, chown((mount + "/team/proj/theirs").c_str(), 65534, 65534));
  expectProbe(make("/team/proj/theirs/new/f"), ParentState::kPresent, "");
  EXPECT_EQ((std::vector<std::string>{"/team/proj/theirs/new"}), made);
  struct stat st;
  ASSERT_EQ(0, lstat((mount + "/team/proj/theirs/new").c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid) << "the nearest existing directory is theirs";
}

TEST_F(LostDirsTest, NothingIsMadeThroughALinkOrBelowAFile) {
  ASSERT_EQ(0, symlink(outside.c_str(), (mount + "/link").c_str()));
  std::ofstream(mount + "/plain") << "a user's file";
  expectProbe(make("/link/new/f"), ParentState::kSymlink, "/link");
  expectProbe(make("/plain/new/f"), ParentState::kNotDirectory, "/plain");
  EXPECT_TRUE(made.empty());
  EXPECT_FALSE(kmrtest::lexists(outside + "/new"));
  EXPECT_EQ("a user's file", kmrtest::readFile(mount + "/plain"));
  expectVictimUntouched();
  // Nor through a staging directory others may write.
  ASSERT_EQ(0, chmod((mount + "/.Tarnveld").c_str(), 0777));
  EXPECT_EQ(-1, openDirectoryStaging(mountFd));
}

// A run killed between making a staged directory and its rename leaves it
// empty in the control directory; the next run clears such leftovers and
// nothing else.
TEST_F(LostDirsTest, EmptyStagedLeftoversAreRemovedWhenStagingOpens) {
  const std::string t = mount + "/.Tarnveld/";
  for (const char* d : {".kmrmkdir.0a", ".kmrmkdir.0b", "logdir"}) ASSERT_EQ(0, mkdir((t + d).c_str(), 0700));
  std::ofstream(t + ".kmrmkdir.0b/kept") << "x";
  std::ofstream(t + ".kmrmkdir.0c") << "a file";
  close(openDirectoryStaging(mountFd));
  EXPECT_FALSE(kmrtest::lexists(t + ".kmrmkdir.0a"));
  for (const char* kept : {".kmrmkdir.0b/kept", ".kmrmkdir.0c", "logdir"}) EXPECT_TRUE(kmrtest::lexists(t + kept)) << kept;
}

TEST_F(LostDirsTest, AnotherMountBelowIsNeverEntered) {
  if (!rectest::Environment::mounted) GTEST_SKIP() << "needs root and a private mount namespace";
  ASSERT_EQ(0, mkdir((mount + "/inner").c_str(), 0755));
  ASSERT_EQ(0, ::mount("tmpfs", (mount + "/inner").c_str(), "tmpfs", 0, "size=1m"));
  expectProbe(probeParent(mountFd, "/inner/x/f"), ParentState::kOtherMount, "/inner");
  expectProbe(make("/inner/x/f"), ParentState::kOtherMount, "/inner");
  EXPECT_FALSE(kmrtest::lexists(mount + "/inner/x"));
  umount2((mount + "/inner").c_str(), MNT_DETACH);
}

}  // namespace
