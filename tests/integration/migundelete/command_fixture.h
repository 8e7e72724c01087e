// The fixture of the command's end-to-end tests: a test bed per test in the
// private namespace, records by alias after `zefadm migrate`, and what a
// recreated stub and its record must look like.
#ifndef KMR_TESTS_INTEGRATION_MIGUNDELETE_COMMAND_FIXTURE_H
#define KMR_TESTS_INTEGRATION_MIGUNDELETE_COMMAND_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "tests/integration/migundelete/e2e_support.h"

namespace e2e::command {

using e2e::Bed;
using e2e::ObjectRecord;
using e2e::Result;

class Namespace : public ::testing::Environment {
 public:
  void SetUp() override { ok = e2e::EnterTestNamespace(&why); }
  static inline bool ok = false;
  static inline std::string why;
};
// One registration for the whole program, whichever file includes this first.
inline ::testing::Environment* const kNamespace = ::testing::AddGlobalTestEnvironment(new Namespace);

inline bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }
inline size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// A file with content, owner, mode and times.
inline void makeFile(const std::string& path, size_t size, uid_t uid, gid_t gid, mode_t mode, time_t atime, time_t mtime) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
  e2e::WriteFile(path, data);
  ASSERT_EQ(0, chown(path.c_str(), uid, gid));
  ASSERT_EQ(0, chmod(path.c_str(), mode));
  struct timespec t[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW));
}

inline bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
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
    if (!Namespace::ok) GTEST_SKIP() << Namespace::why;
    if (!e2e::CommandBuilt()) GTEST_SKIP() << "kmrmigundelete is not built in this tree";
    bed = std::make_unique<Bed>();
  }
  // Migrates everything under `fs` and returns the records by alias.
  std::map<std::string, ObjectRecord> migrate(const std::string& fs) {
    Result r = bed->zefadm({"migrate", Bed::kNode, fs});
    EXPECT_EQ(0, r.status) << r.err;
    std::map<std::string, ObjectRecord> m;
    for (const ObjectRecord& rec : bed->records(fs)) m[rec.path] = rec;
    return m;
  }
  std::unique_ptr<Bed> bed;
};

// Every stub that exists has its server record updated; every object whose
// record was not updated has no file. Returns the number recreated.
inline size_t expectConsistent(Bed& bed, const std::string& fs, const std::map<std::string, ObjectRecord>& before) {
  size_t recreated = 0;
  for (const ObjectRecord& rec : bed.records(fs)) {
    const std::string path = fs + rec.path;
    const ObjectRecord& was = before.at(rec.path);
    if (exists(path)) {
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
