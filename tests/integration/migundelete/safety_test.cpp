// kmrmigundelete among hostile users and failing parts: records that name
// the control directory, another mount or root's privileges; times past
// 2038; a user racing the command; a full file system; a process killed at
// any step of a stub or by a signal at any moment; a server that commits
// nothing or goes away; planted FIFOs, forged names, a file system
// made anew on its device. Each test checks what is on disk, what the
// server's records say and what was printed.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <tuple>
#include <thread>

#include "tests/integration/migundelete/e2e_support.h"

using namespace e2e;  // NOLINT: the test bed, its fixture and readers

namespace {

// ---------------------------------------------------------------------------
// Records that point where no stub may go.

TEST_F(CommandTest, InvalidAndControlDirectoryAliasesAreRefusedAndANestedMountOrLinkFailsItsObject) {
  const std::string fs = serve();
  ASSERT_EQ(0, mkdir((fs + "/nested").c_str(), 0755));
  kmrtest::ScratchMount nested("tmpfs", 1);
  ASSERT_EQ(0, mount(nested.path().c_str(), (fs + "/nested").c_str(), nullptr, MS_BIND, nullptr));
  ASSERT_EQ(0, symlink(bed->work().c_str(), (fs + "/link").c_str()));  // to a directory outside
  const std::vector<std::string> invalid = {"/",          "relative/name", "/.Tarnveld/dmiFSState",
                                            "/.Tarnveld", "/.Tarnveld/hsmfsconfig.xml", "/.Tarnveld/reconcile.pid"};
  std::map<std::string, std::string> control;
  for (const char* c : {"/.Tarnveld/dmiFSState", "/.Tarnveld/hsmfsconfig.xml"}) control[c] = kmrtest::readFile(fs + c);
  std::string lines = R"({"alias":"/","size":10,"mtime":1600000000})" "\n"
                      R"({"alias":"relative/name","size":10,"mtime":1600000000})" "\n";
  for (const std::string& c : invalid)
    if (c[1] == '.') lines += JsonRecord(c, 4096, 0100644, 0, 0, 1500000000, 1600000000);
  lines += JsonRecord("/nested/f", 4096, 0100644, 0, 0, 1500000000, 1600000000);
  lines += JsonRecord("/link/f", 4096, 0100644, 0, 0, 1500000000, 1600000000);
  importRecords(fs, lines + JsonRecord("/good", 8192, 0100600, 7, 8, 1500000000, 1600000000));

  for (const char* mode : {"", "-RECOVER"}) {
    SCOPED_TRACE(mode);
    const ObjectRecord good = *bed->record(fs, "/good");
    Result r = runIn(mode, fs);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    for (const std::string& c : invalid)
      EXPECT_THAT(r.err, HasSubstr("The migrated object has the invalid path '" + c + "' and is skipped."));
    for (const auto& [c, bytes] : control) EXPECT_EQ(bytes, kmrtest::readFile(fs + c)) << c;
    EXPECT_FALSE(lexists(fs + "relative/name"));
    EXPECT_THAT(r.err, HasSubstr("Creating the stub file '" + fs + "/nested/f' failed in open(): errno = 18"));
    EXPECT_FALSE(lexists(nested.path() + "/f"));
    EXPECT_THAT(r.err, HasSubstr("Creating the stub file '" + fs + "/link/f' failed in open(): errno = 40"));
    EXPECT_FALSE(lexists(bed->work() + "/f"));
    EXPECT_THAT(r.out, HasSubstr("1 objects have been updated on the server."));
    EXPECT_EQ("", StubDifferences(fs + "/good", good));
    EXPECT_EQ("", RecordDifferences(fs + "/good", good, *bed->record(fs, "/good")));
  }
  umount2((fs + "/nested").c_str(), MNT_DETACH);
}

TEST_F(CommandTest, RecordsThatWouldHandOutPrivilegeAreRefusedAndSetIdNeedsOurOption) {
  const std::string fs = serve();
  auto before = importRecords(fs, JsonRecord("/nobody-setuid", 100, 0104755, 4294967295u, 0, 1500000000, 1600000000) +
                                      JsonRecord("/nogroup", 100, 0100644, 0, 4294967295u, 1500000000, 1600000000) +
                                      JsonRecord("/dir", 100, 040755, 1000, 1000, 1500000000, 1600000000) +
                                      JsonRecord("/link", 100, 0120777, 1000, 1000, 1500000000, 1600000000) +
                                      JsonRecord("/setuid", 100, 0106755, 1000, 1000, 1500000000, 1600000000));
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("The migrated object '" + fs + "/nobody-setuid' is refused: its owner 4294967295:0"));
  EXPECT_THAT(r.err, HasSubstr("The migrated object '" + fs + "/nogroup' is refused: its owner 0:4294967295"));
  EXPECT_THAT(r.err, HasSubstr("The migrated object '" + fs + "/dir' is refused: its mode 040755 is not"));
  EXPECT_THAT(r.err, HasSubstr("The migrated object '" + fs + "/link' is refused: its mode 0120777 is not"));
  for (const char* refused : {"/nobody-setuid", "/nogroup", "/dir", "/link"}) {
    EXPECT_FALSE(lexists(fs + refused)) << refused;
    EXPECT_TRUE(SameRecord(before[refused], *bed->record(fs, refused))) << refused;
  }
  EXPECT_EQ(0100755u, FileMode(fs + "/setuid")) << "set-id bits are off by default";
  EXPECT_THAT(r.out + r.err, HasSubstr("The set-user-id and set-group-id bits of '" + fs +
                                       "/setuid' are not restored: option HSMRESTORESETID is off."));
  EXPECT_THAT(r.err, HasSubstr("1 stubs recreated, 0 objects skipped, 4 recreations failed, 0 server updates"));

