#include "tests/integration/migundelete/e2e_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/node_password.h"
#include "server/wire/attribcodec.h"
#include "zefserver/objects.h"
#include "zefserver/store.h"

namespace e2e {

namespace {

bool mountTmpfs(const char* where) { return mount("tmpfs", where, "tmpfs", 0, "size=16m") == 0; }

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + strerror(errno)); }

std::string makeTempDir(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
  if (!mkdtemp(tmpl.data())) fail("mkdtemp");
  return tmpl;
}

}  // namespace

namespace {
std::string g_etcLayer;  // tmpfs holding the /etc overlay's upper layer, if any

// The namespace dies with the process and its mounts with it; what remains
// on the host is the layer's mount point, removed here.
void leaveNamespace() {
  if (g_etcLayer.empty()) return;
  umount2("/etc/vostra", MNT_DETACH);
  umount2("/etc", MNT_DETACH);
  umount2(g_etcLayer.c_str(), MNT_DETACH);
  rmdir(g_etcLayer.c_str());
}

bool enterOnce(std::string* why) {
  if (geteuid() != 0) return *why = "needs root", false;
  if (!kmrtest::EnterPrivateMountNamespace()) return *why = "no private mount namespace", false;
  struct stat st;
  if (stat("/etc/vostra", &st) != 0) {
    // Cover /etc with an overlay so that making /etc/vostra stays in here.
    std::string layer = makeTempDir("kmre2e-etc");
    g_etcLayer = layer;
    atexit(leaveNamespace);
    if (!mountTmpfs(layer.c_str())) return *why = "tmpfs for /etc overlay failed", false;
    mkdir((layer + "/upper").c_str(), 0755);
    mkdir((layer + "/work").c_str(), 0755);
    std::string opts = "lowerdir=/etc,upperdir=" + layer + "/upper,workdir=" + layer + "/work";
    if (mount("overlay", "/etc", "overlay", 0, opts.c_str()) != 0) return *why = "overlay on /etc failed", false;
    if (mkdir("/etc/vostra", 0755) != 0) return *why = "mkdir /etc/vostra failed", false;
  }
  if (!mountTmpfs("/etc/vostra") || !mountTmpfs("/var/log")) return *why = "tmpfs over /etc/vostra or /var/log", false;
  mkdir("/etc/vostra/Tarnveld", 0755);
  mkdir("/etc/vostra/Tarnveld/config", 0755);
  const uint16_t instance = 3;
  WriteFile("/etc/vostra/Tarnveld/config/instance", std::string(reinterpret_cast<const char*>(&instance), 2));
  // The node keeps its instance file only while the node set names it.
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  WriteFile("/etc/vostra/Tarnveld/config/KMRNodeSet",
            std::string("<KMRNodeSet version=\"1\"><node instance=\"3\" host=\"") + host + "\"/></KMRNodeSet>\n");
  return true;
}
}  // namespace

bool EnterTestNamespace(std::string* why) {
  static std::string reason;
  static const bool ok = enterOnce(&reason);
  *why = reason;
  return ok;
}

std::string ReadFile(const std::string& path) { return kmrtest::readFile(path); }

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

Child::Child(const RunSpec& spec) {
  out_ = spec.stdoutFile;
  err_ = spec.stderrFile;
  if (out_.empty() || err_.empty()) {
    char tmpl[] = "/tmp/kmre2e-out.XXXXXX";
    if (!mkdtemp(tmpl)) fail("mkdtemp");
    out_ = std::string(tmpl) + "/out";
    err_ = std::string(tmpl) + "/err";
    ownFiles_ = true;
  }
  std::vector<std::string> args = spec.argv;
  if (!spec.asUser.empty())
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=" + spec.asUser, "--regid=" + spec.asUser,
                               "--clear-groups", "--"});
  std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C", "LC_ALL=C"};
#if defined(__SANITIZE_ADDRESS__) && defined(ORCA_LIBRARY_DIR)
  // The address sanitizer takes over dlopen(), and the loader then searches
  // the run path of the sanitizer's library instead of the command's: the
  // sanitizer build alone needs the search path spelled out.
  env.push_back("LD_LIBRARY_PATH=" ORCA_LIBRARY_DIR);
#endif
  for (const auto& [k, v] : spec.env) env.push_back(k + "=" + v);
  fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int n = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || n < 0) _exit(126);
    dup2(n, 0);
    dup2(o, 1);
    dup2(e, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    std::vector<char*> av, ev;
    for (auto& a : args) av.push_back(a.data());
    av.push_back(nullptr);
    for (auto& v : env) ev.push_back(v.data());
    ev.push_back(nullptr);
    execve(av[0], av.data(), ev.data());
    _exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (ownFiles_) {
    unlink(out_.c_str());
    unlink(err_.c_str());
    rmdir(out_.substr(0, out_.rfind('/')).c_str());
  }
}

Result Child::wait() {
  Result r;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(out_);
  r.err = ReadFile(err_);
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
    siginfo_t info{};
    // Ended (left as a zombie for wait()): one more look at the whole output.
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_)
      return pred(outSoFar(), errSoFar());
    usleep(2000);
  }
}

Result Run(const RunSpec& spec) { return Child(spec).wait(); }

