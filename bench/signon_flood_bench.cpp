// zefserverd under a sign-on flood from one local user: idle connections
// and password guesses, each from a new address of 127/8, while the node
// signs on from 127.0.0.1. Measured: how long the node's sign-on takes (its
// first one after the server started, and one from its now known host),
// against the floor of the same sign-on without a flood; and how many
// guesses one attacking address gets through per second.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/verb_builder.h"
#include "tests/support/zef_server.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* const kPassword = "flood bench pw";

// Reads the SignOnResp on `fd` (its length from its header); its result
// byte, or -1 when none came.
int signOnResult(int fd) {
  uint8_t answer[64];
  if (recv(fd, answer, 4, MSG_WAITALL) != 4) return -1;
  size_t len = static_cast<size_t>(answer[0]) << 8 | answer[1];
  if (len < 18 || len > sizeof answer) return -1;
  if (recv(fd, answer + 4, len - 4, MSG_WAITALL) != static_cast<ssize_t>(len - 4)) return -1;
  return answer[8];
}

// One sign-on from `from`; true when accepted.
bool signOn(uint16_t port, uint32_t from, const std::string& password) {
  int fd = kmrtest::connectLoopback(port, 30, from);
  if (fd < 0) return false;
  kmrtest::Bytes v = kmrtest::signOnVerb("NODE", password);
  bool ok = send(fd, v.data(), v.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(v.size()) && signOnResult(fd) == 0;
  close(fd);
  return ok;
}

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

void BM_NodeSignOnUnderFlood(benchmark::State& state) {
  for (auto _ : state) {
    kmrtest::ScratchDir scratch("zefflood");
    kmrtest::ZefServer srv;
    const std::string db = scratch.file("db");
    if (!kmrtest::registerNode(db, "node", kPassword) || !srv.start({db, scratch.file("log"), {}, {}}))
      return state.SkipWithError("zefserverd did not start");
    const uint16_t port = static_cast<uint16_t>(srv.port());

    auto t = Clock::now();
    if (!signOn(port, 0, kPassword)) return state.SkipWithError("no sign-on without a flood");
    const double floorMs = msSince(t);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> guesses{0}, singleSourceRefusals{0};
    std::vector<std::thread> flood;
    // Idle connections that never send a byte, kept open, ever new addresses.
    flood.emplace_back([&] {
      std::vector<int> held;
      for (uint32_t i = 0; !stop; ++i) {
        int fd = kmrtest::connectLoopback(port, 30, 0x7F100000 + (i % 1000000));
        if (fd >= 0) held.push_back(fd);
        if (held.size() > 800) {
          close(held.front());
          held.erase(held.begin());
        }
      }
      for (int fd : held) close(fd);
    });
    // Guesses, each from a new address; two threads.
    for (uint32_t base : {0x7F200000u, 0x7F300000u})
      flood.emplace_back([&, base] {
        for (uint32_t i = 0; !stop; ++i) {
          signOn(port, base + (i % 1000000), "guess");
          ++guesses;
        }
      });
    // One address guessing as fast as it is answered.
    flood.emplace_back([&] {
      while (!stop) {
        int fd = kmrtest::connectLoopback(port, 30, 0x7F050505);
        if (fd < 0) continue;
        kmrtest::Bytes v = kmrtest::signOnVerb("NODE", "single source guess");
        if (send(fd, v.data(), v.size(), MSG_NOSIGNAL) > 0 && signOnResult(fd) > 0) ++singleSourceRefusals;
        close(fd);
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the flood is under way
    t = Clock::now();
    const bool known = signOn(port, 0, kPassword);
    const double knownMs = msSince(t);
    const auto window = Clock::now();
    const uint64_t refusalsBefore = singleSourceRefusals;
    std::this_thread::sleep_for(std::chrono::seconds(8));
    const double seconds = msSince(window) / 1000;
    const double singleRate = static_cast<double>(singleSourceRefusals - refusalsBefore) / seconds;
    stop = true;
    for (auto& th : flood) th.join();
    srv.stop();

    // The first sign-on after a start, under the same flood.
    kmrtest::ZefServer fresh;
    if (!fresh.start({db, scratch.file("log2"), {}, {}})) return state.SkipWithError("second start failed");
    const uint16_t port2 = static_cast<uint16_t>(fresh.port());
    stop = false;
    std::thread idle2([&] {
      std::vector<int> held;
      for (uint32_t i = 0; !stop && held.size() < 800; ++i) {
        int fd = kmrtest::connectLoopback(port2, 30, 0x7F400000 + i);
        if (fd >= 0) held.push_back(fd);
      }
      while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (int fd : held) close(fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    t = Clock::now();
    const bool first = signOn(port2, 0, kPassword);
    const double firstMs = msSince(t);
    stop = true;
    idle2.join();
    fresh.stop();

    state.SetIterationTime(knownMs / 1000);
    state.counters["floor_ms"] = floorMs;
    state.counters["known_host_ms"] = known ? knownMs : -1;
    state.counters["first_after_start_idle_flood_ms"] = first ? firstMs : -1;
    state.counters["single_source_guesses_per_s"] = singleRate;
    state.counters["guesses_answered"] = static_cast<double>(guesses);
  }
}

}  // namespace

BENCHMARK(BM_NodeSignOnUnderFlood)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
