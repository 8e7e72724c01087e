// Process clean-up and the signal handlers of start-up.
#include "common/cleanup.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/options.h"
#include "common/trace.h"

namespace {

// A plain int on purpose: it is set before anything is released, and the
// handler may run in any thread, so a second clean-up sees it and leaves.
volatile int g_cleanUpStarted = 0;

hsmReleaseFn g_releaseSession = nullptr;
hsmReleaseFn g_releaseCorrelation = nullptr;
void (*g_platformCleanUp)() = nullptr;
char g_programPath[4096] = "";

HSMGlobalCB::SessionSlot* findSlot(pthread_t self) {
  HSMGlobalCB& cb = hsmGlobalCB();
  for (auto& slot : cb.sessions)
    if (slot.session && pthread_equal(slot.thread, self)) return &slot;
  return nullptr;
}

void ignoreStopSignals() {
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
}

// The steps both clean-ups share up to the end of the message repository.
void releaseServices() {
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
  delete optionsP;
  optionsP = nullptr;
  ignoreStopSignals();
  nlterm();
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
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGABRT}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int clCleanUpStarted() { return g_cleanUpStarted; }

void CleanUp(int) {
  if (g_cleanUpStarted) return;
  g_cleanUpStarted = 1;
  HSMGlobalCB& cb = hsmGlobalCB();
  if (cb.cleanUpDone) return;
  if (cb.startUp == 1 && cb.mayPrint == 1) optMessage(stderr, 11159);
  releaseServices();
  trClose(true);
  cb.cleanUpDone = 1;
  exit(-1);
}

void HsmNormalCleanUp() {
  if (g_cleanUpStarted) return;
  g_cleanUpStarted = 1;
  HSMGlobalCB& cb = hsmGlobalCB();
  if (cb.cleanUpDone) return;
  releaseServices();
  trClose(true);
  dsCoreCleanUp();
  cb.cleanUpDone = 1;
  exit(-1);
}
