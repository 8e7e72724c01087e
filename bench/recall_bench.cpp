// kmrrecalld against its floors (root; a private mount namespace with a
// loop ext4, zefserverd on loopback, as the integration tests set it up):
//   BM_RecallLargeFile    one stub (argument: MiB) read through (recall, then
//                         the read) against `cp` of the server's data file
//                         into the same file system plus its fsync
//   BM_FirstByteLatency   open + 1-byte read of 4 KiB stubs: median, p99
//   BM_ResidentReads      reading many resident files with the daemon
//                         against the same reads without it, in rounds
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <chrono>
#include <filesystem>
#include <vector>

#include "tests/support/recall_bed.h"
#include "zefserver/store.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct World {
  std::unique_ptr<e2e::Bed> bed;
  std::unique_ptr<kmrtest::ScratchMount> mount;
  std::string fs;
  uint32_t fsId = 0;
};

// The bed with one managed loop ext4 of `mb` MiB.
std::unique_ptr<World> world(unsigned mb) {
  std::string why;
  if (!kmrtest::EnterTestNamespace(&why)) return nullptr;
  auto w = std::make_unique<World>();
  w->bed = std::make_unique<e2e::Bed>();
  w->bed->startServer();
  w->mount = std::make_unique<kmrtest::ScratchMount>("ext4", mb);
  w->fs = w->mount->path();
  if (w->bed->zefadm({"manage-fs", w->fs}).status != 0) return nullptr;
  if (w->bed->zefadm({"add-filespace", e2e::Bed::kNode, w->fs}).status != 0) return nullptr;
  w->fsId = zef::Store::open(w->bed->db())->findFileSpace(e2e::Bed::kNode, w->fs)->id;
  return w;
}

