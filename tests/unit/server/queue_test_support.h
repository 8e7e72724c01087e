// Helpers shared by the queue and query thread tests.
#ifndef KMR_TESTS_UNIT_SERVER_QUEUE_TEST_SUPPORT_H
#define KMR_TESTS_UNIT_SERVER_QUEUE_TEST_SUPPORT_H

#include <functional>
#include <thread>

#include "common/trace.h"

// Spins (yielding) until another thread has reached the observed state. No
// clock is involved: a state that is never reached shows up as a test
// time-out, not as a flaky pass.
inline void waitFor(const std::function<bool()>& reached) {
  while (!reached()) std::this_thread::yield();
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
