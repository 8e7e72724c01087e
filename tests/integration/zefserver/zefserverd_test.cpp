// zefserverd as a separate process on a loopback port with a fresh database,
// talked to by the tests' byte-level client (tests/support/verb_client.h).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_cert.h"
#include "tests/support/verb_builder.h"
#include "tests/support/verb_client.h"
#include "tests/support/zef_server.h"

namespace {

using kmrtest::be16;
using kmrtest::be32;
using kmrtest::Bytes;
using kmrtest::put16;
using kmrtest::put32;
using kmrtest::str;
using kmrtest::text;
using Out = kmrtest::VerbBuilder;

// The bytes a descriptor at `desc` names, data area starting at `start`.
Bytes field(const Bytes& v, size_t desc, size_t start) {
  size_t off = be16(v, desc), len = be16(v, desc + 2);
  EXPECT_LE(start + off + len, v.size()) << "descriptor at " << desc << " points outside the verb";
  if (start + off + len > v.size()) return {};
  return Bytes(v.begin() + static_cast<long>(start + off), v.begin() + static_cast<long>(start + off + len));
}

const char* const kNode1Password = "Node1-Pass!";
const char* const kNode2Password = "n2 second pass";

Bytes signOn(const std::string& node, const std::string& password = kNode1Password) {
  return kmrtest::signOnVerb(node, password);
}
Bytes beginTxn() { return Out(0x12, 4).done(); }
Bytes endTxn(uint8_t vote, uint8_t reason) {
  Out o(0x13, 6);
  o.b[4] = vote;
  o.b[5] = reason;
  return o.done();
}
Bytes fsQry(const std::string& node, const std::string& fs) {
  return Out(0xB3, 12).field(4, str(node)).field(8, str(fs)).done();
}
Bytes fsAdd(const std::string& fs) {
  Out o(0xB0, 35);
  o.b[16] = '/';
  put32(o.b, 23, 123456);  // size figure one, low word
  o.field(4, str(fs)).field(8, str("ORCA")).field(12, Bytes(8, 0));
  return o.done();
}
Bytes migrQryAll(uint32_t fsId) {
  Out o(0x34, 26);
  put32(o.b, 4, fsId);
  o.b[8] = 1;
  o.b[9] = 2;
  return o.done();
}
Bytes migrQryItem(const Bytes& id) {
  Out o(0x35, 25);
  o.b[8] = 2;
  return o.field(4, id).done();
}
// MigrUpd lays out id, then path, then attributes, as the client does.
Bytes migrUpd(uint32_t fsId, const Bytes& id, uint16_t flags, const Bytes& attrs, const std::string& path) {
  Out o(0x31, 38);
  put32(o.b, 4, fsId);
  put16(o.b, 12, flags);
  o.field(8, id);
  if (flags & 2) o.field(18, str(path));
  if (flags & 1) o.field(14, attrs);
  return o.done();
}
Bytes migrDel(uint32_t fsId, const Bytes& id) {
  Out o(0x33, 28);
  put32(o.b, 4, fsId);
  o.field(8, id);
  return o.done(71);  // the client's length; the last 15 bytes are filler
}

// Attribute block, major 8 minor 9, handle form in the HSM part.
Bytes handleBlock(uint64_t size, uint32_t mode, uint8_t migState, const Bytes& handle) {
  // Major 8, minor 9, system part at 22 of length 114, Linux, ORCA, client kind 1.
  Bytes b = {8, 9, 22, 0, 114, 7, 39, 1};
  b.resize(136, 0);
  put32(b, 8, static_cast<uint32_t>(size >> 32));
  put32(b, 12, static_cast<uint32_t>(size));
  put16(b, 16, 1);
  b[18] = static_cast<uint8_t>(migState << 3);
  put32(b, 22, mode);
  put16(b, 22 + 28, 0x8E7D);
  put16(b, 22 + 30, static_cast<uint16_t>(handle.size()));
  std::copy(handle.begin(), handle.end(), b.begin() + 22 + 32);
  return b;
}

using Verb = kmrtest::ReceivedVerb;

// The shared client, with the expectations these tests make of each answer.
class Client : public kmrtest::VerbClient {
 public:
  using VerbClient::VerbClient;
  void send(const Bytes& v) { ASSERT_TRUE(VerbClient::send(v)); }
  Verb expect(uint8_t code) {
    auto v = recv();
    EXPECT_TRUE(v.has_value()) << "connection closed, expected verb 0x" << std::hex << int(code);
    if (!v) return {};
    EXPECT_EQ(v->code, code);
    return *v;
  }
  void expectEndTxn(uint8_t vote, uint8_t reason) {
    Verb v = expect(0x13);
    ASSERT_EQ(v.b.size(), 6u);
    EXPECT_EQ(v.b[4], vote);
    EXPECT_EQ(v.b[5], reason);
  }
  bool closedByPeer() { return !recv().has_value(); }
  // One transaction of `changes` that the client votes to commit.
  void sendBatch(const std::vector<Bytes>& changes) {
    send(beginTxn());
    for (const Bytes& v : changes) send(v);
    send(endTxn(1, 0));
  }
  // The same, and the server's vote on it.
  void transact(const std::vector<Bytes>& changes, uint8_t vote, uint8_t reason) {
    sendBatch(changes);
    expectEndTxn(vote, reason);
  }
  void signOnOk(const std::string& node = "NODE1", const std::string& password = kNode1Password) {
    send(kmrtest::signOnVerb(node, password));
    Verb r = expect(0x1C);
    ASSERT_GE(r.b.size(), 18u);
    ASSERT_EQ(r.b[8], 0) << "sign-on refused";
  }
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_ + "/zef.db";
    log_ = dir_ + "/server.log";
    registerNode("node1", kNode1Password);
  }
  void TearDown() override { server_.stop(); }
  void registerNode(const std::string& node, const std::string& password) {
    std::string out;
    ASSERT_TRUE(kmrtest::registerNode(db_, node, password, &out)) << out;
  }
  // Every object row as the database holds it, read with sqlite3 itself.
  std::string objectRows() {
    std::string out;
    EXPECT_EQ(kmrtest::runShell("sqlite3 " + db_ + " 'SELECT objnum, fsid, hex(path), hex(attrs) FROM objects ORDER BY objnum;"
                                " SELECT fsid, node, hex(name) FROM filespaces ORDER BY fsid;'", &out), 0) << out;
    return out;
  }
  void adm(const std::string& args) {
    std::string out;
    ASSERT_EQ(kmrtest::zefadm(db_, args, &out), 0) << out;
  }
  // `wrapper` runs in front of the server (another user, resource limits).
  void start(std::vector<std::string> extra = {}, std::vector<std::string> wrapper = {}) {
    extra.insert(extra.begin(), {"--signon-fail-delay-ms", "50"});
    ASSERT_TRUE(server_.start({db_, log_, extra, wrapper})) << "server did not start; log:\n" << logText();
    port_ = static_cast<uint16_t>(server_.port());
  }
  int stop() { return server_.stop(); }
  // A new connection signed on as `node`.
  std::unique_ptr<Client> signedOn(const std::string& node = "NODE1", const std::string& password = kNode1Password) {
    auto client = std::make_unique<Client>(port_);
    client->signOnOk(node, password);
    return client;
  }
  std::string logText() { return kmrtest::readFile(log_); }
  // Node 1's file space /fs with `n` generated objects, the server started
  // with `options` and `c`, a signed-on client that has read them as `objs`.
  void openWithObjects(int n, const std::vector<std::string>& options = {}) {
    adm("generate node1 /fs " + std::to_string(n));
    start(options);
    c = signedOn();
    fs = fsId(*c, "/fs");
    objs = queryAll(*c, fs);
    if (HasFatalFailure() || objs.size() != static_cast<size_t>(n))
      throw std::runtime_error("the server or its objects are not there; see above");
  }
  // The id of `node`'s file space `fs`, which must exist.
  uint32_t fsId(Client& c, const std::string& fs, const std::string& node = "NODE1") {
    c.send(fsQry(node, fs));
    Verb r = c.expect(0xB4);
    c.expectEndTxn(1, 0);
    return r.b.size() >= 12 ? be32(r.b, 8) : 0;
  }
  struct Answer {
    uint32_t fsId;
    Bytes id;
    std::string path;
    Bytes attrs;
    uint8_t mediaClass;
  };
  // Decodes a MigrQryResp of either form; checks the object id agreement of
  // the plain form.
  static Answer decode(const Verb& v) {
    Answer a{};
    bool enh = v.code == 0x29;
    EXPECT_TRUE(v.code == 0x36 || enh) << "unexpected verb " << int(v.code);
    size_t data = enh ? 69 : 57;
    a.fsId = be32(v.b, 4);
    a.id = field(v.b, 8, data);
    EXPECT_EQ(a.id.size(), 28u);
    a.attrs = field(v.b, enh ? 45 : 33, data);
    a.path = text(field(v.b, enh ? 49 : 37, data));
    a.mediaClass = enh ? v.b.at(37) : 0;
    if (!enh && a.attrs.size() >= 136 && a.attrs[0] == 8) {
      Bytes inner(a.attrs.begin() + 22 + 28, a.attrs.begin() + 22 + 28 + 28);
      EXPECT_EQ(inner, a.id) << "plain answer must carry the id inside its attribute block";
    }
    return a;
  }
  std::vector<Answer> queryAll(Client& c, uint32_t fs, uint8_t* endVote = nullptr, uint8_t* endReason = nullptr) {
    c.send(beginTxn());
    c.send(migrQryAll(fs));
    std::vector<Answer> out;
    for (;;) {
      auto v = c.recv();
      if (!v) {
        ADD_FAILURE() << "stream ended without EndTxn";
        return out;
      }
      if (v->code == 0x13) {
        if (endVote) *endVote = v->b.at(4);
        if (endReason) *endReason = v->b.at(5);
        return out;
      }
      out.push_back(decode(*v));
    }
  }