  // With the option the bits come back.
  ASSERT_EQ(0, unlink((fs + "/setuid").c_str()));
  kmrtest::writeFile(bed->work() + "/inst/kmr.opt", "SERVERNAME ZEF\nHSMRESTORESETID YES\n");
  Result opt = bed->run({fs});
  struct stat st {};
  ASSERT_EQ(0, lstat((fs + "/setuid").c_str(), &st));
  EXPECT_EQ(0106755u, st.st_mode) << opt.out << opt.err;
  EXPECT_EQ(1000u, st.st_uid);
}

// Times are unsigned 32-bit seconds on the server.
TEST_F(CommandTest, TimesPast2038AreKeptAndANewerLocalFileIsNeverReplaced) {
  const std::string fs = serve("ext4");
  // A local file newer than the server's copy by its 64-bit mtime, and one
  // just older than a record at 2^31.
  MakeFile(fs + "/newer", 5, 0, 0, 0644, 1500000000, 4294967296LL + 100);
  MakeFile(fs + "/older", 5, 0, 0, 0644, 1500000000, 2147483647);
  auto before = importRecords(fs, JsonRecord("/t31", 1000, 0100644, 1, 2, 2147483648u, 2147483648u) +
                                      JsonRecord("/tmax", 1000, 0100644, 1, 2, 4294967295u, 4294967295u) +
                                      JsonRecord("/newer", 1000, 0100644, 1, 2, 1500000000, 4294967295u) +
                                      JsonRecord("/older", 1000, 0100644, 1, 2, 1500000000, 2147483648u));
  Result r = bed->run({"-DETAIL", fs});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  for (const char* alias : {"/t31", "/tmax", "/older"}) EXPECT_EQ("", StubDifferences(fs + alias, before[alias]));
  struct stat st {};
  ASSERT_EQ(0, lstat((fs + "/newer").c_str(), &st));
  EXPECT_EQ(5, st.st_size) << "the newer local file was replaced";
  EXPECT_EQ(4294967296LL + 100, st.st_mtime);
  EXPECT_THAT(r.out, HasSubstr("The file '" + fs + "/newer' exists and is not overwritten."));
  EXPECT_THAT(r.out, HasSubstr("The file '" + fs + "/older' is replaced by a stub."));
}

