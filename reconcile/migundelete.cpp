#include "reconcile/migundelete.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "common/messages.h"
#include "common/showable.h"
#include "common/options.h"
#include "common/trace.h"
#include "hsmfs/xdsmapi.h"
#include "platform/orca/scout.h"
#include "reconcile/reconcilestatus.h"
#include "server/migobject.h"
#include "server/queueobjects.h"

namespace {
constexpr const char* kName = "ReconcileModeMigUndelete";
constexpr int kProgressEvery = 1000;
constexpr uint8_t kFlagCompressed = 0x20;
constexpr uint8_t kFlagEncrypted = 0x80;

void stubFailure(const std::string& path, const char* operation, int err) {
  nlfprintf(stderr, 9333, clShowable(path).c_str(), operation, err, strerror(err));
}

std::string objectHex(const midExtObjId_t& id) {
  char hex[kVOQexIDLength];
  buildVOQexIDText(id, hex);
  return hex;
}

// The record's 32-bit times are seconds since 1970 without a sign (to 2106).
int64_t recordTime(uint32_t seconds) { return static_cast<int64_t>(seconds); }
}  // namespace

int refusedRecordMessage(const Attrib& attr) {
  if ((attr.mode & S_IFMT) != S_IFREG) return 9340;
  // (uid_t)-1 and (gid_t)-1 mean "no change" to chown(): the stub would
  // stay root's, with the record's mode.
  if (attr.uid == UINT32_MAX || attr.gid == UINT32_MAX) return 9341;
  return 0;
}

unsigned stubPermissionBits(uint32_t mode, int restoreSetId) {
  return restoreSetId == 1 ? (mode & 07777) : (mode & 01777);
}

void buildVOQObjRecord(const midExtObjId_t& id, const Attrib& attr,
                       unsigned char out[kVOQObjLength]) {
  memset(out, 0, kVOQObjLength);
  memcpy(out, id.bytes, kExtObjIdLen);
  uint64_t size = attr.size;
  memcpy(out + 28, &size, 8);
  // The eight bytes right behind the access time go over unchanged.
  memcpy(out + 36, reinterpret_cast<const unsigned char*>(&attr) + offsetof(Attrib, atime) + 4, 8);
  out[56] = 0;
  out[57] = (attr.flags & kFlagCompressed) ? 0x01 : 0x02;
  uint32_t state = 2;
  memcpy(out + 72, &state, 4);
}

void buildVOQexIDText(const midExtObjId_t& id, char out[kVOQexIDLength]) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < kExtObjIdLen; ++i) {
    out[2 * i] = kHex[id.bytes[i] >> 4];
    out[2 * i + 1] = kHex[id.bytes[i] & 0x0F];
  }
  out[2 * kExtObjIdLen] = '\0';
}

ReconcileModeMigUndelete::ReconcileModeMigUndelete(const std::string& fileSystem, int detail,
                                                   ReconcileStatus* status, int expiring,
                                                   int recovery)
    : ReconcileMode(fileSystem, detail, status), m_expiring(expiring), m_recovery(recovery) {}

ReconcileModeMigUndelete::~ReconcileModeMigUndelete() = default;

