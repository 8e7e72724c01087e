#include "server/session.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "common/interrupt.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/rc.h"
#include "common/secret_input.h"
#include "common/showable.h"
#include "common/trace.h"
#include "server/logutil.h"
#include "server/passwordstore.h"
#include "server/verbcodec.h"
#include "server/wire/bytes.h"
#include "server/wire/verb.h"

struct Sess_o {
  SessionConfig config;
  int refs = 1;
  int state = sUninit;
  bool broken = false;
  CommObj comm;
  std::vector<uint8_t> sendBuf;
  std::vector<uint8_t> recvBuf;
  std::mutex lock;
  // Control block values learnt from the sign-on answer.
  SignOnAnswer signOn;
};

namespace {

constexpr int X = sTRANSERR;  // not allowed
// Rows: operations; columns: current state 0..4.
constexpr int kStateTable[6][5] = {
    {1, X, X, X, 1},  // initialise
    {X, 2, X, X, X},  // open
    {X, X, 3, X, X},  // signed on
    {X, 1, 2, 3, X},  // send, receive, flush a verb
    {0, 1, 1, 1, X},  // close
    {0, 0, X, X, X},  // terminate
};
const char* const kOpNames[] = {"initialise", "open", "signed on", "verb", "close", "terminate"};

// Looks up the transition; a forbidden one logs `message` with the state's
// name, enters the error state and yields 136.
int stateCheck(Sess_o* s, SessOp op, int message, int* next) {
  *next = sessNextState(op, s->state);
  if (*next != sTRANSERR) return 0;
  if (message) trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, message, sessStateName(s->state));
  TRACE(TR_SESSION, "Session state transition: %s --%s--> %s (not allowed)\n",
        sessStateName(s->state), kOpNames[op], sessStateName(sTRANSERR));
  s->state = sTRANSERR;
  return RC_PROTOCOL_ERROR;
}

void setState(Sess_o* s, int next) {
  if (next != s->state)
    TRACE(TR_SESSION, "Session state transition: %s --> %s\n", sessStateName(s->state),
          sessStateName(next));
  s->state = next;
}

// Closes the connection and, where the table allows it, moves to the closed
// state; a session in the error state stays there.
void sessClose(Sess_o* s) {
  TcpClose(&s->comm);
  int next = sessNextState(opClose, s->state);
  if (next != sTRANSERR) setState(s, next);
}

void sessInit(Sess_o* s) {
  const SessionConfig& c = s->config;
  s->comm.settings = c.tcp;
  s->broken = false;
  s->signOn = SignOnAnswer();
  setState(s, sInit);
}

// Brings a session of any state back to state 1, ready to open.
void sessReset(Sess_o* s) {
  if (s->state == sOpened || s->state == sSignedOn) sessClose(s);
  if (s->state == sUninit || s->state == sTRANSERR) sessInit(s);
}

void markBroken(Sess_o* s) {
  s->broken = true;
  sessClose(s);
}

// A send or receive that failed: message `msg` with the TCP code, and the
// session is broken. Returns the code.
int transferFailed(Sess_o* s, int msg, int rc) {
  trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, msg, rc);
  markBroken(s);
  return rc;
}

// A verb header this session cannot read on: why, and the header's first
// bytes, to trace and log; the session closes.
int refuseVerb(Sess_o* s, const char* why, const uint8_t* header) {
  srvTraceAndLog(__FILE__, __LINE__, TR_SESSION, "%s", why);
  srvTraceAndLog(__FILE__, __LINE__, TR_SESSION, "sessRecvVerb(): length=%04x, verb=%02x,magic=%02x\n",
                 getU16(header), header[2], header[3]);
  sessClose(s);
  return RC_PROTOCOL_ERROR;
}

std::string processOwner() {
  struct passwd pw, *res = nullptr;
  char buf[1024];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res) return pw.pw_name;
  return "root";
}

