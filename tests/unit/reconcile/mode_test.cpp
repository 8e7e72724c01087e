// The migundelete mode over a real tmpfs, fed by a scripted server.
#include <sys/stat.h>

#include "common/options.h"
#include "platform/orca/scout.h"
#include "tests/support/datagram_listener.h"
#include "tests/support/text.h"
#include "tests/support/voqobj_sample.h"
#include "tests/support/xattr.h"
#include "tests/unit/reconcile/reconcile_fixture.h"

namespace {
using rectest::ModeTest;

using kmrtest::contains;
using kmrtest::countOf;
using kmrtest::lexists;
using kmrtest::rawXattr;
using kmrtest::readFile;
const std::string kObjAttr = "trusted.dmapi.VOQObj";

// A listener standing in for the scout daemon, where the mode sends to.
struct ScoutListener : kmrtest::DatagramListener {
  explicit ScoutListener(const std::string& path) : DatagramListener(path) { hsmScoutSetSocketPath(path); }
  ~ScoutListener() { hsmScoutSetSocketPath(""); }
};

TEST_F(ModeTest, DecisionFollowsTheLocalFileAndItsModificationTime) {
  auto& m = makeMode(1, 0, 0);
  mkdir(path("/dir").c_str(), 0755);
  // A directory older than the server's copy is still never replaced.
  ASSERT_EQ(0, mkdir(path("/olddir").c_str(), 0755));
  struct timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path("/olddir").c_str(), old, 0));
  // (A local file as new as the server's copy or newer: the end-to-end tests.)
  writeFile("/older", "x", 1500000000);
  const std::pair<const char*, int> cases[] = {
      {"/missing", 1}, {"/nodir/missing", 1}, {"/dir", 0}, {"/olddir", 0},
      {"/older", 1},  // the server's copy is newer
      {"/", 0},        {"relative", 0},       {"", 0}};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const auto& [alias, required] : cases) {
    std::unique_ptr<ZefServerMigratedObject> o(rectest::makeObject({.alias = alias}));
    EXPECT_EQ(required, m.isRecreationRequired(o.get())) << alias;
  }
  err = testing::internal::GetCapturedStderr();
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(2u, countOf(out, "BQF9319I")) << out;  // the two directories
  EXPECT_EQ(1u, countOf(out, "BQF9320I")) << out;
  EXPECT_TRUE(contains(out, path("/older")));
  EXPECT_EQ(3u, countOf(err, "BQF9334W")) << err;
  EXPECT_TRUE(contains(err, "'relative'"));
  EXPECT_EQ("x", readFile(path("/older"))) << "the decision never touches an existing file";
}

