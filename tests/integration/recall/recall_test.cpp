// kmrrecalld end to end: stubs whose data lies on a real zefserverd, the
// daemon watching a loop ext4 in the test's private namespace, and the
// accesses a program makes. What is checked is what a user sees (the bytes,
// the error) and what the file is afterwards (stub, premigrated, resident).
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "hsmfs/recallgate.h"
#include "tests/support/recall_bed.h"
#include "zefserver/store.h"

namespace {

using e2e::Bed;
using e2e::Child;
using e2e::RunSpec;
using kmrtest::contains;
using recalltest::content;
using recalltest::readWhole;
using recalltest::State;
using recalltest::stateOf;

// The state of `path` once the daemon has worked on everything it was told
// of the file so far (its gate answers only then).
State settled(const std::string& fs, const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(0, askRecallGate(fs, fd));
  close(fd);
  return stateOf(path);
}

class RecallTest : public e2e::CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_GE(sodium_init(), 0);
    fs = serve("ext4");
    ASSERT_EQ(0, bed->zefadm({"add-filespace", Bed::kNode, fs}).status);
    fsId = zef::Store::open(bed->db())->findFileSpace(Bed::kNode, fs)->id;
  }
  void TearDown() override {
    // What the daemon said (a sanitizer's report included) tells why a case failed.
    if (daemon && HasFailure())
      ADD_FAILURE() << "daemon " << (daemon->hasEnded() ? "ended" : "runs") << "; its errors:\n" << daemon->errSoFar();
    daemon.reset();
  }

  // Makes `name` a stub of `data` (its path).
  std::string stub(const std::string& name, const std::string& data, mode_t mode = 0644) {
    EXPECT_EQ("", recalltest::makeStub(*bed, fs, fsId, name, data, mode));
    return fs + name;
  }
  // Starts the daemon (with TESTFLAGS `flag`:"`step`" when given; the
  // commands run later see no flag).
  void startDaemon(const std::string& flag = "", const char* step = "RECALLCHUNK") {
    setTestFlag(flag, step);
    daemon = recalltest::startDaemon(*bed, bed->work() + "/recall.trace");
    setTestFlag("", "");
    ASSERT_TRUE(daemon) << "the daemon serves nothing";
  }
  std::string errorLog() const { return kmrtest::readFile(bed->work() + "/log/kmrerror.log"); }
  // How many recalls the daemon started.
  size_t recalls() const { return e2e::countOf(kmrtest::readFile(bed->work() + "/recall.trace"), "recalling "); }

  std::string fs;
  uint32_t fsId = 0;
  std::unique_ptr<Child> daemon;
};

// Each way a program reaches a file's data: what it gets, what the file
// holds afterwards, and the state it is left in.
struct AccessCase {
  const char* name;
  int openFlags;
  // Runs the access on `fd` (open with `openFlags`) of `size` bytes;
  // returns what the program read ("" for none).
  std::function<std::string(int fd, size_t size)> access;
  // What the file holds afterwards, from the original bytes.
  std::function<std::string(const std::string& original)> after;
  State state;
};

std::string same(const std::string& s) { return s; }
std::string bytesOf(const std::string& b, ssize_t n) { return n > 0 ? b.substr(0, static_cast<size_t>(n)) : ""; }
// What `move(in, out, left)` copies of `in` into a new file beside it (a
// copy between file systems may be refused), read back.
template <typename Move>
std::string copied(int in, size_t size, Move move) {
  const std::string copy = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(in)).string() + ".copy";
  const int out = open(copy.c_str(), O_CREAT | O_RDWR, 0600);
  for (size_t left = size; left > 0;) {
    const ssize_t n = move(in, out, left);
    if (n <= 0) break;
    left -= static_cast<size_t>(n);
  }
  std::string b(size, '\0');
  const ssize_t n = pread(out, b.data(), size, 0);
  close(out);
  return bytesOf(b, n);
}

