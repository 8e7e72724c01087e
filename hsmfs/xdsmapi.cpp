// The process-wide DMAPI access object and its direct variant.
#include "hsmfs/xdsmapi.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/trace.h"

namespace {

// The errno of the calling thread's last failed DMAPI call: each worker that
// recreates stubs reads its own, never another's.
thread_local int t_lastErrno = 0;

// The instance outlives static destruction on purpose: the exit clean-up
// still destroys the session through it.
std::unique_ptr<XDSMAPI>& instanceSlot() {
  static auto* slot = new std::unique_ptr<XDSMAPI>();
  return *slot;
}

const char* const kBuiltOnVersion = "ORCA DMAPI 3.30";

dm_attrname_t attrNameOf(const char* text) {
  dm_attrname_t name;
  memset(&name, 0, sizeof name);
  // Attribute names are zero-padded, not zero-terminated, when 8 bytes long.
  if (text) memcpy(name.an_chars, text, strnlen(text, DM_ATTR_NAME_SIZE));
  return name;
}

void traceCall(const char* name, const char* function, dm_sessid_t sid, dm_token_t token,
               const xdsm_handle_t* handle) {
  if (!TR_SMXDSMDETAIL) return;
  TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSMDETAIL, "(%s): %s, sid: %s, token: %s, handle: %s\n", name,
                                function, dmiSessionIDToString(sid).c_str(),
                                dmiTokenToString(token).c_str(),
                                handle ? handleHexString(*handle) : "<NA>");
}

}  // namespace

// ---- XDSMAPI ---------------------------------------------------------------------

struct XDSMAPI::State {
  int initialized = 0;
  dm_boolean_t directAccess = DM_FALSE;
  dm_sessid_t sid = DM_NO_SESSION;
  pid_t sessionPid = 0;
};

XDSMAPI* XDSMAPI::getXDSMAPI() {
  auto& slot = instanceSlot();
  // Only the direct variant exists; ordinary users get it as well and meet
  // the kernel's own permission checks (trusted attributes need root).
  if (!slot) slot = std::make_unique<RXDSMAPI>();
  return slot.get();
}

std::unique_ptr<XDSMAPI> XDSMAPI::replaceInstance(std::unique_ptr<XDSMAPI> instance) {
  std::unique_ptr<XDSMAPI> previous = std::move(instanceSlot());
  instanceSlot() = std::move(instance);
  return previous;
}

XDSMAPI::XDSMAPI(dm_boolean_t directAccess) { init(directAccess); }
XDSMAPI::~XDSMAPI() = default;

void XDSMAPI::init(dm_boolean_t directAccess) {
  m_state = std::make_unique<State>();
  m_state->directAccess = directAccess;
  // The privileged service daemon is the service: it needs no initialisation.
  const char* me = hsmWhoAmI();
  if (me && strcmp(me, "kmrrootd") == 0) m_state->initialized = 1;
}

int XDSMAPI::isInitialized() const { return m_state->initialized; }
dm_sessid_t XDSMAPI::getSID() const { return m_state ? m_state->sid : DM_NO_SESSION; }
void XDSMAPI::setSID(dm_sessid_t sid) { m_state->sid = sid; }
dm_boolean_t XDSMAPI::getRoot() const { return m_state->directAccess; }
int XDSMAPI::getLastErrno() const { return t_lastErrno; }
void XDSMAPI::setLastErrno(int e) { t_lastErrno = e; }
void XDSMAPI::markInitialized() { m_state->initialized = 1; }

void XDSMAPI::rememberSession(dm_sessid_t sid) {
  m_state->sid = sid;
  m_state->sessionPid = getpid();
}

int XDSMAPI::haveService(const char* callerName) const {
  if (m_state->initialized) return 1;
  TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "%s: DMAPI service is not initialized\n", callerName);
  return 0;
}

int XDSMAPI::precheck(const char* name, dm_sessid_t sid, const xdsm_handle_t* handle,
                      std::initializer_list<const void*> outputs) const {
  if (!haveService(name)) {
    errno = ENXIO;
    return 0;
  }
  if (handle && !handleIsValid(*handle)) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "%s: ERROR invalid handle\n", name);
    errno = EINVAL;
    return 0;
  }
  if (sid == DM_NO_SESSION) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "%s: ERROR aSid == DM_NO_SESSION\n", name);
    errno = EINVAL;
    return 0;
  }
  for (const void* out : outputs) {
    if (!out) {
      TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "%s: ERROR null pointer\n", name);
      errno = EINVAL;
      return 0;
    }
  }
  return 1;
}

