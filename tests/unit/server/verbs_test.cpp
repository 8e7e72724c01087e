// The query stream, the single-object query and the file space lookup,
// driven against a scripted peer.
#include <gtest/gtest.h>

#include <cstring>

#include "common/trace.h"
#include "server/cuverbs.h"
#include "server/fslookup.h"
#include "server/wire/bytes.h"
#include "tests/unit/server/fake_peer.h"

namespace {

// Signs a session on against the peer, which then runs `script`.
SessionPtr start(FakePeer& peer, std::function<void(FakePeer&)> script, bool unicode = false) {
  SessionConfig c = peerConfig(0);
  c.unicode = unicode;
  return signedOnSession(peer, std::move(script), c);
}

struct Answer {
  uint32_t fsId = 0;
  midExtObjId_t id{};
  std::string path;
  Attrib attr{};
  ServerAttrib srv{};
  int next(Sess_o* s) { return cuGetMigrQryResp(s, &fsId, &id, &path, &attr, &srv); }
};

TEST(QueryStream, AnswersSkipsAndEnds) {
  midExtObjId_t a = makeId(1), b = makeId(2);
  FakePeer peer;
  SessionPtr s = start(peer, [&](FakePeer& p) {
    p.expectVerb(0x12);
    p.expectVerb(0x34);  // its bytes: QuerySource.StreamsOverItsOwnSignedOnSession
    p.sendRaw(migrQryRespVerb(33, a, a, "/fs/one"));
    p.sendRaw(migrQryRespVerb(33, b, b, "/fs/unknown", 3));  // format the codec doesn't know
    p.sendRaw(migrQryRespVerb(33, b, b, "/fs/two"));
    p.sendRaw(endTxnVerb(2, 2));
  });
  ASSERT_EQ(cuBeginTxn(s.get()), 0);
  ASSERT_EQ(cuMigrQryAll(s.get(), 33, 1, 2), 0);
  Answer r;
  ASSERT_EQ(r.next(s.get()), 0);
  EXPECT_EQ(r.path, "/fs/one");
  EXPECT_EQ(memcmp(r.id.bytes, a.bytes, 28), 0);
  ASSERT_EQ(r.next(s.get()), 0);
  EXPECT_EQ(r.path, "/fs/two");
  EXPECT_EQ(memcmp(r.id.bytes, b.bytes, 28), 0);
  EXPECT_EQ(r.next(s.get()), 2);  // vote 2 reason 2: nothing (more) matched
  EXPECT_EQ(r.path, "/fs/two");   // outputs untouched by the end
  signOff(s, peer);
}

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
    SessionPtr s = start(peer, [&](FakePeer& p) { p.sendRaw(k.verb); });
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
    SessionPtr s = start(peer, [&](FakePeer& p) {
      p.expectVerb(0x12);
      Bytes item = p.expectVerb(0x35);
      EXPECT_EQ(memcmp(&item[25], id.bytes, 28), 0);
      EXPECT_EQ(item[8], 2);
      for (int i = 0; i < answers; ++i) p.sendRaw(answer);
      p.sendRaw(endTxnVerb(1, 0));
    });
    Answer r;
    EXPECT_EQ(hlQryOneMigrObjGetHandle(s.get(), id, 2, &r.fsId, &r.path, &r.attr, &r.srv), answers == 1 ? 0 : 131);
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
      {"added in UTF-16", true, 0, "/fs", 0, 77, {"/fs", utf16, utf16}, {0x1A, 0xB3, 0xB3, 0x12, 0xB0, 0x13, 0xB3}},
      {"added meanwhile, an empty name is /", false, 19, "", 0, 77, {"/", "/"}, {0x1A, 0xB3, 0x12, 0xB0, 0x13, 0xB3}},
      {"add refused", false, 5, "", 5, 0, {"/"}, {0x1A, 0xB3, 0x12, 0xB0, 0x13}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    FsServer server;
    server.addReason = k.addReason;
    FakePeer peer;
    SessionPtr s = start(peer, [&server](FakePeer& p) { server(p); }, k.unicode);
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
  SessionPtr s = start(peer, [](FakePeer& p) {
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

}  // namespace
