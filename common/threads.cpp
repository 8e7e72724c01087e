// Thread services over POSIX threads.
#include "common/threads.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "common/rc.h"
#include "common/trace.h"

namespace {
std::atomic<bool> g_multiThreaded{false};
std::atomic<unsigned> g_instrumented{0};
psThread_t g_mainThread{};
pid_t g_mainPid = 0;

bool locksSkipped() { return !g_multiThreaded; }
}  // namespace

int psMutexInit(psMutex_t* mutex) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc) return rc;
  // Error checking makes a second lock by the owner fail with EDEADLK
  // instead of hanging the process.
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

int psMutexLock(psMutex_t* mutex) {
  if (locksSkipped()) return 0;
  int rc = pthread_mutex_lock(mutex);
  if (rc == 0) return 0;
  if (rc == EDEADLK) {
    TRACE(TR_THREAD, "psMutexLock : D E A D L O C K\n");
    return RC_DEADLOCK;
  }
  TRACE(TR_THREAD, "psMutexLock : OUT OF MEMORY\n");
  return RC_NO_MEMORY;
}

int psMutexTryLock(psMutex_t* mutex) {
  if (locksSkipped()) return 0;
  return pthread_mutex_trylock(mutex);
}

int psMutexUnlock(psMutex_t* mutex) {
  if (locksSkipped()) return 0;
  return pthread_mutex_unlock(mutex);
}

int psMutexDestroy(psMutex_t* mutex) { return pthread_mutex_destroy(mutex); }

pkMutex* pkCreateMutex() {
  auto* m = new (std::nothrow) pkMutex;
  if (!m) {
    TRACE(TR_GENERAL, "Create Mutex failed: %d.\n", ENOMEM);
    return nullptr;
  }
  int rc = psMutexInit(&m->mutex);
  if (rc) {
    TRACE(TR_GENERAL, "Create Mutex failed: %d.\n", rc);
    delete m;
    return nullptr;
  }
  return m;
}

void pkDestroyMutex(pkMutex* mutex) {
  if (!mutex) return;
  psMutexDestroy(&mutex->mutex);
  delete mutex;
}

bool pkDoIhaveMutex(pkMutex* mutex) {
  if (mutex->owned && pthread_equal(mutex->owner.load(), pthread_self())) return true;
  if (mutex->owned) {
    pthread_t holder = mutex->owner.load();
    TRACE(TR_THREAD, "Mutex held by thread %d (%x)\n", static_cast<int>(holder),
          static_cast<unsigned>(holder));
  } else {
    TRACE(TR_THREAD, "Mutex held by no thread.\n");
  }
  return false;
}

int pkAcquireMutex(pkMutex* mutex) {
  int rc = psMutexLock(&mutex->mutex);
  if (rc) {
    TRACE(TR_GENERAL, "Acquire Mutex failed.\n");
    return rc;
  }
  mutex->owner = pthread_self();
  mutex->owned = true;
  mutex->count = 1;
  return 0;
}

int pkReleaseMutex(pkMutex* mutex) {
  if (!mutex->owned || !pthread_equal(mutex->owner.load(), pthread_self())) {
    TRACE(TR_GENERAL, "Release Mutex failed: %d.\n", EPERM);
    return EPERM;
  }
  mutex->count = 0;
  mutex->owned = false;
  int rc = psMutexUnlock(&mutex->mutex);
  if (rc) TRACE(TR_GENERAL, "Release Mutex failed: %d.\n", rc);
  return rc;
}

int pkAcquireMutexNested(pkMutex* mutex) {
  if (mutex->owned && pthread_equal(mutex->owner.load(), pthread_self())) {
    ++mutex->count;
    return 0;
  }
  return pkAcquireMutex(mutex);
}

int pkReleaseMutexNested(pkMutex* mutex) {
  if (!mutex->owned || !pthread_equal(mutex->owner.load(), pthread_self())) {
    TRACE(TR_GENERAL, "Release Mutex failed: %d.\n", EPERM);
    return EPERM;
  }
  if (--mutex->count > 0) return 0;
  return pkReleaseMutex(mutex);
}

int psThreadCreate(psThreadDesc* desc) {
  pthread_t id;
  int rc;
  if (desc->attributes) {
    rc = pthread_create(&id, desc->attributes, desc->start, desc->argument);
  } else {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    rc = desc->stackSize ? pthread_attr_setstacksize(&attr, desc->stackSize) : 0;
    if (rc == 0) rc = pthread_create(&id, &attr, desc->start, desc->argument);
    pthread_attr_destroy(&attr);
  }
  if (rc) {
    TRACE(TR_THREAD, "psThreadCreate: pthread_create failed: %d.\n", rc);
    return rc;
  }
  if (desc->threadId) *desc->threadId = id;
  if (TEST_INSTRUMENT.set) {
    ++g_instrumented;
    TRACE(TR_THREAD, "psThreadCreate: thread %lu registered for instrumentation.\n",
          static_cast<unsigned long>(id));
  }
  return 0;
}

psThread_t psThreadSelf() { return pthread_self(); }
bool psThreadEqual(psThread_t a, psThread_t b) { return pthread_equal(a, b) != 0; }
void psThreadYield() { sched_yield(); }

void psSetThreadMode(int multiThreaded) {
  if (multiThreaded) {
    g_mainThread = pthread_self();
    g_mainPid = getpid();
  }
  g_multiThreaded = multiThreaded != 0;
}
bool psIsMultiThreaded() { return g_multiThreaded; }
psThread_t psMainThread() { return g_mainThread; }
pid_t psMainPid() { return g_mainPid; }
unsigned psInstrumentedThreads() { return g_instrumented; }
