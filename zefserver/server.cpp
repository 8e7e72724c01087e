#include "zefserver/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "zefserver/datastore.h"
#include "zefserver/notify.h"
#include "zefserver/session.h"
#include "zefserver/store.h"

namespace zef {

namespace {

// Closes a descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool parseNumber(const std::string& s, uint64_t max, uint64_t& out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > max) return false;
  }
  out = v;
  return true;
}

}  // namespace

// The --fault-... options are test hooks (docs/protocol.md): they work but
// stay out of the usage that --help shows.
const char* serverUsage() {
  return "usage: zefserverd --db FILE [--data-dir DIR] [--address ADDR] [--port N] [--server-name NAME]\n"
         "                  [--txn-size N] [--enhanced] [--open-registration] [--log FILE]\n"
         "                  [--ready-fd FD] [--idle-exit SECONDS] [--die-with-parent]\n"
         "                  [--max-sessions N] [--signon-timeout SECONDS] [--idle-timeout SECONDS]\n"
         "                  [--signon-fail-delay-ms MS] [--tls-cert FILE --tls-key FILE [--tls-only]]\n";
}

std::optional<ServerConfig> parseServerArgs(int argc, char** argv, std::string& error) {
  ServerConfig c;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i], val;
    bool hasEq = false;
    if (auto eq = a.find('='); eq != std::string::npos && a.rfind("--", 0) == 0) {
      val = a.substr(eq + 1);
      a = a.substr(0, eq);
      hasEq = true;
    }
    auto value = [&]() -> bool {
      if (hasEq) return true;
      if (i + 1 >= argc) return false;
      val = argv[++i];
      return true;
    };
    auto number = [&](uint64_t max, uint64_t& out) -> bool {
      if (!value() || !parseNumber(val, max, out)) {
        error = "invalid value for " + a;
        return false;
      }
      return true;
    };
    uint64_t n = 0;
    if (a == "--db") {
      if (!value()) return error = "--db needs a file", std::nullopt;
      c.dbPath = val;
    } else if (a == "--data-dir") {
      if (!value() || val.empty()) return error = "--data-dir needs a directory", std::nullopt;
      c.dataDir = val;
    } else if (a == "--address") {
      if (!value()) return error = "--address needs a value", std::nullopt;
      c.address = val;
    } else if (a == "--port") {
      if (!number(65535, n)) return std::nullopt;
      c.port = static_cast<uint16_t>(n);
    } else if (a == "--server-name") {
      if (!value() || val.empty() || val.size() > 16) return error = "server name must have 1 to 16 characters", std::nullopt;
      c.serverName = val;
    } else if (a == "--txn-size") {
      if (!number(65535, n) || n == 0) return error = "invalid value for --txn-size", std::nullopt;
      c.maxTxnObjects = static_cast<uint16_t>(n);
    } else if (a == "--enhanced") {
      c.enhancedAnswers = true;
    } else if (a == "--open-registration") {
      c.openRegistration = true;
    } else if (a == "--log") {
      if (!value()) return error = "--log needs a file", std::nullopt;
      c.logPath = val;
    } else if (a == "--ready-fd") {
      if (!number(1 << 20, n)) return std::nullopt;
      c.readyFd = static_cast<int>(n);
    } else if (a == "--idle-exit") {
      if (!number(1u << 30, n)) return std::nullopt;
      c.idleExitSec = static_cast<unsigned>(n);
    } else if (a == "--die-with-parent") {
      c.dieWithParent = true;
    } else if (a == "--max-sessions") {
      if (!number(100000, n) || n == 0) return error = "invalid value for --max-sessions", std::nullopt;
      c.maxSessions = static_cast<unsigned>(n);
    } else if (a == "--signon-timeout") {
      if (!number(86400, n) || n == 0) return error = "invalid value for --signon-timeout", std::nullopt;
      c.signOnTimeoutSec = static_cast<unsigned>(n);
    } else if (a == "--idle-timeout") {
      if (!number(7 * 86400, n) || n == 0) return error = "invalid value for --idle-timeout", std::nullopt;
      c.idleTimeoutSec = static_cast<unsigned>(n);
    } else if (a == "--signon-fail-delay-ms") {
      if (!number(60000, n)) return std::nullopt;
      c.failDelayMs = static_cast<unsigned>(n);
    } else if (a == "--tls-cert" || a == "--tls-key") {
      if (!value() || val.empty()) return error = a + " needs a file", std::nullopt;
      (a == "--tls-cert" ? c.tlsCert : c.tlsKey) = val;
    } else if (a == "--tls-only") {
      c.tlsOnly = true;
    } else if (a == "--fault-query-close") {
      if (!number(UINT64_MAX / 10, c.faults.queryCloseAfter)) return std::nullopt;
    } else if (a == "--fault-query-close-after-updates") {
      if (!number(UINT64_MAX / 10, c.faults.queryCloseAfterUpdates)) return std::nullopt;
    } else if (a == "--fault-change-close") {
      if (!number(UINT64_MAX / 10, c.faults.changeCloseAt)) return std::nullopt;
    } else if (a == "--fault-endtxn-close") {
      if (!number(UINT64_MAX / 10, c.faults.endTxnCloseAt)) return std::nullopt;
    } else if (a == "--fault-endtxn-abort") {
      if (!value()) return error = "--fault-endtxn-abort needs N:REASON", std::nullopt;
      auto colon = val.find(':');
      uint64_t r = 0;
      if (colon == std::string::npos || !parseNumber(val.substr(0, colon), UINT64_MAX / 10, n) || n == 0 ||
          !parseNumber(val.substr(colon + 1), 255, r))
        return error = "--fault-endtxn-abort needs N:REASON", std::nullopt;
      c.faults.endTxnAbortAt = n;
      c.faults.abortReason = static_cast<uint8_t>(r);
    } else if (a == "--fault-void-changes") {
      if (!number(255, n) || n == 0) return error = "--fault-void-changes needs a reason 1..255", std::nullopt;
      c.faults.voidChangesReason = static_cast<uint8_t>(n);
    } else if (a == "--fault-query-abort") {
      if (!number(255, n)) return std::nullopt;
      c.faults.queryAbortReason = static_cast<uint8_t>(n);
    } else if (a == "--fault-bad-attr") {
      if (!value() || val.empty()) return error = "--fault-bad-attr needs a path part", std::nullopt;
      c.faults.badAttrPathPart = val;
    } else if (a == "--fault-data-write") {
      if (!value() || val.empty()) return error = "--fault-data-write needs a path part", std::nullopt;
      c.faults.dataWriteFailPathPart = val;
    } else if (a == "--fault-batch-sync") {
      if (!number(UINT64_MAX / 10, c.faults.batchSyncFailAt)) return std::nullopt;
    } else if (a == "--fault-die-in-batch") {
      if (!number(UINT64_MAX / 10, c.faults.dieInBatchAt)) return std::nullopt;
    } else if (a == "--fault-delay-ms") {
      if (!number(600000, n)) return std::nullopt;
      c.faults.delayMs = static_cast<unsigned>(n);
    } else {
      error = "unknown argument " + a;
      return std::nullopt;
    }
  }
  if (c.dbPath.empty()) {
    error = "--db is required";
    return std::nullopt;
  }
  if (c.tlsCert.empty() != c.tlsKey.empty()) return error = "--tls-cert and --tls-key go together", std::nullopt;
  if (c.tlsOnly && c.tlsCert.empty()) return error = "--tls-only needs --tls-cert and --tls-key", std::nullopt;
  return c;
}

