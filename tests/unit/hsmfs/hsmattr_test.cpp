#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "hsmfs/hsmattr.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locks.h"
#include "tests/unit/hsmfs/fake_store.h"

namespace {

template <typename T>
T at(const uint8_t* p, size_t off) {
  T v;
  memcpy(&v, p + off, sizeof v);
  return v;
}

midExtObjId_t sampleId() {
  midExtObjId_t id;
  for (size_t i = 0; i < kExtObjIdLen; ++i) id.bytes[i] = static_cast<uint8_t>(0xA0 + i);
  return id;
}

class AttrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = hsmInstallEnv({.attrStore = &store});
    hsmSettings().extObjIdAttr = 0;
    hsmSettings().eventDestroy = 0;
  }
  void TearDown() override { hsmInstallEnv(previous_); }
  std::vector<uint8_t>& A(const HsmHandleBytes& hh, const char* n) { return store.attrs[{hh, n}]; }
  size_t has(const HsmHandleBytes& hh, const char* n) { return store.attrs.count({hh, n}); }
  FakeAttrStore store;
  HsmHandleBytes h = FakeAttrStore::bytesOf(7, 42);
  HsmLayerEnv previous_;
};

}  // namespace

TEST(VOQObjLayout, EveryFieldAtItsOffset) {
  dmiInfo info;
  info.extObjId = sampleId();
  info.fileSize = 0x1122334455667788ULL;
  info.fileValue2 = 0x0102030405060708ULL;
  dmiSet64bitDataSize(info, 0x0000000500000009ULL);
  info.keep52 = 0xCAFEBABE;
  info.dataSizeForm = 8;
  info.objFlags = DMI_OBJ_UNCOMPRESSED;
  info.keep58 = 0x1234;
  info.keep60 = 0xDEADBEEF;
  info.migState = 2;
  info.recallMark = 1;
  info.migDataLen = 32;
  for (int i = 0; i < 32; ++i) info.migData[i] = static_cast<uint8_t>(i + 1);

  uint8_t b[kVOQObjLen];
  memset(b, 0xEE, sizeof b);
  encodeVOQObj(info, b);
  EXPECT_EQ(0, memcmp(b, info.extObjId.bytes, 28));
  EXPECT_EQ(at<uint64_t>(b, 28), 0x1122334455667788ULL);
  EXPECT_EQ(at<uint64_t>(b, 36), 0x0102030405060708ULL);
  EXPECT_EQ(at<uint32_t>(b, 44), 5u);
  EXPECT_EQ(at<uint32_t>(b, 48), 9u);
  EXPECT_EQ(at<uint32_t>(b, 52), 0xCAFEBABEu);
  EXPECT_EQ(b[56], 8);
  EXPECT_EQ(b[57], 0x02);
  EXPECT_EQ(at<uint16_t>(b, 58), 0x1234);
  EXPECT_EQ(at<uint32_t>(b, 60), 0xDEADBEEFu);
  EXPECT_EQ(at<uint64_t>(b, 64), 0u);
  EXPECT_EQ(at<uint32_t>(b, 72), 2u);
  EXPECT_EQ(at<uint32_t>(b, 76), 1u);
  EXPECT_EQ(at<uint64_t>(b, 80), 0u);
  EXPECT_EQ(at<uint32_t>(b, 88), 32u);
  EXPECT_EQ(b[92], 1);
  EXPECT_EQ(b[123], 32);

  dmiInfo back = decodeVOQObj(b);
  EXPECT_EQ(0, memcmp(back.extObjId.bytes, info.extObjId.bytes, 28));
  EXPECT_EQ(back.keep60, info.keep60);
  EXPECT_EQ(back.keep58, info.keep58);
  EXPECT_EQ(dmiGet64bitDataSize(back), 0x0000000500000009ULL);
  // Any form byte other than 8 means only the low word counts.
  back.dataSizeForm = 0;
  EXPECT_EQ(dmiGet64bitDataSize(back), 9u);
  dmiSet64bitDataSize(back, 77);
  EXPECT_EQ(back.dataSizeHigh, 0u);
  EXPECT_EQ(back.dataSizeLow, 77u);
}

