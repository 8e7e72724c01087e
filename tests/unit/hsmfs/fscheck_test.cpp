// Locks, reserve files and the state of managed file systems. The lock,
// reserve and state files live in ".Tarnveld" under a mount point that users
// write: whatever a user plants there (a link to a root file, a FIFO, a link
// in place of the directory) must not make us truncate, create, chown or block.
// Every control file is opened through the common guard, whose own tests
// (SafeOpenTest) plant each of these; here each of our entry points is shown
// to go through it, with a link to a root file.
#include <fcntl.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>

#include "hsmfs/fscheck.h"
#include "hsmfs/fsstate.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/locks.h"
#include "tests/support/hostile_tree.h"
#include "tests/support/xattr.h"
#include "tests/unit/hsmfs/hsmfs_env.h"

using kmrtest::readFile;
using kmrtest::writeFile;

namespace {

class FsCheckTest : public kmrtest::HsmNodeTest {
 protected:
  void SetUp() override {
    kmrtest::HsmNodeTest::SetUp();
    previous_ = hsmInstallEnv(
        {.attrStore = &store, .globalStatePause = [] { FAIL() << "no writer holds the global lock in these tests"; }});
  }
  void TearDown() override {
    hsmInstallEnv(previous_);
    kmrtest::HsmNodeTest::TearDown();
  }
  // Rewrites the flags of a file system's "VOQStat" on disk.
  void setFsFlags(const std::string& fs, uint32_t flags) {
    auto raw = kmrtest::rawXattr(fsStateFilePath(fs), "trusted.dmapi.VOQStat");
    ASSERT_TRUE(raw.has_value());
    fsmState st = decodeVOQStat(reinterpret_cast<uint8_t*>(raw->data()), raw->size());
    st.flags = flags;
    ASSERT_TRUE(encodeVOQStat(st, reinterpret_cast<uint8_t*>(raw->data())));
    ASSERT_EQ(0, setxattr(fsStateFilePath(fs).c_str(), "trusted.dmapi.VOQStat", raw->data(), raw->size(), 0));
  }
  kmrtest::FailingStore store;
  HsmLayerEnv previous_;
};

// Runs `fn` in a child process and returns its exit status (-1 when killed).
template <typename Fn>
int inChild(Fn fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FsAllowed, OnlyRootAndTmpAreRefused) {
  EXPECT_EQ(isFsAllowed("/"), 0);
  EXPECT_EQ(isFsAllowed("/tmp"), 0);
  EXPECT_EQ(isFsAllowed("/tmp/"), 1);
  EXPECT_EQ(isFsAllowed("/tmpfs"), 1);
  EXPECT_EQ(isFsAllowed("/orca/fs1"), 1);
  char buf[64];
  EXPECT_STREQ(kmrFSNameToTarnveldDir("/orca/fs1", buf), "/orca/fs1/.Tarnveld");
}

TEST_F(FsCheckTest, RunLockIsExclusiveWithoutWaitingTheFileRemainsAndNeedsItsDirectory) {
  auto fs = mountFs(kmrtest::kOnlyHThreshold);
  const std::string dir = fs->path() + "/.Tarnveld", lockPath = dir + "/reconcile.pid";
  int fd = -1;
  ASSERT_EQ(serAcquireFSLock(fs->path().c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd), 0);
  const std::string mine = std::to_string(getpid()) + "\n";
  // Read through the held descriptor: closing any other descriptor of the
  // file would drop this process's record lock.
  auto heldContent = [&] {
    char buf[32] = "";
    ssize_t n = pread(fd, buf, sizeof buf, 0);
    return std::string(buf, n > 0 ? n : 0);
  };
  EXPECT_EQ(heldContent(), mine);
  struct stat st;
  ASSERT_EQ(stat(lockPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, 2u);
  EXPECT_EQ(st.st_gid, 2u);
  EXPECT_EQ(inChild([&] { return serQuerySysLock(dir.c_str(), "/reconcile.pid", 1); }), 1);
  auto tryLock = [&] {
    int childFd = -1;
    return serAcquireFSLock(fs->path().c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &childFd);
  };
  EXPECT_EQ(inChild(tryLock), 1);
  EXPECT_EQ(heldContent(), mine);  // the holder's id is untouched

  EXPECT_EQ(serReleaseFSLock(fs->path().c_str(), "/reconcile.pid", fd), 0);
  EXPECT_EQ(stat(lockPath.c_str(), &st), 0);  // the file stays
  EXPECT_EQ(serQuerySysLock(dir.c_str(), "/reconcile.pid", 1), 0);
  EXPECT_EQ(inChild(tryLock), 0);
  EXPECT_NE(readFile(lockPath), mine);  // now the last holder's id
  EXPECT_EQ(serReleaseFSLock(fs->path().c_str(), "/reconcile.pid", -1), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(serQuerySysLock(nodeDir.c_str(), "/no/such/file", 2), 0);

  // A missing lock directory ends the process through the one end-of-process
  // function, with status -1.
  std::filesystem::remove_all(dir);
  EXPECT_EQ(inChild([&] {
              serAcquireFSLock(fs->path().c_str(), "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &fd);
              return 0;  // not reached
            }),
            255);
}

TEST_F(FsCheckTest, SharedLocksCoexistAndFileObjectLocksReport145) {
  auto fs = mountFs(nullptr);
  const std::string dir = fs->path() + "/.Tarnveld";
  int a = -1, b = -1;
  ASSERT_EQ(serAcquireSysLock(dir.c_str(), "/shared.pid", SER_SETLK, SER_LOCK_SHARED, &a), 0);
  EXPECT_EQ(inChild([&] { return serAcquireSysLock(dir.c_str(), "/shared.pid", SER_SETLK, SER_LOCK_SHARED, &b); }),
            0);
  EXPECT_EQ(inChild([&] { return serAcquireSysLock(dir.c_str(), "/shared.pid", SER_SETLK, SER_LOCK_EXCL, &b); }),
            1);
  close(a);

  DFpsFile* handle = nullptr;
  ASSERT_EQ(serAcquireSysLock(dir.c_str(), "/obj.pid", 0, 2, &handle, 1), 0);
  EXPECT_EQ(inChild([&] {
              DFpsFile* other = nullptr;
              return serAcquireSysLock(dir.c_str(), "/obj.pid", 0, 2, &other, 1);
            }),
            145);
  char buf[32] = "";
  ssize_t n = pread(handle->fd(), buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), std::to_string(getpid()) + "\n");
  serReleaseSysLock(&handle);
  EXPECT_EQ(handle, nullptr);
  DFpsFile closed(dir + "/never-opened");
  EXPECT_EQ(closed.LockOpenedFile(0, 2), DFPS_RC_NOT_OPEN);
}

TEST_F(FsCheckTest, StateOfManagedFileSystemsDecidesIsMigFsOK) {
  auto active = mountFs(kmrtest::kOnlyHThreshold);
  auto unmanaged = mountFs(nullptr);
  rmdir((unmanaged->path() + "/.Tarnveld").c_str());
  // A path inside a file system leads to its mount point; without a mount table, to none.
  mkdir((unmanaged->path() + "/sub").c_str(), 0755);
  char* mp = MountPoint((unmanaged->path() + "/sub").c_str());
  ASSERT_NE(mp, nullptr);
  EXPECT_EQ(std::string(mp), unmanaged->path());
  free(mp);
  EXPECT_EQ(MountPoint(unmanaged->path().c_str(), nodeDir + "/missing-mtab"), nullptr);

  ASSERT_EQ(dmiCreateFSState(store.sessionId(), active->path()), 0);
  EXPECT_EQ(readFile(fsStateFilePath(active->path())), kFSStateText);
  struct stat st;
  ASSERT_EQ(stat(fsStateFilePath(active->path()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);

  mp = nullptr;
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_ALL), RC_OK);
  ASSERT_NE(mp, nullptr);
  EXPECT_EQ(std::string(mp), active->path());
  free(mp);
  EXPECT_EQ(IsMigFsOK(unmanaged->path().c_str(), &mp, FUNC_STATE_ALL), RC_FS_NOT_MFS_MOUNTED);
  EXPECT_EQ(mp, nullptr);
  EXPECT_EQ(IsMigFsOK((active->path() + "/nothing-here").c_str(), &mp, FUNC_STATE_ALL), RC_FS_NOT_A_MOUNT_POINT);
  EXPECT_EQ(mp, nullptr);

  setFsFlags(active->path(), FSM_RECALL);
  EXPECT_EQ(getTarnveldState(active->path().c_str()), TARNVELD_RECALL_ACTIVE);
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_ALL), RC_FS_NOT_TARNVELD_ACTIVE);
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_RECALL), RC_OK);
  free(mp);
  setFsFlags(active->path(), FSM_MIGRATE);
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_MIGRATE), RC_OK);
  free(mp);
  setFsFlags(active->path(), 0);
  EXPECT_EQ(getTarnveldState(active->path().c_str()), TARNVELD_INACTIVE);
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_ALL), RC_FS_NOT_TARNVELD_ACTIVE);

  // Globally deactivated: a fully active file system reports 6.
  setFsFlags(active->path(), FSM_RECALL | FSM_MIGRATE);
  ASSERT_EQ(dmiSetGlobalState(0), 0);
  EXPECT_EQ(getTarnveldState(active->path().c_str()), TARNVELD_GLOBAL_INACTIVE);
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_ALL), RC_FS_NOT_TARNVELD_ACTIVE);
  EXPECT_EQ(mp, nullptr);
  ASSERT_EQ(dmiSetGlobalState(FSM_RECALL | FSM_MIGRATE), 0);
  EXPECT_EQ(getTarnveldState(active->path().c_str()), TARNVELD_ACTIVE);

  store.noSession = true;
  EXPECT_EQ(IsMigFsOK(active->path().c_str(), &mp, FUNC_STATE_ALL), RC_FS_ERROR);
}

