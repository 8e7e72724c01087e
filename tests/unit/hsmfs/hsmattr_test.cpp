// The HSM attribute code. Mostly over the real DMAPI library, on real tmpfs
// and ext4 mounts in a private mount namespace: what lands on disk is read
// back with getxattr, independently of the code that wrote it, so a wrong
// offset, a dropped token or a lost option shows up as wrong bytes. Failures
// the real library cannot be made to give are injected by wrapping its store.
#include <fcntl.h>
#include <sys/mount.h>

#include "common/options.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/locks.h"
#include "hsmfs/xdsmapi.h"
#include "tests/support/errno_of.h"
#include "tests/support/xattr.h"
#include "tests/unit/hsmfs/hsmfs_env.h"

namespace {

class RealMountNamespace : public ::testing::Environment {
 public:
  void SetUp() override {
    ok = geteuid() == 0 && kmrtest::EnterPrivateMountNamespace() &&
         mount("tmpfs", "/var/log", "tmpfs", 0, "size=8m") == 0;
  }
  static inline bool ok = false;
};
::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new RealMountNamespace);

template <typename T>
T at(const std::string& raw, size_t off) {
  T v;
  memcpy(&v, raw.data() + off, sizeof v);
  return v;
}

using kmrtest::rawXattr;
using kmrtest::writeFile;
std::optional<std::string> dmAttr(const std::string& path, const char* name) {
  return rawXattr(path, std::string("trusted.dmapi.") + name);
}

midExtObjId_t idWithSeed(uint8_t seed) {
  midExtObjId_t id;
  for (size_t i = 0; i < kExtObjIdLen; ++i) id.bytes[i] = static_cast<uint8_t>(seed + 7 * i);
  return id;
}

off_t sizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// One file on a fresh mount, a session, and a user event token holding the
// exclusive right on the file, as stub recreation holds it.
class RealAttr : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!RealMountNamespace::ok) GTEST_SKIP() << "needs root and a private mount namespace";
    mountFs(GetParam(), 16);
    startWith(0, 0);
    api = XDSMAPI::getXDSMAPI();
    ASSERT_EQ(1, api->initService());
    sid = api->createSession(DM_NO_SESSION, "migundelete", 0);
    ASSERT_NE(DM_NO_SESSION, sid);
    ASSERT_EQ(sid, xdsmAttrStore()->sessionId()) << "the store must use the process's session";
    path = mnt->path() + "/dir/file";
    mkdir((mnt->path() + "/dir").c_str(), 0755);
    writeFile(path, std::string(8192, 'r'));
    ASSERT_EQ(1, xdsmAttrStore()->handleOfPath(path, &h)) << strerror(errno);
    token = newToken(h, DM_RIGHT_EXCL);
  }
  void TearDown() override {
    for (dm_token_t t : tokens) dmiRespondEventOk(sid, t);
    hsmInstallEnv({});
    hsmSettings() = HsmSettings();
    mnt.reset();
  }

  virtual void mountFs(const char* kind, unsigned sizeMb) {
    mnt = std::make_unique<kmrtest::ScratchMount>(kind, sizeMb);
  }

  // Start-up as the command does it, with the two option values given.
  void startWith(int extObjIdAttr, int eventDestroy) {
    clientOptions opts;
    opts.hsmExtObjIdAttr = static_cast<uint8_t>(extObjIdAttr);
    opts.hsmEventDestroy = static_cast<uint8_t>(eventDestroy);
    ASSERT_EQ(0, hsmLayerStartup(hsmXdsmEnv(), &opts));
  }

  HsmToken newToken(const DmHandle& file, dm_right_t right) {
    xdsm_handle_t view{const_cast<uint8_t*>(file.data()), file.size()};
    dm_token_t t = DM_NO_TOKEN;
    EXPECT_EQ(1, api->createUserEvent(sid, 8, view.hanp, &t));
    tokens.push_back(t);
    if (right != DM_RIGHT_NULL) {
      EXPECT_EQ(0, dmiRequestRight(sid, view, t, right, 16, "RealAttr"));
    }
    return HsmToken{t.high, t.low};
  }

  std::unique_ptr<kmrtest::ScratchMount> mnt;
  XDSMAPI* api = nullptr;
  dm_sessid_t sid = DM_NO_SESSION;
  std::string path;
  DmHandle h;
  HsmToken token;
  std::vector<dm_token_t> tokens;
};

