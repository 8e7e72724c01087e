// A scripted storage server for the session tests: a loopback listener whose
// script runs on its own thread, reads verbs byte for byte and answers with
// verbs that the test lays out by hand (never with the client's encoders).
// Every verb it receives is recorded for the test to inspect afterwards.
#ifndef KMR_TESTS_UNIT_SERVER_FAKE_PEER_H
#define KMR_TESTS_UNIT_SERVER_FAKE_PEER_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/attrib.h"
#include "server/session.h"

using Bytes = std::vector<uint8_t>;

// ---- verbs a server sends, laid out by hand ----------------------------------
Bytes endTxnVerb(uint8_t vote, uint8_t reason);
Bytes signOnRespVerb(uint8_t result, const std::string& serverName = "ZEFSERVER", uint16_t maxObjs = 4);
// A plain MigrQryResp for object `id` whose attribute block carries
// `blockId` in its HSM part (normally the same id).
Bytes migrQryRespVerb(uint32_t fsId, const midExtObjId_t& id, const midExtObjId_t& blockId,
                      const std::string& path, uint8_t attribMajor = 8);
Bytes fsQryRespVerb(uint32_t fsId, const std::string& name, size_t infoLen = 8);
midExtObjId_t makeId(uint8_t seed);
Bytes idBytes(const midExtObjId_t& id);
// A hand-made attribute block (major 8, minor 9, our Linux part).
Bytes attribBlock(uint8_t major, uint64_t size, uint32_t mode, const uint8_t hsm[36]);

class FakePeer {
 public:
  FakePeer();
  ~FakePeer();
  uint16_t port() const { return port_; }
  // Runs `script` on the peer thread; join() waits for it to end.
  void run(std::function<void(FakePeer&)> script);
  // run() of: accept, answer the SignOn with `signOnAnswer`, `script`, then
  // read until the client closes.
  void serve(std::function<void(FakePeer&)> script = {}, Bytes signOnAnswer = signOnRespVerb(0));
  void join();

  // ---- used by scripts ------------------------------------------------------
  bool accept();                 // next connection; false when none came
  Bytes readVerb();              // one verb as sent; empty (and hung up) when none came whole
  void sendRaw(const Bytes& bytes);
  void closeConnection();
  // Reads the SignOn and answers it with `answer`; gives the SignOn.
  Bytes answerSignOn(const Bytes& answer);
  // Reads one verb and expects its code.
  Bytes expectVerb(uint8_t code);

  // Verbs received so far, in order (thread-safe copy).
  std::vector<Bytes> received();
  std::vector<uint8_t> receivedCodes();
  size_t connections() const { return connections_; }

 private:
  int listenFd_ = -1;
  int connFd_ = -1;
  uint16_t port_ = 0;
  size_t connections_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Bytes> received_;
};

// A session configuration pointing at the peer, with re-open timing that
// never waits.
SessionConfig peerConfig(uint16_t port);

// ---- a client session against the peer ---------------------------------------
struct SessionDeleter {
  void operator()(Sess_o* s) const { delete_SessionObject(s); }
};
using SessionPtr = std::unique_ptr<Sess_o, SessionDeleter>;

// Starts the peer with serve(script) and signs a session with `config` on, at
// the peer's port.
SessionPtr signedOnSession(FakePeer& peer, std::function<void(FakePeer&)> script,
                           SessionConfig config = peerConfig(0));
// Signs the session off and waits for the peer's script.
void signOff(SessionPtr& session, FakePeer& peer);

// The data of the field whose descriptor (offset into the data area, length)
// stands at `descriptorAt` of a verb with a fixed part of `fixedLen` bytes.
std::string fieldOf(const Bytes& verb, size_t fixedLen, size_t descriptorAt);

#endif
