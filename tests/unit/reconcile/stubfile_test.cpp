// A stub is built as root in a directory users write and put in place with
// one rename. What they plant on the way (links, FIFOs, a directory swapped
// after it was resolved) must never lead us outside the file system
// or cost anyone a file. (A link or mount in a directory component, and a
// file put at the name after it was looked at, are met by the command's
// end-to-end tests and the safe-open tests.)
#include <fcntl.h>

#include "reconcile/stubfile.h"
#include "tests/support/hostile_tree.h"
#include "tests/support/xattr.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {

using kmrtest::lexists;
using kmrtest::readFile;

const std::string kHex(56, 'A');
const std::string kTemp = std::string(".kmrstub.") + std::string(56, 'A');

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
  EXPECT_FALSE(lexists(mount + "/dir/" + kTemp)) << "a free name needs no temporary";
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
  EXPECT_FALSE(lexists(mount + "/dir/" + kTemp)) << "the replaced file is gone";

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
  for (const std::string& name : std::vector<std::string>{"/one", "/two", "/a", "/b", "/x", "/" + kTemp})
    EXPECT_FALSE(lexists(outside + name)) << name;
}

TEST_F(StubFileTest, StaleTemporaryGoesOnlyWhenItCarriesOurMarkerForThisObject) {
  {
    // What a run killed before it replaced an older file leaves: the marked
    // temporary. A second name keeps it while this object discards its own.
    put("/dir/f", "older");
    StubFile crashed;
    build(crashed, "/dir/f");
    EXPECT_EQ(kHex, kmrtest::rawXattr(mount + "/dir/" + kTemp, kStubTempMarker));
    ASSERT_EQ(link((mount + "/dir/" + kTemp).c_str(), (mount + "/keep").c_str()), 0);
  }
  ASSERT_EQ(link((mount + "/keep").c_str(), (mount + "/dir/" + kTemp).c_str()), 0);
  StubFile other;
  ASSERT_EQ(other.open(mount, "/dir/f", std::string(56, 'B')), 0);
  EXPECT_EQ(other.removeStaleTemporary(), 0) << "another object's name";
  StubFile rerun;
  ASSERT_EQ(rerun.open(mount, "/dir/f", kHex), 0);
  EXPECT_EQ(rerun.removeStaleTemporary(), 1);
  EXPECT_FALSE(lexists(mount + "/dir/" + kTemp));

  // A user's file, link or FIFO at the temporary name has no marker.
  for (int kind = 0; kind < 3; ++kind) {
    const std::string at = mount + "/dir/" + kTemp;
    if (kind == 0) put("/dir/" + kTemp, "user's");
    int made = kind == 1 ? symlink((mount + "/keep").c_str(), at.c_str())
                         : kind == 2 ? mkfifo(at.c_str(), 0666) : 0;
    ASSERT_EQ(made, 0);
    EXPECT_EQ(rerun.removeStaleTemporary(), 0) << kind;
    EXPECT_TRUE(lexists(at)) << kind;
    errno = 0;
    EXPECT_EQ(rerun.createTemporary(), -1) << kind;
    EXPECT_EQ(errno, EEXIST) << kind;
    ASSERT_EQ(unlink(at.c_str()), 0);
  }
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
  ASSERT_TRUE(lexists(mount + "/dir/" + kTemp)) << "an older file is replaced through the temporary";

  ASSERT_EQ(stub.open(mount, "/dir/b", std::string(56, 'B'), &dirs), 0);
  EXPECT_FALSE(lexists(mount + "/dir/" + kTemp)) << "the previous object's temporary goes";
  EXPECT_EQ(readFile(mount + "/dir/a-rather-long-name-of-an-older-file"), "older");
  EXPECT_EQ(stub.leaf(), "b");
  EXPECT_EQ(stub.tempName(), ".kmrstub.BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB");
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
