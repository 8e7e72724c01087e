#include "server/threadbase.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "common/textexception.h"
#include "common/trace.h"

namespace {
const char kBaseName[] = "cThreadBase";
}  // namespace

int platformThreadStart(pthread_t* id, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg) {
  return pthread_create(id, attr, entry, arg);
}

cThreadBase::cThreadBase(ThreadStartFn starter) : m_Start(starter) {}

cThreadBase::~cThreadBase() {
  if (!isCreated()) return;
  TRACE(TR_THREAD, "(%s): let's join (%lu) thread (%s)\n", kBaseName,
        static_cast<unsigned long>(m_ThreadId), m_Name.c_str());
  const int rc = pthread_join(m_ThreadId, nullptr);
  if (rc != 0)
    TRACE(TR_THREAD, "(%s): pthread_join(%lu) failed with rc(%d), reason(%s)\n", kBaseName,
          static_cast<unsigned long>(m_ThreadId), rc, strerror(rc));
}

int cThreadBase::Create() {
  TREnterExit<char> ee(__FILE__, __LINE__, "cThreadBase::Create()");
  m_Running = 1;
  m_Finished = 0;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  const int rc = m_Start(&m_ThreadId, &attr, &cThreadBase::ThreadEntry, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    TRACE(TR_THREAD, "(%s): Create thread FAILED! rc: %d, reason: '%s'\n", m_Name.c_str(), rc,
          strerror(rc));
    m_Running = 0;
    m_Finished = 1;
    return rc;
  }
  m_Created = 1;
  TRACE(TR_THREAD, "(%s): Created thread. ThreadID: %d\n", m_Name.c_str(),
        static_cast<int>(m_ThreadId));
  return 0;
}

void* cThreadBase::ThreadEntry(void* arg) {
  if (!arg) throw cTextException("(%s): FAILURE -> Thread parameter is NULL!", kBaseName);
  cThreadBase* self = static_cast<cThreadBase*>(arg);
  // running was set by Create before the thread existed; setting it again
  // here would undo a Stop that came before the thread got going.
  self->m_Finished = 0;
  int previous = 0;
  int rc = pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previous);
  TRACE(TR_THREAD, "%s: pthread_setcanceltype() returned %d (%d).\n", self->m_Name.c_str(), rc,
        previous);
  rc = pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
  TRACE(TR_THREAD, "%s: pthread_setcancelstate() returned %d (%d).\n", self->m_Name.c_str(), rc,
        previous);
  if (!self->Initialize()) {
    TRACE(TR_THREAD, "(%s): FAILURE -> Thread initialization failed!\n", self->m_Name.c_str());
    self->m_Running = 0;
    self->m_Finished = 1;
    return reinterpret_cast<void*>(-1);
  }
  {
    // Finalize runs on this thread however the loop ends, a cancellation
    // (which unwinds the stack) included.
    struct FinalizeOnExit {
      cThreadBase* thread;
      ~FinalizeOnExit() { thread->Finalize(); }
    } finalize{self};
    while (self->isRunning()) {
      self->ThreadFunc();
      pthread_testcancel();
    }
  }
  TRACE(TR_THREAD, "(%s): Thread finished.\n", self->m_Name.c_str());
  self->m_Finished = 1;
  return nullptr;
}

void cThreadBase::Stop() {
  TREnterExit<char> ee(__FILE__, __LINE__, "cThreadBase::Stop()");
  m_Running = 0;
  if (!isCreated()) return;
  WakeForStop();
  const unsigned long tid = static_cast<unsigned long>(m_ThreadId);
  TRACE(TR_THREAD, "(%s): let's join (%lu) thread (%s)\n", kBaseName, tid, m_Name.c_str());
  const int rc = pthread_join(m_ThreadId, nullptr);
  if (rc == 0) {
    m_Finished = 1;
  } else {
    TRACE(TR_THREAD, "(%s): pthread_join(%lu) failed with rc(%d), reason(%s)\n", kBaseName, tid,
          rc, strerror(rc));
    if (rc == ESRCH) {
      m_Finished = 1;
    } else {
      TRACE(TR_THREAD, "(%s): let's cancel (%lu) thread (%s)\n", kBaseName, tid, m_Name.c_str());
      const int cancelRc = pthread_cancel(m_ThreadId);
      if (cancelRc == 0) {
        usleep(1000 * 1000);  // give the cancelled thread its way out
        m_Finished = 1;
      } else {
        TRACE(TR_THREAD, "(%s): pthread_cancel(%lu) failed with rc(%d), reason(%s)\n", kBaseName,
              tid, cancelRc, strerror(cancelRc));
      }
    }
  }
  m_Created = 0;
}
