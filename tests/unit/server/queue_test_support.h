// Helpers shared by the queue and query thread tests.
#ifndef KMR_TESTS_UNIT_SERVER_QUEUE_TEST_SUPPORT_H
#define KMR_TESTS_UNIT_SERVER_QUEUE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "common/trace.h"
#include "server/queue.h"

// Spins (yielding) until another thread has reached the observed state. No
// clock is involved: a state that is never reached shows up as a test
// time-out, not as a flaky pass.
inline void waitFor(const std::function<bool()>& reached) {
  while (!reached()) std::this_thread::yield();
}

// A call that only a release of the queue may end (a read of an empty
// queue, a write to a full one, a stop of the producer), run on a thread of
// its own. result() waits for it at most kReleaseLimit, a bound no correct
// release comes near: a call still blocked then fails the test at once, is
// ended by `unblock` and gives kStillBlocked, so a queue that does not
// release its waiters fails fast instead of hanging the run.
constexpr auto kReleaseLimit = std::chrono::seconds(10);
constexpr int kStillBlocked = -1;

class BlockingCall {
 public:
  BlockingCall(std::function<int()> call, std::function<void()> unblock)
      : unblock_(std::move(unblock)), ended_(done_.get_future()),
        thread_([this, call = std::move(call)] { done_.set_value(call()); }) {}
  ~BlockingCall() { result(); }
  BlockingCall(const BlockingCall&) = delete;
  BlockingCall& operator=(const BlockingCall&) = delete;

  int result() {
    if (!thread_.joinable()) return rc_;
    const bool ended = ended_.wait_for(kReleaseLimit) == std::future_status::ready;
    if (!ended) {
      ADD_FAILURE() << "still blocked after " << kReleaseLimit.count() << " s: the queue did not release it";
      unblock_();
    }
    thread_.join();
    rc_ = ended ? ended_.get() : kStillBlocked;
    return rc_;
  }

 private:
  std::function<void()> unblock_;
  std::promise<int> done_;
  std::future<int> ended_;
  std::thread thread_;
  int rc_ = kStillBlocked;
};

// Ends a blocked read: a null element is a legal one.
inline void unblockReader(cQueue& q) { q.WriteElement(nullptr, 1, 0); }

// Ends a blocked write (or a producer blocked in one) by emptying the queue.
inline void unblockWriter(cQueue& q) {
  for (int i = q.capacity() + 1; i > 0 && q.count() > 0; --i) {
    cQueueBaseObject* e = nullptr;
    if (q.ReadElement(e) != 0) break;
    delete e;
  }
}

// ReadElement bounded as above.
inline int boundedRead(cQueue& q, cQueueBaseObject*& e) {
  return BlockingCall([&] { return q.ReadElement(e); }, [&] { unblockReader(q); }).result();
}

// Capacity and margin come from test flags read when a queue is built.
class ScopedQueueFlags {
 public:
  ScopedQueueFlags(int size, int lock) : size_(TEST_HSMCOMMQUEUESIZE), lock_(TEST_HSMCOMMQUEUELOCK) {
    TEST_HSMCOMMQUEUESIZE.set = 1;
    TEST_HSMCOMMQUEUESIZE.numValue = size;
    TEST_HSMCOMMQUEUELOCK.set = 1;
    TEST_HSMCOMMQUEUELOCK.numValue = lock;
  }
  ~ScopedQueueFlags() {
    TEST_HSMCOMMQUEUESIZE = size_;
    TEST_HSMCOMMQUEUELOCK = lock_;
  }

 private:
  TestFlag size_, lock_;
};

#endif