const AccessCase kAccessCases[] = {
    {"read", O_RDONLY, [](int fd, size_t size) { std::string b(size, '\0'); return bytesOf(b, read(fd, b.data(), size)); },
     same, State::kPremigrated},
    {"pread", O_RDONLY,
     [](int fd, size_t size) { std::string b(100, '\0'); return bytesOf(b, pread(fd, b.data(), 100, size / 2)); },
     [](const std::string& o) { return o.substr(o.size() / 2, 100); }, State::kPremigrated},
    {"readv", O_RDONLY,
     [](int fd, size_t size) {
       std::string a(size / 3, '\0'), b(size - size / 3, '\0');
       struct iovec v[2] = {{a.data(), a.size()}, {b.data(), b.size()}};
       return readv(fd, v, 2) == static_cast<ssize_t>(size) ? a + b : "short";
     },
     same, State::kPremigrated},
    {"mmap read", O_RDONLY,
     [](int fd, size_t size) {
       void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
       if (m == MAP_FAILED) return std::string("mmap failed");
       std::string s(static_cast<const char*>(m), size);
       munmap(m, size);
       return s;
     },
     same, State::kPremigrated},
    {"mmap write", O_RDWR,
     [](int fd, size_t size) {
       char* m = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
       if (m == MAP_FAILED) return std::string("mmap failed");
       m[5] = '#';
       msync(m, size, MS_SYNC);
       munmap(m, size);
       return std::string();
     },
     [](const std::string& o) { return o.substr(0, 5) + "#" + o.substr(6); }, State::kResident},
    {"write", O_RDWR, [](int fd, size_t) { return pwrite(fd, "NEW", 3, 10) == 3 ? "" : "no write"; },
     [](const std::string& o) { return o.substr(0, 10) + "NEW" + o.substr(13); }, State::kResident},
    {"truncate by name", O_RDWR,
     [](int fd, size_t size) {
       return truncate(("/proc/self/fd/" + std::to_string(fd)).c_str(), static_cast<off_t>(size / 2)) ? "failed" : "";
     },
     [](const std::string& o) { return o.substr(0, o.size() / 2); }, State::kResident},
    {"fallocate", O_RDWR, [](int fd, size_t size) { return fallocate(fd, 0, static_cast<off_t>(size), 4096) ? "failed" : ""; },
     [](const std::string& o) { return o + std::string(4096, '\0'); }, State::kResident},
    {"sendfile", O_RDONLY,
     [](int fd, size_t size) { return copied(fd, size, [](int in, int out, size_t n) { return sendfile(out, in, nullptr, n); }); },
     same, State::kPremigrated},
    {"splice", O_RDONLY,
     [](int fd, size_t size) {
       int pipes[2];
       if (pipe(pipes) != 0 || fcntl(pipes[1], F_SETPIPE_SZ, static_cast<int>(size)) < static_cast<int>(size))
         return std::string("no pipe");
       std::string b(size, '\0');
       const ssize_t moved = splice(fd, nullptr, pipes[1], nullptr, size, 0);
       const ssize_t n = moved == static_cast<ssize_t>(size) ? read(pipes[0], b.data(), size) : -1;
       close(pipes[0]), close(pipes[1]);
       return bytesOf(b, n);
     },
     same, State::kPremigrated},
    {"copy_file_range", O_RDONLY,
     [](int fd, size_t size) {
       return copied(fd, size, [](int in, int out, size_t n) { return copy_file_range(in, nullptr, out, nullptr, n, 0); });
     },
     same, State::kPremigrated},
    // The kernel announces no truncation of an open with O_TRUNC: the write
    // after it finds an empty stub, which becomes an empty resident file.
    {"O_TRUNC, then write", O_WRONLY | O_TRUNC,
     [](int fd, size_t) { return write(fd, "fresh", 5) == 5 ? "" : "no write"; },
     [](const std::string&) { return std::string("fresh"); }, State::kResident},
};

