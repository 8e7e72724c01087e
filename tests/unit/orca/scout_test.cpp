// The scout notification channel: datagrams reach a listener, and a run that
// finds nobody listening stops trying until the socket path is set again.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/orca/scout.h"

namespace {

class ScoutChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kmrscout.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    path_ = dir_ + "/scout.sock";
    hsmScoutSetSocketPath(path_);
  }
  void TearDown() override {
    stopListening();
    hsmScoutSetSocketPath("");
    rmdir(dir_.c_str());
  }
  void listen() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path_.c_str(), path_.size() + 1);
    ASSERT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
  }
  void stopListening() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    unlink(path_.c_str());
  }
  // The next queued datagram, "" when none is queued.
  std::string receive() {
    char buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  std::string dir_, path_;
  int fd_ = -1;
};

TEST_F(ScoutChannel, EveryNotificationReachesTheListener) {
  listen();
  EXPECT_EQ(0, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "a", 3));
  EXPECT_EQ(0, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "b", 3));
  EXPECT_EQ(std::string("KMRSCOUT1\0" "3\0/orca/fs1\0/dir\0a\0", 29), receive());
  EXPECT_EQ(std::string("KMRSCOUT1\0" "3\0/orca/fs1\0/dir\0b\0", 29), receive());
  EXPECT_EQ("", receive());
}

TEST_F(ScoutChannel, NobodyListeningStopsTheRunsNotifications) {
  errno = 0;
  EXPECT_EQ(-1, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "a", 3));
  EXPECT_EQ(ENOENT, errno);
  // A scout that appears later is not tried for the rest of the run.
  listen();
  errno = 0;
  EXPECT_EQ(-1, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "b", 3));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ("", receive());
  // Setting the path starts afresh.
  hsmScoutSetSocketPath(path_);
  EXPECT_EQ(0, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "c", 3));
  EXPECT_EQ(std::string("KMRSCOUT1\0" "3\0/orca/fs1\0/dir\0c\0", 29), receive());
}

TEST_F(ScoutChannel, AListenerThatLeftStopsTheRunsNotifications) {
  listen();
  EXPECT_EQ(0, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "a", 3));
  // The socket file stays but nobody is bound to it any more.
  close(fd_);
  fd_ = -1;
  errno = 0;
  EXPECT_EQ(-1, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "b", 3));
  EXPECT_EQ(ECONNREFUSED, errno);
  unlink(path_.c_str());
  listen();
  errno = 0;
  EXPECT_EQ(-1, HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", "c", 3));
  EXPECT_EQ(ECONNREFUSED, errno);
  EXPECT_EQ("", receive());
}

}  // namespace
