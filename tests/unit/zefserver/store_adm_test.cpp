// zefadm's commands and the store beneath them.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "tests/support/no_terminal.h"
#include "tests/support/node_password.h"
#include "tests/support/scratch_dir.h"
#include "zefserver/adm.h"
#include "zefserver/password.h"
#include "zefserver/store.h"

namespace zef {
namespace {

class AdmTest : public ::testing::Test {
 protected:
  int adm(std::vector<std::string> args, std::string* out = nullptr, std::string* errText = nullptr) {
    std::vector<std::string> all = {"zefadm", "--db", db_};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    char* buf = nullptr;
    char* ebuf = nullptr;
    size_t len = 0, elen = 0;
    FILE* o = open_memstream(&buf, &len);
    FILE* e = open_memstream(&ebuf, &elen);
    int rc = runAdm(static_cast<int>(argv.size()), argv.data(), o, e);
    fclose(o);
    fclose(e);
    if (out) *out = std::string(buf, len);
    if (errText) *errText = std::string(ebuf, elen);
    free(buf);
    free(ebuf);
    return rc;
  }
  // A password file as an administrator makes one: mode 0600.
  std::string passwordFile(const std::string& password, mode_t mode = 0600) {
    std::string path = scratch_.file("pw" + std::to_string(files_++));
    EXPECT_TRUE(kmrtest::writePasswordFile(path, password));
    chmod(path.c_str(), mode);
    return path;
  }
  int registerNode(const std::string& node, const std::string& password = "n0de-secret") {
    return adm({"register-node", node, "--password-file", passwordFile(password)});
  }
  kmrtest::ScratchDir scratch_;
  const std::string& dir_ = scratch_.path();
  const std::string db_ = scratch_.file("db");
  int files_ = 0;
};

TEST_F(AdmTest, ImportIsAllOrNothing) {
  ASSERT_EQ(registerNode("n1"), 0);
  EXPECT_EQ(registerNode("N1"), 1) << "node names are case-insensitive";
  std::string good = scratch_.write("good", "{\"path\":\"/a\",\"size\":1}\n\n{\"path\":\"/b\",\"size\":2,\"expired\":true}\n");
  std::string bad = scratch_.write("bad", "{\"path\":\"/c\",\"size\":3}\n{\"path\":\"/d\"}\n");
  EXPECT_EQ(adm({"import", "n1", "/fs", bad}), 1);
  EXPECT_EQ(adm({"import", "n1", "/fs", good}), 0);
  EXPECT_EQ(adm({"import", "unknown", "/fs", good}), 1);
  EXPECT_EQ(adm({"import", "n1", "/fs", dir_ + "/missing"}), 1);
  std::string out;
  ASSERT_EQ(adm({"list-objects", "n1", "/fs"}, &out), 0);
  EXPECT_EQ(out.find("/c"), std::string::npos) << "the bad file left nothing: " << out;
  EXPECT_NE(out.find("migrated\t1\t"), std::string::npos) << out;
}

TEST_F(AdmTest, PasswordsComeFromADescriptorOrAPrivateFileAndOnlyTheirHashIsKept) {
  // From a descriptor (a pipe, as a script hands it over).
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(::write(p[1], "pipe-pass\n", 10), 10);
  close(p[1]);
  ASSERT_EQ(adm({"register-node", "viafd", "--password-fd", std::to_string(p[0])}), 0);
  close(p[0]);
  ASSERT_EQ(registerNode("viafile", "file-pass"), 0);

  auto store = Store::open(db_);
  // (A file's password, and a wrong one, at sign-on: zefserverd's tests.)
  auto fdHash = store->passwordHash("VIAFD");
  ASSERT_TRUE(fdHash);
  EXPECT_EQ(fdHash->rfind("$argon2id$", 0), 0u) << *fdHash;
  EXPECT_EQ(fdHash->find("pipe-pass"), std::string::npos);
  EXPECT_TRUE(verifyPassword(*fdHash, "pipe-pass"));

  // Files others could read, links and non-files are refused; so is an
  // empty password, and without a terminal there is nobody to ask.
  EXPECT_EQ(adm({"register-node", "loose", "--password-file", passwordFile("x", 0640)}), 1);
  std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(passwordFile("y").c_str(), link.c_str()), 0);
  EXPECT_EQ(adm({"register-node", "linked", "--password-file", link}), 1);
  EXPECT_EQ(adm({"register-node", "dir", "--password-file", dir_}), 1);
  EXPECT_EQ(adm({"register-node", "empty", "--password-file", passwordFile("")}), 1);
  {
    kmrtest::StdinWithoutTerminal nobodyToAsk;
    EXPECT_EQ(adm({"register-node", "prompted"}), 1);
  }
  for (const char* n : {"LOOSE", "LINKED", "DIR", "EMPTY", "PROMPTED"})
    EXPECT_FALSE(store->nodeExists(n)) << n << " registered without a usable password";

