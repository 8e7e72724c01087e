#include "zefserver/conn.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zef {

namespace {

// The first byte of a TLS handshake record. A plain conversation opens with
// a SignOn, whose 16-bit length (byte 0 high) is far below 0x1600.
constexpr uint8_t kTlsHandshakeRecord = 0x16;

std::string opensslError(const char* what) {
  unsigned long e = ERR_get_error();
  char text[256] = "";
  if (e) ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  return std::string(what) + (e ? std::string(": ") + text : std::string());
}

}  // namespace

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

std::unique_ptr<TlsContext> TlsContext::load(const std::string& certFile, const std::string& keyFile,
                                             std::string& error) {
  std::unique_ptr<TlsContext> t(new TlsContext);
  t->ctx_ = SSL_CTX_new(TLS_server_method());
  if (!t->ctx_) return error = opensslError("cannot create the TLS context"), nullptr;
  SSL_CTX* c = t->ctx_;
  // TLS 1.3 only; no session tickets, so that a signed-on client never finds
  // unasked bytes on its connection; no renegotiation exists in 1.3.
  if (!SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION) || !SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION))
    return error = opensslError("TLS 1.3 is not available"), nullptr;
  SSL_CTX_set_num_tickets(c, 0);
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(c, certFile.c_str()) != 1)
    return error = opensslError(("cannot use the certificate " + certFile).c_str()), nullptr;
  if (SSL_CTX_use_PrivateKey_file(c, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return error = opensslError(("cannot use the key " + keyFile).c_str()), nullptr;
  if (SSL_CTX_check_private_key(c) != 1)
    return error = opensslError(("the key " + keyFile + " does not belong to " + certFile).c_str()), nullptr;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  X509* cert = SSL_CTX_get0_certificate(c);
  if (!cert || X509_digest(cert, EVP_sha256(), md, &mdLen) != 1)
    return error = opensslError("cannot take the certificate's fingerprint"), nullptr;
  t->fingerprint_ = "SHA256:";
  for (unsigned i = 0; i < mdLen; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
    t->fingerprint_ += hex;
  }
  return t;
}

Conn::~Conn() {
  if (!ssl_) return;
  // A courtesy close_notify; the descriptor is non-blocking, so a peer that
  // reads nothing costs nothing.
  SSL_shutdown(ssl_);
  SSL_free(ssl_);
  ERR_clear_error();
}

void Conn::setSendTimeout(unsigned seconds) {
  sendTimeoutSec_ = seconds;
  timeval tv{static_cast<time_t>(seconds), 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Conn::Clock::time_point Conn::sendDeadline() const {
  return sendTimeoutSec_ ? Clock::now() + std::chrono::seconds(sendTimeoutSec_) : Clock::time_point::max();
}

void Conn::waitFor(short events, Clock::time_point deadline, const char* what) {
  for (;;) {
    long long left = deadline == Clock::time_point::max()
                         ? 60000
                         : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) throw SessionEnd{what};
    pollfd p{fd_, events, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (r > 0) return;
    if (r < 0 && errno != EINTR) throw SessionEnd{std::string("poll: ") + strerror(errno)};
  }
}

void Conn::start(const TlsContext* tls, bool tlsOnly, Clock::time_point deadline) {
  uint8_t first = 0;
  for (;;) {
    waitFor(POLLIN, deadline, "timed out waiting for the client");
    ssize_t n = ::recv(fd_, &first, 1, MSG_PEEK);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw SessionEnd{"peer closed"};
    break;
  }
  if (first != kTlsHandshakeRecord) {
    if (tlsOnly) throw SessionEnd{"plain connection refused: TLS only"};
    return;
  }
  if (!tls) throw SessionEnd{"TLS asked for, but the server has no certificate"};
  int flags = fcntl(fd_, F_GETFL);
  ssl_ = SSL_new(tls->get());
  if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0 || !ssl_ || SSL_set_fd(ssl_, fd_) != 1)
    throw SessionEnd{opensslError("cannot start TLS")};
  for (;;) {
    int r = SSL_accept(ssl_);
    if (r == 1) return;
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ) waitFor(POLLIN, deadline, "timed out in the TLS handshake");
    else if (e == SSL_ERROR_WANT_WRITE) waitFor(POLLOUT, deadline, "timed out in the TLS handshake");
    else throw SessionEnd{opensslError("TLS handshake failed")};
  }
}

size_t Conn::readSome(uint8_t* p, size_t n) {
  if (!ssl_) {
    for (;;) {
      waitFor(POLLIN, deadline_, "timed out waiting for the client");
      ssize_t r = ::recv(fd_, p, n, 0);
      if (r < 0 && errno == EINTR) continue;
      return r > 0 ? static_cast<size_t>(r) : 0;
    }
  }
  for (;;) {
    int r = SSL_read(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 30)));
    if (r > 0) return static_cast<size_t>(r);
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ) waitFor(POLLIN, deadline_, "timed out waiting for the client");
    else if (e == SSL_ERROR_WANT_WRITE) waitFor(POLLOUT, deadline_, "timed out waiting for the client");
    else {
      ERR_clear_error();
      return 0;  // close_notify, a reset or a broken record: the connection is over
    }
  }
}

