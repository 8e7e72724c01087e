// The connection I/O of one zefserverd session: buffered verbs on a socket,
// either as plain bytes (the classic conversation) or inside TLS 1.3. The
// session above sees verbs only; whether they travel in TLS is decided here
// from the first byte the client sends.
//
// Contract
// - TlsContext::load() reads the certificate and key once at start-up and
//   returns nullptr with `error` set when either cannot be used (unreadable,
//   not PEM, key not matching the certificate). One context serves every
//   session; it is read-only after load and so may be shared between threads.
// - A Conn belongs to one session thread. It never closes the descriptor it
//   was given (the accept loop owns it and may shut it down from another
//   thread to end the session: every wait here then ends at once).
// - Every function that talks to the peer throws SessionEnd with the reason
//   when the connection fails, a deadline passes or the peer breaks the
//   protocol; readVerb returns std::nullopt when the peer closed cleanly
//   between two verbs.
#ifndef KMR_ZEFSERVER_CONN_H
#define KMR_ZEFSERVER_CONN_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zefserver/wire.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace zef {

// Why a session ended; the text goes into the session's log line.
struct SessionEnd {
  std::string why;
};

class TlsContext {
 public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  static std::unique_ptr<TlsContext> load(const std::string& certFile, const std::string& keyFile,
                                          std::string& error);
  SSL_CTX* get() const { return ctx_; }
  // "SHA256:" and the certificate's fingerprint in hexadecimal with colons,
  // as a client pins it (SSLSERVERPIN).
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  TlsContext() = default;
  SSL_CTX* ctx_ = nullptr;
  std::string fingerprint_;
};

// True when the peer of `fd` has closed its end (or the socket failed): such a
// connection waits for nothing, so it must hold no place and cost no check.
bool peerHungUp(int fd);

class Conn {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Conn(int fd) : fd_(fd) { out_.reserve(kOutCap); }
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  // Waits (until `deadline`) for the client's first byte: 0x16, a TLS
  // handshake record, starts TLS with `tls` (refused without one); anything
  // else is the classic conversation, refused when `tlsOnly`. Throws
  // SessionEnd on refusal, a failed handshake or the deadline.
  void start(const TlsContext* tls, bool tlsOnly, Clock::time_point deadline);
  bool encrypted() const { return ssl_ != nullptr; }
  bool peerGone() const { return peerHungUp(fd_); }

  // A peer that stops reading our answers must not hold the session for ever.
  void setSendTimeout(unsigned seconds);

  // Reads one verb that must be complete by `deadline`; nullopt at end of
  // connection, throws SessionEnd on a malformed header, a verb longer than
  // `maxLen` or a deadline passed. The view stays valid until the next read.
  // The input buffer keeps the size of the longest verb read.
  std::optional<VerbView> readVerb(Clock::time_point deadline, size_t maxLen = kMaxVerbLen);
  // Whether bytes of a next verb are already here (read or readable without
  // waiting); never blocks.
  bool inputPending() const;

  // Queues an answer; it goes out when the buffer fills, on flush() or
  // before the next read. One larger than the buffer (several verbs, a
  // read's chunks) goes out at once, after what is queued.
  void send(const std::vector<uint8_t>& verb);
  void flush();
  // Sends what is queued, `head`, then `len` bytes of the file `fd` from
  // `offset` (sendfile: the bytes do not pass through the process). Returns
  // false, having sent nothing, on a TLS connection; throws SessionEnd when
  // the connection fails or the file ends before `len` bytes.
  bool sendFromFile(const std::vector<uint8_t>& head, int fd, uint64_t offset, size_t len);

 private:
  static constexpr size_t kOutCap = 64 * 1024;
  static constexpr size_t kAheadCap = 64 * 1024;
  bool readAll(uint8_t* p, size_t n);
  // One read of at most `n` bytes: its count, 0 at end of connection.
  size_t readSome(uint8_t* p, size_t n);
  // `more` (no TLS only): more bytes follow at once (MSG_MORE).
  void writeAll(const uint8_t* p, size_t n, bool more = false);
  // Waits for `events` on the socket until `deadline`; throws SessionEnd
  // with `what` when it passes.
  void waitFor(short events, Clock::time_point deadline, const char* what);
  Clock::time_point sendDeadline() const;

  int fd_;
  SSL* ssl_ = nullptr;
  unsigned sendTimeoutSec_ = 0;
  Clock::time_point deadline_ = Clock::time_point::max();
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> ahead_;  // bytes read but not yet taken: [aheadPos_, aheadEnd_)
  size_t aheadPos_ = 0, aheadEnd_ = 0;
};

}  // namespace zef

#endif
