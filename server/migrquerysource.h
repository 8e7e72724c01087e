// MigrQuerySource: the query thread's view of its own server session. It
// starts the query of all migrated objects of a file space and then yields
// one answer per call. The session adapter implements it with cuBeginTxn,
// cuMigrQryAll and cuGetMigrQryResp; tests implement it with scripts.
//
// Contract
// - Used by one thread at a time: start calls on the creating thread before
//   the query thread exists, next() on the query thread afterwards.
// - Result codes are those of the session verbs. next(): 0 one answer in
//   `answer` (every field overwritten); 121 end of answers; 2 the query
//   matched nothing; another server abort reason; 136 protocol error; a
//   negative receive error such as -50. After a non-zero result the stream
//   is over.
// - Destroying the source signs its session off.
#ifndef KMR_SERVER_MIGRQUERYSOURCE_H
#define KMR_SERVER_MIGRQUERYSOURCE_H

#include <cstdint>

#include "common/rc.h"
#include "server/migobject.h"

class MigrQuerySource {
 public:
  virtual ~MigrQuerySource() = default;
  // Opens a transaction on the session. Returns 0 or the send error.
  virtual int beginTxn() = 0;
  // Asks for all migrated objects of file space `fsId` of `objectType`,
  // ordered as `ordering` (1 or 2) says. Returns 0 or the send error.
  virtual int queryAll(uint32_t fsId, uint8_t objectType, uint8_t ordering) = 0;
  // Reads the next answer of the stream (see the result codes above).
  virtual int next(MigrQueryAnswer& answer) = 0;
  // The query thread calls these on itself when it starts and when it ends,
  // so a source can tie its session to the thread that uses it (the process
  // clean-up releases the session of the thread it runs on).
  virtual void attachToCallingThread() {}
  virtual void detachFromCallingThread() {}
};

#endif
