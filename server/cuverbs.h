// Client verbs of the conversation: transactions, the migrated-object query
// stream, updates and deletions, and the file space query and add. Each
// builder lays its verb out in the session's send buffer and sends it; each
// reader receives and checks the server's verbs.
//
// Contract
// - Called by the one thread that uses the session.
// - Results: 0 for success; the send or receive failure of the session
//   (negative for the connection); 136 for a malformed or out-of-sequence
//   verb (the session is then closed); -72 when the session has no buffer.
//   Readers of a stream return 121 at its normal end, 2 when nothing matched
//   and the server's reason for any other abort.
// - Output arguments are written only when the call returns 0.
#ifndef KMR_SERVER_CUVERBS_H
#define KMR_SERVER_CUVERBS_H

#include <cstdint>
#include <string>

#include "common/rc.h"
#include "server/attrib.h"
#include "server/serverattrib.h"
#include "server/session.h"
#include "server/verbcodec.h"

int cuBeginTxn(Sess_o* session);
// Sends EndTxn with *vote and *reason, then reads the server's EndTxn into
// them. Another verb than EndTxn gives 136.
int cuEndTxn(Sess_o* session, uint8_t* vote, uint8_t* reason);
// The two halves of cuEndTxn, for a caller that does other work while the
// server commits: the send, and the read of the server's answer.
int cuSendEndTxn(Sess_o* session, uint8_t vote, uint8_t reason);
int cuGetEndTxn(Sess_o* session, uint8_t* vote, uint8_t* reason);

int cuMigrQryAll(Sess_o* session, uint32_t fsId, uint8_t objType, uint8_t ordering);
int cuMigrQryItem(Sess_o* session, const midExtObjId_t& id, uint8_t ordering);
// Reads the next answer of a query stream, skipping answers whose attribute
// block has an unknown format. `path` may be null.
int cuGetMigrQryResp(Sess_o* session, uint32_t* fsId, midExtObjId_t* id, std::string* path,
                     Attrib* attr, ServerAttrib* srv);
// `attr` (sent in network form) is needed when flags has bit 0, `path` when
// it has bit 1.
int cuMigrUpd(Sess_o* session, uint32_t fsId, const midExtObjId_t& id, const Attrib* attr,
              const std::string* path, uint16_t flags);
int cuMigrDel(Sess_o* session, uint32_t fsId, const midExtObjId_t& id);
// Queries one object and keeps the answer's attributes as sent (handle form
// included). 131 when the server gives more than one answer.
int hlQryOneMigrObjGetHandle(Sess_o* session, const midExtObjId_t& id, uint8_t ordering,
                             uint32_t* fsId, std::string* path, Attrib* attr, ServerAttrib* srv);

int cuFSQry(Sess_o* session, const std::string& nodeName, const std::string& fsName,
            bool unicodeForm);
int cuGetFSQryResp(Sess_o* session, FSQryAnswer* answer);
// Adds a file space in a transaction of its own. RC_EMPTY_FS_NAME for an
// empty name; the server's reason when it votes abort.
int cuFSAdd(Sess_o* session, const FSAddRequest& request);

#endif
