#include "reconcile/facade.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/cleanup.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "reconcile/migundelete.h"

ReconcileLogicFacade::ReconcileLogicFacade(const ReconcileEnv& env, int detail,
                                           const std::string& fileSystem, const std::string& logPath)
    : m_env(env), m_detail(detail), m_fileSystem(fileSystem), m_logPath(logPath) {
  prepareReconcileRun();
}

ReconcileLogicFacade::~ReconcileLogicFacade() {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileLogicFacade::~ReconcileLogicFacade");
  deleteMode();
  m_status.reset();
}

void ReconcileLogicFacade::deleteMode() {
  delete m_mode.exchange(nullptr, std::memory_order_acq_rel);
}

void ReconcileLogicFacade::prepareReconcileRun() {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileLogicFacade::prepareReconcileRun");
  deleteMode();
  m_status.reset(createReconcileStatus(m_logPath));
  if (!m_status) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> reconcile status object creation failed!\n",
          "prepareReconcileRun");
    nlfprintf(stdout, kMsg9184, hsmWhoAmI(), strerror(err));
    clExit(1);
  }
}

// Each public mode entry traces under its own name and runs the one mode
// class with its two flags.
int ReconcileLogicFacade::runMigundelete(const char* entry, int expiring, int recovery) {
  TREnterExit<char> trace(__FILE__, __LINE__, entry);
  // A preview's link only looks: it never registers the file space.
  ReconcileEnv env = m_env;
  if (m_runOptions.preview && env.queryLink) env.serverLink = env.queryLink;
  auto* mode = new ReconcileModeMigUndelete(env, m_fileSystem, m_detail, m_status.get(), expiring,
                                            recovery);
  mode->setRunOptions(m_runOptions);
  delete m_mode.exchange(mode, std::memory_order_acq_rel);
  return mode->startReconcilation();
}

int ReconcileLogicFacade::processNormalMigundeleteMode() {
  return runMigundelete("ReconcileLogicFacade::processNormalMigundeleteMode", 0, 0);
}
int ReconcileLogicFacade::processExpiringMigundeleteMode() {
  return runMigundelete("ReconcileLogicFacade::processExpiringMigundeleteMode", 1, 0);
}
int ReconcileLogicFacade::processRecoveryMigundeleteMode() {
  return runMigundelete("ReconcileLogicFacade::processRecoveryMigundeleteMode", 0, 1);
}
int ReconcileLogicFacade::processExpiringRecoveryMigundeleteMode() {
  return runMigundelete("ReconcileLogicFacade::processExpiringRecoveryMigundeleteMode", 1, 1);
}

int ReconcileLogicFacade::stopReconcile() {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileLogicFacade::stopReconcile");
  ReconcileMode* mode = m_mode.load(std::memory_order_acquire);
  if (mode == nullptr) return RC_NO_MODE;
  mode->stopReconcilation();
  return 0;
}
