// ZefServerCommInterface against zefserverd: a managed tmpfs file system in a
// private mount namespace whose configuration names the server stanza, option
// files in a scratch directory found through KMR_DIR and KMR_CONFIG, and a
// server on a loopback port with a fresh database. Root only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
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
#include "tests/support/node_password.h"
#include "tests/support/private_mount.h"

namespace {

const char* const kNode1Password = "node1 Pa55";

int run(const std::string& cmd, std::string* output = nullptr) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (output) *output = out;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

using kmrtest::writeFile;

std::string hostName() {
  char h[256] = "";
  gethostname(h, sizeof h - 1);
  return h;
}

// One line of `zefadm list-objects`.
struct Listed {
  std::string id, state, path;
  unsigned long long size = 0;
  unsigned uid = 0;
};

// Capacity and refill margin of the queues built while it lives.
class QueueFlags {
 public:
  QueueFlags(int size, int lock) : size_(TEST_HSMCOMMQUEUESIZE), lock_(TEST_HSMCOMMQUEUELOCK) {
    TEST_HSMCOMMQUEUESIZE.set = 1;
    TEST_HSMCOMMQUEUESIZE.numValue = size;
    TEST_HSMCOMMQUEUELOCK.set = 1;
    TEST_HSMCOMMQUEUELOCK.numValue = lock;
  }
  ~QueueFlags() {
    TEST_HSMCOMMQUEUESIZE = size_;
    TEST_HSMCOMMQUEUELOCK = lock_;
  }

 private:
  TestFlag size_, lock_;
};

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
    ASSERT_TRUE(kmrtest::EnterPrivateMountNamespace()) << "needs root";
    // Nothing written under the host's /var/log or /etc/vostra.
    ASSERT_EQ(mount("tmpfs", "/var/log", "tmpfs", 0, "size=16m"), 0);
    struct stat st;
    if (stat("/etc/vostra", &st) == 0) {
      ASSERT_EQ(mount("tmpfs", "/etc/vostra", "tmpfs", 0, "size=4m"), 0);
    }
    migundeleteWireLayers(migundeleteEnv());
    optSetMessageSink(printOptionMessage);
  }

  void SetUp() override {
    char tmpl[] = "/tmp/kmrcommit.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    db_ = dir_ + "/zef.db";
    log_ = dir_ + "/server.log";
    ASSERT_EQ(mkdir((dir_ + "/node").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ + "/node/config").c_str(), 0755), 0);
    writeFile(dir_ + "/cluster.conf", "node 3 " + hostName() + "\ndevice 0 /dev/fs1\n");
    setenv("ORCA_CLUSTER_FILE", (dir_ + "/cluster.conf").c_str(), 1);
    hsmSettings() = HsmSettings();
    hsmSettings().nodeDir = dir_ + "/node";
    hsmSettings().adminCommand = ORCAHSMADM_PATH;
    resetInstanceNo();
    HsmFsTable::the().clear();
    ASSERT_TRUE(kmrtest::writePasswordFile(dir_ + "/node1-password", kNode1Password));
    adm("register-node node1 --password-file " + dir_ + "/node1-password");
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
    if (pid_ > 0) stopServer();
    fs_.reset();
    HsmFsTable::the().clear();
    resetInstanceNo();
    unsetenv("KMR_DIR");
    unsetenv("KMR_CONFIG");
    run("rm -rf " + dir_);
  }

  void adm(const std::string& args, std::string* out = nullptr) {
    std::string text;
    ASSERT_EQ(run(std::string(ZEFADM_PATH) + " --db " + db_ + " " + args, &text), 0) << text;
    if (out) *out = text;
  }

  // TCPPORT accepts 1..32767, below the kernel's ephemeral range, so the
  // server gets a port of that range; a port in use makes it exit and the
  // next candidate is tried.
  void startServer(std::vector<std::string> extra = {}) {
    for (int attempt = 0; attempt < 40 && port_ == 0; ++attempt) {
      const int port = 20000 + static_cast<int>((getpid() * 37u + attempt * 211u) % 12000u);
      tryStart(port, extra);
    }
    ASSERT_NE(port_, 0) << "server did not start";
  }
  void tryStart(int port, const std::vector<std::string>& extra) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      close(p[0]);
      std::vector<std::string> args = {ZEFSERVERD_PATH, "--db", db_, "--address", "127.0.0.1", "--port",
                                        std::to_string(port), "--ready-fd", std::to_string(p[1]), "--log", log_,
                                        "--die-with-parent", "--idle-exit", "120"};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    std::string ready;
    char c;
    while (read(p[0], &c, 1) == 1 && c != '\n') ready.push_back(c);
    close(p[0]);
    if (ready.empty()) {
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return;
    }
    port_ = std::stoi(ready);
  }
  void stopServer() {
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }

  // Option files in the scratch directory, found through the environment,
  // and the process options read from them as start-up does.
  void writeOptions() {
    const std::string stanza = "  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT " + std::to_string(port_) +
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

  void serverWithOptions(std::vector<std::string> extra = {}) {
    startServer(std::move(extra));
    writeOptions();
  }

  std::map<std::string, Listed> listObjects(const std::string& fileSpace = "") {
    std::string out;
    adm("list-objects NODE1 " + (fileSpace.empty() ? fs_->path() : fileSpace), &out);
    std::map<std::string, Listed> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream f(line);
      Listed l;
      std::string mode, gid, mtime;
      f >> l.id >> l.state >> l.size >> mode >> l.uid >> gid >> mtime >> l.path;
      m[l.path] = l;
    }
    return m;
  }

  std::string dir_, db_, log_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::unique_ptr<kmrtest::ScratchMount> fs_;
  std::unique_ptr<clientOptions> options_;
};