  kmrtest::ScratchDir scratch_{"zefsrv"};
  const std::string dir_ = scratch_.path();
  std::string db_, log_;
  kmrtest::ZefServer server_;
  uint16_t port_ = 0;
  std::unique_ptr<Client> c;
  uint32_t fs = 0;
  std::vector<Answer> objs;
};

// (The transaction size it answers: the end-to-end runs against a server
// that takes one change per transaction.)
TEST_F(ServerTest, SignOnAnswersNameAndResultAndOpenRegistrationSetsThePassword) {
  struct Case {
    std::vector<std::string> options;
    const char* name;
  };
  for (const Case& k : {Case{{"--server-name", "ZEFTEST"}, "ZEFTEST"}, Case{{"--open-registration"}, "ZEFSERVER"}}) {
    SCOPED_TRACE(k.name);
    stop();
    start(k.options);
    Client c(port_);
    c.send(signOn("node1"));
    Verb r = c.expect(0x1C);
    ASSERT_GE(r.b.size(), 18u);
    EXPECT_EQ(r.b[8], 0);
    EXPECT_EQ(text(field(r.b, 4, 18)), k.name);
    for (int i = 9; i < 16; ++i) EXPECT_EQ(r.b[i], 0) << "capability byte " << i;
    Client early(port_);
    early.send(fsQry("NODE1", "/fs"));
    EXPECT_TRUE(early.closedByPeer()) << "a verb before sign-on must end the session";
  }
  // The first sign-on of a new node registers it with its password; an
  // empty one registers nothing.
  auto c = signedOn("newnode", "chosen at first sign-on");
  Client wrong(port_);
  wrong.send(signOn("newnode", "another password"));
  EXPECT_EQ(wrong.expect(0x1C).b.at(8), 1);
  auto right = signedOn("NEWNODE", "chosen at first sign-on");
  Client empty(port_);
  empty.send(signOn("nopassword", ""));
  EXPECT_EQ(empty.expect(0x1C).b.at(8), 1);
  std::string out;
  EXPECT_EQ(kmrtest::runShell("sqlite3 " + db_ + " 'SELECT name FROM nodes ORDER BY name;'", &out), 0);
  EXPECT_EQ(out, "NEWNODE\nNODE1\n");
}