TEST_F(FsCheckTest, GlobalStateFileIsRebuiltFromTheManagedTable) {
  auto a = mountFs(kmrtest::kOnlyHThreshold);
  auto b = mountFs(kmrtest::kOnlyHThreshold);
  ASSERT_EQ(dmiCreateFSState(store.sessionId(), a->path()), 0);
  const std::string global = globalStateFilePath();
  std::string bytes = readFile(global);
  ASSERT_EQ(bytes.size(), kGlobalHeaderLen + kGlobalRecordLen);
  uint32_t header = 0;
  memcpy(&header, bytes.data(), 4);
  EXPECT_EQ(header, 3u);
  GlobalStateRecord rec;
  ASSERT_TRUE(decodeGlobalRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, &rec));
  DmHandle fsHandle, stateHandle;
  store.fsHandleOfPath(a->path(), &fsHandle);
  store.handleOfPath(fsStateFilePath(a->path()), &stateHandle);
  EXPECT_EQ(rec.fsHandle, fsHandle.padded());  // the record holds 32 bytes per handle
  EXPECT_EQ(rec.stateFileHandle, stateHandle.padded());
  ASSERT_EQ(dmiCreateFSState(store.sessionId(), a->path()), 0);  // registered once only
  EXPECT_EQ(readFile(global).size(), kGlobalHeaderLen + kGlobalRecordLen);
  // A state file made anew, as on a file system made anew on the device: the
  // device's record is replaced, so its number never names the old one.
  ASSERT_EQ(unlink(fsStateFilePath(a->path()).c_str()), 0);
  ASSERT_EQ(dmiCreateFSState(store.sessionId(), a->path()), 0);
  bytes = readFile(global);
  ASSERT_EQ(bytes.size(), kGlobalHeaderLen + kGlobalRecordLen);
  ASSERT_TRUE(decodeGlobalRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, &rec));
  store.handleOfPath(fsStateFilePath(a->path()), &stateHandle);
  EXPECT_EQ(rec.stateFileHandle, stateHandle.padded());

  // b has no record: reading its state rebuilds the file (creating b's state file).
  fsmState st;
  st.fsName = b->path();
  ASSERT_EQ(dmiEntryGetFSState(store.sessionId(), &st), 0);
  EXPECT_EQ(st.flags, FSM_RECALL | FSM_MIGRATE);
  EXPECT_EQ(readFile(global).size(), kGlobalHeaderLen + 2 * kGlobalRecordLen);

  // A damaged record (length 16) is rebuilt too, keeping the header.
  ASSERT_EQ(dmiSetGlobalState(FSM_MIGRATE), 0);
  bytes = readFile(global);
  uint32_t sixteen = 16;
  memcpy(&bytes[4 + 32], &sixteen, 4);
  writeFile(global, bytes);
  st.fsName = a->path();
  ASSERT_EQ(dmiEntryGetFSState(store.sessionId(), &st), 0);
  bytes = readFile(global);
  EXPECT_EQ(bytes.size(), kGlobalHeaderLen + 2 * kGlobalRecordLen);
  memcpy(&header, bytes.data(), 4);
  EXPECT_EQ(header, FSM_MIGRATE);
  for (size_t off = 4; off < bytes.size(); off += kGlobalRecordLen)
    EXPECT_TRUE(decodeGlobalRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + off, &rec));
}

