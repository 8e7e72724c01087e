#include "common/safepath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace {
// A rename anywhere in the file system may make the kernel give up a
// resolution with EAGAIN; a few more tries see a settled tree.
constexpr int kResolveTries = 8;

constexpr std::string_view kControlDir = "/.Tarnveld";

bool acceptedKind(mode_t mode, bool streamToo) {
  return S_ISREG(mode) || (streamToo && (S_ISFIFO(mode) || S_ISCHR(mode)));
}

// Accepts `fd` only as a regular file (or, with `streamToo`, a FIFO or a
// character device) and puts
// it back into blocking mode. A FIFO without a reader (or a device without
// its driver) fails a non-blocking open itself with ENXIO: that, too, is
// "not a regular file". `openFlags` are the flags `fd` was opened with:
// F_SETFL takes only the status flags from them, so the blocking mode comes
// back in one call without asking for the flags first. `out` (may be null)
// receives the file's status.
int acceptKind(UniqueFd fd, int openFlags, bool streamToo = false, struct stat* out = nullptr) {
  if (!fd) {
    if (errno == ENXIO) errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!acceptedKind(st.st_mode, streamToo)) {
    errno = EINVAL;
    return -1;
  }
  if ((openFlags & O_NONBLOCK) && fcntl(fd.get(), F_SETFL, openFlags & ~O_NONBLOCK) != 0) return -1;
  if (out) *out = st;
  return fd.release();
}

int modeFlags(const char* mode) {
  const std::string_view m = mode;
  if (m == "r") return O_RDONLY;
  if (m == "r+") return O_RDWR;
  if (m == "w") return O_WRONLY | O_CREAT | O_TRUNC;
  if (m == "w+") return O_RDWR | O_CREAT | O_TRUNC;
  if (m == "a") return O_WRONLY | O_CREAT | O_APPEND;
  if (m == "a+") return O_RDWR | O_CREAT | O_APPEND;
  return -1;
}

FILE* fdopenOrClose(int fd, const char* mode) {
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, mode);
  if (!f) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}
}  // namespace

int safeOpenBeneath(int dirFd, const char* relPath, int flags, mode_t mode) {
  if (relPath == nullptr || relPath[0] == '\0' || relPath[0] == '/') {
    errno = EINVAL;
    return -1;
  }
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
  if (flags & (O_CREAT | __O_TMPFILE)) how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  for (int attempt = 0;; ++attempt) {
    long fd = syscall(SYS_openat2, dirFd, relPath, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN || attempt + 1 >= kResolveTries) return -1;
  }
}

int safeOpenRegularBeneath(int dirFd, const char* relPath, int flags, mode_t mode) {
  const int all = flags | O_NOFOLLOW | O_NONBLOCK;
  return acceptKind(UniqueFd(safeOpenBeneath(dirFd, relPath, all, mode)), all);
}

int safeOpenRegularBeneathStat(int dirFd, const char* relPath, int flags, struct stat* st) {
  const int all = flags | O_NOFOLLOW | O_NONBLOCK;
  return acceptKind(UniqueFd(safeOpenBeneath(dirFd, relPath, all, 0)), all, false, st);
}

int safeOpenMountRoot(const std::string& mountPoint) {
  return open(mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool safeIsPathBelow(const std::string& below) {
  if (below.size() < 2 || below[0] != '/') return false;
  size_t start = 1;
  while (start <= below.size()) {
    size_t end = below.find('/', start);
    if (end == std::string::npos) end = below.size();
    std::string_view part(below.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

bool safeIsInControlDir(const std::string& below) {
  return below.compare(0, kControlDir.size(), kControlDir) == 0 &&
         (below.size() == kControlDir.size() || below[kControlDir.size()] == '/');
}

int safeOpenParent(const std::string& mountPoint, const std::string& below, SafeParent* out) {
  if (!safeIsPathBelow(below)) {
    errno = EINVAL;
    return -1;
  }
  UniqueFd root(safeOpenMountRoot(mountPoint));
  if (!root) return -1;
  size_t slash = below.rfind('/');
  std::string dir = slash == 0 ? std::string(".") : below.substr(1, slash - 1);
  UniqueFd parent(safeOpenBeneath(root.get(), dir.c_str(), O_PATH | O_DIRECTORY));
  if (!parent) return -1;
  out->dir = std::move(parent);
  out->leaf = below.substr(slash + 1);
  return 0;
}

int clOpenRegularBeneath(const std::string& dir, const std::string& name, int flags, mode_t mode) {
  std::string base = dir;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  UniqueFd parent(open(base.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parent) return -1;
  size_t start = name.find_first_not_of('/');
  if (start == std::string::npos) {
    errno = EINVAL;
    return -1;
  }
  return safeOpenRegularBeneath(parent.get(), name.c_str() + start, flags, mode);
}

int clOpenRegular(const char* path, int flags, mode_t mode, LinkPolicy links) {
  int extra = O_NONBLOCK | O_CLOEXEC | (links == LinkPolicy::kNoFollow ? O_NOFOLLOW : 0);
  return acceptKind(UniqueFd(open(path, flags | extra, mode)), flags | extra);
}

FILE* clFopenRegular(const char* path, const char* mode, LinkPolicy links) {
  int flags = modeFlags(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  return fdopenOrClose(clOpenRegular(path, flags, 0644, links), mode);
}

bool clReadRegularFile(const char* path, LinkPolicy links, std::string* content) {
  UniqueFd fd(clOpenRegular(path, O_RDONLY, 0, links));
  if (!fd) return false;
  content->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    content->append(buf, static_cast<size_t>(n));
  }
}

FILE* clFopenStreamNoFollow(const char* path, const char* mode) {
  int flags = modeFlags(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  // Blocking, as a pipe's writer waits for its reader.
  const int all = flags | O_NOFOLLOW | O_CLOEXEC;
  return fdopenOrClose(acceptKind(UniqueFd(open(path, all, 0644)), all, true), mode);
}
