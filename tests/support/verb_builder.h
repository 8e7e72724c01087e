// Test support: verbs of the server protocol written byte by byte from the
// tables in docs/protocol.md, independently of the client's and the
// server's encoders, and a loopback connection to send them on.
#ifndef KMR_TESTS_SUPPORT_VERB_BUILDER_H
#define KMR_TESTS_SUPPORT_VERB_BUILDER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kmrtest {

using Bytes = std::vector<uint8_t>;

inline uint16_t be16(const Bytes& b, size_t o) { return static_cast<uint16_t>(b.at(o) << 8 | b.at(o + 1)); }
inline uint32_t be32(const Bytes& b, size_t o) { return static_cast<uint32_t>(be16(b, o)) << 16 | be16(b, o + 2); }
inline void put16(Bytes& b, size_t o, uint16_t v) {
  b.at(o) = static_cast<uint8_t>(v >> 8);
  b.at(o + 1) = static_cast<uint8_t>(v);
}
inline void put32(Bytes& b, size_t o, uint32_t v) {
  put16(b, o, static_cast<uint16_t>(v >> 16));
  put16(b, o + 2, static_cast<uint16_t>(v));
}
inline Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A short-form verb under construction: fixed part plus data area;
// descriptors count from the start of the data area.
struct VerbBuilder {
  Bytes b;
  size_t fixed;
  VerbBuilder(uint8_t code, size_t fixedLen) : b(fixedLen, 0), fixed(fixedLen) {
    b[2] = code;
    b[3] = 0xA5;
  }
  VerbBuilder& field(size_t desc, const Bytes& data) {
    put16(b, desc, static_cast<uint16_t>(b.size() - fixed));
    put16(b, desc + 2, static_cast<uint16_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return *this;
  }
  // The verb with its length; `forcedLen` pads it with zeros to that length.
  Bytes done(size_t forcedLen = 0) {
    put16(b, 0, static_cast<uint16_t>(forcedLen ? forcedLen : b.size()));
    if (forcedLen > b.size()) b.resize(forcedLen, 0);
    return b;
  }
};

// SignOn of `node` as root from a Linux client, with `password`.
inline Bytes signOnVerb(const std::string& node, const std::string& password) {
  VerbBuilder o(0x1A, 42);
  o.b[4] = 2;
  o.b[9] = 4;
  o.b[10] = 2;
  o.b[19] = 1;
  o.field(5, str("Linux x86-64")).field(11, str(node)).field(15, str("root")).field(20, str(password));
  return o.done();
}

// A TCP connection to 127.0.0.1:`port` whose reads give up after
// `timeoutSeconds` (a guard against a hung server, never a measure), made
// from the loopback address `from` (host order, any of 127/8) when it is not
// 0; -1 when it cannot be made.
inline int connectLoopback(uint16_t port, int timeoutSeconds, uint32_t from = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(from);
  if ((from && bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) ||
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace kmrtest

#endif
