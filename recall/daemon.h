// RecallDaemon: watches every managed file system of the node for accesses
// to stubs and answers each access once the file's data is back.
//
// One thread (the caller of run) reads the kernel's events and hands them to
// a few workers. Events of one file that arrive while a worker handles it
// join that work and get its answer: concurrent readers of a stub wait for
// one recall. A worker decides by the file's HSM state: a stub is recalled;
// a premigrated file is let through, and made resident on its first write;
// a resident file is let through and excused from further events (an ignore
// mark), so everyday I/O costs at most one event per file. Because the
// kernel keeps such marks across writes, a change of a file's attributes
// (a migration writes "VOQObj" before it punches the data out) drops the
// mark again. That report is read some time after the change, so a program
// that punches a file out in place first asks through the file system's
// recall gate (hsmfs/recallgate.h) that the daemon read its pending reports
// and drop the file's marks, and no mark is set on a file while its
// stub-making lock is held.
//
// Contract
// - open, rescan and run are called on one thread (the main thread); the
//   workers are the daemon's own. The managed file system table and the HSM
//   layer must be set up before open.
// - A file system that gives no pre-content events (tmpfs) is reported
//   once by name (message 9851) and left alone; the others are served.
// - Each watched file system gets a gate, the socket
//   <mount>/.Tarnveld/.kmrrecalld.sock (mode 0600, root's peers only, a
//   stale one replaced); a question is answered once the pending attribute
//   reports are read, the sent file's marks dropped and the work on the
//   accesses reported of it before the question done (docs/protocol.md,
//   "The recall gate"). A gate that cannot be
//   opened is reported (message 9860); the file system is served anyway.
// - Every permission event is answered exactly once: allow, or EIO/ENOSPC
//   with a numbered message in the error log. Never by letting a stub's
//   holes through.
#ifndef KMR_RECALL_DAEMON_H
#define KMR_RECALL_DAEMON_H

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "recall/recall.h"

class RecallDaemon {
 public:
  using SourceFactory = std::function<std::unique_ptr<RecallSource>()>;
  RecallDaemon(SourceFactory makeSource, unsigned workers);
  ~RecallDaemon();
  RecallDaemon(const RecallDaemon&) = delete;
  RecallDaemon& operator=(const RecallDaemon&) = delete;

  // Creates the kernel groups and starts the workers: 0 or an errno value
  // (message 9857 names it).
  int open();
  // Watches each managed file system not yet watched (reading the table
  // anew) and forgets the ones gone. Returns the number watched.
  size_t rescan();
  // Serves events until SIGTERM or SIGINT arrives on `signalFd` (a signalfd
  // for SIGTERM, SIGINT and SIGHUP); SIGHUP and every `rescanSeconds`
  // rescan. Returns 0.
  int run(int signalFd, int rescanSeconds);

 private:
  struct Event {
    int fd = -1;
    bool permission = false;
    bool write = false;
    pid_t pid = 0;
  };
  struct Job {
    std::string fsName;
    std::vector<Event> events;  // the first one's descriptor is worked on
  };
  struct Watched {
    std::string fsName;
    dev_t dev = 0;
    int gateDir = -1;  // ".Tarnveld" (O_PATH), while the gate is open
    int gate = -1;     // the listening socket
  };
  using Key = std::pair<dev_t, ino_t>;

  void readAccessEvents();
  void readAttribEvents();
  void attribEvent(const struct fanotify_event_metadata* m);
  void attribWrite(int fd);
  void dispatch(const Event& e);
  void worker();
  void handle(RecallSource& source, Key key, Job& job);
  uint32_t decide(Recaller& recaller, const Job& job, int* state, bool* recalled);
  void finish(Key key, uint32_t answer, int state, bool recalled, bool decidedForAccess);
  bool excuse(int fd, int state, int* now);
  void openGate(Watched& w);
  void closeGate(Watched& w);
  void acceptAsker(int gate);
  void answerAsker(int conn);
  static void answerGate(int conn, int status);
  int dropMarksFor(int fd);
  void stopWorkers();

  SourceFactory m_makeSource;
  unsigned m_workerCount;
  int m_access = -1;
  int m_attrib = -1;
  std::map<std::string, Watched> m_watched;  // by mount point
  std::set<std::string> m_refused;           // reported once each
  std::vector<int> m_askers;                 // gate connections not answered yet
  // Held while a worker sets an ignore mark and while the gate drops marks:
  // a mark is either set before the gate's drop (and dropped by it) or after
  // it, when the file's stub-making lock tells the worker not to set it.
  std::mutex m_markMutex;

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::map<Key, Job> m_jobs;   // files being worked on or waiting
  std::deque<Key> m_queue;     // jobs not taken yet
  std::map<Key, std::vector<int>> m_waiting;  // gate questions answered when the file's job ends
  bool m_stopping = false;
  std::vector<std::thread> m_workers;
};

#endif