TEST_F(ServerTest, FileSpaceQueryAndAdd) {
  start();
  auto c = signedOn();
  c->send(fsQry("NODE1", "/hsm/fs1"));
  c->expectEndTxn(2, 2);

  c->transact({fsAdd("/hsm/fs1")}, 1, 0);

  c->send(fsQry("NODE1", "/hsm/fs1"));
  Verb r = c->expect(0xB4);
  EXPECT_EQ(text(field(r.b, 4, 53)), "/hsm/fs1");
  EXPECT_NE(be32(r.b, 8), 0u);
  EXPECT_EQ(text(field(r.b, 12, 53)), "ORCA");
  EXPECT_EQ(field(r.b, 16, 53), Bytes(8, 0));
  EXPECT_EQ(r.b.at(20), '/');
  EXPECT_GE(be16(r.b, 23), 2024) << "first date's year";
  c->expectEndTxn(1, 0);

  c->transact({fsAdd("/hsm/fs1")}, 2, 19);

  // Another node's file space of the same name is a different one.
  c->send(fsQry("NODE2", "/hsm/fs1"));
  c->expectEndTxn(2, 2);
}

// The enhanced form. The plain one is read by decode() in the other tests
// here and by the client in the comm and end-to-end tests, which also read
// long streams.
TEST_F(ServerTest, EnhancedAnswersToQueriesOfNoneOneAndOneById) {
  adm("add-filespace node1 /empty");
  adm("generate node1 /one 1 --prefix /p");
  adm("generate node1 /three 3");
  start({"--enhanced"});
  auto c = signedOn();
  uint8_t vote = 0, reason = 0;
  EXPECT_TRUE(queryAll(*c, fsId(*c, "/empty"), &vote, &reason).empty());
  EXPECT_EQ(vote, 2);
  EXPECT_EQ(reason, 2);

  uint32_t one = fsId(*c, "/one");
  auto a = queryAll(*c, one, &vote, &reason);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(vote, 1);
  EXPECT_EQ(a[0].fsId, one);
  EXPECT_EQ(a[0].path, "/p/d00000/f00000000");
  ASSERT_EQ(a[0].attrs.size(), 136u);
  EXPECT_EQ(a[0].attrs[0], 8);
  EXPECT_EQ(a[0].attrs[1], 9);
  EXPECT_EQ(be32(a[0].attrs, 12), 1u) << "size of generated object 0";
  EXPECT_EQ((a[0].attrs[18] >> 3) & 3, 2) << "migration state";
  EXPECT_EQ(be32(a[0].attrs, 22), 0100600u) << "mode";
  EXPECT_EQ(a[0].mediaClass, 16);
  Bytes inner(a[0].attrs.begin() + 50, a[0].attrs.begin() + 78);
  EXPECT_EQ(inner, a[0].id) << "id form when no handle is stored";

  // One object by its id (which no other object shares), then an id that
  // names nothing.
  a = queryAll(*c, fsId(*c, "/three"));
  ASSERT_EQ(a.size(), 3u);
  c->send(beginTxn());
  c->send(migrQryItem(a[1].id));
  EXPECT_EQ(decode(c->expect(0x29)).path, "/gen/d00000/f00000001");
  c->expectEndTxn(1, 0);
  Bytes bogus = a[0].id;
  bogus[8] = 0x7F;  // an object number far beyond any stored
  c->send(beginTxn());
  c->send(migrQryItem(bogus));
  c->expectEndTxn(2, 2);
}

