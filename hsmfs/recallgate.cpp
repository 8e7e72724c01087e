#include "hsmfs/recallgate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"

namespace {

// Closes a descriptor when it goes.
struct Closer {
  int fd;
  ~Closer() {
    if (fd >= 0) close(fd);
  }
};

// Sends the request with `fd` attached.
int ask(int sock, int fd) {
  char msg[kRecallGateMsgLen] = {};
  memcpy(msg, kRecallGateAsk, sizeof kRecallGateAsk);
  struct iovec iov {msg, sizeof msg};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr m {};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  struct cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(sock, &m, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof msg) ? 0 : errno;
}

// Waits for the answer: 0, its status, or an errno value of the wait.
int answer(int sock, int deadlineMs) {
  struct pollfd p {sock, POLLIN, 0};
  int n;
  while ((n = poll(&p, 1, deadlineMs)) < 0 && errno == EINTR) {
  }
  if (n < 0) return errno;
  if (n == 0) return ETIMEDOUT;
  unsigned char msg[kRecallGateMsgLen];
  const ssize_t got = recv(sock, msg, sizeof msg, 0);
  if (got < 0) return errno;
  // A daemon that closes without answering did not drop the marks.
  if (got != static_cast<ssize_t>(sizeof msg) || memcmp(msg, kRecallGateDone, sizeof kRecallGateDone) != 0)
    return EPROTO;
  const uint32_t status = (uint32_t{msg[4]} << 24) | (uint32_t{msg[5]} << 16) | (uint32_t{msg[6]} << 8) | msg[7];
  return static_cast<int>(status);
}

}  // namespace

std::string recallGatePath(const std::string& mountPoint) {
  return mountPoint + "/.Tarnveld/" + kRecallGateName;
}

int recallGateDir(const std::string& mountPoint, std::string* address) {
  const std::string dir = mountPoint + "/.Tarnveld";
  const int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  *address = "/proc/self/fd/" + std::to_string(fd) + "/" + kRecallGateName;
  return fd;
}

int askRecallGate(const std::string& mountPoint, int fd, int deadlineMs) {
  std::string address;
  Closer dir{recallGateDir(mountPoint, &address)};
  // No control directory, no daemon's socket.
  if (dir.fd < 0) return errno == ENOENT ? 0 : errno;
  Closer sock{socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)};
  if (sock.fd < 0) return errno;
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  if (address.size() >= sizeof sa.sun_path) return ENAMETOOLONG;
  memcpy(sa.sun_path, address.c_str(), address.size() + 1);
  if (connect(sock.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    // No daemon runs: it left no socket, or one that nobody accepts on.
    if (errno == ENOENT || errno == ECONNREFUSED) {
      TRACE(TR_SM, "recall gate of %s: no daemon (errno %d)\n", mountPoint.c_str(), errno);
      return 0;
    }
    return errno;
  }
  // Only root's daemon is believed: anyone else's "done" would be worthless.
  struct ucred peer {};
  socklen_t len = sizeof peer;
  if (getsockopt(sock.fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) return errno;
  if (peer.uid != 0) return EPERM;
  if (const int err = ask(sock.fd, fd)) return err;
  return answer(sock.fd, deadlineMs);
}

bool drainRecallReports(const std::string& mountPoint, int fd, int deadlineMs) {
  const int err = askRecallGate(mountPoint, fd, deadlineMs);
  if (err == 0) return true;
  nlfprintf(stderr, kMsg9859, hsmWhoAmI(), recallGatePath(mountPoint).c_str(), deadlineMs / 1000, strerror(err));
  errno = err;
  return false;
}
