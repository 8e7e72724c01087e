// kmrmigundelete as an administrator runs it: a separate process, a real
// zefserverd on loopback, real managed tmpfs and ext4 mounts in a private
// mount namespace, stubs made by `zefadm migrate`. Each test checks what is
// on disk afterwards, what the server's records say and what was printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "tests/integration/migundelete/command_fixture.h"

using namespace e2e::command;  // NOLINT: the fixture and its helpers
using e2e::Bed;
using e2e::ObjectRecord;
using e2e::Result;

namespace {

// ---------------------------------------------------------------------------
// The four flavours on tmpfs and ext4.

struct Flavour {
  const char* name;
  std::vector<std::string> options;
  std::set<std::string> recreated;
};

const Flavour kFlavours[] = {
    {"normal", {}, {"/a", "/dir/b", "/d"}},
    {"expiring", {"-EXPIRING"}, {"/a", "/dir/b", "/d", "/x"}},
    {"recover", {"-RECOVER"}, {"/a", "/dir/b", "/c", "/d"}},
    {"both", {"-r", "-e"}, {"/a", "/dir/b", "/c", "/d", "/x"}},
};

class FlavourTest : public CommandTest, public ::testing::WithParamInterface<std::tuple<int, const char*>> {};

TEST_P(FlavourTest, RecreatesSkipsAndReplacesAsTheFlavourSays) {
  const Flavour& fl = kFlavours[std::get<0>(GetParam())];
  bed->startServer();
  const std::string fs = bed->mountManaged(std::get<1>(GetParam()));
  ASSERT_EQ(0, mkdir((fs + "/dir").c_str(), 0755));
  makeFile(fs + "/a", 10000, 1001, 1002, 0640, 1500000000, 1600000000);
  makeFile(fs + "/dir/b", 5 * 1024 * 1024 + 17, 0, 0, 0600, 1500000001, 1600000001);
  makeFile(fs + "/c", 4096, 1003, 1003, 0644, 1500000002, 1600000002);
  makeFile(fs + "/d", 70000, 1004, 1004, 0755, 1500000003, 1600000003);
  makeFile(fs + "/e", 300, 1005, 1005, 0600, 1500000004, 1600000004);
  makeFile(fs + "/x", 12345, 1006, 1006, 0444, 1500000005, 1600000005);
  auto before = migrate(fs);
  ASSERT_EQ(6u, before.size());

  // Local damage: stubs deleted, one replaced by an older file, one by a directory.
  for (const char* gone : {"/a", "/dir/b", "/x", "/d", "/e"}) ASSERT_EQ(0, unlink((fs + gone).c_str()));
  makeFile(fs + "/d", 7, 1004, 1004, 0600, 1500000003, 1600000003 - 100);
  // Identity by handle (inode and generation): ext4 hands a freed inode
  // number straight to the next new file.
  const auto olderD = e2e::ExpectedHandle(fs + "/d");
  ASSERT_EQ(0, mkdir((fs + "/e").c_str(), 0700));
  const auto stubC = e2e::ExpectedHandle(fs + "/c");
  ASSERT_EQ(0, bed->zefadm({"expire", Bed::kNode, fs, "/x"}).status);
  before["/x"].state = 3;

  std::vector<std::string> args = fl.options;
  args.push_back("-DETAIL");
  args.push_back(fs);
  Result r = bed->run(args);
  // Recovery tries the directory /e too, and that recreation fails.
  const bool recovers = fl.recreated.count("/c") == 1;
  EXPECT_EQ(recovers ? 1 : 0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Recreating the deleted stub files of file system '" + fs + "'.")) << r.out;
  EXPECT_TRUE(contains(r.out, std::to_string(fl.recreated.size()) + " objects have been updated on the server."))
      << r.out;
  EXPECT_EQ(!recovers, contains(r.out, "The deleted stub files of file system '" + fs + "' have been recreated."))
      << r.out;
  if (recovers) {
    const std::string skipped = fl.recreated.count("/x") ? "0" : "1";
    EXPECT_TRUE(contains(r.err, "File system '" + fs + "': " + std::to_string(fl.recreated.size()) +
                                    " stubs recreated, " + skipped +
                                    " objects skipped, 1 recreations failed, 0 server updates not committed."))
        << r.err;
  }

  auto after = bed->records(fs);
  ASSERT_EQ(6u, after.size());
  for (const ObjectRecord& rec : after) {
    const std::string path = fs + rec.path;
    const ObjectRecord& was = before[rec.path];
    SCOPED_TRACE(std::string(fl.name) + " " + rec.path);
    if (fl.recreated.count(rec.path)) {
      EXPECT_EQ("", e2e::StubDifferences(path, was));
      EXPECT_EQ("", recordDifferences(path, was, rec));
      EXPECT_TRUE(contains(r.out, "The stub file '" + path + "' was recreated.")) << r.out;
    } else {
      EXPECT_TRUE(sameRecord(was, rec)) << "record of an untouched object changed";
      EXPECT_FALSE(contains(r.out, "The stub file '" + path + "' was recreated."));
    }
  }
  // What stays as it was locally.
  EXPECT_TRUE(isDir(fs + "/e")) << "a directory is never replaced";
  if (!fl.recreated.count("/c")) {
    EXPECT_EQ(stubC, e2e::ExpectedHandle(fs + "/c"));
    EXPECT_TRUE(contains(r.out, "The file '" + fs + "/c' exists and is not overwritten.")) << r.out;
    EXPECT_TRUE(contains(r.out, "The file '" + fs + "/e' exists and is not overwritten.")) << r.out;
    EXPECT_TRUE(contains(r.out, "The file '" + fs + "/d' is replaced by a stub.")) << r.out;
  } else {
    EXPECT_NE(stubC, e2e::ExpectedHandle(fs + "/c")) << "recovery replaces even an up-to-date stub";
    EXPECT_TRUE(contains(r.err, "Creating the stub file '" + fs + "/e' failed in open()")) << r.err;
  }
  EXPECT_NE(olderD, e2e::ExpectedHandle(fs + "/d"));
  EXPECT_EQ(fl.recreated.count("/x") == 1, lexists(fs + "/x"));
}

INSTANTIATE_TEST_SUITE_P(E2E, FlavourTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3), ::testing::Values("tmpfs", "ext4")),
                         [](const auto& info) {
                           return std::string(kFlavours[std::get<0>(info.param)].name) + "_" +
                                  std::get<1>(info.param);
                         });

