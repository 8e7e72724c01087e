// A stub is built as root in a directory users write and put in place with
// one rename. What they plant on the way (links, FIFOs, a directory swapped
// after it was resolved) must never lead us outside the file system
// or cost anyone a file. (A link or mount in a directory component, and a
// file put at the name after it was looked at, are met by the command's
// end-to-end tests and the safe-open tests.)
#include <dirent.h>
#include <fcntl.h>

#include <sys/mount.h>

#include <functional>

#include "common/trace.h"
#include "reconcile/stubfile.h"
#include "tests/support/hostile_tree.h"
#include "tests/support/private_mount.h"
#include "tests/support/xattr.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {

using kmrtest::lexists;
using kmrtest::readFile;

const std::string kHex(56, 'A');

// The names in `dir` that look like our temporaries.
std::vector<std::string> temporariesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (std::string(e->d_name).rfind(kStubTempPrefix, 0) == 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class StubFileTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    ASSERT_EQ(mkdir((mount + "/dir").c_str(), 0777), 0);
  }
  void put(const std::string& alias, const std::string& text) { std::ofstream(mount + alias) << text; }
  // Opens, looks and builds the temporary of `alias` with one byte "s".
  void build(StubFile& stub, const std::string& alias) {
    ASSERT_EQ(stub.open(mount, alias, kHex), 0) << alias;
    ASSERT_EQ(stub.look(nullptr), 0);
    ASSERT_EQ(stub.createTemporary(), 0);
    ASSERT_EQ(write(stub.fd(), "s", 1), 1);
  }
  // The errno of a refused open of `alias`; 0 when it is opened.
  int refusal(StubFile& stub, const std::string& alias, StubDirCache* dirs = nullptr) {
    errno = 0;
    return stub.open(mount, alias, kHex, dirs) == -1 ? errno : 0;
  }
};

TEST_F(StubFileTest, AliasesThatCouldLeaveTheMountAreRefused) {
  for (const char* alias : {"", "/", "relative", "/dir/../x", "/dir//x", "/dir/"}) {
    StubFile stub;
    EXPECT_EQ(refusal(stub, alias), EINVAL) << alias;
    EXPECT_EQ(stub.createTemporary(), -1) << "nothing resolved, nothing created";
  }
}

