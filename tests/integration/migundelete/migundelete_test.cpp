// kmrmigundelete as an administrator runs it: a separate process, a real
// zefserverd on loopback, real managed tmpfs and ext4 mounts in a private
// mount namespace, stubs made by `zefadm migrate`. Each test checks what is
// on disk afterwards, what the server's records say and what was printed.
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "tests/integration/migundelete/e2e_support.h"

using namespace e2e;  // NOLINT: the test bed, its fixture and readers

namespace {

// ---------------------------------------------------------------------------
// `zefadm manage-fs` and `zefadm migrate`: the stubs they make and the
// records they leave are the ones the command must later read.

class MigrateTest : public CommandTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MigrateTest, FilesBecomeExactStubsWithRecordsNamingThem) {
  // The state files manage-fs makes (whose attributes every run checks): the
  // file system's own with its text, and the node's global one.
  const std::string fs = bed->mountManaged(GetParam());
  EXPECT_EQ("This file contains DMAPI attributes, do not delete!", kmrtest::readFile(fs + "/.Tarnveld/dmiFSState"));
  EXPECT_GE(kmrtest::readFile("/etc/vostra/Tarnveld/config/dmiFSGlobalState").size(), 4u + 72u);
  // Refused: a directory outside the file system, a node nobody registered.
  Result r = bed->zefadm({"migrate", Bed::kNode, fs, bed->work()});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, HasSubstr("is not below"));
  r = bed->zefadm({"migrate", "NOSUCHNODE", fs});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, HasSubstr("not registered"));

  ASSERT_EQ(0, mkdir((fs + "/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir((fs + "/other").c_str(), 0755));
  MakeFile(fs + "/sub/one", 3 * 4096 + 5, 1200, 1201, 0640, 1600000050, 1600000100);
  MakeFile(fs + "/sub/two", 4, 1300, 1301, 0604, 1600000150, 1600000200);
  MakeFile(fs + "/sub/empty", 0, 1300, 1301, 0644, 1600000250, 1600000300);
  MakeFile(fs + "/other/not-below", 4, 0, 1, 0644, 1600000350, 1600000400);
  ASSERT_EQ(0, symlink((fs + "/other/not-below").c_str(), (fs + "/sub/link").c_str()));
  struct stat orig;
  ASSERT_EQ(0, lstat((fs + "/sub/one").c_str(), &orig));

  r = bed->zefadm({"migrate", Bed::kNode, fs, fs + "/sub"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.out, HasSubstr("2 files migrated, 1 skipped, 0 failed"));
  auto recs = bed->records(fs);
  ASSERT_EQ(2u, recs.size());
  EXPECT_EQ("/sub/one", recs[0].path) << "byte order of the names";
  EXPECT_EQ("/sub/two", recs[1].path);
  // Each record holds what the file was and names its stub. The stub's VOQObj
  // carries the change time of the file as it was migrated, while the record
  // now holds the stub's.
  const ObjectRecord one{.path = "/sub/one", .id = recs[0].id, .size = 3 * 4096 + 5, .mode = 0100640, .uid = 1200,
                         .gid = 1201, .atime = 1600000050, .mtime = 1600000100,
                         .ctime = static_cast<uint32_t>(orig.st_ctime), .handle = {}};
  const ObjectRecord two{.path = "/sub/two", .id = recs[1].id, .size = 4, .mode = 0100604, .uid = 1300, .gid = 1301,
                         .atime = 1600000150, .mtime = 1600000200, .handle = {}};
  EXPECT_EQ("", RecordDifferences(fs + "/sub/one", one, recs[0]));
  EXPECT_EQ("", RecordDifferences(fs + "/sub/two", two, recs[1]));
  EXPECT_EQ("", StubDifferences(fs + "/sub/one", one));

  // Left alone: empty files, links and their targets, files outside DIR.
  EXPECT_EQ("abcd", kmrtest::readFile(fs + "/other/not-below"));
  for (const char* plain : {"/other/not-below", "/sub/empty"})
    EXPECT_EQ(-1, lgetxattr((fs + plain).c_str(), "trusted.dmapi.VOQObj", nullptr, 0)) << plain;

  // A second run finds only stubs: no new records, nothing changed.
  r = bed->zefadm({"migrate", Bed::kNode, fs});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.out, HasSubstr("1 files migrated, 3 skipped, 0 failed")) << "(other/not-below is new)";
  EXPECT_EQ(3u, bed->records(fs).size());
  EXPECT_EQ(recs[0].handle, bed->record(fs, "/sub/one")->handle);
}

INSTANTIATE_TEST_SUITE_P(E2E, MigrateTest, ::testing::Values("tmpfs", "ext4"));

// manage-fs makes any mounted file system managed, 1 KiB blocks included
// (where the state file's attribute does not fit whole), so that the command
// then works on it; what it refuses it says, and it leaves nothing made.
TEST_F(CommandTest, ManageFsTakesEveryMountPointAndLeavesNothingWhenRefused) {
  bed->startServer();
  const std::string small = bed->mountManaged("ext4-1k");
  MakeFile(small + "/a", 3000, 0, 0, 0644, 1500000000, 1600000000);
  migrate(small);
  ASSERT_EQ(0, unlink((small + "/a").c_str()));
  Result run = bed->run({small});
  EXPECT_EQ(0, run.status) << run.out << run.err;
  EXPECT_TRUE(lexists(small + "/a"));

  kmrtest::ScratchMount fresh("tmpfs");
  ASSERT_EQ(0, mkdir((fresh.path() + "/plain").c_str(), 0755));
  struct Refusal {
    const char* what;
    std::string dir;
    bool noNodeDir;  // the node's /etc/vostra/Tarnveld/config is missing
    std::string says;
  };
  const Refusal refusals[] = {
      {"a directory that is no mount point", fresh.path() + "/plain", false, "is not a mount point"},
      {"a node without its HSM directory", fresh.path(), true, "/etc/vostra/Tarnveld/config is missing"},
  };
  for (const Refusal& c : refusals) {
    if (c.noNodeDir) {
      ASSERT_EQ(0, mount("tmpfs", "/etc/vostra/Tarnveld", "tmpfs", 0, "size=1m"));
    }
    Result r = bed->zefadm({"manage-fs", c.dir});
    if (c.noNodeDir) {
      ASSERT_EQ(0, umount2("/etc/vostra/Tarnveld", 0));
    }
    EXPECT_EQ(1, r.status) << c.what << ": " << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.says)) << c.what;
    EXPECT_FALSE(lexists(c.dir + "/.Tarnveld")) << c.what << ": something was made";
  }
}

