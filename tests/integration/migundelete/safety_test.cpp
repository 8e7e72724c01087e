// kmrmigundelete among hostile users and failing parts: records that name
// the control directory, another mount or root's privileges; times past
// 2038; a user racing the command; a full file system; a process killed at
// any step of a stub; a server that commits nothing. Each test checks what
// is on disk, what the server's records say and what was printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/integration/migundelete/command_fixture.h"

using namespace e2e::command;  // NOLINT: the fixture and its helpers

namespace {

std::string record(const std::string& path, uint64_t size, uint32_t mode, uint32_t uid, uint32_t gid,
                   uint32_t atime, uint32_t mtime) {
  return "{\"path\":\"" + path + "\",\"size\":" + std::to_string(size) + ",\"mode\":" + std::to_string(mode) +
         ",\"uid\":" + std::to_string(uid) + ",\"gid\":" + std::to_string(gid) + ",\"atime\":" +
         std::to_string(atime) + ",\"mtime\":" + std::to_string(mtime) + "}\n";
}

// Whether one of our temporaries (".kmrstub.*") is left anywhere under `dir`.
bool temporariesLeft(const std::string& dir) { return contains(e2e::TreeSnapshot(dir), "/.kmrstub."); }

// The user option file with TESTFLAGS `flag`:"`step`" (none when empty).
void setTestFlag(Bed& bed, const std::string& flag, const std::string& step) {
  std::string text = "SERVERNAME ZEF\n";
  if (!flag.empty()) text += "TESTFLAGS " + flag + ":\"" + step + "\"\n";
  kmrtest::writeFile(bed.work() + "/inst/kmr.opt", text);
}

// ---------------------------------------------------------------------------
// Records that point where no stub may go.

TEST_F(CommandTest, ControlDirectoryAliasesAreRefusedAndANestedMountFailsItsObject) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  ASSERT_EQ(0, mkdir((fs + "/nested").c_str(), 0755));
  kmrtest::ScratchMount nested("tmpfs", 1);
  ASSERT_EQ(0, mount(nested.path().c_str(), (fs + "/nested").c_str(), nullptr, MS_BIND, nullptr));
  const std::vector<std::string> control = {"/.Tarnveld/dmiFSState", "/.Tarnveld/hsmfsconfig.xml",
                                            "/.Tarnveld/reconcile.pid", "/.Tarnveld"};
  std::map<std::string, std::string> before;
  for (const std::string& c : control)
    if (c != "/.Tarnveld" && c != "/.Tarnveld/reconcile.pid") before[c] = kmrtest::readFile(fs + c);
  std::string lines;
  for (const std::string& c : control) lines += record(c, 4096, 0100644, 0, 0, 1500000000, 1600000000);
  lines += record("/nested/f", 4096, 0100644, 0, 0, 1500000000, 1600000000);
  lines += record("/good", 4096, 0100644, 7, 8, 1500000000, 1600000000);
  importRecords(fs, lines);

  for (const char* mode : {"", "-RECOVER"}) {
    Result r = runIn(mode, fs);
    SCOPED_TRACE(mode);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    for (const std::string& c : control)
      EXPECT_TRUE(contains(r.err, "The migrated object has the invalid path '" + c + "' and is skipped.")) << r.err;
    for (const auto& [c, bytes] : before) EXPECT_EQ(bytes, kmrtest::readFile(fs + c)) << c;
    struct stat lock {};
    ASSERT_EQ(0, lstat((fs + "/.Tarnveld/reconcile.pid").c_str(), &lock));
    EXPECT_NE(4096, lock.st_size) << "the run lock file was made a stub";
    EXPECT_TRUE(contains(r.err, "Creating the stub file '" + fs + "/nested/f' failed in open(): errno = 18")) << r.err;
    EXPECT_FALSE(lexists(nested.path() + "/f"));
    EXPECT_TRUE(lexists(fs + "/good"));
  }
  umount2((fs + "/nested").c_str(), MNT_DETACH);
}

