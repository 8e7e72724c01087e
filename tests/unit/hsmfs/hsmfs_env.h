// Shared set-up of the tests that need real mounts, the node directory and
// our ORCA stand-ins: a private mount namespace, a scratch node directory,
// a cluster description naming this host as node 3, and the paths of the
// built orcahsmadm and liborca.so.
#ifndef KMR_TESTS_UNIT_HSMFS_HSMFS_ENV_H
#define KMR_TESTS_UNIT_HSMFS_HSMFS_ENV_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "hsmfs/fstable.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locality.h"
#include "hsmfs/xdsmstore.h"
#include "tests/support/files.h"
#include "tests/support/private_mount.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

namespace kmrtest {

inline std::string buildDir() {
  char exe[PATH_MAX] = "";
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path(exe, n > 0 ? n : 0);
  path = path.substr(0, path.rfind('/'));  // .../tests
  return path.substr(0, path.rfind('/'));
}
inline std::string adminCommandPath() { return buildDir() + "/platform/orca/orcahsmadm"; }
inline std::string orcaLibraryPath() { return buildDir() + "/platform/orca/liborca.so"; }

inline std::string hostName() {
  char h[256] = "";
  gethostname(h, sizeof h - 1);
  return h;
}

class HsmNodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateMountNamespace()) << "needs root"; }
  void SetUp() override {
    nodeDir = scratch_.path();
    mkdir((nodeDir + "/config").c_str(), 0755);
    clusterFile = nodeDir + "/cluster.conf";
    writeFile(clusterFile, "# test cluster\nnode 3 " + hostName() +
                               "\nnode 4 othernode\ndevice 0 /dev/fs1\ndevice 1 /dev/fs2\n");
    setenv("ORCA_CLUSTER_FILE", clusterFile.c_str(), 1);
    hsmSettings() = HsmSettings();
    hsmSettings().nodeDir = nodeDir;
    hsmSettings().adminCommand = adminCommandPath();
    resetInstanceNo();
    HsmFsTable::the().clear();
  }
  void TearDown() override {
    HsmFsTable::the().clear();
    resetInstanceNo();
  }
  // A tmpfs mount, managed when `xml` is not null (its .Tarnveld/hsmfsconfig.xml).
  std::unique_ptr<ScratchMount> mountFs(const char* xml) {
    auto m = std::make_unique<ScratchMount>("tmpfs", 8);
    mkdir((m->path() + "/.Tarnveld").c_str(), 0755);
    if (xml) writeFile(m->path() + "/.Tarnveld/hsmfsconfig.xml", xml);
    return m;
  }
  std::string nodeDir;
  std::string clusterFile;

 private:
  ScratchDir scratch_;
};

// The real store, with failures the library cannot be made to give: no
// session, a read failing with `failGetErrno`, the next write of attribute
// `failSetOf` failing with EIO.
class FailingStore : public XdsmAttrStore {
 public:
  bool noSession = false;
  int failGetErrno = 0;
  std::string failSetOf;

  uint64_t sessionId() override { return noSession ? 0 : XdsmAttrStore::sessionId(); }
  int setDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name, int setdtime,
                size_t length, const void* buffer) override {
    if (failSetOf != name) return XdsmAttrStore::setDmattr(sid, h, token, name, setdtime, length, buffer);
    failSetOf.clear();
    errno = EIO;
    return 0;
  }
  int getDmattr(uint64_t sid, const DmHandle& h, HsmToken token, const char* name, size_t length,
                void* buffer, size_t* lengthOut) override {
    if (failGetErrno == 0) return XdsmAttrStore::getDmattr(sid, h, token, name, length, buffer, lengthOut);
    errno = failGetErrno;
    return 0;
  }
};

inline const char* kOnlyHThreshold =
    "<?xml version='1.0' encoding='ISO-8859-1' ?>\n<HsmFsConfig>\n"
    "  <HThreshold type=\"int\">95</HThreshold>\n</HsmFsConfig>\n";

}  // namespace kmrtest

#endif