// ---------------------------------------------------------------------------
// The four flavours on tmpfs and ext4.

struct Flavour {
  const char* name;
  std::vector<std::string> options;
  std::set<std::string> recreated;
  const char* summary;  // of a run that ends with 1; "" for one that ends with 0
};

// Recovery tries the directory /e too, and that recreation fails.
const Flavour kFlavours[] = {
    {"normal", {}, {"/a", "/dir/b", "/d"}, ""},
    {"expiring", {"-EXPIRING"}, {"/a", "/dir/b", "/d", "/x"}, ""},
    {"recover", {"-RECOVER"}, {"/a", "/dir/b", "/c", "/d"},
     "4 stubs recreated, 1 objects skipped, 1 recreations failed, 0 server updates not committed."},
    {"both", {"-r", "-e"}, {"/a", "/dir/b", "/c", "/d", "/x"},
     "5 stubs recreated, 0 objects skipped, 1 recreations failed, 0 server updates not committed."},
};

class FlavourTest : public CommandTest, public ::testing::WithParamInterface<std::tuple<int, const char*>> {};

TEST_P(FlavourTest, RecreatesSkipsAndReplacesAsTheFlavourSays) {
  const Flavour& fl = kFlavours[std::get<0>(GetParam())];
  const std::string fs = serve(std::get<1>(GetParam()));
  ASSERT_EQ(0, mkdir((fs + "/dir").c_str(), 0755));
  MakeFile(fs + "/a", 10000, 1001, 1002, 0640, 1500000000, 1600000000);
  MakeFile(fs + "/dir/b", 5 * 1024 * 1024 + 17, 0, 0, 0600, 1500000001, 1600000001);
  MakeFile(fs + "/c", 4096, 1003, 1003, 0644, 1500000002, 1600000002);
  MakeFile(fs + "/d", 70000, 1004, 1004, 0755, 1500000003, 1600000003);
  MakeFile(fs + "/e", 300, 1005, 1005, 0600, 1500000004, 1600000004);
  MakeFile(fs + "/x", 12345, 1006, 1006, 0444, 1500000005, 1600000005);
  auto before = migrate(fs);
  ASSERT_EQ(6u, before.size());

  // Local damage: stubs deleted, one replaced by an older file, one by a directory.
  for (const char* gone : {"/a", "/dir/b", "/x", "/d", "/e"}) ASSERT_EQ(0, unlink((fs + gone).c_str()));
  MakeFile(fs + "/d", 7, 1004, 1004, 0600, 1500000003, 1600000003 - 100);
  ASSERT_EQ(0, mkdir((fs + "/e").c_str(), 0700));
  // Identity by handle (inode and generation): ext4 hands a freed inode
  // number straight to the next new file.
  const auto stubC = ExpectedHandle(fs + "/c");
  ASSERT_EQ(0, bed->zefadm({"expire", Bed::kNode, fs, "/x"}).status);
  before["/x"].state = 3;

  std::vector<std::string> args = fl.options;
  args.insert(args.end(), {"-DETAIL", fs});
  Result r = bed->run(args);
  const bool recovers = *fl.summary != '\0';
  EXPECT_EQ(recovers ? 1 : 0, r.status) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr(std::to_string(fl.recreated.size()) + " objects have been updated on the server."));
  EXPECT_EQ(!recovers, contains(r.out, "The deleted stub files of file system '" + fs + "' have been recreated."));
  EXPECT_EQ(recovers, contains(r.err, "File system '" + fs + "': " + fl.summary)) << r.err;

  auto after = bed->records(fs);
  ASSERT_EQ(6u, after.size());
  for (const ObjectRecord& rec : after) {
    const std::string path = fs + rec.path;
    const ObjectRecord& was = before[rec.path];
    SCOPED_TRACE(std::string(fl.name) + " " + rec.path);
    const bool recreated = fl.recreated.count(rec.path) == 1;
    EXPECT_EQ(recreated, contains(r.out, "The stub file '" + path + "' was recreated.")) << r.out;
    if (recreated) {
      EXPECT_EQ("", StubDifferences(path, was));
      EXPECT_EQ("", RecordDifferences(path, was, rec));
    } else {
      EXPECT_TRUE(SameRecord(was, rec)) << "record of an untouched object changed";
    }
  }
  // What stays as it was locally.
  EXPECT_TRUE(S_ISDIR(FileMode(fs + "/e"))) << "a directory is never replaced";
  EXPECT_EQ(!recovers, stubC == ExpectedHandle(fs + "/c")) << "only recovery replaces an up-to-date stub";
  EXPECT_EQ(recovers, contains(r.err, "Creating the stub file '" + fs + "/e' failed in open()"));
  EXPECT_EQ(fl.recreated.count("/x") == 1, lexists(fs + "/x"));
}

