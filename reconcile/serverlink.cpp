#include "reconcile/serverlink.h"

#include "common/messages.h"

#include "common/trace.h"

namespace {
ReconcileServerLinkFactory g_factory = nullptr;
}

ReconcileServerLinkFactory reconcileServerLinkFactory() {
  return g_factory != nullptr ? g_factory : &createZefServerLink;
}

ReconcileServerLinkFactory setReconcileServerLinkFactory(ReconcileServerLinkFactory factory) {
  ReconcileServerLinkFactory previous = g_factory;
  g_factory = factory;
  return previous;
}

void reconcileProcessError(int rc, const char* file, unsigned line) {
  TRACE_Fkt(file, line)(TR_SMRECONCILE, "(ProcessError): server return code %d\n", rc);
  ProcessError2(rc, nullptr, "", nullptr, nullptr, 0, file, line);
}
