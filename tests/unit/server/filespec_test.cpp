// Splitting paths into file system, directory and file name parts against a
// mount table of the test's own.
#include <gtest/gtest.h>

#include <string>

#include "server/filespec.h"
#include "tests/support/scratch_dir.h"

namespace {

TEST(FileSpec, SplitsAtTheLongestMountPoint) {
  kmrtest::ScratchDir dir;
  const std::string table = dir.file("mtab");
  kmrtest::writeFile(table, "rootfs / ext4 rw 0 0\n/dev/loop1 /mnt/fs1 ext4 rw 0 0\n"
                            "tmpfs /mnt/fs1/inner tmpfs rw 0 0\n");
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
    fileSpec_t* spec = parseBackOperand(k.path, &n, 0, table.c_str());
    ASSERT_NE(spec, nullptr) << k.path;
    EXPECT_EQ(spec->fsName, k.fs) << k.path;
    EXPECT_EQ(spec->hlName, k.hl) << k.path;
    EXPECT_EQ(spec->llName, k.ll) << k.path;
    EXPECT_EQ(n, static_cast<int>(spec->fsName.size()));
    fmDeleteFileSpec(spec);
  }
  int n = -1;
  EXPECT_EQ(parseBackOperand("relative/x", &n, 0, table.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1/dir/", &n, 0, table.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1", &n, 0, table.c_str()), nullptr);
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