// Records of impossible sizes: the zero size fails when the stub's size is
// set; neither may cost the local file or leave anything behind.
TEST_F(CommandTest, RecordsOfImpossibleSizesNeverCostTheLocalFile) {
  const std::string fs = serve();
  MakeFile(fs + "/zero", 7, 0, 0, 0644, 1500000000, 1500000000);
  MakeFile(fs + "/huge", 7, 0, 0, 0644, 1500000000, 1500000000);
  importRecords(fs, JsonRecord("/zero", 0, 0100644, 1, 1, 1500000000, 1600000000) +
                        JsonRecord("/huge", 9223372036854775807ULL, 0100644, 1, 1, 1500000000, 1600000000) +
                        JsonRecord("/none", 0, 0100644, 1, 1, 1500000000, 1600000000));
  for (const char* mode : {"", "-RECOVER"}) {
    SCOPED_TRACE(mode);
    Result r = runIn(mode, fs);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_EQ("abcdefg", kmrtest::readFile(fs + "/zero"));
    EXPECT_EQ("abcdefg", kmrtest::readFile(fs + "/huge"));
    EXPECT_FALSE(lexists(fs + "/none")) << "a failed recreation leaves nothing behind";
    EXPECT_THAT(r.err, HasSubstr("Creating the stub file '" + fs + "/none' failed in lseek()"));
    EXPECT_THAT(r.err, HasSubstr("0 stubs recreated, 0 objects skipped, 3 recreations failed"));
    EXPECT_FALSE(TemporariesLeft(fs));
  }
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
  Child child_;
};

TEST_P(WorkersTest, AUserCreatingOrReplacingTheFileBeforeTheRenameKeepsTheirFile) {
  const std::string fs = serve();
  MakeFile(fs + "/gone", 3000, 65534, 65534, 0644, 1500000000, 1600000000);
  MakeFile(fs + "/old", 3000, 65534, 65534, 0644, 1500000000, 1600000000);
  auto before = migrate(fs);
  setTestFlag("PAUSEATSTEP", "BEFORERENAME");
  for (const char* alias : {"/gone", "/old"}) {
    SCOPED_TRACE(alias);
    const std::string path = fs + alias;
    ASSERT_EQ(0, unlink(path.c_str()));
    // Nothing there, or an older file the command decides to replace.
    if (alias == std::string("/old")) MakeFile(path, 9, 65534, 65534, 0644, 1500000000, 1500000000);
    PausedRun run(*bed, {fs});
    ASSERT_TRUE(run.waitStopped()) << "the command never reached the rename";
    // Between the command's look and its rename the user makes their file.
    unlink(path.c_str());
    kmrtest::writeFile(path, "user's data");
    Result r = run.finish();
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("The file '" + path + "' changed after it was checked and is kept"));
    EXPECT_EQ("user's data", kmrtest::readFile(path));
    EXPECT_FALSE(TemporariesLeft(fs));
    EXPECT_TRUE(SameRecord(before[alias], *bed->record(fs, alias)));
  }
}

