// The command line grammar of kmrmigundelete, with a recording table lookup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/migundelete.h"

namespace {

struct Parsed {
  int rc = -99;
  MigundeleteArgs args;
  std::vector<std::string> lookedUp;
};

// Runs the grammar over `words` (argv[0] added). Names in `managed` are
// known to the table, which reports them back as "<name>.entry".
Parsed parse(std::vector<std::string> words, const std::vector<std::string>& managed = {"/fs", "/hsm/data"}) {
  words.insert(words.begin(), "kmrmigundelete");
  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;
  for (auto& w : words) storage.emplace_back(w.begin(), w.end()), storage.back().push_back('\0');
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  Parsed run;
  FsNameLookup lookup = [&](const std::string& name, std::string* entry) {
    run.lookedUp.push_back(name);
    for (const auto& m : managed)
      if (m == name) {
        *entry = name + ".entry";
        return true;
      }
    return false;
  };
  run.rc = interpreteMigundeleteArgs(static_cast<int>(words.size()), argv.data(), run.args, lookup);
  return run;
}

TEST(CommandLine, ModesCombineInAnyOrderAndCase) {
  Parsed none = parse({});
  EXPECT_EQ(1, none.rc);
  EXPECT_EQ(kModeNormal, none.args.mode);
  EXPECT_EQ(0, none.args.detail);
  EXPECT_TRUE(none.args.fileSystem.empty());

  for (auto words : std::vector<std::vector<std::string>>{
           {"-e", "-r", "/fs"}, {"-R", "-E", "/fs"}, {"-Expiring", "/fs", "-recover"}}) {
    Parsed r = parse(words);
    EXPECT_EQ(1, r.rc);
    EXPECT_EQ(kModeExpiringRecovery, r.args.mode) << words[0];
    EXPECT_EQ("/fs.entry", r.args.fileSystem) << "the table's name is kept";
  }
  EXPECT_EQ(kModeExpiring, parse({"-EXPIRING"}).args.mode);
  EXPECT_EQ(kModeRecovery, parse({"-r"}).args.mode);
  Parsed d = parse({"-Detail"});
  EXPECT_EQ(1, d.args.detail);
  EXPECT_EQ(kModeNormal, d.args.mode);
  EXPECT_EQ(1, parse({"-d"}).args.detail);
}

TEST(CommandLine, SecondDetailIsAFileSystemNameAndRejected) {
  Parsed r = parse({"-DETAIL", "-DETAIL"});
  EXPECT_EQ(0, r.rc);
  ASSERT_EQ(1u, r.lookedUp.size());
  EXPECT_EQ("-DETAIL", r.lookedUp[0]) << "the argument as typed goes to the table";
  Parsed x = parse({"-X", "/fs"});
  EXPECT_EQ(0, x.rc);
  EXPECT_EQ(std::vector<std::string>{"-X"}, x.lookedUp) << "nothing after a rejection is looked at";
}

TEST(CommandLine, HelpStopsTheScanWhereItStands) {
  Parsed after = parse({"-e", "/fs", "-help", "/unknown"});
  EXPECT_EQ(1, after.rc);
  EXPECT_EQ(kModeHelp, after.args.mode);
  EXPECT_EQ(std::vector<std::string>{"/fs"}, after.lookedUp);
  Parsed before = parse({"-H", "/unknown"});
  EXPECT_EQ(1, before.rc);
  EXPECT_EQ(kModeHelp, before.args.mode);
  EXPECT_TRUE(before.lookedUp.empty());
  EXPECT_EQ(0, parse({"/unknown", "-help"}).rc) << "an earlier bad name has already failed";
}

TEST(CommandLine, TraceOptionsAreNeverFileSystems) {
  Parsed r = parse({"-tracefile=/tmp/t", "-TRACEFLAGS=ALL", "-TraceMax=10", "-tracefi", "/hsm/data"});
  EXPECT_EQ(1, r.rc);
  EXPECT_EQ(std::vector<std::string>{"/hsm/data"}, r.lookedUp);
  EXPECT_EQ(kModeNormal, r.args.mode);
  // Seven matching characters are not enough.
  Parsed shortish = parse({"-tracef"});
  EXPECT_EQ(0, shortish.rc);
  EXPECT_EQ(std::vector<std::string>{"-tracef"}, shortish.lookedUp);
}

TEST(CommandLine, NamesAreNormalisedAndTheLastOneWins) {
  Parsed r = parse({"//fs//", "/hsm/data/"});
  EXPECT_EQ(1, r.rc);
  EXPECT_EQ((std::vector<std::string>{"/fs", "/hsm/data"}), r.lookedUp);
  EXPECT_EQ("/hsm/data.entry", r.args.fileSystem);
}

TEST(CommandLine, OverlongArgumentIsHandledSafely) {
  std::string longWord = "-" + std::string(5000, 'd');
  Parsed r = parse({longWord});
  EXPECT_EQ(0, r.rc);
  ASSERT_EQ(1u, r.lookedUp.size());
  EXPECT_EQ(longWord, r.lookedUp[0]);
  std::string longDetail = "-DETAIL" + std::string(2000, ' ');
  EXPECT_EQ(0, parse({longDetail}).args.detail);
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

}  // namespace