TEST(VOQexIDAndStatLayouts, HexTextAndStateRecord) {
  char text[kVOQexIDLen];
  memset(text, 'x', sizeof text);
  encodeVOQexID(sampleId(), text);
  EXPECT_EQ(std::string(text, 8), "A0A1A2A3");
  EXPECT_EQ(std::string(text + 48, 8), "B8B9BABB");
  EXPECT_EQ(text[56], '\0');
  EXPECT_EQ(strlen(text), 56u);

  fsmState st;
  st.flags = FSM_MIGRATE | 8;
  st.created = 1700000000;
  st.fsName = "/orca/fs1";
  uint8_t b[kVOQStatLen];
  ASSERT_TRUE(encodeVOQStat(st, b));
  EXPECT_EQ(at<uint32_t>(b, 0), 0u);
  EXPECT_EQ(at<uint32_t>(b, 4), 1u);
  EXPECT_EQ(at<uint32_t>(b, 8), 0u);
  EXPECT_EQ(at<uint32_t>(b, 12), 1u);
  EXPECT_EQ(at<int32_t>(b, 16), 1700000000);
  EXPECT_STREQ(reinterpret_cast<const char*>(b + 20), "/orca/fs1");
  fsmState back = decodeVOQStat(b, sizeof b);
  EXPECT_EQ(back.flags, st.flags);
  EXPECT_EQ(back.fsName, st.fsName);

  testing::internal::CaptureStderr();
  st.fsName.assign(1001, 'a');
  EXPECT_FALSE(encodeVOQStat(st, b));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("2076"), std::string::npos);
}

TEST_F(AttrTest, MigrationStatesFromTheAttributes) {
  midExtObjId_t id{};
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, &id), DMI_STATE_RESIDENT);

  ASSERT_EQ(dmiSetFileMigStat(store.sid, h, kNoToken, sampleId(), DMI_STATE_PREMIGRATED), 0);
  EXPECT_EQ(A(h, kAttrPMig).size(), kVOQPMigLen);
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, &id), DMI_STATE_PREMIGRATED);
  EXPECT_EQ(0, memcmp(id.bytes, sampleId().bytes, 28));
  EXPECT_EQ(has(h, kAttrExtId), 0u);  // HSMEXTOBJIDATTR is 0

  // A stub that still has the premigration id is reported from "VOQObj".
  dmiInfo info;
  info.extObjId.bytes[0] = 0x77;
  info.migState = DMI_STATE_MIGRATED;
  ASSERT_EQ(dmiSetDMAttrib(store.sid, h, kNoToken, info), 0);
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, &id), DMI_STATE_MIGRATED);
  EXPECT_EQ(id.bytes[0], 0x77);

  ASSERT_EQ(dmiSetFileMigStat(store.sid, h, kNoToken, id, DMI_STATE_RECALL_MARKED), 0);
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, nullptr), DMI_STATE_RECALL_MARKED);
  ASSERT_EQ(dmiSetFileMigStat(store.sid, h, kNoToken, id, DMI_STATE_RECALL_CANCELLED), 0);
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, nullptr), DMI_STATE_RECALL_CANCELLED);
  const auto& raw = A(h, kAttrObj);
  EXPECT_EQ(at<uint32_t>(raw.data(), 72), 12u);
  EXPECT_EQ(at<uint32_t>(raw.data(), 76), 1u);
  ASSERT_EQ(dmiSetFileMigStat(store.sid, h, kNoToken, id, DMI_STATE_RESIDENT), 0);
  EXPECT_EQ(dmiGetFileResStat(store.sid, h, kNoToken, nullptr), DMI_STATE_RESIDENT);
  EXPECT_EQ(at<uint32_t>(A(h, kAttrObj).data(), 76), 0u);

  store.failGetErrno = EIO;
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, nullptr), DMI_STATE_ERROR);
  store.failGetErrno = DMI_ENOATTR;
  EXPECT_EQ(dmiGetFileMigStat(store.sid, h, kNoToken, nullptr), DMI_STATE_RESIDENT);
}

TEST_F(AttrTest, ExternalIdAttributeFollowsTheOptionAndIsUndoneOnFailure) {
  hsmSettings().extObjIdAttr = 1;
  ASSERT_EQ(dmiSetFileMigStat(store.sid, h, kNoToken, sampleId(), DMI_STATE_PREMIGRATED), 0);
  const auto& text = A(h, kAttrExtId);
  ASSERT_EQ(text.size(), kVOQexIDLen);
  EXPECT_EQ(std::string(text.begin(), text.begin() + 4), "A0A1");

  ASSERT_EQ(dmiResetFileMigStat(store.sid, h, kNoToken), 0);
  EXPECT_EQ(has(h, kAttrPMig), 0u);
  EXPECT_EQ(has(h, kAttrExtId), 0u);

  // "VOQexID" cannot be written: the first attribute is removed again.
  store.failSet[kAttrExtId] = {EIO, 1};
  dmiInfo info;
  EXPECT_EQ(dmiSetDMAttrib(store.sid, h, kNoToken, info), -1);
  EXPECT_EQ(has(h, kAttrObj), 0u);
  store.failSet[kAttrExtId] = {EIO, 1};
  EXPECT_EQ(dmiSetFileMigStat(store.sid, h, kNoToken, sampleId(), DMI_STATE_PREMIGRATED), -1);
  EXPECT_EQ(has(h, kAttrPMig), 0u);
}

