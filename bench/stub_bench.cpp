// Recreating stubs the way kmrmigundelete does, against a floor that makes
// the same files with only the unavoidable system calls.
//
// Layer, per stub: the mode's own ReconcileModeMigUndelete::recreateFileStub
// on an object as the server sends it (parent resolved beneath the mount
// point once per directory run and kept, a check that it still exists,
// entry looked at, marked temporary made unnamed and linked (an earlier
// run's temporary is met only as the name being taken), sparse size, owner, mode and times on the descriptor,
// the handle of the open file, user event with the exclusive right, hole
// probe, "VOQObj", managed region, punch, file attributes, right released,
// event answered, one renameat2 into place, marker removed, scout told).
// Without a scout listening, as on most nodes.
// Floor, per file: open, ftruncate, fchown, fchmod, futimens, fsetxattr of
// the 124-byte record, close.
//
// Both run on one tmpfs mounted in a private mount namespace of this process
// (root only), in the same iteration, timed apart; the reported time is the
// layer's, the counters give both per stub and their ratio. Files are removed
// between iterations, untimed. The end-to-end figures with the server and
// the whole command are bench/stub_e2e's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/messages.h"
#include "hsmfs/xdsmapi.h"
#include "reconcile/migundelete.h"
#include "reconcile/reconcilestatus.h"
#include "reconcile/serverlink.h"
#include "server/migobject.h"
#include "tests/support/migrated_object.h"

namespace {

constexpr off_t kStubSize = 1 << 20;
std::string g_dir;  // the benchmark's tmpfs

using Clock = std::chrono::steady_clock;

midExtObjId_t objectId(size_t n) {
  midExtObjId_t id{};
  for (size_t i = 0; i < kExtObjIdLen; ++i) id.bytes[i] = static_cast<uint8_t>(n + i);
  return id;
}

// What every stub of the run is: 1 MiB, owner 1234:5678, mode 0640.
kmrtest::ObjSpec stubSpec(const std::string& alias) {
  kmrtest::ObjSpec spec;
  spec.alias = alias;
  spec.size = kStubSize;
  spec.gid = 5678;
  return spec;
}

// The object the server would send for stub n of the run.
std::unique_ptr<ZefServerMigratedObject> serverObject(const std::string& alias, size_t n) {
  return std::unique_ptr<ZefServerMigratedObject>(kmrtest::makeObject(stubSpec(alias), objectId(n)));
}

// The stub steps need no server: the mode gets a link that is never used.
class NoServer : public ReconcileServerLink {
 public:
  int beginTransaction() override { return 0; }
  int getAllMigrObjectsFromServer(int) override { return 0; }
  cQueueBaseObject* getNextMigrObjectFromServer() override { return nullptr; }
  int updateMigrObjectOnServer(ZefServerMigratedObject*, int) override { return 0; }
  int stopTransaction() override { return 0; }
  uint64_t committedUpdates() const override { return 0; }
};

std::unique_ptr<ReconcileServerLink> noServer(int* rc, const std::string&) {
  *rc = 0;
  return std::make_unique<NoServer>();
}

bool floorFile(const std::string& path, size_t n) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  static const struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
  const Attrib a = kmrtest::attribOf(stubSpec(path));
  unsigned char record[kVOQObjLen];
  buildVOQObjRecord(objectId(n), a, record);
  bool ok = ftruncate(fd, kStubSize) == 0 && fchown(fd, 1234, 5678) == 0 && fchmod(fd, 0640) == 0 &&
            futimens(fd, times) == 0 && fsetxattr(fd, "trusted.dmapi.VOQObj", record, sizeof record, 0) == 0;
  return close(fd) == 0 && ok;
}

void removeAll(const std::string& prefix, size_t count) {
  for (size_t i = 0; i < count; ++i) unlink((prefix + std::to_string(i)).c_str());
}

void BM_CreateStubs(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  ReconcileStatusStoragePools status(g_dir + "/reconcile.log",
                                    [](const std::string&, std::vector<unsigned>& ids) { ids = {0}; });
  ReconcileModeMigUndelete mode(ReconcileEnv{&noServer}, g_dir, 0, &status, 0, 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> objects;
  for (size_t i = 0; i < count; ++i) objects.push_back(serverObject("/stubs/" + std::to_string(i), i));
  const std::string floorPrefix = g_dir + "/floor/";
  const std::string layerPrefix = g_dir + "/stubs/";
  mkdir((g_dir + "/floor").c_str(), 0755);
  mkdir((g_dir + "/stubs").c_str(), 0755);
  double floorSeconds = 0, layerSeconds = 0;
  bool ok = true;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (size_t i = 0; i < count && ok; ++i) ok = floorFile(floorPrefix + std::to_string(i), i);
    auto t1 = Clock::now();
    for (size_t i = 0; i < count && ok; ++i) ok = mode.recreateFileStub(objects[i].get()) == 1;
    auto t2 = Clock::now();
    const double layerPart = std::chrono::duration<double>(t2 - t1).count();
    floorSeconds += std::chrono::duration<double>(t1 - t0).count();
    layerSeconds += layerPart;
    state.SetIterationTime(layerPart);
    state.PauseTiming();
    removeAll(floorPrefix, count);
    removeAll(layerPrefix, count);
    state.ResumeTiming();
    if (!ok) break;
  }
  if (!ok) {
    state.SkipWithError("a stub or floor file could not be made");
    return;
  }
  const double items = static_cast<double>(state.iterations()) * static_cast<double>(count);
  state.SetItemsProcessed(static_cast<int64_t>(items));
  state.counters["layer_us"] = layerSeconds * 1e6 / items;
  state.counters["floor_us"] = floorSeconds * 1e6 / items;
  state.counters["ratio"] = floorSeconds > 0 ? layerSeconds / floorSeconds : 0;
}
BENCHMARK(BM_CreateStubs)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

// A tmpfs of our own, in a mount namespace of our own, so the host's mount
// table is never touched; /var/log gets a tmpfs too in case anything logs.
bool enterScratchTmpfs() {
  if (geteuid() != 0) return false;
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  mount("tmpfs", "/var/log", "tmpfs", 0, "size=8m");
  char tmpl[] = "/tmp/kmrbench.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  g_dir = tmpl;
  return mount("tmpfs", g_dir.c_str(), "tmpfs", 0, "size=256m") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!enterScratchTmpfs()) {
    fprintf(stderr, "stub_bench: needs root to mount a private tmpfs\n");
    if (!g_dir.empty()) rmdir(g_dir.c_str());
    return 1;
  }
  // The message system and the DMAPI session, as the command starts them.
  kmrtest::startCommandServices();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kmrtest::stopCommandServices();
  umount2(g_dir.c_str(), MNT_DETACH);
  rmdir(g_dir.c_str());
  return 0;
}