Result RunWithTerminalStderr(const RunSpec& spec) {
  char dir[] = "/tmp/kmre2e-pty.XXXXXX";
  if (!mkdtemp(dir)) fail("mkdtemp");
  const std::string out = std::string(dir) + "/out";
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) fail("openpty");
  std::vector<std::string> args = spec.argv;
  std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C", "LC_ALL=C", "TERM=xterm"};
  for (const auto& [k, v] : spec.env) env.push_back(k + "=" + v);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(master);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int n = open("/dev/null", O_RDONLY);
    if (o < 0 || n < 0) _exit(126);
    dup2(n, 0);
    dup2(o, 1);
    dup2(slave, 2);
    close(slave);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> av, ev;
    for (auto& a : args) av.push_back(a.data());
    av.push_back(nullptr);
    for (auto& v : env) ev.push_back(v.data());
    ev.push_back(nullptr);
    execve(av[0], av.data(), ev.data());
    _exit(127);
  }
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
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(out);
  unlink(out.c_str());
  rmdir(dir);
  return r;
}

namespace {
std::string* g_snapshot = nullptr;

uint64_t checksum(const std::string& path) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the bytes
  for (unsigned char c : ReadFile(path)) h = (h ^ c) * 1099511628211ull;
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

Server::Server(const std::string& db, const std::vector<std::string>& extra, const std::string& log) {
  // The client takes ports up to 32767 only, below the kernel's ephemeral
  // range: try ports of our own until one is free.
  for (int attempt = 0; attempt < 64 && port_ <= 0; ++attempt)
    start(db, extra, log, 20000 + static_cast<int>((getpid() * 131 + attempt * 977) % 12000));
  if (port_ <= 0) throw std::runtime_error("zefserverd did not start; see " + log);
}

void Server::start(const std::string& db, const std::vector<std::string>& extra, const std::string& log, int port) {
  int fds[2];
  if (pipe(fds) != 0) fail("pipe");
  fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    close(fds[0]);
    if (fds[1] != 3) {
      dup2(fds[1], 3);
      close(fds[1]);
    }
    std::vector<std::string> args = {ZEFSERVERD_PATH, "--db", db, "--address", "127.0.0.1", "--port", std::to_string(port),
                                     "--ready-fd", "3", "--die-with-parent", "--idle-exit", "600", "--log", log};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> av;
    for (auto& a : args) av.push_back(a.data());
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[32] = {};
  ssize_t n = read(fds[0], buf, sizeof buf - 1);
  close(fds[0]);
  port_ = n > 0 ? atoi(buf) : 0;
  if (port_ <= 0) {
    waitpid(pid_, nullptr, 0);  // it could not bind and has ended
    pid_ = -1;
  }
}

Server::~Server() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string CommandPath() {
#ifdef KMRMIGUNDELETE_PATH
  return KMRMIGUNDELETE_PATH;
#else
  return "";
#endif
}
bool CommandBuilt() { return !CommandPath().empty() && access(CommandPath().c_str(), X_OK) == 0; }

Bed::Bed() {
  // Each test starts with a node that manages nothing yet: a scratch mount
  // may get the device number of an earlier test's, and the global state
  // file would still name that one's state file.
  unlink("/etc/vostra/Tarnveld/config/dmiFSGlobalState");
  work_ = makeTempDir("kmre2e");
  chmod(work_.c_str(), 0755);  // the unprivileged caller must reach the option files
  mkdir((work_ + "/inst").c_str(), 0755);
  mkdir((work_ + "/log").c_str(), 0777);
  // A copy, not a link: the unprivileged caller may not reach the build tree
  // (a checkout in a private directory).
  mkdir((work_ + "/inst/EN_US").c_str(), 0755);
  WriteFile(work_ + "/inst/EN_US/kmrclientV3.cat", ReadFile(KMR_CATALOG_DIR "/EN_US/kmrclientV3.cat"));
  chmod((work_ + "/inst/EN_US/kmrclientV3.cat").c_str(), 0644);
  const std::string pwFile = work_ + "/node-password";
  kmrtest::writePasswordFile(pwFile, kPassword);
  Result r = zefadm({"register-node", kNode, "--password-file", pwFile});
  unlink(pwFile.c_str());
  if (r.status != 0) throw std::runtime_error("register-node: " + r.err);
  if (!kmrtest::writeClientStore(passwordDir(), "ZEF", kNode, kPassword))
    throw std::runtime_error("cannot write the password store");
}

void Bed::writePasswordStore(const std::string& text) const {
  if (!kmrtest::writePrivateFile(passwordDir() + "/kmr.pwd", text))
    throw std::runtime_error("cannot write the password store");
}

Bed::~Bed() {
  server_.reset();
  mounts_.clear();
  std::string cmd = "rm -rf '" + work_ + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", work_.c_str());
}

void Bed::startServer(const std::vector<std::string>& extra) {
  server_ = std::make_unique<Server>(db(), extra, work_ + "/server.log");
  writeOptions();
}

void Bed::writeOptions() {
  WriteFile(work_ + "/inst/kmr.sys",
            "* system options of the end-to-end tests\n"
            "SERVERNAME ZEF\n"
            "  COMMMETHOD TCPIP\n"
            "  TCPSERVERADDRESS 127.0.0.1\n"
            "  TCPPORT " +
                std::to_string(server_->port()) +
                "\n"
                "  NODENAME " +
                kNode +
                "\n"
                "  PASSWORDACCESS GENERATE\n"
                "  PASSWORDDIR " +
                passwordDir() + "\n");
  WriteFile(work_ + "/inst/kmr.opt", "SERVERNAME ZEF\n");
  chmod((work_ + "/inst/kmr.sys").c_str(), 0644);
  chmod((work_ + "/inst/kmr.opt").c_str(), 0644);
}

std::string Bed::mountManaged(const std::string& kind) {
  // ext4 below 512 MiB gets 1 KiB blocks, too small for the state file's
  // 1020-byte attribute beside the others; the image is sparse.
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
  s.argv = {CommandPath()};
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
