#include "common/showable.h"
#include "server/comminterface.h"

#include "common/messages.h"

#include <errno.h>
#include <string.h>

#include <cstdlib>
#include <new>

#include "common/cleanup.h"
#include "common/textexception.h"
#include "common/trace.h"
#include "server/cuverbs.h"
#include "server/fslookup.h"
#include "server/logutil.h"
#include "server/querysource.h"
#include "server/serverlayer.h"

namespace {

const char kSetFs[] = "ZefServerCommInterface::setFileSystem";
const char kCheck[] = "ZefServerCommInterface::checkSession";
const char kSpec[] = "ZefServerCommInterface::createFileSpec";
const char kBegin[] = "ZefServerCommInterface::beginTransaction";
const char kQuery[] = "ZefServerCommInterface::getAllMigrObjectsFromServer";
const char kNext[] = "ZefServerCommInterface::getNextMigrObjectFromServer";
const char kOne[] = "ZefServerCommInterface::queryServerForMigrObject";
const char kUpd[] = "ZefServerCommInterface::updateMigrObjectOnServer";
const char kExp[] = "ZefServerCommInterface::expireMigrObjectOnServer";
const char kUnexp[] = "ZefServerCommInterface::unexpireMigrObjectOnServer";
const char kDel[] = "ZefServerCommInterface::delMigrObjectOnServer";
const char kCtor[] = "ZefServerCommInterface::ZefServerCommInterface";

}  // namespace

ZefServerCommInterface::ZefServerCommInterface(int& rc, const std::string& fsName,
                                               int lanFreeAllowed, int checkNow)
    : m_lanFreeAllowed(lanFreeAllowed) {
  TREnterExit<char> ee(__FILE__, __LINE__, kCtor);
  // A private copy, so that selecting this file system's stanza leaves the
  // process options (and any other interface) alone.
  m_ownOptions.reset(optionsP ? new (std::nothrow) clientOptions(*optionsP)
                              : new (std::nothrow) clientOptions());
  if (m_ownOptions) {
    m_optP = m_ownOptions.get();
    m_ownsOptions = 1;
  } else {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> unable to allocate m_optP!\n", kCtor);
    m_optP = optionsP;
  }
  rc = m_optP ? setFileSystem(fsName, 1, checkNow) : RC_NO_MEMORY;
  if (rc != 0)
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> setFileSystem() failed with rc = %d!\n", kCtor, rc);
  m_queryResultQueueP.reset(new (std::nothrow) cQueue(kQueryQueueWaitTime));
  if (!m_queryResultQueueP)
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> unable to allocate m_queryResultQueueP!\n", kCtor);
}

ZefServerCommInterface::~ZefServerCommInterface() {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerCommInterface::~ZefServerCommInterface");
  // The thread uses the queue; it goes first, whatever else is left.
  m_queryThread.reset();
  if (m_transActionObjectP) {
    // Changes not ended with stopTransaction are not sent.
    hsmTlAbort(m_transActionObjectP);
    hsmTlDeleteTransaction(m_transActionObjectP);
  }
  fmDeleteFileSpec(m_fileSpecP);
  m_fileSpecP = nullptr;
  dropSession();
  if (m_queryResultQueueP) {
    try {
      m_queryResultQueueP->ResetQueue(kQueryQueueWaitTime);
    } catch (const cTextException& e) {
      TRACE(TR_SMRECONCILE, "%s", e.what());
    }
    m_queryResultQueueP.reset();
  }
  if (m_ownsOptions && optionsP) optionsP->serverName = m_optP->serverName;
  m_ownOptions.reset();
  m_ownsOptions = 0;
}

void ZefServerCommInterface::dropSession() {
  if (!m_serverSessionP) return;
  if (hsmGetThreadSession() == m_serverSessionP) hsmSetThreadSession(nullptr);
  delete_SessionObject(m_serverSessionP);
}

