// The query thread that streams the server's migrated objects through the
// bounded queue, the thread base under it, and the record it streams.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include "common/textexception.h"
#include "common/trace.h"
#include "server/migobject.h"
#include "server/querythread.h"
#include "tests/support/scratch_dir.h"
#include "tests/unit/server/fake_peer.h"
#include "tests/unit/server/queue_test_support.h"

namespace {

constexpr uint32_t kFsId = 31;

// A session that answers `answers` objects and then ends with `endCode`
// (answers < 0: never ends). Answer i carries i in its first four id bytes
// and the path "/fs/<i>". It may watch the queue's fill level from the
// producer's side, and records on which threads it was attached and detached.
class ScriptedSource : public MigrQuerySource {
 public:
  struct Log {
    std::atomic<int> nextCalls{0};
    std::atomic<int> maxQueueCount{0};
    int beginCalls = 0, queryCalls = 0;
    uint32_t queriedFsId = 0;
    int objectType = -1, ordering = -1;
    int attaches = 0, detaches = 0;
    pthread_t attachedOn{}, detachedOn{};
  };
  ScriptedSource(Log& log, int answers, int endCode, cQueue* watched = nullptr)
      : log_(log), answers_(answers), endCode_(endCode), watched_(watched) {}

  int beginTxn() override {
    ++log_.beginCalls;
    return beginRc;
  }
  int queryAll(uint32_t fsId, uint8_t objectType, uint8_t ordering) override {
    ++log_.queryCalls;
    log_.queriedFsId = fsId;
    log_.objectType = objectType;
    log_.ordering = ordering;
    return queryRc;
  }
  int next(MigrQueryAnswer& answer) override {
    const int i = log_.nextCalls++;
    if (watched_ && watched_->count() > log_.maxQueueCount) log_.maxQueueCount = watched_->count();
    if (answers_ >= 0 && i >= answers_) return endCode_;
    answer = MigrQueryAnswer{};
    answer.fsId = kFsId;
    memcpy(answer.objId.bytes, &i, sizeof i);
    answer.path = "/fs/" + std::to_string(i);
    return 0;
  }
  void attachToCallingThread() override {
    log_.attachedOn = pthread_self();
    ++log_.attaches;
  }
  void detachFromCallingThread() override {
    log_.detachedOn = pthread_self();
    ++log_.detaches;
  }

  int beginRc = 0, queryRc = 0;

 private:
  Log& log_;
  int answers_, endCode_;
  cQueue* watched_;
};

std::unique_ptr<ZefServerQueryThread> queryThread(ScriptedSource::Log& log, int answers, int endCode,
                                                  cQueue& q) {
  return std::make_unique<ZefServerQueryThread>("/fs", kFsId,
                                                std::make_unique<ScriptedSource>(log, answers, endCode), &q);
}

int recordNumber(cQueueBaseObject* e) {
  auto* obj = dynamic_cast<ZefServerMigratedObject*>(e);
  if (!obj || !obj->getExtObjID()) return -1;
  int i = 0;
  memcpy(&i, obj->getExtObjID()->bytes, sizeof i);
  return i;
}

// The source's session was the query thread's clean-up entry exactly while
// that thread ran (call once the thread is joined).
void expectAttachedOnlyOn(pthread_t worker, const ScriptedSource::Log& log) {
  EXPECT_EQ(log.attaches, 1);
  EXPECT_EQ(log.detaches, 1);
  EXPECT_TRUE(pthread_equal(log.attachedOn, worker));
  EXPECT_TRUE(pthread_equal(log.detachedOn, worker));
}

// Reads everything the finished thread left, in queue order.
std::vector<std::unique_ptr<cQueueBaseObject>> drain(cQueue& q) {
  std::vector<std::unique_ptr<cQueueBaseObject>> out;
  cQueueBaseObject* e = nullptr;
  while (boundedRead(q, e) == 0) out.emplace_back(e);
  return out;
}


// An answer in the handle form, as a query of a stub's object delivers it.
MigrQueryAnswer handleFormAnswer() {
  MigrQueryAnswer a;
  a.fsId = 7;
  a.objId = makeId(0xE0);
  a.path = "/orca/fs1/dir/file.dat";
  a.attrib.size = 123456789012ULL;
  a.attrib.mode = 0100644;
  a.attrib.uid = 1001;
  a.attrib.gid = 100;
  a.attrib.inode = 4242;
  a.attrib.mtime = 1700000000;
  a.attrib.ctime = 1700000100;
  a.attrib.atime = 1700000200;
  a.attrib.flags = 0x10;  // state 2
  a.attrib.hsm.handleForm.marker = kAttribHandleMarker;
  a.attrib.hsm.handleForm.handleLength = 20;
  for (size_t i = 0; i < kMaxHandleLen; ++i) a.attrib.hsm.handleForm.handle[i] = static_cast<uint8_t>(0xA0 + i);
  a.serverAttrib.valid1 = a.serverAttrib.valid2 = 1;
  const uint32_t order[kRestoreOrderWords] = {0, 1, 0xABCD, 0x12345678, 0xFFFFFFFF};
  memcpy(a.serverAttrib.restoreOrder, order, sizeof order);
  a.serverAttrib.mediaClass = kMediaClassLibrary;
  return a;
}

// Sets a trace class for one test and restores it afterwards.
class ScopedClass {
 public:
  ScopedClass(unsigned char& flag, unsigned char value) : flag_(flag), saved_(flag) { flag_ = value; }
  ~ScopedClass() { flag_ = saved_; }

