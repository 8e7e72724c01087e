#include "platform/orca/scout.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

// The process's notification channel.
struct Channel {
  std::mutex mutex;
  std::string path = kScoutSocketPath;
  int fd = -1;
  int nobodyListens = 0;  // the errno that said so, or 0
};

Channel& channel() {
  static Channel* c = new Channel;  // lives for the whole process, also during exit handlers
  return *c;
}

int failWith(int err) {
  errno = err;
  return -1;
}

}  // namespace

void hsmScoutSetSocketPath(const std::string& path) {
  Channel& c = channel();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.path = path.empty() ? std::string(kScoutSocketPath) : path;
  if (c.fd >= 0) close(c.fd);
  c.fd = -1;
  c.nobodyListens = 0;
}


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
  Channel& c = channel();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.nobodyListens) return failWith(c.nobodyListens);
  struct sockaddr_un addr {};
  if (c.path.size() >= sizeof addr.sun_path) return failWith(ENAMETOOLONG);
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, c.path.c_str(), c.path.size() + 1);
  if (c.fd < 0) c.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (c.fd < 0) return -1;
  std::string datagram = hsmScoutEncode(fsName, dirName, fileName, status);
  ssize_t n = sendto(c.fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (n == static_cast<ssize_t>(datagram.size())) return 0;
  if (n >= 0) return failWith(EMSGSIZE);
  if (errno == ENOENT || errno == ECONNREFUSED) c.nobodyListens = errno;
  return -1;
}