INSTANTIATE_TEST_SUITE_P(E2E, FlavourTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3), ::testing::Values("tmpfs", "ext4")),
                         [](const auto& info) {
                           return std::string(kFlavours[std::get<0>(info.param)].name) + "_" +
                                  std::get<1>(info.param);
                         });

// ---------------------------------------------------------------------------
// The command line.

TEST_F(CommandTest, CommandLineMessagesAndStatuses) {
  const std::string fs = serve();
  deletedStubs(fs, 1);
  // The front end's own operations show in the trace when ENTER and EXIT are on.
  const auto expectTraced = [](const std::string& trace, std::initializer_list<const char*> ops) {
    for (const char* op : ops) {
      EXPECT_THAT(trace, HasSubstr(std::string("ENTER =====> Migundelete::") + op + "()\n"));
      EXPECT_THAT(trace, HasSubstr(std::string("EXIT  <===== Migundelete::") + op + "()\n"));
    }
  };
  const std::string helpTrace = bed->work() + "/help.trc", runTrace = bed->work() + "/run.trc";
  Result help = bed->run({"-tracefile=" + helpTrace, "-traceflags=ENTER EXIT", fs, "-help", "-X"});
  EXPECT_EQ(0, help.status) << help.err;
  expectTraced(kmrtest::readFile(helpTrace), {"interpreteCommandParameters", "processHelp"});
  EXPECT_FALSE(lexists(fs + "/f00")) << "help runs nothing";
  // An empty line, then the usage text, both on standard output.
  EXPECT_THAT(help.out, HasSubstr("\n\nBQF9322I Usage: kmrmigundelete [-DETAIL] [-EXPIRING] [-RECOVER] [-HELP] "
                                  "[file system]"));
  EXPECT_THAT(help.err, Not(HasSubstr("Usage:")));

  // Refused command lines: status 1, the reason, and nothing recreated.
  RunSpec nobody = bed->command({fs});
  nobody.asUser = "65534";
  const std::pair<RunSpec, std::string> refused[] = {
      {bed->command({"-X"}), "The option or parameter '-X' is not valid."},
      {bed->command({"-SUBTREE=/elsewhere/a", fs}), "BQF9709E"},
      {bed->command({"/no/such/fs"}), "File system '/no/such/fs' is not managed by HSM."},
      {bed->command({"/"}), "File system '/' is not managed by HSM."},
      {nobody, "This command must be run by the super-user (root)."}};
  for (const auto& [spec, says] : refused) {
    Result r = e2e::Run(spec);
    EXPECT_EQ(1, r.status) << says;
    EXPECT_THAT(r.out + r.err, HasSubstr(says));
    EXPECT_FALSE(lexists(fs + "/f00"));
  }

  // Trace options are never file system names; the run still happens.
  Result traced = bed->run({"-TRACEFILE=" + runTrace, "-traceflags=ENTER EXIT", fs});
  EXPECT_EQ(0, traced.status) << traced.out << traced.err;
  EXPECT_TRUE(lexists(fs + "/f00"));
  expectTraced(kmrtest::readFile(runTrace),
               {"interpreteCommandParameters", "isFileSystemValid", "startMigundelete", "initSignalHandling"});
}

