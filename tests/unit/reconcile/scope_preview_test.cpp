// One subtree, the JSON text of a preview, and a preview or an observed run
// of the mode against a scripted server.
#include <sys/stat.h>

#include <string>

#include "reconcile/preview.h"
#include "reconcile/subtree.h"
#include "tests/support/text.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {

using kmrtest::contains;
using kmrtest::countOf;
using kmrtest::lexists;

TEST(AliasScope, ContainsTheDirectoryAndWhatLiesBelowItOnly) {
  AliasScope proj("/proj");
  EXPECT_TRUE(proj.contains("/proj"));
  EXPECT_TRUE(proj.contains("/proj/a"));
  EXPECT_TRUE(proj.contains("/proj/a/b"));
  EXPECT_FALSE(proj.contains("/project/a"));
  EXPECT_FALSE(proj.contains("/pro"));
  EXPECT_FALSE(proj.contains("/other/proj/a"));
  AliasScope whole("/");
  EXPECT_TRUE(whole.wholeFileSystem());
  EXPECT_TRUE(whole.contains("/anything"));
  EXPECT_TRUE(AliasScope().contains("relative"));
}

TEST(AliasScope, PathIsCheckedLikeAnAliasAndMustLieInTheFileSystem) {
  std::string alias = "unset";
  EXPECT_EQ(ScopeCheck::kInside, scopeFromPath("/orca/fs1", "/orca/fs1/proj/a", &alias));
  EXPECT_EQ("/proj/a", alias);
  EXPECT_EQ(ScopeCheck::kInside, scopeFromPath("/orca/fs1", "/orca/fs1", &alias));
  EXPECT_EQ("/", alias);
  // ("..", "." and relative paths: see the command line's subtree tests.)
  EXPECT_EQ(ScopeCheck::kOutside, scopeFromPath("/orca/fs1", "/orca/fs10/proj", &alias));
  EXPECT_EQ(ScopeCheck::kOutside, scopeFromPath("/orca/fs1", "/orca", &alias));
  EXPECT_EQ(ScopeCheck::kOutside, scopeFromPath("/orca/fs1", "/", &alias));
  EXPECT_EQ(ScopeCheck::kInvalid, scopeFromPath("/orca/fs1", "", &alias));
  EXPECT_EQ(ScopeCheck::kInside, scopeFromPath("/", "/hsm/data", &alias));
  EXPECT_EQ("/hsm/data", alias);
}

TEST(PreviewJson, StringsAreQuotedAndEscapedByteForByte) {
  EXPECT_EQ("\"/hsm/data/a b\"", jsonQuoted("/hsm/data/a b"));
  EXPECT_EQ("\"q\\\"b\\\\s\"", jsonQuoted("q\"b\\s"));
  EXPECT_EQ("\"t\\u0009n\\u000al\\u007f\"", jsonQuoted("t\tn\nl\x7f"));
  EXPECT_EQ("\"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\"", jsonQuoted("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"));
  // Not UTF-8: a stray byte, a cut sequence, an overlong form, a surrogate.
  EXPECT_EQ("\"a\\u00ffb\"", jsonQuoted("a\xff" "b"));
  EXPECT_EQ("\"\\u00e2\\u0082\"", jsonQuoted("\xe2\x82"));
  EXPECT_EQ("\"\\u00c0\\u00af\"", jsonQuoted("\xc0\xaf"));
  EXPECT_EQ("\"\\u00ed\\u00a0\\u0080\"", jsonQuoted("\xed\xa0\x80"));
}

// The mode with options, over the scripted server of the fixture.
class RunOptionsTest : public rectest::ModeTest {
 protected:
  int run(const MigundeleteRunOptions& options, int recovery = 0) {
    makeMode(0, 0, recovery).setRunOptions(options);
    return start();
  }
};