dmiInfo patternedRecord() {
  dmiInfo info;
  info.extObjId = idWithSeed(0x31);
  info.fileSize = 0x1122334455667788ull;
  info.fileValue2 = 0x0102030405060708ull;
  dmiSet64bitDataSize(info, 0xABBCCDDEEull);
  info.keep52 = 0xCAFEBABEu;
  info.dataSizeForm = DMI_DATASIZE_64BIT;
  info.objFlags = DMI_OBJ_UNCOMPRESSED;
  info.keep58 = 0x5A5A;
  info.keep60 = 0x13579BDFu;
  info.migState = DMI_STATE_MIGRATED;
  info.recallMark = 0;
  info.migDataLen = 32;
  for (size_t i = 0; i < sizeof info.migData; ++i) info.migData[i] = static_cast<uint8_t>(0xF0 - i);
  return info;
}

TEST_P(RealAttr, ObjectRecordLandsOnDiskOffsetByOffset) {
  startWith(1, 0);
  const dmiInfo info = patternedRecord();
  ASSERT_EQ(0, dmiSetDMAttrib(sid, h, token, info)) << strerror(errno);

  // Byte for byte: id; size; second value; data size, high and low word; kept
  // word; size form 8; uncompressed; kept 16 and 32 bits; 8 zero bytes; state
  // 2 (migrated); no recall mark; 8 zero bytes; 32 bytes of migration data.
  const std::string record(
      "\x31\x38\x3F\x46\x4D\x54\x5B\x62\x69\x70\x77\x7E\x85\x8C\x93\x9A\xA1\xA8\xAF\xB6\xBD\xC4\xCB\xD2"
      "\xD9\xE0\xE7\xEE" "\x88\x77\x66\x55\x44\x33\x22\x11" "\x08\x07\x06\x05\x04\x03\x02\x01"
      "\x0A\x00\x00\x00" "\xEE\xDD\xCC\xBB" "\xBE\xBA\xFE\xCA" "\x08" "\x02" "\x5A\x5A" "\xDF\x9B\x57\x13"
      "\x00\x00\x00\x00\x00\x00\x00\x00" "\x02\x00\x00\x00" "\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00" "\x20\x00\x00\x00"
      "\xF0\xEF\xEE\xED\xEC\xEB\xEA\xE9\xE8\xE7\xE6\xE5\xE4\xE3\xE2\xE1\xE0\xDF\xDE\xDD\xDC\xDB\xDA\xD9"
      "\xD8\xD7\xD6\xD5\xD4\xD3\xD2\xD1",
      kVOQObjLen);
  EXPECT_EQ(record, dmAttr(path, kAttrObj));

  // HSMEXTOBJIDATTR 1 from the options: the id in text beside the record.
  EXPECT_EQ(std::string("31383F464D545B626970777E858C939AA1A8AFB6BDC4CBD2D9E0E7EE", kVOQexIDLen),
            dmAttr(path, kAttrExtId));

  dmiInfo back;
  ASSERT_EQ(0, dmiGetDMAttrib(sid, h, token, &back));
  EXPECT_EQ(0xABBCCDDEEull, dmiGet64bitDataSize(back));

  // Any other data-size form: only the low word counts when read back.
  dmiInfo narrow = info;
  narrow.dataSizeForm = 0;
  ASSERT_EQ(0, dmiSetDMAttrib(sid, h, token, narrow));
  ASSERT_EQ(0, dmiGetDMAttrib(sid, h, token, &back));
  EXPECT_EQ(0xBBCCDDEEull, dmiGet64bitDataSize(back));
  EXPECT_EQ(0xAu, at<uint32_t>(*dmAttr(path, kAttrObj), 44)) << "the high word stays on disk";
}

