// The access object's frame and the dmi helpers' policies: service check,
// validation, right back-off, session clean-up and text forms.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstring>

#include "common/trace.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/xdsmapi.h"
#include "tests/support/errno_of.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

namespace {

using kmrtest::errnoOf;

// An empty scratch file on the root file system for calls that need a real
// object; it goes with its directory.
struct ScratchFile {
  kmrtest::ScratchDir dir;
  const std::string name = dir.write("file", "");
  const char* path() const { return name.c_str(); }
};

XDSMAPI* readyApi() {
  XDSMAPI* api = XDSMAPI::getXDSMAPI();
  EXPECT_EQ(1, api->initService());
  return api;
}

TEST(XdsmFrame, BeforeInitServiceEveryOperationFailsWithEnxioAndTouchesNothing) {
  ScratchFile file;
  OwnedHandle handle;
  ASSERT_EQ(1, handleSetWithPath(handle.out(), file.path()));
  dm_sessid_t sid;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("raw"), &sid));

  RXDSMAPI fresh;
  ASSERT_EQ(0, fresh.isInitialized());
  EXPECT_EQ(ENXIO,
            errnoOf([&] { return fresh.setDmattr(sid, handle.get(), DM_NO_TOKEN, "VOQObj", 0, 3, "abc"); }, 0));
  char raw[8];
  EXPECT_EQ(-1, getxattr(file.path(), "trusted.dmapi.VOQObj", raw, sizeof raw));
  dm_token_t tokens[2];
  EXPECT_EQ(ENXIO, errnoOf([&] { return fresh.createUserEvent(sid, 0, nullptr, tokens); }, 0));
  unsigned count = 99;
  ASSERT_EQ(0, dm_getall_tokens(sid, 2, tokens, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(ENXIO, errnoOf([&] { return fresh.createSession(DM_NO_SESSION, "x", 1); }, DM_NO_SESSION));
  EXPECT_EQ(DM_NO_SESSION, fresh.getSID());
  EXPECT_EQ(0, dm_destroy_session(sid));
}

TEST(XdsmFrame, ValidationFailsWithEinvalAndLibraryErrorsAreRecorded) {
  XDSMAPI* api = readyApi();
  dm_sessid_t sid = api->createSession(DM_NO_SESSION, "migundelete", 0);
  ASSERT_NE(DM_NO_SESSION, sid);
  ScratchFile file;
  ScratchFile traceFile;
  OwnedHandle handle;
  ASSERT_EQ(1, handleSetWithPath(handle.out(), file.path()));
  char buffer[16];
  size_t len;
  new_TraceObject(5, 0, trTIDProc);
  trEnable("SMXDSM", true);
  ASSERT_EQ(0, trBegin(traceFile.path(), false));

  unsigned char junk[12] = {1, 2, 3};
  xdsm_handle_t bad{junk, sizeof junk};
  auto get = [&](dm_sessid_t s, xdsm_handle_t h, size_t* lenOut) {
    return errnoOf([&] { return api->getDmattr(s, h, DM_NO_TOKEN, "VOQObj", sizeof buffer, buffer, lenOut); }, 0);
  };
  api->setLastErrno(0);
  EXPECT_EQ(EINVAL, get(sid, bad, &len));
  EXPECT_EQ(EINVAL, get(DM_NO_SESSION, handle.get(), &len));
  EXPECT_EQ(EINVAL, get(sid, handle.get(), nullptr));
  // None of these reached the library, so no DMAPI errno was recorded.
  EXPECT_EQ(0, api->getLastErrno());
  EXPECT_EQ(ENOENT, get(sid, handle.get(), &len));
  EXPECT_EQ(ENOENT, api->getLastErrno());

  trClose(true);
  TR_SMXDSM = 0;
  std::string trace = kmrtest::readFile(traceFile.path());
  EXPECT_TRUE(kmrtest::contains(trace, "XDSMAPI::dm_get_dmattr: ERROR invalid handle\n")) << trace;
  EXPECT_TRUE(kmrtest::contains(trace, "XDSMAPI::dm_get_dmattr: ERROR aSid == DM_NO_SESSION\n"));
  EXPECT_TRUE(kmrtest::contains(trace, "XDSMAPI::dm_get_dmattr: ERROR null pointer\n"));
  EXPECT_TRUE(kmrtest::contains(trace, "(XDSMAPI): dm_get_dmattr, rc: -1, errno: 2\n"));
}

TEST(XdsmFrame, SessionIsCreatedOnceUnlessForced) {
  XDSMAPI* api = readyApi();
  dm_sessid_t first = api->createSession(DM_NO_SESSION, "migundelete", 0);
  ASSERT_NE(DM_NO_SESSION, first);
  EXPECT_EQ(first, api->createSession(DM_NO_SESSION, "reconcile", 0));

  dm_sessid_t forced = api->createSession(DM_NO_SESSION, nullptr, 1);
  ASSERT_NE(DM_NO_SESSION, forced);  // a new one: its information is the process id
  char info[300];
  size_t len;
  ASSERT_EQ(1, api->querySession(forced, sizeof info, info, &len));
  EXPECT_EQ(std::to_string(getpid()), info);

  std::string longInfo(400, 'i');
  dm_sessid_t cut = api->createSession(DM_NO_SESSION, longInfo.c_str(), 1);
  ASSERT_NE(DM_NO_SESSION, cut);
  ASSERT_EQ(1, api->querySession(cut, sizeof info, info, &len));
  EXPECT_EQ(std::string(DM_SESSION_INFO_LEN - 1, 'i'), info);

  EXPECT_EQ(0, dmiCloseSession(forced));
  EXPECT_EQ(0, dmiCloseSession(first));
  EXPECT_EQ(0, kmrDestroySession(0));  // the current session: `cut`
  EXPECT_EQ(DM_NO_SESSION, api->getSID());
  EXPECT_EQ(0, api->querySession(cut, sizeof info, info, &len));
  EXPECT_EQ(0, dmiCloseSession(0));
  EXPECT_EQ(0, dmiCloseSession(~static_cast<dm_sessid_t>(0)));
}

TEST(XdsmVersion, AcceptsKnownVersionsAnd34OnlyWithTheTestFlag) {
  EXPECT_EQ(1, dmiIsSupportedVersion("ORCA DMAPI 3.20"));
  EXPECT_EQ(1, dmiIsSupportedVersion("ORCA DMAPI 3.30"));
  EXPECT_EQ(0, dmiIsSupportedVersion("ORCA DMAPI 3.10"));
  EXPECT_EQ(0, dmiIsSupportedVersion(nullptr));
  TEST_HSM_ORCA_34.set = 0;
  EXPECT_EQ(0, dmiIsSupportedVersion("ORCA DMAPI 3.40"));
  TEST_HSM_ORCA_34.set = 1;
  EXPECT_EQ(1, dmiIsSupportedVersion("ORCA DMAPI 3.40"));
  TEST_HSM_ORCA_34.set = 0;
}

// ---- right requests ------------------------------------------------------------

std::vector<unsigned> g_pauses;
void recordPause(unsigned ms) { g_pauses.push_back(ms); }

// Fails requestRight with the scripted errnos, then succeeds.
class ScriptedApi : public RXDSMAPI {
 public:
  explicit ScriptedApi(std::vector<int> failures) : failures_(std::move(failures)) {}
  int requestRight(dm_sessid_t, xdsm_handle_t, dm_token_t, unsigned flags,
                   dm_right_t right) override {
    ++calls;
    lastFlags = flags;
    lastRight = right;
    if (next_ < failures_.size()) {
      errno = failures_[next_++];
      return 0;
    }
    return 1;
  }
  int calls = 0;
  unsigned lastFlags = 0;
  dm_right_t lastRight = DM_RIGHT_NULL;

 private:
  std::vector<int> failures_;
  size_t next_ = 0;
};

// Requests `right` with `tries` against an access object whose right
// requests fail with `failures` first, then succeed.
struct Backoff {
  std::vector<int> failures;
  dm_right_t right;
  int tries;
  int rc, err, calls;
  std::vector<unsigned> pauses;
};

class RightBackoff : public ::testing::TestWithParam<Backoff> {};

TEST_P(RightBackoff, BusyRightsArePausedForDoublingUpToThirtySecondsOthersEndAtOnce) {
  const Backoff& c = GetParam();
  auto owned = std::make_unique<ScriptedApi>(c.failures);
  ASSERT_EQ(1, owned->initService());
  ScriptedApi* api = owned.get();
  std::unique_ptr<XDSMAPI> previous = XDSMAPI::replaceInstance(std::move(owned));
  g_pauses.clear();
  HsmLayerEnv previousEnv = hsmInstallEnv({.rightRetryPause = recordPause});
  unsigned char bytes[12] = {};
  errno = 0;
  EXPECT_EQ(c.rc, dmiRequestRight(1, xdsm_handle_t{bytes, sizeof bytes}, dm_token_t{1, 2}, c.right,
                                  c.tries, "RightBackoff"));
  if (c.rc != 0) {
    EXPECT_EQ(c.err, errno);
  }
  EXPECT_EQ(c.calls, api->calls);
  EXPECT_EQ(c.pauses, g_pauses);
  if (c.calls > 0) {
    EXPECT_EQ(static_cast<unsigned>(DM_RR_WAIT), api->lastFlags);
    EXPECT_EQ(c.right, api->lastRight);
  }
  XDSMAPI::replaceInstance(std::move(previous));
  hsmInstallEnv(previousEnv);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RightBackoff,
    ::testing::Values(
        Backoff{{EBUSY, EBUSY, EBUSY}, DM_RIGHT_EXCL, 16, 0, 0, 4, {1, 2, 4}},
        // The pause starts again after more than thirty seconds.
        Backoff{std::vector<int>(18, EAGAIN), DM_RIGHT_SHARED, 19, 0, 0, 19,
                {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 1, 2}},
        Backoff{{EINTR, EPERM}, DM_RIGHT_EXCL, 16, -1, EPERM, 2, {1}},
        Backoff{{EBUSY, EBUSY, EBUSY}, DM_RIGHT_EXCL, 2, -1, EBUSY, 2, {1}},
        Backoff{{}, DM_RIGHT_NULL, 16, 0, 0, 0, {}}));

TEST(RightRelease, NullRightReleasesTheHeldRightOnTheRealLibrary) {
  XDSMAPI* api = readyApi();
  dm_sessid_t sid = api->createSession(DM_NO_SESSION, "migundelete", 0);
  ScratchFile file;
  OwnedHandle handle;
  ASSERT_EQ(1, handleSetWithPath(handle.out(), file.path()));
  dm_token_t token;
  ASSERT_EQ(1, api->createUserEvent(sid, 0, nullptr, &token));
  ASSERT_EQ(0, dmiRequestRight(sid, handle.get(), token, DM_RIGHT_EXCL, 16, "test"));
  ASSERT_EQ(0, dmiRequestRight(sid, handle.get(), token, DM_RIGHT_NULL, 1, "test"));
  dm_right_t held = DM_RIGHT_EXCL;
  ASSERT_EQ(1, api->queryRight(sid, handle.get(), token, &held));
  EXPECT_EQ(DM_RIGHT_NULL, held);  // what a released right refuses: the library's rights tests
  EXPECT_EQ(0, dmiRespondEventOk(sid, token));
}

// ---- session clean-up and event answers ---------------------------------------

TEST(SessionClose, AFailedAbortPrints9518AndClosingAnswersEveryOutstandingToken) {
  XDSMAPI* api = readyApi();
  dm_sessid_t sid = api->createSession(DM_NO_SESSION, "closing", 1);
  ASSERT_NE(DM_NO_SESSION, sid);
  dm_token_t answered;
  ASSERT_EQ(1, api->createUserEvent(sid, 0, nullptr, &answered));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0, dmiRespondEventAbort(sid, answered, EIO));
  EXPECT_FALSE(kmrtest::contains(::testing::internal::GetCapturedStderr(), "9518"));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ESRCH, errnoOf([&] { return dmiRespondEventAbort(sid, answered, EIO); }));  // already answered
  std::string loud = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(kmrtest::contains(loud, "9518")) << loud;
  EXPECT_EQ(-1, dmiRespondEventOk(sid, answered));

  // More tokens than the first buffer holds, so the E2BIG path is taken.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(1, api->createUserEvent(sid, 0, nullptr, &answered));
  EXPECT_EQ(EBUSY, errnoOf([&] { return dm_destroy_session(sid); }));
  EXPECT_EQ(0, kmrDestroySession(sid));
  EXPECT_EQ(DM_NO_SESSION, api->getSID());
  char info[64];
  size_t len;
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_query_session(sid, sizeof info, info, &len); }));
}

