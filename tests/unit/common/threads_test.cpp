#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

#include "common/threads.h"
#include "common/trace.h"

class ThreadServices : public ::testing::Test {
 protected:
  void SetUp() override { psSetThreadMode(1); }
  void TearDown() override { psSetThreadMode(0); }
};

TEST_F(ThreadServices, SecondLockBySameThreadReportsDeadlockUnlessSingleThreaded) {
  psMutex_t m;
  ASSERT_EQ(psMutexInit(&m), 0);
  ASSERT_EQ(psMutexLock(&m), 0);
  EXPECT_EQ(psMutexLock(&m), 936);
  int other = -1;
  std::thread([&] { other = psMutexTryLock(&m); }).join();
  EXPECT_EQ(other, EBUSY);
  EXPECT_EQ(psMutexUnlock(&m), 0);
  std::thread([&] { other = psMutexTryLock(&m); if (!other) psMutexUnlock(&m); }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(psMutexDestroy(&m), 0);

  // Single-threaded, nothing is locked at all.
  psSetThreadMode(0);
  ASSERT_EQ(psMutexInit(&m), 0);
  EXPECT_EQ(psMutexLock(&m), 0);
  EXPECT_EQ(psMutexLock(&m), 0);
  EXPECT_EQ(psMutexUnlock(&m), 0);
  psSetThreadMode(1);
  EXPECT_EQ(psMutexLock(&m), 0) << "nothing was really locked while single-threaded";
  EXPECT_EQ(psMutexUnlock(&m), 0);
  psMutexDestroy(&m);
  EXPECT_TRUE(psThreadEqual(psMainThread(), psThreadSelf()));
}

TEST_F(ThreadServices, NestableMutexUnlocksAtTheLastReleaseOfItsOwnerOnly) {
  pkMutex* m = pkCreateMutex();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(pkAcquireMutexNested(m), 0);
  ASSERT_EQ(pkAcquireMutexNested(m), 0);
  EXPECT_TRUE(pkDoIhaveMutex(m));

  int released = -1, tried = -1;
  bool ownsThere = true;
  std::thread([&] {
    released = pkReleaseMutexNested(m);
    tried = psMutexTryLock(&m->mutex);
    ownsThere = pkDoIhaveMutex(m);
  }).join();
  EXPECT_EQ(released, EPERM);
  EXPECT_EQ(tried, EBUSY);
  EXPECT_FALSE(ownsThere);
  EXPECT_TRUE(pkDoIhaveMutex(m)) << "a foreign release changed the owner";

  ASSERT_EQ(pkReleaseMutexNested(m), 0);
  std::thread([&] { tried = psMutexTryLock(&m->mutex); }).join();
  EXPECT_EQ(tried, EBUSY) << "unlocked after the first of two releases";
  ASSERT_EQ(pkReleaseMutexNested(m), 0);
  EXPECT_FALSE(pkDoIhaveMutex(m));
  std::thread([&] {
    tried = pkAcquireMutex(m);
    if (!tried) pkReleaseMutex(m);
  }).join();
  EXPECT_EQ(tried, 0);
  EXPECT_EQ(pkReleaseMutexNested(m), EPERM);
  pkDestroyMutex(m);
}

namespace {
struct Seen {
  std::promise<void> done;
  int detach = -1;
  size_t stack = 0;
};
void* observe(void* arg) {
  auto* seen = static_cast<Seen*>(arg);
  pthread_attr_t attr;
  pthread_getattr_np(pthread_self(), &attr);
  pthread_attr_getdetachstate(&attr, &seen->detach);
  pthread_attr_getstacksize(&attr, &seen->stack);
  pthread_attr_destroy(&attr);
  seen->done.set_value();
  return nullptr;
}
}  // namespace

TEST_F(ThreadServices, ThreadsStartDetachedWithTheRequestedStack) {
  Seen seen;
  psThread_t id{};
  psThreadDesc desc;
  desc.threadId = &id;
  desc.start = observe;
  desc.argument = &seen;
  desc.stackSize = 1024 * 1024;
  ASSERT_EQ(psThreadCreate(&desc), 0);
  seen.done.get_future().wait();
  EXPECT_EQ(seen.detach, PTHREAD_CREATE_DETACHED);
  EXPECT_GE(seen.stack, 1024u * 1024u);
  EXPECT_LT(seen.stack, 2u * 1024u * 1024u);

  Seen joinable;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  desc.attributes = &attr;
  desc.argument = &joinable;
  ASSERT_EQ(psThreadCreate(&desc), 0);
  EXPECT_EQ(pthread_join(id, nullptr), 0) << "given attributes must be used as they are";
  EXPECT_EQ(joinable.detach, PTHREAD_CREATE_JOINABLE);
  pthread_attr_destroy(&attr);

  desc.attributes = nullptr;
  desc.stackSize = 1;  // below the platform minimum
  EXPECT_EQ(psThreadCreate(&desc), EINVAL);
}
