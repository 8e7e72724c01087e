// ReconcileModeMigUndelete: recreates the deleted stub files of one managed
// file system from the server's migrated objects and writes the new identity
// of each stub back to the server.
//
// Contract
// - startReconcilation() runs the whole pass on the calling (main) thread
//   and returns 0 (done), 101 (stopped), 102 (no queue element or no memory
//   for the transaction), -50 (the server stream failed), 115 (unknown
//   queue element) or the server's code of a failed start. A pass that
//   returns 0 may still be incomplete (the status's incomplete()): some
//   recreation failed or some update was not committed; it then ends with
//   message 9346 instead of 9316.
// - Message 12609 counts the updates the server committed, nothing else.
// - The step functions return 1 for success and 0 for failure; a failure
//   has printed its message and left the entry at the stub's name as it was.
// - Stubs are built aside and put in place with one rename: see
//   reconcile/stubfile.h. A present file that is already this object's stub
//   gets its server record repaired instead (inode, handle, state).
// - Workers (option RECREATEWORKERS): the objects are decided and their
//   stubs made on that many threads (reconcile/orderedworkers.h); an object
//   goes to the worker its path hashes to, so that two objects of one path
//   never race. Workers in one directory touch only their own objects'
//   names and temporaries (a temporary is removed only by the object its
//   marker names). Everything people and the
//   server see is done on the run's thread in the server's order: messages
//   (held per object and printed when its turn comes), the reconcile log,
//   counts, the observer and the updates. With one worker no thread is
//   started and each object takes the same calls in the same order as a
//   plain loop. The public step functions below act for the calling
//   thread's worker (the run's own outside a run).
#ifndef KMR_RECONCILE_MIGUNDELETE_H
#define KMR_RECONCILE_MIGUNDELETE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/uniquefd.h"
#include "hsmfs/hsmattr.h"
#include "reconcile/lostdirs.h"
#include "reconcile/reconcilemode.h"
#include "reconcile/runoptions.h"
#include "reconcile/stubdecision.h"
#include "reconcile/stubfile.h"

struct Attrib;
class cQueueBaseObject;

// The "VOQObj" attribute of a recreated stub: dmiStubInfo (hsmfs/hsmattr.h)
// of the record's id, size, times and compression flag.
void buildVOQObjRecord(const midExtObjId_t& id, const Attrib& attr, unsigned char out[kVOQObjLen]);

// Why a record cannot be made into a stub, as the catalog message that says
// so (9340 or 9341), or 0 when it can.
int refusedRecordMessage(const Attrib& attr);
// The permission bits a stub gets from the record's mode: set-user-id and
// set-group-id only when `restoreSetId` is 1.
unsigned stubPermissionBits(uint32_t mode, int restoreSetId);

// Ends the process with SIGKILL when TESTFLAGS KILLATSTEP names `step`
// (AFTERCREATE, AFTERVOQOBJ, AFTERREGION, BEFORERENAME, AFTERCOMMIT; and
// AFTERMKDIR at each directory -MKDIRS made), stops it with SIGSTOP when
// PAUSEATSTEP does. Each fires at every object.
void stubTestKillPoint(const char* step);

class ReconcileModeMigUndelete : public ReconcileMode {
 public:
  ReconcileModeMigUndelete(const ReconcileEnv& env, const std::string& fileSystem, int detail,
                           ReconcileStatus* status, int expiring, int recovery);
  ~ReconcileModeMigUndelete() override;

  // Preview, subtree, directories and observer of the run (before
  // startReconcilation; the default is the classic run).
  void setRunOptions(const MigundeleteRunOptions& options) {
    m_run = options;
    m_nearest = NearestPath(options.scope);
  }

  int startReconcilation() override;

  // 1 when the object's stub is to be made. What it saw at the name is kept
  // for the recreation that follows; a present file that may be this
  // object's stub is noted for repairRecordOfPresentStub().
  int isRecreationRequired(ZefServerMigratedObject* obj);
  int recreateFileStub(ZefServerMigratedObject* obj);
  // When the file the decision kept is this object's stub ("VOQObj" names
  // the object) and the record's inode, handle or state differ, sets them
  // in `obj` and returns 1 (the caller sends the update); else 0.
  int repairRecordOfPresentStub(ZefServerMigratedObject* obj);
  // Creates the temporary file of the stub for `path` (file system + alias)
  // with `size` bytes and no data block; the file stays
  // open for the following steps.
  int createFileForStub(std::string& path, unsigned long long size);
  // Both work on the file that createFileForStub left open (never on the
  // path itself, which is used in messages only); without it they fail.
  int updateFileStat(std::string& path, Attrib* attributes);
  int createStubFromFile(ZefServerMigratedObject* obj, std::string& path);

