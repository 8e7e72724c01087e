#include "server/queue.h"

#include <algorithm>

#include "common/textexception.h"
#include "common/trace.h"

namespace {

const char kQueueName[] = "cQueue";

int flagValueOr(const TestFlag& flag, int fallback) {
  return flag.set ? static_cast<int>(flag.numValue) : fallback;
}

// Wakes the thread (`who`, waiting for `what`) that waits on `cond`, if one
// does, and traces the outcome.
void unblock(cSyncObjectCondition& cond, const char* who, const char* what, const char* condName) {
  static const char kName[] = "cQueue::unlockWaiters";
  if (!cond.isWaiting()) return;
  TRACE(TR_THREAD, "(%s): %s thread is waiting for %s, let's unblock it\n", kName, who, what);
  bool signalled = false;
  const int rc = cond.SignalIfWaiting(&signalled);
  if (rc == 0)
    TRACE(TR_THREAD, "(%s): Send signal of condition %s. OK\n", kName, condName);
  else
    TRACE(TR_THREAD, "(%s): Signal of condition %s failed. rc = %d\n", kName, condName, rc);
}

}  // namespace

cQueue::cQueue(int waitTimeMs) : m_uiWaitTime(waitTimeMs) {
  TREnterExit<char> ee(__FILE__, __LINE__, "cQueue::cQueue()");
  m_CommQueueSize = std::max(1, flagValueOr(TEST_HSMCOMMQUEUESIZE, kDefaultCommQueueSize));
  m_CommQueueLock =
      std::clamp(flagValueOr(TEST_HSMCOMMQUEUELOCK, kDefaultCommQueueLock), 0, m_CommQueueSize - 1);
  TRACE(TR_THREAD, "(%s): Created with m_uiWaitTime    : %d\n", kQueueName, m_uiWaitTime);
  TRACE(TR_THREAD, "(%s): Created with m_CommQueueSize : %d\n", kQueueName, m_CommQueueSize);
  TRACE(TR_THREAD, "(%s): Created with m_CommQueueLock : %d\n", kQueueName, m_CommQueueLock);
}

cQueue::~cQueue() {
  TREnterExit<char> ee(__FILE__, __LINE__, "cQueue::~cQueue()");
  TRACE(TR_THREAD, "(%s): Deleting Queue!\n", kQueueName);
}

int cQueue::lockQueue() {
  const int rc = m_Mutex.Lock();
  if (rc != 0)
    TRACE(TR_THREAD, "(%s): FAILURE -> Acquire mutex lock failed with rc = %d!\n", kQueueName, rc);
  return rc;
}

// Unlocked reads of the count here are for the trace only.
void cQueue::traceSizes() {
  if (!TR_THREAD) return;
  m_Mutex.Lock();
  const int count = m_Count;
  m_Mutex.Unlock();
  TRACE(TR_THREAD, "(%s): Queue Size      : %d\n", kQueueName, m_CommQueueSize);
  TRACE(TR_THREAD, "(%s): Queue Lock      : %d\n", kQueueName, m_CommQueueLock);
  TRACE(TR_THREAD, "(%s): Queue #Elements : %d\n", kQueueName, count);
}

int cQueue::waitUnlocked(cSyncObjectCondition& cond, int* waitRc) {
  // Announce the wait while the queue mutex is still held: a signaller that
  // runs after the unlock below then finds the waiting flag set, and its
  // signal is kept until Wait takes it.
  cond.PrepareWait();
  m_Mutex.Unlock();
  *waitRc = cond.Wait(0);
  return lockQueue();
}

void cQueue::signalWriterIfWaiting() {
  bool signalled = false;
  const int rc = m_FullCond.SignalIfWaiting(&signalled);
  if (signalled) TRACE(TR_THREAD, " (%s): Signal that queue is not longer full\n", kQueueName);
  if (rc != 0)
    TRACE(TR_THREAD, "(%s): FAILURE -> Signal of condition failed with rc = %d\n", kQueueName, rc);
}

