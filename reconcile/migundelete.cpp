#include "common/rc.h"
#include "common/msgnum.h"
#include "common/showable.h"
#include "reconcile/migundelete.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "common/messages.h"
#include "common/options.h"
#include "common/trace.h"
#include "hsmfs/xdsmapi.h"
#include "platform/orca/orca.h"
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
  nlfprintf(stderr, kMsg9333, clShowable(path).c_str(), operation, err, strerror(err));
}
}  // namespace

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
  nlfprintf(stdout, kMsg9314, m_fileSystem.c_str());
  fflush(stdout);

  int rc = m_server->beginTransaction();
  if (rc == RC_NO_MEMORY) {
    nlfprintf(stdout, kMsg1030);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> beginTransaction() returns with out of memory!\n", kName);
    return RC_NO_MEMORY;
  }
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> beginTransaction() returns with rc = %d!\n", kName, rc);
    return rc;
  }

  nlfprintf(stdout, kMsg9049);
  fflush(stdout);
  rc = m_server->getAllMigrObjectsFromServer(0);
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> getAllMigrObjectsFromServer() returns with rc : %d!\n",
          kName, rc);
    return rc;
  }
  nlfprintf(stdout, kMsg9052);
  nlfprintf(stdout, kMsg9315);
  fflush(stdout);

  for (;;) {
    std::unique_ptr<cQueueBaseObject> element(m_server->getNextMigrObjectFromServer());
    if (!element) {
      nlfprintf(stderr, kMsg9184, hsmWhoAmI(), strerror(errno));
      setStopCode(RC_NO_MEMORY);
      break;
    }
    if (dynamic_cast<FinishedMessageObject*>(element.get()) != nullptr) break;
    if (auto* failure = dynamic_cast<FailureMessageObject*>(element.get())) {
      fprintf(stderr, "\n%s\n", failure->getMessageText().c_str());
      setStopCode(RC_COMM_FAILURE);
      break;
    }
    auto* obj = dynamic_cast<ZefServerMigratedObject*>(element.get());
    if (obj == nullptr) {
      TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Queue returned an unknown object!\n", kName);
      setStopCode(RC_INTERNAL);
      break;
    }

    ++m_status->m_processedCount;
    bool skip = (obj->getAttributes() != nullptr && obj->isObjectExpired() && m_expiring != 1) ||
                (m_recovery == 0 && isRecreationRequired(obj) != 1);
    if (!skip) {
      if (TR_SMRECONCILE)  // the escaped copy only when it is traced
        TRACE(TR_SMRECONCILE,
            "(%s): Object '%s' is not longer valid, need to recreate it on the file system!\n",
            kName, clShowable(obj->getAlias()).c_str());
      if (recreateFileStub(obj) == 1) {
        obj->setFileMigrState(kMigStateMigrated);
        int urc = m_server->updateMigrObjectOnServer(obj, 3);
        if (urc != 0) {
          reconcileProcessError(urc, __FILE__, __LINE__);
          TRACE(TR_SMRECONCILE, "(%s): FAILURE -> updateMigrObjectOnServer() returns with rc = %d!\n",
                kName, urc);
        } else {
          ++m_status->m_updatedCount;
        }
      } else {
        TRACE(TR_SMRECONCILEDETAIL, "(%s): FAILURE -> Recreation of stub for object '%s' failed!\n",
              kName, clShowable(obj->getAlias()).c_str());
      }
    }
    element.reset();

    if (m_detail == 1 && m_status->m_processedCount % kProgressEvery == 0) {
      std::string count = std::to_string(m_status->m_processedCount);
      nlfprintf(stdout, kMsg1898, count.c_str());
    }
    if (stopCode() != 0) break;
  }

  rc = m_server->stopTransaction();
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> stopTransaction() returns with rc : %d!\n", kName, rc);
  }
  int result = stopCode();
  if (result == 0) {
    nlfprintf(stdout, kMsg12609, static_cast<unsigned long long>(m_status->m_updatedCount));
    nlfprintf(stdout, kMsg9316, m_fileSystem.c_str());
    fflush(stdout);
  }
  return result;
}

int ReconcileModeMigUndelete::checkAlias(const std::string& alias) {
  if (alias.empty() || alias == "/" || alias[0] != '/' || !isAcceptableAlias(alias)) {
    TRACE(TR_SMRECONCILE, "(%s) Wrong alias (%s) for migrated object. Skipping!\n", kName,
          clShowable(alias).c_str());
    nlfprintf(stderr, kMsg9334, clShowable(alias).c_str());
    return 0;
  }
  return 1;
}

