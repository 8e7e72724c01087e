// `zefadm manage-fs` and `zefadm migrate` on real mounts: the stubs they make
// and the records they leave are the ones the command must later read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/integration/migundelete/command_fixture.h"

using namespace e2e::command;  // NOLINT: the fixture and its helpers

namespace {

class MigrateTest : public CommandTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MigrateTest, FilesBecomeExactStubsWithRecordsNamingThem) {
  const std::string fs = bed->mountManaged(GetParam());
  // The control directory and the node's global state file.
  EXPECT_TRUE(contains(kmrtest::readFile(fs + "/.Tarnveld/dmiFSState"), "do not delete"));
  char stat[1100];
  EXPECT_EQ(1020, getxattr((fs + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat", stat, sizeof stat));
  EXPECT_GE(kmrtest::readFile("/etc/vostra/Tarnveld/config/dmiFSGlobalState").size(), 4u + 72u);

  ASSERT_EQ(0, mkdir((fs + "/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir((fs + "/other").c_str(), 0755));
  makeFile(fs + "/sub/one", 3 * 4096 + 5, 1200, 1201, 0640, 1600000050, 1600000100);
  makeFile(fs + "/sub/two", 4, 1300, 1301, 0604, 1600000150, 1600000200);
  makeFile(fs + "/sub/empty", 0, 1300, 1301, 0644, 1600000250, 1600000300);
  makeFile(fs + "/other/not-below", 4, 0, 1, 0644, 1600000350, 1600000400);
  ASSERT_EQ(0, symlink((fs + "/other/not-below").c_str(), (fs + "/sub/link").c_str()));
  struct stat orig;
  ASSERT_EQ(0, lstat((fs + "/sub/one").c_str(), &orig));

  e2e::Result r = bed->zefadm({"migrate", Bed::kNode, fs, fs + "/sub"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "2 files migrated, 1 skipped, 0 failed")) << r.out;

  auto recs = bed->records(fs);
  ASSERT_EQ(2u, recs.size());
  EXPECT_EQ("/sub/one", recs[0].path) << "byte order of the names";
  EXPECT_EQ("/sub/two", recs[1].path);
  for (const ObjectRecord& rec : recs) {
    SCOPED_TRACE(rec.path);
    const std::string path = fs + rec.path;
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_EQ(2u, rec.state);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), rec.size);
    EXPECT_EQ(st.st_mode, rec.mode);
    EXPECT_EQ(st.st_uid, rec.uid);
    EXPECT_EQ(st.st_uid + 1, rec.gid);
    EXPECT_EQ(static_cast<uint32_t>(st.st_ino), rec.inode);
    EXPECT_EQ(0x8E7D, rec.hsmMarker);
    EXPECT_EQ(e2e::ExpectedHandle(path), rec.handle);
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtime - 50), rec.atime) << "times are kept through the stub";
  }
  EXPECT_EQ(static_cast<uint64_t>(orig.st_size), recs[0].size);
  EXPECT_EQ(1600000100u, recs[0].mtime);
  // The stub's VOQObj carries the change time of the file as it was migrated,
  // while the record now holds the stub's: compare with a record built so.
  ObjectRecord asMigrated = recs[0];
  asMigrated.ctime = static_cast<uint32_t>(orig.st_ctime);
  EXPECT_EQ("", e2e::StubDifferences(fs + "/sub/one", asMigrated));

  // Left alone: empty files, links and their targets, files outside DIR.
  EXPECT_EQ("abcd", kmrtest::readFile(fs + "/other/not-below"));
  EXPECT_EQ(-1, lgetxattr((fs + "/other/not-below").c_str(), "trusted.dmapi.VOQObj", stat, sizeof stat));
  EXPECT_EQ(-1, lgetxattr((fs + "/sub/empty").c_str(), "trusted.dmapi.VOQObj", stat, sizeof stat));

  // A second run finds only stubs: no new records, nothing changed.
  r = bed->zefadm({"migrate", Bed::kNode, fs});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "1 files migrated, 3 skipped, 0 failed")) << r.out << "(other/not-below is new)";
  EXPECT_EQ(3u, bed->records(fs).size());
  EXPECT_EQ(recs[0].handle, bed->record(fs, "/sub/one")->handle);
}

TEST_P(MigrateTest, DirectoryOutsideTheFileSystemIsRefused) {
  const std::string fs = bed->mountManaged(GetParam());
  e2e::Result r = bed->zefadm({"migrate", Bed::kNode, fs, bed->work()});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "is not below")) << r.err;
  r = bed->zefadm({"migrate", "NOSUCHNODE", fs});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "not registered")) << r.err;
  EXPECT_TRUE(bed->records(fs).empty());
}

INSTANTIATE_TEST_SUITE_P(E2E, MigrateTest, ::testing::Values("tmpfs", "ext4"));

}  // namespace
