#include <sys/mount.h>
#include <utime.h>

#include <pugixml.hpp>

#include "hsmfs/fsentry.h"
#include "hsmfs/fstable.h"
#include "tests/unit/hsmfs/hsmfs_env.h"

using kmrtest::countOf;
using kmrtest::readFile;
using kmrtest::writeFile;

namespace {

class FsTableTest : public kmrtest::HsmNodeTest {};

std::string capturedOut() {
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST_F(FsTableTest, ManagedOnlyWithConfigurationAndDefaultsForMissingValues) {
  auto managed = mountFs(kmrtest::kOnlyHThreshold);
  auto plain = mountFs(nullptr);
  HsmFsEntry e;
  ASSERT_EQ(HsmFsTable::the().getFsEntry(managed->path(), e, 0, 1, 0), 1);
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

  testing::internal::CaptureStderr();
  EXPECT_EQ(HsmFsTable::the().getFsEntry(plain->path(), e, 0, 1, 0), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("9085"), std::string::npos);

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(HsmFsTable::the().getFsEntry("-" + managed->path(), e, 0, 1, 0), 0);
  std::string out = capturedOut() + testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("1107"), std::string::npos);
  EXPECT_EQ(out.find("9085"), std::string::npos);  // never looked up
}

TEST_F(FsTableTest, OldFileIsConvertedToXmlWithOnlyNonDefaultValues) {
  auto fs = mountFs(nullptr);
  writeFile(fs->path() + "/.Tarnveld/kmrmigfstab",
            "# old table\n\n" + fs->path() + "  85 70 - 1 1 - - 3 3 srvA  # trailing\n");
  HsmFsEntry e;
  ASSERT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 1, 0), 1);
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
  testing::internal::CaptureStdout();
  writeFile(other->path() + "/.Tarnveld/kmrmigfstab", "/elsewhere 85 70 - 1 1 - - 3 3\n");
  EXPECT_EQ(HsmFsTable::the().getFsEntry(other->path(), e, 0, 0, 0), 0);
  EXPECT_NE(capturedOut().find("9131"), std::string::npos);
  testing::internal::CaptureStdout();
  writeFile(other->path() + "/.Tarnveld/kmrmigfstab", other->path() + " 85 70 -\n");
  EXPECT_EQ(HsmFsTable::the().getFsEntry(other->path(), e, 0, 0, 0), 0);
  EXPECT_NE(capturedOut().find("9132"), std::string::npos);
}

TEST_F(FsTableTest, InvalidEntryReportsEachBadValue) {
  auto fs = mountFs(
      "<?xml version='1.0' encoding='ISO-8859-1' ?><HsmFsConfig>"
      "<HThreshold type='int'>150</HThreshold><Agefactor type='int'>-5</Agefactor>"
      "<Pmpercentage type='int'>50</Pmpercentage></HsmFsConfig>");
  HsmFsEntry e;
  testing::internal::CaptureStdout();
  EXPECT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 0, 0), 0);
  std::string out = capturedOut();
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
  EXPECT_NE(capturedOut().find("9007"), std::string::npos);
  d.m_premigPercentGiven = 0;
  EXPECT_EQ(d.isValid(), 1);

  // Text that is no number reads as the default; a broken document is 9010.
  writeFile(fs->path() + "/.Tarnveld/hsmfsconfig.xml",
            "<?xml version='1.0' ?><HsmFsConfig><HThreshold type='int'>high</HThreshold></HsmFsConfig>");
  ASSERT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 0, 0), 1);
  EXPECT_EQ(e.m_hThreshold, 90);
  writeFile(fs->path() + "/.Tarnveld/hsmfsconfig.xml", "<HsmFsConfig><HThreshold>");
  struct utimbuf later = {time(nullptr) + 100, time(nullptr) + 100};
  utime((fs->path() + "/.Tarnveld/hsmfsconfig.xml").c_str(), &later);
  testing::internal::CaptureStdout();
  EXPECT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 0, 0), 0);
  EXPECT_NE(capturedOut().find("9010"), std::string::npos);
}

TEST_F(FsTableTest, UnchangedFileIsReadOnceAndChangesAreSeen) {
  auto fs = mountFs(kmrtest::kOnlyHThreshold);
  HsmFsEntry e;
  unsigned before = hsmFsConfigXmlReads();
  ASSERT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 1, 0), 1);
  ASSERT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 1, 0), 1);
  EXPECT_EQ(hsmFsConfigXmlReads() - before, 1u);

  const std::string path = fs->path() + "/.Tarnveld/hsmfsconfig.xml";
  writeFile(path, "<?xml version='1.0' ?><HsmFsConfig><HThreshold type='int'>70</HThreshold>"
                  "<Lthreshold type='int'>60</Lthreshold></HsmFsConfig>");
  struct utimbuf later = {time(nullptr) + 100, time(nullptr) + 100};
  ASSERT_EQ(utime(path.c_str(), &later), 0);
  ASSERT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 1, 0), 1);
  EXPECT_EQ(e.m_hThreshold, 70);
  EXPECT_EQ(hsmFsConfigXmlReads() - before, 2u);
  // A forced lookup takes the entry without the validity check; it does not
  // re-read an unchanged file.
  writeFile(path, "<HsmFsConfig><HThreshold type='int'>170</HThreshold></HsmFsConfig>");
  later.modtime += 100;
  ASSERT_EQ(utime(path.c_str(), &later), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 1, 0), 0);
  capturedOut();
  ASSERT_EQ(HsmFsTable::the().getFsEntry(fs->path(), e, 0, 1, 1), 1);
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
    HsmFsEntry e;
    while (t.getEntry(e, includeRemote, 0)) names.push_back(e.m_fsName);
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

  HsmFsEntry e;
  testing::internal::CaptureStderr();
  EXPECT_EQ(HsmFsTable::the().getFsEntry(remote->path(), e, 0, 1, 0), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("9084"), std::string::npos);
  EXPECT_EQ(HsmFsTable::the().getFsEntry(remote->path(), e, 1, 1, 0), 1);

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
