// The session: the client's signed-on conversation with the storage server
// over one TCP connection, with its state table, its verb buffers, the
// sign-on exchange and the re-open after a connection loss.
//
// Contract
// - A session is used by one thread at a time. IsConnected takes the
//   session's lock for its probe; sessReleaseForCleanup may be called from
//   any thread (it only aborts the connection).
// - Results (common/rc.h): 0; RC_PROTOCOL_ERROR for a protocol error or an
//   operation the state table does not allow (the session then is in state 4
//   or closed); v + 50 for a sign-on refused with result v; RC_COMM_FAILURE /
//   RC_COMM_ABORTED for the transport; RC_REOPEN_FAILED when a re-open gives
//   up; RC_NO_MEMORY out of memory.
// - Every failure of the connection or of the protocol closes the
//   connection; nothing waits for ever on a peer that closed.
// - A session takes everything it needs from a SessionConfig, copied at
//   creation; fillSessionConfig (server/serverlayer.h) fills that record
//   from the option record.
#ifndef KMR_SERVER_SESSION_H
#define KMR_SERVER_SESSION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/objectid.h"
#include "common/rc.h"
#include "server/tcpcomm.h"

struct fileSpec_t;

// DMAPI handle of the file that a fileSpec_t names, stored in `handle`.
// Returns 0 or an error code (the handle is then untouched).
// fillSessionConfig sets it to hsmHandleOfFileSpec (server/serverlayer.h),
// which checks the path and then asks the installed hooks' pathHandle.
typedef int (*HsmHandleFn)(const fileSpec_t* fileSpec, DmHandle* handle);

struct SessionConfig {
  TcpSettings tcp;                  // TCPSERVERADDRESS, TCPPORT, TCPBUFFSIZE, ...
  std::string serverStanza;
  std::string nodeName;             // NODENAME; sent upper-cased
  std::string password;             // PASSWORD option: the node's password when given (may be empty)
  int passwordAccess = 0;           // PASSWORDACCESS: 0 PROMPT, 1 GENERATE (kept in the password store)
  std::string passwordDir;          // directory of the password store (PASSWORDDIR, else the installation directory)
  std::string owner;                // empty: the name of the process owner
  std::string platform = "Linux x86-64";
  uint32_t commRestartInterval = 15;  // COMMRESTARTINTERVAL, seconds between attempts
  uint32_t commRestartDuration = 60;  // COMMRESTARTDURATION, minutes; 0 never, 9999 no limit
  uint64_t txnByteLimit = 25600ull * 1024;  // TXNBYTELIMIT in bytes
  bool largeBuffers = false;        // accept verbs up to 1 MiB instead of 32 KiB
  bool unicode = false;             // the session may use Unicode file space names
  HsmHandleFn getHsmHandle = nullptr;
};

enum SessState : int { sUninit = 0, sInit = 1, sOpened = 2, sSignedOn = 3, sTRANSERR = 4 };
const char* sessStateName(int state);

// Operations of the state table.
enum SessOp : int { opInitialise, opOpen, opSignedOn, opVerb, opClose, opTerminate };
// Next state for `op` from `state`, or sTRANSERR when the table forbids it
// (initialise from 4 is allowed and leads to 1).
int sessNextState(SessOp op, int state);

struct Sess_o;

// A new session (state 0, one reference), or nullptr when out of memory or
// `config` is null. initType 1 is what this command passes.
Sess_o* new_SessionObject(const SessionConfig* config, int initType);
// Drops the caller's reference and sets `session` to null; the last
// reference closes, terminates and frees the session. Null does nothing.
void delete_SessionObject(Sess_o*& session);
void sessAddRef(Sess_o* session);

