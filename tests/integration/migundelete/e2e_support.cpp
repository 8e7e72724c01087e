#include "tests/integration/migundelete/e2e_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "server/wire/attribcodec.h"
#include "zefserver/objects.h"
#include "zefserver/store.h"

namespace e2e {

using kmrtest::readFile;
using kmrtest::writeFile;

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + strerror(errno)); }

// Forks the program of `run` as the administrator would run it: a minimal
// environment, nothing on standard input, standard output to `out`,
// standard error to the descriptor `err`, no signal blocked or ignored, and
// killed when the test process ends.
pid_t spawn(const RunSpec& run, const std::string& out, int err, const std::vector<std::string>& moreEnv = {}) {
  std::vector<std::string> args = run.argv;
  if (!run.asUser.empty())
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=" + run.asUser, "--regid=" + run.asUser,
                               "--clear-groups", "--"});
  std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C", "LC_ALL=C"};
#if defined(__SANITIZE_ADDRESS__) && defined(ORCA_LIBRARY_DIR)
  // The address sanitizer takes over dlopen(), and the loader then searches
  // the run path of the sanitizer's library instead of the command's: the
  // sanitizer build alone needs the search path spelled out.
  env.push_back("LD_LIBRARY_PATH=" ORCA_LIBRARY_DIR);
#endif
  env.insert(env.end(), moreEnv.begin(), moreEnv.end());
  for (const auto& [k, v] : run.env) env.push_back(k + "=" + v);
  // Made before the fork: the test may run threads, and the child may then
  // only call what is safe in a signal handler.
  std::vector<char*> av, ev;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  for (auto& v : env) ev.push_back(v.data());
  ev.push_back(nullptr);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid > 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  int n = open("/dev/null", O_RDONLY);
  if (o < 0 || n < 0) _exit(126);
  dup2(n, 0);
  dup2(o, 1);
  dup2(err, 2);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  execve(av[0], av.data(), ev.data());
  _exit(127);
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return kmrtest::exitStatus(status);
}

}  // namespace

Child::Child(const RunSpec& spec) : out_(dir_.file("out")), err_(dir_.file("err")) {
  const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (err < 0) fail("open " + err_);
  pid_ = spawn(spec, out_, err);
  close(err);
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

Result Child::wait() {
  Result r;
  r.status = reap(pid_);
  pid_ = -1;
  r.out = readFile(out_);
  r.err = readFile(err_);
  return r;
}

std::optional<Result> Child::waitWithin(int seconds) {
  for (int tick = 0; tick < seconds * 100; ++tick) {
    if (hasEnded()) return wait();
    usleep(10000);
  }
  return std::nullopt;
}

bool Child::hasEnded() const {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid_;
}

bool Child::waitForOutput(bool (*pred)(const std::string&, const std::string&)) {
  for (;;) {
    if (pred(outSoFar(), errSoFar())) return true;
    // Ended (left as a zombie for wait()): one more look at the whole output.
    if (hasEnded()) return pred(outSoFar(), errSoFar());
    usleep(2000);
  }
}

Result Run(const RunSpec& spec) { return Child(spec).wait(); }

bool WaitStopped(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0)
    if (errno != EINTR) return false;
  if (info.si_code != CLD_STOPPED) return false;
  waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED);  // consume the stop report
  return true;
}

bool PausedRun::waitStopped() { return WaitStopped(pid()); }

Result PausedRun::finish() {
  do kill(pid(), SIGCONT);
  while (waitStopped());
  return child_.wait();
}

// A SIGCONT only where the run is stopped: its first stop's report is
// taken already, later ones are looked for.
bool PausedRun::continueIfStopped(bool first) {
  siginfo_t info{};
  if (first || (waitid(P_PID, static_cast<id_t>(pid()), &info, WSTOPPED | WNOHANG) == 0 && info.si_pid == pid()))
    return kill(pid(), SIGCONT) == 0;
  return false;
}

