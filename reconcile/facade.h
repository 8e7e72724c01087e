// ReconcileLogicFacade: the front end's single object for one reconcile run
// on one file system. It owns the run's status object and mode object.
//
// Contract
// - The constructor creates the status object; when that fails the process
//   ends with exit(1) after message 9184.
// - `env` is copied; every mode the facade makes gets the copy (its server
//   link factory makes the mode's server link; a preview's mode gets
//   env.queryLink instead when it is set).
// - `logPath` is the reconcile log of the run's status; empty: none (a
//   preview writes no file).
// - Each facade runs one process operation, synchronously on the caller's
//   thread; its result is the mode's run result, unchanged.
// - stopReconcile() may be called from any thread while the facade is
//   alive: 0 when the stop was handed to the mode, 143 when no mode exists
//   yet (the caller retries). The mode pointer is published with release
//   semantics, so a stop never sees a half-built mode.
// - The caller must make sure that no stopReconcile() runs during or after
//   the destructor (the front end clears its pointer under a lock first).
#ifndef KMR_RECONCILE_FACADE_H
#define KMR_RECONCILE_FACADE_H

#include <atomic>
#include <memory>
#include <string>

#include "common/rc.h"
#include "reconcile/reconcilestatus.h"
#include "reconcile/runoptions.h"
#include "reconcile/serverlink.h"

class ReconcileMode;

class ReconcileLogicFacade {
 public:
  ReconcileLogicFacade(const ReconcileEnv& env, int detail, const std::string& fileSystem,
                       const std::string& logPath = kReconcileLogPath);
  virtual ~ReconcileLogicFacade();
  ReconcileLogicFacade(const ReconcileLogicFacade&) = delete;
  ReconcileLogicFacade& operator=(const ReconcileLogicFacade&) = delete;

  void prepareReconcileRun();
  // Preview, subtree, directories and observer of the run to come.
  void setRunOptions(const MigundeleteRunOptions& options) { m_runOptions = options; }
  int processNormalMigundeleteMode();
  int processExpiringMigundeleteMode();
  int processRecoveryMigundeleteMode();
  int processExpiringRecoveryMigundeleteMode();
  int stopReconcile();

  ReconcileStatus* status() const { return m_status.get(); }
  ReconcileMode* mode() const { return m_mode.load(std::memory_order_acquire); }

 private:
  int runMigundelete(const char* entry, int expiring, int recovery);
  void deleteMode();

  ReconcileEnv m_env;
  int m_detail;
  std::string m_fileSystem;
  std::string m_logPath;
  MigundeleteRunOptions m_runOptions;
  std::atomic<ReconcileMode*> m_mode{nullptr};  // owned
  std::unique_ptr<ReconcileStatus> m_status;
};

#endif
