// The bytes both ends of the conversation must agree on: framing, the
// attribute codec, the layouts of the file space verbs (those of the sign-on,
// query and transaction verbs are checked in the bytes the session tests'
// peer reads) and the checks on the verbs the client reads. Expected bytes are
// written out here, not produced by the encoders.
#include <gtest/gtest.h>

#include <cstring>

#include "server/verbcodec.h"
#include "server/wire/attribcodec.h"
#include "server/wire/bytes.h"
#include "server/wire/verb.h"
#include "tests/support/verb_builder.h"
#include "tests/unit/server/fake_peer.h"

namespace {

// The limits, the magic byte and the lengths that do not cover their own
// header are the session's receive test; here, what only the parser sees.
TEST(VerbHeader, ExtendedHeaderNeedsAllTwelveBytesAndEveryHeaderTheMagic) {
  const uint8_t ext[12] = {0, 0, 0x08, 0xA5, 0, 0, 0, 0x36, 0, 0x01, 0, 0};
  VerbHeader h;
  ASSERT_EQ(verbParseHeader(ext, 12, kVerbMaxLenLarge, &h), 0);
  EXPECT_EQ(h.length, 0x10000u);
  EXPECT_EQ(h.headerLen, 12u);
  EXPECT_EQ(verbParseHeader(ext, 11, kVerbMaxLenLarge, &h), 136);
  const uint8_t badMagic[4] = {0x00, 0x06, 0x13, 0xA6};  // the session checks it before
  EXPECT_EQ(verbParseHeader(badMagic, 4, kVerbMaxLen, &h), 136);
}

TEST(VerbDescriptor, FieldsMustLieInsideTheVerb) {
  // 8-byte fixed part (descriptor at 4), 6-byte data area.
  uint8_t v[14] = {0, 14, 0x99, 0xA5, 0, 2, 0, 4, 'a', 'b', 'c', 'd', 'e', 'f'};
  VerbField f;
  ASSERT_EQ(verbGetField(v, sizeof v, 8, 4, &f), 0);
  EXPECT_EQ(f.length, 4u);
  EXPECT_EQ(memcmp(f.data, "cdef", 4), 0);

  v[7] = 5;  // offset 2 + length 5 > 6
  EXPECT_EQ(verbGetField(v, sizeof v, 8, 4, &f), 136);
  v[5] = 6;
  v[7] = 0;  // empty field at the very end is fine
  ASSERT_EQ(verbGetField(v, sizeof v, 8, 4, &f), 0);
  EXPECT_EQ(f.length, 0u);
  EXPECT_EQ(f.data, nullptr);

  EXPECT_EQ(verbGetField(v, sizeof v, 8, 6, &f), 136);   // descriptor crosses into the data
  EXPECT_EQ(verbGetField(v, sizeof v, 20, 4, &f), 136);  // data area beyond the verb
}

// The layouts the writer makes are the encoders' tests (the verbs' bytes in
// the session and file space tests); here, what it refuses.
TEST(VerbWriter, RefusesFieldsAndPaddingBeyondTheBuffer) {
  uint8_t buf[16];
  VerbWriter small(buf, sizeof buf, 8);
  small.field(4, "0123456789", 10);
  EXPECT_FALSE(small.ok());
  EXPECT_EQ(small.finish(0x77), 0u);
  VerbWriter padded(buf, sizeof buf, 4);
  EXPECT_EQ(padded.finish(0x33, 17), 0u);
}

Attrib sampleAttrib() {
  Attrib a{};
  a.size = 0x123456789ULL;
  a.mode = 0100640;
  a.uid = 1001;
  a.gid = 2002;
  a.atime = 1700000001;
  a.mtime = 1700000002;
  a.ctime = 1700000003;
  a.inode = 0xABCDEF01;
  a.objectType = 1;
  a.flags = 0x20 | 0x80 | 0x40 | (2 << 3);
  a.flags2 = 0x02;
  a.attribsOnly = 1;
  return a;
}

// Decoding gives back every field that travels: encoding the decoded block
// again gives the same bytes, for each form of the HSM part.
void expectRoundTrip(const Attrib& a, bool handleForm) {
  uint8_t b[kAttribNetLen], again[kAttribNetLen];
  ASSERT_EQ(AttribToNet(a, b, sizeof b), kAttribNetLen);
  Attrib back{};
  ASSERT_EQ(NetToAttrib(b, sizeof b, &back), 0);
  ASSERT_EQ(AttribToNet(back, again, sizeof again), kAttribNetLen);
  EXPECT_EQ(memcmp(again, b, kAttribNetLen), 0);
  EXPECT_EQ(attribMigState(back), 2u);
  EXPECT_EQ(attribHasHandleForm(back), handleForm);
}

TEST(AttribCodec, NetworkFormBytesAndBack) {
  Attrib a = sampleAttrib();
  a.flags |= 0x01;   // no meaning on the wire: must not travel
  a.flags2 |= 0xF0;  // only bits 0-3 travel
  a.hsm.handleForm.marker = kAttribHandleMarker;
  a.hsm.handleForm.handleLength = 3;
  a.hsm.handleForm.handle[0] = 0xA1;
  a.hsm.handleForm.handle[1] = 0xA2;
  a.hsm.handleForm.handle[2] = 0xA3;
  uint8_t b[kAttribNetLen];
  ASSERT_EQ(AttribToNet(a, b, sizeof b), 136u);
  const uint8_t header[22] = {8, 9, 22, 0, 114, 7, 39, 1, 0, 0, 0, 1, 0x23, 0x45, 0x67, 0x89,
                              0, 1, 0xF0, 0x02, 0, 0x80};
  EXPECT_EQ(memcmp(b, header, 22), 0);
  // mode, uid, gid, atime, mtime, ctime, inode
  const uint8_t system[28] = {0, 0, 0x81, 0xA0, 0, 0, 0x03, 0xE9, 0, 0, 0x07, 0xD2, 0x65, 0x53, 0xF1, 0x01,
                              0x65, 0x53, 0xF1, 0x02, 0x65, 0x53, 0xF1, 0x03, 0xAB, 0xCD, 0xEF, 0x01};
  EXPECT_EQ(memcmp(b + 22, system, 28), 0);
  const uint8_t hsm[7] = {0x8E, 0x7D, 0, 3, 0xA1, 0xA2, 0xA3};
  EXPECT_EQ(memcmp(b + 50, hsm, 7), 0);
  for (size_t i = 57; i < 136; ++i) EXPECT_EQ(b[i], 0) << "byte " << i;
  EXPECT_EQ(AttribToNet(a, b, 135), 0u);
  expectRoundTrip(a, true);

  a.hsm = AttribHsmPart{};
  for (uint8_t i = 0; i < kExtObjIdLen; ++i) a.hsm.objId[i] = static_cast<uint8_t>(0x30 + i);
  expectRoundTrip(a, false);
  a.hsm = AttribHsmPart{};
  a.hsm.handleForm.marker = kAttribHandleMarkerAlt;
  a.hsm.handleForm.handleLength = 32;
  memset(a.hsm.handleForm.handle, 0x5C, 32);
  expectRoundTrip(a, true);
}

TEST(AttribCodec, ReadingOlderAndUnknownFormats) {
  Attrib a = sampleAttrib();
  uint8_t b[kAttribNetLen];
  AttribToNet(a, b, sizeof b);

  // Minor 8: no encryption bit, no second flag byte, no attributes-only bit.
  b[1] = 8;
  Attrib r{};
  ASSERT_EQ(NetToAttrib(b, sizeof b, &r), 0);
  EXPECT_EQ(r.flags & 0x80, 0);
  EXPECT_EQ(r.flags2, 0);
  EXPECT_EQ(r.attribsOnly, 0);
  EXPECT_EQ(r.flags & 0x40, 0x40);

  // Major 6: neither bit 6 nor build and modification level.
  b[0] = 6;
  b[20] = 9;
  r = Attrib{};
  ASSERT_EQ(NetToAttrib(b, sizeof b, &r), 0);
  EXPECT_EQ(r.flags & 0x40, 0);
  EXPECT_EQ(r.buildLevel, 0);
  EXPECT_EQ(r.mode, a.mode);

  // Major 9: unknown, but the common fields are taken.
  b[0] = 9;
  r = Attrib{};
  EXPECT_EQ(NetToAttrib(b, sizeof b, &r), 122);
  EXPECT_EQ(r.size, a.size);
  EXPECT_EQ(r.objectType, 65535);

  b[0] = 4;
  r = Attrib{};
  EXPECT_EQ(NetToAttrib(b, sizeof b, &r), 122);
  EXPECT_EQ(r.size, 0u);

  // Client kind 2 leaves the system-dependent attributes zeroed.
  b[0] = 8;
  b[7] = 2;
  r = Attrib{};
  r.mode = 0777;
  ASSERT_EQ(NetToAttrib(b, sizeof b, &r), 0);
  EXPECT_EQ(r.mode, 0u);
  EXPECT_EQ(r.size, a.size);
  EXPECT_EQ(NetToAttrib(b, sizeof b, &r, 2), 122);
  b[7] = 3;
  EXPECT_EQ(NetToAttrib(b, sizeof b, &r), 122);

  // Major 2: the older layout.
  uint8_t old[10 + 64] = {2, 64, 7, 39, 0, 0, 0x10, 0, 0, 1};
  putU32(old + 10, 0100600);
  r = Attrib{};
  ASSERT_EQ(NetToAttrib(old, sizeof old, &r), 0);
  EXPECT_EQ(r.size, 0x1000u);
  EXPECT_EQ(r.objectType, 1);
  EXPECT_EQ(r.mode, 0100600u);
  EXPECT_EQ(r.osCode, 7);
}

TEST(AttribCodec, MalformedBlocksAreRefused) {
  Attrib a = sampleAttrib();
  uint8_t b[kAttribNetLen];
  AttribToNet(a, b, sizeof b);
  Attrib r{};
  EXPECT_EQ(NetToAttrib(b, 21, &r), 136);           // header cut
  EXPECT_EQ(NetToAttrib(b, 100, &r), 136);          // system part claims more than present
  putU16(b + 3, 0xFFFF);
  EXPECT_EQ(NetToAttrib(b, sizeof b, &r), 136);
  putU16(b + 3, 114);
  putU16(b + 22 + 28, kAttribHandleMarker);
  putU16(b + 22 + 30, 33);                          // handle longer than 32
  EXPECT_EQ(NetToAttrib(b, sizeof b, &r), 136);
  uint8_t old[12] = {1, 60, 7, 39, 0, 0, 0, 1, 0, 1, 0, 0};
  EXPECT_EQ(NetToAttrib(old, sizeof old, &r), 136);  // older form, part cut
  EXPECT_EQ(NetToAttrib(old, 1, &r), 136);
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
  // Its id and path: the query source test.
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
