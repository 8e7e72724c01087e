#include "recall/recall.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "common/rc.h"
#include "common/trace.h"
#include "hsmfs/handles.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/xdsmapi.h"
#include "recall/filewriter.h"

namespace {

const char kCaller[] = "kmrrecalld";

// A DMAPI token that works on the caller's descriptor, with the exclusive
// right on the file while it lives; answered when it goes.
class FileToken {
 public:
  explicit FileToken(int fd) : m_api(XDSMAPI::getXDSMAPI()), m_sid(dmiGetSid()) {
    char what[] = "recall";
    if (!m_api->createUserEvent(m_sid, sizeof what, what, &m_token)) return;
    if (!handleSetWithFdForToken(&m_handle, m_sid, m_token, fd)) return;
    m_haveHandle = true;
    if (dmiRequestRight(m_sid, m_handle, m_token, DM_RIGHT_EXCL, 16, kCaller) != 0) return;
    m_ok = true;
  }
  ~FileToken() {
    if (m_haveHandle) dmiRequestRight(m_sid, m_handle, m_token, DM_RIGHT_NULL, 1, kCaller);
    if (m_token != DM_NO_TOKEN) dmiRespondEventOk(m_sid, m_token);
    if (m_haveHandle) handleFree(&m_handle);
  }
  FileToken(const FileToken&) = delete;
  FileToken& operator=(const FileToken&) = delete;
  bool ok() const { return m_ok; }
  uint64_t sid() const { return m_sid; }
  DmHandle handle() const { return handleValue(m_handle); }
  HsmToken token() const { return HsmToken{m_token.high, m_token.low}; }

 private:
  XDSMAPI* m_api;
  dm_sessid_t m_sid;
  dm_token_t m_token = DM_NO_TOKEN;
  xdsm_handle_t m_handle{};
  bool m_haveHandle = false;
  bool m_ok = false;
};

RecallOutcome failed(RecallResult r, int code) { return RecallOutcome{r, code}; }

// What a source's return code says about the recall.
// Removes "VOQObj" and the managed region: 0, or an errno value.
int dropStubRecord(const FileToken& t) {
  HsmAttrStore* store = hsmAttrStore();
  if (!store || !store->removeDmattr(t.sid(), t.handle(), t.token(), 0, kAttrObj)) return store ? errno : ENXIO;
  if (dmiClrMngRegion(t.sid(), t.handle(), t.token()) != 0)
    TRACE(TR_SMRECALL, "%s: the managed region stayed: errno %d\n", kCaller, errno);
  return 0;
}

// A stub emptied by its owner holds nothing the server's copy could restore:
// it becomes an empty resident file ("VOQObj" first, so that a crash between
// the steps leaves a resident file, never a stub that names data it lost).
RecallOutcome forget(const FileToken& t) {
  if (const int err = dropStubRecord(t)) return failed(RecallResult::kLocal, err);
  return RecallOutcome{RecallResult::kEmptied, 0};
}

RecallResult fromSourceCode(int rc) {
  switch (rc) {
    case RC_DATA_DAMAGED:
    case RC_DATA_MISMATCH:
      return RecallResult::kDamaged;
    default:
      return RecallResult::kServer;
  }
}

// Returns the file to a stub's emptiness over [0, size): a failed recall
// must not leave part of the data behind looking like the whole.
void punchBack(int fd, uint64_t size) {
  // Past the end too, so the last partial block goes, not only its bytes.
  if (size > 0 && fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size + 65536)) != 0)
    TRACE(TR_SMRECALL, "%s: punching the partial recall out failed: errno %d\n", kCaller, errno);
}

}  // namespace

void recallTestPoint(const char* step) {
  auto names = [step](const TestFlag& f) { return f.set && f.strValue && strcasecmp(f.strValue, step) == 0; };
  if (names(TEST_KILLATSTEP)) fflush(nullptr), raise(SIGKILL);
  if (names(TEST_PAUSEATSTEP)) fflush(nullptr), raise(SIGSTOP);
}

int accessErrno(RecallResult r) {
  switch (r) {
    case RecallResult::kRecalled:
    case RecallResult::kNotStub:
    case RecallResult::kEmptied:
      return 0;
    case RecallResult::kNoSpace:
      return ENOSPC;
    default:
      return EIO;
  }
}

RecallOutcome Recaller::recall(int fd, const std::string& fsName) {
  FileToken t(fd);
  if (!t.ok()) return failed(RecallResult::kLocal, errno);
  dmiInfo info;
  if (dmiGetDMAttrib(t.sid(), t.handle(), t.token(), &info) != 0)
    return dmiIsNoAttr(errno) ? RecallOutcome{RecallResult::kNotStub, 0} : failed(RecallResult::kLocal, errno);
  struct stat before;
  if (fstat(fd, &before) != 0) return failed(RecallResult::kLocal, errno);
  const uint64_t size = info.fileSize;
  if (before.st_size == 0 && size > 0) return forget(t);
  if (static_cast<uint64_t>(before.st_size) != size) return failed(RecallResult::kDamaged, EFBIG);

  // The daemon's memory does not grow with the file: a few pieces per
  // recall (recall/filewriter.h).
  FileWriter out(fd, size);
  if (out.error()) return failed(RecallResult::kLocal, out.error());
  DataSink sink = [&](uint64_t offset, const uint8_t* data, size_t len) -> int { return out.add(offset, data, len); };
  // The writer hashes what it writes, on its own thread for a large file.
  DigestCheck check = [&](const uint8_t* sha256) {
    const int err = out.verify(sha256);
    return err == EBADMSG ? RC_DATA_DAMAGED : err;
  };
  const int rc = m_source.read(fsName, info.extObjId, sink, check);
  const int finishErr = rc == 0 ? out.finish() : 0;
  if (rc != 0 || finishErr != 0) {
    out.drain();
    const int err = out.error() ? out.error() : finishErr;
    punchBack(fd, size);
    if (err == ENOSPC || err == EDQUOT) return failed(RecallResult::kNoSpace, err);
    if (err == EFBIG) return failed(RecallResult::kDamaged, EFBIG);
    if (err) return failed(RecallResult::kLocal, err);
    return failed(fromSourceCode(rc), rc);
  }

  // Premigrated first, then the stub's record goes: whatever instant a crash
  // picks, the file reads as a stub with its data or as premigrated.
  if (dmiSetFileMigStat(t.sid(), t.handle(), t.token(), info.extObjId, DMI_STATE_PREMIGRATED) != 0) {
    const int err = errno;
    punchBack(fd, size);
    return failed(RecallResult::kLocal, err);
  }
  if (const int err = dropStubRecord(t)) return failed(RecallResult::kLocal, err);
  // The recall is no change of the user's file: its times stay.
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  futimens(fd, times);
  return RecallOutcome{RecallResult::kRecalled, 0};
}

int recallFileState(int fd) {
  FileToken t(fd);
  if (!t.ok()) return DMI_STATE_ERROR;
  midExtObjId_t id{};
  return dmiGetFileMigStat(t.sid(), t.handle(), t.token(), &id);
}

int recallMakeResident(int fd) {
  FileToken t(fd);
  if (!t.ok()) return errno ? errno : EIO;
  return dmiResetFileMigStat(t.sid(), t.handle(), t.token()) == 0 ? 0 : errno;
}