// Reads the stream to its end; records go to `out` (owned), the end element
// is returned (owned by the caller).
std::unique_ptr<cQueueBaseObject> drain(ZefServerCommInterface& comm,
                                        std::vector<std::unique_ptr<ZefServerMigratedObject>>* out,
                                        int* maxQueued = nullptr) {
  for (;;) {
    std::unique_ptr<cQueueBaseObject> e(comm.getNextMigrObjectFromServer());
    if (maxQueued) *maxQueued = std::max(*maxQueued, comm.queue()->count());
    if (auto* rec = dynamic_cast<ZefServerMigratedObject*>(e.get())) {
      e.release();
      if (out) out->emplace_back(rec);
      continue;
    }
    return e;
  }
}

TEST_F(CommTest, HundredThousandObjectsStreamInOrderThroughABoundedQueue) {
  serverWithOptions();
  adm("generate NODE1 " + fs_->path() + " 100000");
  QueueFlags flags(1000, 100);
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(comm.fileSpec(), nullptr);
  ASSERT_EQ(comm.queue()->capacity(), 1000);
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  int maxQueued = 0;
  size_t count = 0;
  char expected[64];
  std::unique_ptr<cQueueBaseObject> end;
  for (;;) {
    std::unique_ptr<cQueueBaseObject> e(comm.getNextMigrObjectFromServer());
    maxQueued = std::max(maxQueued, comm.queue()->count());
    auto* rec = dynamic_cast<ZefServerMigratedObject*>(e.get());
    if (!rec) {
      end = std::move(e);
      break;
    }
    snprintf(expected, sizeof expected, "/gen/d%05zu/f%08zu", count / 1000, count);
    if (rec->alias != expected) {
      ADD_FAILURE() << "record " << count << " is " << rec->alias;
      break;
    }
    ASSERT_EQ(rec->fsId, comm.fileSpec()->fsID);
    ASSERT_EQ(rec->getAttributes()->size, (count % 97) * 4096 + count % 4096 + 1);
    ++count;
  }
  EXPECT_EQ(count, 100000u);
  EXPECT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);
  // Memory stays bounded by the queue, whatever the number of objects: a
  // producer that found the queue full adds at most the one record it held.
  EXPECT_LE(maxQueued, 1001);
  EXPECT_GT(maxQueued, 0);
  EXPECT_EQ(comm.stopTransaction(), 0);
}