TEST_F(ServerTest, AbortedTransactionsLeaveNothingBehind) {
  adm("generate node1 /other 1");
  openWithObjects(2, {"--txn-size", "2"});
  uint32_t other = fsId(*c, "/other");
  auto otherObjs = queryAll(*c, other);
  ASSERT_EQ(otherObjs.size(), 1u);

  // Client's own abort; reason 0 is what the client's own abort sends: an
  // abort all the same.
  for (uint8_t reason : {5, 0}) {
    c->send(beginTxn());
    c->send(migrUpd(fs, objs[0].id, 2, {}, "/x"));
    c->send(migrDel(fs, objs[1].id));
    c->send(endTxn(2, reason));
    c->expectEndTxn(2, reason);
  }
  // An unknown object spoils the whole batch.
  Bytes unknown = objs[1].id;
  unknown[15] = 0x55;
  c->transact({migrUpd(fs, objs[0].id, 2, {}, "/x"), migrDel(fs, unknown)}, 2, 31);
  // An object of another file space.
  c->transact({migrDel(fs, otherObjs[0].id)}, 2, 32);
  // More changes than the transaction size.
  const Bytes rename = migrUpd(fs, objs[0].id, 2, {}, "/x");
  c->transact({rename, rename, rename}, 2, 33);
  // An attribute block whose system part lies outside it.
  Bytes broken(22, 0);
  broken[2] = 22;
  broken[4] = 114;
  c->transact({migrUpd(fs, objs[0].id, 1, broken, "")}, 2, 34);

  auto after = queryAll(*c, fs);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].path, objs[0].path);
  EXPECT_EQ(after[1].path, objs[1].path);
  EXPECT_EQ(queryAll(*c, other).size(), 1u);
  // The session stays usable after the aborts.
  c->transact({migrDel(fs, objs[1].id)}, 1, 0);
  EXPECT_EQ(queryAll(*c, fs).size(), 1u);
}

// Committed changes are answered at once and kept over a restart. The
// enhanced form answers a stored handle form as it is; the plain form after
// the restart carries the id in its place (decode() checks that).
TEST_F(ServerTest, CommittedChangesAreAnsweredAndKeptOverARestart) {
  openWithObjects(50, {"--enhanced"});
  c->transact({fsAdd("/added")}, 1, 0);
  std::vector<Bytes> changes;
  for (size_t i = 0; i < 10; ++i) changes.push_back(migrDel(fs, objs[i].id));
  const Bytes block = handleBlock(42, 0100600, 3, {9, 9});
  changes.push_back(migrUpd(fs, objs[20].id, 3, block, "/kept"));
  c->transact(changes, 1, 0);
  EXPECT_EQ(queryAll(*c, fs).at(10).attrs, block);
  EXPECT_EQ(stop(), 0);
  EXPECT_NE(logText().find("transaction committed: 1 updates, 10 deletes"), std::string::npos) << logText();
  EXPECT_NE(logText().find("stopped by SIGTERM"), std::string::npos) << logText();

  start();
  auto d = signedOn();
  EXPECT_EQ(fsId(*d, "/fs"), fs);
  EXPECT_NE(fsId(*d, "/added"), 0u);
  auto after = queryAll(*d, fs);
  ASSERT_EQ(after.size(), 40u);
  EXPECT_EQ(after[0].fsId, fs);
  EXPECT_EQ(after[0].id, objs[10].id);
  EXPECT_EQ(after[10].path, "/kept");
  EXPECT_EQ(be32(after[10].attrs, 12), 42u);
  EXPECT_EQ((after[10].attrs[18] >> 3) & 3, 3);
}

// Each fault fires once, at the verb of the process it names: the third
// change closes the session and drops its open batch, the first EndTxn
// votes abort with the reason given, the third closes the session. None
// commits anything of its batch; a new session finds everything as the last
// commit left it and commits the same changes.
TEST_F(ServerTest, FaultsAtTheNthChangeOrEndTxnCommitNothingOfTheirBatch) {
  openWithObjects(3, {"--fault-change-close=3", "--fault-endtxn-abort=1:77", "--fault-endtxn-close=3"});
  c->transact({migrDel(fs, objs[0].id)}, 2, 77);
  EXPECT_EQ(queryAll(*c, fs).size(), 3u);
  c->sendBatch({migrDel(fs, objs[1].id), migrDel(fs, objs[0].id)});
  EXPECT_TRUE(c->closedByPeer());
  auto d = signedOn();
  EXPECT_EQ(queryAll(*d, fs).size(), 3u);
  d->transact({migrDel(fs, objs[0].id)}, 1, 0);
  d->sendBatch({migrDel(fs, objs[1].id)});
  EXPECT_TRUE(d->closedByPeer());
  auto e = signedOn();
  auto left = queryAll(*e, fs);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].id, objs[1].id);
}

