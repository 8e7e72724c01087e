#include "hsmfs/hsmattr.h"

#include <fcntl.h>

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <list>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "hsmfs/handles.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locks.h"

namespace {

template <typename T>
void put(uint8_t* out, size_t offset, T value) {
  memcpy(out + offset, &value, sizeof value);
}
template <typename T>
T get(const uint8_t* in, size_t offset) {
  T value;
  memcpy(&value, in + offset, sizeof value);
  return value;
}

// The one list of the fields of "VOQObj" with their offsets, walked by the
// encoder and the decoder alike (machine byte order, bytes between fields zero).
template <typename Info, typename Visit>
void forEachVOQObjField(Info& info, Visit visit) {
  visit(0, info.extObjId);
  visit(28, info.fileSize);
  visit(36, info.fileValue2);
  visit(44, info.dataSizeHigh);
  visit(48, info.dataSizeLow);
  visit(52, info.keep52);
  visit(56, info.dataSizeForm);
  visit(57, info.objFlags);
  visit(58, info.keep58);
  visit(60, info.keep60);
  visit(72, info.migState);
  visit(76, info.recallMark);
  visit(88, info.migDataLen);
  visit(92, info.migData);
}
static_assert(92 + sizeof dmiInfo::migData == kVOQObjLen);

HsmAttrStore* storeOrFail() {
  HsmAttrStore* store = hsmAttrStore();
  if (!store) errno = ENXIO;
  return store;
}

std::string tokenText(HsmToken t) { return dmiTokenToString(dm_token_t{t.high, t.low}); }

// Message 9511 for a failed attribute read.
void logAttrReadFailure(uint64_t sid, const char* path, const DmHandle& h, const std::string& token,
                        int err) {
  trNlsLogPrintf(__FILE__, __LINE__, TR_SMXDSM, kMsg9511, hsmWhoAmI(), dmiSessionIDToString(sid).c_str(), path,
                 h.hex().c_str(),
                 token.c_str(), strerror(err));
  errno = err;
}

// Reads "VOQObj". 1 present, 0 absent, -1 error (logged).
int readObjRecord(uint64_t sid, const DmHandle& h, HsmToken token, dmiInfo* info) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  uint8_t buf[kVOQObjLen] = {};
  size_t got = 0;
  if (store->getDmattr(sid, h, token, kAttrObj, sizeof buf, buf, &got)) {
    *info = decodeVOQObj(buf);
    return 1;
  }
  if (dmiIsNoAttr(errno)) return 0;
  logAttrReadFailure(sid, "<NA>", h, tokenText(token), errno);
  return -1;
}

int writeObjOnce(HsmAttrStore* store, uint64_t sid, const DmHandle& h, HsmToken token,
                 const dmiInfo& info) {
  uint8_t buf[kVOQObjLen];
  encodeVOQObj(info, buf);
  return store->setDmattr(sid, h, token, kAttrObj, 0, sizeof buf, buf);
}

bool isNoSpace(int err) { return err == ENOSPC || err == ENOMEM; }

// Writes "VOQObj", emptying reserve files of the file system while space is short.
int writeObjWithReserve(HsmAttrStore* store, uint64_t sid, const DmHandle& h, HsmToken token,
                        const dmiInfo& info) {
  if (writeObjOnce(store, sid, h, token, info)) return 0;
  if (!isNoSpace(errno)) return -1;
  int err = errno;
  std::string fsName;
  if (!store->fsNameOfHandle(h, &fsName)) {
    errno = err;
    return -1;
  }
  while (isNoSpace(err)) {
    TRACE(TR_SMXDSM, "%s: Freeing 1 reserved file on %s in nospace condition\n", hsmWhoAmI(), fsName.c_str());
    if (kmrFreeFS(fsName.c_str()) == 0) break;
    if (writeObjOnce(store, sid, h, token, info)) return 0;
    err = errno;
  }
  errno = err;
  return -1;
}

// Read-modify-write of the state code and recall mark of "VOQObj".
int updateObjState(uint64_t sid, const DmHandle& h, HsmToken token, bool setState, uint32_t state,
                   uint32_t recallMark) {
  dmiInfo info;
  int found = readObjRecord(sid, h, token, &info);
  if (found <= 0) {
    if (found == 0) errno = ENOENT;
    return -1;
  }
  if (setState) info.migState = state;
  info.recallMark = recallMark;
  return writeObjOnce(hsmAttrStore(), sid, h, token, info) ? 0 : -1;
}