int XDSMAPI::finish(const char* name, int rc) {
  int err = errno;
  if (rc == -1) t_lastErrno = err;
  const unsigned char flag = rc == -1 ? TR_SMXDSM : TR_SMXDSMDETAIL;
  if (flag) {
    // name is "<class>::<dm function>": the line reads "(<class>): <function>, ...".
    const char* sep = strstr(name, "::");
    int classLen = sep ? static_cast<int>(sep - name) : static_cast<int>(strlen(name));
    TRACE_Fkt(__FILE__, __LINE__)(flag, "(%.*s): %s, rc: %d, errno: %d\n", classLen, name,
                                  sep ? sep + 2 : name, rc, rc == -1 ? err : 0);
  }
  errno = err;
  return rc == -1 ? 0 : 1;
}

// Each wrapper: the frame's checks, one call, the result in the frame.
#define XDSM_FRAME(function, sid, handlePtr, token, ...)         \
  static const char* const kName = "XDSMAPI::" #function;        \
  if (!precheck(kName, sid, handlePtr, {__VA_ARGS__})) return 0; \
  traceCall(kName, #function, sid, token, handlePtr)

int XDSMAPI::queryRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token,
                        dm_right_t* rightOut) {
  XDSM_FRAME(dm_query_right, sid, &handle, token, rightOut);
  return finish(kName, dm_query_right(sid, handle.hanp, handle.hlen, token, rightOut));
}

int XDSMAPI::getRegion(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                       dm_region_t* regions, unsigned* countOut) {
  XDSM_FRAME(dm_get_region, sid, &handle, token, countOut);
  return finish(kName,
                dm_get_region(sid, handle.hanp, handle.hlen, token, count, regions, countOut));
}

int XDSMAPI::getAllDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, size_t length,
                          void* buffer, size_t* lengthOut) {
  XDSM_FRAME(dm_getall_dmattr, sid, &handle, token, lengthOut);
  return finish(kName,
                dm_getall_dmattr(sid, handle.hanp, handle.hlen, token, length, buffer, lengthOut));
}

int XDSMAPI::getEventList(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                          dm_eventset_t* events, unsigned* countOut) {
  XDSM_FRAME(dm_get_eventlist, sid, &handle, token, events, countOut);
  return finish(kName,
                dm_get_eventlist(sid, handle.hanp, handle.hlen, token, count, events, countOut));
}

int XDSMAPI::setEventList(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token,
                          dm_eventset_t* events, unsigned maxEvent) {
  XDSM_FRAME(dm_set_eventlist, sid, &handle, token, events);
  return finish(kName, dm_set_eventlist(sid, handle.hanp, handle.hlen, token, events, maxEvent));
}

int XDSMAPI::setDisp(dm_sessid_t sid, xdsm_handle_t fsHandle, dm_token_t token,
                     dm_eventset_t* events, unsigned maxEvent) {
  XDSM_FRAME(dm_set_disp, sid, &fsHandle, token, events);
  return finish(kName, dm_set_disp(sid, fsHandle.hanp, fsHandle.hlen, token, events, maxEvent));
}

int XDSMAPI::getConfig(xdsm_handle_t handle, dm_config_t name, dm_size_t* valueOut) {
  // No session is involved, so the frame checks only service and arguments.
  static const char* const kName = "XDSMAPI::dm_get_config";
  if (!haveService(kName)) {
    errno = ENXIO;
    return 0;
  }
  if (!handleIsValid(handle) || !valueOut) {
    errno = EINVAL;
    return 0;
  }
  return finish(kName, dm_get_config(handle.hanp, handle.hlen, name, valueOut));
}

int XDSMAPI::getConfigEvents(xdsm_handle_t handle, unsigned count, dm_eventset_t* events,
                             unsigned* countOut) {
  static const char* const kName = "XDSMAPI::dm_get_config_events";
  if (!haveService(kName)) {
    errno = ENXIO;
    return 0;
  }
  if (!handleIsValid(handle) || !events || !countOut) {
    errno = EINVAL;
    return 0;
  }
  return finish(kName, dm_get_config_events(handle.hanp, handle.hlen, count, events, countOut));
}

int XDSMAPI::syncByHandle(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token) {
  XDSM_FRAME(dm_sync_by_handle, sid, &handle, token);
  return finish(kName, dm_sync_by_handle(sid, handle.hanp, handle.hlen, token));
}

int XDSMAPI::writeInvis(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, int flags,
                        dm_off_t offset, dm_size_t length, void* buffer, dm_ssize_t* lengthOut) {
  XDSM_FRAME(dm_write_invis, sid, &handle, token, buffer, lengthOut);
  dm_ssize_t n =
      dm_write_invis(sid, handle.hanp, handle.hlen, token, flags, offset, length, buffer);
  if (n >= 0) *lengthOut = n;
  return finish(kName, n < 0 ? -1 : 0);
}