int ZefServerCommInterface::setFileSystem(const std::string& fsName, int forced, int checkNow) {
  TREnterExit<char> ee(__FILE__, __LINE__, kSetFs);
  if (fsName.empty()) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> empty file system string specified!\n", kSetFs);
    return RC_INVALID_PARM;
  }
  if (fsName == m_fsName && forced != 1) return 0;
  TRACE(TR_SMRECONCILE, "(%s): Setting new file system '%s' (old: '%s', forced: %s)!\n", kSetFs,
        fsName.c_str(), m_fsName.c_str(), forced == 1 ? "yes" : "no");
  m_fsName = fsName;
  const std::string prevServer = m_optP->serverName;

  std::string stanza;
  if (srvHooks().stanzaLookup(fsName, &stanza) != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> unable to find server stanza for '%s'\n", kSetFs,
          fsName.c_str());
    return RC_NO_STANZA;
  }
  m_optP->serverName = stanza;
  TRACE(TR_SMRECONCILE, "(%s): Using server stanza '%s' for file system '%s'\n", kSetFs,
        stanza.c_str(), fsName.c_str());
  optResetStanzaOptions(*m_optP);
  int rc = smSysOptFile(0, m_optP);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> smSysOptFile() returned with error, rc = %d\n", kSetFs,
          rc);
    return rc;
  }
  if (!m_lanFreeAllowed && m_optP->enableLanFree == 1) m_optP->enableLanFree = 0;

  if (m_optP->serverName == prevServer && m_serverSessionP && forced == 0) {
    rc = checkSession();
    TRACE(TR_SMRECONCILE, "(%s): checkSession() returned rc(%d)\n", kSetFs, rc);
    return rc;
  }
  TRACE(TR_SMRECONCILE, "(%s): m_serverSessionP(%p), prevServer(%s), currServer(%s)\n", kSetFs,
        static_cast<void*>(m_serverSessionP), prevServer.c_str(), m_optP->serverName.c_str());
  // The file spec and an open list belong to the old session.
  if (m_transActionObjectP) {
    hsmTlAbort(m_transActionObjectP);
    m_committedUpdatesOfEndedLists += m_transActionObjectP->stats.committedUpdates;
    hsmTlDeleteTransaction(m_transActionObjectP);
  }
  fmDeleteFileSpec(m_fileSpecP);
  m_fileSpecP = nullptr;
  dropSession();
  TRACE(TR_SMRECONCILE, "(%s): Creating a new session object for '%s'.\n", kSetFs,
        m_optP->serverName.c_str());
  SessionConfig config;
  rc = fillSessionConfig(*m_optP, &config);
  if (rc == 0) {
    m_serverSessionP = new_SessionObject(&config, 1);
    if (!m_serverSessionP) rc = RC_NO_MEMORY;
  }
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> new_SessionObject() returned NULL!\n", kSetFs);
    return rc;
  }
  // This thread's session is the one the process clean-up releases.
  if (!hsmGetThreadSession()) hsmSetThreadSession(m_serverSessionP);
  if (checkNow != 1) return 0;
  rc = checkSession();
  TRACE(TR_SMRECONCILE, "(%s): checkSession() returned rc(%d)\n", kSetFs, rc);
  return rc;
}

int ZefServerCommInterface::checkSession() {
  TREnterExit<char> ee(__FILE__, __LINE__, kCheck);
  if (!m_serverSessionP) return RC_NO_STANZA;
  int rc = CheckSession(m_serverSessionP, 1);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> CheckSession() returned with error, rc = %d\n", kCheck,
          rc);
    srvHooks().reportError(rc, __FILE__, __LINE__);
    return rc;
  }
  rc = createFileSpec();
  if (rc != 0)
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> createFileSpec() returned with error, rc = %d\n",
          kCheck, rc);
  return rc;
}

int ZefServerCommInterface::createFileSpec() {
  TREnterExit<char> ee(__FILE__, __LINE__, kSpec);
  fmDeleteFileSpec(m_fileSpecP);
  m_fileSpecP = fmNewFileSpec(m_fsName.c_str(), "", "");
  if (!m_fileSpecP) return RC_NO_MEMORY;
  int rc = getfsID(m_serverSessionP, m_fileSpecP, fsGetStatistics, m_addsFileSpace);
  if (rc == RC_NO_MATCH && !m_addsFileSpace) {
    // Not a failure of a look that may not add: the caller says so.
    TRACE(TR_SMRECONCILE, "(%s): the server has no file space '%s'\n", kSpec, m_fsName.c_str());
    fmDeleteFileSpec(m_fileSpecP);
    m_fileSpecP = nullptr;
  } else if (rc != 0) {
    srvTraceAndLog(__FILE__, __LINE__, TR_SM, "(%s): FAILURE -> unable to get fsID for '%s' due to rc(%d)\n",
                   kSpec, m_fsName.c_str(), rc);
    fmDeleteFileSpec(m_fileSpecP);
    m_fileSpecP = nullptr;
  }
  return rc;
}

int ZefServerCommInterface::beginTransaction() {
  TREnterExit<char> ee(__FILE__, __LINE__, kBegin);
  if (m_transActionObjectP) return 0;
  if (!m_serverSessionP) return RC_NO_STANZA;
  m_transActionObjectP = hsmTlNewTransaction(m_serverSessionP, nullptr, 0, nullptr);
  if (!m_transActionObjectP) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> hsmTlNewTransaction() does not work, out of memory!\n",
          kBegin);
    return RC_NO_MEMORY;
  }
  int rc = hsmTlInitialzeEx(m_transActionObjectP, m_optP->txnByteLimit,
                            sessGetMaxObjsPerTxn(m_serverSessionP), 0);
  if (rc == 0) {
    hsmTlSetTxnType(m_transActionObjectP, kTlTypeHsm);
    rc = hsmTlInit(m_transActionObjectP);
  }
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> hsmTlInit() returned with error, rc = %d\n", kBegin, rc);
    hsmTlDeleteTransaction(m_transActionObjectP);
    return rc;
  }
  return 0;
}