 private:
  unsigned char& flag_;
  unsigned char saved_;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace

TEST(QueryThread, StreamsEveryObjectInOrderThroughTheBoundedQueueThenFinishes) {
  // A small queue, so that the two threads hand over thousands of times.
  ScopedQueueFlags flags(8, 3);
  cQueue q(0);
  // Left over from an earlier stream: the constructor must drop them and the
  // release, or the reader would see them or stop waiting for the producer.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(q.WriteElement(new FinishedMessageObject(0), 0, 0), 0);
  q.unlockWaiters();
  ScriptedSource::Log log;
  constexpr int kObjects = 100000;
  ZefServerQueryThread thread("/fs", kFsId, std::make_unique<ScriptedSource>(log, kObjects, RC_FINISHED, &q), &q);
  EXPECT_EQ(q.count(), 0);
  EXPECT_FALSE(q.isReleased());
  EXPECT_EQ(q.waitTime(), 250);
  ASSERT_EQ(thread.getAllMigrObjectsFromServer(0), 0);
  ASSERT_EQ(thread.Create(), 0);

  int expected = 0;
  for (;;) {
    cQueueBaseObject* raw = nullptr;
    ASSERT_EQ(q.ReadElement(raw), 0) << "after " << expected << " records";
    std::unique_ptr<cQueueBaseObject> e(raw);
    if (auto* finished = dynamic_cast<FinishedMessageObject*>(e.get())) {
      EXPECT_EQ(finished->getSenderThreadId(), static_cast<unsigned long>(thread.getThreadId()));
      break;
    }
    auto* obj = dynamic_cast<ZefServerMigratedObject*>(e.get());
    ASSERT_NE(obj, nullptr) << "unexpected element after " << expected << " records";
    ASSERT_EQ(recordNumber(obj), expected);
    ASSERT_EQ(obj->getAlias(), "/fs/" + std::to_string(expected));
    ASSERT_EQ(obj->fsId, kFsId);
    ++expected;
  }
  EXPECT_EQ(expected, kObjects);
  EXPECT_LE(log.maxQueueCount.load(), 8);
  thread.Stop();
  EXPECT_TRUE(thread.isFinished());
  // The producer has ended and released the queue: a further read does not wait.
  cQueueBaseObject* none = nullptr;
  EXPECT_EQ(boundedRead(q, none), RC_QUEUE_WAKEUP_EMPTY);
  EXPECT_EQ(log.nextCalls.load(), kObjects + 1);
}

// The end and no-match codes queue a finished marker behind the records; a
// broken stream puts a failure with its message in front of them.
TEST(QueryThread, EndOfTheStreamIsQueuedAsFinishedMarkerOrFailure) {
  struct Case {
    int code;
    int message;  // 0: a finished marker
    std::string text;
  };
  const Case cases[] = {
      {RC_FINISHED, 0, ""},
      {RC_NO_MATCH, 0, ""},
      {RC_COMM_FAILURE, 8049, "BQF8049E The communication with the server failed during the query of migrated objects.\n"},
      {RC_PROTOCOL_ERROR, 1572, "BQF1572E The query of migrated objects on the server ended with return code 136.\n"},
      {-58, 1572, "BQF1572E The query of migrated objects on the server ended with return code -58.\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    cQueue q(0);
    ScriptedSource::Log log;
    auto thread = queryThread(log, 3, c.code, q);
    ASSERT_EQ(thread->Create(), 0);
    const pthread_t worker = thread->getThreadId();
    waitFor([&] { return thread->isFinished(); });
    thread->Stop();
    expectAttachedOnlyOn(worker, log);
    auto got = drain(q);
    ASSERT_EQ(got.size(), 4u);
    const size_t firstRecord = c.message ? 1 : 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(recordNumber(got[firstRecord + i].get()), i);
    if (c.message == 0) {
      EXPECT_NE(dynamic_cast<FinishedMessageObject*>(got[3].get()), nullptr);
      continue;
    }
    auto* failure = dynamic_cast<FailureMessageObject*>(got[0].get());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->getMessageNumber(), c.message);
    EXPECT_EQ(failure->getMessageText(), c.text);
    EXPECT_EQ(failure->getSenderThreadId(), static_cast<unsigned long>(worker));
  }
}

// Neither Stop nor the destructor hangs on a producer waiting for room in a
// full queue (the fault this test exists for); the woken producer may add the
// record it held, and no more.
TEST(QueryThread, StopOrDestructionWhileTheProducerWaitsOnAFullQueueReturns) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destructor" : "Stop");
    ScopedQueueFlags flags(5, 1);
    cQueue q(0);
    ScriptedSource::Log log;
    auto thread = queryThread(log, -1, 0, q);
    ASSERT_EQ(thread->Create(), 0);
    const pthread_t worker = thread->getThreadId();
    waitFor([&] { return q.isWriterWaiting(); });
    EXPECT_EQ(q.count(), 5);
    BlockingCall stop([&] { destroy ? thread.reset() : thread->Stop(); return 0; },
                      [&] { unblockWriter(q); });
    EXPECT_EQ(stop.result(), 0);
    if (!destroy) {
      EXPECT_TRUE(thread->isFinished());
      EXPECT_FALSE(thread->isRunning());
      EXPECT_FALSE(thread->isCreated());
      thread.reset();
    }
    expectAttachedOnlyOn(worker, log);
    EXPECT_LE(q.count(), 6);
    EXPECT_LE(log.nextCalls.load(), 6);
    auto got = drain(q);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(recordNumber(got[i].get()), static_cast<int>(i));
  }
}