int XDSMAPI::querySession(dm_sessid_t sid, size_t length, void* buffer, size_t* lengthOut) {
  XDSM_FRAME(dm_query_session, sid, nullptr, DM_NO_TOKEN, lengthOut);
  return finish(kName, dm_query_session(sid, length, buffer, lengthOut));
}

int XDSMAPI::getAllSessions(unsigned count, dm_sessid_t* sids, unsigned* countOut) {
  static const char* const kName = "XDSMAPI::dm_getall_sessions";
  if (!haveService(kName)) {
    errno = ENXIO;
    return 0;
  }
  if (!countOut) {
    errno = EINVAL;
    return 0;
  }
  return finish(kName, dm_getall_sessions(count, sids, countOut));
}

int XDSMAPI::getAllocInfo(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t* offset,
                          unsigned count, dm_extent_t* extents, unsigned* countOut) {
  XDSM_FRAME(dm_get_allocinfo, sid, &handle, token, offset, extents, countOut);
  return finish(kName, dm_get_allocinfo(sid, handle.hanp, handle.hlen, token, offset, count,
                                        extents, countOut));
}

// ---- RXDSMAPI ---------------------------------------------------------------------

RXDSMAPI::RXDSMAPI() : XDSMAPI(DM_TRUE) {}

int dmiIsSupportedVersion(const char* version) {
  if (!version) return 0;
  if (strcmp(version, "ORCA DMAPI 3.20") == 0 || strcmp(version, "ORCA DMAPI 3.30") == 0) return 1;
  return (strcmp(version, "ORCA DMAPI 3.40") == 0 && TEST_HSM_ORCA_34.set) ? 1 : 0;
}

int RXDSMAPI::initService() {
  TREnterExit<char> ee(__FILE__, __LINE__, "RXDSMAPI::initService()");
  if (isInitialized()) return 1;
  char* version = nullptr;
  if (dm_init_service(&version) == -1) {
    int err = errno == EACCES ? EPERM : errno;
    setLastErrno(err);
    TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "(%s): dm_init_service, rc: -1, errno: %d\n",
                                  "RXDSMAPI::initService", err);
    errno = err;
    return 0;
  }
  if (!dmiIsSupportedVersion(version)) {
    TRACE_Fkt(__FILE__, __LINE__)(
        TR_SMXDSM,
        "(%s): unsupported DMAPI version: runtime '%s', built on '%s', supported 'ORCA DMAPI "
        "3.20', 'ORCA DMAPI 3.30'\n",
        "RXDSMAPI::initService", version ? version : "", kBuiltOnVersion);
    errno = EINVAL;
    return 0;
  }
  markInitialized();
  return 1;
}

dm_sessid_t RXDSMAPI::createSession(dm_sessid_t oldSid, const char* sessionInfo, int force) {
  static const char* const kName = "RXDSMAPI::createSession";
  TREnterExit<char> ee(__FILE__, __LINE__, kName);
  if (!haveService(kName)) {
    errno = ENXIO;
    return DM_NO_SESSION;
  }
  if (getSID() != DM_NO_SESSION && force != 1) return getSID();
  std::string info = sessionInfo ? sessionInfo : std::to_string(getpid());
  if (info.size() > DM_SESSION_INFO_LEN - 1) info.resize(DM_SESSION_INFO_LEN - 1);
  dm_sessid_t newSid = DM_NO_SESSION;
  TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSMDETAIL, "(%s): dm_create_session, old sid: %s, info: %s\n",
                                kName, dmiSessionIDToString(oldSid).c_str(), info.c_str());
  if (!finish("RXDSMAPI::dm_create_session", dm_create_session(oldSid, info.data(), &newSid)))
    return DM_NO_SESSION;
  rememberSession(newSid);
  return newSid;
}

int RXDSMAPI::destroySession(dm_sessid_t sid) {
  XDSM_FRAME(dm_destroy_session, sid, nullptr, DM_NO_TOKEN);
  return finish(kName, dm_destroy_session(sid));
}

int RXDSMAPI::getAllTokens(dm_sessid_t sid, unsigned count, dm_token_t* tokens,
                           unsigned* countOut) {
  XDSM_FRAME(dm_getall_tokens, sid, nullptr, DM_NO_TOKEN, countOut);
  return finish(kName, dm_getall_tokens(sid, count, tokens, countOut));
}

int RXDSMAPI::setDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token,
                        const char* attrName, int setdtime, size_t length, const void* buffer) {
  XDSM_FRAME(dm_set_dmattr, sid, &handle, token, attrName, buffer);
  dm_attrname_t name = attrNameOf(attrName);
  return finish(kName, dm_set_dmattr(sid, handle.hanp, handle.hlen, token, &name, setdtime, length,
                                     const_cast<void*>(buffer)));
}