int ZefServerCommInterface::stopTransaction() {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerCommInterface::stopTransaction");
  stopQueryThread();
  if (!m_transActionObjectP) return 0;
  const int rc = hsmTlEnd(m_transActionObjectP);
  m_committedUpdatesOfEndedLists += m_transActionObjectP->stats.committedUpdates;
  hsmTlDeleteTransaction(m_transActionObjectP);
  return rc;
}

uint64_t ZefServerCommInterface::committedUpdates() const {
  uint64_t open = m_transActionObjectP ? m_transActionObjectP->stats.committedUpdates : 0;
  return m_committedUpdatesOfEndedLists + open;
}

int ZefServerCommInterface::getAllMigrObjectsFromServer(int ordering) {
  TREnterExit<char> ee(__FILE__, __LINE__, kQuery);
  if (!m_fileSpecP || !m_queryResultQueueP) return RC_NO_STANZA;
  // A previous stream's thread must be gone before the queue is reset.
  m_queryThread.reset();
  std::unique_ptr<MigrQuerySource> source;
  int rc = openQuerySource(*m_optP, &source);
  if (rc != 0) {
    // Without its own session the query cannot run at all; like any failed
    // sign-on of the query thread this ends the command.
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> CheckSession() returned with error, rc = %d\n", kQuery,
          rc);
    srvHooks().reportError(rc, __FILE__, __LINE__);
    clExit(1);
  }
  m_queryThread.reset(new (std::nothrow) ZefServerQueryThread(
      m_fsName, m_fileSpecP->fsID, std::move(source), m_queryResultQueueP.get()));
  if (!m_queryThread) {
    const int err = ENOMEM;
    srvTraceAndLog(__FILE__, __LINE__, TR_SMRECONCILE,
                   "(%s): FAILURE -> unable to allocate memory for a query thread error(%d), reason(%s)\n",
                   kQuery, err, strerror(err));
    return RC_NO_MEMORY;
  }
  rc = m_queryThread->getAllMigrObjectsFromServer(ordering);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> getAllMigrObjectsFromServer() returned with error, rc = %d\n",
          kQuery, rc);
    m_queryThread.reset();
    return rc;
  }
  m_queryThread->SetName(kQueryThreadName);
  rc = m_queryThread->Create();
  if (rc != 0)
    srvTraceAndLog(__FILE__, __LINE__, TR_SMRECONCILE,
                   "(%s): pthread_create() failed due to errno(%d), reason(%s)\n", kQuery, rc,
                   strerror(rc));
  return rc;
}

cQueueBaseObject* ZefServerCommInterface::getNextMigrObjectFromServer() {
  TREnterExit<char> ee(__FILE__, __LINE__, kNext);
  if (!m_queryResultQueueP) return nullptr;
  cQueueBaseObject* element = nullptr;
  const int rc = m_queryResultQueueP->ReadElement(element);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> timeout condition returned!\n", kNext);
    stopQueryThread();
    return nullptr;
  }
  if (!element) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> query result queue returned NULL!\n", kNext);
    stopQueryThread();
  }
  return element;
}

int ZefServerCommInterface::queryServerForMigrObject(midExtObjId_t* id,
                                                     ZefServerMigratedObject* record) {
  TREnterExit<char> ee(__FILE__, __LINE__, kOne);
  if (!record || !id || !m_serverSessionP) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Passed migrated object is not valid!\n", kOne);
    return RC_NO_STANZA;
  }
  MigrQueryAnswer answer;
  int rc = hlQryOneMigrObjGetHandle(m_serverSessionP, *id, 2, &answer.fsId, &answer.path,
                                    &answer.attrib, &answer.serverAttrib);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> hlQryOneMigrObj() returned with rc = %d\n", kOne, rc);
    return rc;
  }
  answer.objId = *id;
  if (!fillMigratedObject(*record, answer)) return RC_NO_MEMORY;
  TRACE(TR_SMRECONCILE, "(%s): Server Object:\n%s", kOne, record->toString().c_str());
  return 0;
}

int ZefServerCommInterface::updateMigrObjectOnServer(ZefServerMigratedObject* record, int flags) {
  TREnterExit<char> ee(__FILE__, __LINE__, kUpd);
  return queueUpdate(record, flags);
}

