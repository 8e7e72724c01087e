// The wiring of the server layer: session settings from the option record,
// the per-thread connection, the checks on server paths before a handle is
// read, the query source over a real session, and the query thread tying its
// session to itself for the process clean-up.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/cleanup.h"
#include "server/querysource.h"
#include "server/querythread.h"
#include "server/serverlayer.h"
#include "server/wire/bytes.h"
#include "tests/unit/server/fake_peer.h"

namespace {

clientOptions peerOptions(uint16_t port) {
  clientOptions o;
  o.tcpServerAddress = "127.0.0.1";
  o.tcpPort = port;
  o.nodeName = "NODE1";
  o.commRestartDuration = 0;
  return o;
}

TEST(SessionSettings, EveryValueComesFromTheOptionRecord) {
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
}

TEST(SessionSettings, UnusableSettingsAreRefusedAndLeaveTheRecordAlone) {
  SessionConfig c;
  c.nodeName = "UNTOUCHED";
  clientOptions noAddress;
  EXPECT_EQ(fillSessionConfig(noAddress, &c), 405);
  clientOptions badPort = peerOptions(0);
  EXPECT_EQ(fillSessionConfig(badPort, &c), 400);
  badPort.tcpPort = 70000;
  EXPECT_EQ(fillSessionConfig(badPort, &c), 400);
  clientOptions sharedMem = peerOptions(1500);
  sharedMem.commMethod = 3;
  EXPECT_EQ(fillSessionConfig(sharedMem, &c), 400);
  EXPECT_EQ(c.nodeName, "UNTOUCHED");
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

class ServerPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kmrpath.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    outside_ = root_ + ".outside";
    ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside_.c_str(), 0755), 0);
    std::ofstream(root_ + "/dir/file") << "x";
    std::ofstream(outside_ + "/secret") << "x";
    ASSERT_EQ(symlink("dir", (root_ + "/linkdir").c_str()), 0);
    ASSERT_EQ(symlink("file", (root_ + "/dir/linkfile").c_str()), 0);
    ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/escape").c_str()), 0);
  }
  void TearDown() override {
    std::string cmd = "rm -rf " + root_ + " " + outside_;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string root_, outside_;
};

TEST_F(ServerPathTest, OnlyPlainComponentsWithoutLinksPass) {
  EXPECT_EQ(srvCheckObjectPath(root_, "/dir/file"), 0);
  EXPECT_EQ(srvCheckObjectPath(root_ + "/", "/dir/file"), 0);
  for (const char* bad : {"", "/", "dir/file", "//dir/file", "/dir//file", "/dir/file/", "/./dir/file",
                          "/dir/./file", "/dir/../dir/file", "/..", "/dir/.."})
    EXPECT_EQ(srvCheckObjectPath(root_, bad), EINVAL) << bad;
  EXPECT_EQ(srvCheckObjectPath(root_, "/linkdir/file"), ELOOP);
  EXPECT_EQ(srvCheckObjectPath(root_, "/dir/linkfile"), ELOOP);
  EXPECT_EQ(srvCheckObjectPath(root_, "/escape/secret"), ELOOP);
  EXPECT_EQ(srvCheckObjectPath(root_, "/dir/missing"), ENOENT);
  EXPECT_EQ(srvCheckObjectPath("relative", "/dir/file"), EINVAL);
}

TEST_F(ServerPathTest, HandleLookupRefusesBeforeTouchingTheFile) {
  fileSpec_t spec;
  spec.fsName = root_;
  unsigned char handle[32];
  memset(handle, 0xEE, sizeof handle);
  uint16_t length = 99;
  spec.pathName = "/escape/secret";
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle, &length), ELOOP);
  spec.pathName = root_ + "/dir/../../etc/passwd";
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle, &length), EINVAL);
  EXPECT_EQ(length, 99);
  EXPECT_EQ(handle[0], 0xEE);
  EXPECT_EQ(hsmHandleOfFileSpec(nullptr, &handle, &length), EINVAL);
}

// The lookup the program registers sees the full name of a checked path; the
// server layer has none of its own.
std::string g_lookedUp;
int recordingLookup(const char* fullName, unsigned char (*handle)[kMaxHandleLen], uint16_t* length) {
  g_lookedUp = fullName;
  (*handle)[0] = 0x42;
  *length = 1;
  return 0;
}

TEST_F(ServerPathTest, CheckedPathGoesToTheRegisteredLookup) {
  fileSpec_t spec;
  spec.fsName = root_ + "/";
  spec.pathName = "/dir/file";
  unsigned char handle[kMaxHandleLen] = {};
  uint16_t length = 0;
  const ServerLayerHooks previous = srvInstallHooks({});
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle, &length), ENOSYS);
  srvInstallHooks({.pathHandle = recordingLookup});
  EXPECT_EQ(hsmHandleOfFileSpec(&spec, &handle, &length), 0);
  srvInstallHooks(previous);
  EXPECT_EQ(g_lookedUp, root_ + "/dir/file");
  EXPECT_EQ(length, 1);
  EXPECT_EQ(handle[0], 0x42);
}

