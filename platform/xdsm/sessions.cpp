// Sessions, tokens, rights and user events, kept in the calling process.
//
// A token is created by dm_create_userevent and lives until dm_respond_event.
// Rights are held per token and object (the object named by its handle
// bytes); two tokens conflict on an object when either wants or holds the
// exclusive right. Rights are not seen by other processes: Linux has no
// place to keep them, and docs/xdsm.md says so.
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "xdsm_internal.h"

namespace xdsm {
namespace {

using TokenKey = std::pair<uint64_t, uint64_t>;

// An object a token opened (or borrowed from its caller) for its work.
struct OpenedObject {
  std::shared_ptr<UniqueFd> owned;  // null when the caller's descriptor is borrowed
  int fd = -1;
  bool writable = false;
  // The status taken when it was opened or borrowed: the first call that
  // works on it may use it, later calls look again when they need to.
  bool fresh = false;
  struct statx stx {};
};

// Keyed by handle bytes; looked up by a view of the caller's handle, so a
// call allocates no key.
using RightMap = std::map<std::string, dm_right_t, std::less<>>;

struct Token {
  dm_sessid_t sid = DM_NO_SESSION;
  RightMap rights;
  std::map<std::string, OpenedObject, std::less<>> opened;  // by handle bytes; closed with the token
};

struct Session {
  std::string info;
  std::map<uint64_t, dm_eventset_t> dispositions;            // by file system id
  std::map<uint64_t, std::shared_ptr<UniqueFd>> mountDirs;  // by file system id
};

struct Registry {
  std::mutex mutex;
  std::condition_variable rightsChanged;
  std::map<dm_sessid_t, Session> sessions;
  std::map<TokenKey, Token> tokens;
  uint64_t nextSession = 1;
  uint64_t nextToken = 1;
};

Registry& registry() {
  static Registry* r = new Registry;  // lives for the whole process, also during exit handlers
  return *r;
}

TokenKey keyOf(dm_token_t token) { return {token.high, token.low}; }

std::string_view objectKey(const void* hanp, size_t hlen) {
  return std::string_view(static_cast<const char*>(hanp), hlen);
}

// Called with the registry locked.
Token* findToken(Registry& r, dm_sessid_t sid, dm_token_t token) {
  auto it = r.tokens.find(keyOf(token));
  if (it == r.tokens.end() || it->second.sid != sid) return nullptr;
  return &it->second;
}

// Runs `change(rights, held)` under the registry's lock on the rights of
// the token a call names and its entry for the object (end() when it has
// none); returns its result. -1 with errno EINVAL (bad handle, unknown
// session) or ESRCH (token not of the session) before that.
template <typename Change>
int onHeldRight(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, Change change) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!dm_handle_is_valid(hanp, hlen) || !r.sessions.count(sid)) return fail(EINVAL);
  Token* tok = findToken(r, sid, token);
  if (!tok) return fail(ESRCH);
  const int rc = change(tok->rights, tok->rights.find(objectKey(hanp, hlen)));
  r.rightsChanged.notify_all();
  return rc;
}

bool conflicts(Registry& r, const TokenKey& self, std::string_view object, dm_right_t wanted) {
  for (auto& [key, tok] : r.tokens) {
    if (key == self) continue;
    auto held = tok.rights.find(object);
    if (held == tok.rights.end() || held->second == DM_RIGHT_NULL) continue;
    if (wanted == DM_RIGHT_EXCL || held->second == DM_RIGHT_EXCL) return true;
  }
  return false;
}

}  // namespace

int checkSession(dm_sessid_t sid) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.sessions.count(sid) ? 0 : fail(EINVAL);
}

namespace {

// checkAccess with the registry locked and the handle checked.
int checkAccessLocked(Registry& r, dm_sessid_t sid, const void* hanp, size_t hlen, dm_token_t token,
                      dm_right_t needed) {
  if (!r.sessions.count(sid)) return fail(EINVAL);
  if (token == DM_NO_TOKEN) return 0;
  Token* tok = findToken(r, sid, token);
  if (!tok) return fail(ESRCH);
  auto held = tok->rights.find(objectKey(hanp, hlen));
  if (held == tok->rights.end() || held->second < needed) return fail(EACCES);
  return 0;
}

}  // namespace