// ---- handles for the server layer and text forms ---------------------------------

int g_translatedErr = 0;
int translate(int err, const char* function) {
  g_translatedErr = err;
  return strcmp(function, "kmrGetHsmHandle") == 0 ? 1000 + err : -1;
}

TEST(KmrGetHsmHandle, CopiesTheLibraryHandleOrReportsTheTranslatedErrno) {
  ScratchFile file;
  DmHandle got;
  ASSERT_EQ(0, kmrGetHsmHandle(file.path(), &got));
  void* hanp;
  size_t hlen;
  ASSERT_EQ(0, dm_path_to_handle(const_cast<char*>(file.path()), &hanp, &hlen));
  EXPECT_EQ(hlen, got.size());
  EXPECT_EQ(0, memcmp(hanp, got.data(), hlen));
  dm_handle_free(hanp, hlen);

  HsmLayerEnv previous = hsmInstallEnv({.translateErrno = translate});
  EXPECT_EQ(1000 + ENOENT, kmrGetHsmHandle("/tmp/no/such/file", &got));
  EXPECT_EQ(ENOENT, g_translatedErr);
  hsmInstallEnv(previous);
}

TEST(HandleText, HexFormsSeparatorsAndLimits) {
  unsigned char twelve[12] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
  xdsm_handle_t h{twelve, sizeof twelve};
  EXPECT_STREQ("A0A1A2A3A4A5A6A7-A8A9AAAB", handleHexString(h));

  unsigned char forty[40];
  for (int i = 0; i < 40; ++i) forty[i] = static_cast<unsigned char>(i);
  xdsm_handle_t big{forty, 32};
  std::string text = handleHexString(big);
  EXPECT_EQ("0001020304050607-08090A0B0C0D0E0F-1011121314151617-18191A1B1C1D1E1F", text);
  xdsm_handle_t tooBig{forty, 40};
  EXPECT_EQ(text, handleHexString(tooBig));

  char out[69];
  EXPECT_EQ(0, handleToHexString(h, out, 68));
  EXPECT_EQ(0, handleToHexString(tooBig, out, sizeof out));
  ASSERT_EQ(1, handleToHexString(h, out, sizeof out));
  EXPECT_STREQ("A0A1A2A3A4A5A6A7A8A9AAAB", out);

  EXPECT_EQ("1F", dmiSessionIDToString(0x1F));
  EXPECT_EQ("ABC-12", dmiTokenToString(dm_token_t{0xABC, 0x12}));
  EXPECT_STREQ("DM_RIGHT_NULL", dmiRightToString(DM_RIGHT_NULL));
  EXPECT_STREQ("DM_RIGHT_SHARED", dmiRightToString(DM_RIGHT_SHARED));
  EXPECT_STREQ("DM_RIGHT_EXCL", dmiRightToString(DM_RIGHT_EXCL));
  EXPECT_STREQ("DM_RIGHT_UNKNOWN", dmiRightToString(static_cast<dm_right_t>(7)));
}

TEST(HandleCopies, CopyCompareAndFree) {
  unsigned char raw[5] = {9, 8, 7, 6, 5};
  xdsm_handle_t h;
  handleInit(&h);
  EXPECT_EQ(1, handleIsNull(h));
  EXPECT_EQ(0, handleIsValid(h));
  ASSERT_EQ(1, handleSetWithString(&h, raw, sizeof raw));
  EXPECT_NE(static_cast<void*>(raw), h.hanp);
  unsigned char copy[8] = {};
  EXPECT_EQ(5u, handleCopy(h, copy));
  EXPECT_EQ(0, memcmp(copy, raw, 5));
  EXPECT_EQ(0u, handleCopy(h, nullptr));
  xdsm_handle_t same{raw, sizeof raw};
  EXPECT_EQ(0, handleCompare(h, same));
  raw[4] = 6;
  EXPECT_NE(0, handleCompare(h, same));
  handleFree(&h);
  EXPECT_EQ(nullptr, h.hanp);
  EXPECT_EQ(0u, h.hlen);
}

}  // namespace
