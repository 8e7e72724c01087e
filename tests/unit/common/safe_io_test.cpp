// The common guards of input and output: files opened only as regular files
// and never blocking, server text shown with its control characters escaped,
// and waits that an interrupt ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>
#include <string>

#include "common/interrupt.h"
#include "common/safeopen.h"
#include "common/showable.h"
#include "tests/support/hostile_tree.h"
#include "tests/unit/common/options_test_support.h"

namespace {

class SafeOpenTest : public kmrtest::HostileTreeTest {};

TEST_F(SafeOpenTest, OnlyRegularFilesAreOpenedAndNothingBlocks) {
  const std::string file = mount + "/kmr.sys", fifo = mount + "/fifo", dir = mount + "/dir";
  std::ofstream(file) << "SERVERNAME ZEF\n";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));

  std::string content;
  ASSERT_TRUE(clReadRegularFile(file.c_str(), LinkPolicy::kNoFollow, &content));
  EXPECT_EQ("SERVERNAME ZEF\n", content);
  // A FIFO nobody writes to: a plain open for reading would wait for ever.
  for (const std::string& p : {fifo, dir}) {
    errno = 0;
    EXPECT_FALSE(clReadRegularFile(p.c_str(), LinkPolicy::kFollowLinks, &content)) << p;
    EXPECT_EQ(EINVAL, errno) << p;
    EXPECT_EQ(nullptr, clFopenRegular(p.c_str(), "a", LinkPolicy::kFollowLinks)) << p;
  }
  EXPECT_LT(clOpenRegularBeneath(mount, "/fifo", O_WRONLY, 0), 0);
  EXPECT_EQ(EINVAL, errno);
  // A descriptor handed out reads in blocking mode again.
  int fd = clOpenRegular(file.c_str(), O_RDONLY, 0, LinkPolicy::kNoFollow);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);
}

TEST_F(SafeOpenTest, LinksAreFollowedOnlyWhereTheAdministratorMayHavePutThem) {
  const std::string link = mount + "/kmr.opt";
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  std::string content;
  EXPECT_FALSE(clReadRegularFile(link.c_str(), LinkPolicy::kNoFollow, &content));
  EXPECT_EQ(ELOOP, errno);
  EXPECT_EQ(nullptr, clFopenRegular(link.c_str(), "w", LinkPolicy::kNoFollow));
  EXPECT_LT(clOpenRegularBeneath(mount, "kmr.opt", O_RDONLY, 0), 0);
  ASSERT_TRUE(clReadRegularFile(link.c_str(), LinkPolicy::kFollowLinks, &content));
  EXPECT_EQ("root's data\n", content);
  expectVictimUntouched();
}

TEST(Showable, ControlCharactersAndBackslashesAreEscaped) {
  EXPECT_EQ("/hsm/data/plain name.txt", clShowable("/hsm/data/plain name.txt"));
  EXPECT_EQ("/a\\nBQF9316I forged", clShowable("/a\nBQF9316I forged"));
  EXPECT_EQ("\\033[2J\\t\\r\\000\\177", clShowable(std::string("\033[2J\t\r\0\177", 8)));
  EXPECT_EQ("a\\\\nb", clShowable("a\\nb"));  // a real backslash stays told apart
  EXPECT_EQ("\\302\\233x", clShowable("\xC2\x9Bx"));  // CSI as a C1 control
  EXPECT_EQ("caf\xC3\xA9 \xC2\xA0", clShowable("caf\xC3\xA9 \xC2\xA0"));  // text stays text
}

// The interrupt is for the life of the process, so each case has one.
TEST(InterruptibleWait, AnInterruptEndsAWaitAndEveryLaterOne) {
  opttest::ChildResult r = opttest::runChild([] {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) _exit(2);
    if (clPollInterruptible(sv[0], POLLIN, 0, nullptr) != 0) _exit(3);  // nothing to read yet
    [[maybe_unused]] ssize_t w = write(sv[1], "x", 1);
    short rev = 0;
    if (clPollInterruptible(sv[0], POLLIN, -1, &rev) != 1 || !(rev & POLLIN)) _exit(4);
    char c;
    if (read(sv[0], &c, 1) != 1) _exit(5);
    std::thread([] {
      usleep(50000);
      clRequestInterrupt();
    }).detach();
    // Without a limit: only the interrupt (and the grace after it) ends it.
    if (clPollInterruptible(sv[0], POLLIN, -1, nullptr) != kWaitInterrupted) _exit(6);
    if (clSleepInterruptible(60000)) _exit(7);
    if (clPollInterruptible(sv[0], POLLIN, -1, nullptr) != kWaitInterrupted) _exit(8);
    // A peer that answers within the grace is still heard.
    w = write(sv[1], "y", 1);
    if (clPollInterruptible(sv[0], POLLIN, -1, nullptr) != 1) _exit(9);
    _exit(0);
  });
  EXPECT_EQ(0, r.status);
}

}  // namespace