// The first query is closed after three answers, once; every stream ends
// with an abort vote of the reason given, and the object named is answered
// with an attribute block of an unknown format.
TEST_F(ServerTest, QueryFaultsCloseOnceAbortTheStreamAndSpoilABlock) {
  adm("generate node1 /fs 4");
  start({"--fault-query-close=3", "--fault-query-abort=9", "--fault-bad-attr=f00000002", "--fault-delay-ms=5"});
  auto c = signedOn();
  uint32_t fs = fsId(*c, "/fs");
  c->send(beginTxn());
  c->send(migrQryAll(fs));
  for (int i = 0; i < 3; ++i) c->expect(0x36);
  EXPECT_TRUE(c->closedByPeer());
  auto again = signedOn();
  uint8_t vote = 0, reason = 0;
  auto a = queryAll(*again, fs, &vote, &reason);
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(vote, 2);
  EXPECT_EQ(reason, 9);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(a[i].attrs.at(0), i == 2 ? 99 : 8) << a[i].path;
}

TEST_F(ServerTest, MalformedVerbsEndTheSession) {
  start();
  Bytes badMagic = beginTxn();
  badMagic[3] = 0xA6;
  // An extended header claiming 32769 bytes, with all of them sent: a
  // server that took the verb would answer the query in it.
  const Bytes query = fsQry("NODE1", "/none");
  Bytes big = {0, 0, 8, 0xA5, 0, 0, 0, 0, 0, 0, 0, 0};
  put32(big, 4, 0xB3);
  put32(big, 8, 32769);
  big.insert(big.end(), query.begin() + 4, query.end());
  big.resize(32769, 0);
  // The same over the limit in the short form.
  Bytes bigShort = query;
  bigShort.resize(32769, 0);
  put16(bigShort, 0, 32769);
  // An extended header of an allowed size is read like a short one.
  Bytes ext(12, 0);
  ext[2] = 8;
  ext[3] = 0xA5;
  put32(ext, 4, 0xB3);
  ext.insert(ext.end(), query.begin() + 4, query.end());
  put32(ext, 8, static_cast<uint32_t>(ext.size()));
  Out pastEnd(0xB3, 12);
  put16(pastEnd.b, 6, 500);  // node name descriptor past the end
  struct Case {
    const char* what;
    Bytes verb;
    bool answered;
  };
  for (const Case& k : {Case{"bad magic", badMagic, false}, Case{"extended, too long", big, false},
                        Case{"short, too long", bigShort, false}, Case{"extended, allowed", ext, true},
                        Case{"descriptor past the end", pastEnd.done(), false}}) {
    SCOPED_TRACE(k.what);
    auto c = signedOn();
    c->send(k.verb);
    if (k.answered) {
      c->expectEndTxn(2, 2);
    } else {
      EXPECT_TRUE(c->closedByPeer());
    }
  }
  EXPECT_NE(logText().find("protocol error"), std::string::npos);
}

