#include "server/tcpcomm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "common/interrupt.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "server/tcptls.h"

namespace {

constexpr int kSocketAttempts = 5;

UniqueFd createSocket() {
  for (int attempt = 1;; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EAGAIN) {
      TRACE(TR_COMM, "TcpOpen(): socket(): errno = %d\n", errno);
      trNlsLogPrintf(__FILE__, __LINE__, TR_COMM, kMsg20584, errno);
      return UniqueFd();
    }
    if (attempt >= kSocketAttempts) {
      TRACE(TR_COMM, "TcpOpen(): socket(): errno = EAGAIN after %d attempts\n", attempt);
      return UniqueFd();
    }
    TRACE(TR_COMM, "TcpOpen(): socket(): errno = EAGAIN. Re-trying socket() call %d\n", attempt);
  }
}

// A failing option costs performance, not correctness: log it and go on.
void setSocketOptions(int fd, const TcpSettings& s) {
  bool failed = false;
  int one = 1;
  failed |= setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0;
  if (s.socketDebug) failed |= setsockopt(fd, SOL_SOCKET, SO_DEBUG, &one, sizeof one) != 0;
  if (s.noDelay) failed |= setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0;
  if (s.windowSizeKB) {
    int bytes = static_cast<int>(s.windowSizeKB * 1024);
    failed |= setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0;
    failed |= setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0;
    trNlsLogPrintf(__FILE__, __LINE__, TR_CONFIG, kMsg11099, s.windowSizeKB, s.windowSizeKB);
    TRACE(TR_COMM, "SetSocketOptions(): tcp_sendbuffsize(%d), tcp_recvbuffsize(%d)\n", bytes, bytes);
  }
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
    TRACE(TR_COMM, "SetSocketOptions(): setsockopt(SO_KEEPALIVE) failed, errno = %d\n", errno);
    failed = true;
  }
  if (failed) TRACE(TR_COMM, "SetSocketOptions(): setsockopt failed on one or more options\n");
}

// Resolves a name or dotted address, retrying while the resolver asks us to.
bool resolve(const TcpSettings& s, sockaddr_in* out) {
  memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(s.port);
  if (inet_pton(AF_INET, s.serverAddress.c_str(), &out->sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  for (int waited = 0;; ++waited) {
    addrinfo* res = nullptr;
    int rc = getaddrinfo(s.serverAddress.c_str(), nullptr, &hints, &res);
    if (rc == 0) {
      out->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
      freeaddrinfo(res);
      return true;
    }
    if (rc != EAI_AGAIN || waited >= s.resolveTimeoutSeconds || !clSleepInterruptible(1000)) {
      TRACE(TR_COMM, "GetHostnameOrNumber(): gethostbyname(): errno = %d.\n", rc);
      TRACE(TR_COMM, "TcpOpen: Could not resolve host name.\n");
      return false;
    }
  }
}

bool setNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// One connect attempt. Returns 0 or the errno of the failure.
int connectOnce(int fd, const sockaddr_in& addr, const TcpSettings& s) {
  if (s.nonBlocking && !setNonBlocking(fd, true)) return errno;
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    int ready = clPollInterruptible(fd, POLLOUT, s.connectTimeoutSeconds * 1000, nullptr,
                                    "a connection to the server");
    if (ready == kWaitInterrupted) return EINTR;
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  }
  if (err == 0 && s.nonBlocking && !setNonBlocking(fd, false)) err = errno;
  return err;
}

// Sends without ever blocking in send(): a server that stops reading holds
// the sender only as long as a reader would wait for its answer, and an
// interrupt ends the wait.
int sendAll(int fd, const uint8_t* p, size_t len, int timeoutSeconds) {
  while (len) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int ready = clPollInterruptible(fd, POLLOUT, timeoutSeconds > 0 ? timeoutSeconds * 1000 : -1,
                                      nullptr, "the server to take the request");
      if (ready == kWaitInterrupted) return RC_COMM_ABORTED;
      if (ready <= 0) return RC_COMM_FAILURE;
      continue;
    }
    if (n <= 0) return RC_COMM_FAILURE;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Sends through TLS when the connection has it.
int sendOn(CommObj* comm, const uint8_t* p, size_t len) {
  const int timeout = comm->settings.readTimeoutSeconds;
  if (comm->tls) return tlsSend(comm->tls, comm->fd.get(), p, len, timeout > 0 ? timeout * 1000 : -1);
  return sendAll(comm->fd.get(), p, len, timeout);
}

void dropTls(CommObj* comm) {
  tlsFree(comm->tls);
  comm->tls = nullptr;
}

int flushLocked(CommObj* comm) {
  if (!comm->sendUsed) return 0;
  if (!comm->fd.valid()) return RC_COMM_FAILURE;
  int rc = sendOn(comm, comm->sendBuf.data(), comm->sendUsed);
  comm->sendUsed = 0;
  return rc;
}

}  // namespace