// Where a sign-on's password came from. `fromStore` is also true for a
// password this process already holds that is the store's record (read
// from it or written to it), so that it is neither written again nor kept
// when the authenticated server refuses it.
struct PasswordChoice {
  std::string text;
  bool fromStore = false;
  bool fromUser = false;  // typed at the terminal
};

// Passwords this process signed on with, by server and node, so that a
// second session or a re-open neither asks again nor reads the store again.
// Never destroyed: the process may end while other threads still sign on.
std::mutex g_acceptedMu;
using AcceptedMap = std::map<std::pair<std::string, std::string>, PasswordChoice>;
AcceptedMap& accepted() {
  static AcceptedMap* m = new AcceptedMap;
  return *m;
}

std::string upperNode(const std::string& n) {
  std::string u = n;
  for (char& ch : u) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
  return u;
}

// The name the store keeps the password under: the server stanza, else the
// server's address.
std::string storeServerName(const SessionConfig& c) {
  return c.serverStanza.empty() ? c.tcp.serverAddress : c.serverStanza;
}

std::optional<std::string> askUser(const SessionConfig& c) {
  char* prompt = nullptr;
  std::string node = upperNode(c.nodeName), server = storeServerName(c);
  nlMessage(&prompt, kMsg20440, node.c_str(), server.c_str());
  std::string p = prompt ? prompt : "Password: ";
  free(prompt);
  return askSecret(p);
}

PasswordChoice choosePassword(const SessionConfig& c, bool askAgain) {
  const std::string server = storeServerName(c), node = upperNode(c.nodeName);
  PasswordChoice pc;
  if (!askAgain) {
    std::lock_guard<std::mutex> g(g_acceptedMu);
    auto it = accepted().find({server, node});
    if (it != accepted().end()) {
      pc = it->second;
      pc.fromUser = false;
      return pc;
    }
  }
  if (c.passwordAccess == 1 && !askAgain) {
    pwstore::Loaded l = pwstore::load(c.passwordDir, server, node);
    if (l.outcome == pwstore::Outcome::kFound) {
      pc.text = l.password;
      pc.fromStore = true;
      return pc;
    }
    if (l.outcome == pwstore::Outcome::kRefused)
      nlfprintf(stderr, kMsg20441, pwstore::storePath(c.passwordDir).c_str(), l.why.c_str());
  }
  if (!askAgain && !c.password.empty()) {
    pc.text = c.password;
    return pc;
  }
  if (auto typed = askUser(c)) {
    pc.text = *typed;
    pc.fromUser = true;
    return pc;
  }
  trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20442, node.c_str(), server.c_str());
  return pc;  // empty: the server refuses it and the caller reports that
}

// Join tickets (sessUseJoinTickets): at most one per server and node, taken
// by the next session that signs on there. The ticket is a secret like the
// password: never traced, wiped once used.
std::atomic<bool> g_useJoinTickets{false};
std::map<std::pair<std::string, std::string>, std::string>& joinTickets() {
  static auto* m = new std::map<std::pair<std::string, std::string>, std::string>;
  return *m;
}