// ---- planted links in the control directory ---------------------------------------

namespace {

class CtlFileTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    ctl = mount + "/.Tarnveld";
    ASSERT_EQ(mkdir(ctl.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((ctl + "/reserved").c_str(), 0777), 0);
  }
  int fsLock(int type, int* fd) { return serAcquireFSLock(mount.c_str(), "/reconcile.pid", SER_SETLK, type, fd); }
  int sysLock(DFpsFile** handle) {
    return serAcquireSysLock(mount.c_str(), "/.Tarnveld/hsmfsconfig.pid", 0, 2, handle, 1);
  }
  std::string ctl;
};

}  // namespace

TEST_F(CtlFileTest, PlantedLinkAtLockFileIsNeitherTruncatedNorChowned) {
  ASSERT_EQ(symlink(victim.c_str(), (ctl + "/reconcile.pid").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (ctl + "/hsmfsconfig.pid").c_str()), 0);
  int fd = -1;
  EXPECT_LT(fsLock(SER_LOCK_EXCL, &fd), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_LT(fsLock(SER_LOCK_SHARED, &fd), 0);
  EXPECT_EQ(serQuerySysLock(ctl.c_str(), "/reconcile.pid", 1), -1);
  DFpsFile* handle = nullptr;
  EXPECT_EQ(sysLock(&handle), DFPS_RC_FAILED);
  EXPECT_EQ(handle, nullptr);
  expectVictimUntouched();
}

// One reserve file is emptied per call, the first non-empty one in number
// order (10 after 4); a link in place of one is skipped, never followed.
TEST_F(CtlFileTest, ReserveFilesAreEmptiedOneAtATimeInNumberOrderSkippingLinks) {
  ASSERT_EQ(symlink(victim.c_str(), (ctl + "/reserved/.dmi1").c_str()), 0);
  writeFile(reserveFilePath(mount, 2), "");
  writeFile(reserveFilePath(mount, 4), std::string(4096, 'r'));
  writeFile(reserveFilePath(mount, 10), std::string(100, 'x'));
  EXPECT_EQ(reserveFilePath("/m", 10), "/m/.Tarnveld/reserved/.dmi10");
  EXPECT_EQ(kmrFreeFS(mount.c_str()), 4) << "the linked and the empty entry are skipped";
  EXPECT_EQ(readFile(reserveFilePath(mount, 4)), "");
  EXPECT_EQ(readFile(reserveFilePath(mount, 10)), std::string(100, 'x'));
  EXPECT_EQ(kmrFreeFS(mount.c_str()), 10);
  EXPECT_EQ(kmrFreeFS(mount.c_str()), 0);
  expectVictimUntouched();
}
