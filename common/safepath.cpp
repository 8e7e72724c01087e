#include "common/safepath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace {
// A rename anywhere in the file system may make the kernel give up a
// resolution with EAGAIN; a few more tries see a settled tree.
constexpr int kResolveTries = 8;
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
