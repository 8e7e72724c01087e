// Lock, reserve and state files live in ".Tarnveld" under a mount point that
// users write. Whatever a user plants there (a link to a root file, a FIFO,
// a link in place of the directory) must not make us truncate, create,
// chown or block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/cleanup.h"
#include "hsmfs/locks.h"
#include "tests/support/hostile_tree.h"

namespace {

using kmrtest::slurp;

bool exists(const std::string& path) { return kmrtest::lexists(path); }

class CtlFileTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    ctl = mount + "/.Tarnveld";
    ASSERT_EQ(mkdir(ctl.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((ctl + "/reserved").c_str(), 0777), 0);
  }

  std::string ctl;
};

TEST_F(CtlFileTest, OrdinaryLockFileIsCreatedLockedAndHoldsOurPid) {
  int fd = -1;
  ASSERT_EQ(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd), 0);
  EXPECT_EQ(slurp(ctl + "/reconcile.pid"), std::to_string(getpid()) + "\n");
  struct stat st;
  ASSERT_EQ(stat((ctl + "/reconcile.pid").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ctlFileOwnerUid());
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  serReleaseFSLock(mount.c_str(), "/reconcile.pid", fd);

  DFpsFile* handle = nullptr;
  ASSERT_EQ(serAcquireSysLock(mount.c_str(), "/.Tarnveld/hsmfsconfig.pid", 0, 2, &handle, 1), DFPS_RC_OK);
  EXPECT_EQ(slurp(ctl + "/hsmfsconfig.pid"), std::to_string(getpid()) + "\n");
  serReleaseSysLock(&handle);
}

TEST_F(CtlFileTest, PlantedLinkAtLockFileIsNeitherTruncatedNorChowned) {
  ASSERT_EQ(symlink(victim.c_str(), (ctl + "/reconcile.pid").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (ctl + "/hsmfsconfig.pid").c_str()), 0);

  int fd = -1;
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_SHARED, &fd), 0);
  DFpsFile* handle = nullptr;
  EXPECT_EQ(serAcquireSysLock(mount.c_str(), "/.Tarnveld/hsmfsconfig.pid", 0, 2, &handle, 1),
            DFPS_RC_FAILED);
  EXPECT_EQ(handle, nullptr);
  expectVictimUntouched();
}

TEST_F(CtlFileTest, DanglingLinkDoesNotCreateAFileElsewhere) {
  const std::string target = outside + "/created-by-root";
  ASSERT_EQ(symlink(target.c_str(), (ctl + "/reconcile.pid").c_str()), 0);
  int fd = -1;
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_SHARED, &fd), 0);
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd), 0);
  EXPECT_FALSE(exists(target));
}

TEST_F(CtlFileTest, ControlDirectorySwappedForALinkIsRefused) {
  ASSERT_EQ(std::system(("rm -rf '" + ctl + "'").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), ctl.c_str()), 0);
  ASSERT_EQ(symlink("precious", (outside + "/hsmfsconfig.pid").c_str()), 0);

  int fd = -1;
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd), 0);
  EXPECT_FALSE(exists(outside + "/reconcile.pid"));
  DFpsFile* handle = nullptr;
  EXPECT_EQ(serAcquireSysLock(mount.c_str(), "/.Tarnveld/hsmfsconfig.pid", 0, 2, &handle, 1),
            DFPS_RC_FAILED);
  EXPECT_LT(openCtlFile(mount, "/.Tarnveld/dmiFSState", O_WRONLY | O_CREAT | O_TRUNC, 0660), 0);
  EXPECT_FALSE(exists(outside + "/dmiFSState"));
  expectVictimUntouched();
}

// A FIFO would block an open for reading until a writer comes; these calls
// return at once instead (a regression here hangs the test program).
TEST_F(CtlFileTest, PlantedFifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo((ctl + "/reconcile.pid").c_str(), 0666), 0);
  int fd = -1;
  EXPECT_EQ(serQuerySysLock(ctl.c_str(), "/reconcile.pid", 1), -1);
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_SHARED, &fd), 0);
  EXPECT_LT(serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd), 0);
  errno = 0;
  EXPECT_LT(openCtlFile(ctl, "/reconcile.pid", O_RDONLY, 0), 0);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(CtlFileTest, ReserveFileLinkedToARootFileIsNotEmptied) {
  ASSERT_EQ(symlink(victim.c_str(), (ctl + "/reserved/.dmi1").c_str()), 0);
  std::ofstream(reserveFilePath(mount, 2)) << std::string(4096, 'r');

  EXPECT_EQ(kmrFreeFS(mount.c_str()), 2) << "the linked entry is skipped, the real one emptied";
  struct stat st;
  ASSERT_EQ(stat(reserveFilePath(mount, 2).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  expectVictimUntouched();
}

TEST_F(CtlFileTest, ReserveDirectorySwappedForALinkIsNotFollowed) {
  ASSERT_EQ(rmdir((ctl + "/reserved").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (ctl + "/reserved").c_str()), 0);
  ASSERT_EQ(symlink("precious", (outside + "/.dmi1").c_str()), 0);
  std::ofstream(outside + "/.dmi2") << "not a reserve file";

  EXPECT_EQ(kmrFreeFS(mount.c_str()), 0);
  EXPECT_EQ(slurp(outside + "/.dmi2"), "not a reserve file");
  expectVictimUntouched();
}

// A missing lock directory ends the process through the one end-of-process
// function, with status -1; a test sees that end instead of dying with it.
struct ProcessEnd {
  int status;
};
void throwProcessEnd(int status) { throw ProcessEnd{status}; }

TEST_F(CtlFileTest, MissingLockDirectoryEndsTheProcessWithMinusOne) {
  const clExitFn previous = clSetExitFunction(throwProcessEnd);
  int status = 0;
  try {
    serVerifyDirectory((mount + "/no-such-dir/reconcile.pid").c_str());
  } catch (const ProcessEnd& end) {
    status = end.status;
  }
  clSetExitFunction(previous);
  EXPECT_EQ(status, -1);
  // An existing directory lets the caller go on.
  serVerifyDirectory((ctl + "/reconcile.pid").c_str());
}

}  // namespace
