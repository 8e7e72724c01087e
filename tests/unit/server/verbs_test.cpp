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
    // MigrQryAll of file space 33, object type 1, ordering 2
    EXPECT_EQ(p.expectVerb(0x34), Bytes({0, 26, 0x34, 0xA5, 0, 0, 0, 33, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
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
  midExtObjId_t id = makeId(4);
  {
    FakePeer peer;
    SessionPtr s = start(peer, [&](FakePeer& p) {
      p.expectVerb(0x12);
      Bytes item = p.expectVerb(0x35);
      EXPECT_EQ(memcmp(&item[25], id.bytes, 28), 0);
      EXPECT_EQ(item[8], 2);
      Bytes v = migrQryRespVerb(8, id, id, "/fs/h");
      // Put the handle form into the attribute block (HSM part at 57+28+22+28).
      size_t hsm = 57 + 28 + 22 + 28;
      memset(&v[hsm], 0, 36);
      putU16(&v[hsm], 0x8E7D);
      putU16(&v[hsm + 2], 4);
      v[hsm + 4] = 0xD0;
      p.sendRaw(v);
      p.sendRaw(endTxnVerb(1, 0));
    });
    Answer r;
    ASSERT_EQ(hlQryOneMigrObjGetHandle(s.get(), id, 2, &r.fsId, &r.path, &r.attr, &r.srv), 0);
    EXPECT_EQ(r.fsId, 8u);
    EXPECT_EQ(r.path, "/fs/h");
    EXPECT_EQ(r.attr.hsm.handleForm.marker, 0x8E7D);
    EXPECT_EQ(r.attr.hsm.handleForm.handleLength, 4);
    EXPECT_EQ(r.attr.hsm.handleForm.handle[0], 0xD0);
    signOff(s, peer);
  }
  {
    FakePeer peer;
    SessionPtr s = start(peer, [&](FakePeer& p) {
      p.expectVerb(0x12);
      p.expectVerb(0x35);
      p.sendRaw(migrQryRespVerb(8, id, id, "/fs/a"));
      p.sendRaw(migrQryRespVerb(8, id, id, "/fs/b"));
      p.sendRaw(endTxnVerb(1, 0));
    });
    Answer r;
    EXPECT_EQ(hlQryOneMigrObjGetHandle(s.get(), id, 2, &r.fsId, &r.path, &r.attr, &r.srv), 131);
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

std::string fsNameOf(const Bytes& fsQry) { return fieldOf(fsQry, 12, 8); }

TEST(FileSpaceLookup, AddsAnUnknownFileSpace) {
  for (bool unicode : {false, true}) {
    FsServer server;
    FakePeer peer;
    SessionPtr s = start(peer, [&server](FakePeer& p) { server(p); }, unicode);
    fileSpec_t* spec = fmNewFileSpec("/fs", "", "");
    ASSERT_EQ(fsCheckAdd(s.get(), FileSpaceInfo{"/fs", '/'}, spec, fakeStats), 0);
    EXPECT_EQ(spec->fsID, 77u);
    fmDeleteFileSpec(spec);
    signOff(s, peer);

    const std::string utf16 = std::string("\0/\0f\0s", 6);
    if (unicode) {
      ASSERT_EQ(server.queries.size(), 3u);
      EXPECT_EQ(fsNameOf(server.queries[0]), "/fs");
      EXPECT_EQ(fsNameOf(server.queries[1]), utf16);
      EXPECT_EQ(fsNameOf(server.queries[2]), utf16);
    } else {
      ASSERT_EQ(server.queries.size(), 2u);
      EXPECT_EQ(fsNameOf(server.queries[0]), "/fs");
      EXPECT_EQ(fsNameOf(server.queries[1]), "/fs");
    }
    ASSERT_FALSE(server.add.empty());
    EXPECT_EQ(getU16(&server.add[17]), unicode ? 0x7000 : 0);
    EXPECT_EQ(getU32(&server.add[23]), 1000u);
    EXPECT_EQ(getU32(&server.add[31]), 400u);
    size_t infoOff = 35 + getU16(&server.add[12]);
    ASSERT_EQ(getU16(&server.add[14]), 8);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(server.add[infoOff + i], 0);
    std::vector<uint8_t> codes = peer.receivedCodes();
    std::vector<uint8_t> expect = unicode ? std::vector<uint8_t>{0x1A, 0xB3, 0xB3, 0x12, 0xB0, 0x13, 0xB3}
                                          : std::vector<uint8_t>{0x1A, 0xB3, 0x12, 0xB0, 0x13, 0xB3};
    EXPECT_EQ(codes, expect);
  }
}

TEST(FileSpaceLookup, AddRefusals) {
  for (int reason : {19, 5}) {
    FsServer server;
    server.addReason = reason;
    FakePeer peer;
    SessionPtr s = start(peer, [&server](FakePeer& p) { server(p); });
    fileSpec_t spec;
    int rc = getfsID(s.get(), &spec, fakeStats);  // empty name asks for "/"
    signOff(s, peer);
    if (reason == 19) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(spec.fsID, 77u);
    } else {
      EXPECT_EQ(rc, 5);
      EXPECT_EQ(spec.fsID, 0u);
      EXPECT_EQ(server.queries.size(), 1u);  // no query after a refused add
    }
    ASSERT_FALSE(server.queries.empty());
    EXPECT_EQ(fsNameOf(server.queries[0]), "/");
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