CommObj::~CommObj() { tlsFree(tls); }

int TcpOpen(CommObj* comm) {
  const TcpSettings& s = comm->settings;
  dropTls(comm);
  comm->fd.reset();
  comm->abortRequested = false;
  comm->sendUsed = 0;
  comm->readPos = comm->readEnd = 0;
  try {
    comm->sendBuf.assign(s.buffSize ? s.buffSize : 32 * 1024, 0);
  } catch (const std::bad_alloc&) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_COMM, kMsg20583);
    return RC_COMM_FAILURE;
  }
  sockaddr_in addr;
  if (!resolve(s, &addr)) return RC_COMM_FAILURE;
  TRACE(TR_COMM, "TcpOpen: Trying to connect to server at:\n");
  TRACE(TR_COMM, "             Domain Name: %s\n", s.serverAddress.c_str());
  TRACE(TR_COMM, "             Port #: %d\n", s.port);
  TRACE(TR_COMM, "TcpOpen: using %s sockets\n", s.nonBlocking ? "non-blocking" : "blocking");
  int err = 0;
  for (int attempt = 1; attempt <= s.connectAttempts; ++attempt) {
    UniqueFd fd = createSocket();
    if (!fd.valid()) return RC_COMM_FAILURE;
    setSocketOptions(fd.get(), s);
    err = connectOnce(fd.get(), addr, s);
    if (err == 0 && s.ssl) {
      // A TLS failure is not retried: a server that answers with another
      // certificate or no TLS will do so again.
      if (int rc = tlsStart(fd.get(), s, &comm->tls)) return rc;
    }
    if (err == 0) {
      comm->fd = std::move(fd);
      trNlsLogPrintf(__FILE__, __LINE__, TR_COMM, kMsg20593);
      return 0;
    }
    if (clInterruptRequested()) break;
    if (attempt < s.connectAttempts)
      TRACE(TR_COMM, "TcpOpen(): connect(): errno = %d. Re-trying connect %d\n", err, attempt);
  }
  TRACE(TR_COMM, "TcpOpen(): connect(): errno = %d after %d attempts\n", err, s.connectAttempts);
  // A stop or a clean-up ended the attempts: the connection did not fail.
  if (clInterruptRequested()) return RC_COMM_ABORTED;
  trNlsLogPrintf(__FILE__, __LINE__, TR_COMM, kMsg20613);
  trNlsLogPrintf(__FILE__, __LINE__, TR_COMM, kMsg20592);
  // Which server, which port and what the system said belong on the
  // terminal too: the administrator can act on them (the message also goes
  // to the error log).
  nlfprintf(stderr, kMsg5216, s.serverAddress.c_str(), s.port, strerror(err), err);
  return RC_COMM_FAILURE;
}