std::list<ActiveMigration>& activeMigrations() {
  static std::list<ActiveMigration> list;
  return list;
}

}  // namespace

HsmAttrStore* hsmAttrStore() { return hsmEnv().attrStore; }

bool dmiIsNoAttr(int err) { return err == ENOENT || err == DMI_ENOATTR; }

void encodeVOQObj(const dmiInfo& info, uint8_t out[kVOQObjLen]) {
  memset(out, 0, kVOQObjLen);
  forEachVOQObjField(info, [out](size_t offset, const auto& field) { memcpy(out + offset, &field, sizeof field); });
}

dmiInfo decodeVOQObj(const uint8_t in[kVOQObjLen]) {
  dmiInfo info;
  forEachVOQObjField(info, [in](size_t offset, auto& field) { memcpy(&field, in + offset, sizeof field); });
  return info;
}

dmiInfo dmiStubInfo(const midExtObjId_t& id, uint64_t size, uint32_t mtime, uint32_t ctime, bool compressed) {
  dmiInfo info;
  info.extObjId = id;
  info.fileSize = size;
  info.fileValue2 = static_cast<uint64_t>(ctime) << 32 | mtime;
  info.objFlags = compressed ? DMI_OBJ_COMPRESSED : DMI_OBJ_UNCOMPRESSED;
  info.migState = DMI_STATE_MIGRATED;
  return info;
}

uint64_t dmiGet64bitDataSize(const dmiInfo& info) {
  if (info.dataSizeForm == DMI_DATASIZE_64BIT)
    return (static_cast<uint64_t>(info.dataSizeHigh) << 32) | info.dataSizeLow;
  return info.dataSizeLow;
}

void dmiSet64bitDataSize(dmiInfo& info, uint64_t size) {
  info.dataSizeHigh = static_cast<uint32_t>(size >> 32);
  info.dataSizeLow = static_cast<uint32_t>(size & 0xFFFFFFFFu);
}

void encodeVOQexID(const midExtObjId_t& id, char out[kVOQexIDLen]) {
  const std::string digits = extObjIdHex(id);
  static_assert(2 * kExtObjIdLen + 1 == kVOQexIDLen);
  memcpy(out, digits.c_str(), kVOQexIDLen);
}

bool encodeVOQStat(const fsmState& st, uint8_t out[kVOQStatLen]) {
  if (st.fsName.size() > kVOQStatNameLen) {
    nlfprintf(stderr, kMsg2076, hsmWhoAmI(), st.fsName.c_str());
    return false;
  }
  memset(out, 0, kVOQStatLen);
  // One 32-bit word for each of the four flag bits.
  for (unsigned bit = 0; bit < 4; ++bit) put<uint32_t>(out, 4 * bit, (st.flags >> bit) & 1u);
  put<int32_t>(out, 16, st.created);
  memcpy(out + 20, st.fsName.data(), st.fsName.size());
  return true;
}

fsmState decodeVOQStat(const uint8_t* in, size_t length) {
  uint8_t buf[kVOQStatLen] = {};
  memcpy(buf, in, length < kVOQStatLen ? length : kVOQStatLen);
  fsmState st;
  for (unsigned bit = 0; bit < 4; ++bit)
    if (get<uint32_t>(buf, 4 * bit) & 1u) st.flags |= 1u << bit;
  st.created = get<int32_t>(buf, 16);
  const char* name = reinterpret_cast<const char*>(buf + 20);
  st.fsName.assign(name, strnlen(name, kVOQStatNameLen));
  return st;
}

int dmiGetFileResStat(uint64_t sid, const DmHandle& h, HsmToken token, midExtObjId_t* extObjIdOut) {
  dmiInfo info;
  int found = readObjRecord(sid, h, token, &info);
  if (found < 0) return DMI_STATE_ERROR;
  if (found == 0) return DMI_STATE_RESIDENT;
  if (extObjIdOut) *extObjIdOut = info.extObjId;
  return static_cast<int>(info.migState);
}

