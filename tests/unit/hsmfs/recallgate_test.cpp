// The stub makers' side of the recall gate against a stand-in daemon: a hung
// daemon costs a process one deadline, not one per file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "hsmfs/recallgate.h"
#include "tests/support/scratch_dir.h"

namespace {

TEST(RecallGate, ADaemonThatLetARequestGoUnansweredIsNotAskedAgain) {
  // A stub maker believes only root's daemon: the stand-in must be root's.
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  kmrtest::ScratchDir mount("kmrgate");
  const int file = open(mount.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(file, 0);
  EXPECT_EQ(0, askRecallGate(mount.path(), file, 50)) << "no socket: no daemon";

  ASSERT_EQ(0, mkdir(mount.file(".Tarnveld").c_str(), 0700));
  const int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  const std::string path = recallGatePath(mount.path());
  ASSERT_LT(path.size(), sizeof sa.sun_path);
  strcpy(sa.sun_path, path.c_str());
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  ASSERT_EQ(0, listen(listener, 4));
  // Hung: the connection is queued, nobody answers.
  EXPECT_EQ(ETIMEDOUT, askRecallGate(mount.path(), file, 50));

  // The daemon answers every request from now on (the stale one too); the
  // process does not ask it again.
  std::atomic<bool> stop{false};
  std::thread daemon([&] {
    for (int c; !stop && (c = accept(listener, nullptr, nullptr)) >= 0; close(c)) {
      char msg[kRecallGateMsgLen] = {};
      memcpy(msg, kRecallGateDone, sizeof kRecallGateDone);
      [[maybe_unused]] ssize_t w = send(c, msg, sizeof msg, MSG_NOSIGNAL);
    }
  });
  EXPECT_EQ(ETIMEDOUT, askRecallGate(mount.path(), file, 5000));
  stop = true;
  const int wake = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  connect(wake, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  daemon.join();
  close(wake);
  close(listener);
  close(file);
}

}  // namespace