TEST_F(CommandTest, RecordsThatWouldHandOutPrivilegeAreRefusedAndSetIdNeedsOurOption) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  auto before = importRecords(fs,
                              record("/nobody-setuid", 100, 0104755, 4294967295u, 0, 1500000000, 1600000000) +
                                  record("/nogroup", 100, 0100644, 0, 4294967295u, 1500000000, 1600000000) +
                                  record("/dir", 100, 040755, 1000, 1000, 1500000000, 1600000000) +
                                  record("/link", 100, 0120777, 1000, 1000, 1500000000, 1600000000) +
                                  record("/setuid", 100, 0106755, 1000, 1000, 1500000000, 1600000000));
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "The migrated object '" + fs + "/nobody-setuid' is refused: its owner 4294967295:0"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "The migrated object '" + fs + "/nogroup' is refused: its owner 0:4294967295")) << r.err;
  EXPECT_TRUE(contains(r.err, "The migrated object '" + fs + "/dir' is refused: its mode 040755 is not")) << r.err;
  EXPECT_TRUE(contains(r.err, "The migrated object '" + fs + "/link' is refused: its mode 0120777 is not")) << r.err;
  for (const char* refused : {"/nobody-setuid", "/nogroup", "/dir", "/link"}) {
    EXPECT_FALSE(lexists(fs + refused)) << refused;
    EXPECT_TRUE(sameRecord(before[refused], *bed->record(fs, refused))) << refused;
  }
  struct stat st {};
  ASSERT_EQ(0, lstat((fs + "/setuid").c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777) << "set-id bits are off by default";
  EXPECT_TRUE(contains(r.out + r.err, "The set-user-id and set-group-id bits of '" + fs +
                                          "/setuid' are not restored: option HSMRESTORESETID is off."))
      << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "1 stubs recreated, 0 objects skipped, 4 recreations failed, 0 server updates")) << r.err;

  // With the option the bits come back.
  ASSERT_EQ(0, unlink((fs + "/setuid").c_str()));
  kmrtest::writeFile(bed->work() + "/inst/kmr.opt", "SERVERNAME ZEF\nHSMRESTORESETID YES\n");
  Result opt = bed->run({fs});
  ASSERT_EQ(0, lstat((fs + "/setuid").c_str(), &st));
  EXPECT_EQ(06755u, st.st_mode & 07777) << opt.out << opt.err;
  EXPECT_EQ(1000u, st.st_uid);
}

// ---------------------------------------------------------------------------
// Times are unsigned 32-bit seconds on the server.

TEST_F(CommandTest, TimesPast2038AreKeptAndANewerLocalFileIsNeverReplaced) {
  bed->startServer();
  const std::string fs = bed->mountManaged("ext4");
  // A local file newer than the server's copy by its 64-bit mtime, and one
  // just older than a record at 2^31.
  makeFile(fs + "/newer", 5, 0, 0, 0644, 1500000000, 4294967296LL + 100);
  makeFile(fs + "/older", 5, 0, 0, 0644, 1500000000, 2147483647);
  auto before = importRecords(fs,
                              record("/t31", 1000, 0100644, 1, 2, 2147483648u, 2147483648u) +
                                  record("/tmax", 1000, 0100644, 1, 2, 4294967295u, 4294967295u) +
                                  record("/newer", 1000, 0100644, 1, 2, 1500000000, 4294967295u) +
                                  record("/older", 1000, 0100644, 1, 2, 1500000000, 2147483648u));
  Result r = bed->run({"-DETAIL", fs});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  for (const char* alias : {"/t31", "/tmax", "/older"})
    EXPECT_EQ("", e2e::StubDifferences(fs + alias, before[alias])) << alias;
  struct stat st {};
  ASSERT_EQ(0, lstat((fs + "/newer").c_str(), &st));
  EXPECT_EQ(5, st.st_size) << "the newer local file was replaced";
  EXPECT_EQ(4294967296LL + 100, st.st_mtime);
  EXPECT_TRUE(contains(r.out, "The file '" + fs + "/newer' exists and is not overwritten.")) << r.out;
  EXPECT_TRUE(contains(r.out, "The file '" + fs + "/older' is replaced by a stub.")) << r.out;
}

// ---------------------------------------------------------------------------
// A user acting between the decision and the rename.

// A run whose process stops itself at a pause point (TESTFLAGS PAUSEATSTEP).
class PausedRun {
 public:
  PausedRun(Bed& bed, const std::vector<std::string>& args) : child_(bed.command(args)) {}
  // Blocks until the command stops at its pause point (true) or ends (false).
  bool waitStopped() {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child_.pid()), &info, WSTOPPED | WEXITED | WNOWAIT) != 0)
      if (errno != EINTR) return false;
    if (info.si_code != CLD_STOPPED) return false;
    waitid(P_PID, static_cast<id_t>(child_.pid()), &info, WSTOPPED);  // consume the stop report
    return true;
  }
  // Lets it go on through every later pause and returns how it ended.
  Result finish() {
    do kill(child_.pid(), SIGCONT);
    while (waitStopped());
    return child_.wait();
  }

 private:
  e2e::Child child_;
};