int dmiGetFileMigStat(uint64_t sid, const DmHandle& h, HsmToken token, midExtObjId_t* extObjIdOut) {
  TREnterExit<char> ee(__FILE__, __LINE__, "dmiGetFileMigStat()");
  dmiInfo info;
  int found = readObjRecord(sid, h, token, &info);
  if (found < 0) return DMI_STATE_ERROR;
  if (found > 0) {
    if (extObjIdOut) *extObjIdOut = info.extObjId;
    if (info.recallMark == 0) return static_cast<int>(info.migState);
    return info.migState == DMI_STATE_RECALL_CANCELLED ? DMI_STATE_RECALL_CANCELLED : DMI_STATE_RECALL_MARKED;
  }
  midExtObjId_t id{};
  size_t got = 0;
  if (hsmAttrStore()->getDmattr(sid, h, token, kAttrPMig, sizeof id.bytes, id.bytes, &got)) {
    if (extObjIdOut) *extObjIdOut = id;
    return DMI_STATE_PREMIGRATED;
  }
  if (dmiIsNoAttr(errno)) return DMI_STATE_RESIDENT;
  logAttrReadFailure(sid, "<NA>", h, tokenText(token), errno);
  return DMI_STATE_ERROR;
}

int dmiGetPmigStat(int* status, const char* path) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  DmHandle h;
  if (!store->handleOfPath(path, &h)) return -1;
  int state = dmiGetFileMigStat(store->sessionId(), h, kNoToken, nullptr);
  if (state == DMI_STATE_ERROR) return -1;
  *status = state;
  return 0;
}

int dmiSetFileMigStat(uint64_t sid, const DmHandle& h, HsmToken token, const midExtObjId_t& id,
                      int state) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  switch (state) {
    case DMI_STATE_PREMIGRATED:
      if (!store->setDmattr(sid, h, token, kAttrPMig, 0, sizeof id.bytes, id.bytes)) return -1;
      if (hsmSettings().extObjIdAttr == 1 && dmiSetExtObjIDAttrib(sid, h, token, id) != 0) {
        int err = errno;
        store->removeDmattr(sid, h, token, 0, kAttrPMig);
        errno = err;
        return -1;
      }
      return 0;
    case DMI_STATE_RECALL_MARKED:
      return updateObjState(sid, h, token, false, 0, 1);
    case DMI_STATE_RECALL_CANCELLED:
      return updateObjState(sid, h, token, true, DMI_STATE_RECALL_CANCELLED, 1);
    case DMI_STATE_RESIDENT:
      return updateObjState(sid, h, token, true, DMI_STATE_RESIDENT, 0);
    default:
      return 0;
  }
}

int dmiResetFileMigStat(uint64_t sid, const DmHandle& h, HsmToken token) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  if (!store->removeDmattr(sid, h, token, 0, kAttrPMig) && !dmiIsNoAttr(errno)) return -1;
  if (hsmSettings().extObjIdAttr == 1) dmiRemoveExtObjIDAttrib(sid, h, token);
  return dmiClrMngRegion(sid, h, token);
}

int dmiGetDMAttrib(uint64_t sid, const DmHandle& h, HsmToken token, dmiInfo* info) {
  int found = readObjRecord(sid, h, token, info);
  if (found == 0) errno = ENOENT;
  return found > 0 ? 0 : -1;
}

int dmiSetDMAttrib(uint64_t sid, const DmHandle& h, HsmToken token, const dmiInfo& info) {
  TREnterExit<char> ee(__FILE__, __LINE__, "dmiSetDMAttrib()");
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  if (writeObjWithReserve(store, sid, h, token, info) != 0) return -1;
  if (hsmSettings().extObjIdAttr == 1 && dmiSetExtObjIDAttrib(sid, h, token, info.extObjId) != 0) {
    int err = errno;
    store->removeDmattr(sid, h, token, 0, kAttrObj);
    errno = err;
    return -1;
  }
  return 0;
}

int dmiSetExtObjIDAttrib(uint64_t sid, const DmHandle& h, HsmToken token, const midExtObjId_t& id) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  char text[kVOQexIDLen];
  encodeVOQexID(id, text);
  return store->setDmattr(sid, h, token, kAttrExtId, 0, sizeof text, text) ? 0 : -1;
}

