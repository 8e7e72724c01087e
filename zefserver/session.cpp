#include "zefserver/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "common/rc.h"
#include "zefserver/admission.h"
#include "zefserver/conn.h"
#include "zefserver/dataverbs.h"
#include "zefserver/objects.h"
#include "zefserver/password.h"
#include "zefserver/store.h"
#include "zefserver/wire.h"

namespace zef {

namespace {

// One change held until its transaction ends.
struct Change {
  uint32_t code;  // kVerbMigrUpd or kVerbMigrDel
  uint32_t fsId;
  ObjId id;
  uint16_t flags = 0;
  std::vector<uint8_t> attrs;
  std::string path;
};

std::vector<uint8_t> endTxnVerb(uint8_t vote, uint8_t reason) {
  VerbBuilder b(kVerbEndTxn, 6);
  b.u8(4, vote);
  b.u8(5, reason);
  return b.finish();
}

// 7-byte date: year (16 bit), month, day, hour, minute, second, in UTC.
void putDate(VerbBuilder& b, size_t off, int64_t when) {
  time_t t = static_cast<time_t>(when);
  struct tm tm {};
  gmtime_r(&t, &tm);
  b.u16(off, static_cast<uint16_t>(tm.tm_year + 1900));
  b.u8(off + 2, static_cast<uint8_t>(tm.tm_mon + 1));
  b.u8(off + 3, static_cast<uint8_t>(tm.tm_mday));
  b.u8(off + 4, static_cast<uint8_t>(tm.tm_hour));
  b.u8(off + 5, static_cast<uint8_t>(tm.tm_min));
  b.u8(off + 6, static_cast<uint8_t>(tm.tm_sec));
}

constexpr uint32_t kMgmtClassId = 1;
constexpr uint8_t kMediaClassFixed = 16;

class Session {
 public:
  Session(int fd, const std::string& peer, ServerShared& sh, SessionLink& link)
      : conn_(fd), peer_(peer), sh_(sh), cfg_(sh.cfg), link_(link), id_(++sh.sessionIds) {}
  ~Session() {
    dropHeld();
    if (holdsSessionSlot_) --sh_.signedOn;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void run() {
    std::string why = "peer closed";
    signOnDeadline_ = Conn::Clock::now() + std::chrono::seconds(cfg_.signOnTimeoutSec);
    try {
      conn_.setSendTimeout(cfg_.idleTimeoutSec);
      conn_.start(sh_.tls, cfg_.tlsOnly, signOnDeadline_);
      store_ = Store::open(cfg_.dbPath);
      data_ = std::make_unique<DataVerbs>(
          *store_, sh_.dataDir, [this](uint32_t fsId) { return ownsFileSpace(fsId); },
          [this](const std::vector<uint8_t>& verb) { answer(verb); }, sh_.log, id_);
      data_->setFaults({cfg_.faults.dataWriteFailPathPart, cfg_.faults.batchSyncFailAt, cfg_.faults.dieInBatchAt});
      data_->setSendFile([this](const std::vector<uint8_t>& head, int fd, uint64_t offset, size_t len) {
        if (!conn_.sendFromFile(head, fd, offset, len)) return false;
        ++answers_;
        return true;
      });
      auto deadline = [&] {
        return signedOn_ ? Conn::Clock::now() + std::chrono::seconds(cfg_.idleTimeoutSec) : signOnDeadline_;
      };
      // Only a store in progress takes chunks longer than a normal verb.
      auto limit = [&] { return data_->busy() ? DataVerbs::kMaxChunkVerbLen : kMaxVerbLen; };
      for (;;) {
        // Group commit: stores that ended wait for the batch until the
        // client has nothing more on its way (docs/protocol.md).
        if (data_->settlesWhenIdle() && !conn_.inputPending()) data_->settle();
        auto v = conn_.readVerb(deadline(), limit());
        if (!v) break;
        ++verbsIn_;
        if (!dispatch(*v)) break;
      }
      conn_.flush();
    } catch (const SessionEnd& e) {
      why = e.why;
    } catch (const StoreError& e) {
      why = std::string("store failure: ") + e.what();
    } catch (const std::exception& e) {
      why = std::string("internal failure: ") + e.what();
    }
    if (!endReason_.empty()) why = endReason_;
    sh_.log.line("session %llu peer %s node %s ended (%s): %llu verbs in, %llu answers out",
                 static_cast<unsigned long long>(id_), peer_.c_str(), node_.empty() ? "-" : node_.c_str(),
                 why.c_str(), static_cast<unsigned long long>(verbsIn_), static_cast<unsigned long long>(answers_));
  }

 private:
  // Returns false when the session is to end (the reason is in endReason_).
  bool dispatch(const VerbView& v) {
    if (!signedOn_) {
      if (v.code() != kVerbSignOn) return protocolError(v, "verb before sign-on");
      return signOn(v);
    }
    if (data_->busy() || DataVerbs::isDataVerb(v.code())) {
      if (inTxn_) return protocolError(v, "data verb inside a transaction");
      if (const char* error = data_->handle(v)) return protocolError(v, error);
      return true;
    }
    // Answers keep the order of the requests.
    data_->settle();
    switch (v.code()) {
      case kVerbBeginTxn:
        if (inTxn_) return protocolError(v, "BeginTxn inside a transaction");
        beginTxn();
        return true;
      case kVerbEndTxn: return endTxn(v);
      case kVerbFSQry: return fsQry(v);
      case kVerbFSAdd: return fsAdd(v);
      case kVerbMigrQryAll: return migrQryAll(v);
      case kVerbMigrQryItem: return migrQryItem(v);
      case kVerbMigrUpd:
      case kVerbMigrDel: return change(v);
      default: return protocolError(v, "unexpected verb");
    }
  }

  bool protocolError(const VerbView& v, const char* what) {
    char buf[96];
    snprintf(buf, sizeof buf, "protocol error: %s (verb 0x%X, %zu bytes)", what, v.code(), v.size());
    endReason_ = buf;
    return false;
  }

  void delay() {
    if (cfg_.faults.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(cfg_.faults.delayMs));
  }

  void answer(const std::vector<uint8_t>& verb) {
    conn_.send(verb);
    ++answers_;
  }

  void beginTxn() {
    inTxn_ = true;
    txnFailReason_ = 0;
    dropHeld();
  }

  // Every sign-on waits its turn for a password check (fairly by source,
  // zefserver/admission.h). A refusal is answered at once and ends the
  // connection; what slows guessing is the wait of the source's next check.
  // Unknown nodes cost a check like known ones, so the answer's timing does
  // not tell which nodes exist.
  bool signOn(const VerbView& v) {
    if (!v.has(26, 16)) return protocolError(v, "short SignOn");
    auto node = v.field(11, 42);
    auto password = v.field(20, 42);
    if (!node || !password) return protocolError(v, "SignOn field outside the verb");
    std::string name;
    for (uint8_t c : *node) name.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
    int phase = SessionLink::kConnected;
    if (!link_.phase.compare_exchange_strong(phase, SessionLink::kSignOnSent))
      return endWith("gave way to a newer connection");
    const std::string source = sourceOf(peer_);
    const uint8_t asked = v.u8(kSignOnJoinCapability);
    if (asked & kJoinWithTicket) return joinSignOn(name, source, *password);
    if (!sh_.checks.enter(source, sh_.knownSources.known(source), signOnDeadline_))
      return endWith("timed out waiting for a password check");
    // A client that went away while it waited (a killed run) gets no check:
    // its turn would only delay the next sign-on from the same address.
    if (conn_.peerGone()) {
      sh_.checks.leave(source, false, cfg_.failDelayMs);
      return endWith("peer closed before its password check");
    }
    std::string why;
    try {
      why = checkSignOn(name, asString(*password));
    } catch (...) {
      sh_.checks.leave(source, true, cfg_.failDelayMs);
      throw;
    }
    auto wait = sh_.checks.leave(source, !why.empty(), cfg_.failDelayMs);
    if (!why.empty()) {
      sh_.log.line("session %llu peer %s: sign-on refused for node %s (%s); the next check from %s waits %lld ms",
                   static_cast<unsigned long long>(id_), peer_.c_str(), name.c_str(), why.c_str(), source.c_str(),
                   static_cast<long long>(wait.count()));
    } else {
      phase = SessionLink::kSignOnSent;
      if (!link_.phase.compare_exchange_strong(phase, SessionLink::kSignedOn))
        return endWith("gave way to a newer connection");
      if (!takeSessionSlot())
        return endWith("sign-on of node " + name + " closed: " + std::to_string(cfg_.maxSessions) +
                       " sessions already running");
      sh_.knownSources.remember(source);
    }
    std::optional<JoinTicket> ticket;
    if (why.empty() && (asked & kAskJoinTicket)) ticket = sh_.joinTickets.issue(name, source, JoinTickets::Clock::now());
    return answerSignOn(name, why, ticket);
  }

  // A sign-on that shows a join ticket instead of the password: no password
  // check, so it does not wait for one either. A refusal is answered like
  // any other; it slows nobody's next check, since a ticket cannot be
  // guessed and costs the server nothing to look up.
  bool joinSignOn(const std::string& name, const std::string& source, std::span<const uint8_t> ticket) {
    int phase = SessionLink::kSignOnSent;
    std::string why;
    if (!sh_.joinTickets.redeem(name, source, ticket, JoinTickets::Clock::now())) {
      why = "join ticket not good";
      sh_.log.line("session %llu peer %s: sign-on refused for node %s (%s)", static_cast<unsigned long long>(id_),
                   peer_.c_str(), name.c_str(), why.c_str());
    } else {
      if (!link_.phase.compare_exchange_strong(phase, SessionLink::kSignedOn))
        return endWith("gave way to a newer connection");
      if (!takeSessionSlot())
        return endWith("sign-on of node " + name + " closed: " + std::to_string(cfg_.maxSessions) +
                       " sessions already running");
      sh_.log.line("session %llu peer %s: node %s joined with a one-time ticket", static_cast<unsigned long long>(id_),
                   peer_.c_str(), name.c_str());
    }
    return answerSignOn(name, why, std::nullopt);
  }

  // SignOnResp; with `ticket`, bit kAskJoinTicket of the last capability
  // byte is set and the ticket's bytes end the verb, after the name.
  bool answerSignOn(const std::string& name, const std::string& why, std::optional<JoinTicket> ticket) {
    delay();
    VerbBuilder b(kVerbSignOnResp, 18);
    b.addField(4, asBytes(cfg_.serverName));
    b.u8(8, why.empty() ? 0 : kSignOnRefused);
    b.u16(16, cfg_.maxTxnObjects);
    if (ticket) {
      b.u8(kSignOnRespJoinCapability, kAskJoinTicket);
      b.append(*ticket);
    }
    answer(b.finish());
    if (!why.empty()) return endWith("sign-on refused for node " + name);
    node_ = name;
    signedOn_ = true;
    return true;
  }

  bool endWith(const std::string& why) {
    endReason_ = why;
    return false;
  }

  // One of the cfg_.maxSessions places of signed-on sessions.
  bool takeSessionSlot() {
    unsigned n = sh_.signedOn.load();
    do {
      if (n >= cfg_.maxSessions) return false;
    } while (!sh_.signedOn.compare_exchange_weak(n, n + 1));
    holdsSessionSlot_ = true;
    return true;
  }

  // A hash of a password no one knows, made once: what an unknown node's
  // sign-on is checked against.
  static const std::string& decoyHash() {
    static const std::string h = hashPassword(std::string(32, '\x7f') + std::to_string(getpid()));
    return h;
  }

  // Empty when `name` may sign on with `password`, else why not (for the log
  // only: the client learns nothing but the refusal). Runs in its turn of
  // the check queue.
  std::string checkSignOn(const std::string& name, const std::string& password) {
    if (name.empty()) return "empty node name";
    if (password.empty()) return "empty password";
    if (password.size() > kMaxPasswordLen) return "password too long";
    auto hash = store_->passwordHash(name);
    if (!hash && cfg_.openRegistration) return registerAtSignOn(name, password);
    if (!hash || hash->empty()) {
      verifyPassword(decoyHash(), password);
      return !hash ? "unknown node" : "node has no password";
    }
    return verifyPassword(*hash, password) ? "" : "wrong password";
  }

  std::string registerAtSignOn(const std::string& name, const std::string& password) {
    try {
      if (name.size() > 64 || name.find_first_of(std::string("\0 \t", 3)) != std::string::npos)
        return "node name not registrable";
      checkPasswordText(password);
      std::string hash = hashPassword(password);
      if (!store_->registerNode(name, hash)) return "node registered by another session meanwhile";
    } catch (const PasswordError& e) {
      return e.what();
    }
    sh_.log.line("session %llu registered node %s", static_cast<unsigned long long>(id_), name.c_str());
    return "";
  }

  // A session sees and changes only the file spaces of the node it signed
  // on as. File spaces never change owner, so a yes is remembered.
  bool ownsFileSpace(uint32_t fsId) {
    if (std::find(ownFs_.begin(), ownFs_.end(), fsId) != ownFs_.end()) return true;
    auto fs = store_->fileSpaceById(fsId);
    if (!fs || fs->node != node_) return false;
    if (ownFs_.size() < 1024) ownFs_.push_back(fsId);
    return true;
  }

  bool fsQry(const VerbView& v) {
    auto node = v.field(4, 12);
    auto name = v.field(8, 12);
    if (!node || !name) return protocolError(v, "FSQry field outside the verb");
    std::optional<FileSpace> fs;
    if (sameNode(asString(*node))) fs = store_->findFileSpace(node_, asString(*name));
    delay();
    if (!fs) {
      answer(endTxnVerb(kVoteAbort, RC_NO_MATCH));
      return true;
    }
    VerbBuilder b(kVerbFSQryResp, 53);
    b.addField(4, asBytes(fs->name));
    b.u32(8, fs->id);
    b.addField(12, asBytes(fs->type));
    b.addField(16, fs->info);
    b.u8(20, fs->delimiter);
    b.u16(21, fs->nameForm);
    putDate(b, 23, fs->created);
    putDate(b, 30, fs->created);
    answer(b.finish());
    answer(endTxnVerb(kVoteCommit, 0));
    return true;
  }

  bool fsAdd(const VerbView& v) {
    if (!inTxn_) return protocolError(v, "FSAdd outside a transaction");
    if (!v.has(27, 8)) return protocolError(v, "short FSAdd");
    auto name = v.field(4, 35);
    auto type = v.field(8, 35);
    auto info = v.field(12, 35);
    if (!name || !type || !info) return protocolError(v, "FSAdd field outside the verb");
    FileSpace fs;
    fs.node = node_;
    fs.name = asString(*name);
    fs.type = asString(*type);
    fs.info.assign(info->begin(), info->end());
    fs.delimiter = v.u8(16);
    fs.nameForm = v.u16(17);
    fs.size1 = static_cast<uint64_t>(v.u32(19)) << 32 | v.u32(23);
    fs.size2 = static_cast<uint64_t>(v.u32(27)) << 32 | v.u32(31);
    if (fs.name.empty()) failTxn(RC_BAD_CHANGE);
    else if (fsAdds_.size() >= cfg_.maxTxnObjects || !hold(fs.name.size() + fs.type.size() + fs.info.size() + sizeof fs))
      failTxn(RC_TOO_MANY_CHANGES);
    else fsAdds_.push_back(std::move(fs));
    return true;
  }

  void failTxn(uint8_t reason) {
    if (!txnFailReason_) txnFailReason_ = reason;
  }

  // Builds the answer for one object in the configured form.
  std::vector<uint8_t> objectAnswer(const StoredObject& o, uint32_t fsId) {
    ObjId id = makeObjId(fsId, o.objNum);
    std::vector<uint8_t> block = answerBlock(o.attrs, id, cfg_.enhancedAnswers);
    if (!cfg_.faults.badAttrPathPart.empty() && o.path.find(cfg_.faults.badAttrPathPart) != std::string::npos &&
        !block.empty())
      block[0] = kUnknownAttrMajor;
    uint32_t hi = static_cast<uint32_t>(o.objNum >> 32), lo = static_cast<uint32_t>(o.objNum);
    if (cfg_.enhancedAnswers) {
      VerbBuilder b(kVerbMigrQryRespEnh, 69);
      b.u32(4, fsId);
      b.addField(8, id);
      b.u32(13, kMgmtClassId);
      b.u32(29, hi);  // restore order words 1-3 stay 0, 4 and 5 the object number
      b.u32(33, lo);
      b.u8(37, kMediaClassFixed);
      b.addField(49, asBytes(o.path));
      b.addField(45, block);
      return b.finish();
    }
    VerbBuilder b(kVerbMigrQryResp, 57);
    b.u32(4, fsId);
    b.addField(8, id);
    b.u32(13, kMgmtClassId);
    b.u32(17, hi);
    b.u32(21, lo);
    b.addField(37, asBytes(o.path));
    b.addField(33, block);
    return b.finish();
  }

  // Queries answer inside the client's transaction and end it with their own
  // EndTxn; held changes would be lost, so that is refused.
  bool queryAllowed(const VerbView& v) {
    if (!inTxn_) return protocolError(v, "query outside a transaction");
    if (!changes_.empty() || !fsAdds_.empty()) return protocolError(v, "query inside a transaction with changes");
    return true;
  }

  bool migrQryAll(const VerbView& v) {
    if (!queryAllowed(v)) return false;
    if (!v.has(4, 6)) return protocolError(v, "short MigrQryAll");
    uint32_t fsId = v.u32(4);
    inTxn_ = false;
    delay();
    if (!ownsFileSpace(fsId)) {
      answer(endTxnVerb(kVoteAbort, RC_NO_MATCH));
      return true;
    }
    auto cursor = store_->scan(fsId);
    StoredObject o;
    uint64_t sent = 0;
    while (cursor->next(o)) {
      answer(objectAnswer(o, fsId));
      ++sent;
      if (cfg_.faults.queryCloseAfter && sent == cfg_.faults.queryCloseAfter &&
          !sh_.queryCloseFired.exchange(true)) {
        conn_.flush();
        if (cfg_.faults.queryCloseAfterUpdates &&
            !sh_.waitCommittedUpdates(cfg_.faults.queryCloseAfterUpdates, std::chrono::minutes(1)))
          sh_.log.line("session %llu: fault: %llu updates were not committed within a minute",
                       static_cast<unsigned long long>(id_),
                       static_cast<unsigned long long>(cfg_.faults.queryCloseAfterUpdates));
        endReason_ = "fault: query closed after " + std::to_string(sent) + " answers";
        return false;
      }
    }
    if (cfg_.faults.queryAbortReason) answer(endTxnVerb(kVoteAbort, cfg_.faults.queryAbortReason));
    else if (sent == 0) answer(endTxnVerb(kVoteAbort, RC_NO_MATCH));
    else answer(endTxnVerb(kVoteCommit, 0));
    return true;
  }

  bool migrQryItem(const VerbView& v) {
    if (!queryAllowed(v)) return false;
    auto id = v.field(4, 25);
    if (!id || id->size() != kObjIdLen) return protocolError(v, "MigrQryItem id is not 28 bytes");
    inTxn_ = false;
    delay();
    std::optional<StoredObject> o;
    if (auto parts = parseObjId(*id)) o = store_->objectByNum(parts->objNum);
    if (o && (o->fsId != parseObjId(*id)->fsId || !ownsFileSpace(o->fsId))) o.reset();
    if (!o) {
      answer(endTxnVerb(kVoteAbort, RC_NO_MATCH));
      return true;
    }
    answer(objectAnswer(*o, o->fsId));
    answer(endTxnVerb(kVoteCommit, 0));
    return true;
  }

  bool change(const VerbView& v) {
    if (!inTxn_) return protocolError(v, "change outside a transaction");
    ++changesSeen_;
    if (cfg_.faults.changeCloseAt && changesSeen_ == cfg_.faults.changeCloseAt &&
        !sh_.changeCloseFired.exchange(true)) {
      endReason_ = "fault: change session closed at change " + std::to_string(changesSeen_);
      return false;
    }
    bool upd = v.code() == kVerbMigrUpd;
    if (!v.has(4, upd ? 34 : 24)) return protocolError(v, "short change verb");
    auto id = v.field(8, upd ? 38 : 28);
    if (!id || id->size() != kObjIdLen) return protocolError(v, "change id is not 28 bytes");
    Change c;
    c.code = v.code();
    c.fsId = v.u32(4);
    std::memcpy(c.id.data(), id->data(), kObjIdLen);
    if (upd) {
      c.flags = v.u16(12);
      if (c.flags & 1) {
        auto block = v.field(14, 38);
        if (!block) return protocolError(v, "attribute block outside the verb");
        c.attrs.assign(block->begin(), block->end());
        if (!attrBlockWellFormed(c.attrs)) failTxn(RC_BAD_CHANGE);
      }
      if (c.flags & 2) {
        auto path = v.field(18, 38);
        if (!path) return protocolError(v, "path name outside the verb");
        c.path = asString(*path);
        if (c.path.empty()) failTxn(RC_BAD_CHANGE);
      }
    }
    if (changes_.size() >= cfg_.maxTxnObjects || !hold(c.attrs.size() + c.path.size() + sizeof c))
      failTxn(RC_TOO_MANY_CHANGES);
    else
      changes_.push_back(std::move(c));
    return true;
  }

  bool endTxn(const VerbView& v) {
    if (!v.has(4, 2)) return protocolError(v, "short EndTxn");
    uint8_t vote = v.u8(4), reason = v.u8(5);
    uint64_t n = ++sh_.endTxnCount;
    const Faults& f = cfg_.faults;
    if (f.endTxnCloseAt && n == f.endTxnCloseAt) {
      endReason_ = "fault: closed at EndTxn " + std::to_string(n);
      return false;
    }
    delay();
    uint8_t outVote = kVoteCommit, outReason = 0;
    if (vote != kVoteCommit) {
      outVote = kVoteAbort;
      outReason = reason;
    } else if (f.endTxnAbortAt && n == f.endTxnAbortAt) {
      outVote = kVoteAbort;
      outReason = f.abortReason;
    } else if (f.voidChangesReason && !changes_.empty()) {
      outVote = kVoteAbort;
      outReason = f.voidChangesReason;
    } else if (txnFailReason_) {
      outVote = kVoteAbort;
      outReason = txnFailReason_;
    } else {
      outReason = apply();
      if (outReason) outVote = kVoteAbort;
    }
    if (outVote != kVoteCommit && (!changes_.empty() || !fsAdds_.empty()))
      sh_.log.line("session %llu transaction aborted, reason %u: %zu changes, %zu file spaces discarded",
                   static_cast<unsigned long long>(id_), outReason, changes_.size(), fsAdds_.size());
    inTxn_ = false;
    dropHeld();
    txnFailReason_ = 0;
    answer(endTxnVerb(outVote, outReason));
    return true;
  }

  // Applies the held changes in one database transaction. Returns 0 when
  // committed, else the abort reason (nothing applied).
  uint8_t apply() {
    if (changes_.empty() && fsAdds_.empty()) return 0;
    size_t upd = 0, del = 0;
    try {
      Store::WriteTxn txn(*store_);
      for (const FileSpace& fs : fsAdds_) {
        if (store_->findFileSpace(fs.node, fs.name)) return RC_ALREADY_EXISTS;
        store_->addFileSpace(fs);
      }
      for (const Change& c : changes_) {
        if (uint8_t reason = applyChange(c)) return reason;
        ++(c.code == kVerbMigrDel ? del : upd);
      }
      txn.commit();
      sh_.noteCommittedUpdates(upd);
      removeDeletedData();
    } catch (const StoreError& e) {
      sh_.log.line("session %llu store failure: %s", static_cast<unsigned long long>(id_), e.what());
      return RC_STORE_FAILURE;
    }
    sh_.log.line("session %llu node %s transaction committed: %zu updates, %zu deletes, %zu file spaces",
                 static_cast<unsigned long long>(id_), node_.c_str(), upd, del, fsAdds_.size());
    return 0;
  }

  // The data of deleted objects goes once their deletion is committed; a
  // crash before leaves files for the next collection.
  void removeDeletedData() {
    if (!sh_.dataDir) return;
    for (const Change& c : changes_)
      if (c.code == kVerbMigrDel)
        if (auto parts = parseObjId(c.id)) sh_.dataDir->remove(parts->objNum);
  }

  bool sameNode(const std::string& asked) const {
    if (asked.size() != node_.size()) return false;
    for (size_t i = 0; i < asked.size(); ++i) {
      char c = asked[i];
      if ((c >= 'a' && c <= 'z' ? c - 32 : c) != node_[i]) return false;
    }
    return true;
  }

  // What transactions may hold in memory before their EndTxn: the
  // transaction size bounds the count, these the bytes of one session and of
  // all, so that sessions sending maximum-size changes cannot grow the
  // server without limit.
  static constexpr size_t kMaxHeldBytes = 32u << 20;
  static constexpr size_t kMaxHeldBytesAll = 256u << 20;

  // Counts `bytes` more held by this session; false (nothing counted) when
  // that would pass either limit.
  bool hold(size_t bytes) {
    if (heldBytes_ + bytes > kMaxHeldBytes) return false;
    size_t all = sh_.heldBytes.load();
    do {
      if (all + bytes > kMaxHeldBytesAll) return false;
    } while (!sh_.heldBytes.compare_exchange_weak(all, all + bytes));
    heldBytes_ += bytes;
    return true;
  }

  void dropHeld() {
    changes_.clear();
    fsAdds_.clear();
    sh_.heldBytes -= heldBytes_;
    heldBytes_ = 0;
  }

  // One change inside the open write transaction: 0, or the abort reason.
  // The common case is one statement; only a refused change looks further
  // to tell why.
  uint8_t applyChange(const Change& c) {
    auto parts = parseObjId(c.id);
    if (!parts) return RC_UNKNOWN_OBJECT;
    // Another node's objects do not exist for this session.
    if (!ownsFileSpace(parts->fsId)) return RC_UNKNOWN_OBJECT;
    if (parts->fsId != c.fsId) {
      auto o = store_->objectByNum(parts->objNum);
      return (!o || o->fsId != parts->fsId) ? RC_UNKNOWN_OBJECT : RC_WRONG_FILE_SPACE;
    }
    if (c.code == kVerbMigrDel) return store_->deleteObject(parts->objNum, parts->fsId) ? 0 : RC_UNKNOWN_OBJECT;
    // The object must still fit into an answer of either form.
    const size_t maxRecord = kMaxVerbLen - 69 - kObjIdLen;
    switch (store_->changeObject(parts->objNum, parts->fsId, (c.flags & 1) ? &c.attrs : nullptr,
                                 (c.flags & 2) ? &c.path : nullptr, maxRecord)) {
      case ChangeResult::kChanged: return 0;
      case ChangeResult::kTooLarge: return RC_BAD_CHANGE;
      case ChangeResult::kNoSuchObject: break;
    }
    return RC_UNKNOWN_OBJECT;
  }

  Conn conn_;
  std::string peer_;
  ServerShared& sh_;
  const ServerConfig& cfg_;
  SessionLink& link_;
  uint64_t id_;
  Conn::Clock::time_point signOnDeadline_;
  bool holdsSessionSlot_ = false;
  std::unique_ptr<Store> store_;
  std::unique_ptr<DataVerbs> data_;
  std::string node_;
  bool signedOn_ = false;
  bool inTxn_ = false;
  uint8_t txnFailReason_ = 0;
  std::vector<Change> changes_;
  std::vector<FileSpace> fsAdds_;
  size_t heldBytes_ = 0;
  std::vector<uint32_t> ownFs_;
  uint64_t changesSeen_ = 0;
  uint64_t verbsIn_ = 0, answers_ = 0;
  std::string endReason_;
};

}  // namespace

void runSession(int fd, const std::string& peer, ServerShared& shared, SessionLink& link) {
  auto s = std::make_unique<Session>(fd, peer, shared, link);
  s->run();
}

}  // namespace zef
