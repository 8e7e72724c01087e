// The transaction list: batching by the item limit, the MigrUpd content,
// server aborts, and the re-open and resend after a broken connection.
#include <gtest/gtest.h>

#include <cstring>

#include <unistd.h>

#include "server/cuverbs.h"
#include "server/txnlist.h"
#include "server/wire/bytes.h"
#include "tests/unit/server/fake_peer.h"

namespace {

// Serves transactions: reads verbs, answers each EndTxn with the next vote
// of `votes` (commit when they run out), until the connection ends or, on
// connection i, `breakAfter[i]` verbs have been read.
struct TxnServer {
  std::vector<std::pair<uint8_t, uint8_t>> votes;
  std::vector<size_t> breakAfter;  // per connection; missing or 0: never break
  bool acceptAgain = false;        // accept a re-open after each break
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
      p.answerSignOn(signOnRespVerb(0, "ZEF", 4));
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
  void start(TxnServer& server, uint32_t restartDuration = 1) {
    peer.run([&server](FakePeer& p) { server(p); });
    SessionConfig c = peerConfig(peer.port());
    c.commRestartDuration = restartDuration;
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

Attrib attribFor(int i) {
  Attrib a{};
  a.size = 1000u + i;
  a.inode = 500u + i;
  a.hsm.handleForm.handleLength = 2;
  a.hsm.handleForm.handle[0] = static_cast<uint8_t>(i);
  return a;
}

int queueUpdate(TxnList* l, int i, uint16_t flags = 3, int* result = nullptr) {
  fileSpec_t fs = specFor(i);
  Attrib a = attribFor(i);
  return hsmTlMigrObj(l, kTlKindUpdate, &fs, &a, flags, result);
}

std::vector<uint8_t> codesAfterSignOn(FakePeer& peer) {
  std::vector<uint8_t> codes = peer.receivedCodes();
  std::vector<uint8_t> out;
  for (uint8_t c : codes)
    if (c != 0x1A) out.push_back(c);
  return out;
}

// The codes once the peer has read `count` of them: a batch whose vote is
// not awaited reaches the peer thread a little later (bounded by 10 s).
std::vector<uint8_t> codesOnceReceived(FakePeer& peer, size_t count) {
  for (int i = 0; i < 1000 && codesAfterSignOn(peer).size() < count; ++i) usleep(10 * 1000);
  return codesAfterSignOn(peer);
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
  EXPECT_TRUE(codesAfterSignOn(f.peer).empty());
  ASSERT_EQ(queueUpdate(f.list.get(), 5), 0);
  const std::vector<uint8_t> firstBatch = {0x12, 0x31, 0x31, 0x31, 0x31, 0x13};
  EXPECT_EQ(codesOnceReceived(f.peer, firstBatch.size()), firstBatch);
  EXPECT_EQ(f.list->stats.committedUpdates, 0u);
  EXPECT_EQ(hsmTlAbort(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 4u);
  EXPECT_FALSE(f.list->votePending);
  f.stop();
  EXPECT_EQ(codesAfterSignOn(f.peer), firstBatch);
}

// What each item puts on the wire: the file space's id, the object id, the
// flags, the path below the file space and the item's attributes.
TEST(TransactionList, UpdatesAndDeletionCarryTheirItem) {
  TxnServer server;
  Fixture f;
  f.start(server);
  ASSERT_EQ(queueUpdate(f.list.get(), 1), 0);
  ASSERT_EQ(queueUpdate(f.list.get(), 2, 2), 0);  // the path only
  fileSpec_t fs = specFor(3);
  Attrib none{};
  ASSERT_EQ(hsmTlMigrDel(f.list.get(), &fs, &none), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  f.stop();
  const std::vector<Bytes> got = f.peer.received();
  ASSERT_EQ(got.size(), 6u);  // SignOn, BeginTxn, MigrUpd, MigrUpd, MigrDel, EndTxn

  const Bytes& upd = got[2];
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

  ASSERT_EQ(got[3].size(), 38u + 28 + 10);  // no attribute block
  EXPECT_EQ(Bytes(got[3].begin(), got[3].begin() + 22),
            Bytes({0, 76, 0x31, 0xA5, 0, 0, 0, 21, 0, 0, 0, 28, 0, 2, 0, 0, 0, 0, 0, 28, 0, 10}));
  const Bytes& del = got[4];
  ASSERT_EQ(del.size(), 71u);
  EXPECT_EQ(Bytes(del.begin(), del.begin() + 12), Bytes({0, 71, 0x33, 0xA5, 0, 0, 0, 21, 0, 0, 0, 28}));
  EXPECT_EQ(memcmp(&del[28], fs.objId.bytes, 28), 0);
  EXPECT_EQ(got[5], Bytes({0, 6, 0x13, 0xA5, 1, 0}));  // the client votes commit
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
      {.what = "five updates make two batches", .server = {}, .items = 5,
       .codes = {S, B, U, U, U, U, E, B, U, E}, .updates = {1, 2, 3, 4, 5}, .committed = 5},
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
