// Service manager notification: the datagram's bytes, and when the log may
// leave the time stamps to the journal.
#include "zefserver/notify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/datagram_listener.h"
#include "tests/support/scratch_dir.h"

TEST(Notify, SendsTheStateAsOneDatagramOnlyWhenAManagerWaits) {
  kmrtest::ScratchDir dir;
  kmrtest::DatagramListener manager(dir.path() + "/notify");
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(zef::notifyServiceManager("READY=1"));
  setenv("NOTIFY_SOCKET", (dir.path() + "/notify").c_str(), 1);
  EXPECT_TRUE(zef::notifyServiceManager("READY=1\nSTATUS=up"));
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(manager.received(), std::vector<std::string>{"READY=1\nSTATUS=up"});
}

TEST(Notify, TheJournalIsStandardErrorOnlyWhenItsDeviceAndInodeMatch) {
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  const std::string self = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  for (const auto& [value, journal] : std::vector<std::pair<std::string, bool>>{
           {self, true}, {std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1), false}, {"", false}}) {
    setenv("JOURNAL_STREAM", value.c_str(), 1);
    EXPECT_EQ(zef::stderrIsJournal(), journal) << value;
  }
  unsetenv("JOURNAL_STREAM");
}
