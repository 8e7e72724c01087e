// ZefServerCommInterface against zefserverd: a managed tmpfs file system in a
// private mount namespace whose configuration names the server stanza, option
// files in a scratch directory found through KMR_DIR and KMR_CONFIG, and a
// server on a loopback port with a fresh database. Root only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/trace.h"
#include "frontend/wiring.h"
#include "hsmfs/fstable.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locality.h"
#include "server/comminterface.h"
#include "server/serverlayer.h"
#include "tests/support/files.h"
#include "tests/support/private_mount.h"
#include "tests/support/zef_server.h"

namespace {

const char* const kNode1Password = "node1 Pa55";

using kmrtest::writeFile;
using Records = std::vector<std::unique_ptr<ZefServerMigratedObject>>;

// One line of `zefadm list-objects`: the id in hexadecimal, the uid, and
// "state size mode uid gid mtime" as text.
struct Listed {
  std::string id, text;
  unsigned uid = 0;
};

// What the client decoded of a record: "alias size uid:gid mode mtime", and
// " expired" when the record says so.
std::string decoded(const ZefServerMigratedObject& r) {
  const Attrib* a = r.getAttributes();
  char text[512];
  snprintf(text, sizeof text, "%s %llu %u:%u %o %u%s", r.alias.c_str(), static_cast<unsigned long long>(a->size),
           a->uid, a->gid, a->mode, a->mtime, r.isObjectExpired() ? " expired" : "");
  return text;
}

// Option messages go to the test's output, where a failing start-up shows.
void printOptionMessage(FILE*, int number, const std::vector<OptMsgArg>& args) {
  std::string text = "option message " + std::to_string(number);
  for (const OptMsgArg& a : args)
    text += " [" + (std::holds_alternative<int>(a) ? std::to_string(std::get<int>(a)) : std::get<std::string>(a)) + "]";
  fprintf(stderr, "%s\n", text.c_str());
}

class CommTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(kmrtest::EnterTestNamespace(&why)) << why;
    migundeleteWireLayers(migundeleteEnv());
    optSetMessageSink(printOptionMessage);
  }

  void SetUp() override {
    dir_ = kmrtest::makeScratchDir("kmrcommit");
    ASSERT_FALSE(dir_.empty());
    db_ = dir_ + "/zef.db";
    log_ = dir_ + "/server.log";
    ASSERT_EQ(mkdir((dir_ + "/node").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ + "/node/config").c_str(), 0755), 0);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    writeFile(dir_ + "/cluster.conf", "node 3 " + std::string(host) + "\ndevice 0 /dev/fs1\n");
    setenv("ORCA_CLUSTER_FILE", (dir_ + "/cluster.conf").c_str(), 1);
    hsmSettings() = HsmSettings();
    hsmSettings().nodeDir = dir_ + "/node";
    hsmSettings().adminCommand = ORCAHSMADM_PATH;
    resetInstanceNo();
    HsmFsTable::the().clear();
    ASSERT_TRUE(kmrtest::registerNode(db_, "node1", kNode1Password));
    ASSERT_TRUE(kmrtest::writeClientStore(dir_ + "/pw", "ZEF1", "NODE1", kNode1Password));

    fs_ = std::make_unique<kmrtest::ScratchMount>("tmpfs", 8);
    ASSERT_EQ(mkdir((fs_->path() + "/.Tarnveld").c_str(), 0755), 0);
    writeFile(fs_->path() + "/.Tarnveld/hsmfsconfig.xml",
              "<?xml version='1.0' encoding='ISO-8859-1' ?>\n<HsmFsConfig>\n"
              "  <SErver>ZEF1</SErver>\n</HsmFsConfig>\n");
  }

  void TearDown() override {
    optionsP = nullptr;
    options_.reset();
    server_.stop();
    fs_.reset();
    HsmFsTable::the().clear();
    resetInstanceNo();
    unsetenv("KMR_DIR");
    unsetenv("KMR_CONFIG");
    kmrtest::runShell("rm -rf " + dir_);
  }

  void adm(const std::string& args, std::string* out = nullptr) {
    std::string text;
    ASSERT_EQ(kmrtest::zefadm(db_, args, &text), 0) << text;
    if (out) *out = text;
  }

  // Option files in the scratch directory, found through the environment,
  // and the process options read from them as start-up does.
  void writeOptions() {
    const std::string stanza = "  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT " + std::to_string(server_.port()) +
                               "\n  NODENAME NODE1\n  COMMRESTARTDURATION 0\n"
                               "  PASSWORDACCESS GENERATE\n  PASSWORDDIR " + dir_ + "/pw\n";
    writeFile(dir_ + "/kmr.sys", "SERVERNAME OTHER\n  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT 9\n"
                                 "SERVERNAME ZEF1\n" + stanza);
    writeFile(dir_ + "/kmr.opt", "* client options of the test\n");
    setenv("KMR_DIR", dir_.c_str(), 1);
    setenv("KMR_CONFIG", (dir_ + "/kmr.opt").c_str(), 1);
    options_ = std::make_unique<clientOptions>();
    optEnvVarInit(*options_);
    optError err;
    ASSERT_EQ(optProcessOptions(*options_, OPT_SRC_USERFILE, nullptr, OPT_PASS_MAIN, &err), 0);
    ASSERT_EQ(options_->sysOptFile, dir_ + "/kmr.sys");
    optionsP = options_.get();
  }

  // The server with `options`, the option files naming it, and `objects`
  // generated objects in the managed file system's file space.
  void serverWithOptions(const std::vector<std::string>& options = {}, int objects = 0) {
    ASSERT_TRUE(server_.startOnClientPort({db_, log_, options, {}})) << kmrtest::readFile(log_);
    writeOptions();
    if (objects > 0) adm("generate NODE1 " + fs_->path() + " " + std::to_string(objects));
  }
  // The interface signed on for the managed file system.
  std::unique_ptr<ZefServerCommInterface> signOn() {
    int rc = -99;
    auto comm = std::make_unique<ZefServerCommInterface>(rc, fs_->path(), 0, 1);
    if (HasFatalFailure() || rc != 0) throw std::runtime_error("no session: rc " + std::to_string(rc));
    return comm;
  }

  // The objects of the file space (the managed one by default) by path.
  std::map<std::string, Listed> listObjects(const std::string& fileSpace = "") {
    std::string out;
    adm("list-objects NODE1 " + (fileSpace.empty() ? fs_->path() : fileSpace), &out);
    std::map<std::string, Listed> m;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      std::istringstream f(line);
      std::string state, size, mode, uid, gid, mtime, path;
      Listed l;
      f >> l.id >> state >> size >> mode >> uid >> gid >> mtime >> path;
      l.text = state + " " + size + " " + mode + " " + uid + " " + gid + " " + mtime;
      l.uid = static_cast<unsigned>(std::stoul(uid));
      m[path] = l;
    }
    return m;
  }

  std::string dir_, db_, log_;
  kmrtest::ZefServer server_;
  std::unique_ptr<kmrtest::ScratchMount> fs_;
  std::unique_ptr<clientOptions> options_;
};