TEST_P(RealAttr, TokenWithoutTheRightWritesNothing) {
  // A store that dropped the token (DM_NO_TOKEN is accepted) would write here.
  HsmToken bare = newToken(h, DM_RIGHT_NULL);
  ASSERT_EQ(1, api->respondEvent(sid, dm_token_t{token.high, token.low}, DM_RESP_CONTINUE, 0));
  tokens.erase(tokens.begin());
  EXPECT_EQ(EACCES, kmrtest::errnoOf([&] { return dmiSetDMAttrib(sid, h, bare, patternedRecord()); }));
  EXPECT_EQ(EACCES, kmrtest::errnoOf([&] { return dmiSetMngRegion(sid, h, bare, 0, DMI_REGION_STUB); }));
  EXPECT_FALSE(dmAttr(path, kAttrObj).has_value());
  EXPECT_FALSE(rawXattr(path, "trusted.xdsm.regions").has_value());
}

TEST_P(RealAttr, MigrationStatesFromTheAttributesOnDisk) {
  midExtObjId_t id{};
  EXPECT_EQ(DMI_STATE_RESIDENT, dmiGetFileMigStat(sid, h, token, &id));

  const midExtObjId_t pmigId = idWithSeed(0x90);
  ASSERT_EQ(0, dmiSetFileMigStat(sid, h, token, pmigId, DMI_STATE_PREMIGRATED));
  auto pmig = dmAttr(path, kAttrPMig);
  ASSERT_TRUE(pmig.has_value());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pmigId.bytes), kExtObjIdLen), *pmig);
  EXPECT_FALSE(dmAttr(path, kAttrExtId).has_value()) << "HSMEXTOBJIDATTR is 0";
  EXPECT_EQ(DMI_STATE_PREMIGRATED, dmiGetFileMigStat(sid, h, token, &id));
  EXPECT_EQ(0, memcmp(id.bytes, pmigId.bytes, kExtObjIdLen));

  // Both attributes: the object record alone decides, with its own id.
  const dmiInfo info = patternedRecord();
  ASSERT_EQ(0, dmiSetDMAttrib(sid, h, token, info));
  EXPECT_TRUE(dmAttr(path, kAttrPMig).has_value());
  EXPECT_EQ(DMI_STATE_MIGRATED, dmiGetFileMigStat(sid, h, token, &id));
  EXPECT_EQ(0, memcmp(id.bytes, info.extObjId.bytes, kExtObjIdLen));
  int byName = 0;
  ASSERT_EQ(0, dmiGetPmigStat(&byName, path.c_str()));
  EXPECT_EQ(DMI_STATE_MIGRATED, byName);

  ASSERT_EQ(0, dmiSetFileMigStat(sid, h, token, id, DMI_STATE_RECALL_MARKED));
  EXPECT_EQ(1u, at<uint32_t>(*dmAttr(path, kAttrObj), 76));
  EXPECT_EQ(DMI_STATE_RECALL_MARKED, dmiGetFileMigStat(sid, h, token, nullptr));
  ASSERT_EQ(0, dmiSetFileMigStat(sid, h, token, id, DMI_STATE_RESIDENT));
  EXPECT_EQ(0u, at<uint32_t>(*dmAttr(path, kAttrObj), 76)) << "resident clears the recall mark";
  EXPECT_EQ(DMI_STATE_RESIDENT, dmiGetFileResStat(sid, h, token, nullptr));
  ASSERT_EQ(0, dmiSetFileMigStat(sid, h, token, id, DMI_STATE_RECALL_CANCELLED));
  EXPECT_EQ(12u, at<uint32_t>(*dmAttr(path, kAttrObj), 72));
  EXPECT_EQ(DMI_STATE_RECALL_CANCELLED, dmiGetFileMigStat(sid, h, token, nullptr));
  // The fields an update must not touch are still as written.
  auto raw = *dmAttr(path, kAttrObj);
  EXPECT_EQ(0xCAFEBABEu, at<uint32_t>(raw, 52));
  EXPECT_EQ(0x5A5A, at<uint16_t>(raw, 58));
  EXPECT_EQ(0x13579BDFu, at<uint32_t>(raw, 60));
  EXPECT_EQ(0, memcmp(raw.data() + 92, info.migData, 32));

  EXPECT_EQ(1, dmiFileHasDmAttr(sid, h, kAttrObj)) << "larger than the probe buffer";
  EXPECT_EQ(0, dmiFileHasDmAttr(sid, h, kAttrExtId));
}