TEST(QuerySource, StreamsOverItsOwnSignedOnSession) {
  midExtObjId_t a = makeId(7);
  FakePeer peer;
  peer.run([&](FakePeer& p) {
    ASSERT_TRUE(p.accept());
    p.answerSignOn();
    p.expectVerb(0x12);
    Bytes all = p.expectVerb(0x34);
    ASSERT_EQ(all.size(), 26u);
    EXPECT_EQ(getU32(&all[4]), 41u);
    EXPECT_EQ(all[8], 1);
    EXPECT_EQ(all[9], 2);
    p.sendRaw(migrQryRespVerb(41, a, a, "/d/one"));
    p.sendRaw(endTxnVerb(1, 0));
    p.readVerb();  // until the client closes
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
  source.reset();  // signs off: the peer sees the connection end
  peer.join();
  EXPECT_EQ(peer.connections(), 1u);
}

TEST(QuerySource, RefusedSignOnIsReturnedAndNoSourceMade) {
  FakePeer peer;
  peer.run([](FakePeer& p) {
    ASSERT_TRUE(p.accept());
    p.answerSignOn(1);
    p.readVerb();
  });
  std::unique_ptr<MigrQuerySource> source;
  EXPECT_EQ(openQuerySource(peerOptions(peer.port()), &source), 51);
  EXPECT_EQ(source, nullptr);
  peer.join();
  clientOptions none;
  EXPECT_EQ(openQuerySource(none, &source), 405);
}

TEST(QuerySource, AttachedSessionIsTheThreadsCleanupEntryUntilDetached) {
  FakePeer peer;
  peer.run([](FakePeer& p) {
    ASSERT_TRUE(p.accept());
    p.answerSignOn();
    p.readVerb();
  });
  std::unique_ptr<MigrQuerySource> source;
  ASSERT_EQ(openQuerySource(peerOptions(peer.port()), &source), 0);
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
  source.reset();
  peer.join();
}

// A scripted source that records on which threads it was attached and
// detached; it answers end of stream after `records` answers, or blocks the
// producer on a full queue when `records` is large.
class RecordingSource : public MigrQuerySource {
 public:
  explicit RecordingSource(int records) : records_(records) {}
  int beginTxn() override { return 0; }
  int queryAll(uint32_t, uint8_t, uint8_t) override { return 0; }
  int next(MigrQueryAnswer& answer) override {
    if (sent_ >= records_) return RC_FINISHED;
    answer = MigrQueryAnswer();
    answer.objId = makeId(static_cast<uint8_t>(sent_));
    answer.path = "/f" + std::to_string(sent_++);
    return 0;
  }
  void attachToCallingThread() override { attachedOn = pthread_self(); ++attaches; }
  void detachFromCallingThread() override { detachedOn = pthread_self(); ++detaches; }
  static inline pthread_t attachedOn{}, detachedOn{};
  static inline std::atomic<int> attaches{0}, detaches{0};

 private:
  int records_;
  int sent_ = 0;
};

TEST(QueryThreadSession, AttachedOnTheQueryThreadAndDetachedHoweverItEnds) {
  for (int records : {3, 1000000}) {
    RecordingSource::attaches = 0;
    RecordingSource::detaches = 0;
    cQueue queue(kQueryQueueWaitTime);
    auto thread = std::make_unique<ZefServerQueryThread>("/fs", 1, std::make_unique<RecordingSource>(records),
                                                         &queue);
    ASSERT_EQ(thread->getAllMigrObjectsFromServer(0), 0);
    ASSERT_EQ(thread->Create(), 0);
    const pthread_t worker = thread->getThreadId();
    if (records == 3) {
      for (int i = 0; i < 4; ++i) {  // three records and the end marker
        cQueueBaseObject* e = nullptr;
        ASSERT_EQ(queue.ReadElement(e), 0);
        delete e;
      }
    }
    // Either joined after its end, or stopped while blocked on a full queue.
    thread.reset();
    EXPECT_EQ(RecordingSource::attaches.load(), 1) << records;
    EXPECT_EQ(RecordingSource::detaches.load(), 1) << records;
    EXPECT_TRUE(pthread_equal(RecordingSource::attachedOn, worker));
    EXPECT_TRUE(pthread_equal(RecordingSource::detachedOn, worker));
    queue.ResetQueue(kQueryQueueWaitTime);
  }
}

}  // namespace
