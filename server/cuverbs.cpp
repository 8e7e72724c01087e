#include "common/msgnum.h"
#include "common/showable.h"
#include "server/cuverbs.h"

#include <sched.h>

#include <cstring>
#include <utility>

#include "common/messages.h"
#include "common/trace.h"
#include "server/logutil.h"
#include "server/wire/attribcodec.h"
#include "server/wire/bytes.h"

namespace {

// Sends the verb that `build` lays out in the session's buffer.
template <typename Build>
int sendBuilt(Sess_o* s, Build build) {
  uint8_t* buf = sessGetBufferP(s);
  if (!buf) return RC_NO_BUFFER;
  size_t len = build(buf, sessGetBufferSize(s));
  if (!len) return RC_PROTOCOL_ERROR;
  return sessSendVerb(s, buf);
}

// A verb that breaks the conversation: nothing after it can be trusted.
int protocolViolation(Sess_o* s) {
  Logoff(s);
  return RC_PROTOCOL_ERROR;
}

size_t verbLen(const uint8_t* verb) { return getU16(verb); }

// An abort always carries a reason; one without could be mistaken for
// success by every caller, so it counts as a protocol violation.
int abortReason(Sess_o* s, uint8_t reason) { return reason ? reason : protocolViolation(s); }

// A verb other than the expected answer while reading a query's answers: a
// committed EndTxn ends them (RC_FINISHED); an abort for "no match" gives
// RC_NO_MATCH; another abort its reason, logged with `abortMsg`; any other
// verb is logged with `otherMsg` and breaks the protocol.
int endOfAnswers(Sess_o* s, const uint8_t* verb, size_t len, unsigned char traceFlag, int abortMsg,
                 int otherMsg) {
  if (verb[2] == kVerbEndTxn) {
    uint8_t vote, reason;
    if (decodeEndTxn(verb, len, &vote, &reason)) return protocolViolation(s);
    if (vote != kVoteAbort) return RC_FINISHED;
    if (reason == RC_NO_MATCH) return RC_NO_MATCH;
    trNlsLogPrintf(__FILE__, __LINE__, traceFlag, abortMsg, reason);
    return abortReason(s, reason);
  }
  trNlsLogPrintf(__FILE__, __LINE__, traceFlag, otherMsg, verb[2]);
  srvLogVerb(verb, len);
  return protocolViolation(s);
}

}  // namespace

int cuBeginTxn(Sess_o* s) {
  return sendBuilt(s, [](uint8_t* b, size_t cap) { return buildBeginTxn(b, cap); });
}

int cuSendEndTxn(Sess_o* s, uint8_t vote, uint8_t reason) {
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildEndTxn(b, cap, vote, reason); });
  return rc ? rc : sessFlushVerbs(s);
}

int cuGetEndTxn(Sess_o* s, uint8_t* vote, uint8_t* reason) {
  uint8_t* verb;
  if (int rc = sessRecvVerb(s, &verb)) return rc;
  if (verb[2] != kVerbEndTxn) {
    TRACE(TR_TXN, "cuGetEndTxn: Out of sequence verb: verb: %X\n", verb[2]);
    return protocolViolation(s);
  }
  if (decodeEndTxn(verb, verbLen(verb), vote, reason)) return protocolViolation(s);
  TRACE(TR_TXN, "cuEndTxn: server vote %d, reason %d\n", *vote, *reason);
  return 0;
}

int cuEndTxn(Sess_o* s, uint8_t* vote, uint8_t* reason) {
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildEndTxn(b, cap, *vote, *reason); });
  return rc ? rc : cuGetEndTxn(s, vote, reason);
}

int cuMigrQryAll(Sess_o* s, uint32_t fsId, uint8_t objType, uint8_t ordering) {
  TRACE(TR_VERBINFO, "cuMigrQryAll: fsID: %u, objType: %s, ordering: %d\n", fsId,
        objType == 1 ? "A" : objType == 2 ? "I" : objType == 3 ? "E" : "?", ordering);
  int rc = sendBuilt(
      s, [&](uint8_t* b, size_t cap) { return buildMigrQryAll(b, cap, fsId, objType, ordering); });
  if (rc)
    srvTraceAndLog(__FILE__, __LINE__, TR_SESSION,
                   "cuMigrQryAll: Received rc: %d trying to send MigrQryAll verb\n", rc);
  return rc;
}

int cuMigrQryItem(Sess_o* s, const midExtObjId_t& id, uint8_t ordering) {
  TRACE(TR_VERBINFO, "cuMigrQryItem: ordering: %s\n", ordering == 1 ? "True" : "False");
  int rc =
      sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildMigrQryItem(b, cap, id, ordering); });
  if (rc)
    srvTraceAndLog(__FILE__, __LINE__, TR_SESSION,
                   "cuMigrQryItem: Received rc: %d trying to send MigrQryItem verb\n", rc);
  return rc;
}

