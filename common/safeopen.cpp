#include "common/safeopen.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "common/uniquefd.h"

namespace {

// Accepts `fd` only as a regular file and puts it back into blocking mode.
// A FIFO without a reader (or a device without its driver) fails the open
// itself with ENXIO: that, too, is "not a regular file".
int acceptRegular(UniqueFd fd) {
  if (!fd) {
    if (errno == ENXIO) errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  int fl = fcntl(fd.get(), F_GETFL);
  if (fl < 0 || fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return -1;
  return fd.release();
}

int modeFlags(const char* mode) {
  const std::string m = mode;
  if (m == "r") return O_RDONLY;
  if (m == "r+") return O_RDWR;
  if (m == "w") return O_WRONLY | O_CREAT | O_TRUNC;
  if (m == "w+") return O_RDWR | O_CREAT | O_TRUNC;
  if (m == "a") return O_WRONLY | O_CREAT | O_APPEND;
  if (m == "a+") return O_RDWR | O_CREAT | O_APPEND;
  return -1;
}

}  // namespace

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
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return acceptRegular(UniqueFd(static_cast<int>(
      syscall(SYS_openat2, parent.get(), name.c_str() + start, &how, sizeof how))));
}

int clOpenRegular(const char* path, int flags, mode_t mode, LinkPolicy links) {
  int extra = O_NONBLOCK | O_CLOEXEC | (links == LinkPolicy::kNoFollow ? O_NOFOLLOW : 0);
  return acceptRegular(UniqueFd(open(path, flags | extra, mode)));
}

FILE* clFopenRegular(const char* path, const char* mode, LinkPolicy links) {
  int flags = modeFlags(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = clOpenRegular(path, flags, 0644, links);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, mode);
  if (!f) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return f;
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