// Makes sure the session is connected and signed on (Logon when not).
int CheckSession(Sess_o* session, int policyLoadType);
// Initialises the control block from the config, opens and signs on; on a
// failure the session is closed.
int Logon(Sess_o* session);
// Opens the connection (state 2) and signs on (state 3). The password: the
// one this process last signed on with to that server as that node; else,
// with PASSWORDACCESS GENERATE, the one in the password store
// (server/passwordstore.h), then the PASSWORD option, then the terminal;
// with PROMPT the PASSWORD option, then the terminal. A password that is not
// from the store is put there after a sign-on with GENERATE succeeded; the
// store is not written otherwise. The owner sent is empty with GENERATE and
// the process owner's name with PROMPT (unless configured), the same for
// every session. A stored password refused by a server whose certificate
// matched the pin is removed from the store (and the terminal told how to
// store it again); refused by a server that is not so authenticated it is
// kept. Without TLS the first sign-on of the process says once that the
// password travels in clear. While there is a terminal the user is asked
// again after a refusal (three tries in all).
int OpenSess(Sess_o* session);
// With `on`, a password sign-on of this process asks the server for a join
// ticket (docs/protocol.md, "Joining a signed-on node"), and the next
// session's OpenSess to the same server as the same node signs on with that
// ticket instead of the password: no second password check on the server.
// A ticket is used once; when it is refused (expired, the server restarted,
// a server that never gave one) that session signs on with the password.
// Off by default: only a command that opens a second session at once gains.
// Any thread; takes effect for sign-ons that start afterwards.
void sessUseJoinTickets(bool on);
// True only in state 3 while the connection is alive (a local probe of the
// socket, no verb is exchanged).
bool IsConnected(Sess_o* session);

// Events passed to a re-open callback.
enum { kReopenStart = 1, kReopenDone = 4, kReopenGiveUp = 5 };
typedef int (*ReopenCallback)(int event, void* data);
// Closes and re-opens the session with a new sign-on, waiting
// COMMRESTARTINTERVAL seconds before each attempt, for at most
// COMMRESTARTDURATION minutes. Returns 0, RC_REOPEN_FAILED, a non-negative
// sign-on failure, or the callback's answer to kReopenStart when it is not
// RC_REOPEN_GO_ON.
int ReopenSess(Sess_o* session, ReopenCallback callback, void* data);
// Closes the session (state 1). Returns 0, or 136 in state 4 (connection is
// dropped all the same).
int Logoff(Sess_o* session);

// Sends one complete verb (short or extended header). 0 or an error code.
int sessSendVerb(Sess_o* session, const uint8_t* verb);
// Verbs are gathered and go out when the next one is received; this sends
// what is gathered now (for a caller that will not read for a while).
int sessFlushVerbs(Sess_o* session);
// Whether the server's next answer has begun to arrive, so that
// sessRecvVerb would not wait for it (it may still wait for the rest of a
// verb that is arriving). Never blocks; one poll() at most.
bool sessAnswerArrived(Sess_o* session);
// Receives one complete verb into the session's receive buffer; *verb points
// into that buffer until the next receive. 0 or an error code.
int sessRecvVerb(Sess_o* session, uint8_t** verb);

// The buffer to build the next verb in (sessGetBufferSize bytes), or nullptr.
// sessReserveSendBuffer lets the session send verbs of up to `maxVerb` bytes
// (at most kVerbMaxLenLarge + 64, for a data chunk of 1 MiB with its
// header) by growing its send buffer; it never shrinks it. 0, RC_INVALID_PARM
// beyond that limit, or RC_NO_MEMORY (the buffer is then unchanged). The
// buffer's address may change: take it again with sessGetBufferP.
int sessReserveSendBuffer(Sess_o* session, size_t maxVerb);
// sessReserveRecvBuffer does the same for received verbs (a reader that asked
// for data chunks of 1 MiB); verb pointers from sessRecvVerb are void after it.
int sessReserveRecvBuffer(Sess_o* session, size_t maxVerb);
uint8_t* sessGetBufferP(Sess_o* session);
size_t sessGetBufferSize(Sess_o* session);
int sessGetState(Sess_o* session);
uint16_t sessGetMaxObjsPerTxn(Sess_o* session);
const char* sessGetServerName(Sess_o* session);
const uint8_t* sessGetServerCaps(Sess_o* session);  // 7 bytes
const SessionConfig& sessGetConfig(Sess_o* session);
CommObj* sessGetComm(Sess_o* session);

// For the process clean-up: aborts the session's connection so that the
// server sees it end and a blocked reader wakes with -58. Does not free the
// session (its owner may still be inside a call on it).
void sessReleaseForCleanup(void* session);

#endif