void wipe(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

// Takes the ticket kept for `key` (guarded by g_acceptedMu); false without one.
bool takeJoinTicket(const std::pair<std::string, std::string>& key, std::string* out) {
  std::lock_guard<std::mutex> g(g_acceptedMu);
  auto it = joinTickets().find(key);
  if (it == joinTickets().end()) return false;
  *out = std::move(it->second);
  joinTickets().erase(it);
  return true;
}

void keepJoinTicket(const std::pair<std::string, std::string>& key, const uint8_t* ticket) {
  std::lock_guard<std::mutex> g(g_acceptedMu);
  std::string& kept = joinTickets()[key];
  wipe(kept);
  kept.assign(reinterpret_cast<const char*>(ticket), kJoinTicketLen);
}

// Without TLS the password crosses the network as it is: said once per run.
void warnClearPasswordOnce(const std::string& node, const std::string& server) {
  static std::atomic<bool> warned{false};
  if (!warned.exchange(true)) nlfprintf(stderr, kMsg9780, node.c_str(), server.c_str());
}

// Signs on with `pw`, or with `ticket` when it is not null. A password
// sign-on asks for a join ticket while sessUseJoinTickets is on and keeps
// the one the server gives.
int signOnTheSession(Sess_o* s, const PasswordChoice& pw, const std::string* ticket = nullptr) {
  const SessionConfig& c = s->config;
  SignOnRequest req;
  const bool askTicket = !ticket && g_useJoinTickets.load();
  req.capabilities[kSignOnJoinCapabilityByte] = ticket ? kSignOnJoinWithTicket : askTicket ? kSignOnAskJoinTicket : 0;
  req.platform = c.platform;
  req.nodeName = c.nodeName;
  // Every session of a run signs on the same way: with PASSWORDACCESS
  // GENERATE the node itself signs on and no owner travels (wherever this
  // session's copy of the password came from); with PROMPT the process
  // owner does.
  req.owner = !c.owner.empty() ? c.owner : c.passwordAccess == 1 ? std::string() : processOwner();
  req.further = ticket ? *ticket : pw.text;
  size_t len = buildSignOn(s->sendBuf.data(), s->sendBuf.size(), req);
  wipe(req.further);
  if (!len) return RC_PROTOCOL_ERROR;
  int rc = sessSendVerb(s, s->sendBuf.data());
  if (rc) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20015, rc);
    return rc;
  }
  uint8_t* verb = nullptr;
  rc = sessRecvVerb(s, &verb);
  if (rc) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20430, rc);
    return rc;
  }
  size_t vlen = getU16(verb);
  if (verb[2] != kVerbSignOnResp) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20431, verb[2]);
    srvLogVerb(verb, vlen);
    sessClose(s);
    return RC_PROTOCOL_ERROR;
  }
  SignOnAnswer answer;
  if (decodeSignOnResp(verb, vlen, &answer)) {
    TRACE(TR_SESSION, "cuSignOnResp: Invalid field(s) in a verb\n");
    sessClose(s);
    return RC_PROTOCOL_ERROR;
  }
  s->signOn = answer;
  TRACE(TR_SESSION, "Signed on to server '%s', result %d, max objects per transaction %u\n",
        clShowable(answer.serverName).c_str(), answer.result, answer.maxObjsPerTxn);
  if (answer.result != 0) {
    int result = RC_SIGNON_RESULT_BASE + answer.result;
    trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20436, result);
    // Passwords are never updated by this client, so an expired password
    // ends the session like any other refusal.
    sessClose(s);
    return result;
  }
  uint8_t kept[kJoinTicketLen];
  if (askTicket && decodeSignOnJoinTicket(verb, vlen, kept) == 0) {
    keepJoinTicket({storeServerName(c), upperNode(c.nodeName)}, kept);
    explicit_bzero(kept, sizeof kept);
  }
  int next;
  if (int bad = stateCheck(s, opSignedOn, 0, &next)) return bad;
  setState(s, next);
  return 0;
}

}  // namespace

void sessUseJoinTickets(bool on) { g_useJoinTickets.store(on); }

const char* sessStateName(int state) {
  static const char* const names[] = {"sUninit", "sInit", "sOpened", "sSignedOn", "sTRANSERR"};
  return state >= 0 && state <= 4 ? names[state] : "sUnknown";
}

int sessNextState(SessOp op, int state) {
  if (op < opInitialise || op > opTerminate || state < 0 || state > 4) return sTRANSERR;
  return kStateTable[op][state];
}

Sess_o* new_SessionObject(const SessionConfig* config, int initType) {
  TREnterExit<char> ee(__FILE__, __LINE__, "new_SessionObject()");
  (void)initType;
  if (!config) return nullptr;
  std::unique_ptr<Sess_o> s(new (std::nothrow) Sess_o);
  if (!s) return nullptr;
  try {
    s->config = *config;
    size_t size = config->largeBuffers ? kVerbMaxLenLarge : kVerbMaxLen;
    s->sendBuf.assign(size, 0);
    s->recvBuf.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  s->comm.settings = config->tcp;
  return s.release();
}

void sessAddRef(Sess_o* s) {
  if (s) ++s->refs;
}

void delete_SessionObject(Sess_o*& s) {
  if (!s) return;
  if (--s->refs == 0) {
    sessClose(s);
    int next = sessNextState(opTerminate, s->state);
    if (next == sTRANSERR) trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20037, sessStateName(s->state));
    delete s;
  }
  s = nullptr;
}

