// Process clean-up: signal handlers, release of the caller's server session,
// the single clean-up and status 255. Each case runs in a child process.
#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/cleanup.h"
#include "common/interrupt.h"
#include "common/options.h"
#include "tests/unit/common/options_test_support.h"

namespace {

using opttest::ChildResult;
using opttest::runChild;

// Markers the release functions write into the child's message pipe.
constexpr int kSessionReleased = 7001;
constexpr int kPlatformCleaned = 7002;
constexpr int kCorrelationReleased = 7003;

void mark(int n) { [[maybe_unused]] ssize_t w = write(opttest::childPipe(), &n, sizeof n); }

int g_session = 0;
int g_table = 0;
bool g_signalInsideRelease = false;

void releaseSession(void* s) {
  if (g_signalInsideRelease) raise(SIGINT);
  mark(s == &g_session ? kSessionReleased : -1);
}
void platformCleanUp() { mark(kPlatformCleaned); }
void releaseTable(void* t) { mark(t == &g_table ? kCorrelationReleased : -1); }

void prepare(bool withSession) {
  hsmRegisterSessionReleaser(releaseSession);
  hsmRegisterPlatformCleanUp(platformCleanUp);
  hsmRegisterCorrelationReleaser(releaseTable);
  char arg0[] = "/usr/bin/kmrmigundelete";
  char* argv[] = {arg0, nullptr};
  clSmPreInitialize(CleanUp, argv);
  optionsP = new clientOptions();
  hsmGlobalCB().correlationTable = &g_table;
  if (withSession) hsmSetThreadSession(&g_session);
}

// A signal as another process sends it: to the process, not to a thread.
void sendToSelf(int sig) {
  kill(getpid(), sig);
  for (;;) pause();  // the signal thread ends the process
}

bool blockedHere(int sig) {
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, sig) == 1;
}

}  // namespace

// A child started by the command must stop on a signal like any program: it
// is started under the mask the process had before start-up blocked them.
TEST(ProcessCleanUp, StopSignalsAreBlockedEverywhereButInChildrenAndPipeIgnored) {
  ChildResult r = runChild([] {
    prepare(false);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGABRT})
      if (!blockedHere(sig)) _exit(10 + sig);
    // A thread made later inherits the blocked set.
    pthread_t t;
    pthread_create(&t, nullptr, [](void*) -> void* {
          return reinterpret_cast<void*>(static_cast<intptr_t>(blockedHere(SIGHUP)));
        }, nullptr);
    void* inherited = nullptr;
    pthread_join(t, &inherited);
    if (inherited != reinterpret_cast<void*>(1)) _exit(7);
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    if (sa.sa_handler != SIG_IGN) _exit(9);
    if (std::string(clProgramPath()) != "/usr/bin/kmrmigundelete") _exit(8);
    ChildSignalMask mask;
    if (blockedHere(SIGHUP)) _exit(4);
    // A hang-up while the mask is open still ends the process through the
    // signal thread, not through this one.
    sendToSelf(SIGHUP);
  });
  EXPECT_EQ(r.status, 255);
}

// The clean-up runs in the signal thread, which owns no server session: the
// session of the interrupted thread is left to end with the process instead
// of being closed under its feet. A second signal during the clean-up has
// no effect.
TEST(ProcessCleanUp, SignalDuringStartUpAnnouncesOnceAndEndsWith255) {
  for (const std::vector<int>& signals : std::vector<std::vector<int>>{
           {SIGINT}, {SIGQUIT}, {SIGTERM}, {SIGHUP}, {SIGABRT}, {SIGTERM, SIGHUP}}) {
    ChildResult r = runChild([&] {
      prepare(true);
      hsmGlobalCB().startUp = 1;
      for (size_t i = 0; i + 1 < signals.size(); ++i) kill(getpid(), signals[i]);
      sendToSelf(signals.back());
    });
    EXPECT_EQ(r.status, 255) << signals.back();
    EXPECT_EQ(r.messages, (std::vector<int>{11159})) << signals.back();
  }
}

// The fault this guards against: the clean-up waited for a lock that the
// interrupted thread held (the connection's, taken by the session release).
// Here the main thread holds that lock and standard output for good; the
// alarm turns a hang into a wrong status.
TEST(ProcessCleanUp, SignalEndsTheProcessWhileTheMainThreadHoldsItsLocks) {
  ChildResult r = runChild([] {
    static pthread_mutex_t connection = PTHREAD_MUTEX_INITIALIZER;
    prepare(true);
    hsmRegisterSessionReleaser([](void*) { pthread_mutex_lock(&connection); });
    hsmGlobalCB().startUp = 0;
    pthread_mutex_lock(&connection);
    flockfile(stdout);
    alarm(20);
    sendToSelf(SIGHUP);
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.messages.empty());
}

// The fault this guards against: the clean-up woke the run (the interrupt)
// before it owned the end of the process, so a run that failed because of
// the interrupt could end the process first with its own status (1 after
// message 2091). Here the run starts its end the moment it sees the
// interrupt, and ends at once should it get past the teardown.
TEST(ProcessCleanUp, ARunEndingOnTheCleanUpsInterruptStillEndsWith255) {
  for (int run = 0; run < 50; ++run) {
    ChildResult r = runChild([] {
      prepare(false);
      alarm(20);
      kill(getpid(), SIGQUIT);
      while (!clInterruptRequested()) {
      }
      clEnterTeardown();
      _exit(1);
    });
    ASSERT_EQ(r.status, 255) << "run " << run;
  }
}

TEST(ProcessCleanUp, AbortInsideTheProcessEndsWith255) {
  ChildResult r = runChild([] {
    prepare(false);
    abort();
  });
  EXPECT_EQ(r.status, 255);
}

// Silent, releases everything once; a signal raised inside a release finds
// the clean-up started and changes nothing.
TEST(ProcessCleanUp, NormalCleanUpIsSilentAndRunsOnce) {
  for (bool signalInsideRelease : {false, true}) {
    ChildResult r = runChild([&] {
      prepare(true);
      hsmGlobalCB().startUp = 1;
      g_signalInsideRelease = signalInsideRelease;
      HsmNormalCleanUp();
      _exit(3);
    });
    EXPECT_EQ(r.status, 255) << signalInsideRelease;
    EXPECT_EQ(r.messages, (std::vector<int>{kSessionReleased, kPlatformCleaned, kCorrelationReleased}))
        << signalInsideRelease;
  }
}