// A user's directory in which -MKDIRS brings a lost directory back: the user
// exchanges the new directory with root's private one (renameat2
// RENAME_EXCHANGE) the moment it has its name. Root's directory keeps its
// owner and mode; the directory made is the one that gets the owner of the
// objects recreated below it.
TEST_P(WorkersTest, ADirectoryExchangedForTheOneMkdirsMadeGainsTheUserNothing) {
  const std::string fs = serve(), proj = fs + "/proj", lost = proj + "/lost", root = proj + "/rootonly";
  ASSERT_EQ(0, mkdir(proj.c_str(), 0755));
  ASSERT_EQ(0, chown(proj.c_str(), 65534, 65534));
  ASSERT_EQ(0, mkdir(root.c_str(), 0700));
  struct stat rootDir;
  ASSERT_EQ(0, lstat(root.c_str(), &rootDir));
  importRecords(fs, JsonRecord("/proj/lost/f", 100, 0100640, 1234, 1235, 1500000000, 1600000000));
  setTestFlag("PAUSEATSTEP", "AFTERMKDIR");
  PausedRun run(*bed, {"-MKDIRS", fs});
  ASSERT_TRUE(run.waitStopped()) << "the command never made the directory";
  ASSERT_EQ(0, renameat2(AT_FDCWD, lost.c_str(), AT_FDCWD, root.c_str(), RENAME_EXCHANGE));
  Result r = run.finish();
  struct stat st;
  ASSERT_EQ(0, lstat(lost.c_str(), &st));
  ASSERT_EQ(rootDir.st_ino, st.st_ino);
  EXPECT_EQ(0u, st.st_uid) << "root's directory was handed to the user";
  EXPECT_EQ(040700u, st.st_mode);
  ASSERT_EQ(0, lstat(root.c_str(), &st));
  EXPECT_EQ(1234u, st.st_uid) << r.out << r.err;
  EXPECT_EQ(040755u, st.st_mode);
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
    fs = serve(kind, opts);
    ASSERT_EQ(0, mkdir((fs + "/sub").c_str(), 0755));
    for (int i = 0; i < 12; ++i)
      MakeFile(fs + (i % 2 ? "/sub/f" : "/f") + std::to_string(i), 2000 + i, 1000 + i, 1000, 0640, 1500000000,
               1600000000 + i);
    before = migrate(fs);
    for (const auto& [alias, rec] : before) {
      const int i = number(alias);
      if (i >= 10) continue;
      ASSERT_EQ(0, unlink((fs + alias).c_str()));
      if (i >= 8) MakeFile(fs + alias, 5, 0, 0, 0600, 1500000000, 1500000000);
    }
  }
  // Takes every free block (allocated, not written) into files under
  // /filler/; the run lock's file gets its block first.
  void fillUp() {
    kmrtest::writeFile(fs + "/.Tarnveld/reconcile.pid", "1\n");
    ASSERT_EQ(0, mkdir((fs + "/filler").c_str(), 0700));
    struct statvfs sv {};
    ASSERT_EQ(0, statvfs(fs.c_str(), &sv));
    off_t chunk = static_cast<off_t>(sv.f_bfree * sv.f_frsize);
    for (int n = 0; chunk >= static_cast<off_t>(sv.f_frsize); ++n) {
      const int fd = open((fs + "/filler/" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT, 0600);
      ASSERT_GE(fd, 0);
      while (chunk >= static_cast<off_t>(sv.f_frsize) && fallocate(fd, 0, 0, chunk) != 0) chunk /= 2;
      close(fd);
    }
  }
  void freeUp() { ASSERT_EQ(0, system(("rm -rf " + fs + "/filler").c_str())); }
  static int number(const std::string& alias) { return std::stoi(alias.substr(alias.rfind('f') + 1)); }
  // Every object has its stub, each record names it, nothing else is left.
  // (The intact stubs are `zefadm migrate`'s own; only their records count.)
  void expectAllRepaired() {
    for (const auto& [alias, was] : before) {
      auto now = bed->record(fs, alias);
      ASSERT_TRUE(now) << alias;
      if (number(alias) >= 10) {
        EXPECT_TRUE(lexists(fs + alias)) << alias;
        EXPECT_TRUE(SameRecord(was, *now)) << alias << ": an intact stub's record changed";
      } else {
        EXPECT_EQ("", StubDifferences(fs + alias, was)) << alias;
        EXPECT_EQ("", RecordDifferences(fs + alias, was, *now)) << alias;
      }
    }
    EXPECT_FALSE(TemporariesLeft(fs));
  }
  std::string fs;
  Records before;
};

