// The DMAPI helpers with policy: right requests with back-off, event
// responses, session clean-up and the handle lookup for the server layer.
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/xdsmapi.h"

namespace {

// A pause longer than this many whole seconds starts the back-off anew.
constexpr unsigned kBackoffResetSeconds = 30;

bool worthRetrying(int err) { return err == EAGAIN || err == EINTR || err == EBUSY; }

// Abort rather than continue: a token left over from a read or write event
// would otherwise let the caller see a stub's empty blocks as data.
void answerAll(XDSMAPI* api, dm_sessid_t sid, const dm_token_t* tokens, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    if (!api->respondEvent(sid, tokens[i], DM_RESP_ABORT, EIO))
      TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM,
                                    "dmiClearAllToken: respond to token %s failed, errno %d\n",
                                    dmiTokenToString(tokens[i]).c_str(), errno);
  }
}

void dmiClearAllToken(XDSMAPI* api, dm_sessid_t sid) {
  std::vector<dm_token_t> tokens(16);
  for (;;) {
    unsigned count = 0;
    if (api->getAllTokens(sid, static_cast<unsigned>(tokens.size()), tokens.data(), &count)) {
      answerAll(api, sid, tokens.data(), count);
      return;
    }
    if (errno != E2BIG) {
      TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "dmiClearAllToken: getAllTokens failed, errno %d\n",
                                    errno);
      return;
    }
    tokens.resize(count > tokens.size() ? count : tokens.size() * 2);
  }
}

void dmiClearEvents(XDSMAPI* api, dm_sessid_t sid) {
  std::vector<char> buffer(65536);
  // Bounded: every round answers what it fetched, so the queue only shrinks.
  for (int round = 0; round < 1024; ++round) {
    size_t length = 0;
    if (!api->getEvents(sid, 64, 0, buffer.size(), buffer.data(), &length) || length == 0) return;
    auto* msg = reinterpret_cast<dm_eventmsg_t*>(buffer.data());
    while (msg) {
      if (!api->respondEvent(sid, msg->ev_token, DM_RESP_ABORT, EIO))
        TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "dmiClearEvents: respond failed, errno %d\n",
                                      errno);
      msg = DM_STEP_TO_NEXT(msg, dm_eventmsg_t*);
    }
  }
}

}  // namespace

dm_sessid_t dmiGetSid() { return XDSMAPI::getXDSMAPI()->getSID(); }

int dmiRequestRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_right_t right,
                    int maxTries, const char* callerName) {
  TREnterExit<char> ee(__FILE__, __LINE__, "dmiRequestRight()");
  XDSMAPI* api = XDSMAPI::getXDSMAPI();
  const char* caller = callerName ? callerName : "";
  dm_right_t held = DM_RIGHT_NULL;
  if (api->queryRight(sid, handle, token, &held)) {
    if (held != DM_RIGHT_NULL) {
      int released = api->releaseRight(sid, handle, token);
      // The token's text is made only when the trace is on: this runs once per stub.
      TRACE(TR_SMXDSM, "(%s): released right %s on token %s: %s\n", caller, dmiRightToString(held),
            dmiTokenToString(token).c_str(), released ? "ok" : strerror(errno));
    }
  } else if (errno != ENOENT) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "(%s): queryRight failed, errno %d\n", caller, errno);
  }
  if (right == DM_RIGHT_NULL) return 0;

  int lastErr = EINVAL;
  int tries = 0;
  unsigned pause = 1;
  while (tries < maxTries) {
    ++tries;
    if (api->requestRight(sid, handle, token, DM_RR_WAIT, right)) {
      TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "(%s): got %s after %d tries\n", caller,
                                    dmiRightToString(right), tries);
      return 0;
    }
    lastErr = errno;
    if (!worthRetrying(lastErr) || tries >= maxTries) break;
    hsmEnv().rightRetryPause(pause);
    pause = (pause / 1000 > kBackoffResetSeconds) ? 1 : pause * 2;
  }
  TRACE(TR_SMXDSM, "(%s): request of %s for token %s failed, errno %d, tries %d\n", caller,
        dmiRightToString(right), dmiTokenToString(token).c_str(), lastErr, tries);
  errno = lastErr;
  return -1;
}

int dmiRespondEventOk(dm_sessid_t sid, dm_token_t token) {
  return XDSMAPI::getXDSMAPI()->respondEvent(sid, token, DM_RESP_CONTINUE, 0) ? 0 : -1;
}

int dmiRespondEventAbort(dm_sessid_t sid, dm_token_t token, int reterror) {
  if (XDSMAPI::getXDSMAPI()->respondEvent(sid, token, DM_RESP_ABORT, reterror)) return 0;
  int err = errno;
  nlfprintf(stderr, kMsg9518, hsmWhoAmI(), dmiSessionIDToString(sid).c_str(),
            dmiTokenToString(token).c_str(), strerror(err));
  errno = err;
  return -1;
}

int dmiCloseSession(dm_sessid_t sid) {
  TREnterExit<char> ee(__FILE__, __LINE__, "dmiCloseSession()");
  if (sid == DM_NO_SESSION || sid == ~static_cast<dm_sessid_t>(0)) return 0;
  XDSMAPI* api = XDSMAPI::getXDSMAPI();
  if (api->destroySession(sid)) return 0;
  if (errno != EBUSY) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM,
                                  "dmiCloseSession: destroy of session %s failed, errno %d\n",
                                  dmiSessionIDToString(sid).c_str(), errno);
    return -1;
  }
  dmiClearAllToken(api, sid);
  dmiClearEvents(api, sid);
  if (api->destroySession(sid)) return 0;
  TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM,
                                "dmiCloseSession: second destroy of session %s failed, errno %d\n",
                                dmiSessionIDToString(sid).c_str(), errno);
  return -1;
}

int kmrDestroySession(dm_sessid_t sid) {
  XDSMAPI* api = XDSMAPI::getXDSMAPI();
  dm_sessid_t target = sid != DM_NO_SESSION ? sid : api->getSID();
  int rc = dmiCloseSession(target);
  if (rc == 0 && target == api->getSID()) api->setSID(DM_NO_SESSION);
  return rc;
}

int kmrGetHsmHandle(const char* fullName, DmHandle* out) {
  auto failWith = [](int err) {
    errno = err;
    return hsmEnv().translateErrno(err, "kmrGetHsmHandle");
  };
  if (!fullName || !out) return failWith(EINVAL);
  OwnedHandle handle;
  if (!handleSetWithPath(handle.out(), fullName)) return failWith(errno);
  if (handle.get().hlen > kMaxHandleLen) return failWith(EOVERFLOW);
  *out = handleValue(handle.get());
  return 0;
}