int ReconcileModeMigUndelete::startReconcilation() {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileModeMigUndelete::startReconcilation");
  nlfprintf(stdout, 9314, m_fileSystem.c_str());
  fflush(stdout);

  int rc = m_server->beginTransaction();
  if (rc == 102) {
    nlfprintf(stdout, 1030);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> beginTransaction() returns with out of memory!\n", kName);
    return 102;
  }
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> beginTransaction() returns with rc = %d!\n", kName, rc);
    return rc;
  }

  nlfprintf(stdout, 9049);
  fflush(stdout);
  rc = m_server->getAllMigrObjectsFromServer(0);
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> getAllMigrObjectsFromServer() returns with rc : %d!\n",
          kName, rc);
    return rc;
  }
  nlfprintf(stdout, 9052);
  nlfprintf(stdout, 9315);
  fflush(stdout);

  for (;;) {
    std::unique_ptr<cQueueBaseObject> element(m_server->getNextMigrObjectFromServer());
    if (!element) {
      nlfprintf(stderr, 9184, hsmWhoAmI(), strerror(errno));
      setStopCode(102);
      break;
    }
    if (dynamic_cast<FinishedMessageObject*>(element.get()) != nullptr) break;
    if (auto* failure = dynamic_cast<FailureMessageObject*>(element.get())) {
      fprintf(stderr, "\n%s\n", failure->getMessageText().c_str());
      setStopCode(-50);
      break;
    }
    auto* obj = dynamic_cast<ZefServerMigratedObject*>(element.get());
    if (obj == nullptr) {
      TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Queue returned an unknown object!\n", kName);
      setStopCode(115);
      break;
    }

    ++m_status->m_processedCount;
    m_stub = StubFile();
    m_maybeOwnStub = false;
    bool expiredSkip = obj->getAttributes() != nullptr && obj->isObjectExpired() && m_expiring != 1;
    if (expiredSkip) {
      ++m_status->m_skippedCount;
    } else if (m_recovery == 0 && isRecreationRequired(obj) != 1) {
      if (m_maybeOwnStub && repairRecordOfPresentStub(obj) == 1) {
        sendUpdate(obj);
        if (m_detail == 1) nlfprintf(stdout, 9344, clShowable(m_fileSystem + obj->getAlias()).c_str());
      } else {
        ++m_status->m_skippedCount;
      }
    } else {
      if (TR_SMRECONCILE)  // the escaped copy only when it is traced
        TRACE(TR_SMRECONCILE,
            "(%s): Object '%s' is not longer valid, need to recreate it on the file system!\n",
            kName, clShowable(obj->getAlias()).c_str());
      if (recreateFileStub(obj) == 1) {
        ++m_status->m_recreatedCount;
        obj->setFileMigrState(kMigStateMigrated);
        sendUpdate(obj);
      } else {
        ++m_status->m_failedCount;
        TRACE(TR_SMRECONCILEDETAIL, "(%s): FAILURE -> Recreation of stub for object '%s' failed!\n",
              kName, clShowable(obj->getAlias()).c_str());
      }
    }
    m_stub = StubFile();
    element.reset();

    if (m_detail == 1 && m_status->m_processedCount % kProgressEvery == 0) {
      std::string count = std::to_string(m_status->m_processedCount);
      nlfprintf(stdout, 1898, count.c_str());
    }
    if (stopCode() != 0) break;
  }

  rc = m_server->stopTransaction();
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> stopTransaction() returns with rc : %d!\n", kName, rc);
  }
  m_status->m_updatedCount = m_server->committedUpdates();
  int result = stopCode();
  if (result == 0) reportEnd();
  return result;
}

void ReconcileModeMigUndelete::sendUpdate(ZefServerMigratedObject* obj) {
  ++m_status->m_updateAttempts;
  const uint64_t committedBefore = m_server->committedUpdates();
  int urc = m_server->updateMigrObjectOnServer(obj, 3);
  if (urc != 0) {
    reconcileProcessError(urc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> updateMigrObjectOnServer() returns with rc = %d!\n",
          kName, urc);
  }
  if (m_server->committedUpdates() != committedBefore) stubTestKillPoint("AFTERCOMMIT");
}

void ReconcileModeMigUndelete::reportEnd() {
  const ReconcileStatus& st = *m_status;
  nlfprintf(stdout, 12609, static_cast<unsigned long long>(st.m_updatedCount));
  if (st.incomplete()) {
    uint64_t notCommitted = st.m_updateAttempts - st.m_updatedCount;
    nlfprintf(stderr, 9346, m_fileSystem.c_str(), static_cast<unsigned long long>(st.m_recreatedCount),
              static_cast<unsigned long long>(st.m_skippedCount),
              static_cast<unsigned long long>(st.m_failedCount),
              static_cast<unsigned long long>(notCommitted));
  } else {
    nlfprintf(stdout, 9316, m_fileSystem.c_str());
  }
  fflush(stdout);
}

int ReconcileModeMigUndelete::checkAlias(const std::string& alias) {
  // The control directory holds the file system's state, configuration and
  // run lock: a record naming it would make the file system unmanaged.
  if (!isAcceptableAlias(alias) || isControlAlias(alias)) {
    TRACE(TR_SMRECONCILE, "(%s) Wrong alias (%s) for migrated object. Skipping!\n", kName,
          clShowable(alias).c_str());
    nlfprintf(stderr, 9334, clShowable(alias).c_str());
    return 0;
  }
  return 1;
}

