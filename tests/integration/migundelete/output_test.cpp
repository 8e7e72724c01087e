// What kmrmigundelete tells people, scripts and the reconcile log: a preview
// that leaves the server and the disk alone, JSON lines alone on standard
// output, the closing summary and its log record, lost directories.
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "tests/integration/migundelete/e2e_support.h"

using namespace e2e;  // NOLINT: the test bed, its fixture and readers

namespace {

constexpr const char* kReconcileLog = "/var/log/kmrreconcile.log";

class OutputTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    unlink(kReconcileLog);  // the namespace's /var/log outlives a test
  }
};

// Every line of `out` is one JSON object.
void ExpectJsonLinesOnly(const std::string& out) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(line.size() > 1 && line.front() == '{' && line.back() == '}') << line;
}

TEST_F(OutputTest, PreviewOfAFileSystemTheServerDoesNotKnowRegistersNothingAndWritesNoFile) {
  const std::string fs = serve();
  const std::string spaces = bed->zefadm({"list-filespaces"}).out;
  Result text = bed->run({"-PREVIEW", fs});
  EXPECT_EQ(0, text.status) << text.err;
  EXPECT_THAT(text.out, HasSubstr("The server holds no objects of file system '" + fs + "'"));
  EXPECT_THAT(text.out, HasSubstr("Preview totals: 0 objects;"));
  Result json = bed->run({"-JSON", fs});
  EXPECT_EQ(0, json.status) << json.err;
  EXPECT_THAT(json.out, HasSubstr("{\"type\":\"totals\",\"file_system\":\"" + fs + "\",\"subtree\":\"/\",\"objects\":0,"));
  EXPECT_EQ(spaces, bed->zefadm({"list-filespaces"}).out) << "a preview registered the file space";
  EXPECT_FALSE(lexists(kReconcileLog)) << "a preview created the reconcile log";
}

TEST_F(OutputTest, JsonLinesAloneOnStandardOutputAndNamesThatAreNotUtf8Recoverable) {
  const std::string fs = serve();
  MakeFile(fs + "/caf\xe9", 10, 0, 0, 0644, 1500000000, 1600000000);
  migrate(fs);
  ASSERT_EQ(0, unlink((fs + "/caf\xe9").c_str()));
  Result r = bed->run({"-JSON", fs});
  EXPECT_EQ(0, r.status) << r.err;
  ExpectJsonLinesOnly(r.out);
  EXPECT_THAT(r.out, HasSubstr("{\"type\":\"object\",\"alias\":\"/caf\\u00e9\",\"alias_base64\":\"L2NhZuk=\","));
  EXPECT_THAT(r.err, HasSubstr("BQF2090I")) << "the banner belongs on standard error";
}

TEST_F(OutputTest, RunEndsWithItsCountsOnTheTerminalAndInTheReconcileLog) {
  const std::string fs = serve();
  deletedStubs(fs, 3);
  Result r = bed->run({"-DETAIL", fs});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string summary = "Summary of '" + fs +
                              "': 3 recreated, 0 replaced, 0 skipped, 0 refused, 0 failed, 0 directories made, ";
  EXPECT_THAT(r.out, HasSubstr(summary));
  const std::string log = kmrtest::readFile(kReconcileLog);
  EXPECT_THAT(log, HasSubstr(summary));
  EXPECT_THAT(log, HasSubstr("The stub file '" + fs + "/f02' was recreated."));
  EXPECT_THAT(log, ::testing::ContainsRegex("^[0-9/]+ +[0-9:]+ +/")) << "each record has its date";
}

TEST_F(OutputTest, ObjectsBelowALostDirectoryGiveOneMessagePerDirectory) {
  const std::string fs = serve();
  ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, fs, "1000", "--prefix", "/proj/lost"}).status);
  ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, fs, "3", "--prefix", "/other"}).status);
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(2u, countOf(r.err, "BQF9734E")) << r.err.substr(0, 2000);
  EXPECT_THAT(r.err, HasSubstr("1000 objects below the missing directory '" + fs + "/proj' were not recreated; "
                               "-MKDIRS brings the directory back."));
  EXPECT_THAT(r.err, HasSubstr("3 objects below the missing directory '" + fs + "/other' were not"));
  EXPECT_THAT(r.out, HasSubstr(": 0 recreated, 0 replaced, 0 skipped, 0 refused, 1003 failed, 0 directories made"));
}

