// The client's password store: its bytes on disk, the files it refuses, and
// what a sign-on does with it against a scripted server. (GENERATE's use of
// it: the comm and command tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/passwordstore.h"
#include "server/session.h"
#include "server/wire/bytes.h"
#include "tests/support/hostile_tree.h"
#include "tests/support/no_terminal.h"
#include "tests/support/node_password.h"
#include "tests/support/verb_builder.h"
#include "tests/unit/server/fake_peer.h"

namespace {

const std::string kHeader = "# kmr password store: server<TAB>node<TAB>password in hexadecimal\n";

class PasswordStoreTest : public kmrtest::HostileTreeTest {
 protected:
  void SetUp() override {
    HostileTreeTest::SetUp();
    dir = outside + "/pw";
  }
  std::string file() const { return dir + "/kmr.pwd"; }
  std::string dir;
};

TEST_F(PasswordStoreTest, RecordsAreWrittenAsDocumentedAndReplacedOneByOne) {
  std::string why;
  ASSERT_TRUE(pwstore::save(dir, "ZEF", "NODE1", "pa ss", why)) << why;
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u) << "a missing directory is made for root only";
  EXPECT_EQ(kmrtest::readFile(file()), kHeader + "ZEF\tNODE1\t7061207373\n");
  ASSERT_TRUE(pwstore::save(dir, "OTHER", "NODE1", "x\ty", why)) << why;
  ASSERT_TRUE(pwstore::save(dir, "ZEF", "NODE1", "new", why)) << why;
  EXPECT_EQ(kmrtest::readFile(file()), kHeader + "OTHER\tNODE1\t780979\nZEF\tNODE1\t6e6577\n");
  ASSERT_EQ(lstat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  pwstore::Loaded l = pwstore::load(dir, "OTHER", "NODE1");
  EXPECT_EQ(l.outcome, pwstore::Outcome::kFound);
  EXPECT_EQ(l.password, "x\ty");
  EXPECT_EQ(pwstore::load(dir, "ZEF", "NODE2").outcome, pwstore::Outcome::kAbsent);
  EXPECT_EQ(pwstore::load(outside + "/none", "ZEF", "NODE1").outcome, pwstore::Outcome::kAbsent);

  ASSERT_TRUE(pwstore::remove(dir, "ZEF", "NODE1", why)) << why;
  EXPECT_EQ(kmrtest::readFile(file()), kHeader + "OTHER\tNODE1\t780979\n");

  // A store written by hand: upper-case digits, a comment, a stray line.
  ASSERT_TRUE(kmrtest::writePrivateFile(file(), "# mine\nZEF\tNODE1\t4F4B\nnot a record\n"));
  l = pwstore::load(dir, "ZEF", "NODE1");
  EXPECT_EQ(l.outcome, pwstore::Outcome::kFound);
  EXPECT_EQ(l.password, "OK");
}

TEST_F(PasswordStoreTest, FilesOthersCouldReadOrSwapAreNeitherReadNorWritten) {
  std::string why;
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  struct Case {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"link to root's file", [&] { ASSERT_EQ(symlink(victim.c_str(), file().c_str()), 0); }},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(file().c_str(), 0600), 0); }},
      {"directory", [&] { ASSERT_EQ(mkdir(file().c_str(), 0700), 0); }},
      {"group may read", [&] {
         ASSERT_TRUE(kmrtest::writeClientStore(dir, "ZEF", "NODE1", "secret"));
         ASSERT_EQ(chmod(file().c_str(), 0640), 0);
       }},
      {"owned by another user", [&] {
         ASSERT_TRUE(kmrtest::writeClientStore(dir, "ZEF", "NODE1", "secret"));
         ASSERT_EQ(chown(file().c_str(), 65534, 65534), 0);
       }},
      {"directory others may change", [&] {
         ASSERT_TRUE(kmrtest::writeClientStore(dir, "ZEF", "NODE1", "secret"));
         ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::system(("rm -rf '" + dir + "'").c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    k.plant();
    struct stat before {};
    ASSERT_EQ(lstat(file().c_str(), &before), 0);
    pwstore::Loaded l = pwstore::load(dir, "ZEF", "NODE1");
    EXPECT_EQ(l.outcome, pwstore::Outcome::kRefused);
    EXPECT_TRUE(l.password.empty());
    EXPECT_FALSE(l.why.empty());
    EXPECT_FALSE(pwstore::save(dir, "ZEF", "NODE1", "other", why));
    EXPECT_FALSE(pwstore::remove(dir, "ZEF", "NODE1", why));
    struct stat after {};
    ASSERT_EQ(lstat(file().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the refused file was replaced";
    expectVictimUntouched();
  }
}

// The directory is reached without following links, and every directory
// above it must be closed to others: a link planted above PASSWORDDIR, a
// directory on the way that others may write or that another user owns
// would let someone else choose the store.
TEST_F(PasswordStoreTest, LinksAndDirectoriesOthersControlAboveTheStoreAreRefused) {
  const std::string real = outside + "/real";
  struct Case {
    const char* what;
    std::string dir;  // PASSWORDDIR as configured
    std::function<void()> plant;
  } cases[] = {
      {"link above the directory", outside + "/link/pw", [&] { ASSERT_EQ(symlink(real.c_str(), (outside + "/link").c_str()), 0); }},
      {"the directory itself a link", outside + "/pwlink", [&] { ASSERT_EQ(symlink((real + "/pw").c_str(), (outside + "/pwlink").c_str()), 0); }},
      {"group may write a directory above", real + "/pw", [&] { ASSERT_EQ(chmod(real.c_str(), 0775), 0); }},
      {"another user owns a directory above", real + "/pw", [&] { ASSERT_EQ(chown(real.c_str(), 65534, 65534), 0); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::system(("rm -rf '" + real + "' '" + outside + "/link' '" + outside + "/pwlink'").c_str());
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_TRUE(kmrtest::writeClientStore(real + "/pw", "ZEF", "NODE1", "secret"));
    k.plant();
    std::string why;
    pwstore::Loaded l = pwstore::load(k.dir, "ZEF", "NODE1");
    EXPECT_EQ(l.outcome, pwstore::Outcome::kRefused);
    EXPECT_TRUE(l.password.empty());
    EXPECT_FALSE(pwstore::save(k.dir, "ZEF", "NODE1", "other", why));
    EXPECT_FALSE(pwstore::remove(k.dir, "ZEF", "NODE1", why));
    EXPECT_EQ(kmrtest::readFile(real + "/pw/kmr.pwd"), "ZEF\tNODE1\t736563726574\n");
  }
}

// Under GENERATE every session of a run signs on alike (the node, no owner),
// whether its copy of the password came from the store or from the first
// session, and the store that supplied the accepted password is not written.
TEST_F(PasswordStoreTest, EverySessionSignsOnAlikeAndAStoredPasswordIsNotWrittenBack) {
  kmrtest::StdinWithoutTerminal nobodyToAsk;
  ASSERT_TRUE(kmrtest::writeClientStore(dir, "ALIKE", "ALIKENODE", "stored"));
  struct stat before {};
  ASSERT_EQ(stat(file().c_str(), &before), 0);
  SessionConfig c = peerConfig(0);
  c.nodeName = "alikenode";
  c.serverStanza = "ALIKE";
  c.owner.clear();     // the sign-on chooses it
  c.password.clear();  // the store is the only source
  c.passwordAccess = 1;
  c.passwordDir = dir;
  std::vector<Bytes> signOns;
  for (int session = 0; session < 2; ++session) {
    FakePeer peer;
    SessionPtr s = signedOnSession(peer, {}, c);
    signOff(s, peer);
    signOns.push_back(peer.received().at(0));
  }
  EXPECT_EQ(fieldOf(signOns[0], 42, 15), "") << "the node signs on, not a user";
  EXPECT_EQ(signOns[1], signOns[0]);
  struct stat after {};
  ASSERT_EQ(stat(file().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(kmrtest::readFile(file()), "ALIKE\tALIKENODE\t73746f726564\n");
}

// PROMPT signs on with the password typed and never writes the store. (Under
// GENERATE, a refused record is removed and an accepted password kept: the
// command's end-to-end test of the store.)
TEST_F(PasswordStoreTest, PromptSignsOnWithTheTypedPasswordAndNeverWritesTheStore) {
  kmrtest::StdinWithoutTerminal nobodyToAsk;
  ASSERT_TRUE(kmrtest::writeClientStore(dir, "STORETEST", "STORENODE", "stored"));
  SessionConfig c = peerConfig(0);
  c.nodeName = "promptnode";
  c.serverStanza = "STORETEST";
  c.passwordAccess = 0;
  c.passwordDir = dir;
  c.password = "typed once";
  FakePeer peer;
  SessionPtr session = signedOnSession(peer, {}, c);
  signOff(session, peer);
  EXPECT_EQ(peer.received().at(0), kmrtest::signOnVerb("PROMPTNODE", "typed once"));
  EXPECT_EQ(kmrtest::readFile(file()), "STORETEST\tSTORENODE\t73746f726564\n");
}

}  // namespace