TEST_F(RecallTest, EveryAccessPathGetsTheOriginalBytesAndLeavesTheRightStateAndLooksRecallNothing) {
  const size_t size = 200000;  // several server chunks, pages and blocks
  std::vector<std::string> paths;
  for (size_t i = 0; i < std::size(kAccessCases); ++i)
    paths.push_back(stub("/case" + std::to_string(i), content(size, static_cast<unsigned>(i))));
  const std::string resident = fs + "/resident";
  kmrtest::writeFile(resident, "plain file\n");
  startDaemon();
  // Looks at metadata, and a resident file's data, recall nothing.
  struct stat st;
  char b[256];
  for (const std::string& p : paths)
    EXPECT_TRUE(stat(p.c_str(), &st) == 0 && st.st_size == size && getxattr(p.c_str(), "trusted.dmapi.VOQObj", b, 256) > 0);
  EXPECT_EQ(0, kmrtest::runShell("ls -l " + fs + " >/dev/null"));
  // The first read excuses the file, the second raises no event (the gate
  // asked last drops the excuse, as it does for a stub maker).
  EXPECT_EQ("plain file\n", readWhole(resident));
  EXPECT_EQ("plain file\n", readWhole(resident));
  EXPECT_EQ(State::kResident, settled(fs, resident));
  EXPECT_EQ(0u, recalls()) << "a look at metadata or a resident file's data recalled";
  EXPECT_EQ(1u, e2e::countOf(kmrtest::readFile(bed->work() + "/recall.trace"), " on " + resident + "\n"))
      << "a resident file raised an event after its first";
  for (size_t i = 0; i < std::size(kAccessCases); ++i) {
    const AccessCase& c = kAccessCases[i];
    SCOPED_TRACE(c.name);
    const std::string original = content(size, static_cast<unsigned>(i));
    const int fd = open(paths[i].c_str(), c.openFlags);
    const std::string got = c.access(fd, size);
    close(fd);
    EXPECT_TRUE(got == (c.openFlags == O_RDONLY ? c.after(original) : ""))
        << "the program read other bytes than the original";
    EXPECT_EQ(c.state, settled(fs, paths[i]));
    EXPECT_TRUE(readWhole(paths[i]) == (c.name == std::string("pread") ? original : c.after(original)))
        << "the file holds other bytes";
  }
  EXPECT_EQ(std::size(kAccessCases), recalls());
}

TEST_F(RecallTest, ARecalledProgramRuns) {
  const std::string prog = stub("/prog", "#!/bin/sh\necho recalled program ran\n", 0755);
  startDaemon();
  std::string out;
  EXPECT_EQ(0, kmrtest::runShell(prog, &out));
  EXPECT_EQ("recalled program ran\n", out);
  EXPECT_EQ(State::kPremigrated, stateOf(prog));
}

TEST_F(RecallTest, ConcurrentReadersWaitForOneRecallAndAllSeeTheData) {
  const std::string data = content(300000, 3);
  const std::string path = stub("/shared", data);
  startDaemon("PAUSEATSTEP");
  std::vector<std::thread> readers;
  std::vector<std::string> got(6);
  readers.emplace_back([&] { got[0] = readWhole(path); });
  ASSERT_TRUE(e2e::WaitStopped(daemon->pid())) << "the daemon never reached the recall";
  // The first recall is under way: these accesses join it.
  for (size_t i = 1; i < got.size(); ++i) readers.emplace_back([&, i] { got[i] = readWhole(path); });
  kill(daemon->pid(), SIGCONT);
  for (std::thread& t : readers) t.join();
  for (const std::string& g : got) EXPECT_TRUE(g == data);
  EXPECT_EQ(1u, recalls());
}