int ReconcileModeMigUndelete::isRecreationRequired(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  if (checkAlias(alias) == 0) return 0;
  std::string path = m_fileSystem + alias;
  struct stat64 st {};
  if (orca_stat(path.c_str(), &st) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): -> orca or lstat(%s) failed, errno(%d), reason(%s)!\n",
          kName, path.c_str(), err, strerror(err));
    return 1;
  }
  TRACE(TR_SMRECONCILEDETAIL,
        "(%s)Object %s is present on the file system. Let's check the mtime...\n", kName,
        path.c_str());
  if ((st.st_mode & 0xF000) == 0x4000) {
    TRACE(TR_SMRECONCILEDETAIL, "(%s)Object %s is a directory - cannot overwrite!\n", kName,
          path.c_str());
    if (m_detail == 1) nlfprintf(stdout, kMsg9319, clShowable(path).c_str());
    return 0;
  }
  const Attrib* attr = obj->getAttributes();
  if (attr == nullptr) {
    TRACE(TR_SMRECONCILE, "(%s) could not get Attrib info for %s!\n", kName, clShowable(path).c_str());
    nlfprintf(stderr, kMsg9184, hsmWhoAmI(), strerror(EINVAL));
    return 0;
  }
  if (static_cast<int32_t>(attr->mtime) > static_cast<int32_t>(st.st_mtime)) {
    TRACE(TR_SMRECONCILEDETAIL, "(%s)Overwite object %s on the local file system!\n", kName,
          path.c_str());
    if (m_detail == 1) nlfprintf(stdout, kMsg9320, clShowable(path).c_str());
    return 1;
  }
  TRACE(TR_SMRECONCILEDETAIL,
        "(%s)Migrated object %s copy has the same or an older modification time than the "
        "existing object on the local file system. Skipping!\n",
        kName, path.c_str());
  if (m_detail == 1) nlfprintf(stdout, kMsg9319, clShowable(path).c_str());
  return 0;
}

int ReconcileModeMigUndelete::recreateFileStub(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  if (checkAlias(alias) == 0) return 0;
  std::string path = m_fileSystem + alias;
  Attrib* attr = obj->getAttributes();
  if (attr == nullptr || obj->getExtObjID() == nullptr) {
    // Nothing to build the stub from; report it like any failed step.
    TRACE(TR_SMRECONCILE, "(%s) could not get Attrib info for %s!\n", kName, clShowable(path).c_str());
    nlfprintf(stderr, kMsg9184, hsmWhoAmI(), strerror(EINVAL));
    return 0;
  }
  m_stub = StubFile();
  int ok = createFileForStub(path, attr->size);
  if (ok == 0) {
    TRACE(TR_SMRECONCILE, "(%s): createFileForStub(%s) failed.\n", kName, clShowable(path).c_str());
  } else if ((ok = updateFileStat(path, attr)) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): updateFileStat(%s) failed.\n", kName, clShowable(path).c_str());
  } else if ((ok = createStubFromFile(obj, path)) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): createStubFromFile(%s) failed.\n", kName, clShowable(path).c_str());
  } else if (m_stub.close() != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot close %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "close", err);
    ok = 0;
  }
  if (ok == 0) {
    m_stub.removeCreated();
    m_stub = StubFile();
    return 0;
  }
  m_stub = StubFile();

  if (TR_SMRECONCILE)  // the escaped copy only when it is traced
    TRACE(TR_SMRECONCILE, "(%s) - compressed(%d), encrypted(%d), alias(%s) restored as a stub.\n",
        kName, (attr->flags & kFlagCompressed) ? 1 : 0, (attr->flags & kFlagEncrypted) ? 1 : 0,
        clShowable(alias).c_str());
  if (m_detail == 1) {
    nlfprintf(stdout, kMsg9321, clShowable(path).c_str());
    fflush(stdout);
  }
  bool scoutOff = m_options != nullptr && m_options->hsmDisableAutoMigDaemons != 0;
  if (m_recovery == 0 && !scoutOff) informScout(path);
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
  TRACE(TR_SMRECONCILEDETAIL, "(%s): Informing scout about a stub undelete for file %s!\n", kName,
        path.c_str());
  HSM_Comm_ChangeFileStatus(m_fileSystem.c_str(), dir.c_str(), name.c_str(), 1);
}

int ReconcileModeMigUndelete::createFileForStub(std::string& path, unsigned long long size) {
  m_stub = StubFile();
  bool inside = path.size() > m_fileSystem.size() &&
                path.compare(0, m_fileSystem.size(), m_fileSystem) == 0;
  std::string alias = inside ? path.substr(m_fileSystem.size()) : std::string();
  if (!inside) errno = EINVAL;
  if (!inside || m_stub.resolveParent(m_fileSystem, alias) != 0 || m_stub.create() != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot open %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "open", err);
    return 0;
  }
  if (lseek64(m_stub.fd(), static_cast<off64_t>(size) - 1, SEEK_SET) < 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot lseek %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    m_stub.removeCreated();
    stubFailure(path, "lseek", err);
    return 0;
  }
  char zero = 0;
  if (write(m_stub.fd(), &zero, 1) != 1) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot write %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    m_stub.removeCreated();
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
  if (fchmod(m_stub.fd(), attributes->mode & 07777) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chmod %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chmod", err);
    return 0;
  }
  struct timespec times[2] = {{static_cast<time_t>(attributes->atime), 0},
                              {static_cast<time_t>(attributes->mtime), 0}};
  if (futimens(m_stub.fd(), times) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not utime %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "utime", err);
    return 0;
  }
  return 1;
}
