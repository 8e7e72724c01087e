// Byte layouts of the verbs the client sends, and the checks on the verbs it
// reads. Expected bytes are written out here, not produced by the encoders.
#include <gtest/gtest.h>

#include <cstring>

#include "server/verbcodec.h"
#include "server/wire/attribcodec.h"
#include "server/wire/bytes.h"
#include "tests/support/verb_builder.h"
#include "tests/unit/server/fake_peer.h"

namespace {

std::string str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(VerbEncoding, SignOnLayout) {
  SignOnRequest req;
  req.platform = "Linux";
  req.nodeName = "node-a1";
  req.owner = "root";
  req.further = "pw";
  req.capabilities[0] = 0x03;
  uint8_t buf[256];
  size_t len = buildSignOn(buf, sizeof buf, req);
  ASSERT_EQ(len, 42u + 5 + 7 + 4 + 2);
  // Descriptors of platform, node, owner and password, in this order of the
  // data area; the capabilities start at 26.
  const Bytes head = {0, 60, 0x1A, 0xA5, 2, 0, 0, 0, 5, 4, 2, 0, 5, 0, 7, 0, 12, 0, 4, 1, 0, 16, 0, 2};
  EXPECT_EQ(Bytes(buf, buf + head.size()), head);
  EXPECT_EQ(buf[26], 0x03);
  EXPECT_EQ(str(buf + 42, len - 42), "LinuxNODE-A1rootpw");
}

TEST(VerbEncoding, TransactionAndQueryVerbs) {
  uint8_t buf[128];
  ASSERT_EQ(buildBeginTxn(buf, sizeof buf), 4u);
  EXPECT_EQ(memcmp(buf, "\x00\x04\x12\xA5", 4), 0);
  ASSERT_EQ(buildEndTxn(buf, sizeof buf, 1, 0), 6u);
  EXPECT_EQ(memcmp(buf, "\x00\x06\x13\xA5\x01\x00", 6), 0);

  ASSERT_EQ(buildMigrQryAll(buf, sizeof buf, 0x01020304, 1, 2), 26u);
  const uint8_t qa[10] = {0, 26, 0x34, 0xA5, 1, 2, 3, 4, 1, 2};
  EXPECT_EQ(memcmp(buf, qa, 10), 0);
  for (int i = 10; i < 26; ++i) EXPECT_EQ(buf[i], 0);

  midExtObjId_t id = makeId(0x40);
  ASSERT_EQ(buildMigrQryItem(buf, sizeof buf, id, 2), 53u);
  const uint8_t qi[9] = {0, 53, 0x35, 0xA5, 0, 0, 0, 28, 2};
  EXPECT_EQ(memcmp(buf, qi, 9), 0);
  EXPECT_EQ(memcmp(buf + 25, id.bytes, 28), 0);

  memset(buf, 0xEE, sizeof buf);
  ASSERT_EQ(buildMigrDel(buf, sizeof buf, 9, id), 71u);
  const uint8_t del[12] = {0, 71, 0x33, 0xA5, 0, 0, 0, 9, 0, 0, 0, 28};
  EXPECT_EQ(memcmp(buf, del, 12), 0);
  EXPECT_EQ(memcmp(buf + 28, id.bytes, 28), 0);
  for (int i = 56; i < 71; ++i) EXPECT_EQ(buf[i], 0) << i;
}

TEST(VerbEncoding, MigrUpdCarriesOnlyWhatItsFlagsSay) {
  midExtObjId_t id = makeId(1);
  Attrib a{};
  a.size = 77;
  uint8_t block[kAttribNetLen];
  ASSERT_EQ(AttribToNet(a, block, sizeof block), kAttribNetLen);
  std::string path = "/dir/file";
  uint8_t buf[512];

  // Flags 1: the attribute block right after the id, no path descriptor.
  size_t len = buildMigrUpd(buf, sizeof buf, 42, id, block, sizeof block, &path, 1);
  ASSERT_EQ(len, 38u + 28 + 136);
  Bytes head = {0, 0xCA, 0x31, 0xA5, 0, 0, 0, 42, 0, 0, 0, 28, 0, 1, 0, 28, 0, 136, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(buf, buf + head.size()), head);
  EXPECT_EQ(memcmp(buf + 38, id.bytes, 28), 0);
  EXPECT_EQ(memcmp(buf + 66, block, 136), 0);

  // Flags 3: the path at 28, then the attribute block.
  len = buildMigrUpd(buf, sizeof buf, 42, id, block, sizeof block, &path, 3);
  ASSERT_EQ(len, 38u + 28 + 9 + 136);
  head = {0, 0xD3, 0x31, 0xA5, 0, 0, 0, 42, 0, 0, 0, 28, 0, 3, 0, 37, 0, 136, 0, 28, 0, 9};
  EXPECT_EQ(Bytes(buf, buf + head.size()), head);
  EXPECT_EQ(str(buf + 66, 9), path);
  EXPECT_EQ(memcmp(buf + 75, block, 136), 0);

  // Flags 2: the path only.
  len = buildMigrUpd(buf, sizeof buf, 42, id, nullptr, 0, &path, 2);
  ASSERT_EQ(len, 38u + 28 + 9);
  head = {0, 75, 0x31, 0xA5, 0, 0, 0, 42, 0, 0, 0, 28, 0, 2, 0, 0, 0, 0, 0, 28, 0, 9};
  EXPECT_EQ(Bytes(buf, buf + head.size()), head);
  EXPECT_EQ(buildMigrUpd(buf, sizeof buf, 42, id, nullptr, 0, nullptr, 2), 0u);
}

TEST(VerbEncoding, FileSpaceVerbs) {
  uint8_t buf[256];
  size_t len = buildFSQry(buf, sizeof buf, "nodeX", "/fs", false);
  const Bytes fsQry = {0, 20, 0xB3, 0xA5, 0, 0, 0, 5, 0, 5, 0, 3, 'N', 'O', 'D', 'E', 'X', '/', 'f', 's'};
  EXPECT_EQ(Bytes(buf, buf + len), fsQry);

  len = buildFSQry(buf, sizeof buf, "n", "/f\xC3\xA9", true);  // "/fé"
  ASSERT_EQ(len, 12u + 1 + 6);
  const uint8_t utf16[6] = {0, '/', 0, 'f', 0, 0xE9};
  EXPECT_EQ(memcmp(buf + 13, utf16, 6), 0);

  FSAddRequest add;
  add.fsName = "/fs";
  add.fsType = "ext4";
  add.nameForm = 0;
  add.size1 = 0x0000000100000002ULL;
  add.size2 = 0x0000000300000004ULL;
  len = buildFSAdd(buf, sizeof buf, add);
  // Descriptors of name, type and information, the delimiter, the name form,
  // both sizes in two words each, then the data and eight bytes of information.
  const Bytes fsAdd = {0, 50, 0xB0, 0xA5, 0, 0, 0, 3, 0, 3, 0, 4, 0, 7, 0, 8, '/', 0, 0,
                       0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4,
                       '/', 'f', 's', 'e', 'x', 't', '4', 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(buf, buf + len), fsAdd);

  add.nameForm = kFsNameFormUnicode;
  len = buildFSAdd(buf, sizeof buf, add);
  EXPECT_EQ(getU16(buf + 17), 0x7000);
  EXPECT_EQ(getU16(buf + 6), 6);  // the name in UTF-16
}

TEST(VerbDecoding, QueryAnswerChecks) {
  midExtObjId_t id = makeId(7);
  Bytes v = migrQryRespVerb(12, id, id, "/fs/a/b");
  MigrQueryAnswer a;
  ASSERT_EQ(decodeMigrQryResp(v.data(), v.size(), &a), 0);
  EXPECT_EQ(a.fsId, 12u);
  EXPECT_EQ(memcmp(a.objId.bytes, id.bytes, 28), 0);
  EXPECT_EQ(a.path, "/fs/a/b");
  EXPECT_EQ(a.attrib.size, 4096u);
  EXPECT_EQ(a.attrib.mode, 0100644u);
  EXPECT_EQ(a.attrib.mgmtClassId, 5u);
  EXPECT_EQ(a.attrib.stateFlags & 0x47, 0x03);
  EXPECT_EQ(a.serverAttrib.valid1, 1);
  EXPECT_EQ(a.serverAttrib.mediaClass, 0);

  Bytes badLen = v;
  putU16(&badLen[10], 27);
  EXPECT_EQ(decodeMigrQryResp(badLen.data(), badLen.size(), &a), 136);

  Bytes outside = v;
  putU16(&outside[37], 0xFFF0);  // path offset outside the verb
  EXPECT_EQ(decodeMigrQryResp(outside.data(), outside.size(), &a), 136);
  EXPECT_EQ(decodeMigrQryResp(v.data(), 56, &a), 136);
}

TEST(VerbDecoding, EnhancedQueryAnswer) {
  midExtObjId_t id = makeId(3);
  uint8_t hsm[36] = {0x8E, 0x7D, 0, 2, 0xAB, 0xCD};
  Bytes block = attribBlock(8, 1, 0100600, hsm);
  kmrtest::VerbBuilder enh(0x29, 69);
  putU32(&enh.b[4], 99);
  for (int i = 0; i < 5; ++i) putU32(&enh.b[17 + 4 * i], 100u + i);  // restore order
  enh.b[37] = 32;  // media class
  enh.b[53] = 1;
  const Bytes v = enh.field(8, idBytes(id)).field(45, block).field(49, kmrtest::str("/f")).done();
  MigrQueryAnswer a;
  ASSERT_EQ(decodeMigrQryResp(v.data(), v.size(), &a), 0);
  EXPECT_EQ(a.fsId, 99u);
  EXPECT_EQ(a.path, "/f");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a.serverAttrib.restoreOrder[i], 100u + i);
  EXPECT_EQ(a.serverAttrib.mediaClass, 32);
  EXPECT_EQ(memcmp(a.objId.bytes, id.bytes, 28), 0);
  ASSERT_TRUE(attribHasHandleForm(a.attrib));
  EXPECT_EQ(a.attrib.hsm.handleForm.handleLength, 2);
  EXPECT_EQ(a.attrib.hsm.handleForm.handle[1], 0xCD);
}

TEST(VerbDecoding, FileSpaceAnswer) {
  Bytes v = fsQryRespVerb(4711, "/fs", 8);
  FSQryAnswer a;
  ASSERT_EQ(decodeFSQryResp(v.data(), v.size(), &a), 0);
  EXPECT_EQ(a.fsId, 4711u);
  EXPECT_EQ(a.fsName, "/fs");
  EXPECT_EQ(a.fsType, "ext4");
  EXPECT_EQ(a.infoLen, 8u);
  EXPECT_EQ(a.delimiter, '/');
  putU16(&v[18], 9);  // information runs one byte past the verb
  EXPECT_EQ(decodeFSQryResp(v.data(), v.size(), &a), 136);
}

}  // namespace
