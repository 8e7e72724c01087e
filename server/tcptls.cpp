#include "server/tcptls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/interrupt.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/rc.h"
#include "common/safepath.h"
#include "common/trace.h"
#include "server/tcpcomm.h"

struct TlsSession {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
};

namespace {

using Digest = std::array<uint8_t, 32>;

std::string lastSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (!e) return "the connection ended in the handshake";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

std::string hexWithColons(const Digest& d) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < d.size(); ++i) {
    snprintf(two, sizeof two, i ? ":%02X" : "%02X", d[i]);
    out += two;
  }
  return out;
}

bool fingerprint(X509* cert, Digest* out) {
  unsigned int len = 0;
  return cert && X509_digest(cert, EVP_sha256(), out->data(), &len) == 1 && len == out->size();
}

// The certificate file is the administrator's, read like the option files:
// only a regular file is taken.
std::optional<Digest> pinFromFile(const std::string& path, std::string& why) {
  FILE* f = clFopenRegular(path.c_str(), "r", LinkPolicy::kFollowLinks);
  if (!f) return why = "cannot read " + path + ": " + strerror(errno), std::nullopt;
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  Digest d{};
  bool ok = fingerprint(cert, &d);
  X509_free(cert);
  ERR_clear_error();
  if (!ok) return why = path + " holds no PEM certificate", std::nullopt;
  return d;
}

// Waits for what OpenSSL asked for after a call that returned `r`. Returns
// 0 to call again, else the code to give up with.
int waitForSsl(SSL* ssl, int fd, int r, int timeoutMs, const char* what) {
  int e = SSL_get_error(ssl, r);
  short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
  if (!events) return RC_COMM_FAILURE;
  int ready = clPollInterruptible(fd, events, timeoutMs, nullptr, what);
  if (ready == kWaitInterrupted) return RC_COMM_ABORTED;
  return ready > 0 ? 0 : RC_COMM_FAILURE;
}

int failed(const TcpSettings& s, const std::string& why) {
  TRACE(TR_COMM, "TcpOpen(): TLS: %s\n", why.c_str());
  nlfprintf(stderr, kMsg9783, s.serverAddress.c_str(), s.port, why.c_str());
  return RC_COMM_FAILURE;
}

}  // namespace

std::optional<Digest> tlsParsePin(const std::string& pin, std::string& why) {
  if (pin.empty()) return why = "no pin is given", std::nullopt;
  if (pin[0] == '/') return pinFromFile(pin, why);
  if (pin.size() < 7 || strncasecmp(pin.c_str(), "SHA256:", 7) != 0)
    return why = "it is neither an absolute file name nor SHA256: and a fingerprint", std::nullopt;
  std::string hex;
  for (char c : pin.substr(7))
    if (c != ':') hex.push_back(c);
  Digest d{};
  if (hex.size() != 2 * d.size()) return why = "a SHA-256 fingerprint has 64 hexadecimal digits", std::nullopt;
  for (size_t i = 0; i < d.size(); ++i) {
    unsigned v = 0;
    if (!isxdigit(static_cast<unsigned char>(hex[2 * i])) || !isxdigit(static_cast<unsigned char>(hex[2 * i + 1])) ||
        sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1)
      return why = "the fingerprint holds a character that is no hexadecimal digit", std::nullopt;
    d[i] = static_cast<uint8_t>(v);
  }
  return d;
}

