// Creating stubs through the HSM file system layer, against a floor that
// makes the same files with only the unavoidable system calls.
//
// Layer, per stub: sparse file (open O_EXCL|O_NOFOLLOW, ftruncate), owner,
// mode and times on the descriptor, the handle of the open file, a user event
// with the exclusive right, "VOQObj" through dmiSetDMAttrib, the managed
// region through dmiSetMngRegion, hole probe and punch, the file's attributes,
// the right given back and the event answered.
// Floor, per file: open, ftruncate, fchown, fchmod, futimens, fsetxattr of
// the 124-byte record, close.
//
// Both run on one tmpfs mounted in a private mount namespace of this process
// (root only), in the same iteration, timed apart; the reported time is the
// layer's, the counters give both per stub and their ratio. Files are removed
// between iterations, untimed.
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
#include <string>

#include "common/options.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/xdsmapi.h"
#include "hsmfs/xdsmstore.h"

namespace {

constexpr off_t kStubSize = 1 << 20;
std::string g_dir;  // the benchmark's tmpfs

using Clock = std::chrono::steady_clock;

dmiInfo stubRecord(size_t n) {
  dmiInfo info;
  for (size_t i = 0; i < kExtObjIdLen; ++i) info.extObjId.bytes[i] = static_cast<uint8_t>(n + i);
  info.fileSize = kStubSize;
  dmiSet64bitDataSize(info, kStubSize);
  info.dataSizeForm = DMI_DATASIZE_64BIT;
  info.objFlags = DMI_OBJ_UNCOMPRESSED;
  info.migState = DMI_STATE_MIGRATED;
  return info;
}

int createSparse(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  static const struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
  if (ftruncate(fd, kStubSize) != 0 || fchown(fd, 1234, 5678) != 0 || fchmod(fd, 0640) != 0 ||
      futimens(fd, times) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool floorFile(const std::string& path, size_t n) {
  int fd = createSparse(path);
  if (fd < 0) return false;
  uint8_t record[kVOQObjLen];
  encodeVOQObj(stubRecord(n), record);
  bool ok = fsetxattr(fd, "trusted.dmapi.VOQObj", record, sizeof record, 0) == 0;
  return close(fd) == 0 && ok;
}

bool layerStub(XDSMAPI* api, dm_sessid_t sid, const std::string& path, size_t n) {
  int fd = createSparse(path);
  if (fd < 0) return false;
  xdsm_handle_t handle;
  handleInit(&handle);
  bool ok = handleSetWithFd(&handle, fd) == 1;
  close(fd);
  if (!ok) return false;
  dm_token_t token = DM_NO_TOKEN;
  ok = api->createUserEvent(sid, 8, handle.hanp, &token) == 1;
  if (ok) {
    HsmHandleBytes h(static_cast<uint8_t*>(handle.hanp), static_cast<uint8_t*>(handle.hanp) + handle.hlen);
    HsmToken t{token.high, token.low};
    dm_off_t roff = 0;
    dm_size_t rlen = 0;
    dm_stat_t st;
    ok = dmiRequestRight(sid, handle, token, DM_RIGHT_EXCL, 16, "stub_bench") == 0 &&
         api->probeHole(sid, handle, token, 0, 0, &roff, &rlen) == 1 &&
         dmiSetDMAttrib(sid, h, t, stubRecord(n)) == 0 && dmiSetMngRegion(sid, h, t, 0, DMI_REGION_STUB) == 0 &&
         api->punchHole(sid, handle, token, 0, rlen) == 1 && api->getFileAttr(sid, handle, token, 0x1000, &st) == 1 &&
         dmiRequestRight(sid, handle, token, DM_RIGHT_NULL, 1, "stub_bench") == 0;
    ok = dmiRespondEventOk(sid, token) == 0 && ok;
  }
  handleFree(&handle);
  return ok;
}

void removeAll(const std::string& prefix, size_t count) {
  for (size_t i = 0; i < count; ++i) unlink((prefix + std::to_string(i)).c_str());
}

void BM_CreateStubs(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  clientOptions opts;
  hsmLayerStartup(&opts);
  XDSMAPI* api = XDSMAPI::getXDSMAPI();
  dm_sessid_t sid = api->initService() ? api->createSession(DM_NO_SESSION, "stub_bench", 0) : DM_NO_SESSION;
  if (sid == DM_NO_SESSION) {
    state.SkipWithError("no DMAPI session");
    return;
  }
  const std::string floorPrefix = g_dir + "/floor.";
  const std::string layerPrefix = g_dir + "/stub.";
  double floorSeconds = 0, layerSeconds = 0;
  bool ok = true;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (size_t i = 0; i < count && ok; ++i) ok = floorFile(floorPrefix + std::to_string(i), i);
    auto t1 = Clock::now();
    for (size_t i = 0; i < count && ok; ++i) ok = layerStub(api, sid, layerPrefix + std::to_string(i), i);
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
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  umount2(g_dir.c_str(), MNT_DETACH);
  rmdir(g_dir.c_str());
  return 0;
}