// A recall that cannot be done fails the access with EIO and a message,
// gives the reader nothing and leaves a stub without data; once the cause is
// gone the next access recalls.
TEST_F(RecallTest, AFailedRecallFailsTheAccessWithEioAndTheNextAccessAfterTheCauseIsGoneRecalls) {
  // Byte 100 of every data file of the server changed to 0x7f (no byte of
  // content() has that value), or put back.
  std::map<std::string, char> saved;
  auto damage = [&](bool damaged) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(bed->work() + "/data")) {
      if (!e.is_regular_file() || e.path().filename() == ".lock") continue;
      std::fstream f(e.path(), std::ios::in | std::ios::out | std::ios::binary);
      if (damaged) saved[e.path()] = static_cast<char>(f.seekg(100).get());
      f.seekp(100).put(damaged ? '\x7f' : saved[e.path()]);
    }
  };
  const struct {
    const char* what;
    const char* message;
    std::function<void()> cause, cure;
  } cases[] = {
      // The new server listens where the options (read by the daemon at its
      // start) say only if it gets the same port: the daemon restarts with them.
      {"server down", "BQF9853E", [&] { bed->stopServer(); },
       [&] { bed->startServer(), daemon.reset(), startDaemon(); }},
      {"damaged server data", "BQF9854E", [&] { damage(true); }, [&] { damage(false); }},
  };
  const size_t size = (3 << 20) + 5;  // three 1 MiB chunks and a tail
  std::vector<std::string> paths;
  for (unsigned i = 0; i < std::size(cases); ++i)
    paths.push_back(stub("/failed" + std::to_string(i), content(size, i)));
  startDaemon();
  for (unsigned i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].what);
    cases[i].cause();
    int err = 0;
    EXPECT_TRUE(readWhole(paths[i], &err).empty()) << "the reader got bytes of a stub";
    EXPECT_EQ(EIO, err);
    EXPECT_EQ(State::kStub, stateOf(paths[i]));
    EXPECT_THAT(errorLog(), ::testing::HasSubstr(cases[i].message));
    struct stat st;
    ASSERT_EQ(0, stat(paths[i].c_str(), &st));
    EXPECT_LE(st.st_blocks, 8) << "the failed recall left data in the stub";
    cases[i].cure();
    EXPECT_TRUE(readWhole(paths[i]) == content(size, i));
    EXPECT_EQ(State::kPremigrated, stateOf(paths[i]));
  }
}

TEST_F(RecallTest, ADaemonKilledInTheMiddleOfARecallLeavesAStubThatTheNextOneRecalls) {
  // Three 1 MiB chunks and a tail: pieces written on the writer's thread.
  const std::string data = content((3 << 20) + 5, 7);
  const std::string path = stub("/killed", data);
  startDaemon("KILLATSTEP");
  // The kernel lets the waiting access go when the daemon dies; what it read
  // then is not the point here, the file is.
  std::thread reader([&] { readWhole(path); });
  daemon->wait();
  reader.join();
  EXPECT_EQ(State::kStub, stateOf(path));
  startDaemon();
  EXPECT_TRUE(readWhole(path) == data);
  EXPECT_EQ(State::kPremigrated, stateOf(path));
}

// A managed tmpfs gives no events: it is named at start, the others are
// served, and one made managed later is served after SIGHUP.
TEST_F(RecallTest, TmpfsIsNamedAtStartAndAFileSystemManagedLaterIsServedAfterSighup) {
  const std::string tmp = bed->mountManaged("tmpfs"), served = stub("/served", content(1000, 8));
  startDaemon();
  EXPECT_TRUE(daemon->waitForOutput([](const std::string&, const std::string& e) { return contains(e, "BQF9851E"); }));
  EXPECT_THAT(daemon->errSoFar(), ::testing::HasSubstr(tmp + " cannot be watched for recalls: its file system (tmpfs)"));
  const std::string later = bed->mountManaged("ext4");
  ASSERT_EQ(0, bed->zefadm({"add-filespace", Bed::kNode, later}).status);
  const uint32_t laterId = zef::Store::open(bed->db())->findFileSpace(Bed::kNode, later)->id;
  ASSERT_EQ("", recalltest::makeStub(*bed, later, laterId, "/late", content(3000, 10)));
  kill(daemon->pid(), SIGHUP);
  ASSERT_TRUE(daemon->waitForOutput([](const std::string& o, const std::string&) { return e2e::countOf(o, "BQF9850I") > 1; }));
  EXPECT_THAT(daemon->outSoFar(), ::testing::HasSubstr(later));
  EXPECT_TRUE(readWhole(later + "/late") == content(3000, 10));
  EXPECT_TRUE(readWhole(served) == content(1000, 8));
}

