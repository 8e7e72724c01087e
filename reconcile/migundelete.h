// ReconcileModeMigUndelete: recreates the deleted stub files of one managed
// file system from the server's migrated objects and writes the new identity
// of each stub back to the server.
//
// Contract
// - startReconcilation() runs the whole pass on the calling (main) thread
//   and returns 0 (done), 101 (stopped), 102 (no queue element or no memory
//   for the transaction), -50 (the server stream failed), 115 (unknown
//   queue element) or the server's code of a failed start.
// - The step functions return 1 for success and 0 for failure; a failure
//   has printed its message (9333 or 9334) and left nothing this object
//   created at the path.
// - Stubs are made beneath the file system only: see reconcile/stubfile.h.
#ifndef KMR_RECONCILE_MIGUNDELETE_H
#define KMR_RECONCILE_MIGUNDELETE_H

#include <cstdint>
#include <functional>
#include <string>

#include "common/uniquefd.h"
#include "reconcile/reconcilemode.h"
#include "reconcile/runoptions.h"
#include "reconcile/stubdecision.h"
#include "reconcile/stubfile.h"

struct Attrib;
struct midExtObjId_t;

inline constexpr size_t kVOQObjLength = 124;
inline constexpr size_t kVOQexIDLength = 57;

// The "VOQObj" attribute of a recreated stub.
void buildVOQObjRecord(const midExtObjId_t& id, const Attrib& attr, unsigned char out[kVOQObjLength]);
// The "VOQexID" attribute: 56 upper-case hex digits and a zero byte.
void buildVOQexIDText(const midExtObjId_t& id, char out[kVOQexIDLength]);

class ReconcileModeMigUndelete : public ReconcileMode {
 public:
  ReconcileModeMigUndelete(const std::string& fileSystem, int detail, ReconcileStatus* status,
                           int expiring, int recovery);
  ~ReconcileModeMigUndelete() override;

  // Preview, subtree, directories and observer of the run (before
  // startReconcilation; the default is the classic run).
  void setRunOptions(const MigundeleteRunOptions& options) { m_run = options; }

  int startReconcilation() override;

  int isRecreationRequired(ZefServerMigratedObject* obj);
  int recreateFileStub(ZefServerMigratedObject* obj);
  // Creates the file at `path` (file system + alias) with `size` bytes of
  // which only the last is allocated; the file stays open for the
  // following steps.
  int createFileForStub(std::string& path, unsigned long long size);
  // Both work on the file that createFileForStub left open (never on the
  // path itself, which is used in messages only); without it they fail.
  int updateFileStat(std::string& path, Attrib* attributes);
  int createStubFromFile(ZefServerMigratedObject* obj, std::string& path);

 private:
  // Splits `path` and tells the scout daemon of an undeleted stub.
  void informScout(const std::string& path);
  int checkAlias(const std::string& alias);

  // Takes the server's stream element by element and hands each migrated
  // object of the scope to `handle`; returns the stop code.
  int forEachObject(const std::function<void(ZefServerMigratedObject*)>& handle);
  // One object of a run, as the shared decision says.
  void runObject(ZefServerMigratedObject* obj);
  void reportDecision(const StubDecision& decision, const std::string& alias);
  // With -MKDIRS: the missing directories above the stub, each reported.
  // False (reported) when they cannot be had.
  bool bringBackDirectories(const StubDecision& decision, const std::string& alias);
  // The preview: every object decided and reported, nothing changed
  // (reconcile/preview.cpp).
  int previewReconcilation();
  StubRules rules() const { return StubRules{m_expiring, m_recovery}; }
  void objectDone();

  int m_expiring;
  int m_recovery;
  StubFile m_stub;  // the stub being made by recreateFileStub
  MigundeleteRunOptions m_run;
  RunTally m_tally;
  UniqueFd m_mountFd;  // the mount point, for the decision's lookups
};

#endif
