// Test support: a byte-level client of zefserverd on a loopback port that
// sends verbs built by the test (verb_builder.h, data_verbs.h) and reads
// the server's verbs whole.
#ifndef KMR_TESTS_SUPPORT_VERB_CLIENT_H
#define KMR_TESTS_SUPPORT_VERB_CLIENT_H

#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "tests/support/verb_builder.h"

namespace kmrtest {

struct ReceivedVerb {
  uint8_t code = 0;
  Bytes b;
};

class VerbClient {
 public:
  // Reads give up after a minute: a guard against a hung server only.
  // `from`: the loopback source address (host order), 0 for the usual one.
  explicit VerbClient(uint16_t port, uint32_t from = 0) : fd_(connectLoopback(port, 60, from)) {}
  ~VerbClient() {
    if (fd_ >= 0) close(fd_);
  }
  VerbClient(const VerbClient&) = delete;
  VerbClient& operator=(const VerbClient&) = delete;
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // False when the server closed the connection.
  bool send(const Bytes& v) { return ::send(fd_, v.data(), v.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(v.size()); }
  // One verb, or nullopt when the server closed the connection. An
  // extended verb keeps its 12-byte header; `code` is then its real code.
  std::optional<ReceivedVerb> recv() {
    Bytes h(4);
    if (!readAll(h.data(), 4) || h[3] != 0xA5) return std::nullopt;
    const bool ext = h[2] == 0x08;
    if (ext && (h.resize(12), !readAll(h.data() + 4, 8))) return std::nullopt;
    ReceivedVerb v;
    v.code = ext ? static_cast<uint8_t>(be32(h, 4)) : h[2];
    v.b = h;
    v.b.resize(ext ? be32(h, 8) : be16(h, 0));
    if (v.b.size() < h.size() || (v.b.size() > h.size() && !readAll(v.b.data() + h.size(), v.b.size() - h.size())))
      return std::nullopt;
    return v;
  }
  // Signs on; false when the server refused.
  bool signOn(const std::string& node, const std::string& password) {
    if (!send(signOnVerb(node, password))) return false;
    auto r = recv();
    return r && r->code == 0x1C && r->b.size() >= 18 && r->b[8] == 0;
  }

 private:
  bool readAll(uint8_t* p, size_t n) {
    while (n) {
      ssize_t r = ::recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  int fd_;
};

}  // namespace kmrtest

#endif