// A server that answers without the handle form (zefserverd's default)
// leaves inode and change time to tell whether a record names the stub in
// place. File systems hand a freed inode number to the next new file at
// once, so a stub made anew may carry the number its record names: the
// older change time must still get the record repaired.
TEST_F(CommandTest, RecordWithTheStubsInodeNumberButAnOlderChangeTimeIsRepaired) {
  const std::string fs = serve("ext4");
  MakeFile(fs + "/a", 3000, 0, 0, 0644, 1500000000, 1600000000);
  const ObjectRecord was = migrate(fs)["/a"];
  bed->setRecordCtime(fs, "/a", was.ctime - 1000);
  Result r = bed->run({"-DETAIL", fs});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("The server record of the stub file '" + fs + "/a' was updated."));
  auto now = bed->record(fs, "/a");
  ASSERT_TRUE(now);
  EXPECT_EQ(was.ctime, now->ctime) << "the record still names an older file";
  EXPECT_EQ(was.inode, now->inode);
}

// Each step, with one worker and with four.
class CrashPointTest : public DamagedTree,
                       public ::testing::WithParamInterface<std::tuple<const char*, unsigned>> {};

TEST_P(CrashPointTest, OneRerunLeavesEveryStubAndRecordConsistent) {
  prepare({});
  setWorkers(std::get<1>(GetParam()));
  setTestFlag("KILLATSTEP", std::get<0>(GetParam()));
  Result killed = bed->run({fs});
  ASSERT_EQ(128 + SIGKILL, killed.status) << "the step was never reached: " << killed.out << killed.err;
  // What a killed run leaves: stubs in place or its marked temporary, never
  // a half-made file at a stub's name, never a lost older file.
  for (const auto& [alias, was] : before) {
    struct stat st {};
    if (lstat((fs + alias).c_str(), &st) != 0) continue;
    if (st.st_size == 5 || number(alias) >= 10) continue;  // the older local file, an intact stub
    EXPECT_EQ("", StubDifferences(fs + alias, was)) << alias;
  }
  setTestFlag("", "");
  Result rerun = bed->run({fs});
  EXPECT_EQ(0, rerun.status) << rerun.out << rerun.err;
  expectAllRepaired();
}

INSTANTIATE_TEST_SUITE_P(Steps, CrashPointTest,
                         ::testing::Combine(::testing::Values("AFTERCREATE", "AFTERVOQOBJ", "AFTERREGION",
                                                              "BEFORERENAME", "AFTERCOMMIT"),
                                            ::testing::Values(1u, 4u)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_K" +
                                  std::to_string(std::get<1>(info.param));
                         });
// The races with a user, with one worker and with four.
INSTANTIATE_TEST_SUITE_P(Races, WorkersTest, ::testing::Values(1u, 4u),
                         [](const auto& info) { return "K" + std::to_string(info.param); });

TEST_F(DamagedTree, ServerVotingEveryUpdateVoidIsReportedARerunRepairsAndExpiringRevivesRecords) {
  prepare({"--fault-void-changes", "7"});
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("BQF2609I 0 objects have been updated on the server."));
  EXPECT_THAT(r.out, Not(HasSubstr("have been recreated.")));
  EXPECT_THAT(r.err, HasSubstr("File system '" + fs + "': 10 stubs recreated, 2 objects skipped, 0 recreations "
                               "failed, 10 server updates not committed."));
  for (const auto& [alias, was] : before) EXPECT_TRUE(SameRecord(was, *bed->record(fs, alias))) << alias;

  // The server recovers (same database, no fault); one rerun repairs.
  bed->startServer({"--txn-size", "1"});
  Result again = bed->run({"-DETAIL", fs});
  EXPECT_EQ(0, again.status) << again.out << again.err;
  EXPECT_THAT(again.out, HasSubstr("10 objects have been updated on the server."));
  EXPECT_EQ(10u, countOf(again.out, "was updated.")) << again.out;
  EXPECT_EQ(0u, countOf(again.out, "was recreated.")) << "the stubs are there; only records change";
  expectAllRepaired();

  // Expired records of present stubs become migrated again with -EXPIRING.
  for (const char* alias : {"/f0", "/sub/f1", "/f10"})
    ASSERT_EQ(0, bed->zefadm({"expire", Bed::kNode, fs, alias}).status);
  EXPECT_EQ(0, bed->run({"-EXPIRING", fs}).status);
  for (const char* alias : {"/f0", "/sub/f1", "/f10"})
    EXPECT_EQ(2u, bed->record(fs, alias)->state) << alias << " stays expired while its stub exists";
}

