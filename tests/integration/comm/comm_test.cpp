// ZefServerCommInterface in this process against zefserverd, on the test bed
// of the end-to-end tests: a private mount namespace, a server on a loopback
// port with a fresh database, a managed tmpfs whose configuration names the
// server stanza, and the option files read as start-up reads them. Root only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/options.h"
#include "frontend/wiring.h"
#include "hsmfs/fstable.h"
#include "hsmfs/locality.h"
#include "server/comminterface.h"
#include "server/serverlayer.h"
#include "server/session.h"
#include "tests/integration/migundelete/e2e_support.h"

namespace {

using e2e::Bed;
using e2e::ObjectRecord;
using kmrtest::writeFile;
using Records = std::vector<std::unique_ptr<ZefServerMigratedObject>>;

// What the client decoded of a record: "alias size uid:gid mode mtime", and
// " expired" when the record says so.
std::string decoded(const ZefServerMigratedObject& r) {
  const Attrib* a = r.getAttributes();
  char text[512];
  snprintf(text, sizeof text, "%s %llu %u:%u %o %u%s", r.alias.c_str(), static_cast<unsigned long long>(a->size),
           a->uid, a->gid, a->mode, a->mtime, r.isObjectExpired() ? " expired" : "");
  return text;
}

// What the server holds of a record: "state size mode uid gid mtime".
std::string held(const ObjectRecord& r) {
  char text[128];
  snprintf(text, sizeof text, "%u %llu %o %u %u %u", r.state, static_cast<unsigned long long>(r.size), r.mode, r.uid,
           r.gid, r.mtime);
  return text;
}

// Option messages go to the test's output, where a failing start-up shows.
void printOptionMessage(FILE*, int number, const std::vector<OptMsgArg>& args) {
  std::string text = "option message " + std::to_string(number);
  for (const OptMsgArg& a : args)
    text += " [" + (std::holds_alternative<int>(a) ? std::to_string(std::get<int>(a)) : std::get<std::string>(a)) + "]";
  fprintf(stderr, "%s\n", text.c_str());
}

class CommTest : public e2e::CommandTest {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!kmrtest::EnterTestNamespace(&why)) return;  // each test is skipped
    migundeleteWireLayers(migundeleteEnv());
    optSetMessageSink(printOptionMessage);
  }
  void TearDown() override {
    optionsP = nullptr;
    options_.reset();
    HsmFsTable::the().clear();
    resetInstanceNo();
    unsetenv("KMR_DIR");
  }

  // The server and the managed file system. Its configuration names the stanza ZEF, which
  // the system option file holds after another one; a lost server ends the
  // process at once. The process options are read as start-up reads them.
  void serverWithOptions() {
    fs = serve();
    writeFile(fs + "/.Tarnveld/hsmfsconfig.xml", "<?xml version='1.0' encoding='ISO-8859-1' ?>\n<HsmFsConfig>\n"
                                                 "  <SErver>ZEF</SErver>\n</HsmFsConfig>\n");
    readOptions();
  }
  // The option files as the bed wrote them for the server that runs now,
  // read as start-up reads them.
  void readOptions() {
    const std::string inst = bed->work() + "/inst";
    writeFile(inst + "/kmr.sys", "SERVERNAME OTHER\n  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT 9\n" +
                                     kmrtest::readFile(inst + "/kmr.sys") + "  COMMRESTARTDURATION 0\n");
    writeFile(inst + "/kmr.opt", "SERVERNAME OTHER\n");
    setenv("KMR_DIR", inst.c_str(), 1);
    options_ = std::make_unique<clientOptions>();
    optEnvVarInit(*options_);
    optError err;
    ASSERT_EQ(optProcessOptions(*options_, OPT_SRC_USERFILE, nullptr, OPT_PASS_MAIN, &err), 0);
    optionsP = options_.get();
  }
  // The interface signed on for the managed file system.
  std::unique_ptr<ZefServerCommInterface> signOn() {
    int rc = -99;
    auto comm = std::make_unique<ZefServerCommInterface>(rc, fs, 0, 1);
    if (HasFatalFailure() || rc != 0) throw std::runtime_error("no session: rc " + std::to_string(rc));
    return comm;
  }

  std::string fs;
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
  serverWithOptions();
  ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, fs, "2"}).status);
  auto comm = signOn();
  Records r = queryAll(*comm);
  ASSERT_EQ(r.size(), 2u);
  const unsigned movedUid = r[0]->getAttributes()->uid;
  const std::string keptPath = r[1]->alias;
  ASSERT_EQ(comm->beginTransaction(), 0);
  writeFile(fs + "/moved", "x");  // a path-only update records the file's handle
  r[0]->getAttributes()->uid = 555;
  r[0]->alias = "/moved";
  ASSERT_EQ(comm->updateMigrObjectOnServer(r[0].get(), 2), 0);
  r[1]->getAttributes()->uid = 777;
  r[1]->alias.clear();
  ASSERT_EQ(comm->updateMigrObjectOnServer(r[1].get(), 1), 0);
  EXPECT_EQ(comm->stopTransaction(), 0);
  auto listed = byAlias(fs);
  ASSERT_EQ(listed.count("/moved"), 1u);
  EXPECT_EQ(listed["/moved"].uid, movedUid);
  ASSERT_EQ(listed.count(keptPath), 1u);
  EXPECT_EQ(listed[keptPath].uid, 777u);
  // Forced, the managed file system gets a new signed-on session.
  EXPECT_EQ(comm->setFileSystem(fs, 1, 1), 0);
  ASSERT_NE(comm->fileSpec(), nullptr);
  EXPECT_EQ(sessGetState(comm->session()), sSignedOn);
}

