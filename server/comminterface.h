// ZefServerCommInterface: the reconcile engine's one handle on the storage
// server for one managed file system. It picks the server stanza of the file
// system, keeps a signed-on session, resolves the file space id, runs the
// query thread that streams the file system's migrated objects through a
// bounded queue, and sends the caller's changes (update, expire, unexpire,
// delete) in batched server transactions.
//
// Contract
// - Used by one thread (the main thread). The query thread it starts uses a
//   session of its own and shares only the queue with this object.
// - Results are the client's return codes (common/rc.h): 0 success;
//   RC_NO_MEMORY; RC_INVALID_PARM for an empty file system name;
//   RC_INVALID_OBJECT for an object that cannot be changed (or no open
//   transaction); RC_NO_STANZA (-1) no server stanza for the file system,
//   an invalid record, or no session/file space to work on; otherwise the
//   code of the session, verb or transaction list layer. Nothing throws.
// - Elements returned by getNextMigrObjectFromServer belong to the caller.
// - The interface owns its session, file spec, transaction list, query
//   thread, queue and its private copy of the process options.
// - The process-wide hooks (stanza lookup, error reporter) are set on the
//   main thread before any interface exists.
#ifndef KMR_SERVER_COMMINTERFACE_H
#define KMR_SERVER_COMMINTERFACE_H

#include <memory>
#include <string>

#include "common/options.h"
#include "common/rc.h"
#include "server/filespec.h"
#include "server/migobject.h"
#include "server/querythread.h"
#include "server/queue.h"
#include "server/session.h"
#include "server/txnlist.h"

constexpr const char* kQueryThreadName = "THREAD.SERVERQUERY";

// A deletion element of the synchronous file deletion path: only the id of
// the object to delete and its alias (for traces) are used here.
class SyncFileDeletionObject : public queueDataObject {
 public:
  SyncFileDeletionObject(const midExtObjId_t& id, std::string alias)
      : extObjId(id), alias(std::move(alias)) {}
  std::string& getAlias() override { return alias; }
  midExtObjId_t extObjId;
  std::string alias;
};

// Finds the server stanza of a managed file system. Returns 0 with the
// stanza name, or -1 when the file system has no entry in the managed table.
using CommStanzaLookup = int (*)(const std::string& fsName, std::string* stanza);
// Common error reporting of a server code (sign-on failures).
using CommErrorReporter = void (*)(int rc, const char* file, unsigned line);
// Both arrive with the server layer's hooks (ServerLayerHooks, serverlayer.h).

class ZefServerCommInterface {
 public:
  // Copies the process options (optionsP, or defaults when there are none),
  // then selects `fsName` with setFileSystem(fsName, 1, checkNow); `rc`
  // receives that result. The object is usable for a later setFileSystem
  // whatever the result.
  ZefServerCommInterface(int& rc, const std::string& fsName, int lanFreeAllowed, int checkNow);
  virtual ~ZefServerCommInterface();
  ZefServerCommInterface(const ZefServerCommInterface&) = delete;
  ZefServerCommInterface& operator=(const ZefServerCommInterface&) = delete;

  // Selects the server of `fsName` and (re)establishes the session: 0; 109
  // for an empty name; -1 when the file system is not managed; the option
  // file's code; 102; or checkSession's result when checkNow is 1. The same
  // name with forced != 1 returns 0 and changes nothing.
  int setFileSystem(const std::string& fsName, int forced, int checkNow);
  // Signs the session on (or verifies it) and builds the file spec.
  int checkSession();
  // Builds the file spec of the file system and resolves its file space id
  // (adding the file space on the server when it has none, unless told not
  // to: then 2 (RC_NO_MATCH) when the server does not know it).
  int createFileSpec();
  // Whether createFileSpec may register an unknown file space (default
  // true). A preview sets false before checkSession: it changes nothing.
  void setAddsFileSpace(bool adds) { m_addsFileSpace = adds; }
  // Opens the transaction list for changes (item limit: the server's
  // objects per transaction; byte limit: TXNBYTELIMIT). An open list is kept.
  int beginTransaction();
  // Stops the query thread, sends the remaining changes and closes the list.
  // Returns the result of sending them (0 when no list was open).
  int stopTransaction();
  // Starts the query of all migrated objects on a new signed-on session of
  // the query thread, then the thread. A failed sign-on of that session is
  // reported and ends the process with exit status 1.
  int getAllMigrObjectsFromServer(int ordering);
  // The next element of the stream, blocking; nullptr when the stream ended
  // without one (the query thread is then stopped).
  cQueueBaseObject* getNextMigrObjectFromServer();
  // Fills the empty `record` with the server's answer for object `id`.
  int queryServerForMigrObject(midExtObjId_t* id, ZefServerMigratedObject* record);
  // Queues an update: flags bit 0 sends the attributes, bit 1 the alias as
  // the path name (an empty alias then gives 144). 144 without an open list.
  int updateMigrObjectOnServer(ZefServerMigratedObject* record, int flags);
  // Set the record's migration state to 3 (expired) or 2 and queue an update
  // of its attributes (flags 1).
  int expireMigrObjectOnServer(ZefServerMigratedObject* record);
  int unexpireMigrObjectOnServer(ZefServerMigratedObject* record);
  // Queues the deletion of a migrated object or of a synchronous deletion
  // element; any other element, or null, returns 0 and queues nothing.
  int delMigrObjectOnServer(queueDataObject* element);
  int delMigrObjectOnServer(Attrib* attr, queueDataObject* element);
  // Nothing to do for this client; returns 0.
  int updateBackObjectOnServer(ZefServerMigratedObject* record);
  // Stops the query thread if one runs; returns 0.
  int stopQueryThread();
  // Updates that the server committed since this object was made (lists
  // already ended included). Queued or voided updates are not counted.
  uint64_t committedUpdates() const;

  // Observers for the owner and for tests.
  Sess_o* session() const { return m_serverSessionP; }
  const fileSpec_t* fileSpec() const { return m_fileSpecP; }
  const TxnList* transaction() const { return m_transActionObjectP; }
  const clientOptions* options() const { return m_optP; }
  const std::string& fileSystem() const { return m_fsName; }
  cQueue* queue() const { return m_queryResultQueueP.get(); }

 private:
  void dropSession();
  int queueUpdate(ZefServerMigratedObject* record, int flags);
  // Sets the record's migration state and queues an attribute update; the
  // trace names the operation and what was done ("expired", "unexpired").
  int changeMigrState(ZefServerMigratedObject* record, unsigned state, const char* operation,
                      const char* done);

  Sess_o* m_serverSessionP = nullptr;
  std::string m_fsName;
  fileSpec_t* m_fileSpecP = nullptr;       // fmNewFileSpec / fmDeleteFileSpec
  TxnList* m_transActionObjectP = nullptr; // hsmTlNewTransaction / hsmTlDeleteTransaction
  std::unique_ptr<ZefServerQueryThread> m_queryThread;
  std::unique_ptr<cQueue> m_queryResultQueueP;
  std::unique_ptr<clientOptions> m_ownOptions;
  clientOptions* m_optP = nullptr;
  int m_ownsOptions = 0;
  int m_lanFreeAllowed = 0;
  uint64_t m_committedUpdatesOfEndedLists = 0;
  bool m_addsFileSpace = true;
};

#endif
