// The common guards of input and output: files opened only as regular files
// and never blocking, server text shown with its control characters escaped,
// and waits that an interrupt ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>
#include <string>

#include "common/interrupt.h"
#include "common/safepath.h"
#include "common/showable.h"
#include "tests/support/hostile_tree.h"
#include "tests/unit/common/options_test_support.h"

namespace {

class SafeOpenTest : public kmrtest::HostileTreeTest {};

// A FIFO nobody writes to would make a plain open wait for ever; a stream
// (the trace) may be a pipe, never a directory.
TEST_F(SafeOpenTest, OnlyRegularFilesAreOpenedAndNothingBlocks) {
  const std::string file = mount + "/kmr.sys", fifo = mount + "/fifo", dir = mount + "/dir";
  kmrtest::writeFile(file, "SERVERNAME ZEF\n");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  std::string content;
  ASSERT_TRUE(clReadRegularFile(file.c_str(), LinkPolicy::kNoFollow, &content));
  EXPECT_EQ("SERVERNAME ZEF\n", content);
  for (const std::string& p : {fifo, dir}) {
    errno = 0;
    EXPECT_FALSE(clReadRegularFile(p.c_str(), LinkPolicy::kFollowLinks, &content)) << p;
    EXPECT_EQ(EINVAL, errno) << p;
    EXPECT_EQ(nullptr, clFopenRegular(p.c_str(), "a", LinkPolicy::kFollowLinks)) << p;
  }
  EXPECT_LT(clOpenRegularBeneath(mount, "/fifo", O_WRONLY, 0), 0);
  EXPECT_EQ(EINVAL, errno);
  // A descriptor handed out reads in blocking mode again.
  UniqueFd fd(clOpenRegular(file.c_str(), O_RDONLY, 0, LinkPolicy::kNoFollow));
  ASSERT_TRUE(fd);
  EXPECT_EQ(0, fcntl(fd.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_NE(0, fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
  // Blocking again with the caller's status flags kept (an append that lost
  // O_APPEND would overwrite), and the status handed out is the file's.
  struct stat st {};
  UniqueFd kept(safeOpenRegularBeneathStat(UniqueFd(safeOpenMountRoot(mount)).get(), "kmr.sys", O_WRONLY | O_APPEND, &st));
  ASSERT_TRUE(kept);
  EXPECT_EQ(O_APPEND, fcntl(kept.get(), F_GETFL) & (O_APPEND | O_NONBLOCK));
  EXPECT_EQ(15, st.st_size);

  UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
  FILE* out = clFopenStreamNoFollow(fifo.c_str(), "a");
  ASSERT_NE(nullptr, out);
  fputs("line\n", out);
  fclose(out);
  char buf[8] = {};
  EXPECT_EQ(5, read(reader.get(), buf, sizeof buf));
  EXPECT_STREQ("line\n", buf);
  EXPECT_EQ(nullptr, clFopenStreamNoFollow(dir.c_str(), "r"));
  EXPECT_EQ(EINVAL, errno);
}

// Links are followed only where the administrator may have put them (the
// option files); names beneath a directory neither leave it nor follow one.
TEST_F(SafeOpenTest, LinksAreFollowedOnlyOnPurposeAndNamesBeneathADirectoryStayInIt) {
  const std::string link = mount + "/kmr.opt";
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  std::string content;
  EXPECT_FALSE(clReadRegularFile(link.c_str(), LinkPolicy::kNoFollow, &content));
  EXPECT_EQ(ELOOP, errno);
  EXPECT_EQ(nullptr, clFopenRegular(link.c_str(), "w", LinkPolicy::kNoFollow));
  EXPECT_EQ(nullptr, clFopenStreamNoFollow(link.c_str(), "a"));
  EXPECT_EQ(ELOOP, errno);
  EXPECT_LT(clOpenRegularBeneath(mount, "kmr.opt", O_RDONLY, 0), 0);
  ASSERT_TRUE(clReadRegularFile(link.c_str(), LinkPolicy::kFollowLinks, &content));
  EXPECT_EQ("root's data\n", content);

  ASSERT_EQ(0, mkdir((mount + "/dir").c_str(), 0755));
  kmrtest::writeFile(mount + "/dir/file", "x");
  ASSERT_EQ(0, symlink(outside.c_str(), (mount + "/escape").c_str()));
  ASSERT_EQ(0, symlink(victim.c_str(), (mount + "/dir/link").c_str()));
  ASSERT_EQ(0, mkfifo((mount + "/dir/fifo").c_str(), 0600));
  UniqueFd root(safeOpenMountRoot(mount));
  ASSERT_TRUE(root);
  EXPECT_TRUE(UniqueFd(safeOpenRegularBeneath(root.get(), "dir/file", O_RDONLY)));
  struct Refused { const char* rel; int flags; int err; };
  for (const Refused& r : {Refused{"escape/precious", O_RDONLY, ELOOP},
                           Refused{"dir/link", O_WRONLY | O_TRUNC, ELOOP},
                           Refused{"../outside/precious", O_RDONLY, EXDEV},
                           Refused{"/etc/hostname", O_RDONLY, EINVAL},
                           Refused{"dir/fifo", O_WRONLY, EINVAL},  // no reader: must not wait
                           Refused{"dir/fifo", O_RDONLY, EINVAL},
                           Refused{"dir", O_RDONLY, EINVAL}}) {
    errno = 0;
    EXPECT_LT(safeOpenRegularBeneath(root.get(), r.rel, r.flags), 0) << r.rel;
    EXPECT_EQ(r.err, errno) << r.rel;
  }
  // The directory named by path is not taken through a link either.
  EXPECT_LT(clOpenRegularBeneath(mount + "/escape", "precious", O_RDWR, 0), 0);
  EXPECT_EQ(ENOTDIR, errno);
  SafeParent parent;
  ASSERT_EQ(0, safeOpenParent(mount, "/dir/new", &parent));
  EXPECT_EQ("new", parent.leaf);
  expectVictimUntouched();
}

TEST(SafeAlias, OnlyEntriesBelowTheMountOutsideTheControlDirectory) {
  for (const char* good : {"/a", "/dir/file", "/a/b/c.txt", "/..x", "/x..", "/.hidden", "/..x/.y"})
    EXPECT_TRUE(safeIsPathBelow(good)) << good;
  for (const char* bad : {"", "/", "a/b", "relative", "//a", "/a//b", "/a/", "/.", "/..", "/a/./b",
                          "/a/../b", "/../etc/passwd", "/a/..", "/a/."})
    EXPECT_FALSE(safeIsPathBelow(bad)) << bad;
  for (const char* alias : {"/.Tarnveld", "/.Tarnveld/dmiFSState", "/.Tarnveld/a/b"})
    EXPECT_TRUE(safeIsInControlDir(alias)) << alias;
  for (const char* alias : {"/.Tarnveldx", "/dir/.Tarnveld", "/.tarnveld/x"})
    EXPECT_FALSE(safeIsInControlDir(alias)) << alias;
}

TEST(Showable, ControlCharactersAndBackslashesAreEscaped) {
  EXPECT_EQ("/hsm/data/plain name.txt", clShowable("/hsm/data/plain name.txt"));
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
    // Signals arriving every millisecond (a job-control shell's SIGCONTs)
    // must not restart the grace: this wait would then never end.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGUSR1, &quiet, nullptr);  // no SA_RESTART: poll sees EINTR
    std::atomic<bool> done{false};
    const pthread_t waiter = pthread_self();
    std::thread noise([&] {
      while (!done) {
        pthread_kill(waiter, SIGUSR1);
        usleep(1000);
      }
    });
    const int ended = clPollInterruptible(sv[0], POLLIN, -1, nullptr);
    done = true;
    noise.join();
    if (ended != kWaitInterrupted) _exit(9);
    _exit(0);
  });
  EXPECT_EQ(0, r.status);
}

}  // namespace
