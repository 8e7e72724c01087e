#include "server/syncobjects.h"

#include <cerrno>
#include <ctime>
#include <sys/time.h>

#include "common/trace.h"

namespace {

const char kCondName[] = "cSyncObjectCondition";

// Absolute deadline now + ms from the time of day, nanoseconds carried.
timespec deadlineAfter(int ms) {
  timeval now;
  gettimeofday(&now, nullptr);
  timespec when;
  long long nanos = static_cast<long long>(now.tv_usec) * 1000 + (ms % 1000) * 1000000LL;
  when.tv_sec = now.tv_sec + ms / 1000 + static_cast<time_t>(nanos / 1000000000LL);
  when.tv_nsec = static_cast<long>(nanos % 1000000000LL);
  return when;
}

// Runs `fn` holding `mutex` and returns its result, or the lock's or the
// unlock's pthread code where that failed (fn does not run without the lock).
template <typename Fn>
int underLock(cSyncObjectMutex& mutex, Fn fn) {
  int rc = mutex.Lock();
  if (rc != 0) return rc;
  rc = fn();
  const int unlockRc = mutex.Unlock();
  return rc != 0 ? rc : unlockRc;
}

// True when `flag` is non-zero, read holding `mutex`.
template <typename Flag>
bool isSetUnderLock(cSyncObjectMutex& mutex, const Flag& flag) {
  mutex.Lock();
  const bool set = flag != 0;
  mutex.Unlock();
  return set;
}

}  // namespace

cSyncObjectMutex::cSyncObjectMutex() { pthread_mutex_init(&m_Mutex, nullptr); }
cSyncObjectMutex::~cSyncObjectMutex() { pthread_mutex_destroy(&m_Mutex); }
int cSyncObjectMutex::Lock() { return pthread_mutex_lock(&m_Mutex); }
int cSyncObjectMutex::Unlock() { return pthread_mutex_unlock(&m_Mutex); }

cSyncObjectCondition::cSyncObjectCondition() {
  // Timed waits compare against the time of day, so the condition keeps the
  // default (realtime) clock.
  pthread_cond_init(&m_Cond, nullptr);
}
cSyncObjectCondition::~cSyncObjectCondition() { pthread_cond_destroy(&m_Cond); }

int cSyncObjectCondition::Wait(int ms) {
  int rc = m_Mutex.Lock();
  if (rc != 0) {
    TRACE(TR_THREAD, "(%s): m_mutex.Lock() failed: rc(%d)\n", kCondName, rc);
    return rc;
  }
  m_Waiting = 1;
  const bool timed = ms > 0;
  const timespec deadline = timed ? deadlineAfter(ms) : timespec{};
  rc = 0;
  while (m_Signaled == 0) {
    rc = timed ? pthread_cond_timedwait(&m_Cond, m_Mutex.native(), &deadline)
               : pthread_cond_wait(&m_Cond, m_Mutex.native());
    if (rc == 0 || rc == EINTR) {
      if (m_Signaled == 0) TRACE(TR_THREAD, "(%s): spurious wakeup!\n", kCondName);
      rc = 0;
      continue;
    }
    if (rc == ETIMEDOUT) {
      rc = RC_QUEUE_WAKEUP_EMPTY;
    } else {
      TRACE(TR_THREAD,
            timed ? "(%s): pthread_cond_timedwait() failed: rc(%d)\n"
                  : "(%s): pthread_cond_wait() failed: rc(%d)\n",
            kCondName, rc);
    }
    break;
  }
  m_Signaled = 0;
  m_Waiting = 0;
  m_Mutex.Unlock();
  return rc;
}

int cSyncObjectCondition::Signal() {
  return underLock(m_Mutex, [this] {
    m_Signaled = 1;
    return pthread_cond_signal(&m_Cond);
  });
}

int cSyncObjectCondition::PrepareWait() {
  return underLock(m_Mutex, [this] {
    m_Waiting = 1;
    return 0;
  });
}

int cSyncObjectCondition::SignalIfWaiting(bool* signalled) {
  // A wait is announced (PrepareWait) under the lock the caller holds here,
  // so a flag of 0 means nobody waits: no waiter can be missed by skipping
  // the mutex, and a stale 1 only costs the locked check below.
  *signalled = false;
  if (m_Waiting.load() == 0) return 0;
  return underLock(m_Mutex, [this, signalled] {
    *signalled = m_Waiting != 0;
    if (!*signalled) return 0;
    m_Signaled = 1;
    return pthread_cond_signal(&m_Cond);
  });
}

bool cSyncObjectCondition::isWaiting() { return isSetUnderLock(m_Mutex, m_Waiting); }
bool cSyncObjectCondition::isSignaled() { return isSetUnderLock(m_Mutex, m_Signaled); }
