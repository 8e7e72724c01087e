#include "reconcile/serverlink.h"

#include "common/messages.h"
#include "common/trace.h"

void reconcileProcessError(int rc, const char* file, unsigned line) {
  TRACE_Fkt(file, line)(TR_SMRECONCILE, "(ProcessError): server return code %d\n", rc);
  ProcessError2(rc, nullptr, "", nullptr, nullptr, 0, file, line);
}
