// The wiring of the server layer: session settings from the option record,
// the per-thread connection, the checks on server paths before a handle is
// read, the query source over a real session, and ZefServerCommInterface
// without a server (selecting a file system, the refusals of changes that
// cannot be sent, the end of a stream that left no element; its conversation
// with a real server is in tests/integration/comm), and the file spec's
// splitting of paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "common/cleanup.h"
#include "server/comminterface.h"
#include "server/filespec.h"
#include "server/querysource.h"
#include "server/querythread.h"
#include "server/serverlayer.h"
#include "server/wire/bytes.h"
#include "tests/support/hostile_tree.h"
#include "tests/support/scratch_dir.h"
#include "tests/unit/server/fake_peer.h"
#include "tests/unit/server/queue_test_support.h"

namespace {

clientOptions peerOptions(uint16_t port) {
  clientOptions o;
  o.tcpServerAddress = "127.0.0.1";
  o.tcpPort = port;
  o.nodeName = "NODE1";
  o.commRestartDuration = 0;
  return o;
}

TEST(SessionSettings, EveryValueComesFromTheOptionRecordOrIsRefused) {
  clientOptions o;
  o.tcpServerAddress = "srv.example";
  o.tcpPort = 1601;
  o.tcpBuffSize = 65536;
  o.tcpWindowSize = 128 * 1024;
  o.tcpNoDelay = 0;
  o.serverName = "ZEF2";
  o.nodeName = "NODEX";
  o.password = "secret";
  o.commRestartInterval = 7;
  o.commRestartDuration = 9999;
  o.txnByteLimit = 4096;
  o.largeCommBuffers = 1;
  SessionConfig c;
  ASSERT_EQ(fillSessionConfig(o, &c), 0);
  EXPECT_EQ(c.tcp.serverAddress, "srv.example");
  EXPECT_EQ(c.tcp.port, 1601);
  EXPECT_EQ(c.tcp.buffSize, 65536u);
  EXPECT_EQ(c.tcp.windowSizeKB, 128u);
  EXPECT_FALSE(c.tcp.noDelay);
  EXPECT_EQ(c.serverStanza, "ZEF2");
  EXPECT_EQ(c.nodeName, "NODEX");
  EXPECT_EQ(c.password, "secret");
  EXPECT_EQ(c.commRestartInterval, 7u);
  EXPECT_EQ(c.commRestartDuration, 9999u);
  EXPECT_EQ(c.txnByteLimit, 4096u);
  EXPECT_TRUE(c.largeBuffers);
  // The transaction list reads handles through the checked lookup.
  EXPECT_EQ(c.getHsmHandle, &hsmHandleOfFileSpec);

  // Unusable settings are refused and leave the record alone.
  clientOptions noAddress;
  EXPECT_EQ(fillSessionConfig(noAddress, &c), 405);
  clientOptions badPort = peerOptions(0);
  EXPECT_EQ(fillSessionConfig(badPort, &c), 400);
  badPort.tcpPort = 70000;
  EXPECT_EQ(fillSessionConfig(badPort, &c), 400);
  clientOptions sharedMem = peerOptions(1500);
  sharedMem.commMethod = 3;
  EXPECT_EQ(fillSessionConfig(sharedMem, &c), 400);
  EXPECT_EQ(c.nodeName, "NODEX");
}

TEST(SessionSettings, ServerConnectionBelongsToTheCreatingThread) {
  clientOptions o = peerOptions(1777);
  o.nodeName = "MAINNODE";
  ASSERT_EQ(smCreateServerConnection(&o), 0);
  ASSERT_NE(smThreadServerConnection(), nullptr);
  EXPECT_EQ(smThreadServerConnection()->nodeName, "MAINNODE");
  EXPECT_EQ(smThreadServerConnection()->tcp.port, 1777);
  const SessionConfig* seenByOther = reinterpret_cast<const SessionConfig*>(1);
  std::thread([&] { seenByOther = smThreadServerConnection(); }).join();
  EXPECT_EQ(seenByOther, nullptr);
  // A failure keeps the connection the thread already has.
  clientOptions broken;
  EXPECT_EQ(smCreateServerConnection(&broken), 405);
  ASSERT_NE(smThreadServerConnection(), nullptr);
  EXPECT_EQ(smThreadServerConnection()->nodeName, "MAINNODE");
}

// Below the mount: dir/file, a link to dir, a link to dir/file and a link
// out of the mount.
class ServerPathTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0755), 0);
    kmrtest::writeFile(root_ + "/dir/file", "x");
    ASSERT_EQ(symlink("dir", (root_ + "/linkdir").c_str()), 0);
    ASSERT_EQ(symlink("file", (root_ + "/dir/linkfile").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root_ + "/escape").c_str()), 0);
  }
  const std::string& root_ = mount;
};