TEST_F(ServerTest, SignOnNeedsTheNodesOwnPasswordAndRefusalsGetSlower) {
  registerNode("node2", kNode2Password);
  start();
  struct Case {
    const char* what;
    std::string node, password;
  };
  for (const Case& k : {Case{"wrong password", "NODE1", "Node1-Pass"}, Case{"empty password", "NODE1", ""},
                        Case{"unknown node", "STRANGER", kNode1Password},
                        Case{"another node's password", "NODE2", kNode1Password}}) {
    SCOPED_TRACE(k.what);
    Client c(port_);
    c.send(signOn(k.node, k.password));
    Verb r = c.expect(0x1C);
    ASSERT_GE(r.b.size(), 18u);
    EXPECT_EQ(r.b[8], 1) << "every refusal is result 1, which the client reports as 51";
    EXPECT_TRUE(c.closedByPeer());
  }
  auto ok = signedOn("node1", kNode1Password);
  ok->send(fsQry("NODE1", "/none"));
  ok->expectEndTxn(2, 2);
  auto ok2 = signedOn("NODE2", kNode2Password);
  EXPECT_EQ(stop(), 0);
  std::string log = logText();
  // Each refusal from this address made its next check wait twice as long as the one before.
  for (const char* line : {"refused for node NODE1 (wrong password); the next check from 127.0.0.1 waits 50 ms",
                           "refused for node NODE1 (empty password); the next check from 127.0.0.1 waits 100 ms",
                           "refused for node STRANGER (unknown node); the next check from 127.0.0.1 waits 200 ms",
                           "refused for node NODE2 (wrong password); the next check from 127.0.0.1 waits 400 ms"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(log.find(kNode1Password), std::string::npos) << "passwords never reach the log";
}

// A ticket comes with a password sign-on that asks (byte 41 bit 0x01; the
// answer sets byte 15 bit 0x01 and ends with it) and signs its node on once
// (bit 0x02) from its address; shown anywhere else it is gone.
TEST_F(ServerTest, AJoinTicketSignsOnOnceForItsNodeFromItsAddressOnly) {
  registerNode("node2", kNode2Password);
  adm("add-filespace node1 /fs");
  start();
  auto bits = [](Bytes v, uint8_t b) { return v.at(41) = b, v; };
  struct Case { const char* what; std::string node; uint32_t from; int ticket; uint8_t result; };  // ticket: 0 new, 1 last, -1 never given
  std::string t;
  for (const Case& k : {Case{"its node from its address", "node1", 0, 0, 0}, Case{"used again", "NODE1", 0, 1, 1},
                        Case{"another node", "NODE2", 0, 0, 1}, Case{"then its own node: gone", "NODE1", 0, 1, 1},
                        Case{"another address", "NODE1", 0x7F000002, 0, 1}, Case{"never given", "NODE1", 0, -1, 1}}) {
    SCOPED_TRACE(k.what);
    if (k.ticket == 0) {
      Client first(port_);  // its ticket outlives it
      first.send(bits(signOn("NODE1"), 0x01));
      Verb r = first.expect(0x1C);
      ASSERT_EQ(r.b.size(), 18u + 9 + 32);
      EXPECT_EQ(r.b[15], 0x01);
      EXPECT_EQ(text(field(r.b, 4, 18)), "ZEFSERVER");
      t.assign(r.b.end() - 32, r.b.end());
    }
    Client c(port_, k.from);
    c.send(bits(signOn(k.node, k.ticket < 0 ? std::string(32, 'x') : t), 0x03));
    Verb r = c.expect(0x1C);
    EXPECT_EQ(r.b.size(), 18u + 9) << "a joined session gets no ticket";
    EXPECT_EQ(r.b.at(8), k.result);
    if (k.result == 0) EXPECT_NE(fsId(c, "/fs"), 0u) << "signed on as node 1";
    else EXPECT_TRUE(c.closedByPeer());
  }
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(logText().find("waits"), std::string::npos) << "a refused ticket slows no password check";
}

TEST_F(ServerTest, ASessionSeesAndChangesOnlyItsOwnNodesFileSpaces) {
  registerNode("node2", kNode2Password);
  adm("add-filespace node2 /own");
  openWithObjects(3);
  const uint32_t fs1 = fs;
  const std::string before = objectRows();

  auto other = signedOn("NODE2", kNode2Password);
  const uint32_t fs2 = fsId(*other, "/own", "NODE2");
  // Reading: node 1's file space and objects do not exist for node 2.
  for (const char* asked : {"NODE1", "node1"}) {
    other->send(fsQry(asked, "/fs"));
    other->expectEndTxn(2, 2);
  }
  uint8_t vote = 0, reason = 0;
  EXPECT_TRUE(queryAll(*other, fs1, &vote, &reason).empty());
  EXPECT_EQ(vote, 2);
  EXPECT_EQ(reason, 2);
  other->send(beginTxn());
  other->send(migrQryItem(objs[0].id));
  other->expectEndTxn(2, 2);
  // Changing: under node 1's file space id or its own, with node 1's ids.
  for (uint32_t named : {fs1, fs2}) {
    SCOPED_TRACE(named == fs1 ? "verb names node 1's file space" : "verb names node 2's file space");
    other->transact({migrUpd(named, objs[0].id, 3, handleBlock(1, 0104777, 2, {7}), "/etc/cron.d/evil")}, 2, 31);
    other->transact({migrDel(named, objs[1].id)}, 2, 31);
  }
  // FSAdd always adds to the session's own node.
  other->transact({fsAdd("/fs")}, 1, 0);

  std::string after = objectRows();
  EXPECT_EQ(after.substr(0, after.find("\n" + std::to_string(fs1) + "|NODE1|")),
            before.substr(0, before.find("\n" + std::to_string(fs1) + "|NODE1|")))
      << "node 1's objects are unchanged";
  EXPECT_NE(after.find("|NODE2|2F6673"), std::string::npos) << "node 2 now has a /fs of its own:\n" << after;
  EXPECT_EQ(stop(), 0);
}

TEST_F(ServerTest, ChangesBeyondWhatOneTransactionMayHoldVoidIt) {
  openWithObjects(1);
  // 1,100 changes of 32,000-byte blocks: 35 MB, beyond the 32 MiB a
  // transaction may hold, though within the transaction size.
  Bytes big = handleBlock(5, 0100600, 2, {1});
  big.resize(32000, 0xEE);
  c->transact(std::vector<Bytes>(1100, migrUpd(fs, objs[0].id, 1, big, "")), 2, 33);
  auto after = queryAll(*c, fs);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].attrs, objs[0].attrs);
  // What was held is given back: the next transaction commits.
  c->transact({migrUpd(fs, objs[0].id, 1, big, "")}, 1, 0);
  EXPECT_EQ(queryAll(*c, fs)[0].attrs.size(), 32000u);
}