int RXDSMAPI::getDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token,
                        const char* attrName, size_t length, void* buffer, size_t* lengthOut) {
  XDSM_FRAME(dm_get_dmattr, sid, &handle, token, attrName, buffer, lengthOut);
  dm_attrname_t name = attrNameOf(attrName);
  return finish(
      kName, dm_get_dmattr(sid, handle.hanp, handle.hlen, token, &name, length, buffer, lengthOut));
}

int RXDSMAPI::removeDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, int setdtime,
                           const char* attrName) {
  XDSM_FRAME(dm_remove_dmattr, sid, &handle, token, attrName);
  dm_attrname_t name = attrNameOf(attrName);
  return finish(kName, dm_remove_dmattr(sid, handle.hanp, handle.hlen, token, setdtime, &name));
}

int RXDSMAPI::probeHole(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                        dm_size_t length, dm_off_t* roffOut, dm_size_t* rlenOut) {
  XDSM_FRAME(dm_probe_hole, sid, &handle, token, roffOut, rlenOut);
  return finish(
      kName, dm_probe_hole(sid, handle.hanp, handle.hlen, token, offset, length, roffOut, rlenOut));
}

int RXDSMAPI::punchHole(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                        dm_size_t length) {
  XDSM_FRAME(dm_punch_hole, sid, &handle, token);
  return finish(kName, dm_punch_hole(sid, handle.hanp, handle.hlen, token, offset, length));
}

int RXDSMAPI::requestRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned flags,
                           dm_right_t right) {
  XDSM_FRAME(dm_request_right, sid, &handle, token);
  return finish(kName, dm_request_right(sid, handle.hanp, handle.hlen, token, flags, right));
}

int RXDSMAPI::releaseRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token) {
  XDSM_FRAME(dm_release_right, sid, &handle, token);
  return finish(kName, dm_release_right(sid, handle.hanp, handle.hlen, token));
}

int RXDSMAPI::getFileAttr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned mask,
                          dm_stat_t* statOut) {
  XDSM_FRAME(dm_get_fileattr, sid, &handle, token, statOut);
  return finish(kName, dm_get_fileattr(sid, handle.hanp, handle.hlen, token, mask, statOut));
}

int RXDSMAPI::setFileAttr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned mask,
                          dm_fileattr_t* attr) {
  XDSM_FRAME(dm_set_fileattr, sid, &handle, token, attr);
  return finish(kName, dm_set_fileattr(sid, handle.hanp, handle.hlen, token, mask, attr));
}

int RXDSMAPI::readInvis(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                        dm_size_t length, void* buffer, dm_ssize_t* lengthOut) {
  XDSM_FRAME(dm_read_invis, sid, &handle, token, buffer, lengthOut);
  dm_ssize_t n = dm_read_invis(sid, handle.hanp, handle.hlen, token, offset, length, buffer);
  if (n >= 0) *lengthOut = n;
  return finish(kName, n < 0 ? -1 : 0);
}

int RXDSMAPI::setRegion(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                        dm_region_t* regions, dm_boolean_t* exactFlagOut) {
  XDSM_FRAME(dm_set_region, sid, &handle, token);
  if (count > 0 && !regions) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_SMXDSM, "%s: ERROR null pointer\n", kName);
    errno = EINVAL;
    return 0;
  }
  dm_boolean_t exact = DM_FALSE;
  int rc = dm_set_region(sid, handle.hanp, handle.hlen, token, count, regions, &exact);
  if (exactFlagOut) *exactFlagOut = exact;
  return finish(kName, rc);
}

int RXDSMAPI::getEvents(dm_sessid_t sid, unsigned maxMessages, unsigned flags, size_t length,
                        void* buffer, size_t* lengthOut) {
  XDSM_FRAME(dm_get_events, sid, nullptr, DM_NO_TOKEN, buffer, lengthOut);
  return finish(kName, dm_get_events(sid, maxMessages, flags, length, buffer, lengthOut));
}

int RXDSMAPI::respondEvent(dm_sessid_t sid, dm_token_t token, dm_response_t response,
                           int reterror) {
  XDSM_FRAME(dm_respond_event, sid, nullptr, token);
  return finish(kName, dm_respond_event(sid, token, response, reterror, 0, nullptr));
}

int RXDSMAPI::createUserEvent(dm_sessid_t sid, size_t messageLength, void* message,
                              dm_token_t* tokenOut) {
  XDSM_FRAME(dm_create_userevent, sid, nullptr, DM_NO_TOKEN, tokenOut);
  return finish(kName, dm_create_userevent(sid, messageLength, message, tokenOut));
}

#undef XDSM_FRAME
