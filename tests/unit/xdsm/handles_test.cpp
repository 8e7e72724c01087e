// Handles: stable for one file in any process, new for a recreated file, and
// their parts agree with what the kernel reports.
#include <sys/wait.h>

#include "tests/unit/xdsm/xdsm_fixture.h"

using namespace xdsmtest;

class Handles : public OnMountedFs {};

TEST_P(Handles, PartsAgreeWithTheKernelAndRebuildTheSameHandle) {
  makeFile("f", 10);
  Handle h, again, byFd, made, fs, fsOfFile, madeFs;
  handleOf("f", &h);
  handleOf("f", &again);
  ASSERT_LE(h.hlen, 32u);
  EXPECT_EQ(h.bytes(), again.bytes());
  EXPECT_EQ(DM_TRUE, dm_handle_is_valid(h.hanp, h.hlen));
  int fd = open(path("f").c_str(), O_RDONLY);
  ASSERT_EQ(0, dm_fd_to_handle(fd, &byFd.hanp, &byFd.hlen));
  close(fd);
  EXPECT_EQ(h.bytes(), byFd.bytes());

  struct stat st;
  ASSERT_EQ(0, stat(path("f").c_str(), &st));
  dm_ino_t ino = 0;
  dm_igen_t igen = 0;
  dm_fsid_t fsid = 0;
  ASSERT_EQ(0, dm_handle_to_ino(h.hanp, h.hlen, &ino));
  ASSERT_EQ(0, dm_handle_to_igen(h.hanp, h.hlen, &igen));
  ASSERT_EQ(0, dm_handle_to_fsid(h.hanp, h.hlen, &fsid));
  EXPECT_EQ(st.st_ino, ino);
  EXPECT_EQ(static_cast<dm_fsid_t>(st.st_dev), fsid);
  // The parts are enough to build the very same handle.
  ASSERT_EQ(0, dm_make_handle(&fsid, &ino, &igen, &made.hanp, &made.hlen)) << strerror(errno);
  EXPECT_EQ(h.bytes(), made.bytes());

  ASSERT_EQ(0, dm_path_to_fshandle(const_cast<char*>(path("f").c_str()), &fs.hanp, &fs.hlen));
  ASSERT_EQ(0, dm_handle_to_fshandle(h.hanp, h.hlen, &fsOfFile.hanp, &fsOfFile.hlen));
  EXPECT_EQ(fs.bytes(), fsOfFile.bytes());
  EXPECT_NE(0, dm_handle_cmp(fs.hanp, fs.hlen, h.hanp, h.hlen));
  ASSERT_EQ(0, dm_make_fshandle(&fsid, &madeFs.hanp, &madeFs.hlen));
  EXPECT_EQ(fs.bytes(), madeFs.bytes());
}

TEST_P(Handles, PathOfAHandleAndTooSmallBuffer) {
  ASSERT_EQ(0, mkdir(path("d").c_str(), 0755));
  makeFile("d/file name", 1);
  Handle h, fs;
  handleOf("d/file name", &h);
  ASSERT_EQ(0, dm_handle_to_fshandle(h.hanp, h.hlen, &fs.hanp, &fs.hlen));
  char buffer[4096];
  size_t needed = 0, needed2 = 0;
  ASSERT_EQ(0, dm_handle_to_path(fs.hanp, fs.hlen, h.hanp, h.hlen, sizeof buffer, buffer, &needed));
  EXPECT_EQ(path("d/file name"), buffer);
  EXPECT_EQ(path("d/file name").size() + 1, needed);
  EXPECT_EQ(E2BIG, errnoOf([&] {
              return dm_handle_to_path(fs.hanp, fs.hlen, h.hanp, h.hlen, 5, buffer, &needed2);
            }));
  EXPECT_EQ(needed, needed2);
}

TEST_P(Handles, RecreatedFileGetsANewHandleAndTheOldOneGoesStale) {
  Handle before, after;
  makeFile("f", 10);
  handleOf("f", &before);
  ASSERT_EQ(0, unlink(path("f").c_str()));
  makeFile("f", 10);
  handleOf("f", &after);
  EXPECT_NE(0, dm_handle_cmp(before.hanp, before.hlen, after.hanp, after.hlen));
  dm_ino_t ino;
  EXPECT_EQ(ESTALE, errnoOf([&] { return dm_handle_to_ino(before.hanp, before.hlen, &ino); }));
}

TEST_P(Handles, AnotherProcessComputesTheSameHandleAndOpensOurs) {
  makeFile("f", 10);
  Handle h;
  handleOf("f", &h);
  dm_attrname_t name = attrName("mark");
  char value[] = "from-parent";
  ASSERT_EQ(0, dm_set_dmattr(sid_, h.hanp, h.hlen, DM_NO_TOKEN, &name, 0, sizeof value, value));

  // The child has its own session table: it reads the attribute through the
  // parent's handle bytes and reports its own handle of the path.
  unsigned char reply[1 + 32 + 64] = {};
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Handle mine;
    dm_sessid_t sid;
    size_t gotLen = 0;
    if (dm_path_to_handle(const_cast<char*>(path("f").c_str()), &mine.hanp, &mine.hlen) == 0 &&
        dm_create_session(DM_NO_SESSION, const_cast<char*>("child"), &sid) == 0 &&
        dm_get_dmattr(sid, h.hanp, h.hlen, DM_NO_TOKEN, &name, 64, reply + 33, &gotLen) == 0) {
      reply[0] = static_cast<unsigned char>(mine.hlen);
      memcpy(reply + 1, mine.hanp, mine.hlen);
    }
    _exit(write(pipeFds[1], reply, sizeof reply) == sizeof reply ? 0 : 1);
  }
  close(pipeFds[1]);
  ASSERT_EQ(static_cast<ssize_t>(sizeof reply), read(pipeFds[0], reply, sizeof reply));
  close(pipeFds[0]);
  waitpid(child, nullptr, 0);
  ASSERT_EQ(h.hlen, reply[0]);
  EXPECT_EQ(0, memcmp(h.hanp, reply + 1, h.hlen));
  EXPECT_STREQ("from-parent", reinterpret_cast<char*>(reply + 33));
}

INSTANTIATE_TEST_SUITE_P(Fs, Handles, ::testing::Values("tmpfs", "ext4"));

TEST(HandleBytes, MalformedHandlesAreRefusedAndCompareOrdersBytes) {
  unsigned char junk[12] = {0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(DM_FALSE, dm_handle_is_valid(junk, sizeof junk));
  EXPECT_EQ(DM_FALSE, dm_handle_is_valid(nullptr, 12));
  unsigned char longOne[40] = {0xD6};
  EXPECT_EQ(DM_FALSE, dm_handle_is_valid(longOne, sizeof longOne));
  dm_fsid_t fsid;
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_handle_to_fsid(junk, sizeof junk, &fsid); }));

  unsigned char a[3] = {1, 2, 3}, b[3] = {1, 2, 4}, prefix[2] = {1, 2};
  EXPECT_EQ(0, dm_handle_cmp(a, 3, a, 3));
  EXPECT_LT(dm_handle_cmp(a, 3, b, 3), 0);
  EXPECT_GT(dm_handle_cmp(b, 3, a, 3), 0);
  EXPECT_LT(dm_handle_cmp(prefix, 2, a, 3), 0);
}