int checkAccess(dm_sessid_t sid, const void* hanp, size_t hlen, dm_token_t token,
                dm_right_t needed) {
  if (!dm_handle_is_valid(const_cast<void*>(hanp), hlen)) return fail(EINVAL);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return checkAccessLocked(r, sid, hanp, hlen, token, needed);
}

namespace {

// Under the registry's lock: the session's open mount point of fsid, if any.
std::shared_ptr<UniqueFd> knownMountDir(Registry& r, dm_sessid_t sid, uint64_t fsid) {
  auto session = r.sessions.find(sid);
  if (session == r.sessions.end()) return nullptr;
  auto it = session->second.mountDirs.find(fsid);
  return it == session->second.mountDirs.end() ? nullptr : it->second;
}

// The session's mount point of fsid, opened on first use. Opening happens
// outside the lock; when two threads race, the first one kept wins.
int sessionMountDir(dm_sessid_t sid, uint64_t fsid, std::shared_ptr<UniqueFd>* out) {
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if ((*out = knownMountDir(r, sid, fsid))) return 0;
  }
  auto fd = std::make_shared<UniqueFd>();
  if (openMountDir(fsid, fd.get()) != 0) return -1;
  std::lock_guard<std::mutex> lock(r.mutex);
  auto session = r.sessions.find(sid);
  if (session == r.sessions.end()) return fail(EINVAL);  // destroyed meanwhile
  *out = session->second.mountDirs.emplace(fsid, std::move(fd)).first->second;
  return 0;
}

// Under the registry's lock: the object the token keeps, if it has one good
// enough for the call (nullptr otherwise).
OpenedObject* keptObject(Registry& r, dm_sessid_t sid, dm_token_t token, std::string_view object,
                         bool writable) {
  if (token == DM_NO_TOKEN) return nullptr;
  Token* tok = findToken(r, sid, token);
  if (!tok) return nullptr;
  auto it = tok->opened.find(object);
  if (it == tok->opened.end() || (writable && !it->second.writable)) return nullptr;
  return &it->second;
}

bool holdsExclusive(Registry& r, dm_sessid_t sid, dm_token_t token, std::string_view object) {
  if (token == DM_NO_TOKEN) return false;
  Token* tok = findToken(r, sid, token);
  if (!tok) return false;
  auto held = tok->rights.find(object);
  return held != tok->rights.end() && held->second == DM_RIGHT_EXCL;
}

void keepObject(Registry& r, dm_sessid_t sid, dm_token_t token, std::string_view object,
                const OpenedObject& opened) {
  if (token == DM_NO_TOKEN) return;
  Token* tok = findToken(r, sid, token);
  if (!tok) return;  // answered meanwhile: this call owns it alone
  auto it = tok->opened.find(object);
  if (it != tok->opened.end())
    it->second = opened;
  else
    tok->opened.emplace(std::string(object), opened);
}

}  // namespace

int openCheckedObject(dm_sessid_t sid, const void* hanp, size_t hlen, dm_token_t token, dm_right_t needed,
                      bool writable, ObjectFd* out) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h)) return fail(EINVAL);
  if (!dm_handle_is_valid(const_cast<void*>(hanp), hlen)) return fail(EINVAL);
  const std::string_view object = objectKey(hanp, hlen);
  Registry& r = registry();
  OpenedObject obj;
  bool kept = false;
  bool mayWrite = writable;
  {
    // One lock for the access check and the token's kept object.
    std::lock_guard<std::mutex> lock(r.mutex);
    if (checkAccessLocked(r, sid, hanp, hlen, token, needed) != 0) return -1;
    if (OpenedObject* k = keptObject(r, sid, token, object, writable)) {
      obj = *k;
      k->fresh = false;
      kept = true;
    }
    mayWrite = writable || holdsExclusive(r, sid, token, object);
  }
  if (!kept) {
    std::shared_ptr<UniqueFd> mount;
    if (sessionMountDir(sid, h.fsid, &mount) != 0) return -1;
    obj.owned = std::make_shared<UniqueFd>();
    // A token with the exclusive right is about to change the object: it
    // opens it for writing at once, so its writing calls need no second
    // open. Where writing is refused (read-only mount, running program),
    // a call that only reads goes on with a read-only descriptor.
    obj.writable = mayWrite;
    int rc = openForWorkAt(mount->get(), h, obj.writable, obj.owned.get(), &obj.stx);
    if (rc != 0 && obj.writable && !writable && (errno == EROFS || errno == ETXTBSY || errno == EACCES ||
                                                 errno == EPERM)) {
      obj.writable = false;
      rc = openForWorkAt(mount->get(), h, false, obj.owned.get(), &obj.stx);
    }
    if (rc != 0) return -1;
    // An open descriptor outlives the name, and the kernel may still find
    // a removed inode by its handle: the handle of a removed object is
    // stale, and a token never takes such an object.
    if (obj.stx.stx_nlink == 0) return fail(ESTALE);
    obj.fd = obj.owned->get();
    obj.fresh = true;
    OpenedObject keptCopy = obj;
    keptCopy.fresh = false;  // this call uses the status taken now
    std::lock_guard<std::mutex> lock(r.mutex);
    keepObject(r, sid, token, object, keptCopy);
  }
  out->owned_ = std::move(obj.owned);
  out->fd_ = obj.fd;
  out->current_ = obj.fresh;
  out->stx_ = obj.stx;
  return 0;
}