TEST_F(DamagedTree, ServerLostMidRunLeavesNothingARerunCannotRepair) {
  prepare({"--fault-delay-ms", "50"});
  // No waiting for the server to come back: the lost session ends the run.
  const std::string sys = bed->work() + "/inst/kmr.sys";
  kmrtest::writeFile(sys, kmrtest::readFile(sys) + "  COMMRESTARTDURATION 0\n");
  Child child(bed->command({"-DETAIL", fs}));
  ASSERT_TRUE(child.waitForOutput(FirstStubReported)) << child.errSoFar();
  // The server goes away (a new one takes over the database elsewhere).
  bed->startServer({"--txn-size", "1"});
  Result lost = child.wait();
  EXPECT_NE(0, lost.status) << lost.out << lost.err;
  Result rerun = bed->run({fs});
  EXPECT_EQ(0, rerun.status) << rerun.out << rerun.err;
  expectAllRepaired();
}

TEST_F(DamagedTree, FullFileSystemFailsEachStubKeepsOlderFilesAndEndsWithCounts) {
  prepare({});
  // The run lock's file is there from an earlier run, with a page of its own.
  kmrtest::writeFile(fs + "/.Tarnveld/reconcile.pid", "1\n");
  // No inode left: every temporary fails at its creation.
  struct statvfs sv {};
  ASSERT_EQ(0, statvfs(fs.c_str(), &sv));
  const std::string used = std::to_string(sv.f_files - sv.f_ffree);
  ASSERT_EQ(0, mount(nullptr, fs.c_str(), nullptr, MS_REMOUNT, ("nr_inodes=" + used).c_str()));
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("0 stubs recreated, 2 objects skipped, 10 recreations failed, 0 server updates"));
  EXPECT_THAT(r.err, HasSubstr("failed in open(): errno = 28"));
  EXPECT_EQ("abcde", kmrtest::readFile(fs + "/f8")) << "an older file was lost";
  EXPECT_EQ("abcde", kmrtest::readFile(fs + "/sub/f9"));
  EXPECT_THAT(r.out, HasSubstr("0 objects have been updated on the server."));

  // No block left: a stub holds no data and needs none of them here.
  ASSERT_EQ(0, mount(nullptr, fs.c_str(), nullptr, MS_REMOUNT, "nr_inodes=100000"));
  fillUp();
  Result full = bed->run({fs});
  EXPECT_EQ(0, full.status) << full.out << full.err;
  freeUp();
  expectAllRepaired();
}

// Where the attributes need a block of their own (ext4), a full file system
// fails every stub at its first attribute, before anything at a name
// changes; one rerun with space makes them all.
TEST_F(DamagedTree, FullExt4FailsEachStubWithNothingLostAndARerunMakesThem) {
  prepare({}, "ext4");
  fillUp();
  Result full = bed->run({fs});
  EXPECT_EQ(1, full.status) << full.out << full.err;
  EXPECT_THAT(full.err, HasSubstr("0 stubs recreated, 2 objects skipped, 10 recreations failed"));
  EXPECT_THAT(full.err, HasSubstr("failed in dm_set_dmattr(): errno = 28"));
  EXPECT_EQ("abcde", kmrtest::readFile(fs + "/f8")) << "an older file was lost";
  EXPECT_FALSE(lexists(fs + "/f0"));
  EXPECT_FALSE(TemporariesLeft(fs));
  freeUp();
  Result rerun = bed->run({fs});
  EXPECT_EQ(0, rerun.status) << rerun.out << rerun.err;
  expectAllRepaired();
}

// ---------------------------------------------------------------------------
// Signals at any moment, planted FIFOs, forged names and a
// file system made anew on its device: the command ends when told to, never
// hangs on a file, prints nothing a record can forge, and knows a managed
// file system by more than its device number.