TEST_P(RealAttr, PremigrationIsUndoneAndCancelledMigrationsAreRecorded) {
  startWith(1, 1);
  ASSERT_EQ(0, dmiSetMngRegion(sid, h, token, 0, DMI_REGION_STUB));
  ASSERT_EQ(0, dmiSetFileMigStat(sid, h, token, idWithSeed(3), DMI_STATE_PREMIGRATED));
  ASSERT_TRUE(dmAttr(path, kAttrExtId).has_value());
  ASSERT_EQ(0, dmiResetFileMigStat(sid, h, token));
  EXPECT_FALSE(dmAttr(path, kAttrPMig).has_value());
  EXPECT_FALSE(dmAttr(path, kAttrExtId).has_value());
  EXPECT_FALSE(rawXattr(path, "trusted.xdsm.regions").has_value());
  EXPECT_FALSE(rawXattr(path, "trusted.xdsm.events").has_value());

  // Two migrations of the process: the one under way is finished with state
  // 5 on disk; the other only leaves the list.
  const std::string idle = mnt->path() + "/dir/idle";
  writeFile(idle, std::string(100, 'r'));
  DmHandle idleHandle;
  ASSERT_EQ(1, xdsmAttrStore()->handleOfPath(idle, &idleHandle));
  ActiveMigration running{h, patternedRecord(), true};
  ActiveMigration waiting{idleHandle, patternedRecord(), false};
  dmiAddActiveMig(running);
  dmiAddActiveMig(waiting);
  dmiCancelMig();
  dmiCancelMig();  // nothing left: no effect
  EXPECT_EQ(0u, dmiActiveMigCount());
  auto raw = dmAttr(path, kAttrObj);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(5u, at<uint32_t>(*raw, 72));
  EXPECT_EQ(0x1122334455667788ull, at<uint64_t>(*raw, 28));
  EXPECT_TRUE(dmAttr(path, kAttrExtId).has_value());
  EXPECT_FALSE(dmAttr(idle, kAttrObj).has_value());
  EXPECT_EQ(DMI_STATE_CANCELLED, dmiGetFileMigStat(sid, h, token, nullptr));
}

// One region record on disk: offset, size (0: to the end), flags, 4 bytes of padding.
const std::string kStubRegion("\0\0\0\0\0\0\0\0" "\0\0\0\0\0\0\0\0" "\7\0\0\0" "\0\0\0\0", 24);
const std::string kReadRegionFrom4096("\0\x10\0\0\0\0\0\0" "\0\0\0\0\0\0\0\0" "\1\0\0\0" "\0\0\0\0", 24);

TEST_P(RealAttr, ManagedRegionWithAndWithoutTheDestroyEvent) {
  // An event list set by someone else: with HSMEVENTDESTROY 0 it is left alone.
  xdsm_handle_t view{h.data(), h.size()};
  dm_eventset_t other = 0;
  DMEV_SET(DM_EVENT_USER, other);
  ASSERT_EQ(1, api->setEventList(sid, view, dm_token_t{token.high, token.low}, &other, DM_EVENT_MAX));
  ASSERT_EQ(0, dmiSetMngRegion(sid, h, token, 0, DMI_REGION_STUB));
  EXPECT_EQ(kStubRegion, rawXattr(path, "trusted.xdsm.regions"));
  std::string otherBytes(reinterpret_cast<const char*>(&other), sizeof other);
  EXPECT_EQ(otherBytes, rawXattr(path, "trusted.xdsm.events"));
  ASSERT_EQ(0, dmiSetMngRegion(sid, h, token, 4096, 1));
  EXPECT_EQ(kReadRegionFrom4096, rawXattr(path, "trusted.xdsm.regions")) << "replaced, not added";
  ASSERT_EQ(0, dmiClrMngRegion(sid, h, token));
  EXPECT_FALSE(rawXattr(path, "trusted.xdsm.regions").has_value());
  EXPECT_EQ(otherBytes, rawXattr(path, "trusted.xdsm.events"));

  // With HSMEVENTDESTROY 1 the region comes with the destroy event alone.
  startWith(0, 1);
  ASSERT_EQ(0, dmiSetMngRegion(sid, h, token, 0, DMI_REGION_STUB));
  const uint64_t destroyOnly = uint64_t{1} << 22;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&destroyOnly), 8), rawXattr(path, "trusted.xdsm.events"));
  dm_stat_t st{};
  ASSERT_EQ(1, api->getFileAttr(sid, view, dm_token_t{token.high, token.low}, DM_AT_STAT | DM_AT_PMANR | DM_AT_EMASK, &st));
  EXPECT_EQ(1u, st.dt_pmanreg);
  EXPECT_EQ(destroyOnly, st.dt_emask);
  ASSERT_EQ(0, dmiClrMngRegion(sid, h, token));
  EXPECT_FALSE(rawXattr(path, "trusted.xdsm.regions").has_value());
  EXPECT_FALSE(rawXattr(path, "trusted.xdsm.events").has_value()) << "the event list is emptied";
}