int TcpRead(CommObj* comm, uint8_t* buf, size_t len) {
  {
    std::lock_guard<std::mutex> lock(comm->mutex);
    if (int rc = flushLocked(comm)) return rc;
  }
  if (comm->readBuf.size() < comm->readSize) comm->readBuf.resize(comm->readSize);
  while (len) {
    if (comm->abortRequested) return RC_COMM_ABORTED;
    if (comm->readPos < comm->readEnd) {
      size_t piece = std::min(len, comm->readEnd - comm->readPos);
      memcpy(buf, comm->readBuf.data() + comm->readPos, piece);
      comm->readPos += piece;
      buf += piece;
      len -= piece;
      continue;
    }
    if (!comm->fd.valid()) return RC_COMM_FAILURE;
    const int timeoutMs =
        comm->settings.readTimeoutSeconds > 0 ? comm->settings.readTimeoutSeconds * 1000 : -1;
    ssize_t n;
    if (comm->tls) {
      n = tlsRecv(comm->tls, comm->fd.get(), comm->readBuf.data(), comm->readBuf.size(), timeoutMs);
      if (comm->abortRequested) return RC_COMM_ABORTED;
      if (n == RC_COMM_ABORTED) return RC_COMM_ABORTED;
      if (n <= 0) return RC_COMM_FAILURE;
    } else {
      // What is there already is taken without a poll first; a wait comes
      // only when nothing is. A piece at least as large as the read-ahead
      // goes straight into the caller's buffer.
      const bool direct = len >= comm->readBuf.size();
      n = ::recv(comm->fd.get(), direct ? buf : comm->readBuf.data(), direct ? len : comm->readBuf.size(),
                 MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int ready = clPollInterruptible(comm->fd.get(), POLLIN, timeoutMs, nullptr, "the server's answer");
        if (ready == kWaitInterrupted) return RC_COMM_ABORTED;
        if (ready <= 0) return RC_COMM_FAILURE;
        continue;
      }
      if (comm->abortRequested) return RC_COMM_ABORTED;
      if (n <= 0) return RC_COMM_FAILURE;
      if (direct) {
        buf += n;
        len -= static_cast<size_t>(n);
        continue;
      }
    }
    comm->readPos = 0;
    comm->readEnd = static_cast<size_t>(n);
  }
  return 0;
}

int TcpWrite(CommObj* comm, const uint8_t* buf, size_t len) {
  std::lock_guard<std::mutex> lock(comm->mutex);
  if (!comm->fd.valid()) return RC_COMM_FAILURE;
  size_t cap = comm->sendBuf.size();
  if (len <= cap - comm->sendUsed) {
    memcpy(comm->sendBuf.data() + comm->sendUsed, buf, len);
    comm->sendUsed += len;
    return 0;
  }
  TRACE(TR_COMM, "TcpWrite: flush existing data on socket %d.\n", comm->fd.get());
  if (int rc = flushLocked(comm)) return rc;
  if (len <= cap) {
    memcpy(comm->sendBuf.data(), buf, len);
    comm->sendUsed = len;
    return 0;
  }
  // A verb larger than the buffer (a data chunk of up to 1 MiB) goes out
  // from the caller's memory in one call: copying it or cutting it into
  // buffer-sized sends would only add system calls.
  TRACE(TR_COMM, "TcpWrite: send %d bytes (more than tcpBuffSize %d) on socket %d.\n", static_cast<int>(len),
        static_cast<int>(cap), comm->fd.get());
  return sendOn(comm, buf, len);
}

bool TcpReadable(CommObj* comm) {
  if (comm->readPos < comm->readEnd || tlsPending(comm->tls)) return true;
  if (!comm->fd.valid()) return true;  // the read fails at once
  pollfd p{comm->fd.get(), POLLIN, 0};
  return poll(&p, 1, 0) != 0;
}

int TcpFlush(CommObj* comm) {
  std::lock_guard<std::mutex> lock(comm->mutex);
  return flushLocked(comm);
}

int TcpClose(CommObj* comm) {
  std::lock_guard<std::mutex> lock(comm->mutex);
  comm->sendUsed = 0;
  comm->readPos = comm->readEnd = 0;
  dropTls(comm);
  comm->fd.reset();
  return 0;
}

bool TcpServerAuthenticated(const CommObj* comm) { return comm->tls && comm->fd.valid(); }

bool TcpAlive(CommObj* comm) {
  if (!comm->fd.valid()) return false;
  if (comm->readPos < comm->readEnd || tlsPending(comm->tls)) return true;
  pollfd p{comm->fd.get(), POLLIN, 0};
  int ready = poll(&p, 1, 0);
  if (ready < 0) return false;
  if (ready == 0) return true;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  if (comm->tls) return tlsAlive(comm->tls);
  uint8_t byte;
  return recv(comm->fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

int TcpAbort(CommObj* comm) {
  std::lock_guard<std::mutex> lock(comm->mutex);
  comm->abortRequested = true;
  if (comm->fd.valid()) ::shutdown(comm->fd.get(), SHUT_RDWR);
  return 0;
}