TEST_F(StubFileTest, FreeNameGetsTheStubByLinkOlderFileByRenameADirectoryNever) {
  StubFile stub;
  build(stub, "/dir/new");
  EXPECT_FALSE(lexists(mount + "/dir/new")) << "nothing at the name before the link";
  EXPECT_TRUE(temporariesIn(mount + "/dir").empty()) << "a free name needs no temporary";
  ASSERT_EQ(stub.commit(), 0);
  ASSERT_EQ(stub.unmark(), 0);
  EXPECT_EQ(readFile(mount + "/dir/new"), "s");
  EXPECT_FALSE(kmrtest::rawXattr(mount + "/dir/new", kStubTempMarker)) << "the marker goes with the commit";

  // An older file is replaced through the temporary.
  put("/dir/old", "old data");
  StubFile older;
  build(older, "/dir/old");
  EXPECT_TRUE(older.seen().present && older.seen().regular);
  ASSERT_EQ(older.commit(), 0);
  EXPECT_EQ(readFile(mount + "/dir/old"), "s");
  EXPECT_TRUE(temporariesIn(mount + "/dir").empty()) << "the replaced file is gone";

  // A directory is never replaced.
  ASSERT_EQ(mkdir((mount + "/dir/sub").c_str(), 0755), 0);
  StubFile dir;
  build(dir, "/dir/sub");
  errno = 0;
  EXPECT_EQ(dir.commit(), -1);
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(StubFileTest, LinkOrFifoAtTheNameIsReplacedNeverOpened) {
  ASSERT_EQ(symlink(victim.c_str(), (mount + "/dir/a").c_str()), 0);
  ASSERT_EQ(mkfifo((mount + "/dir/b").c_str(), 0666), 0);
  for (const char* alias : {"/dir/a", "/dir/b"}) {
    StubFile stub;
    build(stub, alias);
    EXPECT_NE(fcntl(stub.fd(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(stub.commit(), 0) << alias;
    EXPECT_EQ(readFile(mount + alias), "s");
  }
  expectVictimUntouched();
}

TEST_F(StubFileTest, KeptDirectoryOfADirectoryRunNeverLeadsOutside) {
  StubDirCache dirs;
  StubFile first;
  ASSERT_EQ(first.open(mount, "/dir/one", kHex, &dirs), 0);
  // The directory is swapped for a link while it is kept: the next stub of
  // the run, its temporary and its rename included, go where the directory
  // went, still beneath the mount.
  ASSERT_EQ(rename((mount + "/dir").c_str(), (mount + "/moved").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (mount + "/dir").c_str()), 0);
  StubFile second;
  ASSERT_EQ(second.open(mount, "/dir/two", kHex, &dirs), 0);
  EXPECT_EQ(second.dirFd(), first.dirFd()) << "one resolution per directory run";
  ASSERT_EQ(second.look(nullptr), 0);
  ASSERT_EQ(second.createTemporary(), 0);
  ASSERT_EQ(second.commit(), 0);
  EXPECT_TRUE(lexists(mount + "/moved/two"));
  EXPECT_FALSE(lexists(outside + "/two"));

  // Another directory is resolved afresh, links refused as ever.
  StubFile third;
  EXPECT_EQ(refusal(third, "/dir/sub/x", &dirs), ELOOP);

  // A kept directory that was removed is resolved again by its path: here
  // the path now holds the link, which is refused.
  ASSERT_EQ(unlink((mount + "/dir").c_str()), 0);
  ASSERT_EQ(mkdir((mount + "/gone").c_str(), 0777), 0);
  StubFile inGone;
  ASSERT_EQ(inGone.open(mount, "/gone/a", kHex, &dirs), 0);
  ASSERT_EQ(rmdir((mount + "/gone").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (mount + "/gone").c_str()), 0);
  StubFile again;
  EXPECT_EQ(refusal(again, "/gone/b", &dirs), ELOOP);
  expectVictimUntouched();
  for (const std::string& name : std::vector<std::string>{"/one", "/two", "/a", "/b", "/x"})
    EXPECT_FALSE(lexists(outside + name)) << name;
  EXPECT_TRUE(temporariesIn(outside).empty());
}

TEST_F(StubFileTest, StaleTemporaryGoesOnlyWhenItCarriesOurMarkerForThisObject) {
  std::string temp;
  {
    // What a run killed before it replaced an older file leaves: the marked
    // temporary. A second name keeps it while this object discards its own.
    put("/dir/f", "older");
    StubFile crashed;
    build(crashed, "/dir/f");
    temp = "/dir/" + crashed.tempName();
    EXPECT_EQ(kHex, kmrtest::rawXattr(mount + temp, kStubTempMarker));
    ASSERT_EQ(link((mount + temp).c_str(), (mount + "/keep").c_str()), 0);
  }
  ASSERT_EQ(link((mount + "/keep").c_str(), (mount + temp).c_str()), 0);
  StubFile other;
  ASSERT_EQ(other.open(mount, "/dir/f", std::string(56, 'B')), 0);
  EXPECT_EQ(other.removeStaleTemporary(), 0) << "another object's temporary";
  StubDirCache dirs;
  StubFile rerun;
  ASSERT_EQ(rerun.open(mount, "/dir/f", kHex, &dirs), 0);
  std::string removed;
  EXPECT_EQ(rerun.removeStaleTemporary(&removed), 1);
  EXPECT_EQ("/dir/" + removed, temp);
  EXPECT_FALSE(lexists(mount + temp));
  EXPECT_EQ(rerun.removeStaleTemporary(), 0) << "one removal per temporary";

  // A user's file, link or FIFO under that name has no marker.
  for (int kind = 0; kind < 3; ++kind) {
    const std::string at = mount + temp;
    if (kind == 0) put(temp, "user's");
    int made = kind == 1 ? symlink((mount + "/keep").c_str(), at.c_str())
                         : kind == 2 ? mkfifo(at.c_str(), 0666) : 0;
    ASSERT_EQ(made, 0);
    StubFile again;
    ASSERT_EQ(again.open(mount, "/dir/f", kHex), 0);
    EXPECT_EQ(again.removeStaleTemporary(), 0) << kind;
    EXPECT_TRUE(lexists(at)) << kind;
    ASSERT_EQ(unlink(at.c_str()), 0);
  }
}

// After the exchange, the file now at the temporary name goes only when it
// is the one the decision saw: the same device, inode and modification
// time. Each case changes one of them between the look and the commit; the
// user's file must then be back at its name, whole.
TEST_F(StubFileTest, ReplacedFileGoesOnlyWhenDeviceInodeAndTimeAreTheOnesSeen) {
  ASSERT_TRUE(kmrtest::EnterPrivateMountNamespace()) << "needs root";
  const struct timespec kTimes[2] = {{1500000000, 0}, {1500000000, 0}};
  struct Case {
    const char* what;
    bool otherFsAtTheLook;  // another file system's "f" is mounted over it while looked at
    std::function<void(const std::string& f)> meanwhile;
  };
  const Case cases[] = {
      {"rewritten in place (same inode, newer time)", false,
       [](const std::string& f) { kmrtest::writeFile(f, "user's"); }},
      {"replaced by another file with the same time", false,
       [&](const std::string& f) {
         kmrtest::writeFile(f + ".new", "user's");
         utimensat(AT_FDCWD, (f + ".new").c_str(), kTimes, 0);
         rename((f + ".new").c_str(), f.c_str());
       }},
      {"same inode number and time on another file system", true, nullptr},
  };
  for (const Case& c : cases) {
    // Two fresh tmpfs number their inodes alike: "dir/f" has the same
    // inode number and time on both.
    kmrtest::ScratchMount here("tmpfs", 1), there("tmpfs", 1);
    for (const std::string& fs : {here.path(), there.path()}) {
      ASSERT_EQ(mkdir((fs + "/dir").c_str(), 0777), 0);
      kmrtest::writeFile(fs + "/dir/f", fs == here.path() ? "user's" : "older");
      ASSERT_EQ(utimensat(AT_FDCWD, (fs + "/dir/f").c_str(), kTimes, 0), 0);
    }
    const std::string f = here.path() + "/dir/f";
    if (c.otherFsAtTheLook) {
      ASSERT_EQ(::mount((there.path() + "/dir/f").c_str(), f.c_str(), nullptr, MS_BIND, nullptr), 0);
    }
    StubFile stub;
    ASSERT_EQ(stub.open(here.path(), "/dir/f", kHex), 0);
    ASSERT_EQ(stub.look(nullptr), 0);
    if (c.otherFsAtTheLook) {
      struct stat st {};
      ASSERT_EQ(umount2(f.c_str(), 0), 0);
      ASSERT_EQ(stat(f.c_str(), &st), 0);
      ASSERT_EQ(st.st_ino, stub.seen().ino) << "the two file systems numbered their inodes differently";
      ASSERT_NE(st.st_dev, stub.seen().dev);
    } else {
      c.meanwhile(f);
    }
    ASSERT_EQ(stub.createTemporary(), 0);
    errno = 0;
    EXPECT_EQ(stub.commit(), -1) << c.what;
    EXPECT_EQ(errno, ESTALE) << c.what;
    EXPECT_EQ(readFile(f), "user's") << c.what;
    stub.discard();
    EXPECT_TRUE(temporariesIn(here.path() + "/dir").empty()) << c.what;
  }
}

// Where the file system has no unnamed files, a stub for a free name is
// built under a temporary name: a file a user puts at the name meanwhile is
// never replaced.
TEST_F(StubFileTest, WithoutUnnamedFilesAFileThatAppearedAtAFreeNameIsKept) {
  TEST_NOUNNAMEDFILES.set = 1;
  struct Restore {
    ~Restore() { TEST_NOUNNAMEDFILES.set = 0; }
  } restore;
  StubFile stub;
  build(stub, "/dir/new");
  EXPECT_EQ(temporariesIn(mount + "/dir").size(), 1u) << "built under a named temporary";
  put("/dir/new", "user's");
  errno = 0;
  EXPECT_EQ(stub.commit(), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(readFile(mount + "/dir/new"), "user's");
  stub.discard();
  EXPECT_TRUE(temporariesIn(mount + "/dir").empty());
}

// A user who plants files at the names a temporary could take blocks no
// object: the name is drawn afresh for each temporary and says nothing of
// the object.
TEST_F(StubFileTest, PlantedTemporaryNamesBlockNothing) {
  const std::vector<std::string> planted = {std::string(kStubTempPrefix) + kHex,
                                            std::string(kStubTempPrefix) + std::string(56, 'a')};
  for (const std::string& name : planted) put("/dir/" + name, "user's");
  std::vector<std::string> names;
  for (int i = 0; i < 2; ++i) {
    put("/dir/f", "older");
    StubFile stub;
    build(stub, "/dir/f");
    EXPECT_EQ(stub.tempName().find(kHex), std::string::npos) << stub.tempName();
    names.push_back(stub.tempName());
    ASSERT_EQ(stub.commit(), 0);
    EXPECT_EQ(readFile(mount + "/dir/f"), "s");
  }
  EXPECT_NE(names[0], names[1]);
  for (const std::string& name : planted) EXPECT_EQ(readFile(mount + "/dir/" + name), "user's") << name;
}

// The command keeps one StubFile (and one directory cache) for the whole
// run: each open() starts from a clean state, removes what the previous
// object left, and no name of the previous object survives in the next.
TEST_F(StubFileTest, OneStubFileServesObjectAfterObjectWithNothingCarriedOver) {
  put("/dir/a-rather-long-name-of-an-older-file", "older");
  StubFile stub;
  StubDirCache dirs;
  ASSERT_EQ(stub.open(mount, "/dir/a-rather-long-name-of-an-older-file", kHex, &dirs), 0);
  ASSERT_EQ(stub.look(nullptr), 0);
  ASSERT_EQ(stub.createTemporary(), 0);
  ASSERT_EQ(temporariesIn(mount + "/dir").size(), 1u) << "an older file is replaced through the temporary";

  ASSERT_EQ(stub.open(mount, "/dir/b", std::string(56, 'B'), &dirs), 0);
  EXPECT_TRUE(temporariesIn(mount + "/dir").empty()) << "the previous object's temporary goes";
  EXPECT_EQ(readFile(mount + "/dir/a-rather-long-name-of-an-older-file"), "older");
  EXPECT_EQ(stub.leaf(), "b");
  EXPECT_EQ(stub.tempName(), "") << "no temporary named yet for this object";
  EXPECT_FALSE(stub.isOpen());
  EXPECT_FALSE(stub.seen().present) << "nothing looked at yet for this object";
  ASSERT_EQ(stub.look(nullptr), 0);
  ASSERT_EQ(stub.createTemporary(), 0);
  ASSERT_EQ(write(stub.fd(), "s", 1), 1);
  ASSERT_EQ(stub.commit(), 0);

  stub.reset();
  EXPECT_FALSE(stub.isResolved());
  EXPECT_EQ(stub.tempName(), "");
  EXPECT_EQ(readFile(mount + "/dir/b"), "s") << "a committed stub stays";
}

}  // namespace
