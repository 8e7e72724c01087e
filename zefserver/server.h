// zefserverd: the reference storage server. One listening socket, one thread
// per connection, one database connection per session.
//
// Contract
// - parseServerArgs() turns the command line into a ServerConfig or returns
//   an error text; it refuses a wildcard (0.0.0.0, ::, ::ffff:0.0.0.0) or
//   non-numeric listen address.
// - At most maxSessions signed-on sessions run at once, and apart from them
//   at most maxSessions connections that have not signed on, at most
//   kUnsignedPerSource per source address (zefserver/admission.h says which
//   connection gives way when they are full). A connection refused there,
//   one whose thread cannot be started, or a sign-on beyond the session
//   limit is closed at once and the server goes on.
// - With a certificate and key (--tls-cert, --tls-key) a client may speak
//   TLS 1.3 (zefserver/conn.h); --tls-only refuses the plain conversation.
// - runServer() listens, serves until SIGTERM/SIGINT, the idle time ran out
//   or the parent died (when asked), then closes every session and returns
//   the process exit status (0 clean, 1 on a start-up failure). It must be
//   called on the main thread before any other thread exists: it blocks the
//   stop signals in every thread it creates.
#ifndef KMR_ZEFSERVER_SERVER_H
#define KMR_ZEFSERVER_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "zefserver/jointicket.h"
#include "zefserver/admission.h"
#include "zefserver/conn.h"

namespace zef {

class DataDir;
constexpr size_t kUnsignedPerSource = 4;

// Test faults; every count is 0 when the fault is off.
struct Faults {
  // Close a query session after it sent this many answers (first time only).
  uint64_t queryCloseAfter = 0;
  // ... but only once the server has committed this many updates in all,
  // waiting for them at most a minute: the client's changes catch up with
  // a chosen point of the stream before the stream breaks there.
  uint64_t queryCloseAfterUpdates = 0;
  // Close a change session when it receives its Nth MigrUpd/MigrDel
  // (first time only); the change is not applied.
  uint64_t changeCloseAt = 0;
  // Close the session at the Nth client EndTxn of the process (first time only).
  uint64_t endTxnCloseAt = 0;
  // Vote abort with abortReason at the Nth client EndTxn of the process.
  uint64_t endTxnAbortAt = 0;
  uint8_t abortReason = 0;
  // Vote abort with this reason at every client EndTxn of a transaction
  // that holds changes, as a server whose database is full (0: off).
  uint8_t voidChangesReason = 0;
  // End every MigrQryAll stream with vote 2 and this reason (0: off).
  uint8_t queryAbortReason = 0;
  // Objects whose path contains this text are answered with an unknown
  // attribute format (empty: off).
  std::string badAttrPathPart;
  // Wait this long before answering each request.
  unsigned delayMs = 0;
  // Object data (zefserver/dataverbs.h): stores whose path contains this
  // text fail their writes (empty: off); each session's Nth batch fails its
  // directory fsync, or kills the process after it, before its commit (0: off).
  std::string dataWriteFailPathPart;
  uint64_t batchSyncFailAt = 0;
  uint64_t dieInBatchAt = 0;
};

struct ServerConfig {
  std::string address = "127.0.0.1";
  uint16_t port = 1500;
  std::string dbPath;
  std::string dataDir;       // empty: defaultDataDir(dbPath)
  std::string serverName = "ZEFSERVER";
  uint16_t maxTxnObjects = 4096;
  bool enhancedAnswers = false;
  bool openRegistration = false;
  std::string logPath;       // empty: stderr
  int readyFd = -1;          // the bound port is written here, then closed
  unsigned idleExitSec = 0;  // 0: never
  bool dieWithParent = false;
  // At most this many signed-on sessions and, apart from them, this many
  // connections not signed on yet (at most kUnsignedPerSource per address).
  unsigned maxSessions = 64;
  unsigned signOnTimeoutSec = 5;     // from accept to the end of the sign-on
  unsigned idleTimeoutSec = 3600;    // between two verbs of a signed-on session
  unsigned failDelayMs = 1000;       // a refused source's next check waits this, doubled per refusal
  std::string tlsCert, tlsKey;       // PEM files; both or neither
  bool tlsOnly = false;              // refuse the classic plain conversation
  Faults faults;
};

// Returns the config, or std::nullopt with `error` set.
std::optional<ServerConfig> parseServerArgs(int argc, char** argv, std::string& error);
const char* serverUsage();

// One line per event, serialised, each with a UTC time stamp unless
// `stamped` is false (the journal stamps lines itself).
class Logger {
 public:
  explicit Logger(FILE* out, bool stamped = true) : out_(out), stamped_(stamped) {}
  void line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::mutex mu_;
  FILE* out_;
  bool stamped_;
};

// What all sessions of one server process share.
struct ServerShared {
  ServerShared(const ServerConfig& c, Logger& l) : cfg(c), log(l) {}
  const ServerConfig& cfg;
  Logger& log;
  const TlsContext* tls = nullptr;  // null: plain conversations only
  // Password checks take 64 MiB each: two at a time, fairly by source.
  CheckQueue checks{2};
  KnownSources knownSources;
  // One-time secrets with which a node's second session joins its first.
  JoinTickets joinTickets;
  // Sessions signed on now; at most cfg.maxSessions.
  std::atomic<unsigned> signedOn{0};
  // Bytes of changes all sessions hold for their open transactions.
  std::atomic<size_t> heldBytes{0};
  std::atomic<uint64_t> sessionIds{0};
  std::atomic<uint64_t> endTxnCount{0};
  std::atomic<bool> queryCloseFired{false};
  // Updates committed by all sessions (for the query-close fault).
  void noteCommittedUpdates(uint64_t n) {
    {
      std::lock_guard<std::mutex> g(commitMu_);
      committedUpdates_ += n;
    }
    commitCv_.notify_all();
  }
  // True once `n` updates are committed; false after `limit` without.
  bool waitCommittedUpdates(uint64_t n, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> g(commitMu_);
    return commitCv_.wait_for(g, limit, [&] { return committedUpdates_ >= n; });
  }
  std::atomic<bool> changeCloseFired{false};
  // Where object data is kept (null: the server keeps none).
  DataDir* dataDir = nullptr;

 private:
  std::mutex commitMu_;
  std::condition_variable commitCv_;
  uint64_t committedUpdates_ = 0;
};

int runServer(const ServerConfig& cfg);

}  // namespace zef

#endif
