// ZefServerQueryThread: the producer of the migrated-object stream. On a
// server session of its own it queries all migrated objects of one file
// space and writes one ZefServerMigratedObject per answer into the bounded
// queue, followed by a FinishedMessageObject at the end of the stream; a
// broken stream puts a FailureMessageObject at the front of the queue.
//
// Contract
// - The thread owns its session (the MigrQuerySource) and borrows the queue,
//   which must outlive it. The constructor resets the queue (wait time 250),
//   deleting whatever it held.
// - getAllMigrObjectsFromServer runs on the creating thread before Create();
//   everything else of the session is used only by the query thread.
// - When the stream ends, the thread unlocks the queue's waiters, so a
//   reader that finds the queue empty afterwards gets 964 at once.
// - Stop() (and the destructor) never hang on a full queue: the stop releases
//   the queue first, which wakes a producer waiting for room and keeps it
//   from waiting again. A record that the released queue refuses is deleted
//   by the producer. What stays in the queue is the owner's to reset.
#ifndef KMR_SERVER_QUERYTHREAD_H
#define KMR_SERVER_QUERYTHREAD_H

#include <cstdint>
#include <memory>
#include <string>

#include "server/migrquerysource.h"
#include "server/queue.h"
#include "server/threadbase.h"

constexpr int kQueryQueueWaitTime = 250;

class ZefServerQueryThread : public cThreadBase {
 public:
  ZefServerQueryThread(const std::string& fsName, uint32_t fsId,
                       std::unique_ptr<MigrQuerySource> session, cQueue* queue,
                       ThreadStartFn starter = platformThreadStart);
  ~ZefServerQueryThread() override;

  // Starts the query: a transaction, then the query of all objects of type
  // 1 with ordering 1 when orderFlag is 1, else 2. Returns 0 or the code of
  // the failing call (reported as message 21803 or 21804).
  int getAllMigrObjectsFromServer(int orderFlag);
  // Reads one answer and turns it into its queue element: a filled record;
  // a FinishedMessageObject for the end (121) or no match (2); a
  // FailureMessageObject with message 8049 for -50 and 1572 with the code for
  // anything else. Returns null when a record cannot be allocated. The
  // caller owns the result.
  cQueueBaseObject* getNextMigrObjectFromServer();
  // One answer into the queue; ends the thread after the end of the stream.
  void ThreadFunc() override;
  // Tie the session to the query thread while it runs.
  int Initialize() override;
  void Finalize() override;

 protected:
  void WakeForStop() override;

 private:
  void endStream();

  std::unique_ptr<MigrQuerySource> m_Session;
  std::string m_FsName;
  uint32_t m_FsId;
  cQueue* m_Queue;
  MigrQueryAnswer m_Answer;  // reused for every answer: no per-answer copy
};

#endif
