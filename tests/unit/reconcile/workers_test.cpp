// Four workers over thousands of objects, stopped in the middle as a signal
// would: what the server and the user see keeps the server's order, every
// object taken from the stream is finished and sent, each lost directory
// is made once. Run under ThreadSanitizer in CI.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/options.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace rectest {
namespace {

constexpr unsigned kObjects = 4000, kDirectories = 40, kStopAt = 2500;

// The first quoted text of each line of `out` that holds `text`, in order.
std::vector<std::string> quotedIn(const std::string& out, const std::string& text) {
  std::vector<std::string> found;
  for (size_t pos = 0, end; (end = out.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string line = out.substr(pos, end - pos);
    const size_t open = line.find('\'');
    if (line.find(text) == std::string::npos || open == std::string::npos) continue;
    found.push_back(line.substr(open + 1, line.find('\'', open + 1) - open - 1));
  }
  return found;
}

TEST_F(ModeTest, FourWorkersStoppedMidRunKeepTheServersOrderAndFinishWhatTheyTook) {
  ASSERT_EQ(0, mkdir(path("/.Tarnveld").c_str(), 0700));  // the control directory: -MKDIRS stages there
  std::vector<std::string> aliases;
  for (unsigned i = 0; i < kObjects; ++i) {
    // Consecutive objects in different directories, so that workers want
    // the same missing directories at once: /top and every /top/dNN.
    aliases.push_back("/top/d" + std::to_string(i % kDirectories) + "/f" + std::to_string(i));
    add({.alias = aliases.back(), .idSeed = static_cast<uint8_t>(i)});
  }
  // The stop comes from another thread while the stream is handing out
  // element kStopAt: that element is the last one the run takes.
  script.onHandOut = [this](size_t handed) {
    if (handed == kStopAt) std::thread([this] { mode->stopReconcilation(); }).join();
  };
  clientOptions opts;
  opts.recreateWorkers = 4;
  opts.hsmDisableAutoMigDaemons = 1;
  clientOptions* saved = optionsP;
  optionsP = &opts;
  MigundeleteRunOptions run;
  run.makeDirs = true;
  makeMode(1, 0, 0).setRunOptions(run);
  optionsP = saved;
  EXPECT_EQ(RC_STOPPED, start()) << err << out.substr(0, 3000);

  const size_t taken = kStopAt + 1;
  ASSERT_EQ(taken, script.updates.size()) << "an object in flight was not sent";
  std::vector<std::string> restored;
  for (size_t i = 0; i < taken; ++i) {
    EXPECT_EQ(aliases[i], script.updates[i].alias) << "update " << i << " out of the server's order";
    restored.push_back(path(aliases[i]));
  }
  EXPECT_EQ(restored, quotedIn(out, "was recreated")) << "messages out of the server's order";
  const size_t first = out.find(" 1000 objects processed"), second = out.find(" 2000 objects processed");
  ASSERT_NE(std::string::npos, second) << out.substr(0, 2000);
  EXPECT_LT(out.find(path(aliases[999])), first) << "progress counted ahead of the messages";
  EXPECT_LT(first, out.find(path(aliases[1000])));
  for (size_t i = 0; i < kObjects; ++i)
    EXPECT_EQ(i < taken, kmrtest::lexists(path(aliases[i]))) << aliases[i];
  EXPECT_EQ(std::string::npos, err.find("BQF")) << err;
  // /top and its kDirectories directories, each made once and announced once.
  std::vector<std::string> made = quotedIn(out, "missing directory");
  ASSERT_EQ(kDirectories + 1, made.size());
  EXPECT_EQ(path("/top"), made[0]);
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made.end(), std::adjacent_find(made.begin(), made.end())) << "a directory was made twice";
}

}  // namespace
}  // namespace rectest
