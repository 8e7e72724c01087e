#include "server/querythread.h"

#include <new>
#include <utility>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/textexception.h"
#include "common/trace.h"

namespace {

const char kThreadName[] = "ZefServerQueryThread";

unsigned long currentThreadId() { return static_cast<unsigned long>(pthread_self()); }

}  // namespace

ZefServerQueryThread::ZefServerQueryThread(const std::string& fsName, uint32_t fsId,
                                           std::unique_ptr<MigrQuerySource> session,
                                           cQueue* queue, ThreadStartFn starter)
    : cThreadBase(starter),
      m_Session(std::move(session)),
      m_FsName(fsName),
      m_FsId(fsId),
      m_Queue(queue) {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerQueryThread::ZefServerQueryThread()");
  m_Queue->ResetQueue(kQueryQueueWaitTime);
}

ZefServerQueryThread::~ZefServerQueryThread() {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerQueryThread::~ZefServerQueryThread()");
  // The worker uses the session and the queue; it must be gone before they
  // are. Stop releases the queue, so this cannot hang on a full one.
  Stop();
}

int ZefServerQueryThread::getAllMigrObjectsFromServer(int orderFlag) {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerQueryThread::getAllMigrObjectsFromServer()");
  int rc = m_Session->beginTxn();
  if (rc != 0) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_SM | TR_SMRECONCILE, kMsg21803, rc);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> cuBeginTxn() returned with error, rc = %d\n",
          kThreadName, rc);
    return rc;
  }
  const uint8_t ordering = orderFlag == 1 ? 1 : 2;
  rc = m_Session->queryAll(m_FsId, 1, ordering);
  if (rc != 0) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_SM | TR_SMRECONCILE, kMsg21804, rc);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> cuMigrQryAll() returned with error, rc = %d\n",
          kThreadName, rc);
  }
  return rc;
}

cQueueBaseObject* ZefServerQueryThread::getNextMigrObjectFromServer() {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerQueryThread::getNextMigrObjectFromServer()");
  const int rc = m_Session->next(m_Answer);
  switch (rc) {
    case RC_OK: {
      std::unique_ptr<ZefServerMigratedObject> obj(new (std::nothrow) ZefServerMigratedObject);
      // The answer's path goes to the record; the next answer brings its own.
      if (!obj || !fillMigratedObject(*obj, std::move(m_Answer))) {
        TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Creating ZefServerMigratedObject failed!\n",
              kThreadName);
        return nullptr;
      }
      TRACE(TR_SMRECONCILE, "(%s): Server Object:\n%s", kThreadName, obj->toString().c_str());
      return obj.release();
    }
    case RC_FINISHED:
      TRACE(TR_SMRECONCILE, "(%s): cuGetMigrQryResp() returned with rc = RC_FINISHED.\n",
            kThreadName);
      return new (std::nothrow) FinishedMessageObject(currentThreadId());
    case RC_NO_MATCH:
      TRACE(TR_SMRECONCILE,
            "(%s): WARNING -> cuGetMigrQryResp() returned with rc = RC_NO_MATCH.\n",
            kThreadName);
      return new (std::nothrow) FinishedMessageObject(currentThreadId());
    case RC_COMM_FAILURE:
      TRACE(TR_SMRECONCILE,
            "(%s): FAILURE -> cuGetMigrQryResp() returned with rc = RC_COMM_FAILURE!\n",
            kThreadName);
      return new (std::nothrow) FailureMessageObject(currentThreadId(), kMsg8049);
    default:
      TRACE(TR_SMRECONCILE, "(%s): FAILURE -> cuGetMigrQryResp() returned with rc = %d!\n",
            kThreadName, rc);
      return new (std::nothrow) FailureMessageObject(currentThreadId(), kMsg1572, rc);
  }
}

int ZefServerQueryThread::Initialize() {
  m_Session->attachToCallingThread();
  return 1;
}

void ZefServerQueryThread::Finalize() { m_Session->detachFromCallingThread(); }

void ZefServerQueryThread::ThreadFunc() {
  cQueueBaseObject* element = getNextMigrObjectFromServer();
  if (element && dynamic_cast<queueDataObject*>(element)) {
    if (m_Queue->WriteElement(element, 0, 0) == 0) return;
    // Only a released (stopping) queue or a broken mutex refuses a record;
    // either way the stream cannot go on.
    delete element;
    endStream();
    return;
  }
  // The end of the stream queues behind the records; a failure, or a record
  // that could not be allocated (null), overtakes them.
  const int atFront = dynamic_cast<FinishedMessageObject*>(element) ? 0 : 1;
  if (m_Queue->WriteElement(element, atFront, 0) != 0) delete element;
  endStream();
}

void ZefServerQueryThread::endStream() {
  try {
    m_Queue->unlockWaiters();
  } catch (const cTextException& e) {
    TRACE(TR_SMRECONCILE, "%s", e.what());
  }
  setRunning(false);
}

void ZefServerQueryThread::WakeForStop() {
  try {
    m_Queue->unlockWaiters();
  } catch (const cTextException& e) {
    TRACE(TR_SMRECONCILE, "%s", e.what());
  }
}