TEST(QueryThread, StopRightAfterCreateNeverHangsNorLeaks) {
  ScopedQueueFlags flags(1, 0);
  cQueue q(0);
  for (int round = 0; round < 200; ++round) {
    ScriptedSource::Log log;
    auto thread = queryThread(log, -1, 0, q);
    ASSERT_EQ(thread->Create(), 0);
    BlockingCall stop([&] { thread->Stop(); return 0; }, [&] { unblockWriter(q); });
    ASSERT_EQ(stop.result(), 0) << "round " << round;
    EXPECT_TRUE(thread->isFinished());
    EXPECT_LE(q.count(), 2);
  }
  q.ResetQueue(0);
}

// The query asks for file space, object type 1 and the ordering; a refused
// BeginTxn sends no query, and either refusal is returned.
TEST(QueryThread, StartingTheQuerySendsTheFileSpaceAndOrdering) {
  cQueue q(0);
  for (auto [orderFlag, beginRc, queryRc, rc, queries, ordering] :
       {std::tuple{0, 0, 0, 0, 1, 2}, std::tuple{1, 0, 0, 0, 1, 1}, std::tuple{0, -50, 0, -50, 0, -1},
        std::tuple{0, 0, 136, 136, 1, 2}}) {
    SCOPED_TRACE(testing::Message() << "order " << orderFlag << " begin " << beginRc << " query " << queryRc);
    ScriptedSource::Log log;
    auto source = std::make_unique<ScriptedSource>(log, 0, RC_FINISHED);
    source->beginRc = beginRc;
    source->queryRc = queryRc;
    ZefServerQueryThread thread("/fs", kFsId, std::move(source), &q);
    EXPECT_EQ(thread.getAllMigrObjectsFromServer(orderFlag), rc);
    EXPECT_EQ(log.beginCalls, 1);
    EXPECT_EQ(log.queryCalls, queries);
    EXPECT_EQ(log.ordering, ordering);
    EXPECT_EQ(log.queriedFsId, queries ? kFsId : 0);
    EXPECT_EQ(log.objectType, queries ? 1 : -1);
  }
}