TEST_F(RunOptionsTest, PreviewTellsEachDecisionAndChangesNothing) {
  ASSERT_EQ(0, mkdir(path("/dir").c_str(), 0755));
  ASSERT_EQ(0, mkdir(path("/adir").c_str(), 0755));
  writeFile("/newer", "local", 1700000000);
  writeFile("/older", "local", 1500000000);
  writeFile("/plain", "x", 1500000000);
  add({.alias = "/dir/missing", .idSeed = 1});
  add({.alias = "/gone/deeper/f", .idSeed = 2});
  add({.alias = "/newer", .idSeed = 3});
  add({.alias = "/older", .idSeed = 4});
  add({.alias = "/adir", .idSeed = 5});
  add({.alias = "/exp", .expired = true, .idSeed = 6});
  add({.alias = "/a/../b", .idSeed = 7});
  add({.alias = "/plain/f", .idSeed = 8});
  add({.alias = "/dev", .mode = 020644, .idSeed = 9});
  MigundeleteRunOptions o;
  o.preview = o.json = true;
  EXPECT_EQ(0, run(o)) << err;
  const std::string F = "\"path\":\"" + fs;
  EXPECT_EQ(
      "{\"type\":\"object\",\"alias\":\"/dir/missing\"," + F + "/dir/missing\",\"action\":\"recreate\"}\n"
      "{\"type\":\"object\",\"alias\":\"/gone/deeper/f\"," + F + "/gone/deeper/f\",\"action\":\"refuse\","
      "\"reason\":\"missing-directory\",\"directory\":\"/gone\"}\n"
      "{\"type\":\"object\",\"alias\":\"/newer\"," + F + "/newer\",\"action\":\"skip-present\"}\n"
      "{\"type\":\"object\",\"alias\":\"/older\"," + F + "/older\",\"action\":\"replace-older\"}\n"
      "{\"type\":\"object\",\"alias\":\"/adir\"," + F + "/adir\",\"action\":\"skip-present\"}\n"
      "{\"type\":\"object\",\"alias\":\"/exp\"," + F + "/exp\",\"action\":\"skip-expired\"}\n"
      "{\"type\":\"object\",\"alias\":\"/a/../b\"," + F + "/a/../b\",\"action\":\"refuse\","
      "\"reason\":\"invalid-path\"}\n"
      "{\"type\":\"object\",\"alias\":\"/plain/f\"," + F + "/plain/f\",\"action\":\"refuse\","
      "\"reason\":\"not-a-directory\",\"directory\":\"/plain\"}\n"
      "{\"type\":\"object\",\"alias\":\"/dev\"," + F + "/dev\",\"action\":\"refuse\","
      "\"reason\":\"not-a-regular-file\"}\n"
      "{\"type\":\"totals\",\"file_system\":\"" + fs + "\",\"subtree\":\"/\",\"objects\":9,\"recreate\":1,"
      "\"replace\":1,\"skip_present\":2,\"skip_expired\":1,\"refuse\":4,\"missing_directories\":2}\n",
      out);
  EXPECT_EQ("", err) << "a preview reports no failures: nothing was tried";
  EXPECT_EQ(0, script.begins) << "no transaction";
  EXPECT_TRUE(script.updates.empty());
  EXPECT_FALSE(lexists(path("/dir/missing")));
  EXPECT_FALSE(lexists(path("/gone")));
  EXPECT_EQ("local", kmrtest::readFile(path("/older")));

  // Recovery replaces what stands there and cannot replace a directory.
  add({.alias = "/newer", .idSeed = 3});
  add({.alias = "/adir", .idSeed = 5});
  o.json = false;
  run(o, 1);
  EXPECT_TRUE(contains(out, "Would replace the file '" + path("/newer") + "'.")) << out;
  EXPECT_TRUE(contains(out, "Would fail on '" + path("/adir") + "': a directory exists at that path."));
  EXPECT_TRUE(contains(out, "Preview totals: 2 objects; 0 to recreate, 1 to replace, 0 to skip as present, "
                            "0 to skip as expired, 1 to refuse or fail; 0 missing directories."));
}

// Counts an observer sees, and that it sees the end.
class Tallies : public RunObserver {
 public:
  void objectDone(const RunTally& t) override { seen.push_back(t); }
  void runEnded(const RunTally& t) override { last = t, ended = true; }
  std::vector<RunTally> seen;
  RunTally last;
  bool ended = false;
};

TEST_F(RunOptionsTest, ObserverCountsRecreatedAndFailedObjects) {
  writeFile("/plain", "x", 1500000000);
  add({.alias = "/ok1", .idSeed = 1});
  add({.alias = "/plain/under", .idSeed = 2});  // fails: its directory is a file
  add({.alias = "rel", .idSeed = 3});           // passed over: not a path
  add({.alias = "/ok2", .idSeed = 4});
  Tallies watch;
  MigundeleteRunOptions o;
  o.makeDirs = true;
  o.observer = &watch;
  EXPECT_EQ(0, run(o));
  ASSERT_EQ(4u, watch.seen.size());
  EXPECT_EQ(1u, watch.seen[1].failed) << "each object's tally counts it already";
  EXPECT_TRUE(watch.ended);
  EXPECT_EQ(4u, watch.last.processed);
  EXPECT_EQ(2u, watch.last.recreated);
  EXPECT_EQ(1u, watch.last.failed);
  EXPECT_TRUE(contains(err, "The stub file '" + path("/plain/under") + "' is not recreated: '" + path("/plain") +
                                "' exists and is not a directory."))
      << err;
}

}  // namespace