int Logoff(Sess_o* s) {
  if (!s) return 0;
  bool wasError = s->state == sTRANSERR;
  sessClose(s);
  return wasError ? RC_PROTOCOL_ERROR : 0;
}

int OpenSess(Sess_o* s) {
  TREnterExit<char> ee(__FILE__, __LINE__, "OpenSess()");
  const SessionConfig& c = s->config;
  const std::string server = storeServerName(c), node = upperNode(c.nodeName);
  constexpr int kTries = 3;
  std::string ticket;
  bool joining = takeJoinTicket({server, node}, &ticket);
  for (int attempt = 0;; ++attempt) {
    int next;
    if (int bad = stateCheck(s, opOpen, 0, &next)) return bad;
    int rc = TcpOpen(&s->comm);
    if (rc) {
      wipe(ticket);
      return rc;
    }
    s->broken = false;
    setState(s, next);
    if (joining) {
      // One try with the ticket; a refusal closed the connection, and the
      // password's tries follow as if no ticket had been held.
      joining = false;
      rc = signOnTheSession(s, PasswordChoice(), &ticket);
      wipe(ticket);
      if (rc != RC_SIGNON_REFUSED) return rc;
      TRACE(TR_SESSION, "OpenSess: the join ticket was refused; signing on with the password\n");
      --attempt;
      continue;
    }
    // Whether the other end is the configured server (TLS with the pinned
    // certificate) is known before the password goes out; the refused
    // sign-on closes the connection.
    const bool authenticated = TcpServerAuthenticated(&s->comm);
    PasswordChoice pw = choosePassword(c, attempt > 0);
    if (!authenticated && !pw.text.empty()) warnClearPasswordOnce(node, server);
    rc = signOnTheSession(s, pw);
    if (rc == 0) {
      std::string why;
      if (c.passwordAccess == 1 && !pw.fromStore && !pw.text.empty()) {
        if (pwstore::save(c.passwordDir, server, node, pw.text, why))
          pw.fromStore = true;
        else
          trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20443, node.c_str(),
                         pwstore::storePath(c.passwordDir).c_str(), why.c_str());
      }
      std::lock_guard<std::mutex> g(g_acceptedMu);
      accepted()[{server, node}] = pw;
      return 0;
    }
    if (rc != RC_SIGNON_REFUSED) return rc;
    {
      std::lock_guard<std::mutex> g(g_acceptedMu);
      accepted().erase({server, node});
    }
    // Only the configured server's refusal counts: anyone may listen on the
    // port while the server is down and answer "refused".
    std::string why;
    if (pw.fromStore && !authenticated) {
      nlfprintf(stderr, kMsg9782, server.c_str(), node.c_str());
    } else if (pw.fromStore && pwstore::remove(c.passwordDir, server, node, why)) {
      trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20444, node.c_str(), server.c_str(),
                     pwstore::storePath(c.passwordDir).c_str());
      nlfprintf(stderr, kMsg9781, server.c_str(), node.c_str(), pwstore::storePath(c.passwordDir).c_str());
    }
    if (attempt + 1 >= kTries || !haveTerminal()) return rc;
    // The refused sign-on closed the connection (state 1); the next try
    // opens a new one.
  }
}

int Logon(Sess_o* s) {
  TREnterExit<char> ee(__FILE__, __LINE__, "Logon()");
  if (s->state == sOpened || s->state == sSignedOn) sessClose(s);
  if (s->state == sUninit || s->state == sTRANSERR) {
    int next;
    if (int bad = stateCheck(s, opInitialise, 0, &next)) return bad;
    sessInit(s);
  }
  int rc = OpenSess(s);
  if (rc) Logoff(s);
  return rc;
}

