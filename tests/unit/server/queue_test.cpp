#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "common/textexception.h"
#include "common/trace.h"
#include "server/queue.h"
#include "tests/unit/server/queue_test_support.h"

namespace {

// An element that knows its place in the stream and counts its deletions.
std::atomic<int> g_deleted{0};
class Numbered : public queueDataObject {
 public:
  explicit Numbered(int n) : n_(n), alias_(std::to_string(n)) {}
  ~Numbered() override { ++g_deleted; }
  std::string& getAlias() override { return alias_; }
  int n() const { return n_; }

 private:
  int n_;
  std::string alias_;
};

int numberOf(cQueueBaseObject* e) {
  auto* numbered = dynamic_cast<Numbered*>(e);
  return numbered ? numbered->n() : -1;
}

int readNumber(cQueue& q) {
  cQueueBaseObject* e = nullptr;
  EXPECT_EQ(q.ReadElement(e), 0);
  const int n = numberOf(e);
  delete e;
  return n;
}

}  // namespace

TEST(SyncCondition, ASignalIsKeptForTheAnnouncedWaiterAndATimedWaitExpiresWith964) {
  cSyncObjectCondition cond;
  bool signalled = true;
  EXPECT_EQ(cond.SignalIfWaiting(&signalled), 0);
  EXPECT_FALSE(signalled);  // nobody waits: nothing is remembered
  EXPECT_FALSE(cond.isSignaled());
  EXPECT_EQ(cond.Wait(1), RC_QUEUE_WAKEUP_EMPTY);
  EXPECT_FALSE(cond.isWaiting());

  // A signal between the announcement and the sleep is not lost.
  ASSERT_EQ(cond.PrepareWait(), 0);
  EXPECT_EQ(cond.SignalIfWaiting(&signalled), 0);
  EXPECT_TRUE(signalled);
  EXPECT_EQ(cond.Wait(0), 0);
  EXPECT_FALSE(cond.isWaiting());
  EXPECT_FALSE(cond.isSignaled());
}

TEST(Queue, TakesCapacityAndMarginFromTestFlagsOrDefaults) {
  {
    cQueue q(250);
    EXPECT_EQ(q.capacity(), 50000);
    EXPECT_EQ(q.refillMargin(), 1000);
    EXPECT_EQ(q.waitTime(), 250);
  }
  // A margin at or above capacity would never wake the writer.
  for (auto [size, lock, margin] : {std::tuple{3, 1, 1}, std::tuple{4, 9, 3}}) {
    ScopedQueueFlags flags(size, lock);
    cQueue q(250);
    EXPECT_EQ(q.capacity(), size);
    EXPECT_EQ(q.refillMargin(), margin);
  }
}

TEST(Queue, EmptyReadIsWokenByAWriteAndReturnsTheElement) {
  cQueue q(250);
  cQueueBaseObject* got = nullptr;
  // Not unblockReader: that is a write, the very wake-up under test.
  BlockingCall reader([&] { return q.ReadElement(got); }, [&] { q.unlockWaiters(); });
  waitFor([&] { return q.isReaderWaiting(); });
  auto element = std::make_unique<Numbered>(5);
  ASSERT_EQ(q.WriteElement(element.get(), 0, 0), 0);
  EXPECT_EQ(reader.result(), 0);
  EXPECT_EQ(got, element.get());
  EXPECT_EQ(q.count(), 0);
}

TEST(Queue, EmptyReadIsWokenByUnlockingTheWaitersAndReturns964) {
  cQueue q(250);
  cQueueBaseObject* got = nullptr;
  BlockingCall reader([&] { return q.ReadElement(got); }, [&] { unblockReader(q); });
  waitFor([&] { return q.isReaderWaiting(); });
  q.unlockWaiters();
  EXPECT_EQ(reader.result(), RC_QUEUE_WAKEUP_EMPTY);
  EXPECT_EQ(got, nullptr);
  // Released: a later read does not wait for a producer that has ended.
  EXPECT_EQ(boundedRead(q, got), RC_QUEUE_WAKEUP_EMPTY);
  // Elements still queued are handed out before the 964.
  ASSERT_EQ(q.WriteElement(new Numbered(1), 0, 0), 0);
  EXPECT_EQ(readNumber(q), 1);
  EXPECT_EQ(boundedRead(q, got), RC_QUEUE_WAKEUP_EMPTY);
}

