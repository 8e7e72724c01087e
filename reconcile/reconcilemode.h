// ReconcileMode: what every reconcile mode needs for one run on one file
// system (DMAPI session, server link, options, status object, the paths of
// the file system's control directory) and the run's stop code.
//
// Contract
// - The server link comes from env.serverLink, called once in the constructor.
// - The constructor ends the process with exit(1) when no DMAPI session can
//   be had or the server link cannot be created: without either a run makes
//   no sense and the server layer has already said why.
// - The status object is not owned; the server link is.
// - stopReconcilation() may be called from any thread (the shutdown signal
//   thread); it only stores 101 into the stop code, which the run loop reads
//   once per object.
#ifndef KMR_RECONCILE_RECONCILEMODE_H
#define KMR_RECONCILE_RECONCILEMODE_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/rc.h"
#include "reconcile/serverlink.h"

struct clientOptions;
class ReconcileStatus;

class ReconcileMode {
 public:
  ReconcileMode(const ReconcileEnv& env, const std::string& fileSystem, int detail,
                ReconcileStatus* status);
  virtual ~ReconcileMode();
  ReconcileMode(const ReconcileMode&) = delete;
  ReconcileMode& operator=(const ReconcileMode&) = delete;

  // The run; returns the run result.
  virtual int startReconcilation() = 0;
  // Asks the running loop to end after the current object. Returns 0.
  virtual int stopReconcilation();

  int stopCode() const { return m_stopCode.load(std::memory_order_relaxed); }
  const std::string& fileSystem() const { return m_fileSystem; }
  const std::string& orphanListPath() const { return m_orphanListPath; }
  const std::string& logDirPath() const { return m_logDirPath; }
  int sessionCreated() const { return m_sessionCreated; }

 protected:
  void setStopCode(int code) { m_stopCode.store(code, std::memory_order_relaxed); }

  std::string m_fileSystem;
  int m_detail;
  ReconcileStatus* m_status;
  // Written by the signal thread, read by the run loop: a relaxed atomic is
  // the plain 32-bit store and load without the data race.
  std::atomic<int32_t> m_stopCode{0};
  clientOptions* m_options = nullptr;
  int m_sessionCreated = 0;
  uint64_t m_sessionId = 0;
  std::unique_ptr<ReconcileServerLink> m_server;
  std::string m_orphanListPath;
  FILE* m_orphanListStream = nullptr;
  std::string m_logDirPath;
};

#endif
