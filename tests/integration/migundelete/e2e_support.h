// Support of the end-to-end tests of kmrmigundelete: a private mount
// namespace with its own /etc/vostra and /var/log, processes run as the
// administrator would run them, a reference server on loopback, managed
// scratch file systems, readers of what ends up on disk and in the server's
// records, and the tests' fixture. Root only; everything lives and dies with
// the test.
#ifndef KMR_TESTS_INTEGRATION_MIGUNDELETE_E2E_SUPPORT_H
#define KMR_TESTS_INTEGRATION_MIGUNDELETE_E2E_SUPPORT_H

#include <gmock/gmock.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/private_mount.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"
#include "tests/support/zef_server.h"

namespace e2e {

using kmrtest::contains;
using kmrtest::countOf;
using kmrtest::lexists;
using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out, err;
};

struct RunSpec {
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;  // added to a minimal environment
  std::string asUser;                      // run as this user (through setpriv) when set
};

// A child process whose output goes to files of its own.
class Child {
 public:
  explicit Child(const RunSpec& spec);
  ~Child();  // kills the child when it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  Result wait();
  std::string outSoFar() const { return kmrtest::readFile(out_); }
  std::string errSoFar() const { return kmrtest::readFile(err_); }
  // Waits for the end at most `seconds`: a hang check, never a measure of
  // speed. Empty when the child still runs (the destructor then kills it).
  std::optional<Result> waitWithin(int seconds);
  // True when the child has ended (it is not reaped).
  bool hasEnded() const;
  // Blocks until `pred` holds for the output so far or the child has ended
  // (polls; never decides a result by time). True when `pred` held.
  bool waitForOutput(bool (*pred)(const std::string& out, const std::string& err));

 private:
  pid_t pid_ = -1;
  kmrtest::ScratchDir dir_{"kmre2e-out"};
  std::string out_, err_;
};

Result Run(const RunSpec& spec);
// As Run, with standard error on the slave side of a new pseudo-terminal
// (standard output still goes to a file); `err` holds the bytes the terminal
// received, after its own output processing ("\n" arrives as "\r\n").
Result RunWithTerminalStderr(const RunSpec& spec);

// One object record of the server, read from its database.
struct ObjectRecord {
  uint64_t objNum = 0;
  std::string path;
  std::vector<uint8_t> id;  // 28 bytes
  unsigned state = 0;
  uint64_t size = 0;
  uint32_t mode = 0, uid = 0, gid = 0, atime = 0, mtime = 0, ctime = 0, inode = 0;
  uint16_t hsmMarker = 0;
  std::vector<uint8_t> handle;  // handle form only
  bool operator==(const ObjectRecord&) const = default;
};
using Records = std::map<std::string, ObjectRecord>;  // by alias

// The test bed: work directory, database, server, option files, mounts.
class Bed {
 public:
  static constexpr const char* kNode = "E2ENODE";
  // The node's password: registered with zefadm through a 0600 file and kept
  // in the client's password store (PASSWORDACCESS GENERATE, PASSWORDDIR
  // passwordDir()) as root would keep it.
  static constexpr const char* kPassword = "e2e Pa55word";
  std::string passwordDir() const { return work_ + "/pw"; }
  // Made in a new work directory; the server, the mounts and the directory
  // go with the object.
  Bed();
  const std::string& work() const { return work_; }
  std::string db() const { return work_ + "/zef.db"; }
  // Starts the server with these extra options and writes the option files
  // naming it; one that runs already stops once the new one listens (a new
  // server takes over the database).
  void startServer(const std::vector<std::string>& extra = {});
  // Stops the server: from now on nobody listens on its port.
  void stopServer() { server_.reset(); }
  // A managed scratch file system ("tmpfs" or "ext4").
  std::string mountManaged(const std::string& kind = "tmpfs");
  Result zefadm(const std::vector<std::string>& args);
  RunSpec command(const std::vector<std::string>& args) const;
  Result run(const std::vector<std::string>& args) { return Run(command(args)); }
  std::vector<ObjectRecord> records(const std::string& fs) const;
  std::optional<ObjectRecord> record(const std::string& fs, const std::string& alias) const;
  // Rewrites the change time in the record of `alias`, everything else kept.
  void setRecordCtime(const std::string& fs, const std::string& alias, uint32_t ctime);

 private:
  void writeOptions();
  kmrtest::ScratchDir scratch_{"kmre2e"};
  const std::string work_ = scratch_.path();
  std::unique_ptr<kmrtest::ZefServer> server_;
  std::vector<std::unique_ptr<kmrtest::ScratchMount>> mounts_;
};

// Blocks until the child `pid` stops (true; its stop report is taken) or
// ends (false).
bool WaitStopped(pid_t pid);