std::optional<Result> PausedRun::finishWithin(int seconds) {
  for (int tick = 0; tick < seconds * 100; ++tick) {
    continueIfStopped(tick == 0);
    if (child_.hasEnded()) return child_.wait();
    usleep(10000);
  }
  return std::nullopt;
}

bool PausedRun::goOnUntil(bool (*pred)(const std::string&, const std::string&)) {
  for (bool first = true;;) {
    if (pred(child_.outSoFar(), child_.errSoFar())) return true;
    if (child_.hasEnded()) return pred(child_.outSoFar(), child_.errSoFar());
    continueIfStopped(first);
    first = false;
    usleep(2000);
  }
}

bool SleepsInAWait(Child& child) {
  const std::string syscall = "/proc/" + std::to_string(child.pid()) + "/syscall";
  constexpr const char* kClockNanosleep = "230 ";  // x86_64
  while (!child.hasEnded()) {
    if (readFile(syscall).rfind(kClockNanosleep, 0) == 0) return true;
    usleep(1000);
  }
  return false;
}

Result RunWithTerminalStderr(const RunSpec& spec) {
  const kmrtest::ScratchDir dir("kmre2e-pty");
  const std::string out = dir.file("out");
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) fail("openpty");
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  const pid_t pid = spawn(spec, out, slave, {"TERM=xterm"});
  close(slave);
  Result r;
  char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      r.err.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO: the last holder of the slave side has gone
    }
  }
  close(master);
  r.status = reap(pid);
  r.out = readFile(out);
  return r;
}

namespace {
std::string* g_snapshot = nullptr;

uint64_t checksum(const std::string& path) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the bytes
  for (unsigned char c : readFile(path)) h = (h ^ c) * 1099511628211ull;
  return h;
}

int snapshotEntry(const char* path, const struct stat* st, int, struct FTW*) {
  std::ostringstream line;
  line << path << " " << std::oct << st->st_mode << std::dec << " " << st->st_uid << ":" << st->st_gid << " "
       << st->st_size << " " << st->st_ino << " " << st->st_ctim.tv_sec << "." << st->st_ctim.tv_nsec;
  if (S_ISREG(st->st_mode) && st->st_size <= 65536 && st->st_blocks > 0) line << " " << checksum(path);
  *g_snapshot += line.str() + "\n";
  return 0;
}
}  // namespace

std::string TreeSnapshot(const std::string& root) {
  std::string text;
  g_snapshot = &text;
  nftw(root.c_str(), snapshotEntry, 16, FTW_PHYS | FTW_MOUNT);
  g_snapshot = nullptr;
  return text;
}

Bed::Bed() {
  // Each test starts with a node that manages nothing yet: a scratch mount
  // may get the device number of an earlier test's, and the global state
  // file would still name that one's state file.
  unlink("/etc/vostra/Tarnveld/config/dmiFSGlobalState");
  chmod(work_.c_str(), 0755);  // the unprivileged caller must reach the option files
  mkdir((work_ + "/inst").c_str(), 0755);
  mkdir((work_ + "/log").c_str(), 0777);
  // A copy, not a link: the unprivileged caller may not reach the build tree
  // (a checkout in a private directory).
  mkdir((work_ + "/inst/EN_US").c_str(), 0755);
  writeFile(work_ + "/inst/EN_US/kmrclientV3.cat", readFile(KMR_CATALOG_DIR "/EN_US/kmrclientV3.cat"));
  chmod((work_ + "/inst/EN_US/kmrclientV3.cat").c_str(), 0644);
  std::string out;
  if (!kmrtest::registerNode(db(), kNode, kPassword, &out)) throw std::runtime_error("register-node: " + out);
  if (!kmrtest::writeClientStore(passwordDir(), "ZEF", kNode, kPassword))
    throw std::runtime_error("cannot write the password store");
}

void Bed::startServer(const std::vector<std::string>& extra) {
  auto next = std::make_unique<kmrtest::ZefServer>();
  if (!next->startOnClientPort({db(), work_ + "/server.log", extra, {}}))
    throw std::runtime_error("zefserverd did not start; see " + work_ + "/server.log");
  server_ = std::move(next);
  writeOptions();
}

