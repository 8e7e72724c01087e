#include "reconcile/stubfile.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

bool isAcceptableAlias(const std::string& alias) {
  if (alias.size() < 2 || alias[0] != '/') return false;
  size_t start = 1;
  while (start <= alias.size()) {
    size_t end = alias.find('/', start);
    if (end == std::string::npos) end = alias.size();
    std::string_view part(alias.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

namespace {
int openBeneath(int dirfd, const char* path, uint64_t flags) {
  struct open_how how {};
  how.flags = flags;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, dirfd, path, &how, sizeof how));
}
}  // namespace

int StubFile::resolveParent(const std::string& mountPoint, const std::string& alias) {
  if (!isAcceptableAlias(alias)) {
    errno = EINVAL;
    return -1;
  }
  UniqueFd mount(open(mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!mount) return -1;
  size_t slash = alias.rfind('/');
  std::string dir = slash == 0 ? std::string(".") : alias.substr(1, slash - 1);
  UniqueFd parent(openBeneath(mount.get(), dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent) return -1;
  m_parent = std::move(parent);
  m_leaf = alias.substr(slash + 1);
  return 0;
}

int StubFile::create() {
  if (!m_parent) {
    errno = EBADF;
    return -1;
  }
  // The old entry goes first, so that whatever stood there (a file, a link
  // planted by a user) is never opened; a directory stays and makes the
  // exclusive create fail.
  unlinkat(m_parent.get(), m_leaf.c_str(), 0);
  int fd = openat(m_parent.get(), m_leaf.c_str(),
                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  m_fd.reset(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int err = errno;
    unlinkat(m_parent.get(), m_leaf.c_str(), 0);
    m_fd.reset();
    errno = err;
    return -1;
  }
  m_dev = st.st_dev;
  m_ino = st.st_ino;
  m_created = true;
  return 0;
}

void StubFile::removeCreated() {
  int saved = errno;
  // The directory is writable by users: between our create and this call
  // the name may have been given to someone else's file. Only the entry
  // that is still our file goes.
  struct stat entry {};
  bool same = m_created &&
              fstatat(m_parent.get(), m_leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
              entry.st_dev == m_dev && entry.st_ino == m_ino;
  if (same) unlinkat(m_parent.get(), m_leaf.c_str(), 0);
  m_fd.reset();
  m_created = false;
  errno = saved;
}

int StubFile::close() {
  int fd = m_fd.release();
  if (fd < 0) return 0;
  return ::close(fd);
}
