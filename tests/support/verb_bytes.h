// Test support: verbs of the storage server protocol laid out byte by byte,
// and the loopback connection they go over,
// by neither the client's nor the server's encoders, so that what they are
// compared with or fed to cannot share a misreading with either side.
#ifndef KMR_TESTS_SUPPORT_VERB_BYTES_H
#define KMR_TESTS_SUPPORT_VERB_BYTES_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
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

// A short-form verb under construction: fixed part plus data area;
// descriptors count from the start of the data area.
struct Out {
  Bytes b;
  size_t fixed;
  Out(uint8_t code, size_t fixedLen) : b(fixedLen, 0), fixed(fixedLen) {
    b[2] = code;
    b[3] = 0xA5;
  }
  Out& field(size_t desc, const Bytes& data) {
    put16(b, desc, static_cast<uint16_t>(b.size() - fixed));
    put16(b, desc + 2, static_cast<uint16_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return *this;
  }
  // The finished verb; a forced length (longer or shorter than the bytes)
  // makes a verb that lies about its size.
  Bytes done(size_t forcedLen = 0) {
    put16(b, 0, static_cast<uint16_t>(forcedLen ? forcedLen : b.size()));
    if (forcedLen > b.size()) b.resize(forcedLen, 0);
    return b;
  }
};

// A node's SignOn as the client sends it (platform "Linux x86-64", owner
// "root").
inline Bytes signOnVerb(const std::string& node, const std::string& password) {
  Out o(0x1A, 42);
  o.b[4] = 2;
  o.b[9] = 4;
  o.b[10] = 2;
  o.b[19] = 1;
  o.field(5, str("Linux x86-64")).field(11, str(node)).field(15, str("root")).field(20, str(password));
  return o.done();
}

// A TCP connection to `port` on 127.0.0.1 whose reads give up after
// `timeoutSeconds` (a guard against a hung server, nothing depends on it);
// -1 when it cannot be made.
inline int connectLoopback(uint16_t port, long timeoutSeconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace kmrtest

#endif
