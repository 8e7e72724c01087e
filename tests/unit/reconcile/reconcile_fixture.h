// Shared set-up of the reconcile engine tests: the real message catalog, a
// DMAPI session as the command makes it, scratch tmpfs mounts in a private
// mount namespace, and a scripted server behind the mode's server link.
#ifndef KMR_TESTS_UNIT_RECONCILE_FIXTURE_H
#define KMR_TESTS_UNIT_RECONCILE_FIXTURE_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/messages.h"
#include "hsmfs/xdsmapi.h"
#include "reconcile/migundelete.h"
#include "reconcile/reconcilestatus.h"
#include "reconcile/serverlink.h"
#include "server/migobject.h"
#include "tests/support/files.h"
#include "tests/support/migrated_object.h"
#include "tests/support/private_mount.h"

namespace rectest {

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    mounted = geteuid() == 0 && kmrtest::EnterPrivateMountNamespace();
    kmrtest::startCommandServices();
  }
  void TearDown() override { kmrtest::stopCommandServices(); }
  static inline bool mounted = false;
};

// What the scripted server saw of one update.
struct Update {
  std::string alias;
  int flags = 0;
};

struct Script {
  std::deque<cQueueBaseObject*> elements;  // owned until handed out
  bool finishAtEnd = true;                 // an empty script ends the stream
  int beginRc = 0, queryRc = 0, updateRc = 0;
  int begins = 0, queries = 0, stops = 0;
  uint64_t accepted = 0;  // updates answered 0, over all links
  std::vector<Update> updates;
  size_t handedOut = 0;                   // elements the link handed out
  std::function<void(size_t)> onHandOut;  // called with the count before each hand-out
  ~Script() {
    for (auto* e : elements) delete e;
  }
};

inline Script*& currentScript() {
  static Script* s = nullptr;
  return s;
}

class ScriptedLink : public ReconcileServerLink {
 public:
  int beginTransaction() override { ++currentScript()->begins; return currentScript()->beginRc; }
  int getAllMigrObjectsFromServer(int) override {
    ++currentScript()->queries;
    return currentScript()->queryRc;
  }
  cQueueBaseObject* getNextMigrObjectFromServer() override {
    Script* s = currentScript();
    if (s->elements.empty()) {
      if (!s->finishAtEnd) { errno = ENOMEM; return nullptr; }
      return new FinishedMessageObject(1);
    }
    if (s->onHandOut) s->onHandOut(s->handedOut);
    ++s->handedOut;
    cQueueBaseObject* e = s->elements.front();
    s->elements.pop_front();
    return e;
  }
  int updateMigrObjectOnServer(ZefServerMigratedObject* obj, int flags) override {
    Update u;
    u.alias = obj->getAlias();
    u.flags = flags;
    currentScript()->updates.push_back(u);
    if (currentScript()->updateRc == 0) ++currentScript()->accepted;
    return currentScript()->updateRc;
  }
  int stopTransaction() override {
    ++currentScript()->stops;
    committed_ = currentScript()->accepted - acceptedBefore_;  // the last batch goes through
    return 0;
  }
  // As the real list: an update counts once its batch is committed, which
  // here is at the end of this link's transaction.
  uint64_t committedUpdates() const override { return committed_; }

 private:
  uint64_t acceptedBefore_ = currentScript()->accepted;
  uint64_t committed_ = 0;
};

inline std::unique_ptr<ReconcileServerLink> scriptedFactory(int* rc, const std::string&) {
  *rc = 0;
  return std::make_unique<ScriptedLink>();
}

using kmrtest::makeObject;
using kmrtest::ObjSpec;

// A mode over a fresh tmpfs with a scripted server.
class ModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Environment::mounted) GTEST_SKIP() << "needs root and a private mount namespace";
    mount_ = std::make_unique<kmrtest::ScratchMount>("tmpfs", 64);
    fs = mount_->path();
    currentScript() = &script;
    status = std::make_unique<ReconcileStatusStoragePools>(
        fs + "/reconcile.log", [](const std::string&, std::vector<unsigned>& ids) { ids = {0}; });
  }
  void TearDown() override {
    mode.reset();
    status.reset();
    currentScript() = nullptr;
    mount_.reset();
  }
  ReconcileModeMigUndelete& makeMode(int detail, int expiring, int recovery) {
    mode.reset();
    mode = std::make_unique<ReconcileModeMigUndelete>(env, fs, detail, status.get(), expiring, recovery);
    return *mode;
  }
  // Runs the mode made last, its standard output and error kept in out and err.
  int start() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = mode->startReconcilation();
    err = testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    return rc;
  }
  int run(int detail, int expiring, int recovery) {
    makeMode(detail, expiring, recovery);
    return start();
  }
  void add(const ObjSpec& s) { script.elements.push_back(makeObject(s)); }
  std::string path(const std::string& alias) const { return fs + alias; }
  void writeFile(const std::string& alias, const std::string& content, time_t mtime) {
    kmrtest::writeFile(path(alias), content);
    struct timespec t[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path(alias).c_str(), t, 0));
  }

  std::string fs;
  Script script;
  ReconcileEnv env{&scriptedFactory};
  std::unique_ptr<ReconcileStatusStoragePools> status;
  std::unique_ptr<ReconcileModeMigUndelete> mode;
  std::string out, err;

 private:
  std::unique_ptr<kmrtest::ScratchMount> mount_;
};

}  // namespace rectest

#endif
