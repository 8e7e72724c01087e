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

struct SessionDeleter {
  void operator()(Sess_o* s) const { delete_SessionObject(s); }
};
using SessionPtr = std::unique_ptr<Sess_o, SessionDeleter>;

struct ListDeleter {
  void operator()(TxnList* l) const { hsmTlDeleteTransaction(l); }
};
using ListPtr = std::unique_ptr<TxnList, ListDeleter>;

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
      p.answerSignOn(0, "ZEF", 4);
      size_t limit = n < breakAfter.size() ? breakAfter[n] : 0;
      serveConnection(p, limit);
      if (limit == 0) return;
    }
  }
};

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
  void stop() {
    Logoff(session.get());
    peer.join();
  }
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

int queueUpdate(TxnList* l, int i, uint16_t flags = 3) {
  fileSpec_t fs = specFor(i);
  Attrib a = attribFor(i);
  return hsmTlMigrObj(l, kTlKindUpdate, &fs, &a, flags, nullptr);
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
  EXPECT_TRUE(codesAfterSignOn(f.peer).empty());  // nothing sent before the list is full
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

TEST(TransactionList, UpdateWithoutAttributesAndDeletion) {
  TxnServer server;
  Fixture f;
  f.start(server);
  ASSERT_EQ(queueUpdate(f.list.get(), 1, 2), 0);
  fileSpec_t fs = specFor(2);
  Attrib a{};
  ASSERT_EQ(hsmTlMigrDel(f.list.get(), &fs, &a), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  f.stop();
  std::vector<Bytes> got = f.peer.received();
  ASSERT_EQ(got.size(), 5u);  // SignOn, BeginTxn, MigrUpd, MigrDel, EndTxn
  const Bytes& upd = got[2];
  EXPECT_EQ(upd.size(), 38u + 28 + 10);
  EXPECT_EQ(getU32(&upd[14]), 0u);  // no attribute block
  const Bytes& del = got[3];
  ASSERT_EQ(del[2], 0x33);
  EXPECT_EQ(del.size(), 71u);
  EXPECT_EQ(memcmp(&del[28], fs.objId.bytes, 28), 0);
  EXPECT_EQ(got[4][4], 1);  // the client votes commit
}

TEST(TransactionList, AServerAbortIsRetriedOnceThenReported) {
  {
    TxnServer server;
    server.votes = {{2, 9}};
    Fixture f;
    f.start(server);
    ASSERT_EQ(queueUpdate(f.list.get(), 1), 0);
    EXPECT_EQ(hsmTlEnd(f.list.get()), 0);
    f.stop();
    EXPECT_EQ(codesAfterSignOn(f.peer), (std::vector<uint8_t>{0x12, 0x31, 0x13, 0x12, 0x31, 0x13}));
  }
  {
    TxnServer server;
    server.votes = {{2, 9}, {2, 9}};
    Fixture f;
    f.start(server);
    int result = 0;
    fileSpec_t fs = specFor(1);
    Attrib a = attribFor(1);
    ASSERT_EQ(hsmTlMigrObj(f.list.get(), kTlKindUpdate, &fs, &a, 3, &result), 0);
    EXPECT_EQ(hsmTlEnd(f.list.get()), 9);
    EXPECT_EQ(result, 9);
    f.stop();
  }
}

TEST(TransactionList, AnAbortedBatchInFlightIsResentBeforeTheNextBatch) {
  TxnServer server;
  server.votes = {{2, 9}};  // the first batch's vote, read only by the next flush
  Fixture f;
  f.start(server);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  EXPECT_EQ(hsmTlEnd(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.committedUpdates, 5u);
  EXPECT_EQ(f.list->stats.aborted, 1u);
  f.stop();
  const std::vector<uint8_t> expect = {0x12, 0x31, 0x31, 0x31, 0x31, 0x13,   // first batch, aborted
                                       0x12, 0x31, 0x31, 0x31, 0x31, 0x13,   // sent again
                                       0x12, 0x31, 0x13};                    // then the fifth
  EXPECT_EQ(codesAfterSignOn(f.peer), expect);
  std::vector<Bytes> got = f.peer.received();
  EXPECT_EQ(memcmp(&got[got.size() - 2][38], specFor(5).objId.bytes, 28), 0);
}

TEST(TransactionList, AConnectionLostWhileAVoteIsAwaitedResendsThatBatchFirst) {
  TxnServer server;
  server.breakAfter = {5};  // the line drops as the first batch's EndTxn goes out
  server.acceptAgain = true;
  Fixture f;
  f.start(server);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  EXPECT_EQ(f.list->stats.reopens, 1u);
  EXPECT_EQ(f.list->stats.committedUpdates, 5u);
  f.stop();
  const std::vector<uint8_t> expect = {0x1A, 0x12, 0x31, 0x31, 0x31, 0x31,
                                       0x1A, 0x12, 0x31, 0x31, 0x31, 0x31, 0x13, 0x12, 0x31, 0x13};
  EXPECT_EQ(f.peer.receivedCodes(), expect);
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

TEST(TransactionList, BrokenConnectionReopensAndResendsTheBatch) {
  TxnServer server;
  server.breakAfter = {3};  // BeginTxn and two updates, then the line drops
  server.acceptAgain = true;
  Fixture f;
  f.start(server);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  f.stop();
  EXPECT_EQ(f.peer.connections(), 2u);
  std::vector<Bytes> got = f.peer.received();
  // First connection: SignOn, BeginTxn, MigrUpd x2 (the rest was lost);
  // second: SignOn and the whole batch again.
  std::vector<uint8_t> codes;
  for (const Bytes& v : got) codes.push_back(v[2]);
  const std::vector<uint8_t> expect = {0x1A, 0x12, 0x31, 0x31, 0x1A, 0x12, 0x31, 0x31, 0x31, 0x13};
  ASSERT_EQ(codes, expect);
  for (int i = 1; i <= 3; ++i)
    EXPECT_EQ(memcmp(&got[5 + i][38], specFor(i).objId.bytes, 28), 0) << "update " << i;
  EXPECT_EQ(f.list->stats.reopens, 1u);
}

TEST(TransactionList, ASecondBrokenConnectionInOneFlushIsReopenedToo) {
  TxnServer server;
  server.breakAfter = {2, 3};  // the line drops in the batch and again in its resend
  server.acceptAgain = true;
  Fixture f;
  f.start(server);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  ASSERT_EQ(hsmTlEnd(f.list.get()), 0);
  f.stop();
  EXPECT_EQ(f.peer.connections(), 3u);
  EXPECT_EQ(f.list->stats.reopens, 2u);
  std::vector<uint8_t> codes = f.peer.receivedCodes();
  const std::vector<uint8_t> expect = {0x1A, 0x12, 0x31,              // first connection
                                       0x1A, 0x12, 0x31, 0x31,        // second
                                       0x1A, 0x12, 0x31, 0x31, 0x31, 0x13};
  EXPECT_EQ(codes, expect);
}

TEST(TransactionList, WithoutRestartDurationTheListGivesUp) {
  TxnServer server;
  server.breakAfter = {2};
  Fixture f;
  f.start(server, 0);
  for (int i = 1; i <= 2; ++i) ASSERT_EQ(queueUpdate(f.list.get(), i), 0);
  EXPECT_EQ(hsmTlEnd(f.list.get()), -50);
  EXPECT_TRUE(f.list->items.empty());  // aborted: nothing left queued
  f.stop();
  EXPECT_EQ(f.peer.connections(), 1u);
}

int refuseReopen(int event, void*) { return event == kReopenStart ? 77 : 0; }

TEST(TransactionList, ReopenCallbackCanRefuse) {
  TxnServer server;
  server.breakAfter = {1};
  Fixture f;
  f.start(server);
  f.list->callback = refuseReopen;
  ASSERT_EQ(queueUpdate(f.list.get(), 1), 0);
  EXPECT_EQ(hsmTlEnd(f.list.get()), 77);
  f.stop();
}

}  // namespace
