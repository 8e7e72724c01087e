#include "hsmfs/recallgate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

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

int msUntil(std::chrono::steady_clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// The file systems whose daemon let a request go unanswered in this
// process. Their later requests fail at once: a hung daemon costs a run one
// deadline, not one per file.
std::atomic<bool> g_anyUnanswered{false};
std::mutex g_unansweredLock;
std::vector<std::string> g_unanswered;

bool knownUnanswered(const std::string& mountPoint) {
  if (!g_anyUnanswered.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> hold(g_unansweredLock);
  return std::find(g_unanswered.begin(), g_unanswered.end(), mountPoint) != g_unanswered.end();
}

void rememberUnanswered(const std::string& mountPoint) {
  std::lock_guard<std::mutex> hold(g_unansweredLock);
  g_unanswered.push_back(mountPoint);
  g_anyUnanswered.store(true, std::memory_order_release);
}

// Sends the request with `fd` attached.
int ask(int sock, int fd) {
  RecallGateMessage m;
  memcpy(m.bytes, kRecallGateAsk, sizeof kRecallGateAsk);
  struct cmsghdr* c = CMSG_FIRSTHDR(&m.header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(sock, &m.header, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof m.bytes) ? 0 : errno;
}

// Waits for the answer: 0, its status, or an errno value of the wait.
int answer(int sock, int deadlineMs) {
  struct pollfd p {sock, POLLIN, 0};
  // A signal must not restart the wait: the deadline is the whole wait's.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  int n;
  while ((n = poll(&p, 1, msUntil(end))) < 0 && errno == EINTR) {
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
  // Where no daemon ever ran there is no socket: one lookup, as cheap as the
  // gate can be for a stub maker that makes millions of stubs.
  struct stat st {};
  if (fstatat(AT_FDCWD, recallGatePath(mountPoint).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
      (errno == ENOENT || errno == ENOTDIR))
    return 0;
  if (knownUnanswered(mountPoint)) return ETIMEDOUT;
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
  const int err = answer(sock.fd, deadlineMs);
  if (err == ETIMEDOUT) rememberUnanswered(mountPoint);
  return err;
}

bool drainRecallReports(const std::string& mountPoint, int fd, int deadlineMs) {
  const int err = askRecallGate(mountPoint, fd, deadlineMs);
  if (err == 0) return true;
  nlfprintf(stderr, kMsg9859, hsmWhoAmI(), recallGatePath(mountPoint).c_str(), deadlineMs / 1000, strerror(err));
  errno = err;
  return false;
}
