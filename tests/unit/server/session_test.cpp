// Against a scripted loopback peer: the session's life cycle, sign-on and
// receive checks, the query stream, the single-object query and the file
// space lookup, and the transaction list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "common/trace.h"
#include "server/cuverbs.h"
#include "server/fslookup.h"
#include "server/session.h"
#include "server/txnlist.h"
#include "server/wire/bytes.h"
#include "tests/support/verb_builder.h"
#include "tests/unit/server/fake_peer.h"

namespace {

SessionPtr newSession(const SessionConfig& c) { return SessionPtr(new_SessionObject(&c, 1)); }

// The transitions that fail the sign-on and verb tests at once are theirs to
// check; here the others.
TEST(SessionStates, TableAndLifeCycle) {
  EXPECT_EQ(sessNextState(opInitialise, sUninit), sInit);
  EXPECT_EQ(sessNextState(opInitialise, sTRANSERR), sInit);
  EXPECT_EQ(sessNextState(opInitialise, sSignedOn), sTRANSERR);
  EXPECT_EQ(sessNextState(opOpen, sOpened), sTRANSERR);
  EXPECT_EQ(sessNextState(opSignedOn, sOpened), sSignedOn);
  EXPECT_EQ(sessNextState(opClose, sTRANSERR), sTRANSERR);
  EXPECT_EQ(sessNextState(opTerminate, sInit), sUninit);
  EXPECT_EQ(sessNextState(opTerminate, sOpened), sTRANSERR);

  Sess_o* none = nullptr;
  delete_SessionObject(none);  // no effect on null
  SessionConfig c = peerConfig(1);
  Sess_o* s = new_SessionObject(&c, 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(sessGetState(s), sUninit);
  Sess_o* second = s;
  sessAddRef(second);
  delete_SessionObject(second);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(sessGetState(s), sUninit);  // still alive for the other holder
  delete_SessionObject(s);
  EXPECT_EQ(s, nullptr);
}

TEST(SessionStates, VerbInStateZeroOrErrorIsRefused) {
  SessionConfig c = peerConfig(1);
  SessionPtr s = newSession(c);
  uint8_t begin[4] = {0, 4, 0x12, 0xA5};
  EXPECT_EQ(sessSendVerb(s.get(), begin), 136);
  EXPECT_EQ(sessGetState(s.get()), sTRANSERR);
  EXPECT_EQ(sessSendVerb(s.get(), begin), 136);
  EXPECT_EQ(sessGetState(s.get()), sTRANSERR);
  uint8_t* verb;
  EXPECT_EQ(sessRecvVerb(s.get(), &verb), 136);
  EXPECT_EQ(sessGetState(s.get()), sTRANSERR);
}

TEST(SignOn, SendsNodeAndStoresTheAnswer) {
  FakePeer peer;
  peer.serve({}, signOnRespVerb(0, "SERVER16CHARSXYZ", 300));
  SessionConfig c = peerConfig(peer.port());
  c.tcp.serverAddress = "localhost";  // goes through name resolution
  c.nodeName = "Node_b";
  SessionPtr s = newSession(c);
  ASSERT_EQ(CheckSession(s.get(), 1), 0);
  EXPECT_TRUE(IsConnected(s.get()));  // signed on, and nothing unasked to read
  EXPECT_EQ(sessGetMaxObjsPerTxn(s.get()), 300);
  EXPECT_STREQ(sessGetServerName(s.get()), "SERVER16CHARSXYZ");  // the longest name taken
  EXPECT_EQ(sessGetServerCaps(s.get())[6], 0x16);
  EXPECT_EQ(CheckSession(s.get(), 1), 0);  // already signed on: no second sign-on
  Logoff(s.get());
  EXPECT_EQ(sessGetState(s.get()), sInit);
  peer.join();
  ASSERT_EQ(peer.received().size(), 1u);
  EXPECT_EQ(peer.received()[0], kmrtest::signOnVerb("NODE_B", "secret"));
}

TEST(SignOn, RefusalsAndBadAnswers) {
  Bytes nameOutside = signOnRespVerb(0, "S", 1);
  putU16(&nameOutside[4], 1);  // name offset 1 + length 1 runs past the verb
  const std::pair<Bytes, int> cases[] = {{signOnRespVerb(2, "Z"), 52},
                                         {signOnRespVerb(0, "SEVENTEEN-CHARSXX"), 136},
                                         {nameOutside, 136},
                                         {endTxnVerb(1, 0), 136}};
  for (const auto& [answer, expected] : cases) {
    SCOPED_TRACE(expected);
    FakePeer peer;
    peer.serve({}, answer);
    SessionPtr s = newSession(peerConfig(peer.port()));
    EXPECT_EQ(CheckSession(s.get(), 1), expected);
    EXPECT_EQ(sessGetState(s.get()), sInit);
    peer.join();
  }
}

TEST(SignOn, UnreachableServerIsAConnectionFailure) {
  uint16_t port;
  {
    FakePeer closed;  // take a free port, then close the listener
    port = closed.port();
  }
  SessionConfig c = peerConfig(port);
  SessionPtr s = newSession(c);
  EXPECT_EQ(CheckSession(s.get(), 1), -50);
  EXPECT_FALSE(IsConnected(s.get()));
}

Bytes verbOfLength(size_t len, uint8_t code = 0x55) {
  Bytes v(len, 0x61);
  putU16(v.data(), static_cast<uint16_t>(len));
  v[2] = code;
  v[3] = 0xA5;
  return v;
}

// A verb at the length limit is taken whole; one byte more, a length that
// does not cover its own header, a wrong magic byte or a peer that ends in
// the middle of a verb closes the session.
TEST(Receive, LimitsAndBrokenVerbs) {
  Bytes extLimit(0x100000, 0x62);
  const uint8_t extHead[12] = {0, 0, 8, 0xA5, 0, 0, 0, 0x77, 0, 0x10, 0, 0};
  memcpy(extLimit.data(), extHead, sizeof extHead);
  Bytes overShortLimit = verbOfLength(32769);
  Bytes cutShort = endTxnVerb(1, 0);
  putU16(cutShort.data(), 20);  // announces 20 bytes, sends 6
  struct Case {
    const char* what;
    bool largeBuffers;
    Bytes accepted;  // taken whole before the refused one
    Bytes refused;
    int rc;
  } cases[] = {
      {"one byte over the short form's limit", false, verbOfLength(32768), overShortLimit, 136},
      {"one byte over the large buffers' limit", true, extLimit, {0, 0, 8, 0xA5, 0, 0, 0, 0x77, 0, 0x10, 0, 1}, 136},
      {"short form's full range with large buffers", true, verbOfLength(0xFFFF), {0, 6, 0x13, 0xA6, 1, 0}, 136},
      {"extended form over the short form's limit", false, {}, {0, 0, 8, 0xA5, 0, 0, 0, 0x36, 0, 0, 0x80, 1}, 136},
      {"short length inside its header", false, {}, {0x00, 0x03, 0x36, 0xA5}, 136},
      {"extended length inside its header", false, {}, {0, 0, 8, 0xA5, 0, 0, 0, 0x36, 0, 0, 0, 11}, 136},
      {"wrong magic", false, {}, {0, 6, 0x13, 0xA6, 1, 0}, 136},
      {"peer ends inside the verb", false, {}, cutShort, -50},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer peer;
    SessionConfig c = peerConfig(0);
    c.largeBuffers = k.largeBuffers;
    SessionPtr s = signedOnSession(peer, [&k](FakePeer& p) {
      p.sendRaw(k.accepted);
      p.sendRaw(k.refused);
      p.closeConnection();
    }, c);
    uint8_t* verb;
    if (!k.accepted.empty()) {
      ASSERT_EQ(sessRecvVerb(s.get(), &verb), 0);
      EXPECT_EQ(memcmp(verb, k.accepted.data(), k.accepted.size()), 0);
    }
    EXPECT_EQ(sessRecvVerb(s.get(), &verb), k.rc);
    EXPECT_EQ(sessGetState(s.get()), sInit);
    EXPECT_FALSE(sessGetComm(s.get())->fd.valid());
    peer.join();
  }
}

TEST(Session, ReleaseForCleanupWakesTheServer) {
  FakePeer peer;
  bool sawEnd = false;
  SessionPtr s = signedOnSession(peer, [&](FakePeer& p) { sawEnd = p.readVerb().empty(); });
  sessReleaseForCleanup(s.get());
  peer.join();
  EXPECT_TRUE(sawEnd);
  uint8_t* verb;
  EXPECT_EQ(sessRecvVerb(s.get(), &verb), -58);
}

struct Answer {
  uint32_t fsId = 0;
  midExtObjId_t id{};
  std::string path;
  Attrib attr{};
  ServerAttrib srv{};
  int next(Sess_o* s) { return cuGetMigrQryResp(s, &fsId, &id, &path, &attr, &srv); }
};

TEST(QueryStream, EndVotesAndViolations) {
  struct Case {
    Bytes verb;
    int expected;
    bool closes;
  } cases[] = {
      {endTxnVerb(1, 0), 121, false},
      {endTxnVerb(2, 7), 7, false},
      {endTxnVerb(2, 0), 136, true},
      {signOnRespVerb(0, "X", 1), 136, true},
      {migrQryRespVerb(1, makeId(1), makeId(9), "/x"), 136, true},  // the two ids differ
  };
  for (const Case& k : cases) {
    FakePeer peer;
    SessionPtr s = signedOnSession(peer, [&](FakePeer& p) { p.sendRaw(k.verb); });
    Answer r;
    EXPECT_EQ(r.next(s.get()), k.expected);
    EXPECT_EQ(sessGetState(s.get()) != sSignedOn, k.closes);
    signOff(s, peer);
  }
}

TEST(SingleObject, OneAnswerKeepsHandleFormAndTwoAreRefused) {
  const midExtObjId_t id = makeId(4);
  Bytes answer = migrQryRespVerb(8, id, id, "/fs/h");
  // The handle form in the attribute block's HSM part (at 57 + 28 + 22 + 28).
  const uint8_t handleForm[36] = {0x8E, 0x7D, 0, 4, 0xD0};
  memcpy(&answer[57 + 28 + 22 + 28], handleForm, sizeof handleForm);
  for (int answers : {1, 2}) {
    SCOPED_TRACE(answers);
    FakePeer peer;
    SessionPtr s = signedOnSession(peer, [&](FakePeer& p) {
      p.expectVerb(0x12);
      Bytes item = p.expectVerb(0x35);
      ASSERT_EQ(item.size(), 53u);
      EXPECT_EQ(Bytes(item.begin(), item.begin() + 9), Bytes({0, 53, 0x35, 0xA5, 0, 0, 0, 28, 2}));
      EXPECT_EQ(memcmp(&item[25], id.bytes, 28), 0);
      for (int i = 0; i < answers; ++i) p.sendRaw(answer);
      p.sendRaw(endTxnVerb(1, 0));
    });
    Answer r;
    EXPECT_EQ(hlQryOneMigrObjGetHandle(s.get(), id, 2, &r.fsId, &r.path, &r.attr, &r.srv),
              answers == 1 ? 0 : 131);
    if (answers == 1) {
      EXPECT_EQ(r.fsId, 8u);
      EXPECT_EQ(r.path, "/fs/h");
      EXPECT_EQ(r.attr.hsm.handleForm.marker, 0x8E7D);
      EXPECT_EQ(r.attr.hsm.handleForm.handleLength, 4);
      EXPECT_EQ(r.attr.hsm.handleForm.handle[0], 0xD0);
    }
    signOff(s, peer);
  }
}

int fakeStats(const char*, FsStatistics* out) {
  out->type = "ext4";
  out->delimiter = '/';
  out->nameForm = 0;
  out->size1 = 1000;
  out->size2 = 400;
  return 0;
}

// A server that knows no file space until one is added; it records what the
// client asked and added.
struct FsServer {
  int addReason = 0;          // vote 2 with this reason for the add, 0 commits
  std::vector<Bytes> queries;
  Bytes add;
  void operator()(FakePeer& p) {
    bool known = false;
    for (;;) {
      Bytes v = p.readVerb();
      if (v.empty()) return;
      if (v[2] == 0xB3) {
        queries.push_back(v);
        if (known) {
          p.sendRaw(fsQryRespVerb(77, "/fs"));
          p.sendRaw(endTxnVerb(1, 0));
        } else {
          p.sendRaw(endTxnVerb(2, 2));
        }
      } else if (v[2] == 0xB0) {
        add = v;
      } else if (v[2] == 0x13) {
        known = addReason == 0 || addReason == 19;
        p.sendRaw(addReason ? endTxnVerb(2, static_cast<uint8_t>(addReason)) : endTxnVerb(1, 0));
      }
    }
  }
};

// An unknown file space is added and queried again; a Unicode session first
// asks for the plain name, then for the UTF-16 one. An add that the server
// refuses because another client added the space meanwhile (19) is no
// failure; another refusal is returned and asks no more.
TEST(FileSpaceLookup, AnUnknownFileSpaceIsAddedAndQueriedAgain) {
  const std::string utf16("\0/\0f\0s", 6);
  struct Case {
    const char* what;
    bool unicode;
    int addReason;  // 0: the add is committed
    std::string name;
    int rc;
    uint32_t fsId;
    std::vector<std::string> queried;  // the names of the FSQry verbs, in order
    std::vector<uint8_t> codes;
  } cases[] = {
      {"added", false, 0, "/fs", 0, 77, {"/fs", "/fs"}, {0x1A, 0xB3, 0x12, 0xB0, 0x13, 0xB3}},
      {"added in UTF-16", true, 0, "/fs", 0, 77, {"/fs", utf16, utf16},
       {0x1A, 0xB3, 0xB3, 0x12, 0xB0, 0x13, 0xB3}},
      {"added meanwhile, an empty name is /", false, 19, "", 0, 77, {"/", "/"},
       {0x1A, 0xB3, 0x12, 0xB0, 0x13, 0xB3}},
      {"add refused", false, 5, "", 5, 0, {"/"}, {0x1A, 0xB3, 0x12, 0xB0, 0x13}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    FsServer server;
    server.addReason = k.addReason;
    FakePeer peer;
    SessionConfig c = peerConfig(0);
    c.unicode = k.unicode;
    SessionPtr s = signedOnSession(peer, [&server](FakePeer& p) { server(p); }, c);
    fileSpec_t spec;
    spec.fsName = k.name;
    EXPECT_EQ(getfsID(s.get(), &spec, fakeStats), k.rc);
    EXPECT_EQ(spec.fsID, k.fsId);
    signOff(s, peer);
    std::vector<std::string> queried;
    for (const Bytes& q : server.queries) queried.push_back(fieldOf(q, 12, 8));
    EXPECT_EQ(queried, k.queried);
    EXPECT_EQ(peer.receivedCodes(), k.codes);
    // The add: its name form, both sizes and eight bytes of empty information.
    ASSERT_FALSE(server.add.empty());
    EXPECT_EQ(getU16(&server.add[17]), k.unicode ? 0x7000 : 0);
    EXPECT_EQ(getU32(&server.add[23]), 1000u);
    EXPECT_EQ(getU32(&server.add[31]), 400u);
    ASSERT_EQ(getU16(&server.add[14]), 8);
    const size_t info = 35 + getU16(&server.add[12]);
    EXPECT_EQ(Bytes(server.add.begin() + info, server.add.begin() + info + 8), Bytes(8, 0));
  }
}

TEST(FileSpaceLookup, ExistingSpaceWithOddInformationAndDisabledFlag) {
  FakePeer peer;
  SessionPtr s = signedOnSession(peer, [](FakePeer& p) {
    p.expectVerb(0xB3);
    p.sendRaw(fsQryRespVerb(12, "/fs", 5));
    p.sendRaw(endTxnVerb(1, 0));
  });
  fileSpec_t spec;
  spec.fsName = "/fs";
  EXPECT_EQ(getfsID(s.get(), &spec, fakeStats), 289);
  signOff(s, peer);

  TEST_DISABLEUNICODEFLAG.set = 1;
  EXPECT_EQ(fsCheckAdd(nullptr, FileSpaceInfo{"/fs", '/'}, &spec, fakeStats), 57);
  TEST_DISABLEUNICODEFLAG.set = 0;
}

// ---- the transaction list: batching by the item limit, the MigrUpd content,
// server aborts, and the re-open and resend after a broken connection.

// Serves transactions: reads verbs, answers each EndTxn with the next vote
// of `votes` (commit when they run out), until the connection ends or, on
// connection i, `breakAfter[i]` verbs have been read.
struct TxnServer {
  std::vector<std::pair<uint8_t, uint8_t>> votes;
  std::vector<size_t> breakAfter;  // per connection; missing or 0: never break
  bool acceptAgain = false;        // accept a re-open after each break
  uint16_t maxObjs = 4;            // the item limit the sign-on states
  void serveConnection(FakePeer& p, size_t limit) {
    size_t count = 0;
    for (;;) {
      if (limit && count == limit) {
        p.closeConnection();
        return;
      }
      Bytes v = p.readVerb();
      if (v.empty()) return;
      ++count;
      if (v[2] == 0x13) {
        auto vote = std::make_pair<uint8_t, uint8_t>(1, 0);
        if (!votes.empty()) {
          vote = votes.front();
          votes.erase(votes.begin());
        }
        p.sendRaw(endTxnVerb(vote.first, vote.second));
      }
    }
  }
  void operator()(FakePeer& p) {
    for (size_t n = 0; n == 0 || acceptAgain; ++n) {
      if (!p.accept()) return;
      p.answerSignOn(signOnRespVerb(0, "ZEF", maxObjs));
      size_t limit = n < breakAfter.size() ? breakAfter[n] : 0;
      serveConnection(p, limit);
      if (limit == 0) return;
    }
  }
};

struct ListDeleter {
  void operator()(TxnList* l) const { hsmTlDeleteTransaction(l); }
};
using ListPtr = std::unique_ptr<TxnList, ListDeleter>;

struct Fixture {
  FakePeer peer;
  SessionPtr session;
  ListPtr list;
  // `sendBuffer` > 0: verbs are sent in pieces of that many bytes.
  void start(TxnServer& server, uint32_t restartDuration = 1, uint32_t sendBuffer = 0) {
    peer.run([&server](FakePeer& p) { server(p); });
    SessionConfig c = peerConfig(peer.port());
    c.commRestartDuration = restartDuration;
    if (sendBuffer) c.tcp.buffSize = sendBuffer;
    session.reset(new_SessionObject(&c, 1));
    ASSERT_EQ(CheckSession(session.get(), 1), 0);
    list.reset(hsmTlNewTransaction(session.get(), nullptr, 0, nullptr));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(hsmTlInitialzeEx(list.get(), 1 << 20, sessGetMaxObjsPerTxn(session.get()), 0), 0);
    hsmTlSetTxnType(list.get(), kTlTypeHsm);
  }
  void stop() { signOff(session, peer); }
};

fileSpec_t specFor(int i) {
  fileSpec_t fs;
  fs.fsName = "/fs";
  fs.fsID = 21;
  fs.pathName = "/fs/dir/file" + std::to_string(i);
  fs.objId = makeId(static_cast<uint8_t>(i * 10));
  return fs;
}

int queueUpdate(TxnList* l, int i, uint16_t flags = 3, int* result = nullptr) {
  fileSpec_t fs = specFor(i);
  Attrib a{};
  a.size = 1000u + i;
  a.inode = 500u + i;
  a.hsm.handleForm.handleLength = 2;
  a.hsm.handleForm.handle[0] = static_cast<uint8_t>(i);
  return hsmTlMigrObj(l, kTlKindUpdate, &fs, &a, flags, result);
}

// The codes once the peer has read `count` verbs: a batch whose vote is not
// awaited reaches the peer thread a little later (polled for at most a
// minute: a hang guard, not a measure).
std::vector<uint8_t> codesOnceReceived(FakePeer& peer, size_t count) {
  for (int i = 0; i < 6000 && peer.receivedCodes().size() < count; ++i) usleep(10 * 1000);
  return peer.receivedCodes();
}

// A full list goes out whole; its vote is read only by the next flush (here
// an abort), so nothing counts as committed before, and the fifth update,
// still in the list, is never sent.
TEST(TransactionList, AFullListIsSentWholeAndItsVoteReadByTheNextFlush) {
  TxnServer server;
  Fixture f;
  f.start(server);
  EXPECT_EQ(f.list->itemLimit, 4u);
  for (int i = 1; i <= 4; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  EXPECT_EQ(f.peer.receivedCodes(), std::vector<uint8_t>{0x1A});  // the SignOn only
  ASSERT_EQ(queueUpdate(f.list.get(), 5), 0);
  const std::vector<uint8_t> firstBatch = {0x1A, 0x12, 0x31, 0x31, 0x31, 0x31, 0x13};
  EXPECT_EQ(codesOnceReceived(f.peer, firstBatch.size()), firstBatch);
  EXPECT_EQ(f.list->stats.committedUpdates, 0u);
  EXPECT_EQ(hsmTlAbort(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 4u);
  EXPECT_FALSE(f.list->votePending);
  f.stop();
  EXPECT_EQ(f.peer.receivedCodes(), firstBatch);
}

// What each item puts on the wire: the file space's id, the object id, the
// flags, the path below the file space and the item's attributes, each only
// when its flag says so; a deletion is padded to its fixed length. The items
// are those of a settled batch reused: a batch with attributes and longer
// paths, aborted once, went before, and nothing of it shows; the changes get
// a retry of their own and are resent as first sent. A send buffer smaller
// than the verbs sends each in pieces that arrive whole.
TEST(TransactionList, UpdatesAndDeletionCarryTheirItemAndNothingOfAReusedOne) {
  TxnServer server;
  server.votes = {{2, 9}, {1, 0}, {2, 9}};
  Fixture f;
  f.start(server, 1, 16);
  for (int i = 100; i < 104; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  ASSERT_EQ(queueUpdate(f.list.get(), 1), 0);
  ASSERT_EQ(queueUpdate(f.list.get(), 2, 2), 0);  // the path only
  ASSERT_EQ(queueUpdate(f.list.get(), 4, 1), 0);  // the attributes only
  fileSpec_t fs = specFor(3);
  Attrib none{};
  ASSERT_EQ(hsmTlMigrDel(f.list.get(), &fs, &none), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 7u);
  f.stop();
  const std::vector<Bytes> all = f.peer.received();
  // SignOn, the first batch twice (6 verbs each), then twice BeginTxn, three
  // MigrUpd, MigrDel, EndTxn.
  ASSERT_EQ(all.size(), 25u);
  const std::vector<Bytes> got(all.begin() + 19, all.end()), first(all.begin() + 13, all.begin() + 19);
  EXPECT_EQ(got, first);
  EXPECT_EQ(got[0], Bytes({0, 4, 0x12, 0xA5}));

  const Bytes& upd = got[1];
  ASSERT_EQ(upd.size(), 38u + 28 + 10 + 136);
  EXPECT_EQ(Bytes(upd.begin(), upd.begin() + 22),
            Bytes({0, 212, 0x31, 0xA5, 0, 0, 0, 21, 0, 0, 0, 28, 0, 3, 0, 38, 0, 136, 0, 28, 0, 10}));
  EXPECT_EQ(memcmp(&upd[38], specFor(1).objId.bytes, 28), 0);
  EXPECT_EQ(std::string(upd.begin() + 66, upd.begin() + 76), "/dir/file1");  // without the file space
  const size_t block = 76;
  EXPECT_EQ(getU32(&upd[block + 12]), 1001u);        // size, low word
  EXPECT_EQ(getU32(&upd[block + 22 + 24]), 501u);    // inode
  EXPECT_EQ(getU16(&upd[block + 22 + 28]), 0x8E7D);  // handle form marker set
  EXPECT_EQ(getU16(&upd[block + 22 + 30]), 2);
  EXPECT_EQ(upd[block + 22 + 32], 1);

  EXPECT_EQ(got[2], Bytes({0, 76, 0x31, 0xA5, 0, 0, 0, 21, 0, 0, 0, 28, 0, 2, 0, 0, 0, 0, 0, 28, 0, 10, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32,
                           33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, '/', 'd', 'i', 'r', '/',
                           'f', 'i', 'l', 'e', '2'}));  // no attribute block
  ASSERT_EQ(got[3].size(), 38u + 28 + 136);  // no path: the block right after the id
  EXPECT_EQ(Bytes(got[3].begin(), got[3].begin() + 22),
            Bytes({0, 202, 0x31, 0xA5, 0, 0, 0, 21, 0, 0, 0, 28, 0, 1, 0, 28, 0, 136, 0, 0, 0, 0}));
  EXPECT_EQ(getU32(&got[3][66 + 12]), 1004u);
  const Bytes& del = got[4];
  ASSERT_EQ(del.size(), 71u);
  EXPECT_EQ(Bytes(del.begin(), del.begin() + 12), Bytes({0, 71, 0x33, 0xA5, 0, 0, 0, 21, 0, 0, 0, 28}));
  EXPECT_EQ(memcmp(&del[28], fs.objId.bytes, 28), 0);
  EXPECT_EQ(Bytes(del.begin() + 56, del.end()), Bytes(15, 0));
  EXPECT_EQ(got[5], Bytes({0, 6, 0x13, 0xA5, 1, 0}));  // the client votes commit
}

// Once the vote on the batch in flight is in, the next batch goes to the
// server while it fills, not in one burst when it is full; the batches are
// those of a list that sends each whole.
TEST(TransactionList, TheNextBatchTravelsWhileItFillsOnceTheVoteIsIn) {
  TxnServer server;
  server.maxObjs = 1000;
  Fixture f;
  f.start(server);
  ASSERT_EQ(f.list->itemLimit, 1000u);
  for (int i = 1; i <= 1001; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  // SignOn, BeginTxn, 1000 MigrUpd, EndTxn.
  ASSERT_EQ(codesOnceReceived(f.peer, 1003).size(), 1003u);
  for (int i = 0; i < 6000 && !sessAnswerArrived(f.session.get()); ++i) usleep(10 * 1000);
  EXPECT_EQ(f.list->stats.committedUpdates, 0u);
  // 399 more updates (about 80 KB), the list far from full: the vote is
  // read and the second batch's updates go out beyond the send buffer.
  for (int i = 1002; i <= 1400; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 1000u);
  std::vector<uint8_t> early = codesOnceReceived(f.peer, 1100);
  ASSERT_GE(early.size(), 1100u);
  EXPECT_EQ(early[1003], 0x12);
  EXPECT_EQ(std::count(early.begin() + 1004, early.end(), 0x31), static_cast<long>(early.size() - 1004));

  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 1400u);
  EXPECT_EQ(f.list->stats.transactions, 2u);
  f.stop();
  std::vector<uint8_t> expected = {0x1A, 0x12};
  expected.insert(expected.end(), 1000, 0x31);
  expected.insert(expected.end(), {0x13, 0x12});
  expected.insert(expected.end(), 400, 0x31);
  expected.push_back(0x13);
  EXPECT_EQ(f.peer.receivedCodes(), expected);
}

int refuseReopen(int event, void*) { return event == kReopenStart ? 77 : 0; }

// The item number of each MigrUpd the peer read, in order (ids are
// makeId(10 * item)).
std::vector<int> updatedItems(FakePeer& peer) {
  std::vector<int> items;
  for (const Bytes& v : peer.received())
    if (v[2] == 0x31) items.push_back(v[38] / 10);
  return items;
}

// Aborts and broken connections while a list is flushed: what is sent again,
// what is counted, what the end reports.
TEST(TransactionList, AbortsAndBrokenConnectionsAreResentOrReported) {
  constexpr uint8_t S = 0x1A, B = 0x12, U = 0x31, E = 0x13;
  struct Case {
    const char* what;
    TxnServer server;
    int items;
    std::vector<uint8_t> codes;  // every verb the peer read, sign-ons included
    std::vector<int> updates;    // the items of those MigrUpd verbs
    int rc = 0;
    int itemResult = 0;  // what the first item's result says (-1: never set)
    uint64_t committed = 0;
    uint64_t reopens = 0;  // re-opens tried
    uint64_t aborted = 0;
    size_t connections = 1;
    uint32_t restartDuration = 1;
    TlCallback callback = nullptr;
  } cases[] = {
      {.what = "an abort is retried once", .server = {{{2, 9}}, {}, false}, .items = 1,
       .codes = {S, B, U, E, B, U, E}, .updates = {1, 1}, .committed = 1, .aborted = 1},
      {.what = "a second abort is reported", .server = {{{2, 9}, {2, 9}}, {}, false}, .items = 1,
       .codes = {S, B, U, E, B, U, E}, .updates = {1, 1}, .rc = 9, .itemResult = 9, .aborted = 2},
      // The first batch's vote is read only by the next flush.
      {.what = "an aborted batch in flight is resent before the next", .server = {{{2, 9}}, {}, false}, .items = 5,
       .codes = {S, B, U, U, U, U, E, B, U, U, U, U, E, B, U, E}, .updates = {1, 2, 3, 4, 1, 2, 3, 4, 5},
       .committed = 5, .aborted = 1},
      {.what = "the line drops as the batch's EndTxn goes out", .server = {{}, {5}, true}, .items = 5,
       .codes = {S, B, U, U, U, U, S, B, U, U, U, U, E, B, U, E}, .updates = {1, 2, 3, 4, 1, 2, 3, 4, 5},
       .committed = 5, .reopens = 1, .connections = 2},
      {.what = "the line drops inside the batch", .server = {{}, {3}, true}, .items = 3,
       .codes = {S, B, U, U, S, B, U, U, U, E}, .updates = {1, 2, 1, 2, 3},
       .committed = 3, .reopens = 1, .connections = 2},
      {.what = "the line drops again in the resend", .server = {{}, {2, 3}, true}, .items = 3,
       .codes = {S, B, U, S, B, U, U, S, B, U, U, U, E}, .updates = {1, 1, 2, 1, 2, 3},
       .committed = 3, .reopens = 2, .connections = 3},
      {.what = "without a restart duration the list gives up", .server = {{}, {2}, false}, .items = 2,
       .codes = {S, B, U}, .updates = {1}, .rc = -50, .itemResult = -1, .reopens = 1, .restartDuration = 0},
      {.what = "the re-open callback refuses", .server = {{}, {1}, false}, .items = 1,
       .codes = {S, B}, .updates = {}, .rc = 77, .itemResult = -1, .reopens = 1, .callback = refuseReopen},
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.what);
    Fixture f;
    f.start(k.server, k.restartDuration);
    f.list->callback = k.callback;
    int firstResult = -1;
    ASSERT_EQ(queueUpdate(f.list.get(), 1, 3, &firstResult), 0);
    for (int i = 2; i <= k.items; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
    EXPECT_EQ(hsmTlEnd(f.list.get()), k.rc);
    EXPECT_EQ(firstResult, k.itemResult);
    EXPECT_TRUE(f.list->items.empty());
    EXPECT_EQ(f.list->stats.committedUpdates, k.committed);
    EXPECT_EQ(f.list->stats.reopens, k.reopens);
    EXPECT_EQ(f.list->stats.aborted, k.aborted);
    f.stop();
    EXPECT_EQ(f.peer.receivedCodes(), k.codes);
    EXPECT_EQ(updatedItems(f.peer), k.updates);
    EXPECT_EQ(f.peer.connections(), k.connections);
  }
}

}  // namespace