int CheckSession(Sess_o* s, int policyLoadType) {
  TREnterExit<char> ee(__FILE__, __LINE__, "CheckSession()");
  (void)policyLoadType;
  if (!s) return RC_PROTOCOL_ERROR;
  if (IsConnected(s)) return 0;
  return Logon(s);
}

bool IsConnected(Sess_o* s) {
  if (!s) return false;
  std::lock_guard<std::mutex> guard(s->lock);
  // A signed-on session must not have anything to read: the server speaks
  // only when asked. Readable means closed, reset or out of step.
  return s->state == sSignedOn && TcpAlive(&s->comm);
}

int ReopenSess(Sess_o* s, ReopenCallback callback, void* data) {
  TREnterExit<char> ee(__FILE__, __LINE__, "ReopenSess()");
  const SessionConfig& c = s->config;
  if (c.commRestartDuration == 0) return RC_REOPEN_FAILED;
  if (callback) {
    int answer = callback(kReopenStart, data);
    if (answer != RC_REOPEN_GO_ON) return answer;
  }
  trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg1809);
  using Clock = std::chrono::steady_clock;
  const bool unlimited = c.commRestartDuration == 9999;
  const Clock::time_point deadline = Clock::now() + std::chrono::minutes(c.commRestartDuration);
  // The user hears of the wait at once and every half minute, and a stop of
  // the run or a clean-up ends it within the second.
  WaitNotice notice("the connection to the server to be reestablished", true);
  int rc = RC_COMM_FAILURE;
  bool interrupted = false;
  do {
    for (uint32_t left = c.commRestartInterval; left > 0 && !interrupted; --left) {
      notice.due();
      TRACE(TR_SESSION, "ReopenSess(): %u seconds until the next attempt\n", left);
      interrupted = !clSleepInterruptible(1000);
    }
    if (interrupted) break;
    notice.due();
    sessReset(s);
    rc = OpenSess(s);
    interrupted = rc < 0 && clInterruptRequested();
  } while (rc < 0 && !interrupted && (unlimited || Clock::now() < deadline));
  if (rc == 0) {
    if (callback) callback(kReopenDone, data);
    trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg1810);
    return 0;
  }
  if (callback) callback(kReopenGiveUp, data);
  trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg1811);
  return rc < 0 ? RC_REOPEN_FAILED : rc;
}

int sessSendVerb(Sess_o* s, const uint8_t* verb) {
  int next;
  if (int bad = stateCheck(s, opVerb, kMsg20027, &next)) return bad;
  size_t len, code;
  if (verb[2] == kVerbExtendedCode) {
    code = getU32(verb + 4);
    len = getU32(verb + 8);
  } else {
    code = verb[2];
    len = getU16(verb);
  }
  if (len > s->sendBuf.size() || len < kVerbShortHeaderLen) return RC_PROTOCOL_ERROR;
  trNlsLogPrintf(__FILE__, __LINE__, TR_SESSVERB, kMsg20768, static_cast<int>(len),
                 static_cast<int>(code), verbName(static_cast<uint32_t>(code)));
  TRACE(TR_SESSVERB, "sessSendVerb(): length=%04zx, verb=%02zx (%s)\n", len, code,
        verbName(static_cast<uint32_t>(code)));
  int rc = TcpWrite(&s->comm, verb, len);
  if (rc) {
    if (rc != RC_NO_BUFFER) trNlsLogPrintf(__FILE__, __LINE__, TR_SESSION, kMsg20028, rc);
    markBroken(s);
    return rc;
  }
  setState(s, next);
  return 0;
}

int sessFlushVerbs(Sess_o* s) {
  int next;
  if (int bad = stateCheck(s, opVerb, kMsg20027, &next)) return bad;
  int rc = TcpFlush(&s->comm);
  return rc ? transferFailed(s, kMsg20028, rc) : 0;
}

