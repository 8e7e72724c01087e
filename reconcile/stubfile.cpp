#include "reconcile/stubfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/trace.h"

namespace {
bool sameEntry(const struct stat& st, const StubEntry& seen) {
  return st.st_dev == seen.dev && st.st_ino == seen.ino && st.st_mtim.tv_sec == seen.mtime.tv_sec &&
         st.st_mtim.tv_nsec == seen.mtime.tv_nsec;
}

// How open(O_TMPFILE) fails where the file system has no unnamed files.
bool noTmpfile(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// How many fresh names a temporary may try before giving up: a name held by
// someone else is met only by chance (or by a user who guessed 128 bits).
constexpr int kTempNameTries = 8;

// ".kmrstub." and 32 hex digits of 16 random bytes.
int drawTempName(std::string* name) {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    got += static_cast<size_t>(n);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  name->assign(kStubTempPrefix);
  for (unsigned char b : bytes) {
    name->push_back(kDigits[b >> 4]);
    name->push_back(kDigits[b & 15]);
  }
  return 0;
}

// The object our marker on `fd` names, when `fd` is a regular file that
// carries it; empty otherwise.
std::string markedObject(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return {};
  char value[128];
  ssize_t n = fgetxattr(fd, kStubTempMarker, value, sizeof value);
  return n > 0 ? std::string(value, static_cast<size_t>(n)) : std::string();
}

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
    m_cache = o.m_cache;
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

int listStubTemporaries(int dir, std::vector<StubTemporary>* out) {
  out->clear();
  // A descriptor that can be read: the one we keep is O_PATH.
  int readable = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable < 0) return -1;
  DIR* d = fdopendir(readable);
  if (d == nullptr) {
    int err = errno;
    ::close(readable);
    errno = err;
    return -1;
  }
  const size_t prefix = strlen(kStubTempPrefix);
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, kStubTempPrefix, prefix) != 0) continue;
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    // Opened without following a link and without blocking on a FIFO.
    UniqueFd fd(safeOpenBeneath(dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) continue;
    std::string object = markedObject(fd.get());
    if (!object.empty()) out->push_back(StubTemporary{e->d_name, std::move(object)});
  }
  closedir(d);
  return 0;
}

std::vector<StubTemporary>* StubDirCache::temporaries() {
  if (!m_dir) return nullptr;
  if (!m_listed) {
    if (listStubTemporaries(m_dir->get(), &m_temporaries) != 0) return nullptr;
    m_listed = true;
  }
  return &m_temporaries;
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
  m_temporaries.clear();
  m_listed = false;
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
  m_cache = cache;
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

int StubFile::removeStaleTemporary(std::string* removed) {
  if (!isResolved()) {
    errno = EBADF;
    return -1;
  }
  std::vector<StubTemporary> listed;
  std::vector<StubTemporary>* temps = m_cache != nullptr ? m_cache->temporaries() : nullptr;
  if (temps == nullptr) {
    if (listStubTemporaries(dirFd(), &listed) != 0) return -1;
    temps = &listed;
  }
  for (auto it = temps->begin(); it != temps->end(); ++it) {
    if (it->objectHex != m_objectHex) continue;
    const std::string name = std::move(it->name);
    temps->erase(it);
    // Listed earlier: the name may stand for another file by now.
    UniqueFd fd(safeOpenBeneath(dirFd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    struct stat entry {};
    if (!fd || markedObject(fd.get()) != m_objectHex || fstat(fd.get(), &st) != 0 ||
        fstatat(dirFd(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || entry.st_dev != st.st_dev ||
        entry.st_ino != st.st_ino)
      return removeStaleTemporary(removed);
    if (unlinkat(dirFd(), name.c_str(), 0) != 0) return -1;
    if (removed != nullptr) *removed = name;
    return 1;
  }
  return 0;
}

int StubFile::createTemporary() {
  if (!isResolved()) {
    errno = EBADF;
    return -1;
  }
  if (m_looked && !m_seen.present && !TEST_NOUNNAMEDFILES.set) {
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
  int fd = -1;
  bool tmpfile = true;
  for (int tries = 0; fd < 0 && tries < kTempNameTries; ++tries) {
    if (drawTempName(&m_temp) != 0) return -1;
    if (tmpfile && TEST_NOUNNAMEDFILES.set) tmpfile = false;  // as where O_TMPFILE fails
    if (tmpfile) fd = createMarkedTmpfile(dirFd(), m_temp.c_str(), m_objectHex);
    if (fd < 0 && tmpfile && noTmpfile(errno)) tmpfile = false;
    if (!tmpfile) fd = createMarkedNamed(dirFd(), m_temp.c_str(), m_objectHex);
    if (fd < 0 && errno != EEXIST) return -1;
  }
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