TEST_F(CommTest, QuerySessionClosedAfterNAnswersGivesNRecordsAndAFailure) {
  serverWithOptions({"--fault-query-close=25"});
  adm("generate NODE1 " + fs_->path() + " 60");
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> records;
  std::unique_ptr<cQueueBaseObject> end = drain(comm, &records);
  EXPECT_EQ(records.size(), 25u);
  auto* failure = dynamic_cast<FailureMessageObject*>(end.get());
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->getMessageNumber(), 8049);
  // The change session is a different one and still works.
  ASSERT_EQ(comm.beginTransaction(), 0);
  records[0]->setFileMigrState(kMigStateExpired);
  EXPECT_EQ(comm.updateMigrObjectOnServer(records[0].get(), 1), 0);
  EXPECT_EQ(comm.stopTransaction(), 0);
  EXPECT_EQ(listObjects()[records[0]->alias].state, "expired");
}

TEST_F(CommTest, UpdatesGoInBatchesOfTheServersTransactionSize) {
  serverWithOptions({"--txn-size", "7"});
  adm("generate NODE1 " + fs_->path() + " 20");
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(comm.beginTransaction(), 0);
  EXPECT_EQ(comm.transaction()->itemLimit, 7u);
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> records;
  std::unique_ptr<cQueueBaseObject> end = drain(comm, &records);
  ASSERT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);
  ASSERT_EQ(records.size(), 20u);
  for (auto& r : records) {
    r->getAttributes()->uid = 4242;
    r->setFileMigrState(kMigStateMigrated);
    ASSERT_EQ(comm.updateMigrObjectOnServer(r.get(), 3), 0) << r->alias;
  }
  // Two full batches were sent when the 8th and the 15th change was queued;
  // the first one's vote was read before the second went out, the second's
  // is read at the end (the server may or may not have committed it yet);
  // the last six wait for the end of the transaction.
  EXPECT_EQ(comm.committedUpdates(), 7u);
  EXPECT_TRUE(comm.transaction()->votePending);
  auto before = listObjects();
  int changed = 0;
  for (auto& [path, l] : before) changed += l.uid == 4242;
  EXPECT_TRUE(changed == 7 || changed == 14) << changed;
  EXPECT_EQ(comm.transaction()->items.size(), 6u);
  EXPECT_EQ(comm.stopTransaction(), 0);
  EXPECT_EQ(comm.committedUpdates(), 20u);
  auto after = listObjects();
  ASSERT_EQ(after.size(), 20u);
  for (auto& r : records) {
    EXPECT_EQ(after[r->alias].uid, 4242u) << r->alias;
    EXPECT_EQ(after[r->alias].state, "migrated") << r->alias;
  }
}

TEST_F(CommTest, RefusedChangesAndFileSystemSelection) {
  serverWithOptions();
  adm("generate NODE1 " + fs_->path() + " 3");
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> records;
  drain(comm, &records);
  ASSERT_EQ(records.size(), 3u);

  // Before beginTransaction nothing can be queued.
  EXPECT_EQ(comm.updateMigrObjectOnServer(records[0].get(), 3), RC_INVALID_OBJECT);
  ASSERT_EQ(comm.beginTransaction(), 0);
  records[1]->alias.clear();
  records[1]->getAttributes()->uid = 777;
  EXPECT_EQ(comm.updateMigrObjectOnServer(records[1].get(), 3), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.transaction()->items.size(), 0u);
  // With flags 1 the alias is not needed.
  EXPECT_EQ(comm.updateMigrObjectOnServer(records[1].get(), 1), 0);
  EXPECT_EQ(comm.transaction()->items.size(), 1u);
  EXPECT_EQ(comm.stopTransaction(), 0);
  int withUid = 0;
  for (auto& [p, l] : listObjects()) withUid += l.uid == 777;
  EXPECT_EQ(withUid, 1);

  // The same name without force keeps the session; a file system without an
  // entry in the managed table has no server.
  Sess_o* session = comm.session();
  EXPECT_EQ(comm.setFileSystem(fs_->path(), 0, 1), 0);
  EXPECT_EQ(comm.session(), session);
  kmrtest::ScratchMount unmanaged("tmpfs", 4);
  EXPECT_EQ(comm.setFileSystem(unmanaged.path(), 0, 1), kCommNoStanza);
  // Forced, the managed file system gets a new signed-on session.
  EXPECT_EQ(comm.setFileSystem(fs_->path(), 1, 1), 0);
  ASSERT_NE(comm.fileSpec(), nullptr);
  EXPECT_EQ(sessGetState(comm.session()), sSignedOn);
}