int ZefServerCommInterface::queueUpdate(ZefServerMigratedObject* record, int flags) {
  if ((flags & kMigrUpdPath) && record && record->getAlias().empty()) {
    TRACE(TR_SM, "(%s): ERROR -> the alias name is empty. Skip the file!\n", kUpd);
    return RC_INVALID_OBJECT;
  }
  Attrib* attr = record ? record->getAttributes() : nullptr;
  const midExtObjId_t* id = record ? record->getExtObjID() : nullptr;
  if (!m_transActionObjectP || !m_fileSpecP || !attr || !id) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> m_transActionObjectP(%p), m_fileSpecP(%p), attrP(%p), extObjIdP(%p)\n",
          kUpd, static_cast<void*>(m_transActionObjectP), static_cast<void*>(m_fileSpecP),
          static_cast<void*>(attr), static_cast<const void*>(id));
    return RC_INVALID_OBJECT;
  }
  // Without bit 1 no path travels; a path left from an earlier change would
  // only make the list look up the handle of that other file.
  const char* path = (flags & kMigrUpdPath) ? record->getAlias().c_str() : "";
  int rc = fmSetPathName(m_fileSpecP, path);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> fmSetPathName() returned with error, rc = %d\n", kUpd, rc);
    return rc;
  }
  m_fileSpecP->objId = *id;
  TRACE(TR_SMRECONCILE, "(%s): Client Object:\n%s", kUpd, record->toString().c_str());
  rc = hsmTlMigrObj(m_transActionObjectP, kTlKindUpdate, m_fileSpecP, attr,
                    static_cast<uint16_t>(flags), nullptr);
  if (rc != 0)
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> hsmTlMigrUpd() returned with error, rc = %d\n", kUpd, rc);
  else
    TRACE(TR_SMRECONCILEDETAIL, "(%s): File %s successfully updated on server!\n", kUpd,
          clShowable(record->getAlias()).c_str());
  return rc;
}

int ZefServerCommInterface::changeMigrState(ZefServerMigratedObject* record, unsigned state,
                                            const char* operation, const char* done) {
  TREnterExit<char> ee(__FILE__, __LINE__, operation);
  if (!record || !record->getAttributes()) return RC_INVALID_OBJECT;
  record->setFileMigrState(state);
  int rc = queueUpdate(record, kMigrUpdAttribs);
  if (rc != 0)
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> changeMigrObjectOnServer() returned with error, rc = %d\n",
          operation, rc);
  else
    TRACE(TR_SMRECONCILE, "(%s): File '%s' successfully %s on server!\n", operation,
          clShowable(record->getAlias()).c_str(), done);
  return rc;
}

int ZefServerCommInterface::expireMigrObjectOnServer(ZefServerMigratedObject* record) {
  return changeMigrState(record, kMigStateExpired, kExp, "expired");
}

int ZefServerCommInterface::unexpireMigrObjectOnServer(ZefServerMigratedObject* record) {
  return changeMigrState(record, kMigStateMigrated, kUnexp, "unexpired");
}

int ZefServerCommInterface::delMigrObjectOnServer(queueDataObject* element) {
  TREnterExit<char> ee(__FILE__, __LINE__, kDel);
  Attrib zeroed{};
  Attrib* attr = nullptr;
  const midExtObjId_t* id = nullptr;
  if (auto* record = dynamic_cast<ZefServerMigratedObject*>(element)) {
    attr = record->getAttributes();
    id = record->getExtObjID();
  } else if (auto* deletion = dynamic_cast<SyncFileDeletionObject*>(element)) {
    attr = &zeroed;
    id = &deletion->extObjId;
  } else {
    return 0;
  }
  if (!m_fileSpecP || !id) return RC_INVALID_OBJECT;
  m_fileSpecP->objId = *id;
  return delMigrObjectOnServer(attr, element);
}

int ZefServerCommInterface::delMigrObjectOnServer(Attrib* attr, queueDataObject* element) {
  TREnterExit<char> ee(__FILE__, __LINE__, kDel);
  if (!m_transActionObjectP || !m_fileSpecP || !attr) return RC_INVALID_OBJECT;
  // The alias is taken before the call: the element may not outlive it.
  const std::string alias = element && TR_SMRECONCILE ? element->getAlias() : std::string();
  const int rc = hsmTlMigrDel(m_transActionObjectP, m_fileSpecP, attr);
  if (rc != 0)
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> hsmTlMigrDel() returned with error, rc = %d\n", kDel, rc);
  else
    TRACE(TR_SMRECONCILE, "(%s): File '%s' successfully deleted on server!\n", kDel,
          clShowable(alias).c_str());
  return rc;
}

int ZefServerCommInterface::updateBackObjectOnServer(ZefServerMigratedObject*) { return 0; }

int ZefServerCommInterface::stopQueryThread() {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerCommInterface::stopQueryThread");
  if (m_queryThread && m_queryThread->isCreated()) m_queryThread->Stop();
  return 0;
}