// Queries every object and reads the stream to its end: the records in
// order, the end element in `*end` (when given).
Records queryAll(ZefServerCommInterface& comm, std::unique_ptr<cQueueBaseObject>* end = nullptr) {
  Records out;
  EXPECT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  for (;;) {
    std::unique_ptr<cQueueBaseObject> e(comm.getNextMigrObjectFromServer());
    if (auto* rec = dynamic_cast<ZefServerMigratedObject*>(e.get())) {
      e.release();
      out.emplace_back(rec);
      continue;
    }
    if (end) *end = std::move(e);
    return out;
  }
}

// Flags 2 moves the record and leaves its attributes; flags 1 changes the
// attributes and leaves its path, even one the client does not know.
TEST_F(CommTest, UpdateFlagsChooseWhatTheServerChanges) {
  serverWithOptions({}, 2);
  auto comm = signOn();
  Records r = queryAll(*comm);
  ASSERT_EQ(r.size(), 2u);
  const unsigned movedUid = r[0]->getAttributes()->uid;
  const std::string keptPath = r[1]->alias;
  ASSERT_EQ(comm->beginTransaction(), 0);
  writeFile(fs_->path() + "/moved", "x");  // a path-only update records the file's handle
  r[0]->getAttributes()->uid = 555;
  r[0]->alias = "/moved";
  ASSERT_EQ(comm->updateMigrObjectOnServer(r[0].get(), 2), 0);
  r[1]->getAttributes()->uid = 777;
  r[1]->alias.clear();
  ASSERT_EQ(comm->updateMigrObjectOnServer(r[1].get(), 1), 0);
  EXPECT_EQ(comm->stopTransaction(), 0);
  auto listed = listObjects();
  ASSERT_EQ(listed.count("/moved"), 1u);
  EXPECT_EQ(listed["/moved"].uid, movedUid);
  ASSERT_EQ(listed.count(keptPath), 1u);
  EXPECT_EQ(listed[keptPath].uid, 777u);
  // Forced, the managed file system gets a new signed-on session.
  EXPECT_EQ(comm->setFileSystem(fs_->path(), 1, 1), 0);
  ASSERT_NE(comm->fileSpec(), nullptr);
  EXPECT_EQ(sessGetState(comm->session()), sSignedOn);
}

// A deletion names the client's file space; the server refuses it for an
// object of another one, and the object stays.
TEST_F(CommTest, DeletingAnObjectOfAnotherFileSpaceIsRefused) {
  serverWithOptions();
  adm("generate NODE1 /elsewhere 1");
  auto other = listObjects("/elsewhere");
  ASSERT_EQ(other.size(), 1u);
  const std::string hex = other.begin()->second.id;
  ASSERT_EQ(hex.size(), 2 * kExtObjIdLen);
  midExtObjId_t id{};
  for (size_t i = 0; i < kExtObjIdLen; ++i)
    id.bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  auto comm = signOn();
  ASSERT_EQ(comm->beginTransaction(), 0);
  SyncFileDeletionObject deletion(id, other.begin()->first);
  ASSERT_EQ(comm->delMigrObjectOnServer(&deletion), 0);
  EXPECT_EQ(comm->stopTransaction(), 32);
  EXPECT_EQ(listObjects("/elsewhere").size(), 1u);
}

