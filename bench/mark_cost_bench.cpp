// What the kernel's fanotify marks cost the programs that read resident
// files, and what marking each stub instead would cost the node; no daemon,
// no server (root; a private mount namespace with a loop ext4):
//   BM_ReadsUnderMarks/K   10,000 files of 4 KiB read whole (open, read,
//                          read to the end, close; warm page cache) with
//                          the marks of kind K against the same reads with
//                          no mark, in rounds (the median of the rounds'
//                          ratios). The kinds:
//                          0 the daemon's marks: the access group marks the
//                            file system for pre-access, execution and
//                            writes, the attribute group for attribute
//                            changes and writes, and every file carries the
//                            resident file's ignore marks of both
//                          1 the access group's file-system mark for
//                            pre-access alone, every file ignoring it
//                          2 as 1, the mark on the mount instead
//                          3 the attribute group's file-system mark alone
//                          4 pre-access marks on the inodes of 1,000 other
//                            files (stubs, in a directory of their own)
//                            only: the files read carry none
//                          5 one pre-access mark for the children of the
//                            stubs' directory: the files read are elsewhere
//                          6 the same mark on the directory of the files
//                            read, each of them ignoring it
//                          7 as 0 without the attribute group's ignore
//                            marks on the files
//                          8 as 0 without the attribute group
//                          9 as 0 with the attribute group's interest in
//                            attribute changes on each file's inode
//                            instead of on the file system
//   BM_PinnedStubMarks/N   N stubs (sparse 4 KiB files) marked one by one
//                          for pre-access by inode, the marks kept (not
//                          evictable): the time to mark them by path and by
//                          a walk that finds them by their "VOQObj"
//                          attribute with a cold cache, and the kernel
//                          memory the marks keep after the caches are
//                          dropped (slab of marks, connectors and the
//                          inodes they pin)
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "recall/fanotify_seam.h"
#include "tests/support/files.h"
#include "tests/support/private_mount.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string name(const std::string& dir, const char* prefix, int i) { return dir + "/" + prefix + std::to_string(i); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Marks of one kind held by open groups; closing them removes the marks. A
// thread answers every access event the access group gets (an inode evicted
// by a cache drop elsewhere on the machine loses an evictable mark) and
// counts them: a pass under marks that raised events measured more than the
// walk.
struct Groups {
  int access = -1, attrib = -1, stop = eventfd(0, EFD_CLOEXEC);
  std::atomic<long> events{0};
  std::thread answerer;
  void answer() {
    alignas(fanotify_event_metadata) char buf[8192];
    for (struct pollfd p[2] = {{access, POLLIN, 0}, {stop, POLLIN, 0}}; poll(p, 2, -1) > 0 && !p[1].revents;) {
      const ssize_t len = read(access, buf, sizeof buf);
      fan::forEachEvent(buf, len, [this](const fanotify_event_metadata* m) {
        if (fan::isPermission(m->mask)) fan::respond(access, m->fd, FAN_ALLOW);
        if (m->fd >= 0) close(m->fd);
        ++events;
      });
    }
  }
  int open(bool withAccess, bool withAttrib) {
    int err = withAccess ? fan::initAccessGroup(&access) : 0;
    if (!err && withAttrib) err = fan::initAttribGroup(&attrib);
    if (!err && access >= 0) answerer = std::thread([this] { answer(); });
    return err;
  }
  ~Groups() {
    eventfd_write(stop, 1);
    if (answerer.joinable()) answerer.join();
    if (access >= 0) close(access);
    if (attrib >= 0) close(attrib);
    close(stop);
  }
};

int mark(int group, unsigned flags, uint64_t mask, const std::string& path) {
  return fanotify_mark(group, FAN_MARK_ADD | flags, mask, AT_FDCWD, path.c_str()) == 0 ? 0 : errno;
}

