// cQueue: the bounded, blocking queue that carries queue elements from the
// query thread (one writer) to the reconcile mode (one reader).
//
// Contract
// - Capacity is the numeric value of test flag HSMCOMMQUEUESIZE when set,
//   else 50000; the refill margin is that of HSMCOMMQUEUELOCK, else 1000.
//   Both are read once, at construction. A capacity below 1 is taken as 1 and
//   the margin is kept within 0 .. capacity - 1, so a waiting writer is always
//   woken at the latest when the reader empties the queue.
// - Elements (null is allowed) are owned by the queue from a successful
//   WriteElement until ReadElement hands them out. The destructor does not
//   delete held elements; owners call ResetQueue first.
// - One reader and one writer may block at the same time; every operation
//   may be called from any thread.
// - Lock order: queue mutex, then a condition's mutex; no wait holds the
//   queue mutex.
// - Once unlockWaiters has run, the queue is released until the next
//   ResetQueue: nobody starts a new wait on it. A write that finds it full
//   returns RC_NO_MEMORY (102) and the caller keeps its element; a read that
//   finds it empty returns RC_QUEUE_WAKEUP_EMPTY (964). This is what lets a
//   stop of the producer never hang.
#ifndef KMR_SERVER_QUEUE_H
#define KMR_SERVER_QUEUE_H

#include <deque>

#include "common/rc.h"
#include "server/queueobjects.h"
#include "server/syncobjects.h"

constexpr int kDefaultCommQueueSize = 50000;
constexpr int kDefaultCommQueueLock = 1000;

class cQueue {
 public:
  explicit cQueue(int waitTimeMs);
  virtual ~cQueue();
  cQueue(const cQueue&) = delete;
  cQueue& operator=(const cQueue&) = delete;

  // Adds `element` at the front (atFront nonzero) or the back. A full queue
  // makes the writer wait until the reader has brought the count below
  // capacity - margin, then the element is added; with noWait set, or on a
  // released queue, it returns 102 instead and does not take the element.
  // Returns 0, 102, or a mutex error code.
  int WriteElement(cQueueBaseObject* element, int atFront, int noWait);
  // Takes the front element into `obj`, waiting while the queue is empty.
  // Returns 0; RC_QUEUE_WAKEUP_EMPTY when woken (or released) and still empty, `obj` unchanged;
  // or a mutex error code.
  int ReadElement(cQueueBaseObject*& obj);
  // Deletes every held element, sets the wait time, empties the queue and
  // ends the released state. Throws cTextException when the mutex fails.
  void ResetQueue(int waitTimeMs);
  // Wakes a waiting reader and a waiting writer and releases the queue (see
  // above). Throws cTextException when the mutex fails.
  void unlockWaiters();

  // Observers; each takes the queue mutex or a condition's mutex.
  int count();
  int waitTime();
  bool isReleased();
  int capacity() const { return m_CommQueueSize; }
  int refillMargin() const { return m_CommQueueLock; }
  bool isReaderWaiting() { return m_EmptyCond.isWaiting(); }
  bool isWriterWaiting() { return m_FullCond.isWaiting(); }
  bool isWriterSignaled() { return m_FullCond.isSignaled(); }

 private:
  int lockQueue();
  void traceSizes();
  // Waits on `cond` without holding the queue mutex, which is held on entry
  // and again on a 0 return. The wait's result goes to *waitRc; the return
  // value is that of re-taking the queue mutex.
  int waitUnlocked(cSyncObjectCondition& cond, int* waitRc);
  void signalWriterIfWaiting();

  int m_uiWaitTime;
  int m_Count = 0;
  cSyncObjectCondition m_EmptyCond;
  cSyncObjectCondition m_FullCond;
  cSyncObjectMutex m_Mutex;
  std::deque<cQueueBaseObject*> m_Queue;
  int m_CommQueueSize;
  int m_CommQueueLock;
  bool m_Released = false;
};

#endif
