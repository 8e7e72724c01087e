// After an accident: a directory tree of stubs removed with rm -rf, looked at
// with a preview, brought back with a subtree run that makes the lost
// directories, and a live progress line on a terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "tests/integration/migundelete/command_fixture.h"

using namespace e2e::command;  // NOLINT: the fixture and its helpers

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The value of "key":"..." in a JSON line as this command writes it.
std::string jsonText(const std::string& line, const std::string& key) {
  std::string tag = "\"" + key + "\":\"";
  size_t at = line.find(tag);
  if (at == std::string::npos) return "<none>";
  size_t start = at + tag.size();
  return line.substr(start, line.find('"', start) - start);
}

class FeatureTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    if (IsSkipped()) return;
    bed->startServer();
    fs = bed->mountManaged();
  }
  void makeAllStubs() {
    Result r = bed->run({fs});
    ASSERT_EQ(0, r.status) << r.err.substr(0, 2000);
  }
  std::string fs;
};

TEST_F(FeatureTest, RemovedTreeIsPreviewedThenBroughtBackAloneWithItsDirectories) {
  ASSERT_EQ(0, mkdir((fs + "/proj").c_str(), 0750));
  ASSERT_EQ(0, chown((fs + "/proj").c_str(), 1001, 1002));
  generated(fs, 5000, "/proj/lost");
  generated(fs, 20, "/keep");
  makeAllStubs();
  const auto before = byAlias(fs);
  ASSERT_EQ(5020u, before.size());

  // The accident, and one stub missing outside the directory.
  ASSERT_EQ(0, system(("rm -rf '" + fs + "/proj/lost'").c_str()));
  ASSERT_EQ(0, unlink((fs + "/keep/d00000/f00000003").c_str()));
  const std::string lost = fs + "/proj/lost";
  const std::string treeBefore = e2e::TreeSnapshot(fs);
  const auto recordsBefore = bed->records(fs);
  const std::string logBefore = e2e::TreeSnapshot(bed->work() + "/log");

  // Machine-readable preview of the subtree, with directories to be made.
  Result json = bed->run({"-JSON", "-MKDIRS", "-SUBTREE=" + lost, fs});
  ASSERT_EQ(0, json.status) << json.err.substr(0, 2000);
  std::set<std::string> listed;
  std::string totals;
  for (const std::string& line : lines(json.out)) {
    if (line.rfind("{\"type\":\"totals\"", 0) == 0) totals = line;
    if (line.rfind("{\"type\":\"object\"", 0) != 0) continue;
    EXPECT_EQ("recreate", jsonText(line, "action")) << line;
    EXPECT_EQ("/proj/lost", jsonText(line, "directory")) << line;
    EXPECT_EQ(fs + jsonText(line, "alias"), jsonText(line, "path"));
    listed.insert(jsonText(line, "alias"));
  }
  std::set<std::string> removed;
  for (const auto& [alias, rec] : before)
    if (alias.rfind("/proj/lost/", 0) == 0) removed.insert(alias);
  EXPECT_EQ(5000u, removed.size());
  EXPECT_TRUE(listed == removed) << listed.size() << " objects listed";
  EXPECT_EQ("{\"type\":\"totals\",\"file_system\":\"" + fs +
                "\",\"subtree\":\"/proj/lost\",\"objects\":5000,\"recreate\":5000,\"replace\":0,"
                "\"skip_present\":0,\"skip_expired\":0,\"refuse\":0,\"missing_directories\":6}",
            totals);

  // The text form without -MKDIRS says why each object would fail.
  Result text = bed->run({"-p", "-s=" + lost, fs});
  ASSERT_EQ(0, text.status) << text.err.substr(0, 2000);
  EXPECT_TRUE(contains(text.out, "Preview of the directory '/proj/lost' of file system '" + fs +
                                     "': nothing is changed on disk or on the server."))
      << text.out.substr(0, 2000);
  EXPECT_EQ(5000u, countOf(text.out, "': the directory '" + lost + "' is missing (-MKDIRS creates it)."));
  EXPECT_TRUE(contains(text.out, "Would fail on '" + lost + "/d00004/f00004999': the directory"));
  EXPECT_TRUE(contains(text.out, "Preview totals: 5000 objects; 0 to recreate, 0 to replace, 0 to skip as present, "
                                 "0 to skip as expired, 5000 to refuse or fail; 6 missing directories."));
  EXPECT_FALSE(contains(text.out, "/keep/")) << "an object outside the subtree was listed";

  // Nothing changed: files and directories (the run lock's file included),
  // the server's records, the error log.
  EXPECT_EQ(treeBefore, e2e::TreeSnapshot(fs));
  EXPECT_TRUE(recordsBefore == bed->records(fs)) << "the preview changed a record";
  EXPECT_EQ(logBefore, e2e::TreeSnapshot(bed->work() + "/log"));

  // The subtree run with lost directories.
  Result run = bed->run({"-SUBTREE=" + lost + "/", "-MKDIRS", fs});
  EXPECT_EQ(0, run.status) << run.err.substr(0, 2000);
  EXPECT_TRUE(contains(run.out, "Recreating the deleted stub files below '/proj/lost' of file system '" + fs + "'."));
  EXPECT_TRUE(contains(run.out, "5000 objects have been updated on the server.")) << run.out.substr(0, 3000);
  EXPECT_TRUE(contains(run.out, "The deleted stub files below '/proj/lost' of file system '" + fs +
                                    "' have been recreated."));
  EXPECT_EQ(6u, countOf(run.out, "BQF9703I"));
  for (const std::string dir : {"", "/d00000", "/d00004"}) {
    EXPECT_TRUE(contains(run.out, "The missing directory '" + lost + dir + "' was created.")) << dir;
    struct stat st;
    ASSERT_EQ(0, lstat((lost + dir).c_str(), &st)) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0750u, st.st_mode & 07777) << "the nearest existing directory's mode";
    EXPECT_EQ(1001u, st.st_uid);
    EXPECT_EQ(1002u, st.st_gid);
  }
  EXPECT_FALSE(contains(run.err, "BQF9333E")) << run.err.substr(0, 2000);
  size_t exact = 0;
  for (const ObjectRecord& rec : bed->records(fs)) {
    const ObjectRecord& was = before.at(rec.path);
    if (removed.count(rec.path)) {
      std::string d = e2e::StubDifferences(fs + rec.path, was) + recordDifferences(fs + rec.path, was, rec);
      if (d.empty()) ++exact;
      else ADD_FAILURE() << rec.path << ": " << d;
    } else {
      EXPECT_TRUE(sameRecord(was, rec)) << rec.path << " outside the subtree was updated";
    }
  }
  EXPECT_EQ(5000u, exact);
  struct stat gone;
  EXPECT_NE(0, lstat((fs + "/keep/d00000/f00000003").c_str(), &gone)) << "recreated outside the subtree";
  EXPECT_EQ(before.at("/keep/d00000/f00000001").handle, e2e::ExpectedHandle(fs + "/keep/d00000/f00000001"));

  // A plain run of the subtree now finds nothing to do.
  const auto recordsAfter = bed->records(fs);
  Result again = bed->run({"-SUBTREE=" + lost, fs});
  EXPECT_EQ(0, again.status) << again.err.substr(0, 2000);
  EXPECT_TRUE(contains(again.out, "0 objects have been updated on the server.")) << again.out;
  EXPECT_FALSE(contains(again.out, "was created."));
  EXPECT_TRUE(recordsAfter == bed->records(fs)) << "a run with nothing to do changed a record";

  // And a preview of the whole file system sees only the stub outside.
  Result whole = bed->run({"-PREVIEW", fs});
  EXPECT_EQ(0, whole.status);
  EXPECT_EQ(1u, countOf(whole.out, "Would recreate '")) << whole.out.substr(0, 2000);
  EXPECT_TRUE(contains(whole.out, "Would recreate '" + fs + "/keep/d00000/f00000003'."));
  EXPECT_EQ(5019u, countOf(whole.out, "a file as new as the server's copy or newer exists."));
}

