#include "migrate/filemigrator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/rc.h"
#include "common/safepath.h"
#include "common/showable.h"
#include "common/trace.h"
#include "hsmfs/handles.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/recallgate.h"
#include "hsmfs/xdsmapi.h"
#include "reconcile/migundelete.h"
#include "server/comminterface.h"
#include "server/datainterface.h"
#include "server/migobject.h"
#include "server/session.h"
#include "server/wire/sha256.h"

namespace {

constexpr const char* kName = "kmrmigrate";
constexpr size_t kReadPiece = 1 << 20;

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Whether the file still is what `was` saw. Setting an attribute moves the
// change time, so after our own mark only the rest is compared.
bool unchanged(const struct stat& was, const struct stat& now, bool ctimeToo) {
  return was.st_dev == now.st_dev && was.st_ino == now.st_ino && was.st_size == now.st_size &&
         sameTime(was.st_mtim, now.st_mtim) && (!ctimeToo || sameTime(was.st_ctim, now.st_ctim));
}

Attrib attribOf(const struct stat& st) {
  Attrib a{};
  a.size = static_cast<uint64_t>(st.st_size);
  a.mode = st.st_mode;
  a.uid = st.st_uid;
  a.gid = st.st_gid;
  a.atime = static_cast<uint32_t>(st.st_atime);
  a.mtime = static_cast<uint32_t>(st.st_mtime);
  a.ctime = static_cast<uint32_t>(st.st_ctime);
  a.inode = static_cast<uint32_t>(st.st_ino);
  a.objectType = 1;
  attribSetMigState(a, kMigStateMigrated);
  return a;
}

std::string sizeText(uint64_t n) { return std::to_string(n); }

// Reads the file from its start in pieces; the whole size or less when it
// shrank meanwhile (the checks afterwards see the change).
class FileSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {
    // A file read in one piece gains nothing from read-ahead advice.
    if (size > kReadPiece) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  int operator()(uint8_t* buf, size_t cap, size_t* got) {
    for (;;) {
      ssize_t n = pread(fd_, buf, std::min<uint64_t>(cap, size_ - at_), static_cast<off_t>(at_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      at_ += static_cast<uint64_t>(n);
      *got = static_cast<size_t>(n);
      return 0;
    }
  }

 private:
  int fd_;
  uint64_t size_;
  uint64_t at_ = 0;
};

}  // namespace

namespace {

// A user event's token with `right` on the file open at `fd`; the token
// works through that descriptor (no call opens the file by its handle
// again). Whatever is held when it goes is given back: the right released,
// the event answered (aborted unless done() was called).
class HeldRight {
 public:
  HeldRight(dm_sessid_t sid, int fd, dm_right_t right) : sid_(sid) {
    XDSMAPI* api = XDSMAPI::getXDSMAPI();
    uint64_t msg = 0;
    if (!api->createUserEvent(sid, sizeof msg, &msg, &token_)) return;
    haveToken_ = true;
    if (!handleSetWithFdForToken(handle_.out(), sid, token_, fd)) return;
    haveRight_ = dmiRequestRight(sid, handle_.get(), token_, right, 16, kName) == 0;
  }
  ~HeldRight() {
    int err = errno;
    if (haveRight_) dmiRequestRight(sid_, handle_.get(), token_, DM_RIGHT_NULL, 1, kName);
    if (haveToken_) {
      if (ok_) dmiRespondEventOk(sid_, token_);
      else dmiRespondEventAbort(sid_, token_, ECANCELED);
    }
    errno = err;
  }
  HeldRight(const HeldRight&) = delete;
  HeldRight& operator=(const HeldRight&) = delete;
  bool held() const { return haveRight_; }
  void done() { ok_ = true; }
  dm_token_t token() const { return token_; }
  HsmToken hsmToken() const { return HsmToken{token_.high, token_.low}; }
  const xdsm_handle_t& handle() const { return handle_.get(); }

