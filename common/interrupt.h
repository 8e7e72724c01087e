// Interruptible waits: one process-wide request that ends every wait for a
// peer (the storage server) promptly, and the notice that tells the user a
// long wait goes on.
//
// Contract
// - clRequestInterrupt may be called from any thread and from a signal
//   handler: it only stores an atomic flag and writes to an eventfd. It
//   cannot be undone; it is made when the process is about to end (a stop
//   of the run, a clean-up).
// - clPollInterruptible waits for `events` on `fd` for at most `timeoutMs`
//   (-1: no limit). Before an interrupt it also wakes on the interrupt;
//   from the interrupt on, a wait lasts at most kInterruptGraceMs more, so a
//   healthy peer still finishes a short exchange (the last commit of a
//   stopped run) while a silent one holds nobody. Results: > 0 ready (the
//   fd's revents in *revents when not null), 0 timed out, kWaitInterrupted,
//   -1 with errno set. EINTR is retried inside.
// - While a wait with a `what` text lasts, message 1812 (what, seconds so
//   far) goes to standard error every kWaitNoticeSeconds.
// - clSleepInterruptible sleeps `ms` milliseconds; false when interrupted
//   (at once when the interrupt was already requested).
// - Thread-safe; nothing is allocated; nothing throws.
#ifndef KMR_COMMON_INTERRUPT_H
#define KMR_COMMON_INTERRUPT_H

#include <chrono>

constexpr int kWaitInterrupted = -2;
constexpr int kInterruptGraceMs = 500;
constexpr int kWaitNoticeSeconds = 30;

void clRequestInterrupt();
bool clInterruptRequested();
int clPollInterruptible(int fd, short events, int timeoutMs, short* revents,
                        const char* what = nullptr);
bool clSleepInterruptible(int ms);

// Message 1812 for a wait made of several steps (re-open attempts, sleeps):
// due() prints the message when it is time. The first notice comes at once
// when `atOnce`, else after kWaitNoticeSeconds.
class WaitNotice {
 public:
  WaitNotice(const char* what, bool atOnce);
  void due();

 private:
  const char* what_;
  std::chrono::steady_clock::time_point start_, next_;
};

#endif