int cuGetMigrQryResp(Sess_o* s, uint32_t* fsId, midExtObjId_t* id, std::string* path,
                     Attrib* attr, ServerAttrib* srv) {
  for (;;) {
    uint8_t* verb;
    if (int rc = sessRecvVerb(s, &verb)) return rc;
    size_t len = verbLen(verb);
    uint8_t code = verb[2];
    if (code == kVerbMigrQryResp || code == kVerbMigrQryRespEnh) {
      MigrQueryAnswer answer;
      int rc = decodeMigrQryResp(verb, len, &answer);
      if (rc == RC_UNKNOWN_FORMAT) {
        srvTraceAndLog(__FILE__, __LINE__, TR_SESSION, "cuGetMigrQryResp: Unknown attrib format\n");
        sched_yield();
        continue;
      }
      if (rc) return protocolViolation(s);
      TRACE(TR_VERBINFO, "cuGetMigrQryResp: fsID: %lu, alias: %s\n", static_cast<unsigned long>(answer.fsId),
            path ? clShowable(answer.path).c_str() : "<none>");
      *fsId = answer.fsId;
      *id = answer.objId;
      if (path) *path = std::move(answer.path);
      *attr = answer.attrib;
      *srv = answer.serverAttrib;
      return 0;
    }
    return endOfAnswers(s, verb, len, TR_SESSION, kMsg20725, kMsg20726);
  }
}

int cuMigrUpd(Sess_o* s, uint32_t fsId, const midExtObjId_t& id, const Attrib* attr,
              const std::string* path, uint16_t flags) {
  uint8_t block[kAttribNetLen];
  size_t blockLen = 0;
  if ((flags & kMigrUpdAttribs) && attr) blockLen = AttribToNet(*attr, block, sizeof block);
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) {
    return buildMigrUpd(b, cap, fsId, id, blockLen ? block : nullptr, blockLen, path, flags);
  });
  if (rc)
    srvTraceAndLog(__FILE__, __LINE__, TR_SESSION,
                   "cuMigrUpd: Received rc: %d trying to send MigrUpd verb\n", rc);
  return rc;
}

int cuMigrDel(Sess_o* s, uint32_t fsId, const midExtObjId_t& id) {
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildMigrDel(b, cap, fsId, id); });
  if (rc)
    srvTraceAndLog(__FILE__, __LINE__, TR_SESSION,
                   "cuMigrDel: Received rc: %d trying to send MigrDel verb\n", rc);
  return rc;
}

int hlQryOneMigrObjGetHandle(Sess_o* s, const midExtObjId_t& id, uint8_t ordering, uint32_t* fsId,
                             std::string* path, Attrib* attr, ServerAttrib* srv) {
  TREnterExit<char> ee(__FILE__, __LINE__, "hlQryOneMigrObjGetHandle()");
  int rc = cuBeginTxn(s);
  if (!rc) rc = cuMigrQryItem(s, id, ordering);
  if (rc) return rc;
  memset(srv, 0, sizeof *srv);
  int answers = 0;
  midExtObjId_t gotId;
  while ((rc = cuGetMigrQryResp(s, fsId, &gotId, path, attr, srv)) == 0) ++answers;
  if (answers >= 2) {
    srvTraceAndLog(__FILE__, __LINE__, TR_SESSION,
                   "hlQryOneMigrObj: received more than one response\n");
    return RC_UNEXPECTED;
  }
  return rc == RC_FINISHED ? 0 : rc;
}

int cuFSQry(Sess_o* s, const std::string& nodeName, const std::string& fsName, bool unicodeForm) {
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) {
    return buildFSQry(b, cap, nodeName, fsName, unicodeForm);
  });
  if (rc) trNlsLogPrintf(__FILE__, __LINE__, TR_FS, unicodeForm ? kMsg20117 : kMsg20115, rc);
  return rc;
}

int cuGetFSQryResp(Sess_o* s, FSQryAnswer* answer) {
  uint8_t* verb;
  if (int rc = sessRecvVerb(s, &verb)) return rc;
  size_t len = verbLen(verb);
  uint8_t code = verb[2];
  if (code == kVerbFSQryResp || code == kVerbFSQryRespEnh) {
    if (decodeFSQryResp(verb, len, answer)) return protocolViolation(s);
    if (answer->infoLen != 8)
      TRACE(TR_FS, "cuGetFSQryResp: fsInfoLen (%d) is NOT an expected size.\n",
            static_cast<int>(answer->infoLen));
    return 0;
  }
  return endOfAnswers(s, verb, len, TR_FS, kMsg20120, kMsg20121);
}

int cuFSAdd(Sess_o* s, const FSAddRequest& req) {
  if (req.fsName.empty()) {
    TRACE(TR_FS, "cuFSAdd: an empty filespace name passed!\n");
    return RC_EMPTY_FS_NAME;
  }
  int rc = cuBeginTxn(s);
  if (rc) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg20107, rc);
    return rc;
  }
  rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildFSAdd(b, cap, req); });
  if (rc) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg20109, rc);
    return rc;
  }
  uint8_t vote = kVoteCommit, reason = 0;
  rc = cuEndTxn(s, &vote, &reason);
  if (rc) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg20110, rc);
    return rc;
  }
  return vote == kVoteCommit ? 0 : abortReason(s, reason);
}
