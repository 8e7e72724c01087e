// Objects a token keeps open: what one call of a token opened serves its
// later calls, but never outlives the token, never stands in for a removed
// or recreated file, and never bypasses the rights.
#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>

#include <cstring>
#include <string>

#include "tests/unit/xdsm/xdsm_fixture.h"

using namespace xdsmtest;

static ::testing::Environment* const kNamespace =
    ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

namespace {

// How many of this process's descriptors lead to `target` or below it.
int descriptorsOn(const std::string& target) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    char link[4096];
    std::string path = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    std::string to(link, static_cast<size_t>(n));
    if (to.compare(0, target.size(), target) == 0) ++count;
  }
  closedir(dir);
  return count;
}

std::string xattrOf(const std::string& path, const char* name) {
  char value[64];
  ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
}

}  // namespace

class KeptObjects : public OnMountedFs {
 protected:
  int setAttr(const Handle& h, dm_token_t token, const char* value) {
    dm_attrname_t name = attrName("rec");
    return dm_set_dmattr(sid_, h.hanp, h.hlen, token, &name, 0, strlen(value), const_cast<char*>(value));
  }
};

TEST_P(KeptObjects, TheTokensObjectIsClosedWithTheTokenAndTheMountWithTheSession) {
  Handle h;
  dm_token_t token = heldFile("f", 10, &h);
  ASSERT_EQ(0, setAttr(h, token, "one")) << strerror(errno);
  ASSERT_EQ(0, setAttr(h, token, "two")) << strerror(errno);
  EXPECT_EQ("two", xattrOf(path("f"), "trusted.dmapi.rec"));
  EXPECT_EQ(1, descriptorsOn(path("f"))) << "one descriptor serves the token's calls";
  ASSERT_EQ(0, dm_respond_event(sid_, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  EXPECT_EQ(0, descriptorsOn(path("f")));
  EXPECT_EQ(1, descriptorsOn(mount_->path())) << "the session keeps the mount point";
  ASSERT_EQ(0, dm_destroy_session(sid_));
  sid_ = DM_NO_SESSION;
  EXPECT_EQ(0, descriptorsOn(mount_->path()));
}

TEST_P(KeptObjects, ARemovedObjectIsStaleEvenWhileTheTokenHoldsItOpen) {
  Handle h;
  dm_token_t token = heldFile("f", 10, &h);
  ASSERT_EQ(0, setAttr(h, token, "one"));
  ASSERT_EQ(0, unlink(path("f").c_str()));
  errno = 0;
  EXPECT_EQ(-1, setAttr(h, token, "two"));
  EXPECT_EQ(ESTALE, errno);
  dm_stat_t st;
  errno = 0;
  EXPECT_EQ(-1, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, &st));
  EXPECT_EQ(ESTALE, errno);
  errno = 0;
  EXPECT_EQ(-1, dm_get_fileattr(sid_, h.hanp, h.hlen, DM_NO_TOKEN, DM_AT_STAT, &st));
  EXPECT_EQ(ESTALE, errno);
}

TEST_P(KeptObjects, ARecreatedFileIsNeverTakenForTheOldOne) {
  Handle old;
  dm_token_t token = heldFile("f", 10, &old);
  ASSERT_EQ(0, setAttr(old, token, "old"));
  ASSERT_EQ(0, unlink(path("f").c_str()));
  makeFile("f", 20);
  Handle fresh;
  handleOf("f", &fresh);
  ASSERT_NE(old.bytes(), fresh.bytes());
  ASSERT_EQ(0, dm_request_right(sid_, fresh.hanp, fresh.hlen, token, DM_RR_WAIT, DM_RIGHT_EXCL));
  ASSERT_EQ(0, setAttr(fresh, token, "new")) << strerror(errno);
  EXPECT_EQ("new", xattrOf(path("f"), "trusted.dmapi.rec"));
  dm_stat_t st;
  ASSERT_EQ(0, dm_get_fileattr(sid_, fresh.hanp, fresh.hlen, token, DM_AT_STAT, &st));
  EXPECT_EQ(20, st.dt_size);
  errno = 0;
  EXPECT_EQ(-1, setAttr(old, token, "again"));
  EXPECT_EQ(ESTALE, errno);
  EXPECT_EQ("new", xattrOf(path("f"), "trusted.dmapi.rec"));
}

TEST_P(KeptObjects, RightsAreCheckedOnEveryCallOfAKeptObject) {
  Handle h;
  dm_token_t token = heldFile("f", 8192, &h, DM_RIGHT_SHARED);
  dm_stat_t st;
  ASSERT_EQ(0, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, &st));
  errno = 0;
  EXPECT_EQ(-1, setAttr(h, token, "x")) << "the object is open, but the token holds only the shared right";
  EXPECT_EQ(EACCES, errno);
  errno = 0;
  EXPECT_EQ(-1, dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0));
  EXPECT_EQ(EACCES, errno);
  // Upgraded, the token writes through a descriptor opened for writing.
  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, token, DM_RR_WAIT, DM_RIGHT_EXCL));
  ASSERT_EQ(0, dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0)) << strerror(errno);
  ASSERT_EQ(0, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, &st));
  EXPECT_EQ(8192, st.dt_size);
  EXPECT_EQ(0, st.dt_blocks);
  ASSERT_EQ(0, dm_release_right(sid_, h.hanp, h.hlen, token));
  errno = 0;
  EXPECT_EQ(-1, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, &st));
  EXPECT_EQ(EACCES, errno);
}