void Logger::line(const char* fmt, ...) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::lock_guard<std::mutex> g(mu_);
  if (stamped_) fprintf(out_, "%s ", stamp);
  fputs("zefserverd: ", out_);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(out_, fmt, ap);
  va_end(ap);
  fputc('\n', out_);
  fflush(out_);
}

namespace {

// Binds a listening socket to an explicit numeric address. Returns -1 with
// `error` set on failure.
int listenOn(const ServerConfig& cfg, std::string& error, uint16_t& boundPort) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, cfg.address.c_str(), &v4->sin_addr) == 1) {
    if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) return error = "refusing to listen on the wildcard address", -1;
    v4->sin_family = AF_INET;
    v4->sin_port = htons(cfg.port);
    len = sizeof *v4;
  } else if (inet_pton(AF_INET6, cfg.address.c_str(), &v6->sin6_addr) == 1) {
    // ::ffff:0.0.0.0 listens on every IPv4 address just as 0.0.0.0 does.
    bool mappedAny = IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr32[3] == htonl(INADDR_ANY);
    if (IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) || mappedAny)
      return error = "refusing to listen on the wildcard address", -1;
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(cfg.port);
    len = sizeof *v6;
  } else {
    error = "listen address must be a numeric IPv4 or IPv6 address: " + cfg.address;
    return -1;
  }
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return error = std::string("socket: ") + strerror(errno), -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, SOMAXCONN) != 0) {
    error = "cannot listen on " + cfg.address + ":" + std::to_string(cfg.port) + ": " + strerror(errno);
    ::close(fd);
    return -1;
  }
  sockaddr_storage got{};
  socklen_t gl = sizeof got;
  getsockname(fd, reinterpret_cast<sockaddr*>(&got), &gl);
  boundPort = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&got)->sin_port
                                      : reinterpret_cast<sockaddr_in6*>(&got)->sin6_port);
  return fd;
}