// What a normal run does beyond what the end-to-end runs against zefserverd
// check (the stub's attributes, region and record, kept and expired
// objects, the run's messages and counts, the records' new state).
TEST_F(ModeTest, NormalRunWritesTheSampleRecordLeavesADirectoryAloneAndTellsTheScout) {
  ScoutListener scout(fs + "/scout.sock");
  ASSERT_EQ(0, mkdir(path("/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir(path("/adir").c_str(), 0755));
  add({.alias = "/sub/gone", .size = kmrtest::kSampleSize, .mtime = kmrtest::kSampleMtime,
       .ctime = kmrtest::kSampleCtime, .idSeed = 3});  // the shared sample object
  add({.alias = "/adir"});
  EXPECT_EQ(0, run(0, 0, 0));

  // The stub's HSM attribute, byte for byte as zefadm writes it for the same
  // object.
  EXPECT_EQ(kmrtest::sampleVOQObj(), rawXattr(path("/sub/gone"), kObjAttr));
  EXPECT_FALSE(rawXattr(path("/sub/gone"), "trusted.dmapi.VOQexID").has_value());
  struct stat dir {};
  ASSERT_EQ(0, lstat(path("/adir").c_str(), &dir));
  EXPECT_EQ(040755u, dir.st_mode) << "the object's mode was applied to the directory";

  // The server heard of exactly one change, naming the new file.
  ASSERT_EQ(1u, script.updates.size());
  EXPECT_EQ("/sub/gone", script.updates[0].alias);
  EXPECT_EQ(3, script.updates[0].flags);
  EXPECT_FALSE(contains(out, "BQF9321I")) << "per-file lines only with detail";

  auto datagrams = scout.received();
  ASSERT_EQ(1u, datagrams.size());
  EXPECT_EQ(hsmScoutEncode(fs.c_str(), "/sub", "gone", 1), datagrams[0]);
}

TEST_F(ModeTest, ScoutHearsOfNoStubInRecoveryNorWithTheAutomaticDaemonsDisabled) {
  ScoutListener scout(fs + "/scout.sock");
  add({.alias = "/recovered", .idSeed = 1});
  EXPECT_EQ(0, run(0, 0, 1));
  EXPECT_TRUE(lexists(path("/recovered")));
  clientOptions opts;
  opts.hsmDisableAutoMigDaemons = 1;
  opts.hsmExtObjIdAttr = 1;
  clientOptions* saved = optionsP;
  optionsP = &opts;
  add({.alias = "/a", .idSeed = 9});
  makeMode(0, 0, 0);
  optionsP = saved;  // the mode keeps the options it was made with
  EXPECT_EQ(0, start());
  EXPECT_TRUE(scout.received().empty());
  EXPECT_EQ(std::string("909192939495969798999A9B9C9D9E9FA0A1A2A3A4A5A6A7A8A9AAAB", 57),
            rawXattr(path("/a"), "trusted.dmapi.VOQexID"));
}

TEST_F(ModeTest, StubStepsWithoutTheCreatedFileNeverTouchWhatIsAtThePath) {
  // A link planted at the stub's name, pointing at a file the user wants
  // root to turn into a stub.
  writeFile("/target", "user data", 1600000000);
  ASSERT_EQ(0, symlink(path("/target").c_str(), path("/link").c_str()));
  std::unique_ptr<ZefServerMigratedObject> o(rectest::makeObject({.alias = "/link"}));
  auto& m = makeMode(0, 0, 0);
  std::string p = path("/link");
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, m.createStubFromFile(o.get(), p));
  EXPECT_EQ(0, m.updateFileStat(p, o->getAttributes()));
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(err, "'" + p + "' failed in dm_path_to_handle(): errno = 9")) << err;
  EXPECT_TRUE(contains(err, "'" + p + "' failed in chown(): errno = 9")) << err;
  EXPECT_FALSE(rawXattr(path("/target"), kObjAttr).has_value());
  struct stat st {};
  ASSERT_EQ(0, stat(path("/target").c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  EXPECT_EQ(9, st.st_size);
}

TEST_F(ModeTest, StreamEndsOtherThanByFinishSetTheRunResult) {
  script.elements.push_back(new FailureMessageObject(1, 1074));
  EXPECT_EQ(-50, run(0, 0, 0));
  // An empty line, then the message, whose text already ends the line.
  EXPECT_EQ(err, "\nBQF1074E The operation was stopped by the user or by a signal.\n");
  EXPECT_EQ(1, script.stops);

  script.finishAtEnd = false;
  EXPECT_EQ(102, run(0, 0, 0));
  EXPECT_TRUE(contains(err, "BQF9184E"));
  script.finishAtEnd = true;

  struct Other : queueMessageObject {
    Other() : queueMessageObject(1) {}
  };
  script.elements.push_back(new Other);
  EXPECT_EQ(115, run(0, 0, 0));
  EXPECT_FALSE(contains(out, "BQF2609I"));
}

TEST_F(ModeTest, FailedStartReturnsTheServerCodeWithoutQuerying) {
  script.beginRc = 102;
  EXPECT_EQ(102, run(0, 0, 0));
  EXPECT_TRUE(contains(out, "BQF1030E"));
  EXPECT_EQ(0, script.queries);
  EXPECT_EQ(0, script.stops);

  script.beginRc = 0;
  script.queryRc = -50;
  EXPECT_EQ(-50, run(0, 0, 0));
  EXPECT_EQ(0, script.stops);
}

TEST_F(ModeTest, RejectedServerUpdateIsNotCounted) {
  script.updateRc = 136;
  add({.alias = "/a"});
  EXPECT_EQ(0, run(0, 0, 0));
  EXPECT_TRUE(contains(out, "BQF2609I 0 objects"));
  EXPECT_EQ(1u, script.updates.size());
  EXPECT_TRUE(lexists(path("/a"))) << "the stub itself stays";
}

}  // namespace
