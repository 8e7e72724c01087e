#include "zefserver/notify.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zef {

bool notifyServiceManager(const std::string& state) {
  const char* name = getenv("NOTIFY_SOCKET");
  if (name == nullptr || name[0] == '\0') return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = strlen(name);
  if ((name[0] != '/' && name[0] != '@') || len >= sizeof addr.sun_path) {
    errno = EINVAL;
    return false;
  }
  memcpy(addr.sun_path, name, len);
  // An abstract name has no terminating NUL: its length is all it has.
  if (name[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (name[0] == '/'));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent =
      sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), addrLen);
  const int saved = errno;
  close(fd);
  errno = saved;
  return sent == static_cast<ssize_t>(state.size());
}

bool stderrIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  char tail = 0;
  if (sscanf(stream, "%llu:%llu%c", &dev, &ino, &tail) != 2) return false;
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace zef
