// syncWriters runs on several threads: each file's result lands on that file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/scratch_dir.h"
#include "zefserver/datastore.h"

TEST(SyncWritersTest, EachFilesResultIsItsOwnWhateverThreadSyncedIt) {
  kmrtest::ScratchDir scratch("zefsync");
  std::string error;
  auto good = zef::DataDir::open(scratch.file("good"), error), gone = zef::DataDir::open(scratch.file("gone"), error);
  ASSERT_EQ(rmdir(scratch.file("gone").c_str()), 0);  // its writers fail from the start
  std::vector<std::unique_ptr<zef::DataWriter>> owned;
  std::vector<zef::DataWriter*> ws;
  for (int i = 0; i < 21; ++i) ws.push_back(owned.emplace_back(new zef::DataWriter(i % 3 ? *good : *gone, 1)).get());
  std::vector<int> errs;
  zef::syncWriters(ws, errs);
  for (size_t i = 0; i < ws.size(); ++i) EXPECT_EQ(errs.at(i) != 0, i % 3 == 0) << "file " << i;
}