// Failures the real library cannot be made to give.
TEST_P(RealAttr, UnreadableAttributesAreErrorsAndAnUnwritableIdUndoesTheFirstAttribute) {
  startWith(1, 0);
  kmrtest::FailingStore failing;
  hsmInstallEnv({.attrStore = &failing});
  failing.failGetErrno = EIO;
  EXPECT_EQ(DMI_STATE_ERROR, dmiGetFileMigStat(sid, h, token, nullptr));
  failing.failGetErrno = DMI_ENOATTR;
  EXPECT_EQ(DMI_STATE_RESIDENT, dmiGetFileMigStat(sid, h, token, nullptr));
  failing.failGetErrno = 0;
  failing.failSetOf = kAttrExtId;
  EXPECT_EQ(-1, dmiSetDMAttrib(sid, h, token, patternedRecord()));
  EXPECT_FALSE(dmAttr(path, kAttrObj).has_value());
  failing.failSetOf = kAttrExtId;
  EXPECT_EQ(-1, dmiSetFileMigStat(sid, h, token, idWithSeed(2), DMI_STATE_PREMIGRATED));
  EXPECT_FALSE(dmAttr(path, kAttrPMig).has_value());
  hsmInstallEnv({});
}

// (The file system's name of a handle is met by FullExt4: it finds the reserve files.)
TEST_P(RealAttr, FileSystemHandleOfAFileIsThatOfItsMountPoint) {
  DmHandle fromFile, fromPath;
  ASSERT_EQ(1, xdsmAttrStore()->fsHandleOfHandle(h, &fromFile));
  ASSERT_EQ(1, xdsmAttrStore()->fsHandleOfPath(mnt->path(), &fromPath));
  EXPECT_EQ(fromPath, fromFile);
  EXPECT_NE(h, fromFile);
}

INSTANTIATE_TEST_SUITE_P(Mounts, RealAttr, ::testing::Values("tmpfs", "ext4"));

// ---- full file systems ----------------------------------------------------------

// Writes to `path` until the file system refuses more data.
void fillUp(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  std::string block(1024, 'f');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(ENOSPC, errno);
  fsync(fd);
  close(fd);
}

void makeReserveFiles(const std::string& mountPoint, size_t secondSize) {
  ASSERT_EQ(0, mkdir((mountPoint + "/.Tarnveld").c_str(), 0755));
  ASSERT_EQ(0, mkdir((mountPoint + "/.Tarnveld/reserved").c_str(), 0755));
  writeFile(reserveFilePath(mountPoint, 1), "");  // already empty: skipped
  writeFile(reserveFilePath(mountPoint, 2), std::string(secondSize, 'r'));
  writeFile(reserveFilePath(mountPoint, 3), std::string(secondSize, 'r'));
}

class FullExt4 : public RealAttr {};

// ext4 keeps a 124-byte attribute outside the inode, in a block of its own:
// on a full file system it fails with ENOSPC until a reserve file gives
// blocks back.
TEST_P(FullExt4, AttributeWriteSucceedsAfterOneReserveFileIsEmptied) {
  makeReserveFiles(mnt->path(), 64 * 1024);
  fillUp(mnt->path() + "/fill");
  ASSERT_EQ(0, xdsmAttrStore()->setDmattr(sid, h, token, "probe", 0, kVOQObjLen, std::string(124, 'p').data()));
  ASSERT_EQ(ENOSPC, errno) << "the file system must really be full for this test";

  const dmiInfo info = patternedRecord();
  ASSERT_EQ(0, dmiSetDMAttrib(sid, h, token, info)) << strerror(errno);
  auto raw = dmAttr(path, kAttrObj);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(0, memcmp(raw->data(), info.extObjId.bytes, 28));
  EXPECT_EQ(0xCAFEBABEu, at<uint32_t>(*raw, 52));
  EXPECT_EQ(0, sizeOf(reserveFilePath(mnt->path(), 2))) << "the first non-empty reserve file is emptied";
  EXPECT_EQ(64 * 1024, sizeOf(reserveFilePath(mnt->path(), 3))) << "only one reserve file is given up";
}
INSTANTIATE_TEST_SUITE_P(Loop, FullExt4, ::testing::Values("ext4"));

