#include "hsmfs/locks.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/cleanup.h"
#include "common/safepath.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"

namespace {

struct CtlOwner {
  uid_t uid = 0;
  gid_t gid = 0;
  CtlOwner() {
    if (const passwd* pw = getpwnam("bin")) uid = pw->pw_uid;
    if (const group* gr = getgrnam("bin")) gid = gr->gr_gid;
  }
};
const CtlOwner& ctlOwner() {
  static const CtlOwner owner;
  return owner;
}

// Message 9399: the failing call, the path and the system error text.
void logLockFailure(const char* call, const char* path, int err) {
  trNlsLogPrintf(__FILE__, __LINE__, TR_SM, kMsg9399, hsmWhoAmI(), call, path, "", strerror(err));
  TRACE(TR_SM, "%s: %s failed for %s: %s\n", hsmWhoAmI(), call, path, strerror(err));
}

int nativeLockCommand(int cmd) {
  if (cmd == SER_SETLK) return F_SETLK;
  if (cmd == SER_SETLKW) return F_SETLKW;
  return cmd;
}

// A mount point for the reserve files of the control directory `dir`.
std::string mountPointOfControlDir(const std::string& dir) {
  static const std::string suffix = "/.Tarnveld";
  if (dir.size() > suffix.size() && dir.compare(dir.size() - suffix.size(), suffix.size(), suffix) == 0)
    return dir.substr(0, dir.size() - suffix.size());
  return dir;
}

int writePid(int fd) {
  char text[32];
  int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  return write(fd, text, n) == n ? 0 : -1;
}

}  // namespace

uid_t ctlFileOwnerUid() { return ctlOwner().uid; }
gid_t ctlFileOwnerGid() { return ctlOwner().gid; }

int ctlFileGiveToOwner(int fd, mode_t mode) {
  if (fchown(fd, ctlFileOwnerUid(), ctlFileOwnerGid()) != 0) return -1;
  return fchmod(fd, mode);
}

int openCtlFile(const std::string& dir, const std::string& name, int flags, mode_t mode) {
  // The control directory lies under a mount point that users write: they
  // may plant a symbolic link or a FIFO where a lock or reserve file belongs,
  // or swap the directory itself for a link.
  return clOpenRegularBeneath(dir, name, flags, mode);
}

char* kmrFSNameToTarnveldDir(const char* fs, char* buffer) {
  strcpy(buffer, fs);
  strcat(buffer, "/.Tarnveld");
  return buffer;
}

std::string tarnveldDir(const std::string& fs) { return fs + "/.Tarnveld"; }

void serVerifyDirectory(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) return;
  const char* slash = strrchr(path, '/');
  if (!slash) {
    logLockFailure("strrchr()", path, errno ? errno : ENOENT);
    clExit(-1);
  }
  const std::string dir = slash == path ? std::string("/") : std::string(path, slash - path);
  if (stat(dir.c_str(), &st) != 0) {
    logLockFailure("stat()", path, errno);
    clExit(-1);
  }
  if (!S_ISDIR(st.st_mode)) {
    logLockFailure("stat() not directory", path, ENOTDIR);
    clExit(-1);
  }
}

int serLockf(int fd, int cmd, int type, off_t length) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = static_cast<short>(type);
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = length;
  return fcntl(fd, nativeLockCommand(cmd), &lock);
}

namespace {

int openForSharedLock(const std::string& dir, const std::string& name, int create) {
  const std::string path = dir + name;
  int fd = openCtlFile(dir, name, O_RDONLY, 0);
  if (fd >= 0 || errno != ENOENT) {
    if (fd < 0) logLockFailure("open(O_RDONLY)", path.c_str(), errno);
    return fd;
  }
  if (!create) return fd;
  int cfd = openCtlFile(dir, name, O_WRONLY | O_CREAT, 0644);
  if (cfd < 0) {
    logLockFailure("creat()", path.c_str(), errno);
    return cfd;
  }
  ctlFileGiveToOwner(cfd, 0644);
  if (close(cfd) != 0) {
    logLockFailure("close()", path.c_str(), errno);
    return -1;
  }
  fd = openCtlFile(dir, name, O_RDONLY, 0);
  if (fd < 0) logLockFailure("open(O_RDONLY)", path.c_str(), errno);
  return fd;
}

int openForExclusiveLock(const std::string& dir, const std::string& name) {
  const std::string path = dir + name;
  const int flags = O_RDWR | O_CREAT;
  int fd = openCtlFile(dir, name, flags, 0644);
  if (fd < 0 && errno == ENOSPC && kmrFreeFS(mountPointOfControlDir(dir).c_str()) > 0)
    fd = openCtlFile(dir, name, flags, 0644);
  if (fd < 0) {
    logLockFailure("open(O_RDWR|O_CREAT)", path.c_str(), errno);
    return fd;
  }
  ctlFileGiveToOwner(fd, 0644);
  return fd;
}

}  // namespace

int serOpenAndLockFile(const char* dir, const char* name, int cmd, int type, int create, int* fd) {
  const std::string path = std::string(dir) + name;
  serVerifyDirectory(path.c_str());
  *fd = -1;
  UniqueFd file(type == SER_LOCK_EXCL ? openForExclusiveLock(dir, name) : openForSharedLock(dir, name, create));
  if (!file) return -1;
  if (serLockf(file.get(), cmd, type, 0) != 0) {
    int err = errno;
    if (err == EACCES || err == EAGAIN) return 1;
    logLockFailure("lock", path.c_str(), err);
    errno = err;
    return -1;
  }
  int fdFlags = fcntl(file.get(), F_GETFD);
  if (fdFlags < 0) {
    logLockFailure("fcntl(F_GETFD)", path.c_str(), errno);
    return -1;
  }
  if (fcntl(file.get(), F_SETFD, fdFlags | FD_CLOEXEC) < 0) {
    logLockFailure("fcntl(F_SETFD)", path.c_str(), errno);
    return -1;
  }
  *fd = file.release();
  return 0;
}

