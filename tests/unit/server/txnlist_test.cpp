// The transaction list: batching by the item limit, the MigrUpd content,
// server aborts, and the re-open and resend after a broken connection.
#include <gtest/gtest.h>

#include <algorithm>
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
      p.answerSignOn(0, "ZEF", maxObjs);
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

TEST(TransactionList, ItemLimitSplitsTheBatch) {
  TxnServer server;
  Fixture f;
  f.start(server);
  EXPECT_EQ(f.list->itemLimit, 4u);
  for (int i = 1; i <= 4; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  // Nothing reaches the server before the list is full: the changes gather
  // in the session's send buffer.
  EXPECT_TRUE(codesAfterSignOn(f.peer).empty());
  ASSERT_EQ(queueUpdate(f.list.get(), 5), 0);
  // The full batch went out whole; its vote is read by the next flush, so
  // nothing counts as committed yet.
  const std::vector<uint8_t> firstBatch = {0x12, 0x31, 0x31, 0x31, 0x31, 0x13};
  EXPECT_EQ(codesOnceReceived(f.peer, firstBatch.size()), firstBatch);
  EXPECT_EQ(f.list->stats.committedUpdates, 0u);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 5u);
  std::vector<uint8_t> all = firstBatch;
  all.insert(all.end(), {0x12, 0x31, 0x13});
  EXPECT_EQ(codesAfterSignOn(f.peer), all);
  f.stop();

  // The fifth update is the one sent at the end, with its own content.
  std::vector<Bytes> got = f.peer.received();
  const Bytes& upd = got[got.size() - 2];
  fileSpec_t fs = specFor(5);
  EXPECT_EQ(getU32(&upd[4]), 21u);
  EXPECT_EQ(memcmp(&upd[38], fs.objId.bytes, 28), 0);
  EXPECT_EQ(getU16(&upd[12]), 3);
  ASSERT_EQ(getU16(&upd[18]), 28);
  std::string path(upd.begin() + 38 + 28, upd.begin() + 38 + 28 + getU16(&upd[20]));
  EXPECT_EQ(path, "/dir/file5");  // without the file space part
  size_t block = 38 + getU16(&upd[14]);
  ASSERT_EQ(getU16(&upd[16]), 136);
  EXPECT_EQ(getU32(&upd[block + 12]), 1005u);            // size, low word
  EXPECT_EQ(getU32(&upd[block + 22 + 24]), 505u);        // inode
  EXPECT_EQ(getU16(&upd[block + 22 + 28]), 0x8E7D);      // handle form marker set
  EXPECT_EQ(getU16(&upd[block + 22 + 30]), 2);
  EXPECT_EQ(upd[block + 22 + 32], 5);
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
  ASSERT_EQ(codesOnceReceived(f.peer, 1002).size(), 1002u);  // BeginTxn, 1000 MigrUpd, EndTxn
  for (int i = 0; i < 1000 && !sessAnswerArrived(f.session.get()); ++i) usleep(10 * 1000);
  EXPECT_EQ(f.list->stats.committedUpdates, 0u);
  // 399 more changes (about 80 KB), the list far from full: the vote is
  // read and the second batch's changes go out beyond the send buffer.
  for (int i = 1002; i <= 1400; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 1000u);
  std::vector<uint8_t> early = codesOnceReceived(f.peer, 1100);
  ASSERT_GE(early.size(), 1100u);
  EXPECT_EQ(early[1002], 0x12);
  EXPECT_EQ(std::count(early.begin() + 1003, early.end(), 0x31), static_cast<long>(early.size() - 1003));

  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 1400u);
  EXPECT_EQ(f.list->stats.transactions, 2u);
  f.stop();
  std::vector<uint8_t> expected = {0x12};
  expected.insert(expected.end(), 1000, 0x31);
  expected.insert(expected.end(), {0x13, 0x12});
  expected.insert(expected.end(), 400, 0x31);
  expected.push_back(0x13);
  EXPECT_EQ(codesAfterSignOn(f.peer), expected);
}

// After a batch with attributes and longer paths that was aborted once,
// whose items the list reuses: nothing of them shows in the next changes,
// which get their own retry.
TEST(TransactionList, UpdateWithoutAttributesAndDeletion) {
  TxnServer server;
  server.votes = {{2, 9}, {1, 0}, {2, 9}};
  Fixture f;
  f.start(server);
  for (int i = 100; i < 104; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  ASSERT_EQ(queueUpdate(f.list.get(), 1, 2), 0);
  fileSpec_t fs = specFor(2);
  Attrib a{};
  ASSERT_EQ(hsmTlMigrDel(f.list.get(), &fs, &a), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  f.stop();
  std::vector<Bytes> got = f.peer.received();
  // SignOn, the first batch twice (6 each), then twice BeginTxn, MigrUpd, MigrDel, EndTxn.
  ASSERT_EQ(got.size(), 21u);
  EXPECT_EQ(f.list->stats.committedUpdates, 5u);
  const Bytes& upd = got[18];
  ASSERT_EQ(upd[2], 0x31);
  EXPECT_EQ(upd.size(), 38u + 28 + 10);
  EXPECT_EQ(getU32(&upd[14]), 0u);  // no attribute block
  EXPECT_EQ(std::string(upd.begin() + 38 + 28, upd.end()), "/dir/file1");
  const Bytes& del = got[19];
  ASSERT_EQ(del[2], 0x33);
  EXPECT_EQ(del.size(), 71u);
  EXPECT_EQ(memcmp(&del[28], fs.objId.bytes, 28), 0);
  EXPECT_EQ(got[20][4], 1);  // the client votes commit
}

TEST(TransactionList, AnAbortReadsTheVoteOfTheBatchInFlight) {
  TxnServer server;
  Fixture f;
  f.start(server);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  EXPECT_EQ(hsmTlAbort(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 4u);  // the fifth was never sent
  EXPECT_FALSE(f.list->votePending);
  f.stop();
  EXPECT_EQ(codesAfterSignOn(f.peer), (std::vector<uint8_t>{0x12, 0x31, 0x31, 0x31, 0x31, 0x13}));
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