std::string peerName(const sockaddr_storage& ss) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

// One running session: its thread and its socket, which the server shuts down
// to end the session when it stops or when the connection gives way to
// another before it signed on.
struct SessionSlot {
  int fd = -1;
  std::string source;
  bool known = false;
  std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
  SessionLink link;
  std::atomic<bool> done{false};
  std::thread thread;
  ~SessionSlot() {
    if (thread.joinable()) thread.join();
    if (fd >= 0) ::close(fd);
  }
};

// Connections turned away or made to give way since the last log line; the
// log hears of them at most every ten seconds, not once per connection.
struct TurnedAway {
  std::map<std::string, uint64_t> refused;  // by reason
  uint64_t gaveWay = 0;
  std::chrono::steady_clock::time_point lastLine{};
  void flush(Logger& log, bool force) {
    auto now = std::chrono::steady_clock::now();
    if ((refused.empty() && !gaveWay) || (!force && now - lastLine < std::chrono::seconds(10))) return;
    for (const auto& [why, n] : refused)
      log.line("%llu connections closed at once: %s", static_cast<unsigned long long>(n), why.c_str());
    if (gaveWay)
      log.line("%llu connections not signed on gave way to newer ones", static_cast<unsigned long long>(gaveWay));
    refused.clear();
    gaveWay = 0;
    lastLine = now;
  }
};

// Admits a new connection from `source` beside the running ones; a
// connection that must give way is shut down (its session then ends).
// False when the newcomer is refused (`why` set).
bool admit(std::list<std::unique_ptr<SessionSlot>>& sessions, const std::string& source, bool known,
           unsigned total, TurnedAway& away) {
  std::vector<Unsigned> pending;
  std::vector<SessionSlot*> slots;
  for (auto& s : sessions) {
    int phase = s->link.phase.load();
    if (s->done || phase == SessionLink::kSignedOn || phase == SessionLink::kGaveWay) continue;
    if (peerHungUp(s->fd)) continue;  // its session ends on its own; it holds no place
    pending.push_back({s->source, s->known, phase == SessionLink::kSignOnSent, s->since});
    slots.push_back(s.get());
  }
  Admission a = decideAdmission(pending, source, known, kUnsignedPerSource, total);
  if (a.admit && a.evict) {
    SessionSlot* v = slots[*a.evict];
    int seen = pending[*a.evict].sentSignOn ? SessionLink::kSignOnSent : SessionLink::kConnected;
    if (v->link.phase.compare_exchange_strong(seen, SessionLink::kGaveWay)) {
      shutdown(v->fd, SHUT_RDWR);
      ++away.gaveWay;
    } else {
      a = Admission{false, std::nullopt, "too many connections not signed on"};  // it moved on meanwhile
    }
  }
  if (!a.admit) ++away.refused[a.why];
  return a.admit;
}

}  // namespace

