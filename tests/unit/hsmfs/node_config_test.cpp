// The node's configuration: managed file systems and their configuration
// files, the node's instance number, device locality and storage pools. The
// layer reports through numbered messages, so the catalog is open for every
// test of the program.
#include <utime.h>

#include <cstring>
#include <pugixml.hpp>

#include "hsmfs/fsentry.h"
#include "hsmfs/fstable.h"
#include "hsmfs/pools.h"
#include "tests/support/catalog_env.h"
#include "tests/unit/hsmfs/hsmfs_env.h"

KMR_REGISTER_CATALOG_ENVIRONMENT()

using kmrtest::contains;
using kmrtest::countOf;
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

class FsTableTest : public kmrtest::HsmNodeTest {
 protected:
  // getFsEntry of `fs` into `e`; what it printed on standard output and
  // error goes to `out`.
  int lookUp(const std::string& fs, int includeRemote, int check, int force = 0) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = HsmFsTable::the().getFsEntry(fs, e, includeRemote, check, force);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    return rc;
  }
  // Replaces the configuration file of `fs` with `xml`, dated later than any
  // earlier version so that the change is seen.
  void rewriteConfig(const std::string& fs, const std::string& xml) {
    const std::string path = fs + "/.Tarnveld/hsmfsconfig.xml";
    writeFile(path, xml);
    struct utimbuf later = {time(nullptr) + 100 * ++rewrites_, time(nullptr) + 100 * rewrites_};
    ASSERT_EQ(utime(path.c_str(), &later), 0);
  }
  HsmFsEntry e;
  std::string out;

 private:
  int rewrites_ = 0;
};

}  // namespace

// (A mount without a configuration is not managed: the command's end-to-end
// tests name "/" on the command line.)
TEST_F(FsTableTest, DefaultsForMissingValuesAndAnOptionIsNeverLookedUp) {
  auto managed = mountFs(kmrtest::kOnlyHThreshold);
  ASSERT_EQ(lookUp(managed->path(), 0, 1), 1);
  EXPECT_EQ(e.m_hThreshold, 95);
  EXPECT_EQ(e.m_lThreshold, 80);
  EXPECT_EQ(e.m_pmPercentage, -1);
  EXPECT_EQ(e.m_quota, -1);
  EXPECT_EQ(e.m_stubSize, -1);
  EXPECT_EQ(e.m_maxCandidates, 100);
  EXPECT_EQ(e.m_server, "");
  hsmSettings().migrateServerName = "ZEFMIG";  // the default stanza takes MIGRATESERVER
  EXPECT_EQ(e.getFsStanza(), "ZEFMIG");
  EXPECT_EQ(e.m_spOwnerNode, 3);  // this node's number from the administration command
  EXPECT_EQ(e.m_spPreferredNode, 3);
  EXPECT_EQ(e.m_defaultQuota, 8);  // an 8 MB tmpfs

  EXPECT_EQ(lookUp("-" + managed->path(), 0, 1), 0);
  EXPECT_TRUE(contains(out, "1107")) << out;
  EXPECT_FALSE(contains(out, "9085"));  // never looked up
}