// Flags 2 moves the record and leaves its attributes; flags 1 changes the
// attributes and leaves its path, whatever the client holds locally.
TEST_F(CommTest, UpdateFlagsChooseWhatTheServerChanges) {
  serverWithOptions();
  adm("generate NODE1 " + fs_->path() + " 2");
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> r;
  drain(comm, &r);
  ASSERT_EQ(r.size(), 2u);
  const unsigned movedUid = r[0]->getAttributes()->uid;
  const std::string keptPath = r[1]->alias;
  ASSERT_EQ(comm.beginTransaction(), 0);
  writeFile(fs_->path() + "/moved", "x");  // a path-only update records the file's handle
  r[0]->getAttributes()->uid = 555;
  r[0]->alias = "/moved";
  ASSERT_EQ(comm.updateMigrObjectOnServer(r[0].get(), 2), 0);
  r[1]->getAttributes()->uid = 777;
  r[1]->alias = "/not-sent";
  ASSERT_EQ(comm.updateMigrObjectOnServer(r[1].get(), 1), 0);
  EXPECT_EQ(comm.stopTransaction(), 0);
  auto listed = listObjects();
  ASSERT_EQ(listed.count("/moved"), 1u);
  EXPECT_EQ(listed["/moved"].uid, movedUid);
  ASSERT_EQ(listed.count(keptPath), 1u);
  EXPECT_EQ(listed[keptPath].uid, 777u);
}

// The server votes the first batch void; the list sends it once more and
// the changes are committed all the same.
TEST_F(CommTest, ABatchTheServerAbortsIsSentAgainAndCommitted) {
  serverWithOptions({"--fault-endtxn-abort=1:77"});
  adm("generate NODE1 " + fs_->path() + " 3");
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> r;
  drain(comm, &r);
  ASSERT_EQ(r.size(), 3u);
  ASSERT_EQ(comm.beginTransaction(), 0);
  for (auto& rec : r) {
    rec->getAttributes()->uid = 4242;
    ASSERT_EQ(comm.updateMigrObjectOnServer(rec.get(), 1), 0);
  }
  EXPECT_EQ(comm.stopTransaction(), 0);
  for (auto& [path, l] : listObjects()) EXPECT_EQ(l.uid, 4242u) << path;
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
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(comm.beginTransaction(), 0);
  SyncFileDeletionObject deletion(id, other.begin()->first);
  ASSERT_EQ(comm.delMigrObjectOnServer(&deletion), 0);
  EXPECT_EQ(comm.stopTransaction(), 32);
  EXPECT_EQ(listObjects("/elsewhere").size(), 1u);
}