 private:
  // What a worker keeps from object to object (one per worker).
  struct ObjectWork {
    StubDirCache dirs;           // the directory of the current directory run
    StubFile stub;               // the stub being made by recreateFileStub
    bool maybeOwnStub = false;   // the decision kept a regular file
    // The stub's path and the scout's directory and name parts of it.
    std::string stubPath;
    StubDecision decision;       // the last decide()
    std::string scoutParts;
    // With workers: where its reconcile log lines wait for their turn.
    std::vector<std::string>* heldLog = nullptr;
  };
  // One object on its way through a run (defined in migundelete.cpp).
  struct ObjectJob;
  // Splits `path` and tells the scout daemon of an undeleted stub.
  void informScout(const std::string& path);
  int checkAlias(const std::string& alias);
  // Resolves the stub's directory and looks at its name, unless the
  // decision has just done so for the same alias. 0 or -1 (errno).
  int prepareStub(ZefServerMigratedObject* obj);
  // Removes this object's temporary left by an earlier run; true when one
  // was removed (and reported).
  bool removeStaleTemporary(const std::string& path);
  int putInPlace(ZefServerMigratedObject* obj, const std::string& path);
  void sendUpdate(ZefServerMigratedObject* obj);
  void reportEnd();

  // What a run tells at its end and keeps in the reconcile log
  // (reconcile/runreport.cpp).
  // Without -MKDIRS: an object whose directory an rm -rf took is counted
  // under the first missing directory instead of failing on its own; true
  // when `decision` is such a case.
  static bool isLostDirectory(const StubDecision& decision);
  // One message per lost directory with its count and the hint (9734).
  void reportLostDirectories();
  // The directories -MKDIRS made take their objects' owner (MadeDirectories)
  // and are named with what they have (9736).
  void reportMadeDirectories();
  // A subtree that holds no object of the server says so (9738, 9739 with
  // the nearest path).
  void reportEmptyScope();
  // The line of counts (9735), on standard output and in the log.
  void reportSummary();
  // Message `number` as a line of the reconcile log (when it is open).
  void logMessage(int number, ...);

  // Takes the server's stream element by element and hands each migrated
  // object of the scope, with the element that owns it, to `handle`;
  // returns the stop code.
  int forEachObject(
      const std::function<void(std::unique_ptr<cQueueBaseObject>, ZefServerMigratedObject*)>& handle);
  // The objects of a run on the workers; returns when the last one is done.
  void recreateObjects();
  void reportDecision(const StubDecision& decision, const std::string& alias);
  // With -MKDIRS: the missing directories above the stub, each reported
  // and counted in `job`. False (reported) when they cannot be had.
  bool bringBackDirectories(const StubDecision& decision, const std::string& alias, ObjectJob* job);
  // Message 9703 for each directory above `alias` made and not yet named:
  // the first object in the server's order that wanted one names it.
  void nameMadeDirectories(const std::string& alias);
  // The preview: every object decided and reported, nothing changed
  // (reconcile/preview.cpp).
  int previewReconcilation();
  StubRules rules() const { return StubRules{m_expiring, m_recovery}; }
  // The shared decision for `obj` with the run's side of it: the looked-at
  // name kept in m_stub for the recreation, a stale temporary of a killed
  // run removed, the decision's messages printed. Valid until the next call.
  const StubDecision& decide(ZefServerMigratedObject* obj, const StubRules& rules);
  RunTally tally() const;
  void objectDone();

  // The calling thread's worker state.
  ObjectWork& work();
  // The worker's half of an object: decision, directories, stub. Prints
  // (or, with workers, holds) its messages; counts and sends nothing.
  void workObject(ObjectJob& job);
  // The run's half, in the server's order: messages, log, counts, update.
  void finishObject(ObjectJob& job);
  // Resolved RECREATEWORKERS: 1 to 64.
  unsigned workerCount() const;

  int m_expiring;
  int m_recovery;
  std::vector<std::unique_ptr<ObjectWork>> m_work;  // [0] the run's own thread's, then the workers'
  MigundeleteRunOptions m_run;
  UniqueFd m_mountFd;          // the mount point, for the decision's lookups
  // Objects not recreated for want of a directory, by the first missing
  // one: as many entries as an rm -rf took, not one per object.
  std::map<std::string, uint64_t> m_lostDirectories;
  // -MKDIRS: directories are made one at a time, whatever worker needs one,
  // so that each is made once; m_dirsMutex guards the two below.
  std::mutex m_dirsMutex;
  UniqueFd m_stagingFd;            // -MKDIRS: where directories are made
  MadeDirectories m_madeDirs;      // -MKDIRS: the directories made so far
  NearestPath m_nearest;           // -SUBTREE: the closest of the objects outside
  std::chrono::steady_clock::time_point m_started;
};

#endif
