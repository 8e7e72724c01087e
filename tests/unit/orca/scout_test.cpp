// The scout notification channel: datagrams reach a listener, and a run that
// finds nobody listening stops trying until the socket path is set again.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/orca/scout.h"
#include "tests/support/datagram_listener.h"
#include "tests/support/scratch_dir.h"

namespace {

using Datagrams = std::vector<std::string>;

// The datagram that tells the scout about `name` in /orca/fs1/dir.
std::string notice(const char* name) {
  return std::string("KMRSCOUT1\0" "3\0/orca/fs1\0/dir\0", 27) + name + std::string(1, '\0');
}

class ScoutChannel : public ::testing::Test {
 protected:
  void SetUp() override { hsmScoutSetSocketPath(path_); }
  void TearDown() override { hsmScoutSetSocketPath(""); }
  int notify(const char* name) { return HSM_Comm_ChangeFileStatus("/orca/fs1", "/dir", name, 3); }

  kmrtest::ScratchDir dir_;
  const std::string path_ = dir_.file("scout.sock");
  std::optional<kmrtest::DatagramListener> scout_;
};

TEST_F(ScoutChannel, EveryNotificationReachesTheListener) {
  scout_.emplace(path_);
  EXPECT_EQ(0, notify("a"));
  EXPECT_EQ(0, notify("b"));
  EXPECT_EQ((Datagrams{notice("a"), notice("b")}), scout_->received());
}

// Nobody at the path, or a listener that left (the socket file stays but
// nobody is bound to it): a scout that appears later is not tried for the
// rest of the run.
TEST_F(ScoutChannel, AFailedNotificationStopsTheRunsNotificationsUntilThePathIsSetAgain) {
  for (const bool listenedBefore : {false, true}) {
    SCOPED_TRACE(listenedBefore);
    scout_.reset();
    hsmScoutSetSocketPath(path_);
    if (listenedBefore) {
      scout_.emplace(path_);
      EXPECT_EQ(0, notify("a"));
      scout_->closeSocket();
    }
    const int expectedErrno = listenedBefore ? ECONNREFUSED : ENOENT;
    errno = 0;
    EXPECT_EQ(-1, notify("b"));
    EXPECT_EQ(expectedErrno, errno);
    scout_.emplace(path_);
    errno = 0;
    EXPECT_EQ(-1, notify("c"));
    EXPECT_EQ(expectedErrno, errno);
    EXPECT_EQ(Datagrams{}, scout_->received());
  }
  hsmScoutSetSocketPath(path_);
  EXPECT_EQ(0, notify("d"));
  EXPECT_EQ(Datagrams{notice("d")}, scout_->received());
}

}  // namespace