  // A new password replaces the old one; an unknown node gets none.
  EXPECT_EQ(adm({"set-password", "viafile", "--password-file", passwordFile("second-pass")}), 0);
  EXPECT_TRUE(verifyPassword(*store->passwordHash("VIAFILE"), "second-pass"));
  EXPECT_FALSE(verifyPassword(*store->passwordHash("VIAFILE"), "file-pass"));
  EXPECT_EQ(adm({"set-password", "nosuch", "--password-file", passwordFile("z")}), 1);
}

TEST_F(AdmTest, ADatabaseFromBeforePasswordsKeepsItsNodesWithoutOne) {
  ASSERT_EQ(std::system(("sqlite3 " + db_ + " \"CREATE TABLE nodes(name TEXT PRIMARY KEY, registered INTEGER NOT NULL);"
                         " INSERT INTO nodes VALUES('OLD', 1);\"").c_str()),
            0);
  {
    auto store = Store::open(db_);
    EXPECT_TRUE(store->nodeExists("old"));
    EXPECT_EQ(store->passwordHash("old"), std::optional<std::string>(""));
    EXPECT_FALSE(verifyPassword(*store->passwordHash("old"), ""));
  }
  EXPECT_EQ(adm({"set-password", "old", "--password-file", passwordFile("now set")}), 0);
  EXPECT_TRUE(verifyPassword(*Store::open(db_)->passwordHash("OLD"), "now set"));
}

TEST_F(AdmTest, ExpireUnexpireAndGenerate) {
  ASSERT_EQ(registerNode("n1"), 0);
  ASSERT_EQ(adm({"generate", "n1", "/fs", "3", "--prefix", "/g"}), 0);
  EXPECT_EQ(adm({"expire", "n1", "/fs", "/g/d00000/f00000001", "/nope"}), 1);
  std::string out;
  adm({"list-objects", "n1", "/fs"}, &out);
  EXPECT_EQ(out.find("expired"), std::string::npos) << "a missing path changes nothing";
  ASSERT_EQ(adm({"expire", "n1", "/fs", "/g/d00000/f00000001"}), 0);
  adm({"list-objects", "n1", "/fs"}, &out);
  EXPECT_NE(out.find("expired\t4098\t100644\t1001\t100\t1600000001\t/g/d00000/f00000001"), std::string::npos) << out;
  ASSERT_EQ(adm({"unexpire", "n1", "/fs", "/g/d00000/f00000001"}), 0);
  adm({"list-objects", "n1", "/fs"}, &out);
  EXPECT_EQ(out.find("expired"), std::string::npos);
  EXPECT_EQ(adm({"generate", "n1", "/fs", "-1"}), 2);
  EXPECT_EQ(adm({"bogus"}), 2);
  adm({"list-filespaces"}, &out);
  EXPECT_NE(out.find("N1\t/fs\tORCA\t3 objects"), std::string::npos) << out;
}

// The database holds the nodes' password hashes and every record: whatever
// the umask, a database made by zefadm or by the server's open is the
// owner's alone; a reading command never makes one (a mistyped --db), and
// an existing database open to others is warned about.
TEST_F(AdmTest, DatabaseIsMadePrivateNeverByAReadAndAnOpenOneIsWarnedAbout) {
  std::string err;
  for (const std::vector<std::string>& reading :
       std::vector<std::vector<std::string>>{{"list-filespaces"}, {"list-objects", "n1", "/fs"}}) {
    EXPECT_EQ(adm(reading, nullptr, &err), 1) << reading[0];
    EXPECT_NE(err.find("there is no database " + db_), std::string::npos) << err;
    EXPECT_FALSE(kmrtest::lexists(db_)) << reading[0] << " made a database";
  }
  const mode_t saved = umask(022);
  const int made = registerNode("n1");
  Store::open(scratch_.file("server-db"));  // as zefserverd opens its database
  umask(saved);
  ASSERT_EQ(made, 0);
  for (const std::string& path : {db_, scratch_.file("server-db")}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
  }
  EXPECT_EQ(adm({"list-filespaces"}, nullptr, &err), 0);
  EXPECT_EQ(err, "") << "a private database needs no warning";
  ASSERT_EQ(chmod(db_.c_str(), 0644), 0);
  EXPECT_EQ(adm({"list-filespaces"}, nullptr, &err), 0);
  EXPECT_NE(err.find("warning: other users can access the database " + db_ + " (mode 0644)"), std::string::npos)
      << err;
}

// Two file spaces of one node in a fresh store; returns their ids.
std::pair<uint32_t, uint32_t> twoFileSpaces(Store& s) {
  s.registerNode("n", "");
  FileSpace fs;
  fs.node = "n";
  fs.info.assign(8, 0);
  fs.name = "/x";
  uint32_t x = s.addFileSpace(fs);
  fs.name = "/y";
  return {x, s.addFileSpace(fs)};
}

TEST_F(AdmTest, StoreKeepsUncommittedWritesInvisibleAndNeverReusesNumbers) {
  auto a = Store::open(db_);
  auto b = Store::open(db_);
  const uint32_t id = twoFileSpaces(*a).first;
  uint64_t first;
  {
    Store::WriteTxn t(*a);
    first = a->insertObject(id, "/p", {1, 2, 3});
    EXPECT_EQ(b->countObjects(id), 0u);
    t.commit();
  }
  EXPECT_EQ(b->countObjects(id), 1u);
  {
    Store::WriteTxn t(*a);
    a->insertObject(id, "/q", {4});
  }  // rolled back
  EXPECT_EQ(b->countObjects(id), 1u);
  ASSERT_TRUE(a->deleteObject(first));
  EXPECT_FALSE(a->deleteObject(first));
  uint64_t next = a->insertObject(id, "/r", {});
  EXPECT_GT(next, first) << "object numbers (and so ids) are never reused";
  auto o = b->objectByNum(next);
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->attrs.empty());
  EXPECT_EQ(o->path, "/r");
}

