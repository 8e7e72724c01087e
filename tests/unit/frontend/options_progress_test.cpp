// The options of preview, subtree and lost directories on the command line,
// the subtree's file system, and the progress line's text and drawing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/migundelete.h"
#include "frontend/progress.h"
#include "tests/support/catalog_env.h"

KMR_REGISTER_CATALOG_ENVIRONMENT();

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

MigundeleteArgs parse(std::vector<std::string> words, int* rc) {
  words.insert(words.begin(), "kmrmigundelete");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  MigundeleteArgs args;
  *rc = interpreteMigundeleteArgs(static_cast<int>(words.size()), argv.data(), args,
                                  [](const std::string& name, std::string* entry) {
                                    *entry = name;
                                    return name == "/orca/fs1";
                                  });
  return args;
}

TEST(NewOptions, WordsAndOneLetterFormsInAnyCase) {
  int rc = 0;
  MigundeleteArgs none = parse({"/orca/fs1"}, &rc);
  EXPECT_FALSE(none.preview || none.json || none.makeDirs || none.subtreeGiven) << "the classic command";

  for (auto words : std::vector<std::vector<std::string>>{
           {"-PREVIEW", "-MKDIRS", "-SUBTREE=/orca/fs1/Proj", "/orca/fs1"},
           {"-p", "-m", "-s=/orca/fs1/Proj", "/orca/fs1"},
           {"-Preview", "-MkDirs", "-Subtree=/orca/fs1/Proj", "/orca/fs1"}}) {
    MigundeleteArgs a = parse(words, &rc);
    EXPECT_EQ(1, rc) << words[0];
    EXPECT_TRUE(a.preview && a.makeDirs && a.subtreeGiven) << words[0];
    EXPECT_FALSE(a.json);
    EXPECT_EQ("/orca/fs1/Proj", a.subtree) << "the directory keeps its case";
  }
  MigundeleteArgs j = parse({"-j"}, &rc);
  EXPECT_TRUE(j.json && j.preview) << "-JSON is a preview";
  EXPECT_EQ(0, (parse({"-PRE"}, &rc), rc)) << "only the word or its first letter";
  EXPECT_EQ(0, (parse({"-SUBTREE", "/orca/fs1"}, &rc), rc)) << "the directory follows '='";
}

TEST(NewOptions, SubtreeNamesItsFileSystemAndMustLieInIt) {
  FsNameList managed = [] { return std::vector<std::string>{"/orca", "/orca/fs1", "/hsm/data"}; };
  auto resolve = [&](const std::string& dir, std::string fs, AliasScope* scope) {
    MigundeleteArgs a;
    a.subtreeGiven = true;
    a.subtree = dir;
    CaptureStderr();
    int rc = resolveSubtree(a, managed, &fs, scope);
    std::string err = GetCapturedStderr();
    return std::make_tuple(rc, fs, err);
  };
  AliasScope scope;
  auto [rc, fs, err] = resolve("/orca/fs1//proj/", "", &scope);
  EXPECT_EQ(1, rc) << err;
  EXPECT_EQ("/orca/fs1", fs) << "the deepest mount point above the directory";
  EXPECT_EQ("/proj", scope.alias());

  std::tie(rc, fs, err) = resolve("/orca/fs1/proj", "/orca", &scope);
  EXPECT_EQ(1, rc) << "a named file system that holds it is kept";
  EXPECT_EQ("/orca", fs);
  EXPECT_EQ("/fs1/proj", scope.alias());

  std::tie(rc, fs, err) = resolve("/hsm/data2", "/hsm/data", &scope);
  EXPECT_EQ(0, rc);
  EXPECT_NE(std::string::npos, err.find("BQF9709E")) << err;
  EXPECT_NE(std::string::npos, err.find("'/hsm/data2' does not lie in the managed file system '/hsm/data'"));
  std::tie(rc, fs, err) = resolve("/srv/x", "", &scope);
  EXPECT_EQ(0, rc);
  EXPECT_NE(std::string::npos, err.find("The directory '/srv/x' does not lie in a managed file system.")) << err;
  for (const char* bad : {"", "proj", "/orca/fs1/../etc", "/orca/fs1/./x"}) {
    std::tie(rc, fs, err) = resolve(bad, "", &scope);
    EXPECT_EQ(0, rc) << bad;
    EXPECT_NE(std::string::npos, err.find("BQF9708E")) << bad << ": " << err;
  }
}

TEST(ProgressLine, TextCountsRateAndElapsedTime) {
  EXPECT_EQ("0 processed, 0 recreated, 0 failed, -/s, 0:00 elapsed", ProgressLine::text({}, 0.4));
  EXPECT_EQ("12345 processed, 12000 recreated, 3 failed, 1234/s, 0:10 elapsed",
            ProgressLine::text({12345, 12000, 3}, 10.0));
  EXPECT_EQ("7200000 processed, 7000000 recreated, 0 failed, 1000/s, 2:00:00 elapsed",
            ProgressLine::text({7200000, 7000000, 0}, 7200.0));
}

TEST(ProgressLine, DrawnInPlaceAtMostFourTimesASecondAndSteppingAsideForMessages) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* screen = open_memstream(&buffer, &size);
  ASSERT_NE(nullptr, screen);
  double now = 100.0;
  {
    ProgressLine line(screen, [&] { return now; });
    line.objectDone({1, 1, 0});   // first object: drawn
    now += 0.1;
    line.objectDone({2, 2, 0});   // too soon
    now += 0.2;
    line.objectDone({3, 2, 1});   // drawn
    nlfprintf(screen, 9703, "/orca/fs1/proj");  // a message: the line steps aside
    now += 0.01;
    line.objectDone({4, 3, 1});   // drawn again at once
    now += 1.69;
    line.runEnded({4, 3, 1});
  }
  fclose(screen);
  std::string shown(buffer, size);
  free(buffer);
  EXPECT_EQ(
      "\r1 processed, 1 recreated, 0 failed, -/s, 0:00 elapsed\x1b[K"
      "\r3 processed, 2 recreated, 1 failed, -/s, 0:00 elapsed\x1b[K"
      "\r\x1b[K"
      "BQF9703I The missing directory '/orca/fs1/proj' was created.\n"
      "\r4 processed, 3 recreated, 1 failed, -/s, 0:00 elapsed\x1b[K"
      "\r4 processed, 3 recreated, 1 failed, 2/s, 0:02 elapsed\x1b[K\n",
      shown);
  // Once the line is gone, messages are printed as they always were.
  char* after = nullptr;
  FILE* plain = open_memstream(&after, &size);
  nlfprintf(plain, 9703, "/x");
  fclose(plain);
  EXPECT_STREQ("BQF9703I The missing directory '/x' was created.\n", after);
  free(after);
}

}  // namespace