TEST_F(AttrTest, FullFileSystemEmptiesReserveFilesOneAtATime) {
  char tmpl[] = "/tmp/kmrreserve.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string mount = tmpl;
  mkdir((mount + "/.Tarnveld").c_str(), 0755);
  mkdir((mount + "/.Tarnveld/reserved").c_str(), 0755);
  for (unsigned n : {2u, 3u}) std::ofstream(reserveFilePath(mount, n)) << std::string(4096, 'r');
  store.fsNames[h] = mount;

  auto sizeOf = [&](unsigned n) {
    struct stat st;
    return stat(reserveFilePath(mount, n).c_str(), &st) == 0 ? st.st_size : -1;
  };
  // Two failures: reserve files 2 and 3 are emptied in that order, the third try succeeds.
  store.failSet[kAttrObj] = {ENOSPC, 2};
  dmiInfo info;
  EXPECT_EQ(dmiSetDMAttrib(store.sid, h, kNoToken, info), 0);
  EXPECT_EQ(sizeOf(2), 0);
  EXPECT_EQ(sizeOf(3), 0);
  EXPECT_EQ(has(h, kAttrObj), 1u);

  // Nothing left to empty: the write fails with ENOSPC.
  store.attrs.clear();
  store.failSet[kAttrObj] = {ENOSPC, 5};
  EXPECT_EQ(dmiSetDMAttrib(store.sid, h, kNoToken, info), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(has(h, kAttrObj), 0u);
  std::string cmd = "rm -rf " + mount;
  ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST_F(AttrTest, ManagedRegionAndDestroyEvent) {
  ASSERT_EQ(dmiSetMngRegion(store.sid, h, kNoToken, 0, DMI_REGION_STUB), 0);
  ASSERT_EQ(store.regions[h].size(), 1u);
  EXPECT_EQ(store.regions[h][0].flags, 7u);
  EXPECT_EQ(store.regions[h][0].size, 0u);
  EXPECT_EQ(store.events.count(h), 0u);  // HSMEVENTDESTROY is 0

  hsmSettings().eventDestroy = 1;
  ASSERT_EQ(dmiSetMngRegion(store.sid, h, kNoToken, 0, DMI_REGION_STUB), 0);
  EXPECT_EQ(store.events[h], 1u << 22);
  ASSERT_EQ(dmiClrMngRegion(store.sid, h, kNoToken), 0);
  EXPECT_TRUE(store.regions[h].empty());
  EXPECT_EQ(store.events[h], 0u);
  EXPECT_STREQ(dmiEventName(22), "DM_EVENT_DESTROY");
  EXPECT_STREQ(dmiEventName(1), "DM_EVENT_CLOSE");
  EXPECT_STREQ(dmiEventName(23), "DM_EVENT_USER");
}

TEST_F(AttrTest, PresenceTestAndCancelledMigrations) {
  EXPECT_EQ(dmiFileHasDmAttr(store.sid, h, kAttrObj), 0);
  dmiInfo info;
  ASSERT_EQ(dmiSetDMAttrib(store.sid, h, kNoToken, info), 0);
  EXPECT_EQ(dmiFileHasDmAttr(store.sid, h, kAttrObj), 1);  // larger than the probe buffer

  HsmHandleBytes other = FakeAttrStore::bytesOf(7, 43);
  dmiAddActiveMig({h, info, true});
  dmiAddActiveMig({other, info, false});
  store.attrs.clear();
  dmiCancelMig();
  EXPECT_EQ(dmiActiveMigCount(), 0u);
  ASSERT_EQ(has(h, kAttrObj), 1u);
  EXPECT_EQ(at<uint32_t>(A(h, kAttrObj).data(), 72), 5u);
  EXPECT_EQ(has(other, kAttrObj), 0u);
  dmiCancelMig();  // empty list: nothing happens
  EXPECT_EQ(store.attrs.size(), 1u);
}