// The marks of `kind` on the file system at `fs` whose read files are r0..;
// 0 or the errno value of the first refusal.
int setMarks(Groups& g, int kind, const std::string& fs, int files) {
  // Kept ignore marks: the walk is the same as with the daemon's evictable
  // ones, and no event is raised for an inode evicted meanwhile.
  const unsigned ignore = FAN_MARK_IGNORE | FAN_MARK_IGNORED_SURV_MODIFY;
  int err = g.open(kind != 3, kind == 0 || kind == 3 || kind == 7 || kind == 9);
  if (err) return err;
  switch (kind) {
    case 0:
    case 7:
    case 8:
    case 9:
      if ((err = mark(g.access, FAN_MARK_FILESYSTEM, fan::kAccessMask, fs)) ||
          (g.attrib >= 0 && kind != 9 && (err = mark(g.attrib, FAN_MARK_FILESYSTEM, fan::kAttribMask, fs))))
        return err;
      for (int i = 0; i < files && !err; ++i)
        if (!(err = mark(g.access, ignore, fan::kResidentIgnore, name(fs, "r", i))) && (kind == 0 || kind == 9))
          err = kind == 0 ? mark(g.attrib, ignore, FAN_MODIFY, name(fs, "r", i)) : mark(g.attrib, 0, FAN_ATTRIB, name(fs, "r", i));
      return err;
    case 1:
    case 2:
      if ((err = mark(g.access, kind == 1 ? FAN_MARK_FILESYSTEM : FAN_MARK_MOUNT, fan::kPreAccess, fs))) return err;
      for (int i = 0; i < files && !err; ++i) err = mark(g.access, ignore, fan::kPreAccess, name(fs, "r", i));
      return err;
    case 3:
      return mark(g.attrib, FAN_MARK_FILESYSTEM, fan::kAttribMask, fs);
    case 4:
      for (int i = 0; i < 1000 && !err; ++i) err = mark(g.access, 0, fan::kPreAccess, name(fs + "/sd", "s", i));
      return err;
    default:
      if ((err = mark(g.access, FAN_MARK_ONLYDIR, fan::kPreAccess | FAN_EVENT_ON_CHILD, kind == 5 ? fs + "/sd" : fs)))
        return err;
      for (int i = 0; i < files && kind == 6 && !err; ++i) err = mark(g.access, ignore, fan::kPreAccess, name(fs, "r", i));
      return err;
  }
}

double cpuSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One pass: its time, and the reading thread's CPU time in *cpu (less
// swayed by the other programs of a shared machine than the time).
double pass(const std::string& fs, int files, double* cpu = nullptr) {
  char buf[65536];
  const double c0 = cpuSeconds();
  auto t0 = Clock::now();
  for (int i = 0; i < files; ++i) {
    const int fd = open(name(fs, "r", i).c_str(), O_RDONLY);
    while (fd >= 0 && read(fd, buf, sizeof buf) > 0) {
    }
    if (fd >= 0) close(fd);
  }
  const double t = seconds(t0, Clock::now());
  if (cpu) *cpu = cpuSeconds() - c0;
  return t;
}

// Rounds of: two passes without marks (the second counts), the marks set,
// two passes under them (the second counts), the marks removed.
void BM_ReadsUnderMarks(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0)), files = 10000, rounds = 9;
  std::string why;
  if (!kmrtest::EnterTestNamespace(&why)) return state.SkipWithError(why.c_str());
  kmrtest::ScratchMount m("ext4", 600);
  const std::string fs = m.path();
  const std::string data(4096, 'r');
  for (int i = 0; i < files; ++i) kmrtest::writeFile(name(fs, "r", i), data);
  mkdir((fs + "/sd").c_str(), 0755);
  for (int i = 0; i < 1000; ++i) {
    kmrtest::writeFile(name(fs + "/sd", "s", i), "");
    if (truncate(name(fs + "/sd", "s", i).c_str(), 4096) != 0) return state.SkipWithError(strerror(errno));
  }
  std::vector<double> without, with, ratio, cpuRatio;
  long events = 0;
  for (auto _ : state) {
    for (int r = 0; r < rounds; ++r) {
      pass(fs, files);
      double cpuWithout = 0, cpuWith = 0;
      without.push_back(pass(fs, files, &cpuWithout));
      Groups g;
      if (const int err = setMarks(g, kind, fs, files)) return state.SkipWithError(strerror(err));
      pass(fs, files);
      with.push_back(pass(fs, files, &cpuWith));
      ratio.push_back(with.back() / without.back());
      cpuRatio.push_back(cpuWith / cpuWithout);
      events += g.events;
    }
    state.SetIterationTime(median(with));
  }
  state.counters["without_ms"] = median(without) * 1000;
  state.counters["with_ms"] = median(with) * 1000;
  state.counters["ratio"] = median(ratio);
  state.counters["cpu_ratio"] = median(cpuRatio);
  state.counters["events"] = static_cast<double>(events);
  state.counters["extra_ns_per_file"] = (median(with) - median(without)) / files * 1e9;
}

