#include "common/interrupt.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "common/messages.h"
#include "common/msgnum.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_interrupted{false};

// Made before main and never closed: a signal handler or the clean-up may
// write to it at any moment, also while static objects are being destroyed.
const int g_interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
int interruptFd() { return g_interruptFd; }

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The part of a wait after the interrupt: the fd alone, for the grace at most.
int pollAfterInterrupt(int fd, short events, int timeoutMs, short* revents) {
  const int limit = timeoutMs < 0 ? kInterruptGraceMs : std::min(timeoutMs, kInterruptGraceMs);
  const Clock::time_point start = Clock::now();
  pollfd p{fd, events, 0};
  int ready;
  // A signal must not restart the grace: under a stream of signals (SIGCONT
  // from a job-control shell, say) the wait would never end.
  do ready = poll(&p, 1, static_cast<int>(std::max(0LL, limit - msSince(start))));
  while (ready < 0 && errno == EINTR);
  if (ready > 0 && revents) *revents = p.revents;
  if (ready == 0) return timeoutMs >= 0 && timeoutMs <= kInterruptGraceMs ? 0 : kWaitInterrupted;
  return ready;
}

}  // namespace

void clRequestInterrupt() {
  g_interrupted.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(interruptFd(), &one, sizeof one);
}

bool clInterruptRequested() { return g_interrupted.load(); }

int clPollInterruptible(int fd, short events, int timeoutMs, short* revents, const char* what) {
  const Clock::time_point start = Clock::now();
  const long long noticeMs = kWaitNoticeSeconds * 1000LL;
  long long nextNotice = noticeMs;
  for (;;) {
    if (clInterruptRequested()) {
      long long left = timeoutMs < 0 ? -1 : std::max(0LL, timeoutMs - msSince(start));
      return pollAfterInterrupt(fd, events, static_cast<int>(left), revents);
    }
    const long long waited = msSince(start);
    long long slice = what ? std::max(0LL, nextNotice - waited) : -1;
    if (timeoutMs >= 0) {
      long long left = timeoutMs - waited;
      if (left <= 0) return 0;
      slice = slice < 0 ? left : std::min(slice, left);
    }
    pollfd p[2] = {{fd, events, 0}, {interruptFd(), POLLIN, 0}};
    int ready = poll(p, 2, static_cast<int>(std::max(-1LL, slice)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (p[0].revents) {
      if (revents) *revents = p[0].revents;
      return 1;
    }
    if (ready == 0 && what && msSince(start) >= nextNotice) {
      nlfprintf(stderr, kMsg1812, what, static_cast<unsigned long>(msSince(start) / 1000));
      nextNotice += noticeMs;
    }
  }
}

bool clSleepInterruptible(int ms) {
  if (clInterruptRequested()) return false;
  pollfd p{interruptFd(), POLLIN, 0};
  const Clock::time_point start = Clock::now();
  for (;;) {
    long long left = ms - msSince(start);
    if (left <= 0) return !clInterruptRequested();
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready > 0 || clInterruptRequested()) return false;
  }
}

WaitNotice::WaitNotice(const char* what, bool atOnce)
    : what_(what),
      start_(Clock::now()),
      next_(atOnce ? start_ : start_ + std::chrono::seconds(kWaitNoticeSeconds)) {}

void WaitNotice::due() {
  const Clock::time_point now = Clock::now();
  if (now < next_) return;
  nlfprintf(stderr, kMsg1812, what_,
            static_cast<unsigned long>(
                std::chrono::duration_cast<std::chrono::seconds>(now - start_).count()));
  next_ = now + std::chrono::seconds(kWaitNoticeSeconds);
}
