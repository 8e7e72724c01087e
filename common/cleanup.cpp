// Process clean-up and the signal handlers of start-up.
#include "common/cleanup.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/interrupt.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/trace.h"

namespace {

// Set before anything is released; a second clean-up sees it and leaves.
std::atomic<int> g_cleanUpStarted{0};
// Held by whoever ends the process: the main thread's normal end or a
// clean-up. Never released, never destroyed (a plain pthread mutex).
pthread_mutex_t g_teardown = PTHREAD_MUTEX_INITIALIZER;
// A test's replacement of the end of the process (clSetExitFunction).
std::atomic<clExitFn> g_exitFn{nullptr};

hsmReleaseFn g_releaseSession = nullptr;
hsmReleaseFn g_releaseCorrelation = nullptr;
void (*g_platformCleanUp)() = nullptr;
char g_programPath[4096] = "";

std::atomic<void (*)(int)> g_signalHandler{nullptr};
std::atomic<clStopHook> g_stopHook{nullptr};
std::atomic<bool> g_signalThreadRunning{false};
pthread_t g_signalThread;
sigset_t g_originalMask;  // all zero (nothing blocked) until start-up records it
constexpr size_t kSignalThreadStack = 256 * 1024;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGABRT}) sigaddset(&set, sig);
  return set;
}

// Runs only where a thread has one of the signals unblocked (a child's set-up,
// abort() in this process). Async-signal-safe calls only: the signal goes on
// to the signal thread; an abort() of our own, which would kill the process
// once this returns, and a signal without a signal thread end it at once.
void forwardSignal(int sig, siginfo_t* info, void*) {
  const bool ownAbort = sig == SIGABRT && info && info->si_pid == getpid();
  if (g_signalThreadRunning.load() && !ownAbort) {
    pthread_kill(g_signalThread, sig);
    return;
  }
  _exit(255);
}

void* signalThreadMain(void*) {
  const sigset_t set = stopSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    clStopHook hook = g_stopHook.load();
    if ((sig == SIGINT || sig == SIGTERM) && hook) {
      hook(sig);
      continue;
    }
    if (void (*handler)(int) = g_signalHandler.load()) handler(sig);
  }
  return nullptr;
}

bool startSignalThread() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kSignalThreadStack);
  int rc = pthread_create(&g_signalThread, &attr, signalThreadMain, nullptr);
  pthread_attr_destroy(&attr);
  if (rc == 0) g_signalThreadRunning.store(true);
  return rc == 0;
}

HSMGlobalCB::SessionSlot* findSlot(pthread_t self) {
  HSMGlobalCB& cb = hsmGlobalCB();
  for (auto& slot : cb.sessions)
    if (slot.session && pthread_equal(slot.thread, self)) return &slot;
  return nullptr;
}

// The calling thread's own session and what hangs on it. The signal thread
// has none, so a signal's clean-up never touches another thread's session.
void releaseCallersSession() {
  HSMGlobalCB& cb = hsmGlobalCB();
  if (HSMGlobalCB::SessionSlot* slot = findSlot(pthread_self())) {
    void* session = slot->session;
    slot->session = nullptr;
    if (g_releaseSession) g_releaseSession(session);
    if (g_platformCleanUp) g_platformCleanUp();
    if (cb.correlationTable) {
      void* table = cb.correlationTable;
      cb.correlationTable = nullptr;
      if (g_releaseCorrelation) g_releaseCorrelation(table);
    }
  }
}

// What a stream holds goes out unless another thread holds the stream (it
// may be blocked writing to a full pipe); then it is left.
// The last guard of "a signal ends the process": should the clean-up itself
// be held up (a stream or the trace blocked by another thread), the process
// ends all the same a moment later.
constexpr unsigned kCleanUpLimitSeconds = 3;
void startCleanUpWatchdog() {
  pthread_t t;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&t, &attr, [](void*) -> void* {
        sleep(kCleanUpLimitSeconds);
        _exit(255);
      }, nullptr) != 0)
    alarm(kCleanUpLimitSeconds);  // SIGALRM's default action ends the process
  pthread_attr_destroy(&attr);
}