// The client's own encoders and decoders against the reference server's:
// sign-on, the file space added by getfsID, query, single-object query,
// update of attributes and path, expire, delete, and commit.
TEST_F(CommTest, ClientAndReferenceServerAgreeOnEveryVerb) {
  serverWithOptions();
  auto session = signOn();
  ZefServerCommInterface& comm = *session;
  ASSERT_NE(comm.fileSpec(), nullptr);
  const uint32_t fsId = comm.fileSpec()->fsID;
  EXPECT_NE(fsId, 0u);
  std::string spaces;
  adm("list-filespaces", &spaces);
  EXPECT_NE(spaces.find(std::to_string(fsId) + "\tNODE1\t" + fs_->path() + "\t"), std::string::npos) << spaces;

  // An empty file space ends its stream at once.
  std::unique_ptr<cQueueBaseObject> end;
  EXPECT_TRUE(queryAll(comm, &end).empty());
  EXPECT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);

  writeFile(dir_ + "/objs.jsonl",
            "{\"path\":\"/a/one\",\"size\":5000,\"uid\":11,\"gid\":12,\"mode\":33188,\"mtime\":1700000000}\n"
            "{\"path\":\"/a/two\",\"size\":7,\"uid\":21,\"gid\":22,\"mode\":33261,\"mtime\":1700000100,"
            "\"expired\":true}\n"
            "{\"path\":\"/b/three\",\"size\":123456789012,\"uid\":31,\"gid\":32,\"mtime\":1700000200}\n");
  adm("import NODE1 " + fs_->path() + " " + dir_ + "/objs.jsonl");
  Records r = queryAll(comm, &end);
  ASSERT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ("/a/one 5000 11:12 100644 1700000000", decoded(*r[0]));
  EXPECT_EQ("/a/two 7 21:22 100755 1700000100 expired", decoded(*r[1]));
  EXPECT_EQ("/b/three 123456789012 31:32 100644 1700000200", decoded(*r[2]));
  auto listed = listObjects();
  for (auto& rec : r) EXPECT_EQ(listed[rec->alias].id, rec->getExtObjIDString()) << rec->alias;

  // The single-object query reads the same record.
  ZefServerMigratedObject one;
  midExtObjId_t id = *r[2]->getExtObjID();
  ASSERT_EQ(comm.queryServerForMigrObject(&id, &one), 0);
  EXPECT_EQ("/b/three 123456789012 31:32 100644 1700000200", decoded(one));

  // Update (attributes and a new path), unexpire, expire and delete, all in
  // one transaction list, visible after the commit.
  ASSERT_EQ(comm.beginTransaction(), 0);
  r[0]->getAttributes()->size = 6000;
  r[0]->getAttributes()->uid = 99;
  r[0]->alias = "/a/renamed";
  ASSERT_EQ(comm.updateMigrObjectOnServer(r[0].get(), 3), 0);
  ASSERT_EQ(comm.unexpireMigrObjectOnServer(r[1].get()), 0);
  ASSERT_EQ(comm.delMigrObjectOnServer(r[2].get()), 0);
  EXPECT_EQ(listObjects().size(), 3u);  // nothing committed yet
  EXPECT_EQ(comm.stopTransaction(), 0);
  listed = listObjects();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ("migrated 6000 100644 99 12 1700000000", listed["/a/renamed"].text);
  EXPECT_EQ("migrated 7 100755 21 22 1700000100", listed["/a/two"].text);

  ASSERT_EQ(comm.beginTransaction(), 0);
  ASSERT_EQ(comm.expireMigrObjectOnServer(r[0].get()), 0);
  SyncFileDeletionObject deletion(*r[1]->getExtObjID(), r[1]->alias);
  ASSERT_EQ(comm.delMigrObjectOnServer(&deletion), 0);
  EXPECT_EQ(comm.stopTransaction(), 0);
  listed = listObjects();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ("expired 6000 100644 99 12 1700000000", listed["/a/renamed"].text);

  // And the client reads back what it wrote.
  ZefServerMigratedObject back;
  id = *r[0]->getExtObjID();
  ASSERT_EQ(comm.queryServerForMigrObject(&id, &back), 0);
  EXPECT_EQ("/a/renamed 6000 99:12 100644 1700000000 expired", decoded(back));
}

TEST_F(CommTest, QueryThreadThatCannotSignOnEndsTheCommand) {
  serverWithOptions();
  auto comm = signOn();
  server_.stop();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(comm->getAllMigrObjectsFromServer(0), ::testing::ExitedWithCode(1), "");
}

}  // namespace
