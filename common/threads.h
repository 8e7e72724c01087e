// Thread services: platform mutexes that report deadlock instead of hanging,
// heap mutex objects that the owning thread may take again (nestable), thread
// creation with the program's defaults, and the process's thread mode.
//
// Contract
// - Mutex operations return 0 on success. psMutexLock returns 936 when the
//   calling thread already holds the mutex (the platform reports deadlock) and
//   102 for any other failure; it never blocks on a mutex the caller holds.
// - While the process is single-threaded (the initial mode),
//   psMutexLock/psMutexUnlock do nothing and succeed, so that a second lock
//   by the same thread doesn't block.
// - A nestable mutex counts the owner's acquisitions and unlocks at the last
//   release; a release by a thread that doesn't own it changes nothing and
//   returns EPERM.
// - pkCreateMutex hands a heap object to the caller, who gives it back with
//   pkDestroyMutex. Any thread may call any operation.
#ifndef KMR_COMMON_THREADS_H
#define KMR_COMMON_THREADS_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

typedef pthread_mutex_t psMutex_t;
typedef pthread_t psThread_t;

// Initialises an error-checking mutex. Returns 0 or the platform's error.
int psMutexInit(psMutex_t* mutex);
int psMutexLock(psMutex_t* mutex);      // 0, 936 (deadlock) or 102
int psMutexTryLock(psMutex_t* mutex);   // 0, EBUSY or the platform's error
int psMutexUnlock(psMutex_t* mutex);    // 0 or the platform's error
int psMutexDestroy(psMutex_t* mutex);   // 0 or the platform's error

// A heap mutex object: plain (pkAcquireMutex) or nestable (...Nested).
struct pkMutex {
  psMutex_t mutex;
  std::atomic<bool> owned{false};
  std::atomic<pthread_t> owner{};
  int count = 0;  // touched only by the owner
};
pkMutex* pkCreateMutex();               // nullptr on failure ("Create Mutex failed")
void pkDestroyMutex(pkMutex* mutex);    // accepts nullptr
int pkAcquireMutex(pkMutex* mutex);     // as psMutexLock
int pkReleaseMutex(pkMutex* mutex);     // EPERM when the caller isn't the owner
int pkAcquireMutexNested(pkMutex* mutex);
int pkReleaseMutexNested(pkMutex* mutex);
bool pkDoIhaveMutex(pkMutex* mutex);

// What psThreadCreate needs to start a thread.
struct psThreadDesc {
  psThread_t* threadId = nullptr;        // where to store the new thread's id (may be null)
  pthread_attr_t* attributes = nullptr;  // used as given when set
  void* (*start)(void*) = nullptr;
  void* argument = nullptr;
  size_t stackSize = 0;                  // 0 = platform default
};
// Starts a thread: with the given attributes, else detached with the given
// stack size. Returns 0 or the platform's error.
int psThreadCreate(psThreadDesc* desc);
psThread_t psThreadSelf();
bool psThreadEqual(psThread_t a, psThread_t b);
void psThreadYield();

// 1 = multi-threaded (records the main thread and process), 0 = single.
void psSetThreadMode(int multiThreaded);
bool psIsMultiThreaded();
psThread_t psMainThread();
pid_t psMainPid();
// Threads started while TEST_INSTRUMENT is set (the instrumentation's count).
unsigned psInstrumentedThreads();

#endif