TEST_F(ServerPathTest, OnlyPlainComponentsWithoutLinksPass) {
  EXPECT_EQ(srvCheckObjectPath(root_, "/dir/file"), 0);
  EXPECT_EQ(srvCheckObjectPath(root_ + "/", "/dir/file"), 0);
  for (const char* bad : {"", "/", "dir/file", "//dir/file", "/dir//file", "/dir/file/", "/./dir/file",
                          "/dir/./file", "/dir/../dir/file", "/..", "/dir/.."})
    EXPECT_EQ(srvCheckObjectPath(root_, bad), EINVAL) << bad;
  EXPECT_EQ(srvCheckObjectPath(root_, "/linkdir/file"), ELOOP);
  EXPECT_EQ(srvCheckObjectPath(root_, "/dir/linkfile"), ELOOP);
  EXPECT_EQ(srvCheckObjectPath(root_, "/escape/precious"), ELOOP);
  EXPECT_EQ(srvCheckObjectPath(root_, "/dir/missing"), ENOENT);
  EXPECT_EQ(srvCheckObjectPath("relative", "/dir/file"), EINVAL);
}

// The lookup the program registers sees the full name of a checked path and
// never a refused one; the server layer has none of its own.
std::string g_lookedUp;
const uint8_t kLookedUpHandle[] = {0x42};
int recordingLookup(const char* fullName, DmHandle* handle) {
  g_lookedUp = fullName;
  *handle = DmHandle(kLookedUpHandle, sizeof kLookedUpHandle);
  return 0;
}

TEST_F(ServerPathTest, OnlyACheckedPathGoesToTheInstalledLookup) {
  const ServerLayerHooks previous = srvInstallHooks({.pathHandle = recordingLookup});
  fileSpec_t spec;
  spec.fsName = root_ + "/";
  DmHandle handle;
  spec.pathName = "/escape/precious";
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle), ELOOP);
  spec.pathName = root_ + "/dir/../../etc/passwd";
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle), EINVAL);
  EXPECT_EQ(hsmHandleOfFileSpec(nullptr, &handle), EINVAL);
  EXPECT_EQ(g_lookedUp, "");
  spec.pathName = "/dir/file";
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle), 0);
  EXPECT_EQ(g_lookedUp, root_ + "/dir/file");
  EXPECT_EQ(handle, DmHandle(kLookedUpHandle, sizeof kLookedUpHandle));
  srvInstallHooks({});
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle), ENOSYS);
  srvInstallHooks(previous);
}