// A deletion names the client's file space; the server refuses it for an
// object of another one, and the object stays.
TEST_F(CommTest, DeletingAnObjectOfAnotherFileSpaceIsRefused) {
  serverWithOptions();
  ASSERT_EQ(0, bed->zefadm({"generate", Bed::kNode, "/elsewhere", "1"}).status);
  const std::vector<ObjectRecord> other = bed->records("/elsewhere");
  ASSERT_EQ(other.size(), 1u);
  ASSERT_EQ(other[0].id.size(), kExtObjIdLen);
  midExtObjId_t id{};
  memcpy(id.bytes, other[0].id.data(), kExtObjIdLen);
  auto comm = signOn();
  ASSERT_EQ(comm->beginTransaction(), 0);
  SyncFileDeletionObject deletion(id, other[0].path);
  ASSERT_EQ(comm->delMigrObjectOnServer(&deletion), 0);
  EXPECT_EQ(comm->stopTransaction(), 32);
  EXPECT_EQ(bed->records("/elsewhere").size(), 1u);
}

// The client's own encoders and decoders against the reference server's:
// sign-on, the file space added by getfsID, query, single-object query,
// update of attributes and path, expire, delete, and commit.
TEST_F(CommTest, ClientAndReferenceServerAgreeOnEveryVerb) {
  serverWithOptions();
  auto session = signOn();
  ZefServerCommInterface& comm = *session;
  ASSERT_NE(comm.fileSpec(), nullptr);
  const std::string spaces = bed->zefadm({"list-filespaces"}).out;
  const std::string added = std::to_string(comm.fileSpec()->fsID) + "\t" + Bed::kNode + "\t" + fs + "\t";
  EXPECT_NE(spaces.find(added), std::string::npos) << spaces;

  importRecords(fs,
            "{\"path\":\"/a/one\",\"size\":5000,\"uid\":11,\"gid\":12,\"mode\":33188,\"mtime\":1700000000}\n"
            "{\"path\":\"/a/two\",\"size\":7,\"uid\":21,\"gid\":22,\"mode\":33261,\"mtime\":1700000100,"
            "\"expired\":true}\n"
            "{\"path\":\"/b/three\",\"size\":123456789012,\"uid\":31,\"gid\":32,\"mtime\":1700000200}\n");
  std::unique_ptr<cQueueBaseObject> end;
  Records r = queryAll(comm, &end);
  ASSERT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ("/a/one 5000 11:12 100644 1700000000", decoded(*r[0]));
  EXPECT_EQ("/a/two 7 21:22 100755 1700000100 expired", decoded(*r[1]));
  EXPECT_EQ("/b/three 123456789012 31:32 100644 1700000200", decoded(*r[2]));

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
  EXPECT_EQ(bed->records(fs).size(), 3u);  // nothing committed yet
  EXPECT_EQ(comm.stopTransaction(), 0);
  auto listed = byAlias(fs);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ("2 6000 100644 99 12 1700000000", held(listed["/a/renamed"]));
  EXPECT_EQ("2 7 100755 21 22 1700000100", held(listed["/a/two"]));

  ASSERT_EQ(comm.beginTransaction(), 0);
  ASSERT_EQ(comm.expireMigrObjectOnServer(r[0].get()), 0);
  SyncFileDeletionObject deletion(*r[1]->getExtObjID(), r[1]->alias);
  ASSERT_EQ(comm.delMigrObjectOnServer(&deletion), 0);
  EXPECT_EQ(comm.stopTransaction(), 0);
  listed = byAlias(fs);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ("3 6000 100644 99 12 1700000000", held(listed["/a/renamed"]));

  // And the client reads back what it wrote.
  ZefServerMigratedObject back;
  id = *r[0]->getExtObjID();
  ASSERT_EQ(comm.queryServerForMigrObject(&id, &back), 0);
  EXPECT_EQ("/a/renamed 6000 99:12 100644 1700000000 expired", decoded(back));
}

// A second session joins with the first one's ticket, once; a ticket the
// server does not know (it restarted) costs only a password sign-on.
TEST_F(CommTest, ASecondSessionJoinsWithTheFirstOnesTicketOnceAndFallsBackToThePassword) {
  serverWithOptions();
  sessUseJoinTickets(true);
  std::vector<std::unique_ptr<ZefServerCommInterface>> kept;
  struct Step { bool restart, joined, refused; };  // joined with a ticket; a ticket refused
  for (const Step& k : {Step{false, false, false}, Step{false, true, false}, Step{false, false, false}, Step{true, false, true}}) {
    if (k.restart) kept.clear(), bed->startServer(), readOptions();
    const std::string log = bed->work() + "/server.log", before = kmrtest::readFile(log);
    kept.push_back(signOn());
    const std::string added = kmrtest::readFile(log).substr(before.size());
    EXPECT_EQ(added.find("joined with a one-time ticket") != std::string::npos, k.joined) << added;
    EXPECT_EQ(added.find("(join ticket not good)") != std::string::npos, k.refused) << added;
  }
  sessUseJoinTickets(false);
}

TEST_F(CommTest, QueryThreadThatCannotSignOnEndsTheCommand) {
  serverWithOptions();
  auto comm = signOn();
  bed->stopServer();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(comm->getAllMigrObjectsFromServer(0), ::testing::ExitedWithCode(1), "");
}

}  // namespace
