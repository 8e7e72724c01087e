#include "tests/unit/server/fake_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "server/wire/bytes.h"
#include "tests/support/verb_builder.h"

namespace {

// Safety net only: a client bug must not hang the test run. No result
// depends on it.
constexpr int kSafetyMillis = 20000;

bool readAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    ssize_t got = ::recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

FakePeer::FakePeer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listenFd_, 8);
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

FakePeer::~FakePeer() {
  join();
  closeConnection();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void FakePeer::run(std::function<void(FakePeer&)> script) {
  thread_ = std::thread([this, script] { script(*this); });
}

void FakePeer::serve(std::function<void(FakePeer&)> script, Bytes signOnAnswer) {
  run([script, signOnAnswer](FakePeer& p) {
    ASSERT_TRUE(p.accept());
    p.answerSignOn(signOnAnswer);
    if (script) script(p);
    p.readVerb();  // until the client closes
  });
}

void FakePeer::join() {
  if (thread_.joinable()) thread_.join();
}

bool FakePeer::accept() {
  closeConnection();
  pollfd p{listenFd_, POLLIN, 0};
  if (poll(&p, 1, kSafetyMillis) != 1) return false;
  connFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connFd_ < 0) return false;
  timeval tv{kSafetyMillis / 1000, 0};
  setsockopt(connFd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ++connections_;
  return true;
}

// A verb that does not arrive whole hangs up: a client waiting for the
// answer then fails instead of waiting for good.
Bytes FakePeer::readVerb() {
  uint8_t head[4];
  Bytes verb;
  if (connFd_ >= 0 && readAll(connFd_, head, 4) && getU16(head) >= 4) {
    verb.assign(head, head + 4);
    verb.resize(getU16(head));
    if (!readAll(connFd_, verb.data() + 4, verb.size() - 4)) verb.clear();
  }
  if (verb.empty()) {
    closeConnection();
    return {};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  received_.push_back(verb);
  return verb;
}

void FakePeer::sendRaw(const Bytes& bytes) {
  size_t done = 0;
  while (connFd_ >= 0 && done < bytes.size()) {
    ssize_t n = ::send(connFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void FakePeer::closeConnection() {
  if (connFd_ >= 0) ::close(connFd_);
  connFd_ = -1;
}

Bytes FakePeer::answerSignOn(const Bytes& answer) {
  Bytes v = expectVerb(0x1A);
  sendRaw(answer);
  return v;
}

Bytes FakePeer::expectVerb(uint8_t code) {
  Bytes v = readVerb();
  EXPECT_FALSE(v.empty()) << "expected verb " << int(code) << ", connection ended";
  if (!v.empty()) {
    EXPECT_EQ(v[2], code);
  }
  return v;
}

std::vector<Bytes> FakePeer::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<uint8_t> FakePeer::receivedCodes() {
  std::vector<uint8_t> codes;
  for (const Bytes& v : received()) codes.push_back(v[2]);
  return codes;
}

Bytes endTxnVerb(uint8_t vote, uint8_t reason) { return {0, 6, 0x13, 0xA5, vote, reason}; }

Bytes signOnRespVerb(uint8_t result, const std::string& serverName, uint16_t maxObjs) {
  kmrtest::VerbBuilder v(0x1C, 18);
  v.b[8] = result;
  for (int i = 0; i < 7; ++i) v.b[9 + i] = static_cast<uint8_t>(0x10 + i);  // capabilities
  putU16(&v.b[16], maxObjs);
  return v.field(4, kmrtest::str(serverName)).done();
}

Bytes attribBlock(uint8_t major, uint64_t size, uint32_t mode, const uint8_t hsm[36]) {
  Bytes b = {major, 9, 22, 0, 114, 7, 39, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2 << 3};  // migration state 2
  b.resize(136, 0);
  putU32(&b[8], static_cast<uint32_t>(size >> 32));
  putU32(&b[12], static_cast<uint32_t>(size));
  putU32(&b[22], mode);
  memcpy(&b[22 + 28], hsm, 36);
  return b;
}

Bytes migrQryRespVerb(uint32_t fsId, const midExtObjId_t& id, const midExtObjId_t& blockId,
                      const std::string& path, uint8_t attribMajor) {
  uint8_t hsm[36] = {};
  memcpy(hsm, blockId.bytes, 28);
  kmrtest::VerbBuilder v(0x36, 57);
  putU32(&v.b[4], fsId);
  putU32(&v.b[13], 5);  // management class id
  v.field(8, idBytes(id)).field(33, attribBlock(attribMajor, 4096, 0100644, hsm));
  return v.field(37, kmrtest::str(path)).done();
}

Bytes fsQryRespVerb(uint32_t fsId, const std::string& name, size_t infoLen) {
  kmrtest::VerbBuilder v(0xB4, 53);
  putU32(&v.b[8], fsId);
  v.b[20] = '/';
  v.field(4, kmrtest::str(name)).field(12, kmrtest::str("ext4")).field(16, Bytes(infoLen, 0));
  return v.done();
}

Bytes idBytes(const midExtObjId_t& id) {
  Bytes b(28);
  memcpy(b.data(), id.bytes, 28);
  return b;
}

midExtObjId_t makeId(uint8_t seed) {
  midExtObjId_t id;
  for (size_t i = 0; i < sizeof id.bytes; ++i) id.bytes[i] = static_cast<uint8_t>(seed + i);
  return id;
}

SessionConfig peerConfig(uint16_t port) {
  SessionConfig c;
  c.tcp.serverAddress = "127.0.0.1";
  c.tcp.port = port;
  c.tcp.connectAttempts = 1;
  c.nodeName = "node1";
  c.password = "secret";
  c.owner = "root";
  c.commRestartInterval = 0;
  c.commRestartDuration = 1;
  return c;
}

SessionPtr signedOnSession(FakePeer& peer, std::function<void(FakePeer&)> script, SessionConfig config) {
  peer.serve(std::move(script));
  config.tcp.port = peer.port();
  SessionPtr s(new_SessionObject(&config, 1));
  EXPECT_EQ(CheckSession(s.get(), 1), 0);
  return s;
}

void signOff(SessionPtr& session, FakePeer& peer) {
  Logoff(session.get());
  peer.join();
}

std::string fieldOf(const Bytes& verb, size_t fixedLen, size_t descriptorAt) {
  if (verb.size() < descriptorAt + 4) return "<no descriptor>";
  const size_t off = fixedLen + getU16(&verb[descriptorAt]), len = getU16(&verb[descriptorAt + 2]);
  if (off + len > verb.size()) return "<outside the verb>";
  return std::string(verb.begin() + static_cast<long>(off), verb.begin() + static_cast<long>(off + len));
}