TEST(QuerySource, StreamsOverItsOwnSignedOnSession) {
  midExtObjId_t a = makeId(7);
  FakePeer peer;
  peer.serve([&](FakePeer& p) {
    p.expectVerb(0x12);
    // MigrQryAll of file space 41, object type 1, ordering 2
    EXPECT_EQ(p.expectVerb(0x34), Bytes({0, 26, 0x34, 0xA5, 0, 0, 0, 41, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    p.sendRaw(migrQryRespVerb(41, a, a, "/d/one"));
    p.sendRaw(endTxnVerb(1, 0));
  });
  std::unique_ptr<MigrQuerySource> source;
  ASSERT_EQ(openQuerySource(peerOptions(peer.port()), &source), 0);
  ASSERT_EQ(source->beginTxn(), 0);
  ASSERT_EQ(source->queryAll(41, 1, 2), 0);
  MigrQueryAnswer answer;
  ASSERT_EQ(source->next(answer), 0);
  EXPECT_EQ(answer.fsId, 41u);
  EXPECT_EQ(answer.path, "/d/one");
  EXPECT_EQ(memcmp(answer.objId.bytes, a.bytes, 28), 0);
  EXPECT_EQ(source->next(answer), RC_FINISHED);
  // Attached, the session is the calling thread's clean-up entry until detached.
  Sess_o* session = static_cast<SessionMigrQuerySource*>(source.get())->session();
  void* during = nullptr;
  void* after = session;
  void* onMain = hsmGetThreadSession();
  std::thread([&] {
    source->attachToCallingThread();
    during = hsmGetThreadSession();
    source->detachFromCallingThread();
    after = hsmGetThreadSession();
  }).join();
  EXPECT_EQ(during, session);
  EXPECT_EQ(after, nullptr);
  EXPECT_EQ(hsmGetThreadSession(), onMain);  // the main thread's entry is not touched
  source.reset();  // signs off: the peer sees the connection end
  peer.join();
  EXPECT_EQ(peer.connections(), 1u);
}

TEST(QuerySource, RefusedSignOnIsReturnedAndNoSourceMade) {
  FakePeer peer;
  peer.serve({}, signOnRespVerb(1));
  std::unique_ptr<MigrQuerySource> source;
  EXPECT_EQ(openQuerySource(peerOptions(peer.port()), &source), 51);
  EXPECT_EQ(source, nullptr);
  peer.join();
  clientOptions none;
  EXPECT_EQ(openQuerySource(none, &source), 405);
}

int g_lookups = 0;
int knownFsOnly(const std::string& fs, std::string* stanza) {
  ++g_lookups;
  if (fs == "/managed") {
    *stanza = "ZEF1";
    return 0;
  }
  return RC_NO_STANZA;
}

// A data element that is neither a record nor a deletion element.
class OtherData : public queueDataObject {
 public:
  std::string& getAlias() override { return alias; }
  std::string alias = "/other";
};

class CommInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The address is never connected to: these interfaces don't sign on.
    process_ = std::make_unique<clientOptions>();
    process_->sysOptFile = dir_.write("kmr.sys", "SERVERNAME ZEF1\n  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT 9\n"
                                                 "  NODENAME NODE1\n  ENABLELANFREE YES\n");
    process_->serverName = "BEFORE";
    optionsP = process_.get();
    previous_ = srvInstallHooks({.stanzaLookup = knownFsOnly});
    g_lookups = 0;
  }
  void TearDown() override {
    srvInstallHooks(previous_);
    optionsP = nullptr;
  }
  kmrtest::ScratchDir dir_;
  std::unique_ptr<clientOptions> process_;
  ServerLayerHooks previous_;
};

TEST_F(CommInterfaceTest, SelectingFileSystems) {
  {
    int rc = 0;
    ZefServerCommInterface unmanaged(rc, "/not/managed", 0, 0);
    EXPECT_EQ(rc, RC_NO_STANZA);
    EXPECT_EQ(unmanaged.session(), nullptr);
    EXPECT_EQ(unmanaged.beginTransaction(), RC_NO_STANZA);
    EXPECT_EQ(unmanaged.getAllMigrObjectsFromServer(0), RC_NO_STANZA);
  }
  {
    int rc = -99;
    ZefServerCommInterface comm(rc, "/managed", 0, 0);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(comm.session(), nullptr);
    EXPECT_EQ(comm.options()->serverName, "ZEF1");
    EXPECT_EQ(comm.options()->tcpServerAddress, "127.0.0.1");
    // LAN-free is switched off in the private copy only.
    EXPECT_EQ(comm.options()->enableLanFree, 0);
    EXPECT_NE(comm.options(), optionsP);
    EXPECT_EQ(optionsP->serverName, "BEFORE");
    // The interface's session is this thread's entry for the clean-up.
    EXPECT_EQ(hsmGetThreadSession(), comm.session());

    Sess_o* first = comm.session();
    const int lookups = g_lookups;
    EXPECT_EQ(comm.setFileSystem("/managed", 0, 0), 0);
    EXPECT_EQ(comm.session(), first);
    EXPECT_EQ(g_lookups, lookups);  // nothing was even looked up

    EXPECT_EQ(comm.setFileSystem("", 1, 0), RC_INVALID_PARM);
    EXPECT_EQ(comm.setFileSystem("/not/managed", 0, 0), RC_NO_STANZA);
    EXPECT_EQ(comm.fileSystem(), "/not/managed");
  }
  // The stanza chosen for the file system goes back to the process options.
  EXPECT_EQ(optionsP->serverName, "ZEF1");
  EXPECT_EQ(hsmGetThreadSession(), nullptr);
}

// Without a transaction list, a path, a file spec (never signed on) or an
// object, nothing can be queued; an element that is no migrated object is no
// deletion either.
TEST_F(CommInterfaceTest, ChangesThatCannotBeSentAreRefused) {
  int rc = 0;
  ZefServerCommInterface comm(rc, "/managed", 1, 0);
  ASSERT_EQ(rc, 0);
  ZefServerMigratedObject record, empty;
  const midExtObjId_t id = makeId(3);
  Attrib attr{};
  ASSERT_EQ(record.setExtObjID(&id), 1);
  ASSERT_EQ(record.setAttributes(&attr), 1);
  EXPECT_EQ(comm.updateMigrObjectOnServer(&record, 1), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.expireMigrObjectOnServer(&record), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.delMigrObjectOnServer(&record), RC_INVALID_OBJECT);

  ASSERT_EQ(comm.beginTransaction(), 0);
  ASSERT_NE(comm.transaction(), nullptr);
  EXPECT_EQ(comm.transaction()->txnType, kTlTypeHsm);
  EXPECT_EQ(comm.updateMigrObjectOnServer(&record, 3), RC_INVALID_OBJECT);  // empty alias
  record.alias = "/a/b";
  EXPECT_EQ(comm.updateMigrObjectOnServer(&record, 3), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.updateMigrObjectOnServer(&empty, 1), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.updateMigrObjectOnServer(nullptr, 1), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.expireMigrObjectOnServer(&empty), RC_INVALID_OBJECT);
  OtherData other;
  EXPECT_EQ(comm.delMigrObjectOnServer(&other), 0);
  EXPECT_EQ(comm.delMigrObjectOnServer(nullptr), 0);
  EXPECT_EQ(comm.transaction()->items.size(), 0u);
  EXPECT_EQ(comm.updateBackObjectOnServer(&record), 0);
  EXPECT_EQ(comm.queryServerForMigrObject(nullptr, &record), RC_NO_STANZA);
  EXPECT_EQ(comm.queryServerForMigrObject(const_cast<midExtObjId_t*>(&id), nullptr), RC_NO_STANZA);
  EXPECT_EQ(comm.stopTransaction(), 0);
  EXPECT_EQ(comm.transaction(), nullptr);
}

TEST_F(CommInterfaceTest, StreamThatEndedWithoutElementGivesNull) {
  int rc = 0;
  ZefServerCommInterface comm(rc, "/managed", 0, 0);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(comm.queue(), nullptr);
  // What a producer does when it ends: release the waiters. A queue that
  // does not stay released would block this read for good: it is bounded.
  comm.queue()->unlockWaiters();
  BlockingCall next([&] {
    std::unique_ptr<cQueueBaseObject> element(comm.getNextMigrObjectFromServer());
    return element == nullptr ? 1 : 0;
  }, [&] { unblockReader(*comm.queue()); });
  EXPECT_EQ(next.result(), 1);
  // A null element written by a producer is handed on as the end too.
  comm.queue()->ResetQueue(kQueryQueueWaitTime);
  ASSERT_EQ(comm.queue()->WriteElement(nullptr, 1, 1), 0);
  EXPECT_EQ(comm.getNextMigrObjectFromServer(), nullptr);
  EXPECT_EQ(comm.stopQueryThread(), 0);
}

// Splitting paths into file system, directory and file name parts against a
// mount table of the test's own.
TEST(FileSpec, SplitsAtTheLongestMountPoint) {
  kmrtest::ScratchDir dir;
  const std::string table = dir.file("mtab");
  kmrtest::writeFile(table, "rootfs / ext4 rw 0 0\n/dev/loop1 /mnt/fs1 ext4 rw 0 0\n"
                            "tmpfs /mnt/fs1/inner tmpfs rw 0 0\n");
  struct Case {
    const char* path;
    const char* fs;
    const char* hl;
    const char* ll;
  } cases[] = {
      {"/mnt/fs1/a/b/c", "/mnt/fs1", "/a/b", "/c"},
      {"/mnt/fs1/c", "/mnt/fs1", "", "/c"},
      {"/mnt/fs1/inner/x/y", "/mnt/fs1/inner", "/x", "/y"},
      {"/mnt/fs10/x", "/", "/mnt/fs10", "/x"},
  };
  for (const Case& k : cases) {
    int n = -1;
    fileSpec_t* spec = parseBackOperand(k.path, &n, 0, table.c_str());
    ASSERT_NE(spec, nullptr) << k.path;
    EXPECT_EQ(spec->fsName, k.fs) << k.path;
    EXPECT_EQ(spec->hlName, k.hl) << k.path;
    EXPECT_EQ(spec->llName, k.ll) << k.path;
    EXPECT_EQ(n, static_cast<int>(spec->fsName.size()));
    fmDeleteFileSpec(spec);
  }
  int n = -1;
  EXPECT_EQ(parseBackOperand("relative/x", &n, 0, table.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1/dir/", &n, 0, table.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1", &n, 0, table.c_str()), nullptr);
  EXPECT_EQ(parseBackOperand("/mnt/fs1/x", &n, 0, "/nonexistent/mtab"), nullptr);
  EXPECT_EQ(n, -1);
}

TEST(FileSpec, PathBelowTheFileSpace) {
  fileSpec_t* spec = fmNewFileSpec("/mnt/fs1", "", "");
  ASSERT_EQ(fmSetPathName(spec, "/mnt/fs1/d/f"), 0);
  EXPECT_EQ(fmPathBelowFs(*spec), "/d/f");
  fmSetPathName(spec, "/mnt/fs10/f");  // another file system sharing the prefix
  EXPECT_EQ(fmPathBelowFs(*spec), "/mnt/fs10/f");
  spec->fsName = "/";
  fmSetPathName(spec, "/f");
  EXPECT_EQ(fmPathBelowFs(*spec), "/f");
  EXPECT_EQ(fmSetPathName(nullptr, "/x"), 109);
  fmDeleteFileSpec(spec);
}

}  // namespace