int ObjectFd::refresh() {
  if (current_) return 0;
  if (statx(fd_, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &stx_) != 0) return -1;
  current_ = true;
  return 0;
}

int keepCallersObject(dm_sessid_t sid, dm_token_t token, const void* hanp, size_t hlen, int fd,
                      const struct statx& stx) {
  if (!S_ISREG(stx.stx_mode) && !S_ISDIR(stx.stx_mode)) return fail(EINVAL);
  if (token == DM_NO_TOKEN) return fail(EINVAL);
  // The descriptor's access mode is the caller's promise, not looked at
  // here: a call of the token that needs more than it grants fails as the
  // descriptor does (EBADF).
  OpenedObject obj;
  obj.fd = fd;
  obj.writable = S_ISREG(stx.stx_mode);
  obj.fresh = true;
  obj.stx = stx;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.sessions.count(sid)) return fail(EINVAL);
  if (!findToken(r, sid, token)) return fail(ESRCH);
  keepObject(r, sid, token, objectKey(hanp, hlen), obj);
  return 0;
}

}  // namespace xdsm

using namespace xdsm;

extern "C" {

int dm_init_service(char** versionstrpp) {
  static char version[] = "ORCA DMAPI 3.30";
  if (!versionstrpp) return fail(EFAULT);
  *versionstrpp = version;
  return 0;
}

int dm_get_config(void* hanp, size_t hlen, dm_config_t flagname, dm_size_t* retvalp) {
  if (!dm_handle_is_valid(hanp, hlen)) return fail(EINVAL);
  if (!retvalp) return fail(EFAULT);
  switch (flagname) {
    case DM_CONFIG_MAX_ATTRIBUTE_SIZE: *retvalp = DM_MAX_ATTR_VALUE; return 0;
    case DM_CONFIG_MAX_HANDLE_SIZE: *retvalp = DM_MAX_HANDLE_SIZE; return 0;
    case DM_CONFIG_MAX_MANAGED_REGIONS: *retvalp = DM_MAX_REGIONS; return 0;
    case DM_CONFIG_MAX_MESSAGE_DATA: *retvalp = DM_MAX_USERMSG; return 0;
    case DM_CONFIG_PERS_ATTRIBUTES:
    case DM_CONFIG_PERS_EVENTS:
    case DM_CONFIG_PERS_MANAGED_REGIONS:
    case DM_CONFIG_PUNCH_HOLE:
    case DM_CONFIG_LOCK_UPGRADE: *retvalp = DM_TRUE; return 0;
    case DM_CONFIG_BULKALL:
    case DM_CONFIG_CREATE_BY_HANDLE:
    case DM_CONFIG_DTIME_OVERLOAD:
    case DM_CONFIG_LEGACY:
    case DM_CONFIG_MAX_ATTR_ON_DESTROY:
    case DM_CONFIG_OBJ_REF:
    case DM_CONFIG_PENDING:
    case DM_CONFIG_PERS_INHERIT_ATTRIBS:
    case DM_CONFIG_TOTAL_ATTRIBUTE_SPACE:
    case DM_CONFIG_WILL_RETRY: *retvalp = 0; return 0;
    default: return fail(EINVAL);
  }
}

int dm_get_config_events(void* hanp, size_t hlen, unsigned int nelem, dm_eventset_t* eventsetp,
                         unsigned int* nelemp) {
  if (!dm_handle_is_valid(hanp, hlen)) return fail(EINVAL);
  if (!eventsetp || !nelemp) return fail(EFAULT);
  // Only user events exist here; the kernel generates none.
  dm_eventset_t set = 0;
  DMEV_SET(DM_EVENT_USER, set);
  *nelemp = DM_EVENT_MAX;
  if (nelem < DM_EVENT_MAX) return fail(E2BIG);
  *eventsetp = set;
  return 0;
}

int dm_create_session(dm_sessid_t oldsid, char* sessinfop, dm_sessid_t* newsidp) {
  if (!sessinfop || !newsidp) return fail(EFAULT);
  size_t infoLen = strnlen(sessinfop, DM_SESSION_INFO_LEN);
  if (infoLen >= DM_SESSION_INFO_LEN) return fail(E2BIG);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Session session;
  if (oldsid != DM_NO_SESSION) {
    auto old = r.sessions.find(oldsid);
    if (old == r.sessions.end()) return fail(EINVAL);
    session = std::move(old->second);
    r.sessions.erase(old);
  }
  session.info.assign(sessinfop, infoLen);
  // The process id in the high word keeps ids of different processes apart
  // in traces and logs.
  dm_sessid_t sid = (static_cast<uint64_t>(getpid()) << 32) | r.nextSession++;
  for (auto& [key, tok] : r.tokens)
    if (tok.sid == oldsid && oldsid != DM_NO_SESSION) tok.sid = sid;
  r.sessions.emplace(sid, std::move(session));
  *newsidp = sid;
  return 0;
}

int dm_destroy_session(dm_sessid_t sid) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.sessions.count(sid)) return fail(EINVAL);
  for (auto& entry : r.tokens)
    if (entry.second.sid == sid) return fail(EBUSY);
  r.sessions.erase(sid);
  return 0;
}