bool sessAnswerArrived(Sess_o* s) { return TcpReadable(&s->comm); }

int sessRecvVerb(Sess_o* s, uint8_t** verb) {
  int next;
  if (int bad = stateCheck(s, opVerb, kMsg20023, &next)) return bad;
  uint8_t* buf = s->recvBuf.data();
  int rc = TcpRead(&s->comm, buf, kVerbShortHeaderLen);
  if (rc) return transferFailed(s, kMsg20024, rc);
  TRACE(TR_SESSVERB, "sessRecvVerb(): length=%04x, verb=%02x, magic=%02x\n", getU16(buf), buf[2],
        buf[3]);
  if (buf[3] != kVerbMagic) return refuseVerb(s, "sessRecvVerb(): Invalid verb received.\n", buf);
  size_t headerLen = verbHeaderLen(buf);
  if (headerLen > kVerbShortHeaderLen) {
    rc = TcpRead(&s->comm, buf + kVerbShortHeaderLen, headerLen - kVerbShortHeaderLen);
    if (rc) return transferFailed(s, kMsg20024, rc);
  }
  VerbHeader h;
  if (verbParseHeader(buf, headerLen, static_cast<uint32_t>(s->recvBuf.size()), &h))
    return refuseVerb(s, "sessRecvVerb(): Verb exceeds allowed length.\n", buf);
  rc = TcpRead(&s->comm, buf + headerLen, h.length - headerLen);
  if (rc) return transferFailed(s, kMsg20025, rc);
  // An extended verb is handed on in the short form when it fits one, so
  // that every reader above sees length in bytes 0-1 and the code in byte 2.
  if (headerLen == kVerbExtendedHeaderLen && h.code <= 0xFF && h.code != kVerbExtendedCode &&
      h.length - kVerbExtendedHeaderLen + kVerbShortHeaderLen <= 0xFFFF) {
    size_t shortLen = h.length - kVerbExtendedHeaderLen + kVerbShortHeaderLen;
    memmove(buf + kVerbShortHeaderLen, buf + kVerbExtendedHeaderLen, h.length - headerLen);
    putU16(buf, static_cast<uint16_t>(shortLen));
    buf[2] = static_cast<uint8_t>(h.code);
  }
  setState(s, next);
  *verb = buf;
  return 0;
}

namespace {

int growBuffer(Sess_o* s, std::vector<uint8_t> Sess_o::*which, size_t maxVerb) {
  if (!s || maxVerb > kVerbMaxLenLarge + 64) return RC_INVALID_PARM;
  std::vector<uint8_t>& buf = s->*which;
  if (maxVerb <= buf.size()) return 0;
  try {
    buf.resize(maxVerb, 0);
  } catch (const std::bad_alloc&) {
    return RC_NO_MEMORY;
  }
  return 0;
}

}  // namespace

int sessReserveSendBuffer(Sess_o* s, size_t maxVerb) { return growBuffer(s, &Sess_o::sendBuf, maxVerb); }
int sessReserveRecvBuffer(Sess_o* s, size_t maxVerb) { return growBuffer(s, &Sess_o::recvBuf, maxVerb); }

uint8_t* sessGetBufferP(Sess_o* s) { return s && !s->sendBuf.empty() ? s->sendBuf.data() : nullptr; }
size_t sessGetBufferSize(Sess_o* s) { return s ? s->sendBuf.size() : 0; }
int sessGetState(Sess_o* s) { return s->state; }
uint16_t sessGetMaxObjsPerTxn(Sess_o* s) { return s->signOn.maxObjsPerTxn; }
const char* sessGetServerName(Sess_o* s) { return s->signOn.serverName; }
const uint8_t* sessGetServerCaps(Sess_o* s) { return s->signOn.capabilities; }
const SessionConfig& sessGetConfig(Sess_o* s) { return s->config; }
CommObj* sessGetComm(Sess_o* s) { return &s->comm; }

void sessReleaseForCleanup(void* session) {
  if (session) TcpAbort(&static_cast<Sess_o*>(session)->comm);
}
