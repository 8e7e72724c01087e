// Common error reporting for client return codes: one place that turns a code
// from the session, the verbs or the transaction list into a message.
#include <cstdio>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/rc.h"
#include "common/trace.h"

namespace {

struct RcText {
  int rc;
  const char* text;
};

constexpr RcText kRcTexts[] = {
    {-58, "the connection to the server was aborted"},
    {-50, "the connection to the server failed"},
    {2, "the server found no matching object"},
    {19, "the object already exists on the server"},
    {51, "the server refused the sign-on"},
    {52, "the server refused the sign-on of this node"},
    {101, "the operation was stopped by a signal"},
    {102, "not enough memory"},
    {109, "an empty or missing name"},
    {115, "an internal failure of the run"},
    {121, "the end of the server's answers"},
    {122, "an unknown attribute format"},
    {131, "the server sent more than one answer"},
    {136, "a protocol error in the conversation with the server"},
    {144, "the object is not valid for a change"},
};

}  // namespace

const char* clientRcText(int rc) {
  for (const RcText& entry : kRcTexts)
    if (entry.rc == rc) return entry.text;
  return "unknown return code";
}

int ProcessError2(int rc, void*, const char*, void*, void*, int, const char* file, unsigned line) {
  TRACE_Fkt(file, line)(TR_GENERAL, "ProcessError2: rc = %d (%s)\n", rc, clientRcText(rc));
  nlfprintf(stderr, kMsg2091, rc, clientRcText(rc));
  return rc;
}