void flushIfFree(FILE* stream) {
  if (ftrylockfile(stream) != 0) return;
  fflush_unlocked(stream);
  funlockfile(stream);
}

}  // namespace

HSMGlobalCB& hsmGlobalCB() {
  static HSMGlobalCB* cb = [] {
    static HSMGlobalCB block;
    block.mayPrint = fcntl(STDERR_FILENO, F_GETFD) != -1 ? 1 : 0;
    return &block;
  }();
  return *cb;
}

void hsmRegisterSessionReleaser(hsmReleaseFn release) { g_releaseSession = release; }
void hsmRegisterCorrelationReleaser(hsmReleaseFn release) { g_releaseCorrelation = release; }
void hsmRegisterPlatformCleanUp(void (*cleanUp)()) { g_platformCleanUp = cleanUp; }

bool hsmSetThreadSession(void* session) {
  const pthread_t self = pthread_self();
  if (HSMGlobalCB::SessionSlot* slot = findSlot(self)) {
    slot->session = session;
    return true;
  }
  if (!session) return true;
  for (auto& slot : hsmGlobalCB().sessions)
    if (!slot.session) {
      slot.thread = self;
      slot.session = session;
      return true;
    }
  return false;
}

void* hsmGetThreadSession() {
  HSMGlobalCB::SessionSlot* slot = findSlot(pthread_self());
  return slot ? slot->session : nullptr;
}

const char* clProgramPath() { return g_programPath; }

void clSmPreInitialize(void (*handler)(int), char** argv) {
  if (argv && argv[0]) snprintf(g_programPath, sizeof g_programPath, "%s", argv[0]);
  g_signalHandler.store(handler);
  signal(SIGPIPE, SIG_IGN);
  static bool installed = false;
  if (installed) return;
  installed = true;
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, &g_originalMask);
  if (!startSignalThread()) pthread_sigmask(SIG_SETMASK, &g_originalMask, nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = forwardSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO;
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGABRT}) sigaction(sig, &sa, nullptr);
}

void clSetStopHook(clStopHook hook) { g_stopHook.store(hook); }

ChildSignalMask::ChildSignalMask() { pthread_sigmask(SIG_SETMASK, &g_originalMask, &saved_); }
ChildSignalMask::~ChildSignalMask() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

int clCleanUpStarted() { return g_cleanUpStarted.load(); }

void clEnterTeardown() {
  // The mutex is not recursive; a thread that holds it already owns the end.
  thread_local bool t_tearingDown = false;
  if (t_tearingDown) return;
  pthread_mutex_lock(&g_teardown);
  t_tearingDown = true;
}

clExitFn clSetExitFunction(clExitFn fn) { return g_exitFn.exchange(fn); }

void clExit(int status) {
  if (clExitFn replacement = g_exitFn.load()) replacement(status);
  clEnterTeardown();
  exit(status);
}

void CleanUp(int) {
  if (g_cleanUpStarted.exchange(1)) return;
  HSMGlobalCB& cb = hsmGlobalCB();
  if (cb.cleanUpDone) return;
  // The main thread is already taking the services down: touch nothing.
  // Otherwise the end of the process is ours before the run is woken: a run
  // that fails because of the interrupt then blocks in its teardown instead
  // of ending the process with its own status.
  if (pthread_mutex_trylock(&g_teardown) != 0) _exit(255);
  clRequestInterrupt();
  startCleanUpWatchdog();
  if (cb.startUp == 1 && cb.mayPrint == 1) optMessage(stderr, kMsg11159);
  releaseCallersSession();
  trClose(true);
  flushIfFree(stdout);
  flushIfFree(stderr);
  cb.cleanUpDone = 1;
  _exit(255);
}

void HsmNormalCleanUp() {
  if (g_cleanUpStarted.exchange(1)) return;
  HSMGlobalCB& cb = hsmGlobalCB();
  if (cb.cleanUpDone) return;
  clEnterTeardown();
  releaseCallersSession();
  delete optionsP;
  optionsP = nullptr;
  nlterm();
  trClose(true);
  dsCoreCleanUp();
  cb.cleanUpDone = 1;
  clExit(-1);
}