 private:
  dm_sessid_t sid_;
  dm_token_t token_{};
  OwnedHandle handle_;
  bool haveToken_ = false, haveRight_ = false, ok_ = false;
};

}  // namespace

struct FileMigrator::Step {
  std::string rel, alias, path;  // path: what the user sees
  UniqueFd fd;
  struct stat before {};   // as the data was read
  struct stat marked {};   // after the premigrated mark
  DmHandle handle;
  midExtObjId_t id{};
  bool premigrated = false;  // "VOQPMig" names id
  bool fresh = false;        // sent by this run
  int readErr = 0;           // errno of reading the file for its store
};

FileMigrator::FileMigrator(int& rc, const std::string& mountPoint, int mountFd, bool preview, int detail)
    : mount_(mountPoint), mountFd_(mountFd), preview_(preview), detail_(detail) {
  rc = 0;
  if (preview_) return;  // a preview asks the server nothing
  // The records' session joins the node the data session proved, with the
  // one-time ticket the server hands out on that sign-on: one password check
  // per command instead of two.
  sessUseJoinTickets(true);
  data_.reset(new (std::nothrow) ZefServerDataInterface(rc, mountPoint));
  if (!data_) rc = RC_NO_MEMORY;
  if (rc) return;
  // Made here without signing on; the data session signed on first, so
  // this sign-on finds its join ticket (or the password the process holds)
  // and asks nobody.
  records_.reset(new (std::nothrow) ZefServerCommInterface(rc, mountPoint, 0, 0));
  if (!records_) rc = RC_NO_MEMORY;
  if (rc) return;
  try {
    recordsSignOn_ = std::thread([this] {
      recordsRc_ = records_->checkSession();
      if (!recordsRc_) recordsRc_ = records_->beginTransaction();
    });
  } catch (const std::system_error&) {
    recordsRc_ = records_->checkSession();
    if (!recordsRc_) recordsRc_ = records_->beginTransaction();
  }
}

FileMigrator::~FileMigrator() {
  if (recordsSignOn_.joinable()) recordsSignOn_.join();
}

int FileMigrator::recordsReady() {
  if (recordsSignOn_.joinable()) recordsSignOn_.join();
  if (recordsRc_ && !recordsReported_) {
    recordsReported_ = true;
    nlfprintf(stderr, kMsg2091, recordsRc_, clientRcText(recordsRc_));
  }
  return recordsRc_;
}

int FileMigrator::finish() {
  if (!records_) return 0;
  drain();
  if (int rc = recordsReady()) return rc;
  const uint64_t before = records_->committedUpdates();
  int rc = records_->stopTransaction();
  if (records_->committedUpdates() != before) stubTestKillPoint("AFTERCOMMIT");
  return rc;
}

void FileMigrator::migrate(const std::string& rel) {
  auto s = std::make_unique<Step>();
  s->rel = rel;
  s->alias = "/" + rel;
  s->path = mount_ + s->alias;
  MigrateOutcome o;
  if (begin(*s, &o)) return count(o);
  sendStore(std::move(s));
}

void FileMigrator::count(MigrateOutcome o) {
  switch (o) {
    case MigrateOutcome::kMigrated: ++counts_.migrated; break;
    case MigrateOutcome::kAlready: ++counts_.already; break;
    case MigrateOutcome::kEmpty: ++counts_.empty; break;
    case MigrateOutcome::kChanged: ++counts_.changed; break;
    case MigrateOutcome::kFailed: ++counts_.failed; break;
    case MigrateOutcome::kPreview: ++counts_.previewed; break;
  }
}

void FileMigrator::drain() {
  while (!inFlight_.empty()) completeOldest();
}

MigrateOutcome FileMigrator::failed(Step& s, const char* what) {
  nlfprintf(stderr, kMsg9804, kName, clShowable(s.path).c_str(), what);
  trNlsLogPrintf(__FILE__, __LINE__, TR_SM, kMsg9804, kName, clShowable(s.path).c_str(), what);
  return MigrateOutcome::kFailed;
}

MigrateOutcome FileMigrator::changed(Step& s) {
  // Back to resident: the copy on the server is not this file's content.
  if (s.premigrated && dmiResetFileMigStat(XDSMAPI::getXDSMAPI()->getSID(), s.handle, kNoToken) != 0)
    return failed(s, strerror(errno));
  if (s.premigrated || s.fresh) dropServerObject(s.id, s.alias);
  nlfprintf(stdout, kMsg9802, clShowable(s.path).c_str());
  return MigrateOutcome::kChanged;
}

void FileMigrator::dropServerObject(const midExtObjId_t& id, const std::string& alias) {
  SyncFileDeletionObject gone(id, alias);
  int rc = recordsReady();
  if (!rc) rc = records_->delMigrObjectOnServer(&gone);
  if (rc) TRACE(TR_SM, "%s: the server object of %s stays (rc %d); nothing names it\n", kName, alias.c_str(), rc);
}

bool FileMigrator::begin(Step& s, MigrateOutcome* out) {
  // Reading for the server is no access of the user's: the access time stays.
  s.fd.reset(safeOpenRegularBeneathStat(mountFd_, s.rel.c_str(), O_RDONLY | O_NOATIME, &s.before));
  if (!s.fd) return *out = failed(s, strerror(errno)), true;
  // An empty file has no data to keep anywhere; it stays as it is.
  if (s.before.st_size == 0) return *out = MigrateOutcome::kEmpty, true;
  // The same file again (named twice, or another link to it) while its
  // store is in flight: its state is known once that store is finished.
  for (const auto& other : inFlight_)
    if (other->before.st_dev == s.before.st_dev && other->before.st_ino == s.before.st_ino) {
      drain();
      if (fstat(s.fd.get(), &s.before) != 0) return *out = failed(s, strerror(errno)), true;
      break;
    }
  const uint64_t sid = XDSMAPI::getXDSMAPI()->getSID();
  int state = DMI_STATE_ERROR;
  {
    // The state is read through the descriptor open here.
    HeldRight shared(sid, s.fd.get(), DM_RIGHT_SHARED);
    if (shared.held()) {
      s.handle = handleValue(shared.handle());
      state = dmiGetFileMigStat(sid, s.handle, shared.hsmToken(), &s.id);
      shared.done();
    }
  }
  if (state == DMI_STATE_ERROR) return *out = failed(s, strerror(errno)), true;
  if (state != DMI_STATE_RESIDENT && state != DMI_STATE_PREMIGRATED) {
    if (!preview_ && interruptedStub(s)) return *out = makeStub(s), true;
    if (detail_) nlfprintf(stdout, kMsg9803, clShowable(s.path).c_str());
    return *out = MigrateOutcome::kAlready, true;
  }
  if (preview_) {
    nlfprintf(stdout, kMsg9807, clShowable(s.path).c_str(), sizeText(s.before.st_size).c_str());
    return *out = MigrateOutcome::kPreview, true;
  }
  s.premigrated = state == DMI_STATE_PREMIGRATED;
  if (!s.premigrated) return false;
  drain();
  if (!premigratedStillGood(s)) {
    // An earlier run's copy that is not this content: undone, then as new.
    if (dmiResetFileMigStat(sid, s.handle, kNoToken) != 0) return *out = failed(s, strerror(errno)), true;
    dropServerObject(s.id, s.alias);
    s.premigrated = false;
    if (fstat(s.fd.get(), &s.before) != 0) return *out = failed(s, strerror(errno)), true;
    return false;
  }
  if (detail_) nlfprintf(stdout, kMsg9809, clShowable(s.path).c_str());
  s.marked = s.before;
  return *out = makeStub(s), true;
}

void FileMigrator::sendStore(std::unique_ptr<Step> s) {
  const uint64_t size = static_cast<uint64_t>(s->before.st_size);
  while (!data_->windowHasRoom(size)) completeOldest();
  FileSource source(s->fd.get(), size);
  Step* step = s.get();
  DataSource src = [&](uint8_t* buf, size_t cap, size_t* got) {
    step->readErr = source(buf, cap, got);
    return step->readErr ? RC_INTERNAL : 0;
  };
  int rc = data_->sendStore(s->alias, attribOf(s->before), size, src, 0);
  if (rc) return count(afterStore(*s, rc));
  inFlight_.push_back(std::move(s));
  stubTestKillPoint("STORESENT");
}

void FileMigrator::completeOldest() {
  ZefServerDataInterface::StoreAnswer a;
  int rc = data_->nextStoreAnswer(&a);
  std::unique_ptr<Step> s = std::move(inFlight_.front());
  inFlight_.pop_front();
  if (!rc) {
    rc = a.rc;
    if (!rc) {
      s->id = a.id;
      s->fresh = true;
      counts_.bytesSent += static_cast<uint64_t>(s->before.st_size);
    }
  }
  count(afterStore(*s, rc));
}

// `rc`: 0, or the code of the store (a server result below 100, a session
// code, or the source's when reading the file failed).
MigrateOutcome FileMigrator::afterStore(Step& s, int rc) {
  if (s.readErr) rc = 1000 + s.readErr;
  struct stat now {};
  if (fstat(s.fd.get(), &now) != 0) return failed(s, strerror(errno));
  if (!unchanged(s.before, now, true)) return changed(s);
  if (rc) return failed(s, rc < 1000 ? clientRcText(rc) : strerror(rc - 1000));
  stubTestKillPoint("AFTERSEND");
  const uint64_t sid = XDSMAPI::getXDSMAPI()->getSID();
  int marked = -1;
  {
    HeldRight excl(sid, s.fd.get(), DM_RIGHT_EXCL);
    if (excl.held() && (marked = dmiSetFileMigStat(sid, s.handle, excl.hsmToken(), s.id, DMI_STATE_PREMIGRATED)) == 0)
      excl.done();
  }
  if (marked != 0) {
    int err = errno;
    dropServerObject(s.id, s.alias);
    return failed(s, strerror(err));
  }
  s.premigrated = true;
  stubTestKillPoint("AFTERPREMIG");
  if (fstat(s.fd.get(), &s.marked) != 0) return failed(s, strerror(errno));
  if (!unchanged(s.before, s.marked, false)) return changed(s);
  return makeStub(s);
}

// A run that stopped inside makeStub leaves "VOQObj" beside "VOQPMig" (the
// mark goes last). When the file still holds data and that data is the
// object's on the server, the stub is finished; a file without data is a
// stub already and is never read (a read of a stub would recall it).
bool FileMigrator::interruptedStub(Step& s) {
  const uint64_t sid = XDSMAPI::getXDSMAPI()->getSID();
  if (dmiFileHasDmAttr(sid, s.handle, kAttrPMig) != 1) return false;
  if (lseek(s.fd.get(), 0, SEEK_DATA) < 0) return false;  // no data: the stub was punched (ENXIO)
  drain();  // the check asks the data session, which the stores in flight hold
  s.premigrated = true;
  if (!premigratedStillGood(s)) return false;
  s.marked = s.before;
  return true;
}

bool FileMigrator::premigratedStillGood(Step& s) {
  ObjectDataInfo info;
  if (data_->queryObjectData(s.id, &info) != 0 || info.size != static_cast<uint64_t>(s.before.st_size)) return false;
  std::vector<uint8_t> buf(kReadPiece);
  FileSource source(s.fd.get(), info.size);
  Sha256Stream digest;
  for (;;) {
    size_t got = 0;
    if (source(buf.data(), buf.size(), &got) != 0) return false;
    if (got == 0) break;
    digest.add(buf.data(), got);
  }
  struct stat now {};
  if (fstat(s.fd.get(), &now) != 0 || !unchanged(s.before, now, true)) return false;
  Sha256Digest d;
  return digest.final(&d) && memcmp(d.data(), info.sha256, kSha256Len) == 0;
}


MigrateOutcome FileMigrator::makeStub(Step& s) {
  // A stub whose record could not be brought up to date would be left to
  // the next kmrmigundelete: without the records' session the file stays
  // premigrated instead, its data on the server, for a rerun to finish.
  if (int rc = recordsReady()) return failed(s, clientRcText(rc));
  XDSMAPI* api = XDSMAPI::getXDSMAPI();
  const dm_sessid_t sid = api->getSID();
  // The token works through the descriptor it was given, and punching needs
  // one open for writing: the same file, opened again.
  struct stat rwSt {};
  UniqueFd rw(safeOpenRegularBeneathStat(mountFd_, s.rel.c_str(), O_RDWR | O_NOATIME, &rwSt));
  if (!rw) return failed(s, strerror(errno));
  if (rwSt.st_dev != s.marked.st_dev || rwSt.st_ino != s.marked.st_ino) return changed(s);
  // kmrrecalld lets this process's own punch through instead of recalling
  // into the file being emptied (hsmattr.h, kStubMakingLockOffset).
  StubMakingLock making(rw.get());
  if (!making.held()) return failed(s, strerror(errno));
  HeldRight right(sid, rw.get(), DM_RIGHT_EXCL);
  if (!right.held()) return failed(s, strerror(errno));
  const xdsm_handle_t& h = right.handle();
  const dm_token_t token = right.token();
  struct stat now {};
  if (fstat(s.fd.get(), &now) != 0) return failed(s, strerror(errno));
  if (!unchanged(s.marked, now, true)) return changed(s);
  dm_off_t holeOffset = 0;
  dm_size_t holeLength = 0;
  if (!api->probeHole(sid, h, token, 0, 0, &holeOffset, &holeLength)) return failed(s, strerror(errno));
  if (holeOffset != 0) return failed(s, strerror(E2BIG));
  const Attrib a = attribOf(s.before);
  uint8_t record[kVOQObjLen];
  encodeVOQObj(dmiStubInfo(s.id, a.size, a.mtime, a.ctime, false), record);
  if (!api->setDmattr(sid, h, token, kAttrObj, 0, sizeof record, record)) return failed(s, strerror(errno));
  stubTestKillPoint("AFTERVOQOBJ");
  bool ok = true;
  if (optionsP && optionsP->hsmExtObjIdAttr == 1) {
    char hex[kVOQexIDLen];
    encodeVOQexID(s.id, hex);
    ok = api->setDmattr(sid, h, token, kAttrExtId, 0, kVOQexIDLen, hex);
  }
  dm_region_t region{0, 0, DMI_REGION_STUB, 0};
  ok = ok && api->setRegion(sid, h, token, 1, &region, nullptr);
  // kmrrecalld must stop excusing the file from recall before its data goes.
  ok = ok && drainRecallReports(mount_, rw.get());
  ok = ok && api->punchHole(sid, h, token, 0, holeLength);
  dm_stat_t st{};
  ok = ok && api->getFileAttr(sid, h, token, 0x1000, &st);
  if (!ok) {
    // Not a stub after all: a later run must not skip it as migrated. It
    // stays premigrated, its data whole (a punch is all or nothing).
    int err = errno;
    api->removeDmattr(sid, h, token, 0, kAttrObj);
    api->setRegion(sid, h, token, 0, nullptr, nullptr);
    return failed(s, strerror(err));
  }
  stubTestKillPoint("AFTERPUNCH");
  api->removeDmattr(sid, h, token, 0, kAttrPMig);
  right.done();
  updateRecord(s, st.dt_ino, st.dt_ctime);
  if (detail_)
    nlfprintf(stdout, kMsg9801, clShowable(s.path).c_str(), sizeText(a.size).c_str(),
              hexUpper(s.id.bytes, kExtObjIdLen).c_str());
  return MigrateOutcome::kMigrated;
}

// The record names the stub as kmrmigundelete's records do: its inode, its
// change time and its DMAPI handle.
void FileMigrator::updateRecord(Step& s, uint64_t inode, int64_t ctime) {
  Attrib a = attribOf(s.before);
  a.inode = static_cast<uint32_t>(inode);
  a.ctime = static_cast<uint32_t>(ctime);
  attribSetHandle(a, s.handle);
  ZefServerMigratedObject rec;
  rec.setExtObjID(&s.id);
  rec.setAttributes(&a);
  rec.setDmapiHandle(s.handle);
  rec.alias = s.alias;
  const uint64_t before = records_->committedUpdates();
  int rc = records_->updateMigrObjectOnServer(&rec, 1);
  if (rc) TRACE(TR_SM, "%s: the record of %s keeps the premigrated file's identity (rc %d)\n", kName,
                s.alias.c_str(), rc);
  if (records_->committedUpdates() != before) stubTestKillPoint("AFTERCOMMIT");
}