// Bytes of the objects in use in each slab cache named, from
// /sys/kernel/slab (a cache the kernel merged with others of the same size
// counts theirs too: the growth is what is read).
std::map<std::string, long> slabBytes() {
  std::map<std::string, long> out;
  for (const char* c : {"fanotify_mark", "fsnotify_mark_connector", "ext4_inode_cache", "dentry"}) {
    const std::string dir = std::string("/sys/kernel/slab/") + c + "/";
    out[c] = atol(kmrtest::readFile(dir + "objects").c_str()) * atol(kmrtest::readFile(dir + "slab_size").c_str());
  }
  return out;
}

void dropCaches() {
  sync();
  kmrtest::writeFile("/proc/sys/vm/drop_caches", "3\n");
}

// Marks every stub found beneath `dir` ("VOQObj" set); returns how many.
int markStubsBeneath(int group, const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  int marked = 0;
  char b[256];
  for (struct dirent* e; d && (e = readdir(d));) {
    const std::string p = dir + "/" + e->d_name;
    if (e->d_type == DT_DIR && e->d_name[0] != '.') marked += markStubsBeneath(group, p);
    if (e->d_type == DT_REG && lgetxattr(p.c_str(), "trusted.dmapi.VOQObj", b, sizeof b) >= 0)
      marked += mark(group, 0, fan::kPreAccess, p) == 0;
  }
  if (d) closedir(d);
  return marked;
}

void BM_PinnedStubMarks(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string why;
  if (!kmrtest::EnterTestNamespace(&why)) return state.SkipWithError(why.c_str());
  kmrtest::ScratchMount m("ext4", static_cast<unsigned>(n / 40 + 256));
  const std::string fs = m.path();
  // A hundred directories of stubs, as a migrated tree has them.
  for (int i = 0; i < n; ++i) {
    const std::string dir = fs + "/d" + std::to_string(i % 100);
    if (i < 100) mkdir(dir.c_str(), 0755);
    const std::string p = name(dir, "s", i);
    const int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    const bool ok = fd >= 0 && ftruncate(fd, 4096) == 0 && fsetxattr(fd, "trusted.dmapi.VOQObj", "x", 1, 0) == 0;
    if (fd >= 0) close(fd);
    if (!ok) return state.SkipWithError("cannot make the stubs");
  }
  double byPath = 0, byWalk = 0;
  long kept = 0;
  std::map<std::string, long> growth;
  for (auto _ : state) {
    dropCaches();
    const auto before = slabBytes();
    Groups g;
    if (const int err = g.open(true, false)) return state.SkipWithError(strerror(err));
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
      if (mark(g.access, 0, fan::kPreAccess, name(fs + "/d" + std::to_string(i % 100), "s", i)) != 0)
        return state.SkipWithError("mark refused");
    byPath = seconds(t0, Clock::now());
    dropCaches();
    const auto after = slabBytes();
    for (const auto& [cache, bytes] : after) growth[cache] = bytes - before.at(cache);
    kept = growth["fanotify_mark"] + growth["fsnotify_mark_connector"] + growth["ext4_inode_cache"];
    Groups walk;
    if (const int err = walk.open(true, false)) return state.SkipWithError(strerror(err));
    dropCaches();
    t0 = Clock::now();
    const int found = markStubsBeneath(walk.access, fs);
    byWalk = seconds(t0, Clock::now());
    if (found != n) return state.SkipWithError("the walk missed stubs");
    state.SetIterationTime(byPath);
  }
  state.counters["mark_by_path_us_per_stub"] = byPath / n * 1e6;
  state.counters["cold_walk_and_mark_us_per_stub"] = byWalk / n * 1e6;
  state.counters["kept_bytes_per_stub"] = static_cast<double>(kept) / n;
  for (const auto& [cache, bytes] : growth) state.counters[cache + "_bytes_per_stub"] = static_cast<double>(bytes) / n;
}

}  // namespace

BENCHMARK(BM_ReadsUnderMarks)->DenseRange(0, 9)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PinnedStubMarks)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
