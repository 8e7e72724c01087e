// Work on a stream of jobs with K threads, and hand each job back on the
// owner's thread in the order it came.
//
// A run decides and recreates its objects on K workers, but what users and
// the server see (messages, counts, updates and their batches) must stay in
// the server's order. The owner submits jobs in that order; a worker runs
// `work` on each; the owner runs `report` on each, strictly in submission
// order, while the next jobs are still being worked on.
//
// Contract
// - One owner thread calls submit() and drain() and is the only thread
//   that runs `report`. `work` runs on a worker thread, never at the same
//   time as `report` of the same job; it gets the index of its worker
//   (0..K-1), stable for the worker's life, for per-worker state.
// - Jobs submitted with the same key go to the same worker, in submission
//   order: two of them are never worked on at once.
// - At most `window` jobs are in flight (worked on, waiting for a worker or
//   waiting for their report); submit() reports what is finished and, when
//   the window is full, waits for and reports the oldest jobs until it is
//   half full. Memory therefore stays bounded whatever the number of jobs.
// - With K = 1 no thread is started: submit() runs `work` and then `report`
//   on the owner's thread before it returns, exactly as a plain loop would.
// - A worker whose queue ran empty sleeps until a few jobs wait for it (or
//   the owner is about to wait for a job): one wake-up serves several jobs.
// - drain() returns once every submitted job has been reported. The
//   destructor drains, then ends and joins the workers.
#ifndef KMR_RECONCILE_ORDEREDWORKERS_H
#define KMR_RECONCILE_ORDEREDWORKERS_H

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

template <typename Job>
class OrderedWorkers {
 public:
  using Work = std::function<void(Job&, unsigned worker)>;
  using Report = std::function<void(Job&)>;

  OrderedWorkers(unsigned workers, size_t window, Work work, Report report)
      : m_workers(workers == 0 ? 1 : workers),
        m_window(window < m_workers ? m_workers : window),
        m_work(std::move(work)),
        m_report(std::move(report)),
        m_wakeBatch(std::max<size_t>(1, m_window / m_workers / 2)),
        m_queues(m_workers),
        m_sleeping(m_workers, false),
        m_wake(new std::condition_variable[m_workers]) {
    if (m_workers == 1) return;
    for (unsigned i = 0; i < m_workers; ++i) m_threads.emplace_back([this, i] { workerLoop(i); });
  }
  ~OrderedWorkers() {
    drain();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_ending = true;
    }
    for (unsigned i = 0; i < m_workers; ++i) m_wake[i].notify_one();
    for (std::thread& t : m_threads) t.join();
  }
  OrderedWorkers(const OrderedWorkers&) = delete;
  OrderedWorkers& operator=(const OrderedWorkers&) = delete;

  unsigned workers() const { return m_workers; }

  void submit(std::unique_ptr<Job> job, size_t key) {
    if (m_workers == 1) {
      m_work(*job, 0);
      m_report(*job);
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    // A full window is emptied to its half: the run then waits once for
    // many jobs instead of once for every job.
    if (m_inFlight.size() >= m_window)
      while (m_inFlight.size() > m_window / 2) reportOldest(lock, true);
    m_inFlight.push_back(Slot{std::move(job), false});
    const unsigned worker = static_cast<unsigned>(key % m_workers);
    m_queues[worker].push_back(&m_inFlight.back());
    if (m_queues[worker].size() >= m_wakeBatch) wake(worker);
    while (!m_inFlight.empty() && m_inFlight.front().done) reportOldest(lock, false);
  }

  void drain() {
    if (m_workers == 1) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_inFlight.empty()) reportOldest(lock, true);
  }

 private:
  struct Slot {
    std::unique_ptr<Job> job;
    bool done;
  };

  // With the lock held: waits (when `wait`) until the oldest job is done,
  // then reports it with the lock released.
  void reportOldest(std::unique_lock<std::mutex>& lock, bool wait) {
    if (wait && !m_inFlight.front().done) {
      // The oldest job may wait in the queue of a sleeping worker.
      for (unsigned i = 0; i < m_workers; ++i)
        if (!m_queues[i].empty()) wake(i);
      m_oldestDone.wait(lock, [this] { return m_inFlight.front().done; });
    }
    std::unique_ptr<Job> job = std::move(m_inFlight.front().job);
    m_inFlight.pop_front();
    lock.unlock();
    m_report(*job);
    job.reset();
    lock.lock();
  }

  // With the lock held: a sleeping worker with jobs gets up.
  void wake(unsigned worker) {
    if (!m_sleeping[worker]) return;
    m_sleeping[worker] = false;
    m_wake[worker].notify_one();
  }

  void workerLoop(unsigned worker) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      if (m_queues[worker].empty() && !m_ending) {
        m_sleeping[worker] = true;
        m_wake[worker].wait(lock, [&] { return m_ending || !m_sleeping[worker]; });
      }
      if (m_queues[worker].empty()) return;
      // A deque keeps references to its elements while others are added or
      // the oldest is removed, and this slot is not removed before it is done.
      Slot* slot = m_queues[worker].front();
      m_queues[worker].pop_front();
      lock.unlock();
      m_work(*slot->job, worker);
      lock.lock();
      slot->done = true;
      if (slot == &m_inFlight.front()) m_oldestDone.notify_one();
    }
  }

  const unsigned m_workers;
  const size_t m_window;
  Work m_work;
  Report m_report;
  const size_t m_wakeBatch;  // queued jobs that get a sleeping worker up
  std::mutex m_mutex;
  std::deque<Slot> m_inFlight;               // submission order; guarded by m_mutex
  std::vector<std::deque<Slot*>> m_queues;   // per worker, not yet taken; guarded by m_mutex
  std::vector<bool> m_sleeping;              // per worker, waits for wake(); guarded by m_mutex
  std::unique_ptr<std::condition_variable[]> m_wake;  // per worker: its queue got a job or the end came
  std::condition_variable m_oldestDone;
  bool m_ending = false;
  std::vector<std::thread> m_threads;
};

#endif