bool Conn::readAll(uint8_t* p, size_t n) {
  // Small verbs come through the read-ahead buffer, so that a stream of
  // them costs one read per buffer rather than two per verb; the bulk of a
  // large one goes straight to its place.
  while (n > 0) {
    if (aheadPos_ < aheadEnd_) {
      size_t take = std::min(n, aheadEnd_ - aheadPos_);
      std::memcpy(p, ahead_.data() + aheadPos_, take);
      aheadPos_ += take;
      p += take;
      n -= take;
      continue;
    }
    if (n >= kAheadCap) {
      size_t r = readSome(p, n);
      if (r == 0) return false;
      p += r;
      n -= r;
      continue;
    }
    ahead_.resize(kAheadCap);
    aheadPos_ = 0;
    aheadEnd_ = readSome(ahead_.data(), kAheadCap);
    if (aheadEnd_ == 0) return false;
  }
  return true;
}

void Conn::writeAll(const uint8_t* p, size_t n, bool more) {
  if (!ssl_) {
    while (n) {
      ssize_t r = ::send(fd_, p, n, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) throw SessionEnd{"connection lost while sending"};
      p += r;
      n -= static_cast<size_t>(r);
    }
    return;
  }
  const Clock::time_point deadline = sendDeadline();
  while (n) {
    int r = SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 30)));
    if (r > 0) {
      p += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_WRITE) waitFor(POLLOUT, deadline, "connection lost while sending");
    else if (e == SSL_ERROR_WANT_READ) waitFor(POLLIN, deadline, "connection lost while sending");
    else {
      ERR_clear_error();
      throw SessionEnd{"connection lost while sending"};
    }
  }
}

bool Conn::inputPending() const {
  if (aheadPos_ < aheadEnd_) return true;
  if (ssl_ && SSL_pending(ssl_) > 0) return true;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

std::optional<VerbView> Conn::readVerb(Clock::time_point deadline, size_t maxLen) {
  deadline_ = deadline;
  flush();
  uint8_t h4[4];
  if (!readAll(h4, 4)) return std::nullopt;
  auto h = parseShortHeader(h4);
  if (!h) throw SessionEnd{"invalid verb header"};
  if (h->headerLen == kVerbExtendedHeaderLen) {
    uint8_t extra[8];
    if (!readAll(extra, 8) || !completeExtendedHeader(*h, extra)) throw SessionEnd{"invalid extended header"};
  }
  if (h->length > maxLen) throw SessionEnd{"verb exceeds allowed length"};
  in_.resize(h->length);
  std::memcpy(in_.data(), h4, 4);
  size_t have = 4;
  if (h->headerLen == kVerbExtendedHeaderLen) {
    putU32(&in_[4], h->code);
    putU32(&in_[8], h->length);
    have = kVerbExtendedHeaderLen;
  }
  if (!readAll(in_.data() + have, h->length - have)) throw SessionEnd{"connection lost inside a verb"};
  return VerbView(h->code, in_, h->headerLen);
}

void Conn::send(const std::vector<uint8_t>& verb) {
  if (out_.size() + verb.size() > kOutCap) flush();
  // More than the buffer holds (a read's chunks): straight from the caller.
  if (verb.size() > kOutCap) return writeAll(verb.data(), verb.size());
  out_.insert(out_.end(), verb.begin(), verb.end());
}

bool Conn::sendFromFile(const std::vector<uint8_t>& head, int fd, uint64_t offset, size_t len) {
  if (ssl_) return false;
  // The header goes with what is queued and waits for the file's bytes
  // (MSG_MORE), so that it does not leave as a packet of its own.
  out_.insert(out_.end(), head.begin(), head.end());
  writeAll(out_.data(), out_.size(), true);
  out_.clear();
  off_t at = static_cast<off_t>(offset);
  while (len) {
    ssize_t r = ::sendfile(fd_, fd, &at, len);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw SessionEnd{"connection lost while sending"};
    // The verb's length is out already: a file that ends early leaves no
    // way to finish it but to end the session.
    if (r == 0) throw SessionEnd{"object data ended before its chunk while sending"};
    len -= static_cast<size_t>(r);
  }
  return true;
}

void Conn::flush() {
  if (out_.empty()) return;
  writeAll(out_.data(), out_.size());
  out_.clear();
}

bool peerHungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace zef