TEST_F(CommandTest, AUserCreatingOrReplacingTheFileBeforeTheRenameKeepsTheirFile) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  makeFile(fs + "/gone", 3000, 65534, 65534, 0644, 1500000000, 1600000000);
  makeFile(fs + "/old", 3000, 65534, 65534, 0644, 1500000000, 1600000000);
  auto before = migrate(fs);

  struct Case {
    const char* alias;
    bool olderFileSeen;  // else nothing was there
  };
  for (const Case& c : {Case{"/gone", false}, Case{"/old", true}}) {
    SCOPED_TRACE(c.alias);
    const std::string path = fs + c.alias;
    ASSERT_EQ(0, unlink(path.c_str()));
    if (c.olderFileSeen) makeFile(path, 9, 65534, 65534, 0644, 1500000000, 1500000000);
    setTestFlag(*bed, "PAUSEATSTEP", "BEFORERENAME");
    PausedRun run(*bed, {fs});
    if (!run.waitStopped()) {
      Result r = run.finish();
      FAIL() << "the command never reached the rename: " << r.status << r.out << r.err;
    }
    // Between the command's look and its rename the user makes their file.
    unlink(path.c_str());
    kmrtest::writeFile(path, "user's data");
    Result r = run.finish();
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "The file '" + path + "' changed after it was checked and is kept")) << r.err;
    EXPECT_EQ("user's data", kmrtest::readFile(path));
    EXPECT_FALSE(temporariesLeft(fs));
    EXPECT_TRUE(sameRecord(before[c.alias], *bed->record(fs, c.alias)));
  }
}

// ---------------------------------------------------------------------------
// A process killed at any step of a stub, a server that commits nothing.

// Twelve stubs migrated: eight deleted, two replaced by older local files,
// two left in place; the server takes one change per transaction.
class DamagedTree : public CommandTest {
 protected:
  void prepare(const std::vector<std::string>& serverOptions, const std::string& kind = "tmpfs") {
    std::vector<std::string> opts = {"--txn-size", "1"};
    opts.insert(opts.end(), serverOptions.begin(), serverOptions.end());
    bed->startServer(opts);
    fs = bed->mountManaged(kind);
    ASSERT_EQ(0, mkdir((fs + "/sub").c_str(), 0755));
    for (int i = 0; i < 12; ++i) {
      std::string alias = (i % 2 ? "/sub/f" : "/f") + std::to_string(i);
      makeFile(fs + alias, 2000 + i, 1000 + i, 1000, 0640, 1500000000, 1600000000 + i);
    }
    before = migrate(fs);
    for (const auto& [alias, rec] : before) {
      const int i = std::stoi(alias.substr(alias.rfind('f') + 1));
      if (i >= 10) continue;
      ASSERT_EQ(0, unlink((fs + alias).c_str()));
      if (i >= 8) makeFile(fs + alias, 5, 0, 0, 0600, 1500000000, 1500000000);
    }
  }
  static bool untouched(const std::string& alias) { return std::stoi(alias.substr(alias.rfind('f') + 1)) >= 10; }
  // Every object has its stub, each record names it, nothing else is left.
  // (The intact stubs are `zefadm migrate`'s own; only their records count.)
  void expectAllRepaired() {
    for (const auto& [alias, was] : before) {
      auto now = bed->record(fs, alias);
      ASSERT_TRUE(now) << alias;
      if (untouched(alias)) {
        EXPECT_TRUE(lexists(fs + alias)) << alias;
        EXPECT_TRUE(sameRecord(was, *now)) << alias << ": an intact stub's record changed";
        continue;
      }
      EXPECT_EQ("", e2e::StubDifferences(fs + alias, was)) << alias;
      EXPECT_EQ("", recordDifferences(fs + alias, was, *now)) << alias;
    }
    EXPECT_FALSE(temporariesLeft(fs));
  }
  std::string fs;
  std::map<std::string, ObjectRecord> before;
};

class CrashPointTest : public DamagedTree, public ::testing::WithParamInterface<const char*> {};

