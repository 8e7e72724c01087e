// The command line grammar of kmrmigundelete with a recording table lookup,
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

namespace {

using Words = std::vector<std::string>;

struct Parsed {
  int rc = -99;
  MigundeleteArgs args;
  Words lookedUp;
};

// Runs the grammar over `words` (argv[0] added). The table knows /fs,
// /hsm/data and /orca/fs1 and reports them back as "<name>.entry".
Parsed parse(Words words) {
  words.insert(words.begin(), "kmrmigundelete");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  Parsed run;
  FsNameLookup lookup = [&](const std::string& name, std::string* entry) {
    run.lookedUp.push_back(name);
    *entry = name + ".entry";
    return name == "/fs" || name == "/hsm/data" || name == "/orca/fs1";
  };
  run.rc = interpreteMigundeleteArgs(static_cast<int>(words.size()), argv.data(), run.args, lookup);
  return run;
}

// The table's name of the file system is kept: see the names case below.
TEST(CommandLine, ModesCombineInAnyOrderAndCase) {
  struct Case { Words words; int mode, detail; } cases[] = {
      {{}, kModeNormal, 0}, {{"-e", "-r", "/fs"}, kModeExpiringRecovery, 0},
      {{"-R", "-E", "/fs"}, kModeExpiringRecovery, 0}, {{"-Expiring", "/fs", "-recover"}, kModeExpiringRecovery, 0},
      {{"-EXPIRING"}, kModeExpiring, 0}, {{"-r"}, kModeRecovery, 0}, {{"-Detail"}, kModeNormal, 1},
      {{"-d"}, kModeNormal, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    Parsed r = parse(c.words);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(c.mode, r.args.mode);
    EXPECT_EQ(c.detail, r.args.detail);
    EXPECT_FALSE(r.args.preview || r.args.json || r.args.makeDirs || r.args.subtreeGiven);
  }
  EXPECT_TRUE(parse({}).args.fileSystem.empty());
}

TEST(CommandLine, PreviewSubtreeAndMakeDirsAsWordsOrFirstLetters) {
  for (const Words& words : {Words{"-PREVIEW", "-MKDIRS", "-SUBTREE=/orca/fs1/Proj", "/orca/fs1"},
                             Words{"-p", "-m", "-s=/orca/fs1/Proj", "/orca/fs1"},
                             Words{"-Preview", "-MkDirs", "-Subtree=/orca/fs1/Proj", "/orca/fs1"}}) {
    Parsed r = parse(words);
    EXPECT_EQ(1, r.rc) << words[0];
    EXPECT_TRUE(r.args.preview && r.args.makeDirs && r.args.subtreeGiven) << words[0];
    EXPECT_FALSE(r.args.json);
    EXPECT_EQ("/orca/fs1/Proj", r.args.subtree) << "the directory keeps its case";
  }
  Parsed j = parse({"-j"});
  EXPECT_TRUE(j.args.json && j.args.preview) << "-JSON is a preview";
}

// Anything the grammar does not know goes, as typed, to the table as a
// file system name; nothing after a rejection is looked at.
TEST(CommandLine, RefusedWordsAreLookedUpAsTypedAndEndTheScan) {
  const std::string longWord = "-" + std::string(5000, 'd');
  const std::string longDetail = "-DETAIL" + std::string(2000, ' ');
  struct Refused { Words words; std::string refused; int detail; };
  for (const Refused& c :
       {Refused{{"-DETAIL", "-DETAIL"}, "-DETAIL", 1}, Refused{{"-X", "/fs"}, "-X", 0},
        Refused{{"-tracef"}, "-tracef", 0}, Refused{{longWord}, longWord, 0},
        Refused{{longDetail}, longDetail, 0}, Refused{{"/unknown", "-help"}, "/unknown", 0},
        Refused{{"-PRE"}, "-PRE", 0}, Refused{{"-SUBTREE", "/orca/fs1"}, "-SUBTREE", 0}}) {
    Parsed r = parse(c.words);
    EXPECT_EQ(0, r.rc) << c.refused.substr(0, 20);
    EXPECT_EQ(Words{c.refused}, r.lookedUp) << c.refused.substr(0, 20);
    EXPECT_EQ(c.detail, r.args.detail) << c.refused.substr(0, 20);
  }
}

// -HELP stops the scan where it stands; trace options are never file
// systems (seven letters of -TRACEFILE are too few, see the refusals); names
// are normalised and the last one wins.
TEST(CommandLine, HelpTraceOptionsAndNames) {
  Parsed after = parse({"-e", "/fs", "-help", "/unknown"});
  EXPECT_EQ(1, after.rc);
  EXPECT_EQ(kModeHelp, after.args.mode);
  EXPECT_EQ(Words{"/fs"}, after.lookedUp);
  Parsed before = parse({"-H", "/unknown"});
  EXPECT_EQ(1, before.rc);
  EXPECT_EQ(kModeHelp, before.args.mode);
  EXPECT_TRUE(before.lookedUp.empty());

  Parsed traced = parse({"-tracefile=/tmp/t", "-TRACEFLAGS=ALL", "-TraceMax=10", "-tracefi", "/hsm/data"});
  EXPECT_EQ(1, traced.rc);
  EXPECT_EQ(Words{"/hsm/data"}, traced.lookedUp);
  EXPECT_EQ(kModeNormal, traced.args.mode);

  Parsed names = parse({"//fs//", "/hsm/data/"});
  EXPECT_EQ(1, names.rc);
  EXPECT_EQ((Words{"/fs", "/hsm/data"}), names.lookedUp);
  EXPECT_EQ("/hsm/data.entry", names.args.fileSystem);
}

TEST(PathDelimiters, DoubledAndTrailingDelimitersGo) {
  struct Case { const char* in; const char* out; } cases[] = {
      {"/", "/"}, {"//", "/"}, {"/a//b///c/", "/a/b/c"}, {"a/", "a"}, {"/fs", "/fs"}, {"", ""}};
  for (const auto& c : cases) {
    std::string buf = c.in;
    psRemoveUnnecessaryDelimiters(buf.data());
    EXPECT_STREQ(c.out, buf.c_str()) << c.in;
  }
}

// Without a named file system the deepest mount point above the directory
// holds it; a named one that holds it is kept.
TEST(Subtree, NamesItsFileSystemAndMustLieInIt) {
  struct Case { const char* dir; const char* named; int rc; const char* fs; const char* aliasOrError; };
  for (const Case& c :
       {Case{"/orca/fs1//proj/", "", 1, "/orca/fs1", "/proj"},
        Case{"/orca/fs1/proj", "/orca", 1, "/orca", "/fs1/proj"},
        Case{"/hsm/data2", "/hsm/data", 0, "", "'/hsm/data2' does not lie in the managed file system '/hsm/data'"},
        Case{"/srv/x", "", 0, "", "The directory '/srv/x' does not lie in a managed file system."},
        Case{"", "", 0, "", "BQF9708E"}, Case{"proj", "", 0, "", "BQF9708E"},
        Case{"/orca/fs1/../etc", "", 0, "", "BQF9708E"}, Case{"/orca/fs1/./x", "", 0, "", "BQF9708E"}}) {
    SCOPED_TRACE(c.dir);
    MigundeleteArgs a;
    a.subtreeGiven = true;
    a.subtree = c.dir;
    std::string fs = c.named;
    AliasScope scope;
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.rc, resolveSubtree(a, [] { return Words{"/orca", "/orca/fs1", "/hsm/data"}; }, &fs, &scope));
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.rc == 1) {
      EXPECT_EQ(c.fs, fs);
      EXPECT_EQ(c.aliasOrError, scope.alias());
    } else {
      EXPECT_NE(std::string::npos, err.find(c.aliasOrError)) << err;
    }
  }
}

