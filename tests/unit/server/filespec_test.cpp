// Splitting paths into file system, directory and file name parts against a
// mount table of the test's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "server/filespec.h"

namespace {

class FileSpecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kmr_mtab_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    table_ = name;
    FILE* f = fopen(name, "w");
    fputs("rootfs / ext4 rw 0 0\n/dev/loop1 /mnt/fs1 ext4 rw 0 0\n"
          "tmpfs /mnt/fs1/inner tmpfs rw 0 0\n", f);
    fclose(f);
  }
  void TearDown() override { unlink(table_.c_str()); }
  std::string table_;
};

TEST_F(FileSpecTest, SplitsAtTheLongestMountPoint) {
  struct Case {
    const char* path;
    const char* fs;
    const char* hl;
    const char* ll;
  } cases[] = {
      {"/mnt/fs1/a/b/c", "/mnt/fs1", "/a/b", "/c"},
      {"/mnt/fs1/c", "/mnt/fs1", "", "/c"},
      {"/mnt/fs1/inner/x/y", "/mnt/fs1/inner", "/x", "/y"},
      {"/mnt/fs10/x", "/", "/mnt/fs10", "/x"},
  };
  for (const Case& k : cases) {
    int n = -1;
    fileSpec_t* spec = parseBackOperand(k.path, &n, 0, table_.c_str());
    ASSERT_NE(spec, nullptr) << k.path;
    EXPECT_EQ(spec->fsName, k.fs) << k.path;
    EXPECT_EQ(spec->hlName, k.hl) << k.path;
    EXPECT_EQ(spec->llName, k.ll) << k.path;
    EXPECT_EQ(n, static_cast<int>(spec->fsName.size()));
    fmDeleteFileSpec(spec);
  }
  int n = -1;
  EXPECT_EQ(parseBackOperand("relative/x", &n, 0, table_.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1/dir/", &n, 0, table_.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1", &n, 0, table_.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1/x", &n, 0, "/nonexistent/mtab"), nullptr);
  EXPECT_EQ(n, -1);
}

TEST(FileSpec, PathBelowTheFileSpace) {
  fileSpec_t* spec = fmNewFileSpec("/mnt/fs1", "", "");
  ASSERT_EQ(fmSetPathName(spec, "/mnt/fs1/d/f"), 0);
  EXPECT_EQ(fmPathBelowFs(*spec), "/d/f");
  fmSetPathName(spec, "/mnt/fs10/f");  // another file system sharing the prefix
  EXPECT_EQ(fmPathBelowFs(*spec), "/mnt/fs10/f");
  spec->fsName = "/";
  fmSetPathName(spec, "/f");
  EXPECT_EQ(fmPathBelowFs(*spec), "/f");
  EXPECT_EQ(fmSetPathName(nullptr, "/x"), 109);
  fmDeleteFileSpec(spec);
}

}  // namespace