TEST_F(AdmTest, ChangeObjectWritesOnlyWhatItIsGivenAndOnlyInItsFileSpace) {
  auto s = Store::open(db_);
  auto [x, y] = twoFileSpaces(*s);
  const uint64_t num = s->insertObject(x, "/old", {1, 2, 3});
  const std::vector<uint8_t> attrs = {9, 8};
  const std::string same = "/old", moved = "/new/place";
  EXPECT_EQ(ChangeResult::kChanged, s->changeObject(num, x, &attrs, nullptr, 100));
  EXPECT_EQ(std::vector<uint8_t>({9, 8}), s->objectByNum(num)->attrs);
  EXPECT_EQ("/old", s->objectByNum(num)->path);
  EXPECT_EQ(ChangeResult::kChanged, s->changeObject(num, x, nullptr, &same, 100));
  EXPECT_EQ(ChangeResult::kChanged, s->changeObject(num, x, nullptr, &moved, 100));
  EXPECT_EQ("/new/place", s->objectByNum(num)->path);
  EXPECT_EQ(std::vector<uint8_t>({9, 8}), s->objectByNum(num)->attrs);
  // Another file space's number, a missing number, a record too large: nothing changes.
  const std::vector<uint8_t> other = {7};
  EXPECT_EQ(ChangeResult::kNoSuchObject, s->changeObject(num, y, &other, &same, 100));
  EXPECT_EQ(ChangeResult::kNoSuchObject, s->changeObject(num + 1, x, &other, nullptr, 100));
  // 2 bytes of attributes + 10 of path fit in 12, not in 11.
  EXPECT_EQ(ChangeResult::kTooLarge, s->changeObject(num, x, &attrs, nullptr, 11));
  EXPECT_EQ(ChangeResult::kTooLarge, s->changeObject(num, x, &other, &same, 3));
  auto o = s->objectByNum(num);
  EXPECT_EQ(std::vector<uint8_t>({9, 8}), o->attrs);
  EXPECT_EQ("/new/place", o->path);
  EXPECT_EQ(ChangeResult::kChanged, s->changeObject(num, x, &attrs, nullptr, 12));
  EXPECT_FALSE(s->deleteObject(num, y));
  EXPECT_TRUE(s->deleteObject(num, x));
  EXPECT_FALSE(s->objectByNum(num));
}

// (That the pages hold every object of the file space once, in order and
// with its own fields, the end-to-end runs over thousands of records show.)
TEST_F(AdmTest, ScanReadsPageByPageWithoutHoldingASnapshot) {
  auto writer = Store::open(db_);
  auto reader = Store::open(db_);
  auto [x, y] = twoFileSpaces(*writer);
  const size_t count = 2 * ObjectCursor::kPageSize + 3;
  {
    Store::WriteTxn t(*writer);
    for (size_t i = 0; i < count; ++i) writer->insertObject(x, "/x" + std::to_string(i), {});
    t.commit();
  }
  auto cursor = reader->scan(x);
  StoredObject o;
  ASSERT_TRUE(cursor->next(o));
  // Early in the scan a writer commits and the whole log can be
  // checkpointed and truncated: the scan holds no read transaction.
  {
    Store::WriteTxn t(*writer);
    writer->insertObject(y, "/late", {});
    t.commit();
  }
  int logFrames = -1, done = -1;
  EXPECT_EQ(SQLITE_OK,
            sqlite3_wal_checkpoint_v2(writer->handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &done));
  EXPECT_EQ(0, logFrames) << "the log was not reset";
  size_t seen = 1;
  while (cursor->next(o)) ++seen;
  EXPECT_EQ(count, seen);
}

}  // namespace
}  // namespace zef
