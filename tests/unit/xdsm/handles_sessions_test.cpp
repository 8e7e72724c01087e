// Handles: their parts agree with what the kernel reports. Sessions, tokens
// and rights. (That another process computes the same handle bytes is met by
// the end-to-end runs, which compare the handle `zefadm migrate` stored with
// one built from the kernel's; a recreated file's new handle by KeptObjects.)
#include <algorithm>
#include <thread>

#include "tests/unit/xdsm/xdsm_fixture.h"

using namespace xdsmtest;

class Handles : public OnMountedFs {};

// A name with a blank in a subdirectory, so that the path a handle leads back
// to is not merely the mount point's child.
TEST_P(Handles, PartsAgreeWithTheKernelRebuildTheSameHandleAndLeadBackToThePath) {
  ASSERT_EQ(0, mkdir(path("d").c_str(), 0755));
  const std::string name = "d/file name";
  makeFile(name, 10);
  Handle h, again, byFd, made, fs, fsOfFile, madeFs;
  handleOf(name, &h);
  handleOf(name, &again);
  ASSERT_LE(h.hlen, 32u);
  EXPECT_EQ(h.bytes(), again.bytes());
  EXPECT_EQ(DM_TRUE, dm_handle_is_valid(h.hanp, h.hlen));
  int fd = open(path(name).c_str(), O_RDONLY);
  ASSERT_EQ(0, dm_fd_to_handle(fd, &byFd.hanp, &byFd.hlen));
  close(fd);
  EXPECT_EQ(h.bytes(), byFd.bytes());

  struct stat st;
  ASSERT_EQ(0, stat(path(name).c_str(), &st));
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

  ASSERT_EQ(0, dm_path_to_fshandle(const_cast<char*>(path(name).c_str()), &fs.hanp, &fs.hlen));
  ASSERT_EQ(0, dm_handle_to_fshandle(h.hanp, h.hlen, &fsOfFile.hanp, &fsOfFile.hlen));
  EXPECT_EQ(fs.bytes(), fsOfFile.bytes());
  EXPECT_NE(0, dm_handle_cmp(fs.hanp, fs.hlen, h.hanp, h.hlen));
  ASSERT_EQ(0, dm_make_fshandle(&fsid, &madeFs.hanp, &madeFs.hlen));
  EXPECT_EQ(fs.bytes(), madeFs.bytes());

  char buffer[4096];
  size_t needed = 0, needed2 = 0;
  ASSERT_EQ(0, dm_handle_to_path(fs.hanp, fs.hlen, h.hanp, h.hlen, sizeof buffer, buffer, &needed));
  EXPECT_EQ(path(name), buffer);
  EXPECT_EQ(path(name).size() + 1, needed);
  EXPECT_EQ(E2BIG, errnoOf([&] {
              return dm_handle_to_path(fs.hanp, fs.hlen, h.hanp, h.hlen, 5, buffer, &needed2);
            }));
  EXPECT_EQ(needed, needed2);
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

TEST(Service, ReportsItsVersion) {
  char* version = nullptr;
  ASSERT_EQ(0, dm_init_service(&version));
  EXPECT_STREQ("ORCA DMAPI 3.30", version);
}

TEST(Sessions, LifeCycleQueryAndTakeOver) {
  dm_sessid_t a = DM_NO_SESSION, b = DM_NO_SESSION;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("alpha"), &a));
  ASSERT_NE(DM_NO_SESSION, a);
  char info[16];
  size_t len = 0;
  ASSERT_EQ(0, dm_query_session(a, sizeof info, info, &len));
  EXPECT_STREQ("alpha", info);
  EXPECT_EQ(6u, len);
  EXPECT_EQ(E2BIG, errnoOf([&] { return dm_query_session(a, 3, info, &len); }));
  EXPECT_EQ(6u, len);
  std::string tooLong(DM_SESSION_INFO_LEN, 'x');
  EXPECT_EQ(E2BIG, errnoOf([&] { return dm_create_session(DM_NO_SESSION, tooLong.data(), &b); }));

  // Taking a session over moves its tokens and retires the old id.
  dm_token_t token;
  ASSERT_EQ(0, dm_create_userevent(a, 0, nullptr, &token));
  ASSERT_EQ(0, dm_create_session(a, const_cast<char*>("beta"), &b));
  EXPECT_NE(a, b);
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_query_session(a, sizeof info, info, &len); }));
  dm_token_t tokens[4];
  unsigned n = 0;
  EXPECT_EQ(E2BIG, errnoOf([&] { return dm_getall_tokens(b, 0, tokens, &n); }));
  EXPECT_EQ(1u, n) << "a short list reports the count it needs";
  ASSERT_EQ(0, dm_getall_tokens(b, 4, tokens, &n));
  ASSERT_EQ(1u, n);
  EXPECT_TRUE(tokens[0] == token);
  dm_sessid_t sids[64];
  ASSERT_EQ(0, dm_getall_sessions(64, sids, &n));
  EXPECT_NE(std::find(sids, sids + n, b), sids + n);
  EXPECT_EQ(std::find(sids, sids + n, a), sids + n);

  // Events are never delivered: the stand-in has no file system sending any.
  char buffer[256];
  EXPECT_EQ(ENOSYS, errnoOf([&] { return dm_get_events(b, 1, 0, sizeof buffer, buffer, &len); }));
  EXPECT_EQ(ENOSYS, errnoOf([&] { return dm_send_msg(b, DM_MSGTYPE_ASYNC, 1, buffer); }));

  // Once its token is answered the session can go. (That a token keeps it,
  // and a token is answered only once, SessionClose meets through our layer.)
  ASSERT_EQ(0, dm_respond_event(b, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  ASSERT_EQ(0, dm_destroy_session(b));
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_destroy_session(b); }));
}

class Rights : public OnMountedFs {};

TEST_P(Rights, ExclusiveConflictsAndWaitingRequestGetsItWhenFreed) {
  Handle h;
  dm_token_t first = heldFile("f", 10, &h);
  dm_token_t second, reader;
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &second));
  EXPECT_EQ(EAGAIN, errnoOf([&] { return dm_request_right(sid_, h.hanp, h.hlen, second, 0, DM_RIGHT_SHARED); }));
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_request_right(sid_, h.hanp, h.hlen, second, 0, DM_RIGHT_NULL); }));

  // Whatever the interleaving, the waiting request ends with the right once
  // the first token is answered.
  int waitedRc = -2;
  std::thread waiter([&] {
    waitedRc = dm_request_right(sid_, h.hanp, h.hlen, second, DM_RR_WAIT, DM_RIGHT_EXCL);
  });
  ASSERT_EQ(0, dm_respond_event(sid_, first, DM_RESP_CONTINUE, 0, 0, nullptr));
  waiter.join();
  EXPECT_EQ(0, waitedRc);
  dm_right_t held;
  ASSERT_EQ(0, dm_query_right(sid_, h.hanp, h.hlen, second, &held));
  EXPECT_EQ(DM_RIGHT_EXCL, held);

  // Downgrade lets a shared reader in beside it.
  ASSERT_EQ(0, dm_downgrade_right(sid_, h.hanp, h.hlen, second));
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &reader));
  EXPECT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, reader, 0, DM_RIGHT_SHARED));
  EXPECT_EQ(EAGAIN, errnoOf([&] { return dm_upgrade_right(sid_, h.hanp, h.hlen, second); }));
}

INSTANTIATE_TEST_SUITE_P(Fs, Rights, ::testing::Values("tmpfs", "ext4"));