// tmpfs charges attributes to its inode space, not its data blocks. With the
// inodes used up, emptying reserve files gives nothing back: the write is
// tried after each one and fails with ENOSPC once none is left.
class FullTmpfs : public RealAttr {
 protected:
  void mountFs(const char*, unsigned) override {
    mnt = std::make_unique<kmrtest::ScratchMount>("tmpfs", 4);
    ASSERT_EQ(0, mount("tmpfs", mnt->path().c_str(), "tmpfs", MS_REMOUNT, "size=4m,nr_inodes=12"));
  }
};

TEST_P(FullTmpfs, InodeSpaceExhaustionEmptiesEveryReserveFileThenFails) {
  makeReserveFiles(mnt->path(), 4096);
  for (int i = 0; i < 64; ++i) {
    std::string name = mnt->path() + "/n" + std::to_string(i);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
      ASSERT_EQ(ENOSPC, errno);
      break;
    }
    close(fd);
  }
  EXPECT_EQ(ENOSPC, kmrtest::errnoOf([&] { return dmiSetDMAttrib(sid, h, token, patternedRecord()); }));
  EXPECT_EQ(0, sizeOf(reserveFilePath(mnt->path(), 2)));
  EXPECT_EQ(0, sizeOf(reserveFilePath(mnt->path(), 3)));
  EXPECT_FALSE(dmAttr(path, kAttrObj).has_value());
}
INSTANTIATE_TEST_SUITE_P(Small, FullTmpfs, ::testing::Values("tmpfs"));

// ---- start-up ---------------------------------------------------------------------

// The two HSM options and the installed store are met by RealAttr, which
// starts up with option records of its own.
TEST(HsmLayerStartup, TakesTheProcesssOptionsOrRefuses) {
  hsmInstallEnv({});
  hsmSettings() = HsmSettings();
  clientOptions* saved = optionsP;
  optionsP = nullptr;
  EXPECT_EQ(EINVAL, kmrtest::errnoOf([] { return hsmLayerStartup(hsmXdsmEnv()); }));
  EXPECT_EQ(nullptr, hsmAttrStore());

  clientOptions opts;
  opts.migrateServer = "ZEFMIG";
  optionsP = &opts;
  EXPECT_EQ(0, hsmLayerStartup(hsmXdsmEnv()));
  EXPECT_EQ("ZEFMIG", hsmSettings().migrateServerName);
  optionsP = saved;
  hsmInstallEnv({});
  hsmSettings() = HsmSettings();
}

// ---- layouts ----------------------------------------------------------------------

TEST(AttrLayouts, StateRecord) {
  fsmState st;
  st.flags = FSM_MIGRATE | 8;
  st.created = 1700000000;
  st.fsName = "/orca/fs1";
  uint8_t b[kVOQStatLen];
  ASSERT_TRUE(encodeVOQStat(st, b));
  const std::string raw(reinterpret_cast<const char*>(b), sizeof b);
  EXPECT_EQ(std::string("\0\0\0\0\1\0\0\0\0\0\0\0\1\0\0\0\0\xF1\x53\x65/orca/fs1\0", 30),
            raw.substr(0, 30));
  fsmState back = decodeVOQStat(b, sizeof b);
  EXPECT_EQ(st.flags, back.flags);
  EXPECT_EQ(st.fsName, back.fsName);
  testing::internal::CaptureStderr();
  st.fsName.assign(1001, 'a');
  EXPECT_FALSE(encodeVOQStat(st, b));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("2076"));
}

TEST(EventNames, ByNumber) {
  EXPECT_STREQ("DM_EVENT_DESTROY", dmiEventName(22));
  EXPECT_STREQ("DM_EVENT_CLOSE", dmiEventName(1));
  EXPECT_STREQ("DM_EVENT_USER", dmiEventName(23));
}

}  // namespace
