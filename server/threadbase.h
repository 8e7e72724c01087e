// cThreadBase: a joinable worker thread that calls ThreadFunc() in a loop
// until its running flag is cleared.
//
// Contract
// - Create() starts the thread through the thread starter given at
//   construction (pthread_create unless a test or the process's thread
//   service supplies another). Returns 0, or the starter's error code with
//   running 0 and finished 1.
// - Stop() clears running, calls WakeForStop() so that a subclass can free
//   its thread from a wait only it knows about, then joins. It may be called
//   any number of times; after the join it only clears running. Call it from
//   another thread than the worker.
// - A subclass whose ThreadFunc uses members of its own must call Stop() in
//   its destructor: by the time the base destructor joins, those members are
//   gone.
// - The flags are atomic: the stopper writes running while the worker reads
//   it without a lock.
// - Cancellation is deferred: the worker can be cancelled only at the
//   cancellation point after each ThreadFunc and inside blocking calls.
#ifndef KMR_SERVER_THREADBASE_H
#define KMR_SERVER_THREADBASE_H

#include <pthread.h>

#include <atomic>
#include <string>

using ThreadStartFn = int (*)(pthread_t* id, const pthread_attr_t* attr, void* (*entry)(void*),
                              void* arg);

// The platform's pthread_create.
int platformThreadStart(pthread_t* id, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg);

class cThreadBase {
 public:
  explicit cThreadBase(ThreadStartFn starter = platformThreadStart);
  virtual ~cThreadBase();
  cThreadBase(const cThreadBase&) = delete;
  cThreadBase& operator=(const cThreadBase&) = delete;

  // Called once on the new thread before the loop; nonzero for success.
  virtual int Initialize() { return 1; }
  // One unit of work; clears running (setRunning(false)) to end the loop.
  virtual void ThreadFunc() = 0;
  // Called once on the thread after the loop has ended (also when the thread
  // is cancelled), when Initialize succeeded. Must not throw.
  virtual void Finalize() {}

  int Create();
  void Stop();

  // The thread entry handed to the starter; `arg` is the cThreadBase.
  // Throws cTextException for a null argument. Returns nullptr after a
  // normal end, (void*)-1 when Initialize failed.
  static void* ThreadEntry(void* arg);

  void SetName(const std::string& name) { m_Name = name; }
  const std::string& GetName() const { return m_Name; }
  bool isRunning() const { return m_Running.load() != 0; }
  bool isCreated() const { return m_Created.load() != 0; }
  bool isFinished() const { return m_Finished.load() != 0; }
  pthread_t getThreadId() const { return m_ThreadId; }

 protected:
  virtual void WakeForStop() {}
  void setRunning(bool running) { m_Running.store(running ? 1 : 0); }

 private:
  std::atomic<int> m_Running{0};
  std::atomic<int> m_Created{0};
  std::atomic<int> m_Finished{0};
  pthread_t m_ThreadId{};
  std::string m_Name = "None";
  ThreadStartFn m_Start;
};

#endif
