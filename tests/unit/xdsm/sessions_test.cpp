// Sessions, tokens and rights, and the rule that a call needing a right
// fails with EACCES without it.
#include <sys/xattr.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "tests/unit/xdsm/xdsm_fixture.h"

using namespace xdsmtest;

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
  EXPECT_EQ(-1, dm_query_session(a, 3, info, &len));
  EXPECT_EQ(E2BIG, errno);
  EXPECT_EQ(6u, len);

  std::string tooLong(DM_SESSION_INFO_LEN, 'x');
  dm_sessid_t unused;
  EXPECT_EQ(-1, dm_create_session(DM_NO_SESSION, tooLong.data(), &unused));
  EXPECT_EQ(E2BIG, errno);

  // Taking a session over moves its tokens and retires the old id.
  dm_token_t token;
  ASSERT_EQ(0, dm_create_userevent(a, 0, nullptr, &token));
  ASSERT_EQ(0, dm_create_session(a, const_cast<char*>("beta"), &b));
  EXPECT_NE(a, b);
  EXPECT_EQ(-1, dm_query_session(a, sizeof info, info, &len));
  EXPECT_EQ(EINVAL, errno);
  dm_token_t tokens[4];
  unsigned n = 0;
  ASSERT_EQ(0, dm_getall_tokens(b, 4, tokens, &n));
  ASSERT_EQ(1u, n);
  EXPECT_TRUE(tokens[0] == token);

  dm_sessid_t sids[64];
  ASSERT_EQ(0, dm_getall_sessions(64, sids, &n));
  EXPECT_NE(std::find(sids, sids + n, b), sids + n);
  EXPECT_EQ(std::find(sids, sids + n, a), sids + n);

  // A session with a token can't go; once answered it can.
  EXPECT_EQ(-1, dm_destroy_session(b));
  EXPECT_EQ(EBUSY, errno);
  ASSERT_EQ(0, dm_respond_event(b, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  EXPECT_EQ(-1, dm_respond_event(b, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  ASSERT_EQ(0, dm_destroy_session(b));
  EXPECT_EQ(-1, dm_destroy_session(b));
  EXPECT_EQ(EINVAL, errno);
}

TEST(Sessions, TokenListGrowsWithE2big) {
  dm_sessid_t sid;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("many"), &sid));
  dm_token_t made[5];
  for (auto& t : made) ASSERT_EQ(0, dm_create_userevent(sid, 0, nullptr, &t));
  dm_token_t few[2];
  unsigned n = 0;
  EXPECT_EQ(-1, dm_getall_tokens(sid, 2, few, &n));
  EXPECT_EQ(E2BIG, errno);
  EXPECT_EQ(5u, n);
  for (auto& t : made) ASSERT_EQ(0, dm_respond_event(sid, t, DM_RESP_ABORT, EIO, 0, nullptr));
  EXPECT_EQ(0, dm_destroy_session(sid));
}

TEST(Sessions, EventDeliveryIsNotAvailable) {
  dm_sessid_t sid;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("events"), &sid));
  char buffer[256];
  size_t len;
  EXPECT_EQ(-1, dm_get_events(sid, 1, 0, sizeof buffer, buffer, &len));
  EXPECT_EQ(ENOSYS, errno);
  EXPECT_EQ(-1, dm_send_msg(sid, DM_MSGTYPE_ASYNC, 1, buffer));
  EXPECT_EQ(ENOSYS, errno);
  EXPECT_EQ(0, dm_destroy_session(sid));
}

class Rights : public OnMountedFs {};

TEST_P(Rights, CallsNeedTheRightOnTheirToken) {
  makeFile("f", 10);
  Handle h;
  handleOf("f", &h);
  dm_attrname_t name = attrName("A");
  char value[] = "v";
  size_t len = 0;
  char buffer[8];

  dm_token_t bare;
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &bare));
  EXPECT_EQ(-1, dm_set_dmattr(sid_, h.hanp, h.hlen, bare, &name, 0, 1, value));
  EXPECT_EQ(EACCES, errno);
  EXPECT_EQ(-1, dm_punch_hole(sid_, h.hanp, h.hlen, bare, 0, 0));
  EXPECT_EQ(EACCES, errno);
  char raw[64];
  EXPECT_EQ(-1, getxattr(path("f").c_str(), "trusted.dmapi.A", raw, sizeof raw));

  // Shared is enough to read, not to write.
  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, bare, 0, DM_RIGHT_SHARED));
  EXPECT_EQ(-1, dm_set_dmattr(sid_, h.hanp, h.hlen, bare, &name, 0, 1, value));
  EXPECT_EQ(EACCES, errno);
  EXPECT_EQ(-1, dm_get_dmattr(sid_, h.hanp, h.hlen, bare, &name, sizeof buffer, buffer, &len));
  EXPECT_EQ(ENOENT, errno);

  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, bare, 0, DM_RIGHT_EXCL));
  dm_right_t held;
  ASSERT_EQ(0, dm_query_right(sid_, h.hanp, h.hlen, bare, &held));
  EXPECT_EQ(DM_RIGHT_EXCL, held);
  EXPECT_EQ(0, dm_set_dmattr(sid_, h.hanp, h.hlen, bare, &name, 0, 1, value));

  ASSERT_EQ(0, dm_release_right(sid_, h.hanp, h.hlen, bare));
  ASSERT_EQ(0, dm_query_right(sid_, h.hanp, h.hlen, bare, &held));
  EXPECT_EQ(DM_RIGHT_NULL, held);
  EXPECT_EQ(-1, dm_release_right(sid_, h.hanp, h.hlen, bare));
  EXPECT_EQ(EACCES, errno);
  EXPECT_EQ(-1, dm_remove_dmattr(sid_, h.hanp, h.hlen, bare, 0, &name));
  EXPECT_EQ(EACCES, errno);

  // A token of another session is not accepted.
  dm_sessid_t other;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("other"), &other));
  EXPECT_EQ(-1, dm_get_dmattr(other, h.hanp, h.hlen, bare, &name, sizeof buffer, buffer, &len));
  EXPECT_EQ(ESRCH, errno);
  EXPECT_EQ(0, dm_destroy_session(other));
}

TEST_P(Rights, ExclusiveConflictsAndWaitingRequestGetsItWhenFreed) {
  Handle h;
  dm_token_t first = heldFile("f", 10, &h);
  dm_token_t second;
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &second));
  EXPECT_EQ(-1, dm_request_right(sid_, h.hanp, h.hlen, second, 0, DM_RIGHT_SHARED));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(-1, dm_request_right(sid_, h.hanp, h.hlen, second, 0, DM_RIGHT_NULL));
  EXPECT_EQ(EINVAL, errno);

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
  dm_token_t reader;
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &reader));
  EXPECT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, reader, 0, DM_RIGHT_SHARED));
  EXPECT_EQ(-1, dm_upgrade_right(sid_, h.hanp, h.hlen, second));
  EXPECT_EQ(EAGAIN, errno);
}

INSTANTIATE_TEST_SUITE_P(Fs, Rights, ::testing::Values("tmpfs", "ext4"));