// Directories -MKDIRS makes take the owner and group that all objects
// recreated below them share, and keep the mode of the directory above;
// the preview says so before, the run after.
TEST_F(OutputTest, MadeDirectoriesTakeTheOwnerTheirObjectsShareAndArePreviewedAndNamed) {
  const std::string fs = serve();
  ASSERT_EQ(0, mkdir((fs + "/proj").c_str(), 0750));
  importRecords(fs, JsonRecord("/proj/lost/a/f1", 10, 0100644, 1234, 1235, 1500000000, 1600000000) +
                        JsonRecord("/proj/lost/f2", 10, 0100644, 1234, 1235, 1500000000, 1600000000) +
                        JsonRecord("/proj/mix/f3", 10, 0100644, 1234, 1235, 1500000000, 1600000000) +
                        JsonRecord("/proj/mix/f4", 10, 0100644, 4321, 1235, 1500000000, 1600000000));
  struct Want {
    const char* alias;
    unsigned uid, gid;
  } const wants[] = {{"/proj/lost", 1234, 1235}, {"/proj/lost/a", 1234, 1235}, {"/proj/mix", 0, 0}};
  Result preview = bed->run({"-PREVIEW", "-MKDIRS", fs});
  Result json = bed->run({"-JSON", "-MKDIRS", fs});
  Result run = bed->run({"-MKDIRS", fs});
  EXPECT_EQ(0, run.status) << run.err;
  for (const Want& w : wants) {
    const std::string path = fs + w.alias, ids = std::to_string(w.uid) + ", group " + std::to_string(w.gid);
    EXPECT_THAT(preview.out, HasSubstr("Would create the directory '" + path + "' with owner " + ids + " and mode 0750."));
    EXPECT_THAT(json.out, HasSubstr("{\"type\":\"directory\",\"alias\":\"" + std::string(w.alias) + "\",\"path\":\"" +
                                    path + "\",\"uid\":" + std::to_string(w.uid) + ",\"gid\":" +
                                    std::to_string(w.gid) + ",\"mode\":\"0750\"}\n"));
    EXPECT_THAT(run.out, HasSubstr("The directory '" + path + "' made by -MKDIRS has owner " + ids + " and mode 0750."));
    struct stat st {};
    EXPECT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_EQ(w.uid, st.st_uid) << w.alias;
    EXPECT_EQ(w.gid, st.st_gid) << w.alias;
    EXPECT_EQ(040750u, st.st_mode) << w.alias;
  }
  EXPECT_THAT(run.out, HasSubstr(": 4 recreated, 0 replaced, 0 skipped, 0 refused, 0 failed, 3 directories made"));
}

// With nobody listening on the server's port, the terminal says which
// server, which port and what the system answered.
TEST_F(OutputTest, FailedConnectionNamesServerPortAndSystemErrorOnTheTerminal) {
  const std::string fs = serve();
  bed->stopServer();
  Result r = bed->run({fs});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, ::testing::ContainsRegex("The connection to server '127\\.0\\.0\\.1' on port [0-9]+ failed: "
                                              "Connection refused \\(errno = 111\\)"))
      << r.out << r.err;
}

// -SUBTREE naming one file brings back that stub alone; a subtree that
// holds no object says so, with the path of the server's nearest to it.
TEST_F(OutputTest, SubtreeOfOneFileRestoresItAndOneWithoutObjectsNamesTheNearest) {
  const std::string fs = serve();
  deletedStubs(fs, 3);
  Result one = bed->run({"-SUBTREE=" + fs + "/f01", fs});
  EXPECT_EQ(0, one.status) << one.err;
  EXPECT_TRUE(lexists(fs + "/f01"));
  EXPECT_FALSE(lexists(fs + "/f00"));
  EXPECT_THAT(one.out, HasSubstr("': 1 recreated, 0 replaced,"));
  struct Case {
    std::string subtree, says;
  } const cases[] = {
      {"/f1", "; the nearest path it holds is '" + fs + "/f01'."},
      {"/f01/x", "; the nearest path it holds is '" + fs + "/f01'."},
  };
  for (const Case& c : cases) {
    for (const char* preview : {"-PREVIEW", "-MKDIRS"}) {
      Result r = bed->run({preview, "-SUBTREE=" + fs + c.subtree, fs});
      EXPECT_EQ(0, r.status) << r.err;
      EXPECT_THAT(r.out + r.err, HasSubstr("The server holds no object at or below '" + fs + c.subtree +
                                           "' of file system '" + fs + "'" + c.says))
          << preview << " " << c.subtree;
    }
  }
}

}  // namespace
