// A stub made through the access object, the way stub recreation makes it,
// on real tmpfs and ext4 mounts: size kept, no data blocks, the exact
// attribute bytes, a managed region over the whole file, and a new handle
// for a file recreated at the same path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "hsmfs/xdsmapi.h"
#include "tests/support/private_mount.h"

namespace {

class XdsmNamespace : public ::testing::Environment {
 public:
  void SetUp() override { ok = geteuid() == 0 && kmrtest::EnterPrivateMountNamespace(); }
  static inline bool ok = false;
};
::testing::Environment* const kNamespace = ::testing::AddGlobalTestEnvironment(new XdsmNamespace);

// A 124-byte object record with a recognisable pattern in every byte.
std::string sampleRecord() {
  std::string record(124, '\0');
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(0xA0 ^ (i * 13));
  return record;
}

class XdsmStub : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!XdsmNamespace::ok) GTEST_SKIP() << "needs root and a private mount namespace";
    mount_ = std::make_unique<kmrtest::ScratchMount>(GetParam(), 32);
    api_ = XDSMAPI::getXDSMAPI();
    ASSERT_EQ(1, api_->initService());
    sid_ = api_->createSession(DM_NO_SESSION, "migundelete", 0);
    ASSERT_NE(DM_NO_SESSION, sid_);
  }
  void TearDown() override { mount_.reset(); }

  // Sparse file of `size` bytes with owner, mode and times set.
  void createFile(const std::string& path, off_t size) {
    unlink(path.c_str());
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(size - 1, lseek(fd, size - 1, SEEK_SET));
    ASSERT_EQ(1, write(fd, "", 1));
    close(fd);
    ASSERT_EQ(0, chown(path.c_str(), 4321, 8765));
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
  }

  // The stub steps; returns the stat record and leaves the new handle bytes.
  void makeStub(const std::string& path, const std::string& record, dm_stat_t* stat,
                std::string* handleBytes) {
    xdsm_handle_t handle;
    handleInit(&handle);
    ASSERT_EQ(1, handleSetWithPath(&handle, path.c_str())) << strerror(errno);
    dm_token_t token = DM_NO_TOKEN;
    ASSERT_EQ(1, api_->createUserEvent(sid_, 8, &handle, &token));
    ASSERT_EQ(0, dmiRequestRight(sid_, handle, token, DM_RIGHT_EXCL, 16, "XdsmStub"));
    dm_off_t roff = -1;
    dm_size_t rlen = 1;
    ASSERT_EQ(1, api_->probeHole(sid_, handle, token, 0, 0, &roff, &rlen));
    ASSERT_EQ(0, roff);
    ASSERT_EQ(1, api_->setDmattr(sid_, handle, token, "VOQObj", 0, record.size(), record.data()));
    dm_region_t region = {0, 0, 7, 0};
    ASSERT_EQ(1, api_->setRegion(sid_, handle, token, 1, &region, nullptr));
    ASSERT_EQ(1, api_->punchHole(sid_, handle, token, 0, rlen));
    ASSERT_EQ(1, api_->getFileAttr(sid_, handle, token, 0x1000, stat));
    ASSERT_EQ(0, dmiRequestRight(sid_, handle, token, DM_RIGHT_NULL, 1, "XdsmStub"));
    ASSERT_EQ(0, dmiRespondEventOk(sid_, token));
    handleBytes->assign(static_cast<char*>(handle.hanp), handle.hlen);
    handleFree(&handle);
  }

  std::unique_ptr<kmrtest::ScratchMount> mount_;
  XDSMAPI* api_ = nullptr;
  dm_sessid_t sid_ = DM_NO_SESSION;
};

TEST_P(XdsmStub, StubKeepsSizeHoldsNoDataAndCarriesTheExactAttribute) {
  const std::string path = mount_->path() + "/stub.dat";
  const off_t size = 5 * 1024 * 1024 + 17;
  createFile(path, size);
  dm_stat_t dmStat;
  std::string handleBytes;
  const std::string record = sampleRecord();
  makeStub(path, record, &dmStat, &handleBytes);

  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(size, st.st_size);
  // No data anywhere in the file. A small ext4 keeps the attributes in one
  // block of their own outside the inode, which st_blocks counts as well.
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(-1, lseek(fd, 0, SEEK_DATA));
  EXPECT_EQ(ENXIO, errno);
  close(fd);
  EXPECT_LE(st.st_blocks * 512, st.st_blksize);
  EXPECT_EQ(1600000000, st.st_mtime);  // invisible to the owner's view of the file
  EXPECT_EQ(4321u, st.st_uid);
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(st.st_ino, dmStat.dt_ino);
  EXPECT_EQ(st.st_ctime, dmStat.dt_ctime);
  EXPECT_EQ(1, dmStat.dt_pers);
  EXPECT_EQ(1, dmStat.dt_pmanreg);

  char raw[256];
  ASSERT_EQ(124, getxattr(path.c_str(), "trusted.dmapi.VOQObj", raw, sizeof raw));
  EXPECT_EQ(record, std::string(raw, 124));

  // The region is over the whole file with read, write and truncate events.
  xdsm_handle_t h;
  handleInit(&h);
  ASSERT_EQ(1, handleSetWithPath(&h, path.c_str()));
  EXPECT_EQ(handleBytes, std::string(static_cast<char*>(h.hanp), h.hlen));
  dm_region_t regions[2];
  unsigned count = 0;
  ASSERT_EQ(1, api_->getRegion(sid_, h, DM_NO_TOKEN, 2, regions, &count));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(0, regions[0].rg_offset);
  EXPECT_EQ(0u, regions[0].rg_size);
  EXPECT_EQ(7u, regions[0].rg_flags);
  handleFree(&h);

  // The event was answered: the session holds no token.
  dm_token_t tokens[4];
  ASSERT_EQ(1, api_->getAllTokens(sid_, 4, tokens, &count));
  EXPECT_EQ(0u, count);
}

TEST_P(XdsmStub, RecreatedStubAtTheSamePathHasAnotherHandle) {
  const std::string path = mount_->path() + "/again.dat";
  dm_stat_t first, second;
  std::string firstHandle, secondHandle;
  createFile(path, 10000);
  makeStub(path, sampleRecord(), &first, &firstHandle);
  ASSERT_EQ(0, unlink(path.c_str()));
  createFile(path, 10000);
  makeStub(path, sampleRecord(), &second, &secondHandle);
  EXPECT_NE(firstHandle, secondHandle);

  // What the server layer stores is the same handle the stub got.
  DmHandle stored;
  ASSERT_EQ(0, kmrGetHsmHandle(path.c_str(), &stored));
  EXPECT_EQ(secondHandle, std::string(stored.begin(), stored.end()));
}

INSTANTIATE_TEST_SUITE_P(Fs, XdsmStub, ::testing::Values("tmpfs", "ext4"));

}  // namespace