// ---------------------------------------------------------------------------
// All managed file systems in byte order of their names. Those that the
// checks refuse or whose run lock someone else holds are reported and
// skipped, the walk goes on with the others and the command ends with 0.

// A file system runs only with recall and migration both active: its state
// file's "VOQStat" holds one word per flag (recall at 0, migration at 4).
// Writes `active` (as read from it) with the word at `inactiveWord` cleared
// (none when it is beyond the flags).
void setFlagWords(const std::string& fs, const std::vector<uint8_t>& active, size_t inactiveWord) {
  std::vector<uint8_t> state = active;
  if (inactiveWord < 8) std::memset(state.data() + inactiveWord, 0, 4);
  ASSERT_EQ(0, setxattr((fs + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat", state.data(), state.size(), 0));
}

TEST_F(CommandTest, WalksEveryManagedFileSystemInByteOrderAndSkipsLockedAndRefusedOnes) {
  bed->startServer();
  std::vector<std::string> all;
  for (int i = 0; i < 5; ++i) deletedStubs(all.emplace_back(bed->mountManaged(i == 1 ? "ext4" : "tmpfs")), 1);
  std::sort(all.begin(), all.end());
  // Between the first and the last, which are fine: one whose run lock
  // another program holds, one mounted and managed whose HSM is inactive, and
  // one that has lost its state (no longer managed).
  const std::string locked = all[1], inactive = all[2], stateless = all[3];
  const int lock = HoldLock(locked + "/.Tarnveld/reconcile.pid");
  ASSERT_GE(lock, 0) << strerror(errno);
  std::vector<uint8_t> active(1020);
  ASSERT_EQ(1020, getxattr((inactive + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat", active.data(), 1020));
  setFlagWords(inactive, active, 4);
  ASSERT_EQ(0, lremovexattr((stateless + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat"));

  Result walk = bed->run({});
  close(lock);
  EXPECT_EQ(0, walk.status) << walk.out << walk.err;
  EXPECT_THAT(walk.err, HasSubstr("Another reconcile program is already running on file system '" + locked + "'."));
  EXPECT_THAT(walk.out, HasSubstr("BQF9099E kmrmigundelete: HSM is not active on file system '" + inactive + "'.\n"));
  EXPECT_THAT(walk.out, HasSubstr("BQF9085E kmrmigundelete: File system '" + stateless + "' is not managed by HSM.\n"));
  EXPECT_THAT(walk.out + walk.err, Not(HasSubstr("is not mounted")));
  for (const std::string& skipped : {locked, inactive, stateless}) {
    EXPECT_FALSE(lexists(skipped + "/f00")) << skipped << " was touched";
    EXPECT_THAT(walk.out, Not(HasSubstr("stub files of file system '" + skipped + "'.")));
  }
  EXPECT_THAT(walk.out, Not(HasSubstr("file system '" + locked + "'.")));
  const size_t first = walk.out.find("Recreating the deleted stub files of file system '" + all[0] + "'.");
  const size_t last = walk.out.find("Recreating the deleted stub files of file system '" + all[4] + "'.");
  EXPECT_LT(first, last) << "file systems not in byte order of their names\n" << walk.out;
  EXPECT_NE(std::string::npos, last) << walk.out;
  EXPECT_TRUE(lexists(all[0] + "/f00") && lexists(all[4] + "/f00")) << "the walk stopped at a skipped file system";
  EXPECT_EQ(2u, countOf(walk.out, "1 objects have been updated on the server.")) << walk.out;

  // Named, with recall inactive instead: reported, and no failure of the run.
  setFlagWords(inactive, active, 0);
  Result named = bed->run({inactive});
  EXPECT_EQ(0, named.status) << "a named file system that is not valid is no failure of the run";
  EXPECT_THAT(named.out, HasSubstr("HSM is not active on file system '" + inactive + "'."));
  EXPECT_FALSE(lexists(inactive + "/f00"));
  setFlagWords(inactive, active, 8);
  EXPECT_EQ(0, bed->run({inactive}).status);
  EXPECT_TRUE(lexists(inactive + "/f00"));
}

// ---------------------------------------------------------------------------
// The node's password, progress lines and the error log.

// The node's password from the client's store: a refused one ends the run
// with the server's return code, and a password given in the option file
// is used instead and kept in the store once it was accepted. (What the
// store holds after each sign-on, and the files it refuses, are checked by
// its unit tests against a scripted server.)
TEST_F(CommandTest, SignsOnWithThePasswordFromItsPrivateStoreOrTheOption) {
  const std::string fs = serve();
  deletedStubs(fs, 1);
  const std::string store = bed->passwordDir() + "/kmr.pwd", f = fs + "/f00";
  // "wrong" in hexadecimal. Refused by a server that is not authenticated
  // (no TLS), the stored password stays: anyone on the port could refuse.
  ASSERT_TRUE(kmrtest::writePrivateFile(store, "ZEF\tE2ENODE\t77726f6e67\n"));
  Result wrong = bed->run({fs});
  EXPECT_NE(0, wrong.status);
  EXPECT_THAT(wrong.out + wrong.err, HasSubstr("return code 51"));
  EXPECT_THAT(wrong.err, HasSubstr("BQF9782W"));
  EXPECT_EQ(kmrtest::readFile(store), "ZEF\tE2ENODE\t77726f6e67\n");
  EXPECT_FALSE(lexists(f));

  // The option, in a kmr.sys that others may read, is not used; in one that
  // only root may read it is, and it is stored.
  ASSERT_EQ(unlink(store.c_str()), 0);
  const std::string sys = bed->work() + "/inst/kmr.sys";
  kmrtest::writeFile(sys, kmrtest::readFile(sys) + "  PASSWORD \"e2e Pa55word\"\n");
  Result readable = bed->run({fs});
  EXPECT_NE(0, readable.status);
  EXPECT_THAT(readable.err, HasSubstr("BQF9787E"));
  EXPECT_FALSE(lexists(f));
  ASSERT_EQ(chmod(sys.c_str(), 0600), 0);
  Result fromOption = bed->run({fs});
  EXPECT_EQ(0, fromOption.status) << fromOption.out << fromOption.err;
  EXPECT_TRUE(lexists(f));
  EXPECT_EQ(kmrtest::readFile(store), "# kmr password store: server<TAB>node<TAB>password in hexadecimal\n"
                                      "ZEF\tE2ENODE\t6532652050613535776f7264\n");
}

// A progress line every thousand objects, with -DETAIL only. The runs have no
// trace options: the error log holds their numbered warnings and errors and
// nothing else (no verb or connection diagnostics, a line per object).
TEST_F(CommandTest, ProgressLinesEveryThousandObjectsWithDetailOnlyAndAnErrorLogOfWarningsOnly) {
  const std::string big = serve(), small = bed->mountManaged();
  generated(big, 2000);
  // 999 objects: one of them has an invalid path and is skipped.
  generated(small, 998);
  importRecords(small, R"({"alias":"relative/name","size":10,"mtime":1600000000})" "\n");

  Result r = bed->run({"-DETAIL", big});
  EXPECT_EQ(0, r.status) << r.err.substr(0, 2000);
  EXPECT_EQ(1u, countOf(r.out, "1000 objects processed so far.")) << r.out.substr(0, 2000);
  EXPECT_EQ(1u, countOf(r.out, "2000 objects processed so far."));
  EXPECT_EQ(2u, countOf(r.out, "objects processed so far."));
  EXPECT_THAT(r.out, HasSubstr("2000 objects have been updated on the server."));
  EXPECT_TRUE(lexists(big + "/gen/d00001/f00001999"));

  Result s = bed->run({"-DETAIL", small});
  EXPECT_EQ(0, s.status);
  EXPECT_EQ(0u, countOf(s.out, "objects processed so far.")) << "999 objects print no progress line";
  EXPECT_THAT(s.out, HasSubstr("998 objects have been updated on the server."));

  Result quiet = bed->run({"-RECOVER", big});
  EXPECT_EQ(0, quiet.status);
  EXPECT_EQ(0u, countOf(quiet.out, "objects processed so far.")) << "no progress without -DETAIL";
  EXPECT_THAT(quiet.out, HasSubstr("2000 objects have been updated on the server."));

  // One entry, the skipped object's (the dated form of an entry is the
  // error log's own, checked by its unit tests).
  const std::string log = kmrtest::readFile(bed->work() + "/log/kmrerror.log");
  EXPECT_EQ(1u, countOf(log, "\n")) << log.substr(0, 2000);
  EXPECT_THAT(log, HasSubstr(" BQF9334W The migrated object has the invalid path 'relative/name' and is skipped.\n"));
}

// ---------------------------------------------------------------------------
// Signals and a broken server: what was recreated reaches the server.

// 40 stubs migrated and deleted; a server that takes one change per
// transaction (and, with a delay, answers every request late, so that the
// run lasts long enough to be interrupted: the test waits for output, never
// for time).
class SignalTest : public CommandTest {
 protected:
  void prepare(const std::vector<std::string>& serverFaults) {
    std::vector<std::string> opts = {"--txn-size", "1"};
    opts.insert(opts.end(), serverFaults.begin(), serverFaults.end());
    fs = serve("tmpfs", opts);
    // More objects than the workers hold in flight at the most (8 per
    // worker, 8 workers by default), so that a stop leaves some untouched.
    before = deletedStubs(fs, 100);
  }
  std::string fs;
  Records before;
};

TEST_F(SignalTest, InterruptDuringARunStopsAfterTheObjectsInFlight) {
  prepare({"--fault-delay-ms", "100"});
  Child child(bed->command({"-DETAIL", fs}));
  ASSERT_TRUE(child.waitForOutput(FirstStubReported)) << child.errSoFar();
  kill(child.pid(), SIGINT);
  Result r = child.wait();
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("The operation was stopped by the user or by a signal."));
  EXPECT_THAT(r.out, Not(HasSubstr("have been updated on the server."))) << "no end messages after a stop";
  const size_t n = ExpectConsistent(*bed, fs, before);
  EXPECT_GE(n, 1u);
  EXPECT_LT(n, before.size()) << "the stop came after the last object";
}

TEST_F(SignalTest, InterruptBeforeTheFirstRunEndsWith255AndTouchesNothing) {
  prepare({});
  // A writer of the node's global state holds its lock: the file system
  // check before the first run waits (sleeping) until we act.
  const int lockFd = HoldLock("/etc/vostra/Tarnveld/config/dmiFSGlobalState.pid");
  ASSERT_GE(lockFd, 0) << strerror(errno);
  Child child(bed->command({fs}));
  // Wait until the process sleeps in that wait (syscall clock_nanosleep).
  const std::string sys = "/proc/" + std::to_string(child.pid()) + "/syscall";
  bool blocked = false;
  for (int i = 0; i < 100000 && !blocked && !child.hasEnded(); ++i) {
    blocked = kmrtest::readFile(sys).rfind("230 ", 0) == 0;
    if (!blocked) usleep(1000);
  }
  ASSERT_TRUE(blocked) << "the command never waited for the global state lock";
  kill(child.pid(), SIGINT);
  Result r = child.wait();
  close(lockFd);
  EXPECT_EQ(255, r.status) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("The command was interrupted during its start."));
  EXPECT_EQ(0u, ExpectConsistent(*bed, fs, before));
}

TEST_F(SignalTest, BrokenQueryStreamEndsTheRunButKeepsTheUpdatesMade) {
  prepare({"--fault-query-close", "10"});
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("The communication with the server failed during the query of migrated objects."));
  EXPECT_THAT(r.err, HasSubstr("The processing of file system '" + fs + "' failed."));
  EXPECT_THAT(r.out, Not(HasSubstr("have been updated on the server.")));
  EXPECT_EQ(10u, ExpectConsistent(*bed, fs, before))
      << "the ten objects answered before the break are recreated and recorded";
}

TEST_F(SignalTest, InterruptWhileReconnectingToALostServerEndsTheRun) {
  prepare({"--fault-delay-ms", "100"});
  Child child(bed->command({"-DETAIL", fs}));
  ASSERT_TRUE(child.waitForOutput(FirstStubReported)) << child.errSoFar();
  bed->stopServer();
  // It says that it waits, at once and then every half minute.
  ASSERT_TRUE(child.waitForOutput([](const std::string&, const std::string& err) {
    return contains(err, "Waiting for the connection to the server to be reestablished (");
  })) << child.outSoFar() << child.errSoFar();
  kill(child.pid(), SIGTERM);
  // Before, the command went on re-opening for COMMRESTARTDURATION (an hour).
  std::optional<Result> r = child.waitWithin(20);
  ASSERT_TRUE(r) << "still waiting for the server after SIGTERM";
  EXPECT_EQ(1, r->status) << r->out << r->err;
  EXPECT_THAT(r->err, HasSubstr("The operation was stopped by the user or by a signal."));
  EXPECT_THAT(r->out, Not(HasSubstr("have been updated on the server.")));
}

// ---------------------------------------------------------------------------
// After an accident: a directory tree of stubs removed with rm -rf, looked at
// with a preview, brought back with a subtree run that makes the lost
// directories, and a live progress line on a terminal.

TEST_F(CommandTest, RemovedTreeIsPreviewedThenBroughtBackAloneWithItsDirectories) {
  const std::string fs = serve(), lost = fs + "/proj/lost";
  generated(fs, 5000, "/proj/lost");
  generated(fs, 20, "/keep");
  ASSERT_EQ(0, bed->run({fs}).status);
  const auto before = byAlias(fs);
  ASSERT_EQ(5020u, before.size());

  // The accident, and one stub missing outside the directory.
  ASSERT_EQ(0, system(("rm -rf '" + lost + "'").c_str()));
  ASSERT_EQ(0, unlink((fs + "/keep/d00000/f00000003").c_str()));
  const std::string treeBefore = TreeSnapshot(fs), logBefore = TreeSnapshot(bed->work() + "/log");
  const auto recordsBefore = bed->records(fs);

  // Machine-readable preview of the subtree, with directories to be made.
  Result json = bed->run({"-JSON", "-MKDIRS", "-SUBTREE=" + lost, fs});
  ASSERT_EQ(0, json.status) << json.err.substr(0, 2000);
  // Each of the 5000 removed objects once, nothing else, with the directory
  // to be made.
  std::set<std::string> listed;
  std::istringstream lines(json.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("{\"type\":\"object\",\"alias\":\"/proj/lost/", 0) == 0)
      listed.insert(line.substr(0, line.find(',', 26)));  // up to the end of the alias
  EXPECT_EQ(5000u, listed.size()) << json.out.substr(0, 2000);
  EXPECT_EQ(5000u, countOf(json.out, "{\"type\":\"object\","));
  EXPECT_THAT(json.out, HasSubstr("{\"type\":\"object\",\"alias\":\"/proj/lost/d00004/f00004999\",\"path\":\"" + lost +
                                  "/d00004/f00004999\",\"action\":\"recreate\",\"directory\":\"/proj/lost\"}\n"));
  EXPECT_THAT(json.out, HasSubstr("\n{\"type\":\"totals\",\"file_system\":\"" + fs +
                                  "\",\"subtree\":\"/proj/lost\",\"objects\":5000,\"recreate\":5000,\"replace\":0,"
                                  "\"skip_present\":0,\"skip_expired\":0,\"refuse\":0,\"missing_directories\":6}\n"));

  // The text form without -MKDIRS says why each object would fail.
  Result text = bed->run({"-p", "-s=" + lost, fs});
  ASSERT_EQ(0, text.status) << text.err.substr(0, 2000);
  EXPECT_THAT(text.out, HasSubstr("Preview of the directory '/proj/lost' of file system '" + fs +
                                  "': nothing is changed on disk or on the server."));
  EXPECT_EQ(5000u, countOf(text.out, "': the directory '" + lost + "' is missing (-MKDIRS creates it)."));
  EXPECT_THAT(text.out, HasSubstr("Would fail on '" + lost + "/d00004/f00004999': the directory"));
  EXPECT_THAT(text.out, HasSubstr("Preview totals: 5000 objects; 0 to recreate, 0 to replace, 0 to skip as present, "
                                  "0 to skip as expired, 5000 to refuse or fail; 6 missing directories."));

  // Nothing changed: files and directories (the run lock's file included),
  // the server's records, the error log.
  EXPECT_EQ(treeBefore, TreeSnapshot(fs));
  EXPECT_TRUE(recordsBefore == bed->records(fs)) << "the preview changed a record";
  EXPECT_EQ(logBefore, TreeSnapshot(bed->work() + "/log"));

  // The subtree run with lost directories.
  Result run = bed->run({"-SUBTREE=" + lost + "/", "-MKDIRS", fs});
  EXPECT_EQ(0, run.status) << run.err.substr(0, 2000);
  EXPECT_THAT(run.out, HasSubstr("Recreating the deleted stub files below '/proj/lost' of file system '" + fs + "'."));
  EXPECT_THAT(run.out, HasSubstr("5000 objects have been updated on the server."));
  EXPECT_THAT(run.out, HasSubstr("The deleted stub files below '/proj/lost' of file system '" + fs +
                                 "' have been recreated."));
  EXPECT_EQ(6u, countOf(run.out, "BQF9703I"));
  // Each made with the nearest existing directory's owner and mode (the
  // lost directories' unit tests check those on disk).
  for (const std::string dir : {"", "/d00000", "/d00004"})
    EXPECT_THAT(run.out, HasSubstr("The missing directory '" + lost + dir + "' was created."));
  size_t exact = 0;
  for (const ObjectRecord& rec : bed->records(fs)) {
    const ObjectRecord& was = before.at(rec.path);
    if (rec.path.rfind("/proj/lost/", 0) == 0) {
      std::string d = StubDifferences(fs + rec.path, was) + RecordDifferences(fs + rec.path, was, rec);
      if (d.empty()) ++exact;
      else ADD_FAILURE() << rec.path << ": " << d;
    } else {
      EXPECT_TRUE(SameRecord(was, rec)) << rec.path << " outside the subtree was updated";
    }
  }
  EXPECT_EQ(5000u, exact);
  EXPECT_EQ(before.at("/keep/d00000/f00000001").handle, ExpectedHandle(fs + "/keep/d00000/f00000001"));

  // A plain run of the subtree now finds nothing to do; without a file
  // system the directory names it (from the managed table).
  const auto recordsAfter = bed->records(fs);
  Result again = bed->run({"-SUBTREE=" + lost});
  EXPECT_EQ(0, again.status) << again.err.substr(0, 2000);
  EXPECT_THAT(again.out, HasSubstr("below '/proj/lost' of file system '" + fs + "'"));
  EXPECT_THAT(again.out, HasSubstr("0 objects have been updated on the server."));
  EXPECT_FALSE(contains(again.out, "was created."));
  EXPECT_TRUE(recordsAfter == bed->records(fs)) << "a run with nothing to do changed a record";

  // And a preview of the whole file system sees only the stub outside, still
  // missing.
  Result whole = bed->run({"-PREVIEW", fs});
  EXPECT_EQ(0, whole.status);
  EXPECT_EQ(1u, countOf(whole.out, "Would recreate '")) << whole.out.substr(0, 2000);
  EXPECT_THAT(whole.out, HasSubstr("Would recreate '" + fs + "/keep/d00000/f00000003'."));
  EXPECT_EQ(5019u, countOf(whole.out, "a file as new as the server's copy or newer exists."));
}

TEST_F(CommandTest, ProgressLineOnATerminalOnlyAndNeverInTheWayOfMessages) {
  const std::string fs = serve();
  generated(fs, 300, "/t");
  // One object whose directory is a file: a failure message in mid-run, and
  // each run ends 1.
  ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, fs, "1", "--prefix", "/gone"}).status);
  kmrtest::writeFile(fs + "/gone", "x");

  Result tty = RunWithTerminalStderr(bed->command({fs}));
  EXPECT_EQ(1, tty.status) << tty.err;
  EXPECT_THAT(tty.err, HasSubstr("\r301 processed, 300 recreated, 1 failed, "));
  EXPECT_THAT(tty.err, HasSubstr(" elapsed\x1b[K\r\n")) << "the final line stays, then a line end";
  // The failure message starts on a cleared line, not behind the progress.
  size_t at = tty.err.find("BQF9333E");
  ASSERT_NE(std::string::npos, at) << tty.err;
  EXPECT_TRUE(at == 0 || tty.err.compare(at - 4, 4, "\r\x1b[K") == 0 || tty.err[at - 1] == '\n')
      << tty.err.substr(at < 80 ? 0 : at - 80, 160);
  EXPECT_THAT(tty.out, HasSubstr("300 objects have been updated on the server."));

  // Not a terminal: nothing of it. -DETAIL on a terminal: nothing of it either.
  ASSERT_EQ(0, system(("rm -rf '" + fs + "/t/d00000'/*").c_str()));
  Result pipe = bed->run({fs});
  EXPECT_EQ(1, pipe.status);
  EXPECT_THAT(pipe.err, Not(HasSubstr("processed,")));
  EXPECT_THAT(pipe.err, Not(HasSubstr("\x1b[K")));
  EXPECT_THAT(pipe.out, HasSubstr("300 objects have been updated on the server."));
  ASSERT_EQ(0, system(("rm -rf '" + fs + "/t/d00000'/*").c_str()));
  Result detail = RunWithTerminalStderr(bed->command({"-DETAIL", fs}));
  EXPECT_EQ(1, detail.status);
  EXPECT_THAT(detail.err, Not(HasSubstr("processed,")));
  EXPECT_THAT(detail.out, HasSubstr("300 objects have been updated on the server."));
}

}  // namespace
