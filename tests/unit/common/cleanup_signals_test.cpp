// Process clean-up: signal handlers, release of the caller's server session,
// the single clean-up and status 255. Each case runs in a child process.
#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <vector>

#include "common/cleanup.h"
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

bool handlerInstalled(int sig) {
  struct sigaction sa;
  sigaction(sig, nullptr, &sa);
  // The C library may add a flag of its own; none of these may be set.
  const int asked = SA_SIGINFO | SA_RESTART | SA_NODEFER | SA_RESETHAND | SA_ONSTACK;
  return sa.sa_handler == CleanUp && (sa.sa_flags & asked) == 0;
}

}  // namespace

TEST(ProcessCleanUp, HandlersInstalledAndPipeIgnored) {
  ChildResult r = runChild([] {
    prepare(false);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGABRT})
      if (!handlerInstalled(sig)) _exit(10 + sig);
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    if (sa.sa_handler != SIG_IGN) _exit(9);
    if (std::string(clProgramPath()) != "/usr/bin/kmrmigundelete") _exit(8);
    _exit(0);
  });
  EXPECT_EQ(r.status, 0);
}

TEST(ProcessCleanUp, SignalDuringStartUpReleasesSessionAndEndsWith255) {
  ChildResult r = runChild([] {
    prepare(true);
    hsmGlobalCB().startUp = 1;
    raise(SIGHUP);
    _exit(3);  // not reached when the clean-up ends the process
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.messages,
            (std::vector<int>{11159, kSessionReleased, kPlatformCleaned, kCorrelationReleased}));
}

TEST(ProcessCleanUp, SecondSignalDuringCleanUpHasNoEffect) {
  ChildResult r = runChild([] {
    prepare(true);
    hsmGlobalCB().startUp = 1;
    g_signalInsideRelease = true;
    raise(SIGTERM);
    _exit(3);
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.messages,
            (std::vector<int>{11159, kSessionReleased, kPlatformCleaned, kCorrelationReleased}));
}

TEST(ProcessCleanUp, SessionOfAnotherThreadIsNotTheCallersToRelease) {
  ChildResult r = runChild([] {
    prepare(false);
    hsmGlobalCB().startUp = 0;  // no announcement outside start-up
    pthread_t t;
    pthread_create(
        &t, nullptr, [](void*) -> void* {
          hsmSetThreadSession(&g_session);
          return hsmGetThreadSession();
        },
        nullptr);
    void* seen = nullptr;
    pthread_join(t, &seen);
    if (seen != &g_session || hsmGetThreadSession() != nullptr) _exit(4);
    raise(SIGQUIT);
    _exit(3);
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.messages.empty());
}

TEST(ProcessCleanUp, NormalCleanUpIsSilentAndRunsOnce) {
  ChildResult r = runChild([] {
    prepare(true);
    hsmGlobalCB().startUp = 1;
    HsmNormalCleanUp();
    _exit(3);
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.messages, (std::vector<int>{kSessionReleased, kPlatformCleaned, kCorrelationReleased}));

  ChildResult again = runChild([] {
    prepare(true);
    g_signalInsideRelease = true;  // the signal's CleanUp must see the started flag
    HsmNormalCleanUp();
    _exit(3);
  });
  EXPECT_EQ(again.status, 255);
  EXPECT_EQ(again.messages,
            (std::vector<int>{kSessionReleased, kPlatformCleaned, kCorrelationReleased}));
}

TEST(ProcessCleanUp, ThreadSessionTableIsPerThread) {
  int a = 0;
  ASSERT_TRUE(hsmSetThreadSession(&a));
  EXPECT_EQ(hsmGetThreadSession(), &a);
  ASSERT_TRUE(hsmSetThreadSession(nullptr));
  EXPECT_EQ(hsmGetThreadSession(), nullptr);
  EXPECT_EQ(clCleanUpStarted(), 0);
}