TEST_F(FeatureTest, SubtreeNamesItsFileSystemOrIsRefused) {
  generated(fs, 3, "/a");
  Result outside = bed->run({"-SUBTREE=/elsewhere/a", fs});
  EXPECT_EQ(1, outside.status);
  EXPECT_TRUE(contains(outside.err, "BQF9709E")) << outside.err;
  Result nowhere = bed->run({"-S=/nowhere/managed"});
  EXPECT_EQ(1, nowhere.status);
  EXPECT_TRUE(contains(nowhere.err, "BQF9710E")) << nowhere.err;
  EXPECT_FALSE(contains(outside.out + nowhere.out, "Recreating"));
  // Without a file system the directory names it (from the managed table).
  Result r = bed->run({"-SUBTREE=" + fs + "//a/"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "below '/a' of file system '" + fs + "'")) << r.out;
  EXPECT_TRUE(contains(r.out, "3 objects have been updated on the server.")) << r.out;
}

TEST_F(FeatureTest, ProgressLineOnATerminalOnlyAndNeverInTheWayOfMessages) {
  generated(fs, 300, "/t");
  ASSERT_EQ(0, system(("rm -rf '" + fs + "/t/d00000'").c_str()));
  ASSERT_EQ(0, mkdir((fs + "/t/d00000").c_str(), 0755));
  // One object whose directory is gone: a failure message in mid-run.
  ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, fs, "1", "--prefix", "/gone"}).status);

  // Each run ends 1: the object without its directory fails every time.
  Result tty = e2e::RunWithTerminalStderr(bed->command({fs}));
  EXPECT_EQ(1, tty.status) << tty.err;
  EXPECT_TRUE(contains(tty.err, "\r301 processed, 300 recreated, 1 failed, ")) << tty.err;
  EXPECT_TRUE(contains(tty.err, " elapsed\x1b[K\r\n")) << "the final line stays, then a line end";
  // The failure message starts on a cleared line, not behind the progress.
  size_t at = tty.err.find("BQF9333E");
  ASSERT_NE(std::string::npos, at) << tty.err;
  EXPECT_TRUE(at == 0 || tty.err.compare(at - 4, 4, "\r\x1b[K") == 0 || tty.err[at - 1] == '\n')
      << tty.err.substr(at < 80 ? 0 : at - 80, 160);
  EXPECT_TRUE(contains(tty.out, "300 objects have been updated on the server.")) << tty.out;

  // Not a terminal: nothing of it. -DETAIL on a terminal: nothing of it either.
  ASSERT_EQ(0, system(("rm -rf '" + fs + "/t/d00000'/*").c_str()));
  Result pipe = bed->run({fs});
  EXPECT_EQ(1, pipe.status);
  EXPECT_FALSE(contains(pipe.err, "processed,")) << pipe.err;
  EXPECT_FALSE(contains(pipe.err, "\x1b[K"));
  EXPECT_TRUE(contains(pipe.out, "300 objects have been updated on the server.")) << pipe.out;
  ASSERT_EQ(0, system(("rm -rf '" + fs + "/t/d00000'/*").c_str()));
  Result detail = e2e::RunWithTerminalStderr(bed->command({"-DETAIL", fs}));
  EXPECT_EQ(1, detail.status);
  EXPECT_FALSE(contains(detail.err, "processed,")) << detail.err;
  EXPECT_TRUE(contains(detail.out, "300 objects have been updated on the server."));
}

}  // namespace