// ---- the thread base -----------------------------------------------------------

namespace {

class CountingThread : public cThreadBase {
 public:
  explicit CountingThread(int units, int initOk = 1, ThreadStartFn starter = platformThreadStart)
      : cThreadBase(starter), units_(units), initOk_(initOk) {}
  ~CountingThread() override { Stop(); }
  int Initialize() override { return initOk_; }
  void ThreadFunc() override {
    if (++done_ >= units_) setRunning(false);
  }
  int done() const { return done_.load(); }

 private:
  int units_, initOk_;
  std::atomic<int> done_{0};
};

int failingStart(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

}  // namespace

// A thread that could not be started reports the system's code, one whose
// Initialize fails ends without work; neither leaves anything to join.
TEST(ThreadBase, FailedCreateOrInitializationDoesNoWork) {
  CountingThread notStarted(1, 1, failingStart);
  EXPECT_EQ(notStarted.Create(), EAGAIN);
  EXPECT_FALSE(notStarted.isRunning());
  EXPECT_TRUE(notStarted.isFinished());
  EXPECT_FALSE(notStarted.isCreated());
  CountingThread notInitialized(1, 0);
  ASSERT_EQ(notInitialized.Create(), 0);
  waitFor([&] { return notInitialized.isFinished(); });
  for (CountingThread* t : {&notStarted, &notInitialized}) {
    t->Stop();
    EXPECT_EQ(t->done(), 0);
    EXPECT_FALSE(t->isRunning());
  }
  EXPECT_THROW(cThreadBase::ThreadEntry(nullptr), cTextException);
}

// The diagnostics a support engineer reads: with the classes on, the dump of
// each record, the end reason and the queue's hand-over reach the trace.
TEST(QueryThread, TracesRecordsEndReasonAndQueueActivity) {
  kmrtest::ScratchDir dir;
  const std::string path = dir.file("trace.out");
  new_TraceObject(5, 0, trTIDProc);
  ASSERT_EQ(trBegin(path.c_str(), false), 0);
  trEnable("SMRECONCILE SMRECONCILEDETAIL THREAD ENTER EXIT", true);
  {
    cQueue q(0);
    ScriptedSource::Log log;
    auto thread = queryThread(log, 2, RC_COMM_FAILURE, q);
    ASSERT_EQ(thread->Create(), 0);
    waitFor([&] { return thread->isFinished(); });
    thread->Stop();
    q.ResetQueue(0);
  }
  trClose(true);
  for (unsigned char* flag : {&TR_SMRECONCILE, &TR_SMRECONCILEDETAIL, &TR_THREAD, &TR_ENTER, &TR_EXIT})
    *flag = 0;
  const std::string text = kmrtest::readFile(path);
  for (const char* line : {"(ZefServerQueryThread): Server Object:\n\n=== ZEF Server Migrated Object ===\n",
                           "alias : /fs/1\n",
                           "(ZefServerQueryThread): FAILURE -> cuGetMigrQryResp() returned with rc = RC_COMM_FAILURE!\n",
                           "ENTER =====> cQueue::WriteElement()",
                           "(cQueue::unlockWaiters): Checked queue: (3) elements counted (3) size of queue.\n",
                           "(cQueue): m_Queue.size = 3."})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

// ---- the record the thread streams --------------------------------------------

TEST(MigratedObject, IdPrintsAsUpperCaseHexAndFollowsANewIdButNoNullOne) {
  ZefServerMigratedObject obj;
  EXPECT_EQ(obj.setAttributes(nullptr), 0);
  EXPECT_EQ(obj.getAttributes(), nullptr);
  const midExtObjId_t id = makeId(0x0A);
  ASSERT_EQ(obj.setExtObjID(&id), 1);
  EXPECT_EQ(obj.getExtObjIDString(), "0A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425");
  EXPECT_EQ(obj.setExtObjID(nullptr), 0);
  EXPECT_EQ(obj.getExtObjIDString().substr(0, 4), "0A0B");
  // The record keeps its own copy: changing the caller's id changes nothing.
  midExtObjId_t scratch = makeId(0x00);
  ASSERT_EQ(obj.setExtObjID(&scratch), 1);
  scratch.bytes[0] = 0xFF;
  EXPECT_EQ(obj.getExtObjIDString().substr(0, 4), "0001");
  EXPECT_EQ(obj.getExtObjID()->bytes[0], 0x00);
}

TEST(MigratedObject, MigrationStateTouchesOnlyItsBitsAndStampsExpiry) {
  ZefServerMigratedObject obj;
  Attrib attr{};
  attr.flags = 0xE7;  // every bit but the state set
  attr.atime = 1000;
  ASSERT_EQ(obj.setAttributes(&attr), 1);
  EXPECT_FALSE(obj.isObjectExpired());

  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  obj.setFileMigrState(7);  // only the low two bits count: 3, expired
  const uint32_t after = static_cast<uint32_t>(time(nullptr));
  EXPECT_EQ(obj.getAttributes()->flags, 0xFF);
  EXPECT_EQ(attribMigState(*obj.getAttributes()), 3u);
  EXPECT_TRUE(obj.isObjectExpired());
  // 7 is not the expired state itself, so atime stays as it was.
  EXPECT_EQ(+obj.getAttributes()->atime, 1000u);  // + reads the packed field by value

  obj.setFileMigrState(3);
  EXPECT_GE(+obj.getAttributes()->atime, before);
  EXPECT_LE(+obj.getAttributes()->atime, after + 1);

  const uint32_t stamped = obj.getAttributes()->atime;
  obj.setFileMigrState(2);
  EXPECT_FALSE(obj.isObjectExpired());
  EXPECT_EQ(obj.getAttributes()->flags, 0xF7);
  EXPECT_EQ(+obj.getAttributes()->atime, stamped);
  // The caller's record was copied, not borrowed.
  EXPECT_EQ(attr.flags, 0xE7);
}

TEST(MigratedObject, MediaClassNames) {
  const std::pair<int, const char*> table[] = {{0, "UNKNOWN"},   {16, "fixed"},   {32, "library"},
                                               {48, "network"},  {64, "shelf"},   {80, "offsite"},
                                               {240, "unavailable"}, {17, "UNKNOWN"}, {255, "UNKNOWN"}};
  ZefServerMigratedObject obj;
  for (const auto& [value, name] : table) {
    obj.mediaClass = static_cast<uint8_t>(value);
    EXPECT_EQ(obj.getMediaClassName(), name) << "media class " << value;
  }
}

// Filling from an answer copies every part: the attributes whole, the rest
// as the dump shows it.
TEST(MigratedObject, FilledFromAnAnswerDumpsEveryFieldOnlyWithDetailTrace) {
  ScopedClass detail(TR_SMRECONCILEDETAIL, 0);
  const MigrQueryAnswer answer = handleFormAnswer();
  ZefServerMigratedObject obj;
  ASSERT_EQ(fillMigratedObject(obj, answer), 1);
  ASSERT_NE(obj.getAttributes(), nullptr);
  EXPECT_EQ(memcmp(obj.getAttributes(), &answer.attrib, sizeof(Attrib)), 0);
  EXPECT_EQ(obj.toString(), "\n");
  TR_SMRECONCILEDETAIL = 1;
  const std::vector<std::string> got = lines(obj.toString());
  ASSERT_EQ(got.size(), 19u);  // the text ends with the one empty line
  const std::vector<std::string> untimed = {
      "",
      "=== ZEF Server Migrated Object ===",
      "",
      "                    alias : /orca/fs1/dir/file.dat",
      "                   handle : A0A1A2A3A4A5A6A7-A8A9AAABACADAEAF-B0B1B2B3",
      "            handle length : 20",
      "                 extObjID : E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FAFB",
      "                     fsID : 7",
      "                file size : 123456789012",
      "                    inode : 4242",
      "                      uid : 1001",
      "                      gid : 100",
      "                     mode : 33188",
  };
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 13), untimed);
  // Times: local date and time; the mtime and atime texts must differ, as
  // the values do, and name the year.
  EXPECT_EQ(got[13].substr(0, 28), "                    mtime : ");
  EXPECT_NE(got[13].find("2023"), std::string::npos) << got[13];
  EXPECT_NE(got[13].substr(28), got[15].substr(28));
  EXPECT_EQ(got[14].substr(0, 28), "                    ctime : ");
  EXPECT_EQ(got[15].substr(0, 28), "                    atime : ");
  EXPECT_EQ(std::vector<std::string>(got.begin() + 16, got.end()),
            (std::vector<std::string>{
                "              media class : library",
                "            restore order : 00000000-00000001-0000ABCD-12345678-FFFFFFFF", ""}));
}