int cQueue::WriteElement(cQueueBaseObject* element, int atFront, int noWait) {
  TREnterExit<char> ee(__FILE__, __LINE__, "cQueue::WriteElement()");
  traceSizes();
  int rc = lockQueue();
  if (rc != 0) return rc;
  if (m_Count >= m_CommQueueSize) {
    if (noWait || m_Released) {
      TRACE(TR_THREAD, "(%s): queue is full, return with rc = RC_NO_MEMORY ...\n", kQueueName);
      m_Mutex.Unlock();
      return RC_NO_MEMORY;
    }
    TRACE(TR_THREAD, "(%s): Wait because of full queue ...\n", kQueueName);
    int waitRc = 0;
    rc = waitUnlocked(m_FullCond, &waitRc);
    if (waitRc != 0)
      TRACE(TR_THREAD, "(%s): Wait because of full queue failed with rc = %d\n", kQueueName,
            waitRc);
    if (rc != 0) return rc;
    // Woken: the element goes in even if the queue is still at capacity, so
    // a writer woken by unlockWaiters does not wait a second time.
  }
  if (atFront)
    m_Queue.push_front(element);
  else
    m_Queue.push_back(element);
  ++m_Count;
  bool signalled = false;
  rc = m_EmptyCond.SignalIfWaiting(&signalled);
  if (rc != 0)
    TRACE(TR_THREAD, "(%s): FAILURE -> Signal of condition failed with rc = %d\n", kQueueName, rc);
  m_Mutex.Unlock();
  return 0;
}

int cQueue::ReadElement(cQueueBaseObject*& obj) {
  TREnterExit<char> ee(__FILE__, __LINE__, "cQueue::ReadElement()");
  traceSizes();
  int rc = lockQueue();
  if (rc != 0) return rc;
  if (m_Count == 0 && !m_Released) {
    TRACE(TR_THREAD, "(%s): Wait because of empty queue ...\n", kQueueName);
    int waitRc = 0;
    rc = waitUnlocked(m_EmptyCond, &waitRc);
    if (waitRc != 0)
      TRACE(TR_THREAD, "(%s): FAILURE -> Wait because of empty queue failed with rc = %d!\n",
            kQueueName, waitRc);
    if (rc != 0) return rc;
  }
  if (m_Count == 0) {
    signalWriterIfWaiting();
    m_Mutex.Unlock();
    return RC_QUEUE_WAKEUP_EMPTY;
  }
  obj = m_Queue.front();
  m_Queue.pop_front();
  --m_Count;
  if (m_Count < m_CommQueueSize - m_CommQueueLock) signalWriterIfWaiting();
  m_Mutex.Unlock();
  return 0;
}

void cQueue::ResetQueue(int waitTimeMs) {
  TREnterExit<char> ee(__FILE__, __LINE__, "cQueue::ResetQueue()");
  if (lockQueue() != 0) throw cTextException("(%s): Failed to acquire Mutex!\n", kQueueName);
  if (!m_Queue.empty()) {
    TRACE(TR_THREAD, "(%s): m_Queue.size = %d.", kQueueName, static_cast<int>(m_Queue.size()));
    for (cQueueBaseObject* element : m_Queue) delete element;
    m_Queue.clear();
  }
  m_uiWaitTime = waitTimeMs;
  m_Count = 0;
  m_Released = false;
  m_Mutex.Unlock();
}

void cQueue::unlockWaiters() {
  static const char kName[] = "cQueue::unlockWaiters";
  TREnterExit<char> ee(__FILE__, __LINE__, "cQueue::unlockWaiters()");
  if (lockQueue() != 0) throw cTextException("(%s): Failed to acquire Mutex!\n", kName);
  TRACE(TR_THREAD, "(%s): Checked queue: (%d) elements counted (%d) size of queue.\n", kName,
        m_Count, static_cast<int>(m_Queue.size()));
  m_Released = true;
  unblock(m_EmptyCond, "Consumer / Reader", "an element", "EMPTY");
  unblock(m_FullCond, "Producer / Writer", "a free place", "FULL");
  m_Mutex.Unlock();
}

int cQueue::count() {
  m_Mutex.Lock();
  const int n = m_Count;
  m_Mutex.Unlock();
  return n;
}

int cQueue::waitTime() {
  m_Mutex.Lock();
  const int t = m_uiWaitTime;
  m_Mutex.Unlock();
  return t;
}

bool cQueue::isReleased() {
  m_Mutex.Lock();
  const bool released = m_Released;
  m_Mutex.Unlock();
  return released;
}
