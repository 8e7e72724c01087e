// zefserverd's memory under load: 1,000 connections at once, then every
// session it admits streaming maximum-size MigrUpd verbs into open
// transactions. Reports the server's resident memory (VmRSS, and its peak
// VmHWM) against the floor: the same server, started, with no connection.
// Runs the real programs on loopback with a database in a scratch directory.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/verb_bytes.h"

namespace {

using kmrtest::Bytes;
using kmrtest::str;
using Verb = kmrtest::Out;
constexpr const char* kPassword = "bench password";
constexpr unsigned kMaxSessions = 64;

Bytes signOn() { return kmrtest::signOnVerb("BENCH", kPassword); }

// MigrUpd of a 28-byte id with flag 1 and an attribute block that fills the
// verb to 32,768 bytes: the largest verb the server takes.
Bytes maxUpdate() {
  Verb v(0x31, 38);
  v.b[13] = 1;
  v.field(8, Bytes(28, 0x5A));
  v.field(14, Bytes(32768 - 38 - 28, 0));
  return v.done();
}

bool sendAll(int fd, const Bytes& b) {
  size_t done = 0;
  while (done < b.size()) {
    ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int connectTo(uint16_t port) { return kmrtest::connectLoopback(port, 30); }

long statusKib(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  return -1;
}

struct Server {
  std::string dir;
  pid_t pid = -1;
  uint16_t port = 0;
  bool start() {
    char tmpl[] = "/tmp/zefmem.XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    std::ofstream(dir + "/pw") << kPassword << "\n";
    chmod((dir + "/pw").c_str(), 0600);
    std::string reg = std::string(ZEFADM_PATH) + " --db " + dir + "/db register-node bench --password-file " + dir +
                      "/pw >/dev/null";
    if (system(reg.c_str()) != 0) return false;
    int p[2];
    if (pipe(p) != 0) return false;
    pid = fork();
    if (pid == 0) {
      close(p[0]);
      std::string db = dir + "/db", fd = std::to_string(p[1]), log = dir + "/log", max = std::to_string(kMaxSessions);
      execl(ZEFSERVERD_PATH, ZEFSERVERD_PATH, "--db", db.c_str(), "--port", "0", "--ready-fd", fd.c_str(), "--log",
            log.c_str(), "--die-with-parent", "--max-sessions", max.c_str(), "--idle-exit", "300", nullptr);
      _exit(127);
    }
    close(p[1]);
    char buf[16] = {};
    ssize_t n = read(p[0], buf, sizeof buf - 1);
    close(p[0]);
    port = n > 0 ? static_cast<uint16_t>(std::atoi(buf)) : 0;
    return port != 0;
  }
  ~Server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!dir.empty()) system(("rm -rf " + dir).c_str());
  }
};

void BM_ServerMemoryUnderLoad(benchmark::State& state) {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  for (auto _ : state) {
    Server srv;
    if (!srv.start()) return state.SkipWithError("zefserverd did not start");
    usleep(200000);
    long floor = statusKib(srv.pid, "VmRSS");

    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) idle.push_back(connectTo(srv.port));
    usleep(500000);
    long idleRss = statusKib(srv.pid, "VmRSS");
    for (int fd : idle)
      if (fd >= 0) close(fd);
    usleep(500000);  // the admitted sessions see their peers go

    // Every admitted session streams maximum-size changes into one open
    // transaction, well past what the server holds for one.
    Bytes upd = maxUpdate(), begin = Verb(0x12, 4).done(), hello = signOn();
    std::vector<int> busy;
    for (unsigned i = 0; i < kMaxSessions; ++i) {
      int fd = connectTo(srv.port);
      uint8_t answer[64];
      if (fd < 0 || !sendAll(fd, hello) || recv(fd, answer, sizeof answer, 0) <= 0 || !sendAll(fd, begin)) {
        if (fd >= 0) close(fd);
        continue;
      }
      busy.push_back(fd);
    }
    constexpr int kVerbsEach = 1500;  // 48 MiB per session
    for (int n = 0; n < kVerbsEach; ++n)
      for (int fd : busy) sendAll(fd, upd);
    long streamRss = statusKib(srv.pid, "VmRSS"), peak = statusKib(srv.pid, "VmHWM");
    for (int fd : busy) close(fd);

    state.counters["floor_rss_kib"] = static_cast<double>(floor);
    state.counters["idle1000_rss_kib"] = static_cast<double>(idleRss);
    state.counters["stream_rss_kib"] = static_cast<double>(streamRss);
    state.counters["peak_rss_kib"] = static_cast<double>(peak);
    state.counters["sessions_streaming"] = static_cast<double>(busy.size());
    state.counters["peak_to_floor"] = floor > 0 ? static_cast<double>(peak) / static_cast<double>(floor) : 0;
  }
}
BENCHMARK(BM_ServerMemoryUnderLoad)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