void Bed::writeOptions() {
  writeFile(work_ + "/inst/kmr.sys", "* system options of the end-to-end tests\nSERVERNAME ZEF\n  COMMMETHOD TCPIP\n"
                                     "  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT " + std::to_string(server_->port()) +
                                     "\n  NODENAME " + kNode + "\n  PASSWORDACCESS GENERATE\n  PASSWORDDIR " +
                                     passwordDir() + "\n");
  writeFile(work_ + "/inst/kmr.opt", "SERVERNAME ZEF\n");
  chmod((work_ + "/inst/kmr.sys").c_str(), 0644);
  chmod((work_ + "/inst/kmr.opt").c_str(), 0644);
}

std::string Bed::mountManaged(const std::string& kind) {
  // An ext4 image of 600 MiB (sparse) gets 4 KiB blocks; "ext4-1k" asks
  // for 1 KiB ones.
  mounts_.push_back(std::make_unique<kmrtest::ScratchMount>(kind, kind == "tmpfs" ? 64 : 600));
  const std::string& m = mounts_.back()->path();
  chmod(m.c_str(), 0755);
  Result r = zefadm({"manage-fs", m});
  if (r.status != 0) throw std::runtime_error("manage-fs: " + r.err);
  return m;
}

Result Bed::zefadm(const std::vector<std::string>& args) {
  RunSpec s;
  s.argv = {ZEFADM_PATH, "--db", db()};
  s.argv.insert(s.argv.end(), args.begin(), args.end());
  return Run(s);
}

RunSpec Bed::command(const std::vector<std::string>& args) const {
  RunSpec s;
  s.argv = {KMRMIGUNDELETE_PATH};
  s.argv.insert(s.argv.end(), args.begin(), args.end());
  s.env = {{"KMR_DIR", work_ + "/inst"}, {"KMR_LOG", work_ + "/log"}};
  return s;
}

std::vector<ObjectRecord> Bed::records(const std::string& fsName) const {
  std::vector<ObjectRecord> out;
  auto store = zef::Store::open(db());
  auto fs = store->findFileSpace(kNode, fsName);
  if (!fs) return out;
  auto cur = store->scan(fs->id);
  zef::StoredObject o;
  while (cur->next(o)) {
    ObjectRecord r;
    r.objNum = o.objNum;
    r.path = o.path;
    zef::ObjId id = zef::makeObjId(fs->id, o.objNum);
    r.id.assign(id.begin(), id.end());
    if (auto a = zef::decodeAttrBlock(o.attrs)) {
      r.state = a->migState;
      r.size = a->size;
      r.mode = a->mode;
      r.uid = a->uid;
      r.gid = a->gid;
      r.atime = a->atime;
      r.mtime = a->mtime;
      r.ctime = a->ctime;
      r.inode = a->inode;
      const uint8_t* hsm = &o.attrs[o.attrs[2] + kAttribHsmOffset];
      r.hsmMarker = be16(hsm);
      if (r.hsmMarker == kAttribHandleMarker) r.handle.assign(hsm + 4, hsm + 4 + std::min<uint16_t>(be16(hsm + 2), 32));
    }
    out.push_back(r);
  }
  return out;
}

std::optional<ObjectRecord> Bed::record(const std::string& fs, const std::string& alias) const {
  for (ObjectRecord& r : records(fs))
    if (r.path == alias) return r;
  return std::nullopt;
}

