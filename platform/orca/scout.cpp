#include "platform/orca/scout.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
std::string& socketPath() {
  static std::string path = kScoutSocketPath;
  return path;
}
}  // namespace

void hsmScoutSetSocketPath(const std::string& path) {
  socketPath() = path.empty() ? std::string(kScoutSocketPath) : path;
}

const std::string& hsmScoutSocketPath() { return socketPath(); }

std::string hsmScoutEncode(const char* fsName, const char* dirName, const char* fileName,
                           int status) {
  // Fields separated by zero bytes: a file name can hold any byte but zero.
  std::string d(kScoutMagic, sizeof kScoutMagic);
  d += std::to_string(status);
  d.push_back('\0');
  for (const char* part : {fsName, dirName, fileName}) {
    d += part != nullptr ? part : "";
    d.push_back('\0');
  }
  return d;
}

int HSM_Comm_ChangeFileStatus(const char* fsName, const char* dirName, const char* fileName,
                              int status) {
  const std::string& path = socketPath();
  struct sockaddr_un addr {};
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  std::string datagram = hsmScoutEncode(fsName, dirName, fileName, status);
  ssize_t n = sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  int err = errno;
  close(fd);
  errno = err;
  return n == static_cast<ssize_t>(datagram.size()) ? 0 : -1;
}
