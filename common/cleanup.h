// Process clean-up: the signal handlers installed at start-up and the two
// clean-up paths that release the client services and end the process with
// status 255.
//
// Contract
// - CleanUp and HsmNormalCleanUp never return, except when a clean-up has
//   already started or is done; then they return at once. The started flag
//   is set (atomically) before anything is released, so a second signal
//   arriving during clean-up has no effect.
// - Signals never run clean-up code inside a handler. From clSmPreInitialize
//   on, SIGINT, SIGQUIT, SIGTERM, SIGHUP and SIGABRT are blocked in every
//   thread of the process and taken with sigwait by one signal thread, which
//   calls the handler (CleanUp) or, for SIGINT/SIGTERM once a stop hook is
//   set, the hook. The handler that is installed as well only forwards a
//   signal that reaches a thread which unblocked it to the signal thread
//   (async-signal-safe calls only). So the work a signal starts never waits
//   for a lock that the interrupted code holds.
// - CleanUp in the signal thread does not release what other threads are
//   still using (their sessions, the option object, the message
//   repository): it requests the process-wide interrupt (common/interrupt.h),
//   prints 11159 when allowed, closes the trace, flushes what standard output
//   and error hold when nobody else holds them, and ends with _exit(255).
//   The sessions' connections end with the process.
// - clExit / clEnterTeardown mark the normal end of the process: once the
//   main thread tears the services down, a late signal ends the process with
//   _exit(255) without touching them. The other way round, a clean-up owns
//   the end before it requests the interrupt, so a thread that the interrupt
//   makes fail blocks in clEnterTeardown and the status stays 255.
// - Clean-up never reports failures. Whatever it can release it releases.
// - The control block is process-wide and created on first use. The session
//   table is written by each thread for itself (hsmSetThreadSession) and read
//   by the clean-up in whichever thread it runs.
// - Higher layers plug in through the registration points below; common/
//   knows nothing of server sessions or the platform layer. Registration
//   happens on the main thread during start-up, before any signal can reach
//   a clean-up.
#ifndef KMR_COMMON_CLEANUP_H
#define KMR_COMMON_CLEANUP_H

#include <pthread.h>
#include <signal.h>

// The HSM control block: what the clean-up needs to find and release.
struct HSMGlobalCB {
  static constexpr int kMaxSessions = 64;
  struct SessionSlot {
    pthread_t thread;
    void* session;  // nullptr = free slot
  };
  SessionSlot sessions[kMaxSessions] = {};  // server sessions by thread id
  void* correlationTable = nullptr;
  int startUp = 0;      // 1 while start-up runs and afterwards (see docs)
  int mayPrint = 0;     // clean-up may print message 11159
  int cleanUpDone = 0;
};

// The one control block. may-print is decided here, once: clean-up may print
// when standard error is an open descriptor.
HSMGlobalCB& hsmGlobalCB();

// Release functions of the higher layers. Each must not fail.
using hsmReleaseFn = void (*)(void* object);
// Closes (when signed on), terminates and deletes a server session.
void hsmRegisterSessionReleaser(hsmReleaseFn release);
// Deletes the correlation table.
void hsmRegisterCorrelationReleaser(hsmReleaseFn release);
// The platform layer's process clean-up (remaining sessions, status data).
void hsmRegisterPlatformCleanUp(void (*cleanUp)());

// The calling thread's server session (nullptr clears it). Returns false when
// the table is full.
bool hsmSetThreadSession(void* session);
// The calling thread's server session, nullptr when it has none.
void* hsmGetThreadSession();

// The program path recorded by clSmPreInitialize ("" before).
const char* clProgramPath();
// Records the program path, blocks SIGINT, SIGQUIT, SIGTERM, SIGHUP and
// SIGABRT in the calling thread (threads created later inherit the mask),
// starts the signal thread that hands each of them to `handler`, installs
// the forwarding handler for them and ignores SIGPIPE. A later call only
// replaces the path and the handler.
void clSmPreInitialize(void (*handler)(int), char** argv);

// From now on SIGINT and SIGTERM go to `hook` (in the signal thread) instead
// of the clean-up handler. The hook must not block. nullptr restores the
// clean-up.
using clStopHook = void (*)(int signal);
void clSetStopHook(clStopHook hook);

// While it lives, the calling thread has the signal mask the process started
// with, so that a child it starts (popen, system) can be stopped like any
// program; a signal reaching this thread meanwhile goes on to the signal
// thread. Scope it tightly around the start of the child.
class ChildSignalMask {
 public:
  ChildSignalMask();
  ~ChildSignalMask();
  ChildSignalMask(const ChildSignalMask&) = delete;
  ChildSignalMask& operator=(const ChildSignalMask&) = delete;

 private:
  sigset_t saved_;
};

// The main thread's normal end: from here on a signal ends the process with
// _exit(255) and no longer runs the clean-up. Blocks for good when a
// clean-up is already running (it ends the process). A second call on the
// same thread returns at once.
void clEnterTeardown();
// The one way the process ends outside the signal clean-up: every layer
// that must end the process calls this instead of exit(). By default it is
// clEnterTeardown, then exit(status).
[[noreturn]] void clExit(int status);
// Replaces what clExit does, so that a test can observe a process end deep
// inside a layer. The replacement must not return (it throws, or ends the
// process itself); if it does, clExit falls back to the default. nullptr
// restores the default. Returns the previous replacement (nullptr for the
// default). Set it while no other thread can call clExit.
using clExitFn = void (*)(int status);
clExitFn clSetExitFunction(clExitFn fn);

// Signal handler and clean-up: prints 11159 when start-up runs and printing
// is allowed, releases everything and exits with status 255.
void CleanUp(int signal);
// The clean-up of start-up failures: no message; ends the core services.
void HsmNormalCleanUp();
// 1 once a clean-up has started.
int clCleanUpStarted();

#endif