// Files read while resident, then migrated while the daemon runs, by
// kmrmigrate and by zefadm: the migrators' own punches and closes are no
// user's writes, so each file stays a stub until it is read, and then comes
// back premigrated with its original bytes, never resident and never zeros.
TEST_F(RecallTest, FilesMigratedWhileTheDaemonRunsStayStubsAndComeBackPremigrated) {
  const std::vector<std::pair<std::string, std::string>> files = {{fs + "/migrated", content(70000, 12)},
                                                                  {fs + "/inplace", content(20000, 11)}};
  for (const auto& [path, data] : files) kmrtest::writeFile(path, data);
  startDaemon();
  for (const auto& [path, data] : files) EXPECT_TRUE(readWhole(path) == data);  // seen resident: excused
  e2e::RunSpec spec = bed->command({files[0].first});
  spec.argv[0] = KMRMIGRATE_PATH;
  ASSERT_EQ(0, e2e::Run(spec).status);
  ASSERT_EQ(0, bed->zefadm({"migrate", Bed::kNode, fs}).status);
  for (const auto& [path, data] : files) {
    EXPECT_EQ(State::kStub, stateOf(path)) << path;
    // Both migrators asked the daemon to drop the file's marks before they
    // punched: the first read recalls.
    EXPECT_TRUE(readWhole(path) == data) << path << ": the stub stayed excused from recall";
    EXPECT_EQ(State::kPremigrated, stateOf(path)) << path;
  }
  EXPECT_EQ(2u, e2e::countOf(kmrtest::readFile(bed->work() + "/recall.trace"), "marks dropped for a stub maker"));
}

// A daemon that does not answer its gate (it stops there) may still excuse
// the file: a migration leaves it premigrated, whole, and says why; a stub
// that kmrmigundelete brings back gets no name.
TEST_F(RecallTest, StubMakersWhoseDaemonDoesNotAnswerMakeNoStub) {
  const std::string path = fs + "/waits", gone = fs + "/gone", data = content(30000, 13);
  kmrtest::writeFile(path, data);
  kmrtest::writeFile(gone, data);
  e2e::RunSpec migrate = bed->command({gone});
  migrate.argv[0] = KMRMIGRATE_PATH;
  ASSERT_EQ(0, e2e::Run(migrate).status);  // no daemon yet
  ASSERT_EQ(0, unlink(gone.c_str()));
  startDaemon("PAUSEATSTEP", "RECALLGATE");
  ASSERT_TRUE(readWhole(path) == data);  // excused
  migrate.argv.back() = path;
  const e2e::Result r = e2e::Run(migrate);
  EXPECT_NE(0, r.status);
  EXPECT_THAT(r.err, ::testing::HasSubstr("BQF9859E"));
  EXPECT_EQ(State::kPremigrated, stateOf(path));  // as the migration left it
  kill(daemon->pid(), SIGCONT);
  EXPECT_TRUE(readWhole(path) == data);
  daemon.reset();
  startDaemon("PAUSEATSTEP", "RECALLGATE");
  Child undelete(bed->command({fs}));
  ASSERT_TRUE(undelete.waitForOutput([](const std::string&, const std::string& e) { return contains(e, "askRecallGate"); }))
      << undelete.errSoFar();
  EXPECT_NE(0, access(gone.c_str(), F_OK)) << "the stub got its name unasked";
  kill(daemon->pid(), SIGCONT);
  EXPECT_NE(0, undelete.wait().status);
}

}  // namespace
