// A stub is created as root in a directory users write. What they plant on
// the way (links, FIFOs, a directory swapped after it was resolved, a file
// put at the name after ours) must never lead us outside the file system or
// make us remove someone else's file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "reconcile/stubfile.h"
#include "tests/support/hostile_tree.h"

namespace {

using kmrtest::lexists;
using kmrtest::slurp;

class StubFileTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    ASSERT_EQ(mkdir((mount + "/dir").c_str(), 0777), 0);
  }

  // The entry at `path` is a regular, empty file with mode 0600, made by us.
  void expectFreshStub(const std::string& path) {
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
  }

};

TEST_F(StubFileTest, AliasesThatCouldLeaveTheMountAreRefused) {
  for (const char* alias : {"", "/", "relative", "/dir/../x", "/..", "/./x", "/dir//x", "/dir/",
                            "/dir/.", "/dir/.."}) {
    EXPECT_FALSE(isAcceptableAlias(alias)) << alias;
    StubFile stub;
    errno = 0;
    EXPECT_EQ(stub.resolveParent(mount, alias), -1) << alias;
    EXPECT_EQ(errno, EINVAL) << alias;
  }
  EXPECT_TRUE(isAcceptableAlias("/dir/x"));
  EXPECT_TRUE(isAcceptableAlias("/..x/.y"));
}

TEST_F(StubFileTest, LinkInADirectoryComponentIsNotFollowed) {
  ASSERT_EQ(symlink(outside.c_str(), (mount + "/escape").c_str()), 0);
  ASSERT_EQ(symlink("/", (mount + "/dir/abs").c_str()), 0);
  StubFile stub;
  errno = 0;
  EXPECT_EQ(stub.resolveParent(mount, "/escape/precious"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(stub.resolveParent(mount, "/dir/abs/tmp/x"), -1);
  EXPECT_EQ(stub.create(), -1) << "nothing resolved, nothing created";
  EXPECT_EQ(slurp(victim), "root's data\n");
}

TEST_F(StubFileTest, PlantedLinkOrFifoAtTheNameIsReplacedNotOpened) {
  ASSERT_EQ(symlink(victim.c_str(), (mount + "/dir/a").c_str()), 0);
  ASSERT_EQ(mkfifo((mount + "/dir/b").c_str(), 0666), 0);
  for (const char* alias : {"/dir/a", "/dir/b"}) {
    StubFile stub;
    ASSERT_EQ(stub.resolveParent(mount, alias), 0) << alias;
    ASSERT_EQ(stub.create(), 0) << alias;
    EXPECT_NE(fcntl(stub.fd(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(write(stub.fd(), "x", 1), 1);
    EXPECT_EQ(stub.close(), 0);
    EXPECT_EQ(slurp(mount + alias), "x");
  }
  EXPECT_EQ(slurp(victim), "root's data\n");
}

TEST_F(StubFileTest, DirectoryAtTheNameStaysAndCreateFails) {
  ASSERT_EQ(mkdir((mount + "/dir/sub").c_str(), 0755), 0);
  std::ofstream(mount + "/dir/sub/kept") << "k";
  StubFile stub;
  ASSERT_EQ(stub.resolveParent(mount, "/dir/sub"), 0);
  errno = 0;
  EXPECT_EQ(stub.create(), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(slurp(mount + "/dir/sub/kept"), "k");
}

TEST_F(StubFileTest, DirectorySwappedForALinkAfterResolvingKeepsUsInside) {
  StubFile stub;
  ASSERT_EQ(stub.resolveParent(mount, "/dir/file"), 0);
  ASSERT_EQ(rename((mount + "/dir").c_str(), (mount + "/moved").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (mount + "/dir").c_str()), 0);
  ASSERT_EQ(stub.create(), 0);
  EXPECT_FALSE(lexists(outside + "/file"));
  expectFreshStub(mount + "/moved/file");
}

TEST_F(StubFileTest, FailedRecreationRemovesOnlyOurOwnFile) {
  {
    StubFile stub;
    ASSERT_EQ(stub.resolveParent(mount, "/dir/gone"), 0);
    ASSERT_EQ(stub.create(), 0);
    expectFreshStub(mount + "/dir/gone");
    stub.removeCreated();
    EXPECT_FALSE(lexists(mount + "/dir/gone"));
  }
  {
    // A failing close still leaves the created file to be removed.
    StubFile stub;
    ASSERT_EQ(stub.resolveParent(mount, "/dir/closed"), 0);
    ASSERT_EQ(stub.create(), 0);
    EXPECT_EQ(stub.close(), 0);
    stub.removeCreated();
    EXPECT_FALSE(lexists(mount + "/dir/closed"));
  }
  {
    // Someone moved our file away and put theirs at the name.
    StubFile stub;
    ASSERT_EQ(stub.resolveParent(mount, "/dir/taken"), 0);
    ASSERT_EQ(stub.create(), 0);
    ASSERT_EQ(rename((mount + "/dir/taken").c_str(), (mount + "/dir/ours").c_str()), 0);
    std::ofstream(mount + "/dir/taken") << "theirs";
    stub.removeCreated();
    EXPECT_EQ(slurp(mount + "/dir/taken"), "theirs");
  }
  {
    // Removing twice or without having created anything removes nothing.
    std::ofstream(mount + "/dir/other") << "other";
    StubFile stub;
    ASSERT_EQ(stub.resolveParent(mount, "/dir/other"), 0);
    stub.removeCreated();
    EXPECT_EQ(slurp(mount + "/dir/other"), "other");
  }
}

}  // namespace
