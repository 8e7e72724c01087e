#include "reconcile/reconcilemode.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/cleanup.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/trace.h"
#include "hsmfs/xdsmapi.h"
#include "reconcile/reconcilestatus.h"

ReconcileMode::ReconcileMode(const ReconcileEnv& env, const std::string& fileSystem, int detail,
                             ReconcileStatus* status)
    : m_fileSystem(fileSystem),
      m_detail(detail),
      m_status(status),
      m_orphanListPath(fileSystem + "/" + ".Tarnveld/orphan.stubs") {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileMode::ReconcileMode");
  XDSMAPI* dmapi = XDSMAPI::getXDSMAPI();
  if (!dmapi->isInitialized()) dmapi->initService();
  if (dmapi->getSID() == 0) {
    // Only a mode run without the front end gets here: the command has its
    // own "migundelete" session already.
    m_sessionId = dmapi->createSession(0, "reconcile", 0);
    if (m_sessionId == 0) {
      int err = errno;
      TRACE(TR_SMRECONCILE, "(%s): FAILURE -> createSession() does not work!\n", "ReconcileMode");
      trNlsLogPrintf(__FILE__, __LINE__, TR_SMRECONCILE, kMsg9531, "reconcile", "DM_NO_SESSION",
                     "kmrreconcile", strerror(err));
      clExit(1);
    }
    m_sessionCreated = 1;
  }

  int rc = 0;
  if (env.serverLink) m_server = env.serverLink(&rc, fileSystem);
  if (!m_server || rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> creating ZefServerCommInterface failed!\n",
          "ReconcileMode");
    dmapi->destroySession(dmapi->getSID());
    clExit(1);
  }
  m_options = optionsP;
  m_status->m_fileSystem = fileSystem;
  m_status->initStatusObjects();
  m_logDirPath = fileSystem + "/" + ".Tarnveld/logdir";
}

ReconcileMode::~ReconcileMode() {
  if (m_sessionCreated == 1) {
    if (XDSMAPI::getXDSMAPI()->destroySession(m_sessionId) == 0) {
      TRACE(TR_SMRECONCILE, "(%s): destroy dmapi session FAILED!\n", "~ReconcileMode");
    }
  }
  m_server.reset();
  if (m_orphanListStream != nullptr) {
    fclose(m_orphanListStream);
    m_orphanListStream = nullptr;
  }
}

int ReconcileMode::stopReconcilation() {
  TRACE(TR_SMRECONCILE, "(%s): SIGNAL EXIT\n", "stopReconcilation");
  setStopCode(RC_STOPPED);
  return 0;
}