void serUnlockAndCloseFile(int fd) {
  if (fd < 0) return;
  serLockf(fd, F_SETLK, F_UNLCK, 0);
  close(fd);
}

int serAcquireSysLock(const char* dir, const char* name, int cmd, int type, int* fd) {
  *fd = -1;
  int lockFd = -1;
  int rc = serOpenAndLockFile(dir, name, cmd, type, 1, &lockFd);
  if (rc != 0) return rc;
  UniqueFd file(lockFd);
  if (type == SER_LOCK_EXCL) {
    const std::string path = std::string(dir) + name;
    if (ftruncate(file.get(), 0) != 0) {
      logLockFailure("ftruncate()", path.c_str(), errno);
      return -1;
    }
    if (writePid(file.get()) != 0) {
      logLockFailure("write()", path.c_str(), errno ? errno : EIO);
      return -1;
    }
  }
  *fd = file.release();
  return 0;
}

int serAcquireFSLock(const char* fs, const char* name, int cmd, int type, int* fd) {
  return serAcquireSysLock(tarnveldDir(fs).c_str(), name, cmd, type, fd);
}

int serReleaseFSLock(const char* fs, const char* name, int fd) {
  TRACE(TR_SM, "serReleaseFSLock: %s%s fd %d\n", fs ? fs : "", name ? name : "", fd);
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!fs || !name) {
    errno = ENOMEM;
    return -1;
  }
  return close(fd);
}

int serQuerySysLock(const char* dir, const char* name, int lockType) {
  UniqueFd file(openCtlFile(dir, name, O_RDONLY, 0));
  if (!file) return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = lockType == 1 ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(file.get(), F_GETLK, &lock) != 0) return -1;
  return lock.l_type == F_UNLCK ? 0 : 1;
}

int DFpsFile::Open() {
  size_t slash = path_.rfind('/');
  if (slash == std::string::npos) {
    errno = EINVAL;
    return -1;
  }
  fd_.reset(openCtlFile(slash == 0 ? "/" : path_.substr(0, slash), path_.substr(slash), O_RDWR | O_CREAT, 0644));
  return fd_ ? 0 : -1;
}

int DFpsFile::LockOpenedFile(int waitType, int lockType) {
  if (!fd_) return DFPS_RC_NOT_OPEN;
  int type = lockType == 1 ? F_RDLCK : lockType == 2 ? F_WRLCK : F_UNLCK;
  if (serLockf(fd_.get(), waitType == 1 ? F_SETLKW : F_SETLK, type, 0) == 0) return RC_OK;
  if (errno == EAGAIN || errno == EACCES) return DFPS_RC_LOCKED;
  return DFPS_RC_FAILED;
}

int serAcquireSysLock(const char* dir, const char* name, int waitType, int lockType, DFpsFile** handle,
                      int writePidFlag) {
  *handle = nullptr;
  const std::string path = std::string(dir) + name;
  serVerifyDirectory(path.c_str());
  auto file = std::make_unique<DFpsFile>(path);
  if (file->Open() != 0) {
    logLockFailure("open(O_RDWR|O_CREAT)", path.c_str(), errno);
    return DFPS_RC_FAILED;
  }
  ctlFileGiveToOwner(file->fd(), 0644);
  int rc = file->LockOpenedFile(waitType, lockType);
  if (rc != RC_OK) return rc;
  if (lockType == 2) {
    if (ftruncate(file->fd(), 0) != 0) {
      logLockFailure("ftruncate()", path.c_str(), errno);
      return DFPS_RC_FAILED;
    }
    if (writePidFlag && writePid(file->fd()) != 0) {
      logLockFailure("write()", path.c_str(), errno ? errno : EIO);
      return DFPS_RC_FAILED;
    }
  }
  *handle = file.release();
  return RC_OK;
}

void serReleaseSysLock(DFpsFile** handle) {
  if (!handle || !*handle) return;
  std::unique_ptr<DFpsFile> file(*handle);
  *handle = nullptr;
  file->LockOpenedFile(0, 0);
}

std::string reserveFilePath(const std::string& mountPoint, unsigned n) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s/%s%u", mountPoint.c_str(), ".Tarnveld/reserved", ".dmi", n);
  return path;
}

int kmrFreeFS(const char* mountPoint) {
  for (unsigned n = 1; n <= 10; ++n) {
    char name[64];
    snprintf(name, sizeof name, "/.Tarnveld/reserved/.dmi%u", n);
    UniqueFd file(openCtlFile(mountPoint, name, O_WRONLY, 0));
    struct stat st;
    if (!file || fstat(file.get(), &st) != 0 || st.st_size == 0) continue;
    if (ftruncate(file.get(), 0) != 0) continue;
    fsync(file.get());
    TRACE(TR_SM, "kmrFreeFS: emptied reserve file %u of %s\n", n, mountPoint);
    return static_cast<int>(n);
  }
  TRACE(TR_SM, "kmrFreeFS: no reserve file left to empty on %s\n", mountPoint);
  return 0;
}