// Raises the open-file limit so that this process can hold `n` connections.
bool allowDescriptors(rlim_t n) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_max < n) return false;
  rl.rlim_cur = rl.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

TEST_F(ServerTest, ThousandIdleConnectionsNeitherStopNorStarveTheServer) {
  if (!allowDescriptors(1200)) GTEST_SKIP() << "cannot hold 1,000 connections here";
  start({"--max-sessions", "16", "--signon-timeout", "2", "--idle-timeout", "2"});
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<Client>(port_));
    ASSERT_TRUE(idle.back()->connected()) << "connection " << i;
  }
  // Beyond what one address may hold unsigned, connections are closed at
  // once, and those that never sign on are closed at the sign-on deadline.
  size_t closed = 0;
  for (auto& c : idle) closed += c->closedByPeer();  // it never sends anything unasked
  EXPECT_EQ(closed, 1000u);
  auto real = signedOn();
  real->send(fsQry("NODE1", "/none"));
  real->expectEndTxn(2, 2);
  // A signed-on session that stays silent ends at the idle timeout.
  EXPECT_TRUE(real->closedByPeer());
  auto again = signedOn();
  EXPECT_EQ(stop(), 0);
  std::string log = logText();
  EXPECT_NE(log.find("connections closed at once: too many connections from its address not signed on"),
            std::string::npos) << log;
  EXPECT_NE(log.find("timed out waiting for the client"), std::string::npos);
}

// A local user floods from addresses of 127/8 other than the node's: idle
// connections that never sign on fill every place for connections not
// signed on, and guesses at the node's password, each from a new address,
// keep the password checks busy. The rows run in order on one server: the
// first sign-on of the node, then one from its now known host.
TEST_F(ServerTest, AFloodOfIdleConnectionsAndGuessesDoesNotKeepTheNodeOut) {
  constexpr uint32_t kPlaces = 8;
  start({"--max-sessions", std::to_string(kPlaces)});
  struct Case {
    const char* what;
    uint32_t idleFrom, guessFrom;  // 0: none
  };
  for (const Case& k : {Case{"idle flood, first sign-on", 0x7F010001, 0},
                        Case{"idle flood and guesses, known host", 0x7F020001, 0x7F100001}}) {
    SCOPED_TRACE(k.what);
    std::vector<std::unique_ptr<Client>> idle;
    for (uint32_t i = 0; i < kPlaces; ++i) {
      idle.push_back(std::make_unique<Client>(port_, k.idleFrom + i));
      ASSERT_TRUE(idle.back()->connected());
    }
    std::atomic<bool> nodeDone{false};
    std::atomic<uint32_t> guesses{0};
    std::thread guesser([&] {
      for (uint32_t i = 0; k.guessFrom && !nodeDone && i < 20000; ++i) {
        Client g(port_, k.guessFrom + i);
        const Bytes guess = signOn("NODE1", "guess" + std::to_string(i));
        if (g.connected() && ::send(g.fd(), guess.data(), guess.size(), MSG_NOSIGNAL) > 0) ++guesses;
      }
    });
    auto node = std::make_unique<Client>(port_);
    node->signOnOk();
    nodeDone = true;
    guesser.join();
    node->send(fsQry("NODE1", "/none"));
    node->expectEndTxn(2, 2);
    if (k.guessFrom) {
      EXPECT_GT(guesses.load(), 0u);
    }
  }
  EXPECT_EQ(stop(), 0);
  EXPECT_NE(logText().find("connections not signed on gave way to newer ones"), std::string::npos) << logText();
}

// With a certificate the server still speaks the classic conversation,
// unless told to speak TLS only; a TLS sign-on is the comm tests' part.
TEST_F(ServerTest, TlsOnlyRefusesThePlainConversation) {
  kmrtest::TestCert cert;
  std::string out;
  ASSERT_TRUE(kmrtest::makeTestCert(dir_, "zefserver", &cert, &out)) << out;
  for (bool tlsOnly : {false, true}) {
    SCOPED_TRACE(tlsOnly ? "--tls-only" : "certificate only");
    std::vector<std::string> options = {"--tls-cert", cert.cert, "--tls-key", cert.key};
    if (tlsOnly) options.push_back("--tls-only");
    start(options);
    Client plain(port_);
    plain.send(signOn("NODE1"));
    if (tlsOnly) {
      EXPECT_TRUE(plain.closedByPeer());
    } else {
      EXPECT_EQ(plain.expect(0x1C).b.at(8), 0);
    }
    EXPECT_EQ(stop(), 0);
  }
  EXPECT_NE(logText().find("plain connection refused: TLS only"), std::string::npos) << logText();
  EXPECT_NE(logText().find(cert.pin), std::string::npos) << "the log names the fingerprint to pin";
}

