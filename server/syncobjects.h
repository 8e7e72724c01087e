// Synchronisation objects of the bounded queue: a plain mutex and a
// condition with its own mutex that remembers a signal until a waiter takes it.
//
// Contract
// - All operations may be called from any thread.
// - Lock order: a thread that holds another lock (the queue mutex) may take a
//   condition's mutex; a condition never takes another lock while holding its
//   own.
// - A condition serves one waiting thread at a time (the queue has one
//   reader and one writer, each with its own condition).
// - Results are 0 or the pthread error code; a timed wait that expires
//   returns RC_QUEUE_WAKEUP_EMPTY (964, common/rc.h).
#ifndef KMR_SERVER_SYNCOBJECTS_H
#define KMR_SERVER_SYNCOBJECTS_H

#include <atomic>
#include <pthread.h>

#include "common/rc.h"

class cSyncObjectMutex {
 public:
  cSyncObjectMutex();
  virtual ~cSyncObjectMutex();
  cSyncObjectMutex(const cSyncObjectMutex&) = delete;
  cSyncObjectMutex& operator=(const cSyncObjectMutex&) = delete;

  int Lock();
  int Unlock();
  pthread_mutex_t* native() { return &m_Mutex; }

 private:
  pthread_mutex_t m_Mutex;
};

// A signal is remembered in `signaled` until the waiter that it was meant
// for consumes it, so a Signal that arrives between a waiter's announcement
// (PrepareWait) and its sleep is not lost.
class cSyncObjectCondition {
 public:
  cSyncObjectCondition();
  virtual ~cSyncObjectCondition();
  cSyncObjectCondition(const cSyncObjectCondition&) = delete;
  cSyncObjectCondition& operator=(const cSyncObjectCondition&) = delete;

  // Waits for a Signal: without a time limit when ms is 0, else until now +
  // ms milliseconds. Wake-ups without a signal wait again. Returns 0 after a
  // signal, 964 when the deadline passed, or the failing pthread code. On
  // every exit the signaled and waiting flags are 0 again.
  virtual int Wait(int ms);
  // Marks the signal pending and wakes one waiter. Returns the pthread code.
  virtual int Signal();

  // Sets the waiting flag ahead of Wait, while the caller still holds the
  // lock under which it decided to wait; a signaller that looks after the
  // caller released that lock sees the waiter. Returns the pthread code.
  int PrepareWait();
  // Signals only when a thread waits (or has announced its wait). Returns
  // 0 with *signalled = false when nobody waits, else the Signal result.
  int SignalIfWaiting(bool* signalled);

  // Observers for diagnostics and tests; each takes the condition's mutex.
  bool isWaiting();
  bool isSignaled();

 private:
  pthread_cond_t m_Cond;
  cSyncObjectMutex m_Mutex;
  int m_Signaled = 0;
  // Written under m_Mutex; SignalIfWaiting reads it first without the mutex
  // so that a signaller nobody waits for (the common case of a queue that is
  // neither empty nor full) takes no lock.
  std::atomic<int> m_Waiting{0};
};

#endif