// The client's own encoders and decoders against the reference server's:
// sign-on, the file space added by getfsID, query, single-object query,
// update of attributes and path, expire, delete, and commit.
TEST_F(CommTest, ClientAndReferenceServerAgreeOnEveryVerb) {
  serverWithOptions();
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(comm.fileSpec(), nullptr);
  const uint32_t fsId = comm.fileSpec()->fsID;
  EXPECT_NE(fsId, 0u);
  std::string spaces;
  adm("list-filespaces", &spaces);
  EXPECT_NE(spaces.find(std::to_string(fsId) + "\tNODE1\t" + fs_->path() + "\t"), std::string::npos) << spaces;

  // An empty file space ends its stream at once.
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::unique_ptr<cQueueBaseObject> end = drain(comm, nullptr);
  EXPECT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);

  writeFile(dir_ + "/objs.jsonl",
            "{\"path\":\"/a/one\",\"size\":5000,\"uid\":11,\"gid\":12,\"mode\":33188,\"mtime\":1700000000}\n"
            "{\"path\":\"/a/two\",\"size\":7,\"uid\":21,\"gid\":22,\"mode\":33261,\"mtime\":1700000100,"
            "\"expired\":true}\n"
            "{\"path\":\"/b/three\",\"size\":123456789012,\"uid\":31,\"gid\":32,\"mtime\":1700000200}\n");
  adm("import NODE1 " + fs_->path() + " " + dir_ + "/objs.jsonl");
  ASSERT_EQ(comm.getAllMigrObjectsFromServer(0), 0);
  std::vector<std::unique_ptr<ZefServerMigratedObject>> r;
  end = drain(comm, &r);
  ASSERT_NE(dynamic_cast<FinishedMessageObject*>(end.get()), nullptr);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]->alias, "/a/one");
  EXPECT_EQ(r[0]->getAttributes()->size, 5000u);
  EXPECT_EQ(r[0]->getAttributes()->uid, 11u);
  EXPECT_EQ(r[0]->getAttributes()->gid, 12u);
  EXPECT_EQ(r[0]->getAttributes()->mode, 0100644u);
  EXPECT_EQ(r[0]->getAttributes()->mtime, 1700000000u);
  EXPECT_FALSE(r[0]->isObjectExpired());
  EXPECT_TRUE(r[1]->isObjectExpired());
  EXPECT_EQ(r[1]->getAttributes()->mode, 0100755u);
  EXPECT_EQ(r[2]->getAttributes()->size, 123456789012ull);
  auto listed = listObjects();
  for (auto& rec : r) EXPECT_EQ(listed[rec->alias].id, rec->getExtObjIDString()) << rec->alias;

  // The single-object query reads the same record.
  ZefServerMigratedObject one;
  midExtObjId_t id = *r[2]->getExtObjID();
  ASSERT_EQ(comm.queryServerForMigrObject(&id, &one), 0);
  EXPECT_EQ(one.alias, "/b/three");
  EXPECT_EQ(one.getAttributes()->uid, 31u);

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
  EXPECT_EQ(listed.count("/a/one"), 0u);
  EXPECT_EQ(listed["/a/renamed"].size, 6000u);
  EXPECT_EQ(listed["/a/renamed"].uid, 99u);
  EXPECT_EQ(listed["/a/two"].state, "migrated");
  EXPECT_EQ(listed.count("/b/three"), 0u);

  ASSERT_EQ(comm.beginTransaction(), 0);
  ASSERT_EQ(comm.expireMigrObjectOnServer(r[0].get()), 0);
  SyncFileDeletionObject deletion(*r[1]->getExtObjID(), r[1]->alias);
  ASSERT_EQ(comm.delMigrObjectOnServer(&deletion), 0);
  EXPECT_EQ(comm.stopTransaction(), 0);
  listed = listObjects();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed["/a/renamed"].state, "expired");

  // And the client reads back what it wrote.
  ZefServerMigratedObject back;
  id = *r[0]->getExtObjID();
  ASSERT_EQ(comm.queryServerForMigrObject(&id, &back), 0);
  EXPECT_EQ(back.alias, "/a/renamed");
  EXPECT_EQ(back.getAttributes()->size, 6000u);
  EXPECT_TRUE(back.isObjectExpired());
}

TEST_F(CommTest, QueryThreadThatCannotSignOnEndsTheCommand) {
  serverWithOptions();
  int rc = -99;
  ZefServerCommInterface comm(rc, fs_->path(), 0, 1);
  ASSERT_EQ(rc, 0);
  stopServer();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(comm.getAllMigrObjectsFromServer(0), ::testing::ExitedWithCode(1), "");
}

}  // namespace
