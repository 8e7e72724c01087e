// Support of the end-to-end tests of kmrmigundelete: a private mount
// namespace with its own /etc/vostra and /var/log, processes run as the
// administrator would run them, a reference server on loopback, managed
// scratch file systems, readers of what ends up on disk and in the server's
// records, and the tests' fixture. Root only; everything lives and dies with
// the test.
#ifndef KMR_TESTS_INTEGRATION_MIGUNDELETE_E2E_SUPPORT_H
#define KMR_TESTS_INTEGRATION_MIGUNDELETE_E2E_SUPPORT_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/private_mount.h"
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
  std::string dir_, out_, err_;
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
  // The store file with exactly `text` (mode 0600, owner root).
  void writePasswordStore(const std::string& text) const;
  Bed();
  ~Bed();
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

 private:
  void writeOptions();
  std::string work_;
  std::unique_ptr<kmrtest::ZefServer> server_;
  std::vector<std::unique_ptr<kmrtest::ScratchMount>> mounts_;
};

// What a stub made from the server record `rec` (as the server held it
// before the run) must look like at `path`; each difference is one line of
// the returned text (empty when the stub is exact).
std::string StubDifferences(const std::string& path, const ObjectRecord& rec);
// What a recreated stub's server record must say: the new file's inode,
// change time and handle, state 2; everything else as `before`. Empty when so.
std::string RecordDifferences(const std::string& path, const ObjectRecord& before, const ObjectRecord& after);
// Whether the record still names the same file in the same state.
bool SameRecord(const ObjectRecord& a, const ObjectRecord& b);
// The DMAPI handle of `path` as our DMAPI library builds it, from the
// kernel's file handle (computed here independently of the library).
std::vector<uint8_t> ExpectedHandle(const std::string& path);

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
void MakeFile(const std::string& path, size_t size, uid_t uid, gid_t gid, mode_t mode, time_t atime, time_t mtime);
// One JSON line of `zefadm import`: a record of a regular file or whatever `mode` says.
std::string JsonRecord(const std::string& path, uint64_t size, uint32_t mode, uint32_t uid, uint32_t gid,
                       uint32_t atime, uint32_t mtime);
// Takes the POSIX write lock of `path` (made when missing) for this test
// process, as another program holding it would; the descriptor, -1 when
// the lock cannot be had.
int HoldLock(const std::string& path);
// Every stub that exists has its server record updated; every object whose
// record was not updated has no file. Returns the number recreated.
size_t ExpectConsistent(Bed& bed, const std::string& fs, const Records& before);

// A test bed per test; skipped where the private namespace cannot be had.
class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // The server (with these extra options) and one managed file system.
  std::string serve(const std::string& kind = "tmpfs", const std::vector<std::string>& serverOptions = {});
  // Migrates everything under `fs` and returns the records by alias.
  Records migrate(const std::string& fs);
  // `n` files /f00, /f01, ... of 1000 + i bytes in `fs`, migrated, then
  // deleted: the command's work. Returns their records by alias.
  Records deletedStubs(const std::string& fs, int n);
  // `n` objects that zefadm generates below `prefix` of `fs` (a directory
  // d00000, d00001, ... per thousand), their directories made with
  // `dirMode`, no files.
  void generated(const std::string& fs, unsigned n, const std::string& prefix = "/gen", mode_t dirMode = 0755);
  // JSON lines imported as server records of `fs`; all its records by alias.
  Records importRecords(const std::string& fs, const std::string& lines);
  // A run over `fs` with the option `mode` ("" for none).
  Result runIn(const char* mode, const std::string& fs) { return *mode ? bed->run({mode, fs}) : bed->run({fs}); }
  // The user option file with TESTFLAGS `flag`:"`step`" (none when empty).
  void setTestFlag(const std::string& flag, const std::string& step);
  Records byAlias(const std::string& fs) const;
  std::unique_ptr<Bed> bed;
};

}  // namespace e2e

#endif