// Waits until the child has blocked the stop signals, that is until its
// signal handling stands (from there on "any moment" counts; before, in the
// loader, a signal has its default action as for every program). False when
// the child ended first.
bool signalHandlingStands(Child& child) {
  const std::string status = "/proc/" + std::to_string(child.pid()) + "/status";
  while (!child.hasEnded()) {
    const std::string text = kmrtest::readFile(status);
    const size_t at = text.find("SigBlk:");
    if (at != std::string::npos && (std::stoull(text.substr(at + 7), nullptr, 16) & (1ULL << (SIGHUP - 1))))
      return true;
    usleep(200);
  }
  return false;
}

// The hang this guards against came about once in ten runs: the clean-up
// that a hang-up started waited for a lock the interrupted thread held.
// Each run gets one of the three signals at a random moment of its life,
// from the first instruction to the last message.
TEST_F(CommandTest, HangUpQuitAndAbortAtAnyMomentEndWith255UnderLoad) {
  const std::string fs = serve("tmpfs", {"--txn-size", "4"});
  const auto stubs = deletedStubs(fs, 12);
  // One undisturbed run gives the span the signals are spread over.
  const auto t0 = std::chrono::steady_clock::now();
  Result whole = bed->run({fs});
  const auto span =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(0, whole.status) << whole.out << whole.err;

  // Busy threads keep both cores loaded while the runs go on.
  std::vector<std::jthread> load;
  for (int i = 0; i < 2; ++i)
    load.emplace_back([](std::stop_token stop) {
      while (!stop.stop_requested()) {
      }
    });
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long> moment(0, span);
  const int kSignals[] = {SIGHUP, SIGQUIT, SIGABRT};
  constexpr int kRuns = 200;
  int ended255 = 0, endedBefore = 0;
  for (int run = 0; run < kRuns && !HasFailure(); ++run) {
    for (const auto& [alias, rec] : stubs) unlink((fs + alias).c_str());
    const int sig = kSignals[run % 3];
    Child child(bed->command({fs}));
    const bool stands = signalHandlingStands(child);
    if (stands) usleep(static_cast<useconds_t>(moment(rng)));
    if (!stands || child.hasEnded()) {
      ++endedBefore;  // the run was quicker than the chosen moment
      child.wait();
      continue;
    }
    kill(child.pid(), sig);
    std::optional<Result> r = child.waitWithin(60);
    ASSERT_TRUE(r) << "run " << run << " hangs after signal " << sig << " (seed " << seed << ")";
    if (r->status == 255) {
      ++ended255;
    } else if (r->status == 0 && contains(r->out, "have been updated on the server.")) {
      ++endedBefore;  // the signal came after the last message, as the process ended
    } else {
      ADD_FAILURE() << "run " << run << ", signal " << sig << ": status " << r->status << " (seed " << seed
                    << ")\n" << r->out << r->err;
    }
  }
  fprintf(stderr, "%d runs ended with 255, %d before their signal (seed %u)\n", ended255, endedBefore, seed);
  // Most signals must have come during the run, or the test proves little.
  EXPECT_GE(ended255, kRuns / 2) << endedBefore << " runs ended before their signal";
}