int runServer(const ServerConfig& cfg) {
  FILE* logFile = stderr;
  std::unique_ptr<FILE, int (*)(FILE*)> owned(nullptr, fclose);
  if (!cfg.logPath.empty()) {
    owned.reset(fopen(cfg.logPath.c_str(), "a"));
    if (!owned) {
      fprintf(stderr, "zefserverd: cannot open log %s: %s\n", cfg.logPath.c_str(), strerror(errno));
      return 1;
    }
    logFile = owned.get();
  }
  Logger log(logFile, !(logFile == stderr && stderrIsJournal()));
  if (cfg.dieWithParent) prctl(PR_SET_PDEATHSIG, SIGTERM);

  // Stop signals arrive through a signalfd; every thread inherits the mask.
  sigset_t stopSigs;
  sigemptyset(&stopSigs);
  sigaddset(&stopSigs, SIGTERM);
  sigaddset(&stopSigs, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSigs, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Fd sigFd(signalfd(-1, &stopSigs, SFD_CLOEXEC));

  // The address is checked first so that a refused start leaves no database
  // file behind; connections wait in the backlog until the schema exists.
  std::string error;
  uint16_t port = 0;
  Fd listenFd(listenOn(cfg, error, port));
  if (listenFd.get() < 0) {
    log.line("%s", error.c_str());
    return 1;
  }
  std::unique_ptr<TlsContext> tls;
  if (!cfg.tlsCert.empty()) {
    tls = TlsContext::load(cfg.tlsCert, cfg.tlsKey, error);
    if (!tls) {
      log.line("%s", error.c_str());
      return 1;
    }
    log.line("TLS 1.3 with certificate %s (%s)%s", cfg.tlsCert.c_str(), tls->fingerprint().c_str(),
             cfg.tlsOnly ? ", plain connections refused" : "");
  }
  {
    // Stores waiting for their batch hold two descriptors each: up to
    // 64 sessions x 64 stores x 2 besides the sockets and databases, more
    // than the usual soft limit of 1024. The hard limit is ours to take.
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < 65536 && nofile.rlim_cur < nofile.rlim_max) {
      nofile.rlim_cur = std::min<rlim_t>(nofile.rlim_max, 65536);
      setrlimit(RLIMIT_NOFILE, &nofile);
    }
  }
  std::unique_ptr<DataDir> dataDir;
  try {
    auto store = Store::open(cfg.dbPath);  // creates the schema before anyone is accepted
    ensureDataSchema(*store);
    const std::string dataPath = cfg.dataDir.empty() ? defaultDataDir(cfg.dbPath) : cfg.dataDir;
    std::string dataError;
    dataDir = DataDir::open(dataPath, dataError);
    if (!dataDir) {
      log.line("%s", dataError.c_str());
      return 1;
    }
    // What a crash left between a store's temporary and its commit.
    DataDir::Collected gone = dataDir->collect(*store);
    if (gone.files)
      log.line("data directory %s: %llu files no record names removed (%llu bytes)", dataPath.c_str(),
               static_cast<unsigned long long>(gone.files), static_cast<unsigned long long>(gone.bytes));
  } catch (const StoreError& e) {
    log.line("cannot open database: %s", e.what());
    return 1;
  }
  log.line("listening on %s port %u, database %s, server %s, transaction size %u, %s answers, at most %u sessions",
           cfg.address.c_str(), port, cfg.dbPath.c_str(), cfg.serverName.c_str(), cfg.maxTxnObjects,
           cfg.enhancedAnswers ? "enhanced" : "plain", cfg.maxSessions);
  if (cfg.readyFd >= 0) {
    std::string p = std::to_string(port) + "\n";
    if (write(cfg.readyFd, p.data(), p.size()) < 0) log.line("cannot write ready fd: %s", strerror(errno));
    ::close(cfg.readyFd);
  }
  notifyServiceManager("READY=1\nSTATUS=listening on " + cfg.address + " port " + std::to_string(port));

  ServerShared shared{cfg, log};
  shared.tls = tls.get();
  shared.dataDir = dataDir.get();
  std::list<std::unique_ptr<SessionSlot>> sessions;
  auto lastActive = std::chrono::steady_clock::now();
  std::string why = "stopped by signal";
  TurnedAway away;
  for (;;) {
    sessions.remove_if([](const std::unique_ptr<SessionSlot>& s) { return s->done.load(); });
    away.flush(log, false);
    if (!sessions.empty()) lastActive = std::chrono::steady_clock::now();
    pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {sigFd.get(), POLLIN, 0}};
    int r = poll(fds, 2, 500);
    if (r < 0 && errno != EINTR) {
      why = std::string("poll: ") + strerror(errno);
      break;
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo si{};
      if (read(sigFd.get(), &si, sizeof si) > 0)
        why = std::string("stopped by ") + (si.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
      break;
    }
    if (fds[0].revents & POLLIN) {
      sockaddr_storage ss{};
      socklen_t sl = sizeof ss;
      int fd = accept4(listenFd.get(), reinterpret_cast<sockaddr*>(&ss), &sl, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors: the pending connection stays queued; wait for
        // sessions to end instead of spinning on it.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      std::string peer = peerName(ss);
      std::string source = sourceOf(peer);
      bool known = shared.knownSources.known(source);
      if (!admit(sessions, source, known, cfg.maxSessions, away)) {
        ::close(fd);
        continue;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
      auto slot = std::make_unique<SessionSlot>();
      slot->fd = fd;
      slot->source = source;
      slot->known = known;
      SessionSlot* raw = slot.get();
      try {
        slot->thread = std::thread([raw, peer, &shared] {
          runSession(raw->fd, peer, shared, raw->link);
          raw->done = true;
        });
      } catch (const std::system_error& e) {
        log.line("peer %s: connection closed, no thread for its session: %s", peer.c_str(), e.what());
        continue;  // the slot closes the connection
      }
      sessions.push_back(std::move(slot));
      continue;
    }
    if (cfg.idleExitSec && sessions.empty() &&
        std::chrono::steady_clock::now() - lastActive >= std::chrono::seconds(cfg.idleExitSec)) {
      why = "idle for " + std::to_string(cfg.idleExitSec) + " seconds";
      break;
    }
  }
  notifyServiceManager("STOPPING=1");
  for (auto& s : sessions) shutdown(s->fd, SHUT_RDWR);
  sessions.clear();  // joins every session thread
  away.flush(log, true);
  log.line("%s; exiting", why.c_str());
  return 0;
}

}  // namespace zef
