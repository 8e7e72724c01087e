// zefserverd's memory under load: 1,000 connections at once, then every
// session it admits streaming maximum-size MigrUpd verbs into open
// transactions. Reports the server's resident memory (VmRSS, and its peak
// VmHWM) against the floor: the same server, started, with no connection.
// Runs the real programs on loopback with a database in a scratch directory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/verb_builder.h"
#include "tests/support/zef_server.h"

namespace {

using kmrtest::Bytes;
using kmrtest::VerbBuilder;
constexpr const char* kPassword = "bench password";
constexpr unsigned kMaxSessions = 64;

// MigrUpd of a 28-byte id with flag 1 and an attribute block that fills the
// verb to 32,768 bytes: the largest verb the server takes.
Bytes maxUpdate() {
  VerbBuilder v(0x31, 38);
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

long statusKib(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  return -1;
}

void BM_ServerMemoryUnderLoad(benchmark::State& state) {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  for (auto _ : state) {
    kmrtest::ScratchDir scratch("zefmem");
    kmrtest::ZefServer srv;
    const std::string db = scratch.file("db");
    if (!kmrtest::registerNode(db, "bench", kPassword) ||
        !srv.start({db, scratch.file("log"), {"--max-sessions", std::to_string(kMaxSessions)}, {}}))
      return state.SkipWithError("zefserverd did not start");
    const pid_t pid = srv.pid();
    const uint16_t port = static_cast<uint16_t>(srv.port());
    usleep(200000);
    long floor = statusKib(pid, "VmRSS");

    std::vector<int> idle;
    // From 1,000 addresses of 127/8: one address may hold only four.
    for (uint32_t i = 0; i < 1000; ++i) idle.push_back(kmrtest::connectLoopback(port, 30, 0x7F010001 + i));
    usleep(500000);
    long idleRss = statusKib(pid, "VmRSS");
    for (int fd : idle)
      if (fd >= 0) close(fd);
    usleep(500000);  // the admitted sessions see their peers go

    // Every admitted session streams maximum-size changes into one open
    // transaction, well past what the server holds for one.
    Bytes upd = maxUpdate(), begin = VerbBuilder(0x12, 4).done(), hello = kmrtest::signOnVerb("BENCH", kPassword);
    std::vector<int> busy;
    for (unsigned i = 0; i < kMaxSessions; ++i) {
      int fd = kmrtest::connectLoopback(port, 30);
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
    long streamRss = statusKib(pid, "VmRSS"), peak = statusKib(pid, "VmHWM");
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