// CPU seconds (user and system, all threads) a process has used so far.
double cpuSeconds(pid_t pid) {
  std::string st = kmrtest::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = st.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(st.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The zefserverd this process started (the bed's), 0 when none is found.
pid_t ourServer() {
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string st = kmrtest::readFile(e.path().string() + "/stat");
    const size_t close = st.rfind(')');
    if (close == std::string::npos || st.find("(zefserverd)") == std::string::npos) continue;
    std::istringstream in(st.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    if (in >> state >> ppid && ppid == getpid()) return static_cast<pid_t>(std::stol(name));
  }
  return 0;
}

void dropCaches() {
  sync();
  kmrtest::writeFile("/proc/sys/vm/drop_caches", "3\n");
}

void BM_RecallLargeFile(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) << 20;
  auto w = world(static_cast<unsigned>(3 * (size >> 20) + 256));
  if (!w) return state.SkipWithError("no test namespace");
  const std::string block = recalltest::content(1 << 20, 1);
  // The block repeated: a piece that crosses its end wraps around.
  auto piece = [&](size_t at, size_t n) {
    std::string p;
    while (p.size() < n) p += block.substr((at + p.size()) % block.size(), n - p.size());
    return p;
  };
  auto session = recalltest::signedOn(*w->bed);
  const std::string why =
      session ? recalltest::makeStub(*session, w->fs, w->fsId, "/big", size, piece) : "sign-on refused";
  session.reset();
  if (!why.empty()) {
    fprintf(stderr, "%s\n", kmrtest::readFile(w->bed->work() + "/server.log").c_str());
    return state.SkipWithError(why.c_str());
  }
  std::string dataFile;
  for (const auto& e : std::filesystem::directory_iterator(w->bed->work() + "/data"))
    if (e.is_regular_file() && e.file_size() == size) dataFile = e.path();
  // KMR_BENCH_SYS_EXTRA: option lines added to the server stanza the daemon
  // reads (say "  TCPWINDOWSIZE 2048"), to compare session settings.
  if (const char* extra = getenv("KMR_BENCH_SYS_EXTRA")) {
    const std::string sys = w->bed->work() + "/inst/kmr.sys";
    kmrtest::writeFile(sys, kmrtest::readFile(sys) + extra + "\n");
  }
  auto daemon = recalltest::startDaemon(*w->bed, "");
  if (!daemon) return state.SkipWithError("daemon");
  double recall = 0, floor = 0, floorFirst = 0, firstByte = 0, daemonCpu = 0, serverCpu = 0;
  const pid_t server = ourServer();
  long hwm = 0;
  // The floor once before the recall as well: the first large write into a
  // new file system (and into memory the machine has not used yet) is
  // slower than the next, so the floor after the recall alone favours the
  // floor. Both are reported; speed_vs_floor takes the later one.
  auto copyFloor = [&](const std::string& name) {
    dropCaches();
    auto a = Clock::now();
    kmrtest::runShell("cp " + dataFile + " " + w->fs + "/" + name + " && sync " + w->fs + "/" + name);
    return seconds(a, Clock::now());
  };
  for (auto _ : state) {
    floorFirst = copyFloor("floor0");
    std::filesystem::remove(w->fs + "/floor0");
    dropCaches();
    // The first byte waits for the whole recall; the rest is read from the
    // page cache into one reused buffer (no string of the file's size).
    const double daemon0 = cpuSeconds(daemon->pid()), server0 = server ? cpuSeconds(server) : 0;
    auto t0 = Clock::now();
    const int fd = open((w->fs + "/big").c_str(), O_RDONLY);
    std::vector<char> buf(1 << 20);
    size_t got = 0;
    ssize_t n = fd < 0 ? -1 : read(fd, buf.data(), 1);
    auto tFirst = Clock::now();
    while (n > 0) got += static_cast<size_t>(n), n = read(fd, buf.data(), buf.size());
    auto t1 = Clock::now();
    if (fd >= 0) close(fd);
    if (n < 0 || got != size) return state.SkipWithError("recall failed");
    firstByte = seconds(t0, tFirst);
    daemonCpu = cpuSeconds(daemon->pid()) - daemon0;
    serverCpu = server ? cpuSeconds(server) - server0 : 0;
    floor = copyFloor("floor");
    recall = seconds(t0, t1);
    state.SetIterationTime(recall);
    const std::string st = kmrtest::readFile("/proc/" + std::to_string(daemon->pid()) + "/status");
    hwm = std::stol(st.substr(st.find("VmHWM:") + 6));
  }
  state.counters["recall_MiBps"] = static_cast<double>(size >> 20) / recall;
  state.counters["floor_MiBps"] = static_cast<double>(size >> 20) / floor;
  state.counters["speed_vs_floor"] = floor / recall;
  state.counters["floor_first_MiBps"] = static_cast<double>(size >> 20) / floorFirst;
  state.counters["speed_vs_floor_first"] = floorFirst / recall;
  state.counters["recall_wait_s"] = firstByte;
  // The work of the recall, whatever else the machine does meanwhile.
  state.counters["daemon_cpu_s"] = daemonCpu;
  state.counters["server_cpu_s"] = serverCpu;
  state.counters["daemon_VmHWM_KiB"] = static_cast<double>(hwm);
}

void BM_FirstByteLatency(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto w = world(600);
  if (!w) return state.SkipWithError("no test namespace");
  auto session = recalltest::signedOn(*w->bed);
  if (!session) return state.SkipWithError("sign-on refused");
  for (int i = 0; i < n; ++i) {
    const std::string data = recalltest::content(4096, i);
    auto piece = [&](size_t at, size_t len) { return data.substr(at, len); };
    if (!recalltest::makeStub(*session, w->fs, w->fsId, "/s" + std::to_string(i), data.size(), piece).empty())
      return state.SkipWithError("stub");
  }
  session.reset();
  auto daemon = recalltest::startDaemon(*w->bed, "");
  if (!daemon) return state.SkipWithError("daemon");
  std::vector<double> ms;
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) {
      const std::string p = w->fs + "/s" + std::to_string(i);
      auto t0 = Clock::now();
      int fd = open(p.c_str(), O_RDONLY);
      char c;
      const ssize_t r = read(fd, &c, 1);
      auto t1 = Clock::now();
      close(fd);
      if (r != 1) return state.SkipWithError("recall failed");
      ms.push_back(seconds(t0, t1) * 1000);
    }
    state.SetIterationTime(std::accumulate(ms.begin(), ms.end(), 0.0) / 1000);
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
}

double threadCpuSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Rounds of: two passes without the daemon (the second counts), the daemon
// started, its first pass (each file's one event, then its ignore mark), a
// later pass, the daemon stopped (its marks go with it). Neighbouring passes share the machine's
// load of the moment; the medians leave out a round that a stray pause hit.
void BM_ResidentReads(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int rounds = 9;
  auto w = world(600);
  if (!w) return state.SkipWithError("no test namespace");
  for (int i = 0; i < n; ++i) kmrtest::writeFile(w->fs + "/r" + std::to_string(i), recalltest::content(4096, i));
  // A pass's time; *cpu receives the reading thread's CPU time, which the
  // other programs of a shared machine sway less.
  auto pass = [&](double* cpu = nullptr) {
    auto t0 = Clock::now();
    const double c0 = threadCpuSeconds();
    for (int i = 0; i < n; ++i) recalltest::readWhole(w->fs + "/r" + std::to_string(i));
    if (cpu) *cpu = threadCpuSeconds() - c0;
    return seconds(t0, Clock::now());
  };
  pass();  // page cache warm for every pass
  std::vector<double> without, first, later, ratio, cpuRatio;
  for (auto _ : state) {
    for (int r = 0; r < rounds; ++r) {
      pass();  // the second pass of each kind is compared: both follow one of their own
      double cpuWithout = 0, cpuLater = 0;
      without.push_back(pass(&cpuWithout));
      auto daemon = recalltest::startDaemon(*w->bed, "");
      if (!daemon) return state.SkipWithError("daemon");
      first.push_back(pass());
      later.push_back(pass(&cpuLater));
      ratio.push_back(later.back() / without.back());
      cpuRatio.push_back(cpuLater / cpuWithout);
    }
    state.SetIterationTime(median(later));
  }
  state.counters["without_ms"] = median(without) * 1000;
  state.counters["first_pass_ms"] = median(first) * 1000;
  state.counters["later_pass_ms"] = median(later) * 1000;
  state.counters["first_pass_ratio"] = median(first) / median(without);
  state.counters["later_pass_ratio"] = median(ratio);
  state.counters["later_pass_cpu_ratio"] = median(cpuRatio);
}

}  // namespace

BENCHMARK(BM_RecallLargeFile)->Arg(1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstByteLatency)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResidentReads)->Arg(10000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