// ---------------------------------------------------------------------------
// All managed file systems, and a run lock held by someone else.

TEST_F(CommandTest, WalksEveryManagedFileSystemInByteOrderAndSkipsALockedOne) {
  bed->startServer();
  std::vector<std::string> all;
  for (int i = 0; i < 3; ++i) {
    all.push_back(bed->mountManaged(i == 1 ? "ext4" : "tmpfs"));
    makeFile(all.back() + "/f", 3000 + i, 0, 0, 0644, 1500000000, 1600000000);
  }
  for (const std::string& fs : all) migrate(fs);
  for (const std::string& fs : all) ASSERT_EQ(0, unlink((fs + "/f").c_str()));
  std::vector<std::string> sorted = all;
  std::sort(sorted.begin(), sorted.end());
  const std::string locked = sorted[1];
  const int lock = holdLock(locked + "/.Tarnveld/reconcile.pid");
  ASSERT_GE(lock, 0) << strerror(errno);

  Result r = bed->run({});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Another reconcile program is already running on file system '" + locked + "'."))
      << r.err;
  size_t last = 0;
  for (const std::string& fs : sorted) {
    if (fs == locked) {
      EXPECT_FALSE(lexists(fs + "/f")) << "the locked file system was touched";
      EXPECT_FALSE(contains(r.out, "file system '" + fs + "'."));
      continue;
    }
    size_t at = r.out.find("Recreating the deleted stub files of file system '" + fs + "'.");
    ASSERT_NE(std::string::npos, at) << r.out;
    EXPECT_GE(at, last) << "file systems not in byte order of their names";
    last = at;
    EXPECT_TRUE(lexists(fs + "/f"));
  }
  EXPECT_EQ(2u, countOf(r.out, "1 objects have been updated on the server.")) << r.out;
  close(lock);
}

// ---------------------------------------------------------------------------
// The command line.

