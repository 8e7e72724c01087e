// Sessions, tokens and rights.
#include <algorithm>
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

  // A session with a token can't go; once answered it can.
  EXPECT_EQ(EBUSY, errnoOf([&] { return dm_destroy_session(b); }));
  ASSERT_EQ(0, dm_respond_event(b, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  EXPECT_EQ(-1, dm_respond_event(b, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  ASSERT_EQ(0, dm_destroy_session(b));
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_destroy_session(b); }));
}

TEST(Sessions, EventDeliveryIsNotAvailable) {
  dm_sessid_t sid;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("events"), &sid));
  char buffer[256];
  size_t len;
  EXPECT_EQ(ENOSYS, errnoOf([&] { return dm_get_events(sid, 1, 0, sizeof buffer, buffer, &len); }));
  EXPECT_EQ(ENOSYS, errnoOf([&] { return dm_send_msg(sid, DM_MSGTYPE_ASYNC, 1, buffer); }));
  EXPECT_EQ(0, dm_destroy_session(sid));
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