TEST_P(CrashPointTest, OneRerunLeavesEveryStubAndRecordConsistent) {
  prepare({});
  setTestFlag(*bed, "KILLATSTEP", GetParam());
  Result killed = bed->run({fs});
  ASSERT_EQ(128 + SIGKILL, killed.status) << "the step was never reached: " << killed.out << killed.err;
  // What a killed run leaves: stubs in place or its marked temporary, never
  // a half-made file at a stub's name, never a lost older file.
  for (const auto& [alias, was] : before) {
    struct stat st {};
    if (lstat((fs + alias).c_str(), &st) != 0) continue;
    if (st.st_size == 5 || untouched(alias)) continue;  // the older local file, an intact stub
    EXPECT_EQ("", e2e::StubDifferences(fs + alias, was)) << alias;
  }

  setTestFlag(*bed, "", "");
  Result rerun = bed->run({fs});
  EXPECT_EQ(0, rerun.status) << rerun.out << rerun.err;
  expectAllRepaired();
}

INSTANTIATE_TEST_SUITE_P(Steps, CrashPointTest,
                         ::testing::Values("AFTERCREATE", "AFTERVOQOBJ", "AFTERREGION", "BEFORERENAME",
                                           "AFTERCOMMIT"),
                         [](const auto& info) { return std::string(info.param); });

TEST_F(DamagedTree, ServerVotingEveryUpdateVoidIsReportedAndARerunRepairsTheRecords) {
  prepare({"--fault-void-changes", "7"});
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "BQF2609I 0 objects have been updated on the server.")) << r.out;
  EXPECT_FALSE(contains(r.out, "have been recreated.")) << r.out;
  EXPECT_TRUE(contains(r.err, "File system '" + fs + "': 10 stubs recreated, 2 objects skipped, 0 recreations failed, "
                              "10 server updates not committed."))
      << r.err;
  for (const auto& [alias, was] : before) EXPECT_TRUE(sameRecord(was, *bed->record(fs, alias))) << alias;

  // The server recovers (same database, no fault); one rerun repairs.
  bed->startServer({"--txn-size", "1"});
  Result again = bed->run({"-DETAIL", fs});
  EXPECT_EQ(0, again.status) << again.out << again.err;
  EXPECT_TRUE(contains(again.out, "10 objects have been updated on the server.")) << again.out;
  EXPECT_EQ(10u, countOf(again.out, "was updated.")) << again.out;
  EXPECT_EQ(0u, countOf(again.out, "was recreated.")) << "the stubs are there; only records change";
  expectAllRepaired();
}

bool stubReported(const std::string& out, const std::string&) { return contains(out, "was recreated."); }

TEST_F(DamagedTree, ServerLostMidRunLeavesNothingARerunCannotRepair) {
  prepare({"--fault-delay-ms", "50"});
  // No waiting for the server to come back: the lost session ends the run.
  const std::string sys = bed->work() + "/inst/kmr.sys";
  kmrtest::writeFile(sys, kmrtest::readFile(sys) + "  COMMRESTARTDURATION 0\n");
  e2e::Child child(bed->command({"-DETAIL", fs}));
  ASSERT_TRUE(child.waitForOutput(stubReported)) << child.errSoFar();
  // The server goes away (a new one takes over the database elsewhere).
  bed->startServer({"--txn-size", "1"});
  Result lost = child.wait();
  EXPECT_NE(0, lost.status) << lost.out << lost.err;
  Result rerun = bed->run({fs});
  EXPECT_EQ(0, rerun.status) << rerun.out << rerun.err;
  expectAllRepaired();
}

TEST_F(DamagedTree, ExpiredRecordsOfPresentStubsAreMadeMigratedAgainWithExpiring) {
  prepare({});
  ASSERT_EQ(0, bed->run({fs}).status);
  for (const char* alias : {"/f0", "/sub/f1", "/f10"})
    ASSERT_EQ(0, bed->zefadm({"expire", Bed::kNode, fs, alias}).status);
  Result r = bed->run({"-EXPIRING", fs});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  for (const char* alias : {"/f0", "/sub/f1", "/f10"}) {
    auto rec = bed->record(fs, alias);
    ASSERT_TRUE(rec);
    EXPECT_EQ(2u, rec->state) << alias << " stays expired while its stub exists";
  }
}