int dm_query_session(dm_sessid_t sid, size_t buflen, void* bufp, size_t* rlenp) {
  if (!rlenp) return fail(EFAULT);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.sessions.find(sid);
  if (it == r.sessions.end()) return fail(EINVAL);
  *rlenp = it->second.info.size() + 1;
  if (buflen < *rlenp) return fail(E2BIG);
  if (!bufp) return fail(EFAULT);
  memcpy(bufp, it->second.info.c_str(), *rlenp);
  return 0;
}

int dm_getall_sessions(unsigned int nelem, dm_sessid_t* sidbufp, unsigned int* nelemp) {
  if (!nelemp) return fail(EFAULT);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  *nelemp = static_cast<unsigned>(r.sessions.size());
  if (nelem < r.sessions.size()) return fail(E2BIG);
  if (!sidbufp && *nelemp) return fail(EFAULT);
  unsigned i = 0;
  for (auto& entry : r.sessions) sidbufp[i++] = entry.first;
  return 0;
}

int dm_create_userevent(dm_sessid_t sid, size_t msglen, void* msgdatap, dm_token_t* tokenp) {
  if (!tokenp || (msglen && !msgdatap)) return fail(EFAULT);
  if (msglen > DM_MAX_USERMSG) return fail(E2BIG);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.sessions.count(sid)) return fail(EINVAL);
  dm_token_t token{sid, r.nextToken++};
  Token tok;
  tok.sid = sid;
  r.tokens.emplace(keyOf(token), std::move(tok));
  *tokenp = token;
  return 0;
}

int dm_respond_event(dm_sessid_t sid, dm_token_t token, dm_response_t response, int reterror,
                     size_t, void*) {
  if (response != DM_RESP_CONTINUE && response != DM_RESP_ABORT && response != DM_RESP_DONTCARE)
    return fail(EINVAL);
  if (response == DM_RESP_ABORT && reterror < 0) return fail(EINVAL);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.sessions.count(sid)) return fail(EINVAL);
  if (!findToken(r, sid, token)) return fail(ESRCH);
  r.tokens.erase(keyOf(token));
  r.rightsChanged.notify_all();
  return 0;
}

int dm_getall_tokens(dm_sessid_t sid, unsigned int nelem, dm_token_t* tokenbufp,
                     unsigned int* nelemp) {
  if (!nelemp) return fail(EFAULT);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.sessions.count(sid)) return fail(EINVAL);
  unsigned count = 0;
  for (auto& entry : r.tokens)
    if (entry.second.sid == sid) ++count;
  *nelemp = count;
  if (nelem < count) return fail(E2BIG);
  if (!tokenbufp && count) return fail(EFAULT);
  unsigned i = 0;
  for (auto& [key, tok] : r.tokens)
    if (tok.sid == sid) tokenbufp[i++] = dm_token_t{key.first, key.second};
  return 0;
}