int tlsStart(int fd, const TcpSettings& s, TlsSession** out) {
  TRACE(TR_COMM, "TcpOpen(): Looks like an SSL session. Initializing SSL socket...\n");
  std::string why;
  if (s.serverPin.empty()) {
    nlfprintf(stderr, kMsg9786, s.serverAddress.c_str());
    return RC_COMM_FAILURE;
  }
  std::optional<Digest> pin = tlsParsePin(s.serverPin, why);
  if (!pin) {
    nlfprintf(stderr, kMsg9785, s.serverPin.c_str(), why.c_str());
    return RC_COMM_FAILURE;
  }
  auto t = std::make_unique<TlsSession>();
  t->ctx = SSL_CTX_new(TLS_client_method());
  // The pin, not a certificate authority, says who the server is: the
  // chain is not verified by OpenSSL, the leaf is compared below before
  // a single verb is sent.
  if (!t->ctx || !SSL_CTX_set_min_proto_version(t->ctx, TLS1_3_VERSION) ||
      !SSL_CTX_set_max_proto_version(t->ctx, TLS1_3_VERSION) || !(t->ssl = SSL_new(t->ctx)) ||
      SSL_set_fd(t->ssl, fd) != 1) {
    std::string reason = lastSslError();
    tlsFree(t.release());
    return failed(s, reason);
  }
  SSL_set_verify(t->ssl, SSL_VERIFY_NONE, nullptr);
  sockaddr_storage ignored;
  if (inet_pton(AF_INET, s.serverAddress.c_str(), &ignored) != 1 &&
      inet_pton(AF_INET6, s.serverAddress.c_str(), &ignored) != 1)
    SSL_set_tlsext_host_name(t->ssl, s.serverAddress.c_str());
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    tlsFree(t.release());
    return failed(s, strerror(errno));
  }
  const int timeoutMs = s.connectTimeoutSeconds > 0 ? s.connectTimeoutSeconds * 1000 : -1;
  for (;;) {
    int r = SSL_connect(t->ssl);
    if (r == 1) break;
    int rc = waitForSsl(t->ssl, fd, r, timeoutMs, "the server's TLS handshake");
    if (rc == 0) continue;
    std::string reason = lastSslError();
    tlsFree(t.release());
    if (rc == RC_COMM_ABORTED) return rc;
    return failed(s, reason);
  }
  Digest got{};
  X509* cert = SSL_get1_peer_certificate(t->ssl);
  bool have = fingerprint(cert, &got);
  X509_free(cert);
  if (!have || got != *pin) {
    std::string shown = have ? "SHA256:" + hexWithColons(got) : "none";
    nlfprintf(stderr, kMsg9784, s.serverAddress.c_str(), s.port, shown.c_str());
    tlsFree(t.release());
    return RC_COMM_FAILURE;
  }
  TRACE(TR_COMM, "TcpOpen(): TLS 1.3 with the pinned server certificate SHA256:%s\n", hexWithColons(got).c_str());
  *out = t.release();
  return 0;
}

ssize_t tlsRecv(TlsSession* t, int fd, uint8_t* buf, size_t len, int timeoutMs) {
  for (;;) {
    int r = SSL_read(t->ssl, buf, static_cast<int>(len > (1u << 30) ? (1u << 30) : len));
    if (r > 0) return r;
    int e = SSL_get_error(t->ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    int rc = waitForSsl(t->ssl, fd, r, timeoutMs, "the server's answer");
    if (rc) {
      ERR_clear_error();
      return rc;
    }
  }
}

int tlsSend(TlsSession* t, int fd, const uint8_t* buf, size_t len, int timeoutMs) {
  while (len) {
    int r = SSL_write(t->ssl, buf, static_cast<int>(len > (1u << 30) ? (1u << 30) : len));
    if (r > 0) {
      buf += r;
      len -= static_cast<size_t>(r);
      continue;
    }
    int rc = waitForSsl(t->ssl, fd, r, timeoutMs, "the server to take the request");
    if (rc) {
      ERR_clear_error();
      return rc;
    }
  }
  return 0;
}

bool tlsPending(TlsSession* t) { return t && SSL_pending(t->ssl) > 0; }

bool tlsAlive(TlsSession* t) {
  uint8_t byte;
  int r = SSL_peek(t->ssl, &byte, 1);
  if (r > 0) return true;
  bool partial = SSL_get_error(t->ssl, r) == SSL_ERROR_WANT_READ;
  ERR_clear_error();
  return partial;
}

void tlsFree(TlsSession* t) {
  if (!t) return;
  if (t->ssl) SSL_free(t->ssl);
  SSL_CTX_free(t->ctx);
  ERR_clear_error();
  delete t;
}
