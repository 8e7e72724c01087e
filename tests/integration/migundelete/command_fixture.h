// The fixture of the end-to-end tests: a test bed per test in the private
// namespace, records by alias after `zefadm migrate`, and what a recreated
// stub and its record must look like.
#ifndef KMR_TESTS_INTEGRATION_MIGUNDELETE_COMMAND_FIXTURE_H
#define KMR_TESTS_INTEGRATION_MIGUNDELETE_COMMAND_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "tests/integration/migundelete/e2e_support.h"
#include "tests/support/text.h"

namespace e2e::command {

using e2e::Bed;
using e2e::ObjectRecord;
using e2e::Result;

using kmrtest::contains;
using kmrtest::countOf;
using kmrtest::lexists;

// A file with content, owner, mode and times.
inline void makeFile(const std::string& path, size_t size, uid_t uid, gid_t gid, mode_t mode, time_t atime, time_t mtime) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
  kmrtest::writeFile(path, data);
  ASSERT_EQ(0, chown(path.c_str(), uid, gid));
  ASSERT_EQ(0, chmod(path.c_str(), mode));
  struct timespec t[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW));
}

inline bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What a recreated stub's server record must say: the new file's inode,
// change time and handle, state 2; everything else as before.
inline std::string recordDifferences(const std::string& path, const ObjectRecord& before, const ObjectRecord& after) {
  std::string d;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "no file\n";
  if (after.state != 2) d += "state " + std::to_string(after.state) + "\n";
  if (after.inode != static_cast<uint32_t>(st.st_ino)) d += "inode " + std::to_string(after.inode) + "\n";
  if (after.ctime != static_cast<uint32_t>(st.st_ctime)) d += "ctime " + std::to_string(after.ctime) + "\n";
  if (after.hsmMarker != 0x8E7D) d += "no handle form\n";
  if (after.handle != e2e::ExpectedHandle(path)) d += "handle is not the new file's\n";
  if (after.handle == before.handle) d += "handle unchanged\n";
  if (after.size != before.size || after.mode != before.mode || after.uid != before.uid ||
      after.mtime != before.mtime || after.atime != before.atime)
    d += "file attributes changed\n";
  return d;
}

inline bool sameRecord(const ObjectRecord& a, const ObjectRecord& b) {
  return a.state == b.state && a.inode == b.inode && a.ctime == b.ctime && a.handle == b.handle;
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!kmrtest::EnterTestNamespace(&why)) GTEST_SKIP() << why;
    bed = std::make_unique<Bed>();
  }
  // Migrates everything under `fs` and returns the records by alias.
  std::map<std::string, ObjectRecord> migrate(const std::string& fs) {
    Result r = bed->zefadm({"migrate", Bed::kNode, fs});
    EXPECT_EQ(0, r.status) << r.err;
    return byAlias(fs);
  }
  // `n` files /f00, /f01, ... of 1000 + i bytes in `fs`, migrated, then
  // deleted: the command's work. Returns their records by alias.
  std::map<std::string, ObjectRecord> deletedStubs(const std::string& fs, int n) {
    for (int i = 0; i < n; ++i) {
      char name[16];
      snprintf(name, sizeof name, "/f%02d", i);
      makeFile(fs + name, 1000 + i, 0, 0, 0644, 1500000000, 1600000000 + i);
    }
    auto records = migrate(fs);
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
  std::map<std::string, ObjectRecord> importRecords(const std::string& fs, const std::string& lines) {
    const std::string file = bed->work() + "/import.jsonl";
    kmrtest::writeFile(file, lines);
    Result r = bed->zefadm({"import", Bed::kNode, fs, file});
    EXPECT_EQ(0, r.status) << r.err;
    return byAlias(fs);
  }
  // A run over `fs` with the option `mode` ("" for none).
  Result runIn(const char* mode, const std::string& fs) { return *mode ? bed->run({mode, fs}) : bed->run({fs}); }
  // The server's records of `fs` by alias.
  std::map<std::string, ObjectRecord> byAlias(const std::string& fs) const {
    std::map<std::string, ObjectRecord> m;
    for (const ObjectRecord& rec : bed->records(fs)) m[rec.path] = rec;
    return m;
  }
  std::unique_ptr<Bed> bed;
};

// Takes the POSIX write lock of `path` (made when missing) for this test
// process, as another program holding it would; the descriptor, -1 when
// the lock cannot be had.
inline int holdLock(const std::string& path) {
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
inline size_t expectConsistent(Bed& bed, const std::string& fs, const std::map<std::string, ObjectRecord>& before) {
  size_t recreated = 0;
  for (const ObjectRecord& rec : bed.records(fs)) {
    const std::string path = fs + rec.path;
    const ObjectRecord& was = before.at(rec.path);
    if (lexists(path)) {
      ++recreated;
      EXPECT_EQ("", recordDifferences(path, was, rec)) << path;
      EXPECT_EQ("", e2e::StubDifferences(path, was)) << path;
    } else {
      EXPECT_TRUE(sameRecord(was, rec)) << path << ": record updated without a stub";
    }
  }
  return recreated;
}

}  // namespace e2e::command

#endif
