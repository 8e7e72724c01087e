// ZefServerCommInterface without a server: selecting a file system, the
// refusals of changes that cannot be sent, and the end of a stream that left
// no element. The conversation with a real server is in tests/integration/comm.
#include <gtest/gtest.h>

#include <cstring>

#include "common/cleanup.h"
#include "server/comminterface.h"
#include "server/serverlayer.h"
#include "tests/support/scratch_dir.h"
#include "tests/unit/server/fake_peer.h"

namespace {

int g_lookups = 0;
int knownFsOnly(const std::string& fs, std::string* stanza) {
  ++g_lookups;
  if (fs == "/managed" || fs == "/managed2") {
    *stanza = "ZEF1";
    return 0;
  }
  return kCommNoStanza;
}

// A data element that is neither a record nor a deletion element.
class OtherData : public queueDataObject {
 public:
  std::string& getAlias() override { return alias; }
  std::string alias = "/other";
};

class CommInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The address is never connected to: these interfaces don't sign on.
    process_ = std::make_unique<clientOptions>();
    process_->sysOptFile = dir_.write("kmr.sys", "SERVERNAME ZEF1\n  TCPSERVERADDRESS 127.0.0.1\n  TCPPORT 9\n"
                                                 "  NODENAME NODE1\n  ENABLELANFREE YES\n");
    process_->serverName = "BEFORE";
    optionsP = process_.get();
    previous_ = srvInstallHooks({.stanzaLookup = knownFsOnly});
    g_lookups = 0;
  }
  void TearDown() override {
    srvInstallHooks(previous_);
    optionsP = nullptr;
  }
  kmrtest::ScratchDir dir_;
  std::unique_ptr<clientOptions> process_;
  ServerLayerHooks previous_;
};

TEST_F(CommInterfaceTest, SelectingFileSystems) {
  int rc = -99;
  ZefServerCommInterface comm(rc, "/managed", 0, 0);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(comm.session(), nullptr);
  EXPECT_EQ(comm.options()->serverName, "ZEF1");
  EXPECT_EQ(comm.options()->tcpServerAddress, "127.0.0.1");
  // LAN-free is switched off in the private copy only.
  EXPECT_EQ(comm.options()->enableLanFree, 0);
  EXPECT_NE(comm.options(), optionsP);
  EXPECT_EQ(optionsP->serverName, "BEFORE");
  // The interface's session is this thread's entry for the clean-up.
  EXPECT_EQ(hsmGetThreadSession(), comm.session());

  Sess_o* first = comm.session();
  const int lookups = g_lookups;
  EXPECT_EQ(comm.setFileSystem("/managed", 0, 0), 0);
  EXPECT_EQ(comm.session(), first);
  EXPECT_EQ(g_lookups, lookups);  // nothing was even looked up

  EXPECT_EQ(comm.setFileSystem("", 1, 0), RC_INVALID_PARM);
  EXPECT_EQ(comm.setFileSystem("/not/managed", 0, 0), kCommNoStanza);
  EXPECT_EQ(comm.fileSystem(), "/not/managed");
}

TEST_F(CommInterfaceTest, UnmanagedAtConstructionAndOptionsHandedBack) {
  {
    int rc = 0;
    ZefServerCommInterface comm(rc, "/not/managed", 0, 0);
    EXPECT_EQ(rc, kCommNoStanza);
    EXPECT_EQ(comm.session(), nullptr);
    EXPECT_EQ(comm.beginTransaction(), kCommNoStanza);
    EXPECT_EQ(comm.getAllMigrObjectsFromServer(0), kCommNoStanza);
  }
  {
    int rc = 0;
    ZefServerCommInterface comm(rc, "/managed2", 0, 0);
    ASSERT_EQ(rc, 0);
  }
  // The stanza chosen for the file system goes back to the process options.
  EXPECT_EQ(optionsP->serverName, "ZEF1");
  EXPECT_EQ(hsmGetThreadSession(), nullptr);
}

// Without a transaction list, a path, a file spec (never signed on) or an
// object, nothing can be queued; an element that is no migrated object is no
// deletion either.
TEST_F(CommInterfaceTest, ChangesThatCannotBeSentAreRefused) {
  int rc = 0;
  ZefServerCommInterface comm(rc, "/managed", 1, 0);
  ASSERT_EQ(rc, 0);
  ZefServerMigratedObject record, empty;
  const midExtObjId_t id = makeId(3);
  Attrib attr{};
  ASSERT_EQ(record.setExtObjID(&id), 1);
  ASSERT_EQ(record.setAttributes(&attr), 1);
  EXPECT_EQ(comm.updateMigrObjectOnServer(&record, 1), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.expireMigrObjectOnServer(&record), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.delMigrObjectOnServer(&record), RC_INVALID_OBJECT);

  ASSERT_EQ(comm.beginTransaction(), 0);
  ASSERT_NE(comm.transaction(), nullptr);
  EXPECT_EQ(comm.transaction()->txnType, kTlTypeHsm);
  EXPECT_EQ(comm.updateMigrObjectOnServer(&record, 3), RC_INVALID_OBJECT);  // empty alias
  record.alias = "/a/b";
  EXPECT_EQ(comm.updateMigrObjectOnServer(&record, 3), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.updateMigrObjectOnServer(&empty, 1), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.updateMigrObjectOnServer(nullptr, 1), RC_INVALID_OBJECT);
  EXPECT_EQ(comm.expireMigrObjectOnServer(&empty), RC_INVALID_OBJECT);
  OtherData other;
  EXPECT_EQ(comm.delMigrObjectOnServer(&other), 0);
  EXPECT_EQ(comm.delMigrObjectOnServer(nullptr), 0);
  EXPECT_EQ(comm.transaction()->items.size(), 0u);
  EXPECT_EQ(comm.updateBackObjectOnServer(&record), 0);
  EXPECT_EQ(comm.queryServerForMigrObject(nullptr, &record), kCommNoStanza);
  EXPECT_EQ(comm.queryServerForMigrObject(const_cast<midExtObjId_t*>(&id), nullptr), kCommNoStanza);
  EXPECT_EQ(comm.stopTransaction(), 0);
  EXPECT_EQ(comm.transaction(), nullptr);
}

TEST_F(CommInterfaceTest, StreamThatEndedWithoutElementGivesNull) {
  int rc = 0;
  ZefServerCommInterface comm(rc, "/managed", 0, 0);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(comm.queue(), nullptr);
  // What a producer does when it ends: release the waiters.
  comm.queue()->unlockWaiters();
  EXPECT_EQ(comm.getNextMigrObjectFromServer(), nullptr);
  // A null element written by a producer is handed on as the end too.
  comm.queue()->ResetQueue(kQueryQueueWaitTime);
  ASSERT_EQ(comm.queue()->WriteElement(nullptr, 1, 1), 0);
  EXPECT_EQ(comm.getNextMigrObjectFromServer(), nullptr);
  EXPECT_EQ(comm.stopQueryThread(), 0);
}

}  // namespace