// A run whose process stops itself each time it passes its pause point
// (TESTFLAGS PAUSEATSTEP), so that a test acts at a chosen moment.
class PausedRun {
 public:
  PausedRun(Bed& bed, const std::vector<std::string>& args) : child_(bed.command(args)) {}
  pid_t pid() const { return child_.pid(); }
  // Blocks until the command stops at its pause point (true) or ends (false).
  bool waitStopped();
  // Lets it go on through every later pause and returns how it ended.
  Result finish();
  // As finish, giving up after `seconds` (a hang check, never a measure of
  // speed): empty when it still runs (the child is killed with the object).
  std::optional<Result> finishWithin(int seconds);
  // Lets it go on through its pauses until `pred` holds for the output so
  // far (true) or it ends (false when `pred` still does not hold).
  bool goOnUntil(bool (*pred)(const std::string& out, const std::string& err));
  Child& child() { return child_; }

 private:
  bool continueIfStopped(bool first);
  Child child_;
};

// Blocks until the child sleeps in clock_nanosleep (the waits of its retry
// loops, such as the one for a lock that another program holds) or ends.
// True when it sleeps.
bool SleepsInAWait(Child& child);

// The DMAPI handle of `path` as our DMAPI library builds it, from the
// kernel's file handle (computed here independently of the library).
std::vector<uint8_t> ExpectedHandle(const std::string& path);
// What a stub made from the server record `rec` (as the server held it
// before the run) must look like at `path`; each difference is one line of
// the returned text (empty when the stub is exact).
std::string StubDifferences(const std::string& path, const ObjectRecord& rec);
// What a recreated stub's server record must say: the new file's inode,
// change time and handle, state 2; everything else as `before`. Empty when so.
inline std::string RecordDifferences(const std::string& path, const ObjectRecord& before, const ObjectRecord& after) {
  std::string d;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "no file\n";
  if (after.state != 2) d += "state " + std::to_string(after.state) + "\n";
  if (after.inode != static_cast<uint32_t>(st.st_ino)) d += "inode " + std::to_string(after.inode) + "\n";
  if (after.ctime != static_cast<uint32_t>(st.st_ctime)) d += "ctime " + std::to_string(after.ctime) + "\n";
  if (after.hsmMarker != 0x8E7D) d += "no handle form\n";
  if (after.handle != ExpectedHandle(path)) d += "handle is not the new file's\n";
  if (after.handle == before.handle) d += "handle unchanged\n";
  if (after.size != before.size || after.mode != before.mode || after.uid != before.uid ||
      after.mtime != before.mtime || after.atime != before.atime)
    d += "file attributes changed\n";
  return d;
}
// Whether the record still names the same file in the same state.
inline bool SameRecord(const ObjectRecord& a, const ObjectRecord& b) {
  return a.state == b.state && a.inode == b.inode && a.ctime == b.ctime && a.handle == b.handle;
}

// Every entry below `root` (itself included), one line each in path order:
// path, type, mode, owner, size, inode, change time and, for regular files
// of at most 64 KiB that hold data, a checksum of the bytes. Equal texts
// mean nothing below `root` was created, removed or changed.
std::string TreeSnapshot(const std::string& root);
// The st_mode of `path` itself (a link is not followed); 0 when nothing is there.
inline mode_t FileMode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}
// Whether one of the command's temporaries (".kmrstub.*") is left below `dir`.
inline bool TemporariesLeft(const std::string& dir) { return contains(TreeSnapshot(dir), "/.kmrstub."); }

// A file of `size` bytes "abc...wabc..." with owner, mode and times.
inline void MakeFile(const std::string& path, size_t size, uid_t uid, gid_t gid, mode_t mode, time_t atime,
                     time_t mtime) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
  kmrtest::writeFile(path, data);
  struct timespec t[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(0, chown(path.c_str(), uid, gid));
  ASSERT_EQ(0, chmod(path.c_str(), mode));
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW));
}
// One JSON line of `zefadm import`: a record of a regular file or whatever `mode` says.
inline std::string JsonRecord(const std::string& path, uint64_t size, uint32_t mode, uint32_t uid, uint32_t gid,
                              uint32_t atime, uint32_t mtime) {
  return "{\"path\":\"" + path + "\",\"size\":" + std::to_string(size) + ",\"mode\":" + std::to_string(mode) +
         ",\"uid\":" + std::to_string(uid) + ",\"gid\":" + std::to_string(gid) + ",\"atime\":" +
         std::to_string(atime) + ",\"mtime\":" + std::to_string(mtime) + "}\n";
}
// Takes the POSIX write lock of `path` (made when missing) for this test
// process, as another program holding it would; the descriptor, -1 when
// the lock cannot be had.
inline int HoldLock(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}
// Every stub that exists has its server record updated; every object whose
// record was not updated has no file. Returns the number recreated.
inline size_t ExpectConsistent(Bed& bed, const std::string& fs, const Records& before) {
  size_t recreated = 0;
  for (const ObjectRecord& rec : bed.records(fs)) {
    const std::string path = fs + rec.path;
    const ObjectRecord& was = before.at(rec.path);
    if (lexists(path)) {
      ++recreated;
      EXPECT_EQ("", RecordDifferences(path, was, rec)) << path;
      EXPECT_EQ("", StubDifferences(path, was)) << path;
    } else {
      EXPECT_TRUE(SameRecord(was, rec)) << path << ": record updated without a stub";
    }
  }
  return recreated;
}