int ReconcileModeMigUndelete::prepareStub(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  if (m_stub.isResolved() && m_stub.alias() == alias) return 0;
  if (obj->getExtObjID() == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (m_stub.open(m_fileSystem, alias, objectHex(*obj->getExtObjID()), &m_dirs) != 0) return -1;
  return m_stub.look(nullptr);
}

bool ReconcileModeMigUndelete::removeStaleTemporary(const std::string& path) {
  if (m_stub.removeStaleTemporary() != 1) return false;
  std::string dir = path.substr(0, path.rfind('/') + 1);
  std::string temp = dir + m_stub.tempName();
  TRACE(TR_SMRECONCILE, "(%s): removed the temporary %s of an earlier run\n", kName, clShowable(temp).c_str());
  nlfprintf(stdout, 9345, clShowable(temp).c_str());
  return true;
}

int ReconcileModeMigUndelete::isRecreationRequired(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  m_maybeOwnStub = false;
  if (checkAlias(alias) == 0) return 0;
  std::string path = m_fileSystem + alias;
  if (prepareStub(obj) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): -> orca or lstat(%s) failed, errno(%d), reason(%s)!\n",
          kName, clShowable(path).c_str(), err, strerror(err));
    // The recreation reports why the name cannot be reached.
    m_stub = StubFile();
    return 1;
  }
  // A temporary an earlier run left goes here when the object is skipped;
  // a recreation meets it as the name it needs (createFileForStub).
  auto skip = [&]() {
    removeStaleTemporary(path);
    return 0;
  };
  const StubEntry& seen = m_stub.seen();
  if (!seen.present) {
    TRACE(TR_SMRECONCILEDETAIL, "(%s): -> orca or lstat(%s) failed, errno(%d), reason(%s)!\n",
          kName, clShowable(path).c_str(), ENOENT, strerror(ENOENT));
    return 1;
  }
  if (TR_SMRECONCILEDETAIL)  // the escaped copy only when it is traced
    TRACE(TR_SMRECONCILEDETAIL,
        "(%s)Object %s is present on the file system. Let's check the mtime...\n", kName,
        clShowable(path).c_str());
  if (seen.directory) {
    TRACE(TR_SMRECONCILEDETAIL, "(%s)Object %s is a directory - cannot overwrite!\n", kName,
          clShowable(path).c_str());
    if (m_detail == 1) nlfprintf(stdout, 9319, clShowable(path).c_str());
    return skip();
  }
  const Attrib* attr = obj->getAttributes();
  if (attr == nullptr) {
    TRACE(TR_SMRECONCILE, "(%s) could not get Attrib info for %s!\n", kName, clShowable(path).c_str());
    nlfprintf(stderr, 9184, hsmWhoAmI(), strerror(EINVAL));
    return skip();
  }
  if (recordTime(attr->mtime) > static_cast<int64_t>(seen.mtime.tv_sec)) {
    TRACE(TR_SMRECONCILEDETAIL, "(%s)Overwite object %s on the local file system!\n", kName,
          clShowable(path).c_str());
    if (m_detail == 1) nlfprintf(stdout, 9320, clShowable(path).c_str());
    return 1;
  }
  if (TR_SMRECONCILEDETAIL)  // the escaped copy only when it is traced
    TRACE(TR_SMRECONCILEDETAIL,
        "(%s)Migrated object %s copy has the same or an older modification time than the "
        "existing object on the local file system. Skipping!\n",
        kName, clShowable(path).c_str());
  if (m_detail == 1) nlfprintf(stdout, 9319, clShowable(path).c_str());
  m_maybeOwnStub = seen.regular;
  return skip();
}

int ReconcileModeMigUndelete::recreateFileStub(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  if (checkAlias(alias) == 0) return 0;
  std::string path = m_fileSystem + alias;
  Attrib* attr = obj->getAttributes();
  if (attr == nullptr || obj->getExtObjID() == nullptr) {
    // Nothing to build the stub from; report it like any failed step.
    TRACE(TR_SMRECONCILE, "(%s) could not get Attrib info for %s!\n", kName, clShowable(path).c_str());
    nlfprintf(stderr, 9184, hsmWhoAmI(), strerror(EINVAL));
    return 0;
  }
  switch (refusedRecordMessage(*attr)) {
    case 9340: {
      char mode[16];
      snprintf(mode, sizeof mode, "0%o", attr->mode);
      nlfprintf(stderr, 9340, clShowable(path).c_str(), mode);
      return 0;
    }
    case 9341: nlfprintf(stderr, 9341, clShowable(path).c_str(), attr->uid, attr->gid); return 0;
    default: break;
  }
  if (prepareStub(obj) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot open %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "open", err);
    m_stub = StubFile();
    return 0;
  }
  if (m_stub.seen().directory) {
    removeStaleTemporary(path);
    TRACE(TR_SMRECONCILE, "(%s): %s is a directory\n", kName, clShowable(path).c_str());
    stubFailure(path, "open", EEXIST);
    return 0;
  }
  int ok = createFileForStub(path, attr->size);
  if (ok == 0) {
    TRACE(TR_SMRECONCILE, "(%s): createFileForStub(%s) failed.\n", kName, clShowable(path).c_str());
  } else if ((ok = updateFileStat(path, attr)) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): updateFileStat(%s) failed.\n", kName, clShowable(path).c_str());
  } else if ((ok = createStubFromFile(obj, path)) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): createStubFromFile(%s) failed.\n", kName, clShowable(path).c_str());
  } else {
    ok = putInPlace(obj, path);
  }
  if (ok == 0) {
    m_stub.discard();
    return 0;
  }

  if (TR_SMRECONCILE)  // the escaped copy only when it is traced
    TRACE(TR_SMRECONCILE, "(%s) - compressed(%d), encrypted(%d), alias(%s) restored as a stub.\n",
        kName, (attr->flags & kFlagCompressed) ? 1 : 0, (attr->flags & kFlagEncrypted) ? 1 : 0,
        clShowable(alias).c_str());
  if (m_detail == 1) {
    nlfprintf(stdout, 9321, clShowable(path).c_str());
    fflush(stdout);
  }
  bool scoutOff = m_options != nullptr && m_options->hsmDisableAutoMigDaemons != 0;
  if (m_recovery == 0 && !scoutOff) informScout(path);
  return 1;
}

