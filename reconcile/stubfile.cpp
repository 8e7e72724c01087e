#include "reconcile/stubfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
bool sameEntry(const struct stat& st, const StubEntry& seen) {
  return st.st_dev == seen.dev && st.st_ino == seen.ino && st.st_mtim.tv_sec == seen.mtime.tv_sec &&
         st.st_mtim.tv_nsec == seen.mtime.tv_nsec;
}

// How open(O_TMPFILE) fails where the file system has no unnamed files.
bool noTmpfile(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// An unnamed file in the directory, marked, then linked at `name`: a file
// at that name is never one of ours without the marker.
int createMarkedTmpfile(int dir, const char* name, const std::string& marker) {
  UniqueFd fd(safeOpenBeneath(dir, ".", O_TMPFILE | O_RDWR, 0600));
  if (!fd) return -1;
  if (fsetxattr(fd.get(), kStubTempMarker, marker.data(), marker.size(), XATTR_CREATE) != 0 ||
      linkat(fd.get(), "", dir, name, AT_EMPTY_PATH) != 0)
    return -1;
  return fd.release();
}

// Where unnamed files are not supported: an exclusive create, marked at once.
int createMarkedNamed(int dir, const char* name, const std::string& marker) {
  UniqueFd fd(safeOpenBeneath(dir, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  if (!fd) return -1;
  if (fsetxattr(fd.get(), kStubTempMarker, marker.data(), marker.size(), XATTR_CREATE) != 0) {
    int err = errno;
    unlinkat(dir, name, 0);
    errno = err;
    return -1;
  }
  return fd.release();
}
}  // namespace

StubFile::~StubFile() { discard(); }

StubFile& StubFile::operator=(StubFile&& o) {
  if (this != &o) {
    discard();
    m_dir = std::move(o.m_dir);
    m_leaf = std::move(o.m_leaf);
    m_alias = std::move(o.m_alias);
    m_temp = std::move(o.m_temp);
    m_objectHex = std::move(o.m_objectHex);
    m_fd = std::move(o.m_fd);
    m_named = o.m_named;
    m_unnamed = o.m_unnamed;
    m_committed = o.m_committed;
    m_dev = o.m_dev;
    m_ino = o.m_ino;
    m_seen = o.m_seen;
    m_looked = o.m_looked;
    o.m_named = false;
  }
  return *this;
}

int StubDirCache::resolve(const std::string& mountPoint, const std::string& alias,
                          std::shared_ptr<const UniqueFd>* dir, std::string* leaf) {
  if (!safeIsPathBelow(alias)) {
    errno = EINVAL;
    return -1;
  }
  const size_t slash = alias.rfind('/');
  struct stat st {};
  const bool kept = m_dir && mountPoint == m_mountPoint &&
                    alias.compare(0, slash + 1, m_dirPath) == 0 && m_dirPath.size() == slash + 1 &&
                    fstat(m_dir->get(), &st) == 0 && st.st_nlink > 0;
  if (!kept) {
    clear();
    SafeParent parent;
    if (safeOpenParent(mountPoint, alias, &parent) != 0) return -1;
    m_dir = std::make_shared<const UniqueFd>(std::move(parent.dir));
    m_mountPoint = mountPoint;
    m_dirPath = alias.substr(0, slash + 1);
  }
  *dir = m_dir;
  leaf->assign(alias, slash + 1, std::string::npos);
  return 0;
}

void StubDirCache::clear() {
  m_dir.reset();
  m_mountPoint.clear();
  m_dirPath.clear();
}

int StubFile::open(const std::string& mountPoint, const std::string& alias,
                   const std::string& objectHex, StubDirCache* cache) {
  reset();
  if (objectHex.empty() || objectHex.find('/') != std::string::npos) {
    errno = EINVAL;
    return -1;
  }
  if (cache != nullptr) {
    if (cache->resolve(mountPoint, alias, &m_dir, &m_leaf) != 0) return -1;
  } else {
    SafeParent parent;
    if (safeOpenParent(mountPoint, alias, &parent) != 0) return -1;
    m_dir = std::make_shared<const UniqueFd>(std::move(parent.dir));
    m_leaf = std::move(parent.leaf);
  }
  m_alias = alias;
  m_objectHex = objectHex;
  m_temp.assign(kStubTempPrefix).append(objectHex);
  return 0;
}

int StubFile::look(StubEntry* out) {
  if (!isResolved()) {
    errno = EBADF;
    return -1;
  }
  StubEntry e;
  struct stat st {};
  if (fstatat(dirFd(), leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    e.present = true;
    e.directory = S_ISDIR(st.st_mode);
    e.regular = S_ISREG(st.st_mode);
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.mtime = st.st_mtim;
  } else if (errno != ENOENT) {
    return -1;
  }
  m_seen = e;
  m_looked = true;
  if (out) *out = e;
  return 0;
}

int StubFile::removeStaleTemporary() {
  if (!isResolved()) {
    errno = EBADF;
    return -1;
  }
  // Opened without following a link and without blocking on a FIFO; only a
  // regular file can be ours.
  UniqueFd fd(safeOpenBeneath(dirFd(), m_temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return 0;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  char value[128];
  ssize_t n = fgetxattr(fd.get(), kStubTempMarker, value, sizeof value);
  if (n < 0 || std::string(value, static_cast<size_t>(n)) != m_objectHex) return 0;
  struct stat entry {};
  if (fstatat(dirFd(), m_temp.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
      entry.st_dev != st.st_dev || entry.st_ino != st.st_ino)
    return 0;
  if (unlinkat(dirFd(), m_temp.c_str(), 0) != 0) return -1;
  return 1;
}

int StubFile::createTemporary() {
  if (!isResolved()) {
    errno = EBADF;
    return -1;
  }
  if (m_looked && !m_seen.present) {
    // Nothing was at the stub's name: the file stays unnamed until commit()
    // links it there, which fails if anything took the name meanwhile.
    // Killed before that, it is gone with the process; nothing to mark.
    UniqueFd unnamed(safeOpenBeneath(dirFd(), ".", O_TMPFILE | O_RDWR, 0600));
    if (unnamed) {
      m_fd = std::move(unnamed);
      m_unnamed = true;
      return 0;
    }
    if (!noTmpfile(errno)) return -1;
  }
  int fd = createMarkedTmpfile(dirFd(), m_temp.c_str(), m_objectHex);
  if (fd < 0 && noTmpfile(errno)) fd = createMarkedNamed(dirFd(), m_temp.c_str(), m_objectHex);
  if (fd < 0) return -1;
  m_fd.reset(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int err = errno;
    m_named = true;
    discard();
    errno = err;
    return -1;
  }
  m_dev = st.st_dev;
  m_ino = st.st_ino;
  m_named = true;
  return 0;
}

int StubFile::commit() {
  if (!(m_named || m_unnamed) || !m_looked) {
    errno = EBADF;
    return -1;
  }
  const int dir = dirFd();
  const char* temp = m_temp.c_str();
  const char* name = leaf().c_str();
  if (m_seen.directory) {
    errno = EISDIR;
    return -1;
  }
  if (m_unnamed) {
    // A link never replaces an entry: EEXIST when a file appeared.
    if (linkat(m_fd.get(), "", dir, name, AT_EMPTY_PATH) != 0) return -1;
    m_committed = true;
    return 0;
  }
  if (!m_seen.present) {
    if (renameat2(dir, temp, dir, name, RENAME_NOREPLACE) != 0) return -1;
    m_committed = true;
    return 0;
  }
  if (renameat2(dir, temp, dir, name, RENAME_EXCHANGE) != 0) {
    if (errno != ENOENT) return -1;
    // The file seen has gone meanwhile: nothing is lost by taking the name
    // while it stays free.
    if (renameat2(dir, temp, dir, name, RENAME_NOREPLACE) != 0) return -1;
    m_committed = true;
    return 0;
  }
  // Our stub stands at the name now; what stood there is at the temporary
  // name. It goes only when it is the file the decision saw.
  struct stat old {};
  if (fstatat(dir, temp, &old, AT_SYMLINK_NOFOLLOW) == 0 && sameEntry(old, m_seen)) {
    m_committed = true;
    unlinkat(dir, temp, 0);
    return 0;
  }
  renameat2(dir, temp, dir, name, RENAME_EXCHANGE);
  errno = ESTALE;
  return -1;
}

int StubFile::unmark() {
  if (!m_fd) {
    errno = EBADF;
    return -1;
  }
  if (m_unnamed) return 0;  // never marked
  if (fremovexattr(m_fd.get(), kStubTempMarker) != 0 && errno != ENODATA) return -1;
  return 0;
}

void StubFile::discard() {
  int saved = errno;
  if (m_named && !m_committed && isResolved()) {
    // The directory is writable by users: the temporary name may have been
    // given to someone else's file. Only the entry that is still ours goes.
    struct stat entry {};
    if (fstatat(dirFd(), m_temp.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        entry.st_dev == m_dev && entry.st_ino == m_ino)
      unlinkat(dirFd(), m_temp.c_str(), 0);
  }
  m_named = false;
  m_unnamed = false;
  m_fd.reset();
  errno = saved;
}

void StubFile::reset() {
  discard();  // first: it needs the temporary's name
  StubFile fresh;
  fresh.m_leaf.swap(m_leaf);
  fresh.m_alias.swap(m_alias);
  fresh.m_temp.swap(m_temp);
  fresh.m_objectHex.swap(m_objectHex);
  *this = std::move(fresh);
  m_leaf.clear();
  m_alias.clear();
  m_temp.clear();
  m_objectHex.clear();
}

int StubFile::close() {
  int fd = m_fd.release();
  if (fd < 0) return 0;
  return ::close(fd);
}