TEST(ProgressLine, TextCountsRateAndElapsedTime) {
  EXPECT_EQ("12345 processed, 12000 recreated, 3 failed, 1234/s, 0:10 elapsed",
            ProgressLine::text({12345, 12000, 3}, 10.0));
  EXPECT_EQ("7200000 processed, 7000000 recreated, 0 failed, 1000/s, 2:00:00 elapsed",
            ProgressLine::text({7200000, 7000000, 0}, 7200.0));
}

// What `draw` writes to a screen.
std::string shownOn(const std::function<void(FILE*)>& draw) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* screen = open_memstream(&buffer, &size);
  draw(screen);
  fclose(screen);
  std::string shown(buffer, size);
  free(buffer);
  return shown;
}

TEST(ProgressLine, DrawnInPlaceAtMostFourTimesASecondAndSteppingAsideForMessages) {
  EXPECT_EQ(
      "\r1 processed, 1 recreated, 0 failed, -/s, 0:00 elapsed\x1b[K"
      "\r3 processed, 2 recreated, 1 failed, -/s, 0:00 elapsed\x1b[K"
      "\r\x1b[K"
      "BQF9703I The missing directory '/orca/fs1/proj' was created.\n"
      "\r4 processed, 3 recreated, 1 failed, -/s, 0:00 elapsed\x1b[K"
      "\r4 processed, 3 recreated, 1 failed, 2/s, 0:02 elapsed\x1b[K\n",
      shownOn([](FILE* screen) {
        double now = 100.0;
        ProgressLine line(screen, [&] { return now; });
        line.objectDone({1, 1, 0});  // first object: drawn
        now += 0.1;
        line.objectDone({2, 2, 0});  // too soon
        now += 0.2;
        line.objectDone({3, 2, 1});  // drawn
        nlfprintf(screen, 9703, "/orca/fs1/proj");  // a message: the line steps aside
        now += 0.01;
        line.objectDone({4, 3, 1});  // drawn again at once
        now += 1.69;
        line.runEnded({4, 3, 1});
      }));
  // Once the line is gone, messages are printed as they always were.
  EXPECT_EQ("BQF9703I The missing directory '/x' was created.\n",
            shownOn([](FILE* plain) { nlfprintf(plain, 9703, "/x"); }));
}

}  // namespace
