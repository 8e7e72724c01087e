// One client session of zefserverd: sign-on, file spaces, transactions and
// the migrated-object verbs, answered on one TCP connection.
//
// Contract
// - runSession() owns nothing but what it creates; it reads verbs from `fd`
//   until the peer closes, a protocol error or a fault ends the session, and
//   returns without closing `fd` (the caller owns it and may shut it down from
//   another thread to stop the session).
// - The session admits a node only with its password, and then shows and
//   changes only that node's file spaces and objects: anything of another
//   node is answered as if it did not exist.
// - The TLS handshake (when the client opens one) and the SignOn with its
//   password check must end within the sign-on timeout of the connection,
//   and each later verb arrive within the idle timeout; otherwise the
//   session ends. Password checks wait their turn in shared.checks
//   (zefserver/admission.h); a refused sign-on is answered at once and the
//   connection closed, its source's next check waits instead.
// - Changes received inside a transaction are held in memory (at most the
//   transaction size) and applied in one database transaction when the
//   client's EndTxn commits them; nothing is written before.
#ifndef KMR_ZEFSERVER_SESSION_H
#define KMR_ZEFSERVER_SESSION_H

#include <atomic>
#include <string>

#include "zefserver/server.h"

namespace zef {

// Sign-on result for every refusal (0 accepted): unknown node, wrong or
// empty password, a node without a password alike.
constexpr uint8_t kSignOnRefused = 1;
// The last of SignOn's capability bytes: bit 0x01 asks for a join ticket
// with the answer (honoured for a password sign-on only; SignOnResp's last
// capability byte then has bit 0x01 set and the ticket's 32 bytes follow
// the server name); bit 0x02 says the password field carries a ticket
// instead (zefserver/jointicket.h).
constexpr size_t kSignOnJoinCapability = 41;
constexpr size_t kSignOnRespJoinCapability = 15;
constexpr uint8_t kAskJoinTicket = 0x01;
constexpr uint8_t kJoinWithTicket = 0x02;

// What the accept loop and a session share about one connection. Phases
// move forward only, by compare-and-exchange: the accept loop may make a
// connection give way only while it has not signed on, and a session signs
// on only if it has not been made to give way.
struct SessionLink {
  enum Phase : int { kConnected = 0, kSignOnSent = 1, kSignedOn = 2, kGaveWay = 3 };
  std::atomic<int> phase{kConnected};
};

void runSession(int fd, const std::string& peer, ServerShared& shared, SessionLink& link);

}  // namespace zef

#endif