TEST_F(FsTableTest, OldFileIsConvertedToXmlWithOnlyNonDefaultValues) {
  auto fs = mountFs(nullptr);
  writeFile(fs->path() + "/.Tarnveld/kmrmigfstab",
            "# old table\n\n" + fs->path() + "  85 70 - 1 1 - - 3 3 srvA  # trailing\n");
  ASSERT_EQ(lookUp(fs->path(), 0, 1), 1);
  EXPECT_EQ(e.m_hThreshold, 85);
  EXPECT_EQ(e.m_lThreshold, 70);
  EXPECT_EQ(e.m_server, "srvA");
  EXPECT_EQ(e.getFsStanza(), "srvA");

  pugi::xml_document doc;
  const std::string xml = readFile(fs->path() + "/.Tarnveld/hsmfsconfig.xml");
  EXPECT_EQ(xml.rfind("<?xml version='1.0' encoding='ISO-8859-1' ?>\n", 0), 0u);
  ASSERT_TRUE(doc.load_string(xml.c_str()));
  std::string names;
  for (pugi::xml_node n : doc.child("HsmFsConfig").children()) names += std::string(n.name()) + " ";
  EXPECT_EQ(names, "HThreshold Lthreshold SErver SPPreferrednode SPOwnernode ");
  EXPECT_STREQ(doc.child("HsmFsConfig").child("HThreshold").attribute("type").value(), "int");
  EXPECT_STREQ(doc.child("HsmFsConfig").child("HThreshold").text().get(), "85");
  EXPECT_STREQ(doc.child("HsmFsConfig").child("SErver").attribute("type").value(), "string");
  EXPECT_STREQ(doc.child("HsmFsConfig").child("SPOwnernode").text().get(), "3");
  struct stat st;
  ASSERT_EQ(stat((fs->path() + "/.Tarnveld/hsmfsconfig.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(st.st_uid, 2u);  // "bin"

  // A line for another file system, and one missing mandatory tokens.
  auto other = mountFs(nullptr);
  writeFile(other->path() + "/.Tarnveld/kmrmigfstab", "/elsewhere 85 70 - 1 1 - - 3 3\n");
  EXPECT_EQ(lookUp(other->path(), 0, 0), 0);
  EXPECT_TRUE(contains(out, "9131")) << out;
  writeFile(other->path() + "/.Tarnveld/kmrmigfstab", other->path() + " 85 70 -\n");
  EXPECT_EQ(lookUp(other->path(), 0, 0), 0);
  EXPECT_TRUE(contains(out, "9132")) << out;
}

TEST_F(FsTableTest, InvalidEntryReportsEachBadValue) {
  auto fs = mountFs(
      "<?xml version='1.0' encoding='ISO-8859-1' ?><HsmFsConfig>"
      "<HThreshold type='int'>150</HThreshold><Agefactor type='int'>-5</Agefactor>"
      "<Pmpercentage type='int'>50</Pmpercentage></HsmFsConfig>");
  EXPECT_EQ(lookUp(fs->path(), 0, 0), 0);
  EXPECT_EQ(countOf(out, "9007"), 2u) << out;  // HThreshold and Agefactor; Pmpercentage 50 <= 80 is fine
  EXPECT_EQ(countOf(out, "9009"), 1u);

  // Pmpercentage -1 is tested as min(Lthreshold, HThreshold - Lthreshold).
  HsmFsEntry d;
  d.m_fsName = fs->path();
  d.initFsDependentValues();
  d.m_hThreshold = 90;
  d.m_lThreshold = 5;
  EXPECT_EQ(d.isValid(), 1);  // min(5, 85) = 5 <= 5
  d.m_pmPercentage = 6;
  testing::internal::CaptureStdout();
  EXPECT_EQ(d.isValid(), 0);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "9007"));
  d.m_premigPercentGiven = 0;
  EXPECT_EQ(d.isValid(), 1);

  // Text that is no number reads as the default; a broken document is 9010.
  rewriteConfig(fs->path(), "<?xml version='1.0' ?><HsmFsConfig><HThreshold type='int'>high</HThreshold></HsmFsConfig>");
  ASSERT_EQ(lookUp(fs->path(), 0, 0), 1);
  EXPECT_EQ(e.m_hThreshold, 90);
  rewriteConfig(fs->path(), "<HsmFsConfig><HThreshold>");
  EXPECT_EQ(lookUp(fs->path(), 0, 0), 0);
  EXPECT_TRUE(contains(out, "9010")) << out;
}

TEST_F(FsTableTest, UnchangedFileIsReadOnceAndChangesAreSeen) {
  auto fs = mountFs(kmrtest::kOnlyHThreshold);
  unsigned before = hsmFsConfigXmlReads();
  ASSERT_EQ(lookUp(fs->path(), 0, 1), 1);
  ASSERT_EQ(lookUp(fs->path(), 0, 1), 1);
  EXPECT_EQ(hsmFsConfigXmlReads() - before, 1u);
  rewriteConfig(fs->path(), "<?xml version='1.0' ?><HsmFsConfig><HThreshold type='int'>70</HThreshold>"
                            "<Lthreshold type='int'>60</Lthreshold></HsmFsConfig>");
  ASSERT_EQ(lookUp(fs->path(), 0, 1), 1);
  EXPECT_EQ(e.m_hThreshold, 70);
  EXPECT_EQ(hsmFsConfigXmlReads() - before, 2u);
  // A forced lookup takes the entry without the validity check; it does not
  // re-read an unchanged file.
  rewriteConfig(fs->path(), "<HsmFsConfig><HThreshold type='int'>170</HThreshold></HsmFsConfig>");
  EXPECT_EQ(lookUp(fs->path(), 0, 1), 0);
  ASSERT_EQ(lookUp(fs->path(), 0, 1, 1), 1);
  EXPECT_EQ(e.m_hThreshold, 170);
  EXPECT_EQ(hsmFsConfigXmlReads() - before, 4u);
}

TEST_F(FsTableTest, SnapshotsInNameOrderSkipRemoteAndUnmountedFileSystems) {
  auto a = mountFs(kmrtest::kOnlyHThreshold);
  auto b = mountFs(kmrtest::kOnlyHThreshold);
  auto remote = mountFs("<HsmFsConfig><SPOwnernode type='int'>4</SPOwnernode></HsmFsConfig>");
  auto list = [](int includeRemote) {
    std::vector<std::string> names;
    managedFsTable t;
    HsmFsEntry entry;
    while (t.getEntry(entry, includeRemote, 0)) names.push_back(entry.m_fsName);
    return names;
  };
  std::vector<std::string> expected = {a->path(), b->path()};
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> local;
  for (const auto& n : list(0))
    if (n.rfind("/tmp/kmrmnt.", 0) == 0) local.push_back(n);
  EXPECT_EQ(local, expected);
  auto all = list(1);
  EXPECT_NE(std::find(all.begin(), all.end(), remote->path()), all.end());

  EXPECT_EQ(lookUp(remote->path(), 0, 1), 0);
  EXPECT_TRUE(contains(out, "9084")) << out;
  EXPECT_EQ(lookUp(remote->path(), 1, 1), 1);

  // A snapshot taken before an unmount still lists the file system; the next one does not.
  managedFsTable old;
  ASSERT_EQ(old.getEntry(e, 1, 0), 1);
  const std::string gone = a->path();
  a.reset();
  auto after = list(1);
  EXPECT_EQ(std::find(after.begin(), after.end(), gone), after.end());
  size_t oldCount = 1;
  while (old.getEntry(e, 1, 0)) ++oldCount;
  EXPECT_EQ(oldCount, all.size());
}

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

// A fresh node waits for its number in silence no more: the wait starts
// with one message naming what is missing and where it is configured.
TEST_F(LocalityTest, WaitForTheNodeNumberSaysOnceWhatIsMissingAndWhere) {
  struct Case {
    const char* what;
    bool clusterFile;  // the description exists, without this host
    std::string says;
  };
  const Case cases[] = {
      {"no cluster description", false,
       "BQF9760I This node's number is not known yet: the ORCA cluster description " + clusterFile +
           " does not exist. The number is configured there, on a line 'node <number> " + kmrtest::hostName() + "'"},
      {"no line for this host", true,
       "BQF9761I This node's number is not known yet: " + kmrtest::adminCommandPath() + " gives none for this host (" +
           kmrtest::hostName() + "). It is configured in the ORCA cluster description " + clusterFile},
  };
  for (const Case& c : cases) {
    if (c.clusterFile)
      writeFile(clusterFile, "node 4 othernode\n");
    else
      unlink(clusterFile.c_str());
    resetInstanceNo();
    testing::internal::CaptureStderr();
    EXPECT_GT(getInstanceNo(), 65534) << c.what;
    if (!c.clusterFile) {
      EXPECT_GT(getInstanceNo(), 65534) << c.what;  // asked again, not said again
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.says), std::string::npos) << c.what << ": " << err;
    EXPECT_EQ(err.find("BQF976"), err.rfind("BQF976")) << c.what << " said more than once: " << err;
  }
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