TEST_F(CommandTest, CommandLineMessagesAndStatuses) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  makeFile(fs + "/f", 100, 0, 0, 0644, 1500000000, 1600000000);
  migrate(fs);
  ASSERT_EQ(0, unlink((fs + "/f").c_str()));

  // The front end's own operations show in the trace when ENTER and EXIT are on.
  const auto expectTraced = [](const std::string& trace, std::initializer_list<const char*> ops) {
    for (const char* op : ops) {
      EXPECT_TRUE(contains(trace, std::string("ENTER =====> Migundelete::") + op + "()\n")) << op << "\n" << trace;
      EXPECT_TRUE(contains(trace, std::string("EXIT  <===== Migundelete::") + op + "()\n")) << op;
    }
  };
  const std::string helpTrace = bed->work() + "/help.trc", runTrace = bed->work() + "/run.trc";
  Result help = bed->run({"-tracefile=" + helpTrace, "-traceflags=ENTER EXIT", fs, "-help", "-X"});
  EXPECT_EQ(0, help.status) << help.err;
  expectTraced(kmrtest::readFile(helpTrace), {"interpreteCommandParameters", "processHelp"});
  EXPECT_FALSE(lexists(fs + "/f")) << "help runs nothing";
  EXPECT_FALSE(contains(help.out, "Recreating"));
  // An empty line, then the usage text, both on standard output.
  EXPECT_TRUE(contains(help.out, "\n\nBQF9322I Usage: kmrmigundelete [-DETAIL] [-EXPIRING] [-RECOVER] [-HELP] [file system]"))
      << help.out;
  EXPECT_FALSE(contains(help.err, "Usage:")) << help.err;

  // Refused command lines: status 1, the reason, and nothing recreated.
  struct Refused {
    std::vector<std::string> args;
    std::string says;  // in standard output or error
  };
  for (const Refused& k : {Refused{{"-X"}, "The option or parameter '-X' is not valid."},
                           Refused{{"-DETAIL", "-detail", fs}, "The option or parameter '-detail' is not valid."},
                           Refused{{"/no/such/fs"}, "File system '/no/such/fs' is not managed by HSM."},
                           Refused{{"/"}, "File system '/' is not managed by HSM."}}) {
    Result r = bed->run(k.args);
    EXPECT_EQ(1, r.status) << k.args[0];
    EXPECT_TRUE(contains(r.out + r.err, k.says)) << r.out << r.err;
    EXPECT_FALSE(lexists(fs + "/f"));
  }

  Result nobody = [&] {
    auto spec = bed->command({fs});
    spec.asUser = "65534";  // nobody
    return e2e::Run(spec);
  }();
  EXPECT_EQ(1, nobody.status) << nobody.out << nobody.err;
  EXPECT_TRUE(contains(nobody.err, "This command must be run by the super-user (root).")) << nobody.err;
  EXPECT_FALSE(lexists(fs + "/f"));

  // Trace options are never file system names; the run still happens.
  Result traced = bed->run({"-TRACEFILE=" + runTrace, "-traceflags=ENTER EXIT", fs});
  EXPECT_EQ(0, traced.status) << traced.out << traced.err;
  EXPECT_TRUE(lexists(fs + "/f"));
  EXPECT_FALSE(contains(traced.out + traced.err, "is not valid")) << traced.err;
  expectTraced(kmrtest::readFile(runTrace),
               {"interpreteCommandParameters", "isFileSystemValid", "startMigundelete", "initSignalHandling"});
}

// ---------------------------------------------------------------------------
// Managed file systems that the checks refuse: each is reported and skipped,
// the walk goes on with the others and the command ends with 0.