// A test bed per test; skipped where the private namespace cannot be had.
class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!kmrtest::EnterTestNamespace(&why)) GTEST_SKIP() << why;
    bed = std::make_unique<Bed>();
  }
  // The server (with these extra options) and one managed file system.
  std::string serve(const std::string& kind = "tmpfs", const std::vector<std::string>& serverOptions = {}) {
    bed->startServer(serverOptions);
    return bed->mountManaged(kind);
  }
  // Migrates everything under `fs` and returns the records by alias.
  Records migrate(const std::string& fs) {
    Result r = bed->zefadm({"migrate", Bed::kNode, fs});
    EXPECT_EQ(0, r.status) << r.err;
    return byAlias(fs);
  }
  // `n` files /f00, /f01, ... of 1000 + i bytes in `fs`, migrated, then
  // deleted: the command's work. Returns their records by alias.
  Records deletedStubs(const std::string& fs, int n) {
    for (int i = 0; i < n; ++i) {
      char name[16];
      snprintf(name, sizeof name, "/f%02d", i);
      MakeFile(fs + name, 1000 + i, 0, 0, 0644, 1500000000, 1600000000 + i);
    }
    Records records = migrate(fs);
    for (const auto& [alias, rec] : records) EXPECT_EQ(0, unlink((fs + alias).c_str())) << alias;
    return records;
  }
  // `n` objects that zefadm generates below `prefix` of `fs` (a directory
  // d00000, d00001, ... per thousand), their directories made with
  // `dirMode`, no files.
  void generated(const std::string& fs, unsigned n, const std::string& prefix = "/gen", mode_t dirMode = 0755) {
    ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, fs, std::to_string(n), "--prefix", prefix}).status);
    ASSERT_EQ(0, system(("mkdir -p '" + fs + prefix + "'").c_str()));
    for (unsigned d = 0; d <= (n - 1) / 1000; ++d) {
      char dir[32];
      snprintf(dir, sizeof dir, "/d%05u", d);
      ASSERT_EQ(0, mkdir((fs + prefix + dir).c_str(), dirMode));
      ASSERT_EQ(0, chmod((fs + prefix + dir).c_str(), dirMode));
    }
  }
  // JSON lines imported as server records of `fs`; all its records by alias.
  Records importRecords(const std::string& fs, const std::string& lines) {
    const std::string file = bed->work() + "/import.jsonl";
    kmrtest::writeFile(file, lines);
    Result r = bed->zefadm({"import", Bed::kNode, fs, file});
    EXPECT_EQ(0, r.status) << r.err;
    return byAlias(fs);
  }
  // A run over `fs` with the option `mode` ("" for none).
  Result runIn(const char* mode, const std::string& fs) { return *mode ? bed->run({mode, fs}) : bed->run({fs}); }
  // The user option file with TESTFLAGS `flag`:"`step`" (none when empty)
  // and the workers of setWorkers.
  void setTestFlag(const std::string& flag, const std::string& step) {
    const std::string testFlags = flag.empty() ? "" : "TESTFLAGS " + flag + ":\"" + step + "\"\n";
    kmrtest::writeFile(bed->work() + "/inst/kmr.opt", "SERVERNAME ZEF\n" + workersLine_ + testFlags);
  }
  // The runs that follow recreate with `k` workers (RECREATEWORKERS).
  void setWorkers(unsigned k) {
    workersLine_ = "RECREATEWORKERS " + std::to_string(k) + "\n";
    setTestFlag("", "");
  }
  Records byAlias(const std::string& fs) const {
    Records m;
    for (const ObjectRecord& rec : bed->records(fs)) m[rec.path] = rec;
    return m;
  }
  std::unique_ptr<Bed> bed;

 private:
  std::string workersLine_;
};

// A CommandTest run once per number of workers (its parameter).
class WorkersTest : public CommandTest, public ::testing::WithParamInterface<unsigned> {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    if (bed) setWorkers(GetParam());
  }
};

}  // namespace e2e

#endif