TEST_F(DamagedTree, FullFileSystemFailsEachStubKeepsOlderFilesAndEndsWithCounts) {
  prepare({});
  // The run lock's file is there from an earlier run, with a page of its own.
  kmrtest::writeFile(fs + "/.Tarnveld/reconcile.pid", "1\n");
  // No inode left: every temporary fails at its creation.
  struct statvfs sv {};
  ASSERT_EQ(0, statvfs(fs.c_str(), &sv));
  const unsigned long used = sv.f_files - sv.f_ffree;
  ASSERT_EQ(0, mount(nullptr, fs.c_str(), nullptr, MS_REMOUNT, ("nr_inodes=" + std::to_string(used)).c_str()));
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "0 stubs recreated, 2 objects skipped, 10 recreations failed, 0 server updates")) << r.err;
  EXPECT_TRUE(contains(r.err, "failed in open(): errno = 28")) << r.err;
  EXPECT_EQ("abcde", kmrtest::readFile(fs + "/f8")) << "an older file was lost";
  EXPECT_EQ("abcde", kmrtest::readFile(fs + "/sub/f9"));
  EXPECT_TRUE(contains(r.out, "0 objects have been updated on the server.")) << r.out;

  // No block left: the temporaries fail at their last byte.
  ASSERT_EQ(0, mount(nullptr, fs.c_str(), nullptr, MS_REMOUNT, "nr_inodes=100000"));
  ASSERT_EQ(0, statvfs(fs.c_str(), &sv));
  const std::string filler = fs + "/filler";
  int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  std::string block(sv.f_bsize, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  close(fd);
  Result full = bed->run({fs});
  EXPECT_EQ(1, full.status) << full.out << full.err;
  EXPECT_TRUE(contains(full.err, "10 recreations failed")) << full.err;
  EXPECT_EQ("abcde", kmrtest::readFile(fs + "/f8"));
  EXPECT_FALSE(temporariesLeft(fs));

  // Space again: one rerun makes everything.
  ASSERT_EQ(0, unlink(filler.c_str()));
  Result rerun = bed->run({fs});
  EXPECT_EQ(0, rerun.status) << rerun.out << rerun.err;
  expectAllRepaired();
}

TEST_F(CommandTest, RecordsOfImpossibleSizesNeverCostTheLocalFile) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  makeFile(fs + "/zero", 7, 0, 0, 0644, 1500000000, 1500000000);
  makeFile(fs + "/huge", 7, 0, 0, 0644, 1500000000, 1500000000);
  importRecords(fs,
                record("/zero", 0, 0100644, 1, 1, 1500000000, 1600000000) +
                    record("/huge", 9223372036854775807ULL, 0100644, 1, 1, 1500000000, 1600000000));
  for (const char* mode : {"", "-RECOVER"}) {
    Result r = runIn(mode, fs);
    SCOPED_TRACE(mode);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_EQ("abcdefg", kmrtest::readFile(fs + "/zero"));
    EXPECT_EQ("abcdefg", kmrtest::readFile(fs + "/huge"));
    EXPECT_TRUE(contains(r.err, "0 stubs recreated, 0 objects skipped, 2 recreations failed")) << r.err;
    EXPECT_FALSE(temporariesLeft(fs));
  }
}

// ---------------------------------------------------------------------------
// Links planted by a user, and a user swapping a directory for a link
// while a large run goes on.

TEST_F(CommandTest, ALinkAtAnyComponentOrAtTheNameLeadsNowhereOutside) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  // The user's tree, and a copy of it outside the file system where a
  // followed link would land.
  const std::string outside = bed->work() + "/outside";
  for (const std::string& root : {fs + "/u", outside}) {
    ASSERT_EQ(0, mkdir(root.c_str(), 01777));
    ASSERT_EQ(0, mkdir((root + "/a").c_str(), 0777));
    ASSERT_EQ(0, mkdir((root + "/a/b").c_str(), 0777));
  }
  makeFile(outside + "/a/b/f", 11, 0, 0, 0600, 1500000000, 1500000000);
  makeFile(fs + "/u/a/b/f", 5000, 65534, 65534, 0644, 1500000000, 1600000000);
  auto before = migrate(fs);
  const std::string was = e2e::TreeSnapshot(outside);

  const std::vector<std::pair<std::string, std::string>> plants = {
      {"/u/a", outside + "/a"}, {"/u/a/b", outside + "/a/b"}, {"/u/a/b/f", outside + "/a/b/f"}};
  for (const auto& [component, target] : plants) {
    SCOPED_TRACE(component);
    ASSERT_EQ(0, system(("rm -rf '" + fs + "/u/a' && mkdir -p '" + fs + "/u/a/b' && rm -rf '" + fs + component + "'")
                            .c_str()));
    ASSERT_EQ(0, symlink(target.c_str(), (fs + component).c_str())) << strerror(errno);
    for (const char* mode : {"", "-RECOVER"}) {
      Result r = runIn(mode, fs);
      EXPECT_EQ(was, e2e::TreeSnapshot(outside)) << mode << " wrote outside the file system";
      EXPECT_EQ("abcdefghijk", kmrtest::readFile(outside + "/a/b/f"));
      if (component == "/u/a/b/f") {
        // The link at the name is replaced by the stub in recovery, or kept
        // as a file newer than the server's copy.
        if (*mode) {
          EXPECT_EQ("", e2e::StubDifferences(fs + component, before[component]));
        }
      } else {
        EXPECT_EQ(1, r.status) << r.out << r.err;
        EXPECT_TRUE(contains(r.err, "failed in open(): errno = 40")) << r.err;
        EXPECT_TRUE(sameRecord(before["/u/a/b/f"], *bed->record(fs, "/u/a/b/f")));
      }
    }
  }
}