// A token that takes the caller's descriptor works on a file before it has
// a name; once the file has had one, losing it makes the handle stale.
TEST_P(KeptObjects, AFileTakenFromTheCallerWorksUnnamedAndIsStaleOnceItsNameIsGone) {
  int fd = open(mount_->path().c_str(), O_TMPFILE | O_RDWR, 0600);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(0, ftruncate(fd, 8192));
  dm_token_t token;
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &token));
  Handle h;
  errno = 0;
  EXPECT_EQ(-1, dmx_fd_to_handle_for_token(sid_, DM_NO_TOKEN, fd, &h.hanp, &h.hlen));
  EXPECT_EQ(EINVAL, errno);
  // The token would write through the descriptor: a read-only one is refused.
  makeFile("ro", 10);
  const int readOnly = open(path("ro").c_str(), O_RDONLY);
  ASSERT_GE(readOnly, 0) << strerror(errno);
  errno = 0;
  EXPECT_EQ(-1, dmx_fd_to_handle_for_token(sid_, token, readOnly, &h.hanp, &h.hlen));
  EXPECT_EQ(EBADF, errno);
  close(readOnly);
  ASSERT_EQ(0, dmx_fd_to_handle_for_token(sid_, token, fd, &h.hanp, &h.hlen)) << strerror(errno);
  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, token, DM_RR_WAIT, DM_RIGHT_EXCL));
  ASSERT_EQ(0, setAttr(h, token, "unnamed")) << strerror(errno);
  ASSERT_EQ(0, dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0)) << strerror(errno);
  char value[16] = {};
  EXPECT_EQ(7, fgetxattr(fd, "trusted.dmapi.rec", value, sizeof value));
  EXPECT_EQ("unnamed", std::string(value, 7));

  ASSERT_EQ(0, linkat(fd, "", AT_FDCWD, path("f").c_str(), AT_EMPTY_PATH)) << strerror(errno);
  ASSERT_EQ(0, setAttr(h, token, "named")) << strerror(errno);
  EXPECT_EQ("named", xattrOf(path("f"), "trusted.dmapi.rec"));
  dm_stat_t st;
  ASSERT_EQ(0, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, &st));
  EXPECT_EQ(8192, st.dt_size);
  EXPECT_EQ(0, st.dt_blocks);
  ASSERT_EQ(0, unlink(path("f").c_str()));
  errno = 0;
  EXPECT_EQ(-1, setAttr(h, token, "gone"));
  EXPECT_EQ(ESTALE, errno);
  ASSERT_EQ(0, dm_respond_event(sid_, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Fs, KeptObjects, ::testing::Values("tmpfs", "ext4"));