// A FIFO where a configuration, option or state file belongs: the command
// says what it could not use and ends; it never waits for a writer.
TEST_F(CommandTest, FifoAtEachControlFileIsAnErrorNotAHang) {
  const std::string fs = serve();
  deletedStubs(fs, 3);
  struct Case {
    std::string path;
    int status;        // a file system that fails its check is no failure of the command
    std::string says;  // in standard output or error
  };
  const Case cases[] = {
      {bed->work() + "/inst/kmr.sys", 255, "could not be found or opened"},
      {bed->work() + "/inst/kmr.opt", 255, "could not be found or opened"},
      {fs + "/.Tarnveld/hsmfsconfig.xml", 1, "The configuration file of file system '" + fs + "' could not be read"},
      {"/etc/vostra/Tarnveld/config/dmiFSGlobalState", 0, "Error checking file system state"},
      {fs + "/.Tarnveld/dmiFSState", 0, "Error checking file system state"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string saved = c.path + ".saved";
    ASSERT_EQ(0, rename(c.path.c_str(), saved.c_str()));
    ASSERT_EQ(0, mkfifo(c.path.c_str(), 0600));
    Child child(bed->command({fs}));
    std::optional<Result> r = child.waitWithin(60);
    unlink(c.path.c_str());
    ASSERT_EQ(0, rename(saved.c_str(), c.path.c_str()));
    ASSERT_TRUE(r) << "hangs on a FIFO";
    EXPECT_EQ(c.status, r->status) << r->out << r->err;
    EXPECT_THAT(r->out + r->err, HasSubstr(c.says));
    EXPECT_THAT(r->out, Not(HasSubstr("have been updated on the server.")));
  }
}

// A record's path with a newline and terminal escapes cannot add a line of
// its own or reach the terminal raw: it is shown escaped wherever it goes.
TEST_F(CommandTest, ForgedNamesAreShownEscaped) {
  const std::string fs = serve(), trace = bed->work() + "/forged.trace";
  const std::string forged = "/x\nBQF9316I kmrmigundelete: forged line\033[2J";
  kmrtest::writeFile(fs + forged, "content of a forged name");
  migrate(fs);
  ASSERT_EQ(0, unlink((fs + forged).c_str()));
  Result r = bed->run({"-DETAIL", "-TRACEFILE=" + trace, "-traceflags=SMRECONCILE", fs});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(lexists(fs + forged)) << "the file itself keeps its real name";
  const std::string shown = "/x\\nBQF9316I kmrmigundelete: forged line\\033[2J";
  const std::string traced = kmrtest::readFile(trace);
  EXPECT_THAT(r.out, HasSubstr(shown));
  EXPECT_THAT(traced, HasSubstr(shown));
  for (const std::string& text : {r.out, r.err, traced, kmrtest::readFile(bed->work() + "/log/kmrerror.log")}) {
    EXPECT_THAT(text, Not(HasSubstr("\nBQF9316I kmrmigundelete: forged")));
    EXPECT_THAT(text, Not(HasSubstr("\033")));
  }
}

// mkfs on the device of a managed file system makes a new file system with
// the same device number; once it is made managed, the command processes it.
TEST_F(CommandTest, FileSystemMadeAnewOnTheSameDeviceIsManagedAgain) {
  bed->startServer();
  char dir[] = "/tmp/kmrreuse.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string mnt = dir, image = mnt + ".img", devFile = mnt + ".dev";
  ASSERT_EQ(0, system(("truncate -s 600M " + image + " && losetup --show -f " + image + " > " + devFile).c_str()));
  std::string dev = kmrtest::readFile(devFile);
  dev.erase(dev.find_last_not_of("\n") + 1);
  const std::string mkfsAndMount = "mkfs.ext4 -q -F " + dev + " >/dev/null 2>&1 && mount " + dev + " " + mnt;
  ASSERT_EQ(0, system(mkfsAndMount.c_str()));
  ASSERT_EQ(0, bed->zefadm({"manage-fs", mnt}).status);
  kmrtest::writeFile(mnt + "/a", std::string(5000, 'a'));
  migrate(mnt);
  ASSERT_EQ(0, bed->run({mnt}).status);

  ASSERT_EQ(0, umount2(mnt.c_str(), 0));
  ASSERT_EQ(0, system(mkfsAndMount.c_str()));
  chmod(mnt.c_str(), 0755);
  Result managed = bed->zefadm({"manage-fs", mnt});
  Result r = bed->run({mnt});
  struct stat st;
  const bool recreated = lstat((mnt + "/a").c_str(), &st) == 0 && st.st_size == 5000;

  umount2(mnt.c_str(), MNT_DETACH);
  system(("losetup -d " + dev + " && rm -f " + image + " " + devFile + " && rmdir " + mnt).c_str());
  ASSERT_EQ(0, managed.status) << managed.err;
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_THAT(r.out + r.err, Not(HasSubstr("not managed")));
  EXPECT_TRUE(recreated) << "the record's file was not recreated on the new file system\n" << r.out;
}

}  // namespace