int dmiRemoveExtObjIDAttrib(uint64_t sid, const DmHandle& h, HsmToken token) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  return store->removeDmattr(sid, h, token, 0, kAttrExtId) ? 0 : -1;
}

int dmiFileHasDmAttr(uint64_t sid, const DmHandle& h, const char* name) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return 0;
  uint8_t small[8];
  size_t got = 0;
  if (store->getDmattr(sid, h, kNoToken, name, sizeof small, small, &got)) return 1;
  return errno == E2BIG ? 1 : 0;
}

const char* dmiEventName(unsigned event) {
  static const char* const names[] = {
      "DM_EVENT_CLOSE",      "DM_EVENT_MOUNT",      "DM_EVENT_PREUNMOUNT", "DM_EVENT_UNMOUNT",
      "DM_EVENT_NOSPACE",    "DM_EVENT_DEBUT",      "DM_EVENT_CREATE",     "DM_EVENT_POSTCREATE",
      "DM_EVENT_REMOVE",     "DM_EVENT_POSTREMOVE", "DM_EVENT_RENAME",     "DM_EVENT_POSTRENAME",
      "DM_EVENT_SYMLINK",    "DM_EVENT_POSTSYMLINK", "DM_EVENT_LINK",      "DM_EVENT_POSTLINK",
      "DM_EVENT_READ",       "DM_EVENT_WRITE",      "DM_EVENT_TRUNCATE",   "DM_EVENT_ATTRIBUTE",
      "DM_EVENT_CANCEL",     "DM_EVENT_DESTROY",    "DM_EVENT_USER"};
  return (event >= 1 && event <= 23) ? names[event - 1] : "DM_EVENT_INVALID";
}

namespace {

int setRegionsAndEvents(uint64_t sid, const DmHandle& h, HsmToken token,
                        const std::vector<HsmRegion>& regions, uint32_t events) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  if (!store->setRegion(sid, h, token, regions)) {
    int err = errno;
    trNlsLogPrintf(__FILE__, __LINE__, TR_SMXDSM, kMsg9520, hsmWhoAmI(), dmiSessionIDToString(sid).c_str(),
                   tokenText(token).c_str(), strerror(err));
    errno = err;
    return -1;
  }
  if (hsmSettings().eventDestroy == 1 && !store->setEventList(sid, h, token, events, DM_EVENT_MAX)) return -1;
  return 0;
}

}  // namespace

int dmiSetMngRegion(uint64_t sid, const DmHandle& h, HsmToken token, uint64_t offset, unsigned flags) {
  return setRegionsAndEvents(sid, h, token, {HsmRegion{offset, 0, flags}}, 1u << DM_EVENT_DESTROY);
}

int dmiClrMngRegion(uint64_t sid, const DmHandle& h, HsmToken token) {
  return setRegionsAndEvents(sid, h, token, {}, 0);
}

void dmiAddActiveMig(const ActiveMigration& mig) { activeMigrations().push_back(mig); }
size_t dmiActiveMigCount() { return activeMigrations().size(); }

int dmiFinishMig(ActiveMigration& mig) {
  HsmAttrStore* store = storeOrFail();
  if (!store) return -1;
  return dmiSetDMAttrib(store->sessionId(), mig.handle, kNoToken, mig.info);
}

void dmiCancelMig() {
  auto& list = activeMigrations();
  while (!list.empty()) {
    ActiveMigration mig = std::move(list.front());
    list.pop_front();
    if (!mig.underWay) continue;
    mig.info.migState = DMI_STATE_CANCELLED;
    if (dmiFinishMig(mig) != 0)
      TRACE(TR_SMXDSM, "dmiCancelMig: finishing a cancelled migration failed, errno %d\n", errno);
  }
}

namespace {
int stubMakingLock(int fd, short type, int cmd) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = kStubMakingLockOffset;
  l.l_len = 1;
  return fcntl(fd, cmd, &l);
}
}  // namespace

StubMakingLock::StubMakingLock(int fd) : m_fd(fd) {
  // A read lock: the maker may hold the file open for reading only.
  while (!m_held) {
    if (stubMakingLock(fd, F_RDLCK, F_SETLKW) == 0) m_held = true;
    else if (errno != EINTR) break;
  }
}

StubMakingLock::~StubMakingLock() {
  if (m_held) stubMakingLock(m_fd, F_UNLCK, F_SETLK);
}