int dm_request_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int flags,
                     dm_right_t right) {
  if (right != DM_RIGHT_SHARED && right != DM_RIGHT_EXCL) return fail(EINVAL);
  if (!dm_handle_is_valid(hanp, hlen)) return fail(EINVAL);
  Registry& r = registry();
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.sessions.count(sid)) return fail(EINVAL);
  if (!findToken(r, sid, token)) return fail(ESRCH);
  const std::string_view object = objectKey(hanp, hlen);
  TokenKey self = keyOf(token);
  for (;;) {
    Token* tok = findToken(r, sid, token);
    if (!tok) return fail(ESRCH);  // answered while we waited
    auto entry = tok->rights.find(object);
    if (entry == tok->rights.end()) entry = tok->rights.emplace(std::string(object), DM_RIGHT_NULL).first;
    dm_right_t& held = entry->second;
    if (held >= right) return 0;
    if (!conflicts(r, self, object, right)) {
      held = right;
      return 0;
    }
    if (!(flags & DM_RR_WAIT)) return fail(EAGAIN);
    r.rightsChanged.wait(lock);
  }
}

int dm_release_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token) {
  return onHeldRight(sid, hanp, hlen, token, [](RightMap& rights, RightMap::iterator held) {
    if (held == rights.end() || held->second == DM_RIGHT_NULL) return fail(EACCES);
    rights.erase(held);
    return 0;
  });
}

int dm_query_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_right_t* rightp) {
  if (!rightp) return fail(EFAULT);
  return onHeldRight(sid, hanp, hlen, token, [rightp](RightMap& rights, RightMap::iterator held) {
    *rightp = held == rights.end() ? DM_RIGHT_NULL : held->second;
    return 0;
  });
}

int dm_upgrade_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token) {
  dm_right_t held;
  if (dm_query_right(sid, hanp, hlen, token, &held) != 0) return -1;
  if (held == DM_RIGHT_NULL) return fail(EACCES);
  return dm_request_right(sid, hanp, hlen, token, 0, DM_RIGHT_EXCL);
}

int dm_downgrade_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token) {
  return onHeldRight(sid, hanp, hlen, token, [](RightMap& rights, RightMap::iterator held) {
    if (held == rights.end() || held->second != DM_RIGHT_EXCL) return fail(EPERM);
    held->second = DM_RIGHT_SHARED;
    return 0;
  });
}

int dm_set_disp(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                dm_eventset_t* eventsetp, unsigned int maxevent) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h) || !h.isFs) return fail(EINVAL);
  if (!eventsetp) return fail(EFAULT);
  if (maxevent > DM_EVENT_MAX) return fail(EINVAL);
  if (checkAccess(sid, hanp, hlen, token, DM_RIGHT_EXCL) != 0) return -1;
  dm_eventset_t set = *eventsetp;
  if (maxevent < 64) set &= (static_cast<dm_eventset_t>(1) << maxevent) - 1;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.sessions.find(sid);
  if (it == r.sessions.end()) return fail(EINVAL);
  it->second.dispositions[h.fsid] = set;
  return 0;
}

// Linux has no channel that delivers file system events to this library, so
// the event-delivery calls report ENOSYS instead of pretending to wait.
int dm_get_events(dm_sessid_t, unsigned int, unsigned int, size_t, void*, size_t*) {
  return fail(ENOSYS);
}
int dm_find_eventmsg(dm_sessid_t, dm_token_t, size_t, void*, size_t*) { return fail(ENOSYS); }
int dm_send_msg(dm_sessid_t, dm_msgtype_t, size_t, void*) { return fail(ENOSYS); }
int dm_move_event(dm_sessid_t, dm_token_t, dm_sessid_t, dm_token_t*) { return fail(ENOSYS); }
int dm_pending(dm_sessid_t, dm_token_t, void*) { return fail(ENOSYS); }
int dm_set_return_on_destroy(dm_sessid_t, void*, size_t, dm_token_t, dm_attrname_t*, dm_boolean_t) {
  return fail(ENOSYS);
}
int dm_getall_disp(dm_sessid_t, size_t, void*, size_t*) { return fail(ENOSYS); }
int dm_get_mountinfo(dm_sessid_t, void*, size_t, dm_token_t, size_t, void*, size_t*) {
  return fail(ENOSYS);
}

}  // extern "C"