TEST(Queue, WriterBlocksWhenFullAndResumesOnlyBelowCapacityMinusMargin) {
  ScopedQueueFlags flags(3, 1);
  cQueue q(250);
  std::atomic<int> written{0};
  // Ended by a release, not by a read: a read's signal is what is under test.
  BlockingCall writer([&] {
    for (int i = 1; i <= 4; ++i) {
      if (int rc = q.WriteElement(new Numbered(i), 0, 0)) return rc;
      ++written;
    }
    return 0;
  }, [&] { q.unlockWaiters(); });
  waitFor([&] { return q.isWriterWaiting(); });
  EXPECT_EQ(written.load(), 3);
  EXPECT_EQ(q.count(), 3);

  // Two left: not below 3 - 1, so no signal may have gone out. The writer
  // can only leave its wait by taking a signal, so it must still be there
  // with no signal pending.
  EXPECT_EQ(readNumber(q), 1);
  EXPECT_TRUE(q.isWriterWaiting());
  EXPECT_FALSE(q.isWriterSignaled());
  EXPECT_EQ(written.load(), 3);

  // One left: below the mark, the writer resumes and adds the fourth.
  EXPECT_EQ(readNumber(q), 2);
  EXPECT_EQ(writer.result(), 0);
  EXPECT_EQ(written.load(), 4);
  EXPECT_EQ(q.count(), 2);
  for (int n : {3, 4}) EXPECT_EQ(readNumber(q), n);
}

// A full queue refuses a write that may not wait; unlocking the waiters lets
// a blocked writer add its element, and a released queue refuses a write that
// would wait instead of letting it wait for a reader that is gone.
TEST(Queue, FullQueueRefusesNoWaitWritesAndReleaseEndsWaitingOnes) {
  ScopedQueueFlags flags(1, 0);
  cQueue q(250);
  ASSERT_EQ(q.WriteElement(new Numbered(1), 0, 0), 0);
  Numbered refused(3);
  EXPECT_EQ(q.WriteElement(&refused, 0, 1), RC_NO_MEMORY);
  EXPECT_EQ(q.count(), 1);
  BlockingCall writer([&] { return q.WriteElement(new Numbered(2), 0, 0); }, [&] { unblockWriter(q); });
  waitFor([&] { return q.isWriterWaiting(); });
  q.unlockWaiters();
  EXPECT_EQ(writer.result(), 0);
  EXPECT_EQ(q.count(), 2);
  EXPECT_TRUE(q.isReleased());
  auto waiting = std::make_unique<Numbered>(4);
  BlockingCall write([&] { return q.WriteElement(waiting.get(), 0, 0); }, [&] { unblockWriter(q); });
  EXPECT_EQ(write.result(), RC_NO_MEMORY);
  if (write.result() != RC_NO_MEMORY) (void)waiting.release();  // the queue holds it
  EXPECT_EQ(q.count(), 2);
  g_deleted = 0;
  q.ResetQueue(250);
  EXPECT_EQ(g_deleted.load(), 2);
  EXPECT_FALSE(q.isReleased());
}

TEST(Queue, ResetDeletesHeldElementsAndDestructorLeavesThemToTheOwner) {
  g_deleted = 0;
  {
    cQueue q(250);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(q.WriteElement(new Numbered(i), 0, 0), 0);
    ASSERT_EQ(q.WriteElement(nullptr, 0, 0), 0);  // skipped, not a crash
    q.ResetQueue(100);
    EXPECT_EQ(g_deleted.load(), 5);
    EXPECT_EQ(q.count(), 0);
    EXPECT_EQ(q.waitTime(), 100);
  }
  auto kept = std::make_unique<cQueue>(250);
  Numbered onStack(1);
  ASSERT_EQ(kept->WriteElement(&onStack, 0, 0), 0);
  g_deleted = 0;
  kept.reset();  // must not delete the element (it would free a stack object)
  EXPECT_EQ(g_deleted.load(), 0);
}

