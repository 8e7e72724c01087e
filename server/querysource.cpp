#include "server/querysource.h"

#include "common/cleanup.h"
#include "common/rc.h"
#include "common/trace.h"
#include "server/cuverbs.h"
#include "server/serverlayer.h"

SessionMigrQuerySource::SessionMigrQuerySource(Sess_o* session) : m_Session(session) {}

SessionMigrQuerySource::~SessionMigrQuerySource() { delete_SessionObject(m_Session); }

int SessionMigrQuerySource::beginTxn() { return cuBeginTxn(m_Session); }

int SessionMigrQuerySource::queryAll(uint32_t fsId, uint8_t objectType, uint8_t ordering) {
  return cuMigrQryAll(m_Session, fsId, objectType, ordering);
}

int SessionMigrQuerySource::next(MigrQueryAnswer& answer) {
  return cuGetMigrQryResp(m_Session, &answer.fsId, &answer.objId, &answer.path, &answer.attrib,
                          &answer.serverAttrib);
}

void SessionMigrQuerySource::attachToCallingThread() {
  m_Attached = hsmSetThreadSession(m_Session);
  if (!m_Attached) TRACE(TR_SESSION, "SessionMigrQuerySource: session table is full\n");
}

void SessionMigrQuerySource::detachFromCallingThread() {
  if (m_Attached) hsmSetThreadSession(nullptr);
  m_Attached = false;
}

int openQuerySource(const clientOptions& opts, std::unique_ptr<MigrQuerySource>* out) {
  SessionConfig config;
  int rc = fillSessionConfig(opts, &config);
  if (rc != 0) return rc;
  Sess_o* session = new_SessionObject(&config, 1);
  if (!session) return RC_NO_MEMORY;
  rc = CheckSession(session, 1);
  if (rc != 0) {
    delete_SessionObject(session);
    return rc;
  }
  *out = std::make_unique<SessionMigrQuerySource>(session);
  return 0;
}
