#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "common/trace.h"
#include "server/migobject.h"
#include "tests/unit/server/fake_peer.h"

namespace {

// An answer in the handle form, as a query of a stub's object delivers it.
MigrQueryAnswer handleFormAnswer() {
  MigrQueryAnswer a;
  a.fsId = 7;
  a.objId = makeId(0xE0);
  a.path = "/orca/fs1/dir/file.dat";
  a.attrib.size = 123456789012ULL;
  a.attrib.mode = 0100644;
  a.attrib.uid = 1001;
  a.attrib.gid = 100;
  a.attrib.inode = 4242;
  a.attrib.mtime = 1700000000;
  a.attrib.ctime = 1700000100;
  a.attrib.atime = 1700000200;
  a.attrib.flags = 0x10;  // state 2
  a.attrib.hsm.handleForm.marker = kAttribHandleMarker;
  a.attrib.hsm.handleForm.handleLength = 20;
  for (size_t i = 0; i < kMaxHandleLen; ++i) a.attrib.hsm.handleForm.handle[i] = static_cast<uint8_t>(0xA0 + i);
  a.serverAttrib.valid1 = a.serverAttrib.valid2 = 1;
  const uint32_t order[kRestoreOrderWords] = {0, 1, 0xABCD, 0x12345678, 0xFFFFFFFF};
  memcpy(a.serverAttrib.restoreOrder, order, sizeof order);
  a.serverAttrib.mediaClass = kMediaClassLibrary;
  return a;
}

// Sets a trace class for one test and restores it afterwards.
class ScopedClass {
 public:
  ScopedClass(unsigned char& flag, unsigned char value) : flag_(flag), saved_(flag) { flag_ = value; }
  ~ScopedClass() { flag_ = saved_; }

