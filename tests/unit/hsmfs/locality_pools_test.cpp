#include <cerrno>
#include <cstring>
#include <pugixml.hpp>

#include "hsmfs/locality.h"
#include "hsmfs/pools.h"
#include "tests/unit/hsmfs/hsmfs_env.h"

using kmrtest::readFile;
using kmrtest::writeFile;

namespace {

class LocalityTest : public kmrtest::HsmNodeTest {};

// The text of the exception `fn` throws.
template <typename Fn>
std::string thrownText(Fn fn) {
  try {
    fn();
  } catch (const cTextException& e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace

TEST_F(LocalityTest, DevicesAreLocalOnlyWhenTheCommandSaysLocationZero) {
  OrcaDevLocationInfo info(kmrtest::adminCommandPath(), nodeDir + "/config");
  EXPECT_EQ(info.isORCADeviceLocal("/dev/fs1"), 1);
  EXPECT_EQ(info.isORCADeviceLocal("/dev/fs2"), 0);
  EXPECT_EQ(info.isORCADeviceLocal("fs1"), 0);  // looked up exactly as named
  EXPECT_EQ(info.isORCADeviceLocal("/dev/fs9"), 0);

  // A device added to the cluster later is found by the refresh on a miss.
  writeFile(clusterFile, readFile(clusterFile) + "device 0 /dev/fs9\n");
  EXPECT_EQ(info.isORCADeviceLocal("/dev/fs9"), 1);
  // The temporary output files are gone.
  EXPECT_NE(system(("ls " + nodeDir + "/config | grep -q '^kmr\\.'").c_str()), 0);

  // Without the administration command every device is remote.
  OrcaDevLocationInfo missing(nodeDir + "/no-such-command", nodeDir + "/config");
  EXPECT_EQ(missing.isORCADeviceLocal("/dev/fs1"), 0);
  EXPECT_NE(missing.getAllLocationInfo(), 0);
}

TEST_F(LocalityTest, InstanceNumberIsCachedInFilesAndAskedAgainWhenUnusable) {
  EXPECT_EQ(getNodeNumber(kmrtest::adminCommandPath()), 3);
  EXPECT_EQ(getInstanceNo(), 3);
  const std::string instance = nodeDir + "/config/instance";
  std::string bytes = readFile(instance);
  ASSERT_EQ(bytes.size(), 2u);
  uint16_t stored = 0;
  memcpy(&stored, bytes.data(), 2);
  EXPECT_EQ(stored, 3);
  struct stat st;
  ASSERT_EQ(stat(instance.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0004, 0004u);  // readable for ordinary users

  // The node set holds this node and went to the cluster's repository.
  pugi::xml_document nodeSet;
  ASSERT_TRUE(nodeSet.load_file((nodeDir + "/config/KMRNodeSet").c_str()));
  pugi::xml_node me = nodeSet.child("KMRNodeSet").find_child_by_attribute("node", "host", kmrtest::hostName().c_str());
  EXPECT_EQ(me.attribute("instance").as_int(), 3);
  int version = 0;
  ASSERT_EQ(kmrGetHsmdata(nodeDir + "/copy", &version, kmrtest::adminCommandPath()), 0);
  EXPECT_EQ(version, 1);
  EXPECT_NE(readFile(nodeDir + "/copy").find(kmrtest::hostName()), std::string::npos);
  // An offer that is not newer is refused.
  EXPECT_NE(kmrPutHsmdata(nodeDir + "/copy", 1, kmrtest::adminCommandPath()), 0);

  // The file now answers without the command.
  resetInstanceNo();
  hsmSettings().adminCommand = nodeDir + "/no-such-command";
  EXPECT_EQ(getInstanceNo(), 3);

  // An "instance" of 0 is removed; without the command the number stays unknown.
  uint16_t zero = 0;
  writeFile(instance, std::string(reinterpret_cast<char*>(&zero), 2));
  resetInstanceNo();
  EXPECT_GT(getInstanceNo(), 65534);
  EXPECT_NE(stat(instance.c_str(), &st), 0);

  // Without "KMRNodeSet" the instance file is not trusted.
  uint16_t seven = 7;
  writeFile(instance, std::string(reinterpret_cast<char*>(&seven), 2));
  unlink((nodeDir + "/config/KMRNodeSet").c_str());
  hsmSettings().adminCommand = kmrtest::adminCommandPath();
  resetInstanceNo();
  EXPECT_EQ(getInstanceNo(), 3);
}

TEST_F(LocalityTest, StoragePoolIdsComeFromLiborcaThroughDlopen) {
  auto fs = mountFs(nullptr);
  OrcaStoragePoolFunctions functions(kmrtest::orcaLibraryPath());
  functions.Init();
  std::vector<unsigned> ids = {99};
  StoragePoolUtil::getStoragePoolIds(fs->path(), ids, functions);
  EXPECT_EQ(ids, std::vector<unsigned>({0}));  // one pool where nothing more is configured

  writeFile(clusterFile, readFile(clusterFile) + "pool " + fs->path() + " 65537 fast\npool " + fs->path() +
                             " 7 slow\npool " + fs->path() + " 3 archive\npool /elsewhere 5 x\n");
  StoragePoolUtil::getStoragePoolIds(fs->path(), ids, functions);
  EXPECT_EQ(ids, std::vector<unsigned>({65537, 7, 3}));
  char name[16] = "";
  ASSERT_EQ(functions.Orca_getpoolname(fs->path().c_str(), 7, name, sizeof name), 0);
  EXPECT_STREQ(name, "slow");

  // A probe that ends the cursor at once yields no ids and no exception.
  unsigned cursor = 3;
  int count = 0;
  ASSERT_EQ(functions.Orca_statfspool(fs->path().c_str(), &cursor, 0, &count, nullptr, 0), 0);
  EXPECT_EQ(cursor, kOrcaPoolCursorEnd);

  EXPECT_EQ(strerror(ENOENT),
            thrownText([&] { StoragePoolUtil::getStoragePoolIds(nodeDir + "/not-there", ids, functions); }));
  OrcaStoragePoolFunctions absent(nodeDir + "/liborca-missing.so");
  absent.Init();
  EXPECT_EQ(strerror(EINVAL), thrownText([&] { StoragePoolUtil::getStoragePoolIds(fs->path(), ids, absent); }));
}

TEST_F(LocalityTest, MountedListKeepsLocalMountsAndLocalClusterDevices) {
  const std::string mtab = nodeDir + "/mtab";
  writeFile(mtab,
            "/dev/fs1 /orca/fs1 orca rw 0 0\n"
            "/dev/fs2 /hsm/data orca rw 0 0\n"
            "server:/export /nfs nfs rw 0 0\n"
            "/dev/sda1 /data ext4 rw 0 0\n"
            "/data /bound none rw,bind 0 0\n"
            "auto /auto autofs rw 0 0\n");
  EXPECT_EQ(GetMountNumber(mtab), 6);
  EXPECT_EQ(GetMountNumber(nodeDir + "/none"), -1);
  mountedFSTable table(mtab);
  std::vector<std::string> seen;
  char buf[1025];
  while (table.getNextMountedFS(buf)) seen.push_back(buf);
  EXPECT_EQ(seen, std::vector<std::string>({"/orca/fs1", "/data"}));
  EXPECT_STREQ(buf, "");
  table.reset();
  ASSERT_NE(table.getNextMountedFS(buf), nullptr);
  EXPECT_STREQ(buf, "/orca/fs1");
}