TEST_F(ServerTest, AServerOutOfThreadsClosesTheConnectionAndGoesOn) {
  // The thread limit binds only a user without privileges; the server runs
  // as one, with its database directory handed over to it.
  // A copy of the program in that directory: the build tree may lie where
  // such a user cannot reach it.
  const std::string uid = "64711";
  ASSERT_EQ(kmrtest::runShell(std::string("cp ") + ZEFSERVERD_PATH + " " + dir_ + "/zefserverd && chown -R 64711:64711 " + dir_), 0);
  start({"--max-sessions", "200"}, {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups",
                                    "/usr/bin/prlimit", "--nproc=6:6", "--", dir_ + "/zefserverd"});
  std::vector<std::unique_ptr<Client>> held;
  for (uint32_t i = 0; i < 20; ++i) held.push_back(std::make_unique<Client>(port_, 0x7F030001 + i));
  // Five session threads at most: the rest are closed at once.
  size_t refused = 0;
  for (size_t i = 5; i < held.size(); ++i) refused += held[i]->closedByPeer();
  EXPECT_GE(refused, 14u);
  held.clear();  // the sessions that got a thread end with their peers
  std::unique_ptr<Client> real;
  for (int attempt = 0; attempt < 3000; ++attempt) {  // a minute at most: a hang guard
    real = std::make_unique<Client>(port_);
    real->send(signOn("NODE1"));
    auto r = real->recv();
    if (r) {
      ASSERT_EQ(r->b.at(8), 0);
      break;
    }
    real.reset();
    usleep(20000);  // the ended sessions' threads are still being joined
  }
  ASSERT_TRUE(real) << logText();
  real->send(fsQry("NODE1", "/none"));
  real->expectEndTxn(2, 2);
  EXPECT_EQ(stop(), 0);
  EXPECT_NE(logText().find("no thread for its session"), std::string::npos) << logText();
}

// --help and --version answer on standard output with status 0, whatever
// else is on the line, and start nothing.
TEST(ServerStartup, HelpAndVersionOfBothPrograms) {
  for (const std::string bin : {ZEFSERVERD_PATH, ZEFADM_PATH}) {
    const std::string name = bin.substr(bin.rfind('/') + 1);
    std::string out;
    EXPECT_EQ(kmrtest::runShell(bin + " --help 2>/dev/null", &out), 0) << name;
    EXPECT_EQ(out.rfind("usage: " + name + " --db FILE", 0), 0u) << out;
    EXPECT_EQ(kmrtest::runShell(bin + " --db /nonexistent/dir/zef.db --help 2>/dev/null", &out), 0) << name;
    EXPECT_EQ(out.rfind("usage: " + name, 0), 0u) << out;
    EXPECT_EQ(kmrtest::runShell(bin + " --version 2>/dev/null", &out), 0) << name;
    EXPECT_EQ(out, name + " " KMR_VERSION "\n");
    EXPECT_EQ(kmrtest::runShell(bin + " --help >/dev/null", &out), 0) << name;
    EXPECT_EQ(out, "") << "nothing on standard error";
  }
  EXPECT_EQ(access("/nonexistent/dir/zef.db", F_OK), -1);
}

TEST(ServerStartup, RefusesWildcardAndBadArguments) {
  std::string out;
  const std::string serve = std::string(ZEFSERVERD_PATH) + " --db /tmp/zef-never.db --port 0 --address ";
  unlink("/tmp/zef-never.db");
  // The IPv4-mapped wildcard is every IPv4 address too.
  for (const char* wildcard : {"0.0.0.0", "::", "::ffff:0.0.0.0", "0:0:0:0:0:ffff:0:0"}) {
    EXPECT_EQ(kmrtest::runShell(serve + wildcard, &out), 1) << wildcard;
    EXPECT_NE(out.find("wildcard"), std::string::npos) << out;
  }
  EXPECT_EQ(kmrtest::runShell(serve + "localhost", &out), 1);
  EXPECT_EQ(access("/tmp/zef-never.db", F_OK), -1) << "a refused start created its database";
  EXPECT_EQ(kmrtest::runShell(std::string(ZEFSERVERD_PATH) + " --port 0", &out), 2);
  EXPECT_NE(out.find("--db is required"), std::string::npos) << out;
  EXPECT_EQ(kmrtest::runShell(std::string(ZEFSERVERD_PATH) + " --db x --fault-endtxn-abort=1", &out), 2);
  for (const char* tls : {" --tls-only", " --tls-cert /etc/hostname", " --tls-key /etc/hostname"}) {
    EXPECT_EQ(kmrtest::runShell(std::string(ZEFSERVERD_PATH) + " --db x" + tls, &out), 2) << tls;
    EXPECT_NE(out.find("--tls-"), std::string::npos) << out;
  }
  // A certificate the server cannot use ends the start before anything listens.
  EXPECT_EQ(kmrtest::runShell(serve + "127.0.0.1 --tls-cert /etc/hostname --tls-key /etc/hostname", &out), 1);
  EXPECT_NE(out.find("cannot use the certificate /etc/hostname"), std::string::npos) << out;
  for (const char* made : {"/tmp/zef-never.db", "/tmp/zef-never.db-wal", "/tmp/zef-never.db-shm"}) unlink(made);
}

}  // namespace