 private:
  unsigned char& flag_;
  unsigned char saved_;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace

TEST(MigratedObject, IdPrintsAsUpperCaseHexAndFollowsANewIdButNoNullOne) {
  ZefServerMigratedObject obj;
  EXPECT_EQ(obj.setAttributes(nullptr), 0);
  EXPECT_EQ(obj.getAttributes(), nullptr);
  midExtObjId_t zero{};
  ASSERT_EQ(obj.setExtObjID(&zero), 1);
  EXPECT_EQ(obj.getExtObjIDString(), std::string(56, '0'));
  const midExtObjId_t id = makeId(0x0A);
  ASSERT_EQ(obj.setExtObjID(&id), 1);
  EXPECT_EQ(obj.getExtObjIDString(), "0A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425");
  EXPECT_EQ(obj.setExtObjID(nullptr), 0);
  EXPECT_EQ(obj.getExtObjIDString().substr(0, 4), "0A0B");
  // The record keeps its own copy: changing the caller's id changes nothing.
  midExtObjId_t scratch = makeId(0x00);
  ASSERT_EQ(obj.setExtObjID(&scratch), 1);
  scratch.bytes[0] = 0xFF;
  EXPECT_EQ(obj.getExtObjIDString().substr(0, 4), "0001");
  EXPECT_EQ(obj.getExtObjID()->bytes[0], 0x00);
}

TEST(MigratedObject, MigrationStateTouchesOnlyItsBitsAndStampsExpiry) {
  ZefServerMigratedObject obj;
  Attrib attr{};
  attr.flags = 0xE7;  // every bit but the state set
  attr.atime = 1000;
  ASSERT_EQ(obj.setAttributes(&attr), 1);
  EXPECT_FALSE(obj.isObjectExpired());

  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  obj.setFileMigrState(7);  // only the low two bits count: 3, expired
  const uint32_t after = static_cast<uint32_t>(time(nullptr));
  EXPECT_EQ(obj.getAttributes()->flags, 0xFF);
  EXPECT_EQ(attribMigState(*obj.getAttributes()), 3u);
  EXPECT_TRUE(obj.isObjectExpired());
  // 7 is not the expired state itself, so atime stays as it was.
  EXPECT_EQ(obj.getAttributes()->atime, 1000u);

  obj.setFileMigrState(3);
  EXPECT_GE(obj.getAttributes()->atime, before);
  EXPECT_LE(obj.getAttributes()->atime, after + 1);

  const uint32_t stamped = obj.getAttributes()->atime;
  obj.setFileMigrState(2);
  EXPECT_FALSE(obj.isObjectExpired());
  EXPECT_EQ(obj.getAttributes()->flags, 0xF7);
  EXPECT_EQ(obj.getAttributes()->atime, stamped);
  // The caller's record was copied, not borrowed.
  EXPECT_EQ(attr.flags, 0xE7);
}

TEST(MigratedObject, MediaClassNames) {
  const std::pair<int, const char*> table[] = {{0, "UNKNOWN"},   {16, "fixed"},   {32, "library"},
                                               {48, "network"},  {64, "shelf"},   {80, "offsite"},
                                               {240, "unavailable"}, {17, "UNKNOWN"}, {255, "UNKNOWN"}};
  ZefServerMigratedObject obj;
  for (const auto& [value, name] : table) {
    obj.mediaClass = static_cast<uint8_t>(value);
    EXPECT_EQ(obj.getMediaClassName(), name) << "media class " << value;
  }
}

// Filling from an answer copies every part: the attributes whole, the rest
// as the dump shows it.
TEST(MigratedObject, FilledFromAnAnswerDumpsEveryFieldOnlyWithDetailTrace) {
  ScopedClass detail(TR_SMRECONCILEDETAIL, 0);
  const MigrQueryAnswer answer = handleFormAnswer();
  ZefServerMigratedObject obj;
  ASSERT_EQ(fillMigratedObject(obj, answer), 1);
  ASSERT_NE(obj.getAttributes(), nullptr);
  EXPECT_EQ(memcmp(obj.getAttributes(), &answer.attrib, sizeof(Attrib)), 0);
  EXPECT_EQ(obj.toString(), "\n");
  TR_SMRECONCILEDETAIL = 1;
  const std::vector<std::string> got = lines(obj.toString());
  ASSERT_EQ(got.size(), 19u);  // the text ends with the one empty line
  EXPECT_EQ(got[0], "");
  EXPECT_EQ(got[1], "=== ZEF Server Migrated Object ===");
  EXPECT_EQ(got[2], "");
  EXPECT_EQ(got[3], "                    alias : /orca/fs1/dir/file.dat");
  EXPECT_EQ(got[4], "                   handle : A0A1A2A3A4A5A6A7-A8A9AAABACADAEAF-B0B1B2B3");
  EXPECT_EQ(got[5], "            handle length : 20");
  EXPECT_EQ(got[6], "                 extObjID : "
                    "E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FAFB");
  EXPECT_EQ(got[7], "                     fsID : 7");
  EXPECT_EQ(got[8], "                file size : 123456789012");
  EXPECT_EQ(got[9], "                    inode : 4242");
  EXPECT_EQ(got[10], "                      uid : 1001");
  EXPECT_EQ(got[11], "                      gid : 100");
  EXPECT_EQ(got[12], "                     mode : 33188");
  // Times: local date and time; the mtime and atime texts must differ, as
  // the values do, and name the year.
  EXPECT_EQ(got[13].substr(0, 28), "                    mtime : ");
  EXPECT_NE(got[13].find("2023"), std::string::npos) << got[13];
  EXPECT_NE(got[13].substr(28), got[15].substr(28));
  EXPECT_EQ(got[14].substr(0, 28), "                    ctime : ");
  EXPECT_EQ(got[15].substr(0, 28), "                    atime : ");
  EXPECT_EQ(got[16], "              media class : library");
  EXPECT_EQ(got[17], "            restore order : 00000000-00000001-0000ABCD-12345678-FFFFFFFF");
  EXPECT_EQ(got[18], "");
}

