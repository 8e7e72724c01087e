// Process clean-up: the signal handlers installed at start-up and the two
// clean-up paths that release the client services and end the process with
// status 255.
//
// Contract
// - CleanUp and HsmNormalCleanUp never return, except when a clean-up has
//   already started or is done; then they return at once. The started flag
//   is set before anything is released, so a second signal arriving during
//   clean-up (in any thread) has no effect.
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
// Records the program path, installs `handler` (empty mask, no flags) for
// SIGINT, SIGQUIT, SIGTERM, SIGHUP and SIGABRT, and ignores SIGPIPE.
void clSmPreInitialize(void (*handler)(int), char** argv);

// Signal handler and clean-up: prints 11159 when start-up runs and printing
// is allowed, releases everything and exits with status 255.
void CleanUp(int signal);
// The clean-up of start-up failures: no message; ends the core services.
void HsmNormalCleanUp();
// 1 once a clean-up has started.
int clCleanUpStarted();

#endif