int ReconcileModeMigUndelete::putInPlace(ZefServerMigratedObject* obj, const std::string& path) {
  stubTestKillPoint("BEFORERENAME");
  if (m_stub.commit() != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot put %s in place: %s\n", kName, clShowable(path).c_str(), strerror(err));
    if (err == EEXIST || err == ESTALE)
      nlfprintf(stderr, 9343, clShowable(path).c_str());
    else
      stubFailure(path, "rename", err);
    return 0;
  }
  // The stub has its name: from here on a failure loses nothing, so what
  // is left is recorded and reported, never undone.
  if (m_stub.unmark() != 0)
    TRACE(TR_SMRECONCILE, "(%s): marker stays on %s: %s\n", kName, clShowable(path).c_str(), strerror(errno));
  struct stat st {};
  if (fstat(m_stub.fd(), &st) != 0) {
    int err = errno;
    stubFailure(path, "fstat", err);
    return 0;
  }
  Attrib* attr = obj->getAttributes();
  attr->inode = static_cast<uint32_t>(st.st_ino);
  attr->ctime = static_cast<uint32_t>(st.st_ctime);
  if (m_stub.close() != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot close %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
  }
  return 1;
}

void ReconcileModeMigUndelete::informScout(const std::string& path) {
  // File system, directory and file name parts, as the scout keys its lists.
  if (path.size() <= m_fileSystem.size() || path.compare(0, m_fileSystem.size(), m_fileSystem) != 0)
    return;
  std::string rest = path.substr(m_fileSystem.size());
  size_t slash = rest.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = slash == 0 ? std::string("/") : rest.substr(0, slash);
  std::string name = rest.substr(slash + 1);
  if (TR_SMRECONCILEDETAIL)  // the escaped copy only when it is traced
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Informing scout about a stub undelete for file %s!\n", kName,
        clShowable(path).c_str());
  HSM_Comm_ChangeFileStatus(m_fileSystem.c_str(), dir.c_str(), name.c_str(), 1);
}

int ReconcileModeMigUndelete::createFileForStub(std::string& path, unsigned long long size) {
  if (!m_stub.isResolved()) errno = EBADF;
  // The temporary's name is taken only when an earlier run left its
  // temporary there: that one goes and the name is tried once more.
  bool created = m_stub.isResolved() && m_stub.createTemporary() == 0;
  if (!created && errno == EEXIST) {
    if (removeStaleTemporary(path))
      created = m_stub.createTemporary() == 0;
    else
      errno = EEXIST;
  }
  if (!created) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot open %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "open", err);
    return 0;
  }
  stubTestKillPoint("AFTERCREATE");
  if (lseek64(m_stub.fd(), static_cast<off64_t>(size) - 1, SEEK_SET) < 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot lseek %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    m_stub.discard();
    stubFailure(path, "lseek", err);
    return 0;
  }
  char zero = 0;
  if (write(m_stub.fd(), &zero, 1) != 1) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot write %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    m_stub.discard();
    stubFailure(path, "write", err);
    return 0;
  }
  return 1;
}

int ReconcileModeMigUndelete::updateFileStat(std::string& path, Attrib* attributes) {
  if (!m_stub.isOpen()) {
    errno = EBADF;
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chown %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chown", err);
    return 0;
  }
  if (fchown(m_stub.fd(), attributes->uid, attributes->gid) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chown %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chown", err);
    return 0;
  }
  const int restoreSetId = m_options != nullptr ? m_options->hsmRestoreSetId : 0;
  const unsigned bits = stubPermissionBits(attributes->mode, restoreSetId);
  if (fchmod(m_stub.fd(), bits) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chmod %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chmod", err);
    return 0;
  }
  if ((attributes->mode & 06000) != 0 && (bits & 06000) == 0) nlfprintf(stdout, 9342, clShowable(path).c_str());
  struct timespec times[2] = {{static_cast<time_t>(recordTime(attributes->atime)), 0},
                              {static_cast<time_t>(recordTime(attributes->mtime)), 0}};
  if (futimens(m_stub.fd(), times) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not utime %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "utime", err);
    return 0;
  }
  return 1;
}