// A file system runs only with recall and migration both active: its state
// file's "VOQStat" holds one word per flag (recall at 0, migration at 4).
// Writes `active` (as read from it) with the word at `inactiveWord` cleared
// (none when it is beyond the flags).
void setFlagWords(const std::string& fs, const std::vector<uint8_t>& active, size_t inactiveWord) {
  std::vector<uint8_t> state = active;
  if (inactiveWord < 8) std::memset(state.data() + inactiveWord, 0, 4);
  ASSERT_EQ(0, setxattr((fs + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat", state.data(), state.size(), 0));
}

TEST_F(CommandTest, RefusedFileSystemsAreReportedAndTheWalkGoesOn) {
  bed->startServer();
  std::vector<std::string> all;
  for (int i = 0; i < 3; ++i) {
    all.push_back(bed->mountManaged());
    makeFile(all.back() + "/f", 2000 + i, 0, 0, 0644, 1500000000, 1600000000);
    migrate(all.back());
    ASSERT_EQ(0, unlink((all.back() + "/f").c_str()));
  }
  std::sort(all.begin(), all.end());
  // The first in the walk is mounted and managed but its HSM is inactive; the
  // second has lost its state (no longer managed); the last is fine.
  const std::string inactive = all[0], stateless = all[1], good = all[2];
  std::vector<uint8_t> active(1020);
  ASSERT_EQ(1020, getxattr((inactive + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat", active.data(), 1020));
  setFlagWords(inactive, active, 4);
  ASSERT_EQ(0, lremovexattr((stateless + "/.Tarnveld/dmiFSState").c_str(), "trusted.dmapi.VOQStat"));

  Result walk = bed->run({});
  EXPECT_EQ(0, walk.status) << walk.out << walk.err;
  EXPECT_TRUE(contains(walk.out, "BQF9099E kmrmigundelete: HSM is not active on file system '" + inactive + "'.\n"))
      << walk.out;
  EXPECT_TRUE(contains(walk.out, "BQF9085E kmrmigundelete: File system '" + stateless + "' is not managed by HSM.\n"))
      << walk.out;
  EXPECT_FALSE(contains(walk.out + walk.err, "is not mounted")) << walk.out << walk.err;
  EXPECT_FALSE(lexists(inactive + "/f"));
  EXPECT_FALSE(lexists(stateless + "/f"));
  EXPECT_TRUE(lexists(good + "/f")) << "the walk stopped at a refused file system";
  EXPECT_TRUE(contains(walk.out, "1 objects have been updated on the server.")) << walk.out;

  // Named, with recall inactive instead: reported, and no failure of the run.
  setFlagWords(inactive, active, 0);
  Result named = bed->run({inactive});
  EXPECT_EQ(0, named.status) << "a named file system that is not valid is no failure of the run";
  EXPECT_TRUE(contains(named.out, "HSM is not active on file system '" + inactive + "'.")) << named.out;
  EXPECT_FALSE(lexists(inactive + "/f"));
  setFlagWords(inactive, active, 8);
  EXPECT_EQ(0, bed->run({inactive}).status);
  EXPECT_TRUE(lexists(inactive + "/f"));
}

// A large run without trace options: the error log holds the numbered
// warnings and errors of the run and nothing else (no verb or connection
// diagnostics, which would add a line per object).

// "MM/DD/YY[YY] HH:MM:SS BQFnnnnX text" with X one of W, E, S, L: a dated
// entry of a numbered message of a severity that belongs in the error log.
bool isLoggedWarningOrError(const std::string& line) {
  char id[16] = {};
  int end = 0;
  if (sscanf(line.c_str(), "%*2d/%*2d/%*4d %*2d:%*2d:%*2d BQF%15[0-9WESL]%n", id, &end) != 1 || end == 0)
    return false;
  size_t n = strlen(id);
  return (n == 5 || n == 6) && strspn(id, "0123456789") == n - 1 && strchr("WESL", id[n - 1]) != nullptr &&
         line[end] == ' ';
}
TEST_F(CommandTest, ErrorLogOfALargeRunHoldsOnlyWarningsAndErrors) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  generated(fs, 20000);
  importRecords(fs, R"({"alias":"relative/name","size":10,"mtime":1600000000})" "\n");

  Result r = bed->run({fs});
  EXPECT_EQ(0, r.status) << r.err.substr(0, 2000);
  EXPECT_TRUE(contains(r.out, "20000 objects have been updated on the server.")) << r.out.substr(0, 2000);
  const std::string log = kmrtest::readFile(bed->work() + "/log/kmrerror.log");
  std::stringstream lines(log);
  size_t n = 0;
  for (std::string line; std::getline(lines, line); ++n)
    EXPECT_TRUE(isLoggedWarningOrError(line)) << "not a numbered warning or error: " << line;
  EXPECT_EQ(1u, n) << log.substr(0, 2000);
  EXPECT_TRUE(contains(log, "BQF9334W The migrated object has the invalid path 'relative/name' and is skipped.")) << log;
}

// ---------------------------------------------------------------------------
// Objects the command must refuse, and the progress lines.

// The node's password from the client's store: a refused one is removed,
// and a password given otherwise is stored after it was accepted. (A store
// others could read or swap is refused by the store itself: see its unit
// tests.)
TEST_F(CommandTest, SignsOnWithThePasswordFromItsPrivateStore) {
  bed->startServer();
  const std::string fs = bed->mountManaged("tmpfs");
  makeFile(fs + "/f", 3000, 0, 0, 0644, 1500000000, 1600000000);
  migrate(fs);
  ASSERT_EQ(0, unlink((fs + "/f").c_str()));
  const std::string store = bed->passwordDir() + "/kmr.pwd";
  const std::string header = "# kmr password store: server<TAB>node<TAB>password in hexadecimal\n";

  // "wrong" in hexadecimal; another server's record stays as it is.
  bed->writePasswordStore("OTHER\tE2ENODE\t6f74686572\nZEF\tE2ENODE\t77726f6e67\n");
  Result wrong = bed->run({fs});
  EXPECT_NE(0, wrong.status);
  EXPECT_TRUE(contains(wrong.out + wrong.err, "return code 51")) << wrong.out << wrong.err;
  EXPECT_FALSE(lexists(fs + "/f"));
  EXPECT_EQ(kmrtest::readFile(store), header + "OTHER\tE2ENODE\t6f74686572\n") << "the refused record is removed";

  // The right record: the run signs on and recreates the stub.
  bed->writePasswordStore("ZEF\tE2ENODE\t6532652050613535776f7264\n");  // "e2e Pa55word"
  Result ok = bed->run({fs});
  EXPECT_EQ(0, ok.status) << ok.out << ok.err;
  EXPECT_TRUE(lexists(fs + "/f"));

  // No record, the password in the system option file: it is accepted and
  // then kept in the store, mode 0600.
  ASSERT_EQ(0, unlink(store.c_str()));
  ASSERT_EQ(0, unlink((fs + "/f").c_str()));
  const std::string sys = bed->work() + "/inst/kmr.sys";
  kmrtest::writeFile(sys, kmrtest::readFile(sys) + "  PASSWORD \"e2e Pa55word\"\n");
  Result fromOption = bed->run({fs});
  EXPECT_EQ(0, fromOption.status) << fromOption.out << fromOption.err;
  EXPECT_TRUE(lexists(fs + "/f"));
  EXPECT_EQ(kmrtest::readFile(store), header + "ZEF\tE2ENODE\t6532652050613535776f7264\n");
  struct stat st {};
  ASSERT_EQ(0, lstat(store.c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(CommandTest, BadAliasesAreSkippedAndAnEmptyObjectLeavesNothing) {
  bed->startServer();
  const std::string fs = bed->mountManaged();
  const std::string lines =
      R"({"alias":"/","size":10,"mtime":1600000000})"
      "\n"
      R"({"alias":"relative/name","size":10,"mtime":1600000000})"
      "\n"
      R"({"path":"/zero","size":0,"mtime":1600000000})"
      "\n"
      R"({"path":"/good","size":8192,"uid":7,"gid":8,"mode":33152,"atime":1500000000,"mtime":1600000000})"
      "\n";
  auto before = importRecords(fs, lines);

  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << "the empty object's stub failed" << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "The migrated object has the invalid path '/' and is skipped.")) << r.err;
  EXPECT_TRUE(contains(r.err, "The migrated object has the invalid path 'relative/name' and is skipped.")) << r.err;
  EXPECT_TRUE(contains(r.err, "Creating the stub file '" + fs + "/zero' failed in lseek()")) << r.err;
  EXPECT_FALSE(lexists(fs + "/zero")) << "a failed recreation leaves nothing behind";
  EXPECT_FALSE(lexists(fs + "relative/name"));
  EXPECT_TRUE(contains(r.out, "1 objects have been updated on the server.")) << r.out;
  auto good = bed->record(fs, "/good");
  ASSERT_TRUE(good);
  EXPECT_EQ("", e2e::StubDifferences(fs + "/good", before["/good"]));
  EXPECT_EQ("", recordDifferences(fs + "/good", before["/good"], *good));
}

TEST_F(CommandTest, ProgressLinesEveryThousandObjectsWithDetailOnly) {
  bed->startServer();
  const std::string big = bed->mountManaged();
  const std::string small = bed->mountManaged();
  generated(big, 2000);
  generated(small, 999);

  Result r = bed->run({"-DETAIL", big});
  EXPECT_EQ(0, r.status) << r.err.substr(0, 2000);
  EXPECT_EQ(1u, countOf(r.out, "1000 objects processed so far.")) << r.out.substr(0, 2000);
  EXPECT_EQ(1u, countOf(r.out, "2000 objects processed so far."));
  EXPECT_EQ(2u, countOf(r.out, "objects processed so far."));
  EXPECT_TRUE(contains(r.out, "2000 objects have been updated on the server."));
  EXPECT_TRUE(lexists(big + "/gen/d00001/f00001999"));

  Result s = bed->run({"-DETAIL", small});
  EXPECT_EQ(0, s.status);
  EXPECT_EQ(0u, countOf(s.out, "objects processed so far.")) << "999 objects print no progress line";
  EXPECT_TRUE(contains(s.out, "999 objects have been updated on the server."));

  Result quiet = bed->run({"-RECOVER", big});
  EXPECT_EQ(0, quiet.status);
  EXPECT_EQ(0u, countOf(quiet.out, "objects processed so far.")) << "no progress without -DETAIL";
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
    bed->startServer(opts);
    fs = bed->mountManaged();
    before = deletedStubs(fs, 40);
  }
  std::string fs;
  std::map<std::string, ObjectRecord> before;
};

bool firstStubReported(const std::string& out, const std::string&) { return contains(out, "was recreated."); }

TEST_F(SignalTest, InterruptDuringARunStopsAfterTheCurrentObject) {
  prepare({"--fault-delay-ms", "100"});
  auto spec = bed->command({"-DETAIL", fs});
  e2e::Child child(spec);
  ASSERT_TRUE(child.waitForOutput(firstStubReported)) << child.errSoFar();
  kill(child.pid(), SIGINT);
  Result r = child.wait();
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "The operation was stopped by the user or by a signal.")) << r.err;
  EXPECT_FALSE(contains(r.out, "have been updated on the server.")) << "no end messages after a stop";
  const size_t n = expectConsistent(*bed, fs, before);
  EXPECT_GE(n, 1u);
  EXPECT_LT(n, before.size()) << "the stop came after the last object";
}

TEST_F(SignalTest, InterruptBeforeTheFirstRunEndsWith255AndTouchesNothing) {
  prepare({});
  // A writer of the node's global state holds its lock: the file system
  // check before the first run waits (sleeping) until we act.
  const int lockFd = holdLock("/etc/vostra/Tarnveld/config/dmiFSGlobalState.pid");
  ASSERT_GE(lockFd, 0) << strerror(errno);
  e2e::Child child(bed->command({fs}));
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
  EXPECT_TRUE(contains(r.err, "The command was interrupted during its start.")) << r.err;
  for (const auto& [alias, rec] : before) EXPECT_FALSE(lexists(fs + alias)) << alias;
  EXPECT_EQ(0u, expectConsistent(*bed, fs, before));
}

TEST_F(SignalTest, BrokenQueryStreamEndsTheRunButKeepsTheUpdatesMade) {
  prepare({"--fault-query-close", "10"});
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "The communication with the server failed during the query of migrated objects."))
      << r.err;
  EXPECT_TRUE(contains(r.err, "The processing of file system '" + fs + "' failed.")) << r.err;
  EXPECT_FALSE(contains(r.out, "have been updated on the server."));
  const size_t n = expectConsistent(*bed, fs, before);
  EXPECT_EQ(10u, n) << "the ten objects answered before the break are recreated and recorded";
}

}  // namespace