void Bed::setRecordCtime(const std::string& fsName, const std::string& alias, uint32_t ctime) {
  auto store = zef::Store::open(db());
  auto fs = store->findFileSpace(kNode, fsName);
  if (!fs) throw std::runtime_error("no file space " + fsName);
  zef::Store::WriteTxn txn(*store);
  for (uint64_t n : store->objectsByPath(fs->id, alias)) {
    auto o = store->objectByNum(n);
    auto a = o ? zef::decodeAttrBlock(o->attrs) : std::nullopt;
    if (!a) throw std::runtime_error("unreadable record of " + alias);
    a->ctime = ctime;
    const uint8_t* hsm = &o->attrs[o->attrs[2] + kAttribHsmOffset];
    const DmHandle handle = be16(hsm) == kAttribHandleMarker ? DmHandle(hsm + 4, std::min<uint16_t>(be16(hsm + 2), 32))
                                                             : DmHandle();
    store->updateAttrs(n, zef::encodeAttrBlock(*a, handle));
  }
  txn.commit();
}

std::vector<uint8_t> ExpectedHandle(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  std::vector<uint8_t> storage(sizeof(file_handle) + MAX_HANDLE_SZ);
  auto* fh = reinterpret_cast<file_handle*>(storage.data());
  fh->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (name_to_handle_at(AT_FDCWD, path.c_str(), fh, &mountId, 0) != 0) return {};
  uint8_t h[11 + MAX_HANDLE_SZ] = {0xD6};
  uint64_t dev = st.st_dev;
  std::memcpy(h + 1, &dev, 8);
  h[9] = static_cast<uint8_t>(fh->handle_type);
  h[10] = static_cast<uint8_t>(fh->handle_bytes);
  std::memcpy(h + 11, fh->f_handle, std::min<size_t>(fh->handle_bytes, MAX_HANDLE_SZ));
  return std::vector<uint8_t>(h, h + 11 + std::min<size_t>(fh->handle_bytes, MAX_HANDLE_SZ));
}

std::string StubDifferences(const std::string& path, const ObjectRecord& rec) {
  std::ostringstream d;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return path + " is missing\n";
  if (!S_ISREG(st.st_mode)) d << "not a regular file\n";
  if (static_cast<uint64_t>(st.st_size) != rec.size) d << "size " << st.st_size << " != " << rec.size << "\n";
  if (st.st_uid != rec.uid || st.st_gid != rec.gid) d << "owner " << st.st_uid << ":" << st.st_gid << "\n";
  if ((st.st_mode & 07777) != (rec.mode & 07777)) d << "mode " << std::oct << (st.st_mode & 07777) << std::dec << "\n";
  if (st.st_mtime != rec.mtime) d << "mtime " << st.st_mtime << " != " << rec.mtime << "\n";
  if (st.st_atime != rec.atime) d << "atime " << st.st_atime << " != " << rec.atime << "\n";
  // No data anywhere; ext4 may keep the attributes in one block of their own.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd >= 0) {
    errno = 0;
    if (lseek(fd, 0, SEEK_DATA) != -1 || errno != ENXIO) d << "the stub holds data\n";
    close(fd);
  }
  if (st.st_blocks * 512 > st.st_blksize) d << "allocated blocks " << st.st_blocks << "\n";

  uint8_t obj[256];
  ssize_t n = lgetxattr(path.c_str(), "trusted.dmapi.VOQObj", obj, sizeof obj);
  if (n != 124) {
    d << "VOQObj length " << n << "\n";
  } else {
    uint8_t want[124] = {};
    std::memcpy(want, rec.id.data(), 28);
    std::memcpy(want + 28, &rec.size, 8);
    // The record's value after the access time: modification, then change time
    // as the server held them when the stub was made.
    std::memcpy(want + 36, &rec.mtime, 4);
    std::memcpy(want + 40, &rec.ctime, 4);
    want[57] = 0x02;
    want[72] = 2;
    for (size_t i = 0; i < 124; ++i)
      if (obj[i] != want[i]) d << "VOQObj byte " << i << " is " << int(obj[i]) << ", not " << int(want[i]) << "\n";
  }
  uint8_t reg[64];
  n = lgetxattr(path.c_str(), "trusted.xdsm.regions", reg, sizeof reg);
  uint8_t wantReg[24] = {};
  wantReg[16] = 7;
  if (n != 24 || std::memcmp(reg, wantReg, 24) != 0) d << "managed region is not (0, whole file, 7)\n";
  return d.str();
}

}  // namespace e2e
