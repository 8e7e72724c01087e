// Test support: a scratch tree for attacks on code that runs as root in
// directories users write. root/fs stands for the user-writable mount point,
// root/outside/precious for a root-owned file (mode 0600) that no planted
// link or FIFO may make us read, truncate, chown or delete.
#ifndef KMR_TESTS_SUPPORT_HOSTILE_TREE_H
#define KMR_TESTS_SUPPORT_HOSTILE_TREE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/files.h"

namespace kmrtest {

class HostileTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = makeScratchDir("kmrhostile");
    ASSERT_FALSE(root.empty());
    mount = root + "/fs";
    outside = root + "/outside";
    victim = outside + "/precious";
    ASSERT_EQ(mkdir(mount.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::ofstream(victim) << "root's data\n";
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

  // The victim is unchanged: contents, mode and owner.
  void expectVictimUntouched() {
    EXPECT_EQ(readFile(victim), "root's data\n");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
  }

  std::string root, mount, outside, victim;
};

}  // namespace kmrtest

#endif
