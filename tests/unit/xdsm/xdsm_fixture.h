// Scratch file systems for the DMAPI library tests: every test of a
// parameterised suite runs on a fresh tmpfs and a fresh loop-mounted ext4,
// inside the process's private mount namespace.
#ifndef KMR_TESTS_UNIT_XDSM_FIXTURE_H
#define KMR_TESTS_UNIT_XDSM_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/xdsm/dmapi.h"
#include "tests/support/errno_of.h"
#include "tests/support/private_mount.h"
#include "tests/support/xattr.h"

namespace xdsmtest {

using kmrtest::errnoOf;
using kmrtest::rawXattr;

class NamespaceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ok = geteuid() == 0 && kmrtest::EnterPrivateMountNamespace(); }
  static inline bool ok = false;
};
// Registered once for the whole program, whichever test files include this.
inline ::testing::Environment* const kNamespace =
    ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

// A DMAPI handle owned by the test.
struct Handle {
  void* hanp = nullptr;
  size_t hlen = 0;
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (hanp) dm_handle_free(hanp, hlen);
  }
  std::string bytes() const { return std::string(static_cast<char*>(hanp), hlen); }
};

inline dm_attrname_t attrName(const char* text) {
  dm_attrname_t name{};
  memcpy(name.an_chars, text, strnlen(text, DM_ATTR_NAME_SIZE));
  return name;
}

class OnMountedFs : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!NamespaceEnvironment::ok) GTEST_SKIP() << "needs root and a private mount namespace";
    mount_ = std::make_unique<kmrtest::ScratchMount>(GetParam(), 32);
    ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("test"), &sid_));
  }
  void TearDown() override {
    if (sid_ != DM_NO_SESSION) {
      dm_token_t tokens[64];
      unsigned n = 0;
      if (dm_getall_tokens(sid_, 64, tokens, &n) == 0)
        for (unsigned i = 0; i < n; ++i)
          dm_respond_event(sid_, tokens[i], DM_RESP_CONTINUE, 0, 0, nullptr);
      dm_destroy_session(sid_);
    }
    mount_.reset();
  }
  std::string path(const std::string& name) const { return mount_->path() + "/" + name; }
  // Writes `size` bytes of 'x' into a new file.
  void makeFile(const std::string& name, size_t size) {
    int fd = open(path(name).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    std::string data(size, 'x');
    ASSERT_EQ(static_cast<ssize_t>(size), write(fd, data.data(), size));
    close(fd);
  }
  void handleOf(const std::string& name, Handle* h) {
    ASSERT_EQ(0, dm_path_to_handle(const_cast<char*>(path(name).c_str()), &h->hanp, &h->hlen))
        << strerror(errno);
  }
  // A token holding `right` on the handle (none for DM_RIGHT_NULL).
  dm_token_t tokenWith(const Handle& h, dm_right_t right) {
    dm_token_t token = DM_NO_TOKEN;
    EXPECT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &token));
    if (right != DM_RIGHT_NULL) {
      EXPECT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, token, DM_RR_WAIT, right));
    }
    return token;
  }
  // A new file of `size` bytes, its handle in `h`, and a token holding `right`.
  dm_token_t heldFile(const std::string& name, size_t size, Handle* h, dm_right_t right = DM_RIGHT_EXCL) {
    makeFile(name, size);
    handleOf(name, h);
    return tokenWith(*h, right);
  }
  // Sets the attribute "rec" (trusted.dmapi.rec on disk) to `value`.
  int setAttr(const Handle& h, dm_token_t token, const char* value) {
    dm_attrname_t name = attrName("rec");
    return dm_set_dmattr(sid_, h.hanp, h.hlen, token, &name, 0, strlen(value), const_cast<char*>(value));
  }
  int fileAttr(const Handle& h, dm_token_t token, dm_stat_t* st) {
    return dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, st);
  }

  std::unique_ptr<kmrtest::ScratchMount> mount_;
  dm_sessid_t sid_ = DM_NO_SESSION;
};

}  // namespace xdsmtest

#endif
