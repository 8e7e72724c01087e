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
    {RC_COMM_ABORTED, "the connection to the server was aborted"},
    {RC_COMM_FAILURE, "the connection to the server failed"},
    {RC_NO_MATCH, "the server found no matching object"},
    {RC_ALREADY_EXISTS, "the object already exists on the server"},
    {RC_SIGNON_REFUSED, "the server refused the sign-on"},
    {RC_SIGNON_PASSWORD_EXPIRED, "the server refused the sign-on of this node"},
    {RC_STOPPED, "the operation was stopped by a signal"},
    {RC_NO_MEMORY, "not enough memory"},
    {RC_INVALID_PARM, "an empty or missing name"},
    {RC_INTERNAL, "an internal failure of the run"},
    {RC_FINISHED, "the end of the server's answers"},
    {RC_UNKNOWN_FORMAT, "an unknown attribute format"},
    {RC_UNEXPECTED, "more than one answer, or an item of unknown kind"},
    {RC_PROTOCOL_ERROR, "a protocol error in the conversation with the server"},
    {RC_INVALID_OBJECT, "the object is not valid for a change"},
    {RC_BAD_CHANGE, "the server refused the object as not storable"},
    {RC_STORE_FAILURE, "the server's database failed"},
    {RC_DATA_NO_SPACE, "the server has no room for the data"},
    {RC_DATA_MISMATCH, "the data the server received differs from the data sent"},
    {RC_DATA_DAMAGED, "the data on the server is missing or damaged"},
    {RC_DATA_IO, "the server could not read or write its data"},
    {RC_NO_DATA, "the server holds no data for the object"},
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