TEST_F(CommandTest, DirectoriesSwappedForLinksDuringALargeRunNeverLeadOutside) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  generated(fs, 20000);
  ASSERT_EQ(0, chmod((fs + "/gen").c_str(), 0777));  // the user may rename what is in it
  const std::string outside = bed->work() + "/outside";
  ASSERT_EQ(0, mkdir(outside.c_str(), 0777));
  const std::string outsideBefore = e2e::TreeSnapshot(outside);

  // An unprivileged user swaps directories for links to `outside` and back
  // as fast as they can until told to stop.
  const std::string swapsFile = bed->work() + "/swaps";
  kmrtest::writeFile(swapsFile, "0");
  ASSERT_EQ(0, chmod(swapsFile.c_str(), 0666));
  pid_t attacker = fork();
  ASSERT_GE(attacker, 0);
  if (attacker == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int counter = open(swapsFile.c_str(), O_WRONLY);
    for (unsigned i = 0, swaps = 0;; ++i) {
      char dir[128], aside[128];
      snprintf(dir, sizeof dir, "%s/gen/d%05u", fs.c_str(), i % 20);
      snprintf(aside, sizeof aside, "%s/gen/aside%05u", fs.c_str(), i % 20);
      if (rename(dir, aside) == 0) {
        if (symlink(outside.c_str(), dir) == 0) {
          // Tell the test at once that the attack works: under load the
          // run may end after only a few swaps.
          char text[16];
          int n = snprintf(text, sizeof text, "%u", ++swaps);
          if (pwrite(counter, text, n, 0) != n) _exit(3);
        }
        unlink(dir);
        rename(aside, dir);
      }
    }
  }
  Result r = bed->run({fs});
  kill(attacker, SIGKILL);
  waitpid(attacker, nullptr, 0);
  EXPECT_GT(atoi(kmrtest::readFile(swapsFile).c_str()), 0) << "the user could not swap anything";
  // A directory is resolved once per directory run and kept (see
  // StubDirCache), so whether a resolution meets a link depends on timing;
  // a swap while it is kept moves the stubs with the directory. The unit
  // tests of StubDirCache meet both cases on purpose.
  EXPECT_EQ(outsideBefore, e2e::TreeSnapshot(outside)) << "stubs made outside";
  EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status << r.err.substr(0, 2000);
  for (unsigned d = 0; d < 20; ++d) {
    char aside[64], dir[64];
    snprintf(aside, sizeof aside, "/gen/aside%05u", d);
    snprintf(dir, sizeof dir, "/gen/d%05u", d);
    if (lexists(fs + aside)) {
      unlink((fs + dir).c_str());
      ASSERT_EQ(0, rename((fs + aside).c_str(), (fs + dir).c_str()));
    }
  }
  // Without the attacker one rerun brings back whatever the swaps stopped.
  Result again = bed->run({fs});
  EXPECT_EQ(0, again.status) << again.err.substr(0, 2000);
  EXPECT_FALSE(temporariesLeft(fs));
  size_t stubs = 0;
  for (const ObjectRecord& rec : bed->records(fs)) stubs += lexists(fs + rec.path) ? 1 : 0;
  EXPECT_EQ(20000u, stubs);
}

}  // namespace
