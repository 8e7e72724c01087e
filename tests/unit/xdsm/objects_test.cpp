// What the library leaves on disk (attribute bytes, regions, holes, data
// written invisibly, file attributes), the rights every call needs, and the
// objects a token keeps open: what one call of a token opened serves its
// later calls, but never outlives the token, never stands in for a
// recreated file, and never bypasses the rights.

#include <filesystem>
#include <map>
#include <vector>

#include "tests/unit/xdsm/xdsm_fixture.h"

using namespace xdsmtest;

namespace {

// How many of this process's descriptors lead to `target` or below it.
int descriptorsOn(const std::string& target) {
  int count = 0;
  std::error_code ignored;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
    if (std::filesystem::read_symlink(fd.path(), ignored).string().rfind(target, 0) == 0) ++count;
  return count;
}

}  // namespace

class Objects : public OnMountedFs {};

TEST_P(Objects, AttributesAreStoredAsTrustedXattrsWithExactBytes) {
  Handle h;
  dm_token_t token = heldFile("f", 10, &h);
  dm_attrname_t one = attrName("ONE"), full = attrName("EIGHTCHR"), missing = attrName("none");
  unsigned char value[300];
  for (size_t i = 0; i < sizeof value; ++i) value[i] = static_cast<unsigned char>(i * 7);
  const std::string valueBytes(reinterpret_cast<char*>(value), sizeof value);
  ASSERT_EQ(0, dm_set_dmattr(sid_, h.hanp, h.hlen, token, &one, 0, sizeof value, value));
  ASSERT_EQ(0, dm_set_dmattr(sid_, h.hanp, h.hlen, token, &full, 0, 3, (void*)"abc"));
  // Eight characters leave no terminating zero. (Values: the HSM record tests.)
  EXPECT_EQ("abc", rawXattr(path("f"), "trusted.dmapi.EIGHTCHR"));

  size_t len = 0;
  unsigned char back[300];
  EXPECT_EQ(E2BIG, errnoOf([&] { return dm_get_dmattr(sid_, h.hanp, h.hlen, token, &one, 10, back, &len); }));
  EXPECT_EQ(sizeof value, len);
  EXPECT_EQ(ENOENT, errnoOf([&] {
              return dm_get_dmattr(sid_, h.hanp, h.hlen, token, &missing, sizeof back, back, &len);
            }));

  // The list walks both attributes with their values.
  std::vector<char> list(64);
  ASSERT_EQ(E2BIG, errnoOf([&] {
              return dm_getall_dmattr(sid_, h.hanp, h.hlen, token, list.size(), list.data(), &len);
            }));
  list.resize(len);
  ASSERT_EQ(0, dm_getall_dmattr(sid_, h.hanp, h.hlen, token, list.size(), list.data(), &len));
  std::map<std::string, std::string> listed;
  for (auto* entry = reinterpret_cast<dm_attrlist_t*>(list.data()); entry;
       entry = DM_STEP_TO_NEXT(entry, dm_attrlist_t*)) {
    const char* name = reinterpret_cast<char*>(entry->al_name.an_chars);
    listed[std::string(name, strnlen(name, 8))] =
        std::string(DM_GET_VALUE(entry, al_data, char*), DM_GET_LEN(entry, al_data));
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"EIGHTCHR", "abc"}, {"ONE", valueBytes}}), listed);

  ASSERT_EQ(0, dm_remove_dmattr(sid_, h.hanp, h.hlen, token, 0, &one));
  EXPECT_EQ(ENOENT, errnoOf([&] { return dm_remove_dmattr(sid_, h.hanp, h.hlen, token, 0, &one); }));
  dm_attrname_t empty = attrName("");
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_set_dmattr(sid_, h.hanp, h.hlen, token, &empty, 0, 1, value); }));
}

TEST_P(Objects, RegionsAndEventListsPersistWithTheFile) {
  Handle h, again;
  dm_token_t token = heldFile("f", 10, &h);
  dm_region_t regions[2] = {{0, 4096, DM_REGION_READ, 0},
                            {8192, 0, DM_REGION_WRITE | DM_REGION_TRUNCATE, 0}};
  dm_boolean_t exact = DM_FALSE;
  ASSERT_EQ(0, dm_set_region(sid_, h.hanp, h.hlen, token, 2, regions, &exact));
  EXPECT_EQ(DM_TRUE, exact);

  // Read back through a handle of a new lookup, as another process would.
  handleOf("f", &again);
  dm_region_t back[2];
  unsigned n = 0;
  EXPECT_EQ(E2BIG, errnoOf([&] { return dm_get_region(sid_, again.hanp, again.hlen, DM_NO_TOKEN, 1, back, &n); }));
  EXPECT_EQ(2u, n);
  ASSERT_EQ(0, dm_get_region(sid_, again.hanp, again.hlen, DM_NO_TOKEN, 2, back, &n));
  EXPECT_EQ(8192, back[1].rg_offset);
  EXPECT_EQ(0u, back[1].rg_size);
  EXPECT_EQ(6u, back[1].rg_flags);
  EXPECT_EQ(4096u, back[0].rg_size);
  EXPECT_EQ(1u, back[0].rg_flags);

  dm_region_t bad = {0, 0, 0x10, 0};
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_set_region(sid_, h.hanp, h.hlen, token, 1, &bad, &exact); }));
  ASSERT_EQ(0, dm_set_region(sid_, h.hanp, h.hlen, token, 0, nullptr, &exact));
  ASSERT_EQ(0, dm_get_region(sid_, h.hanp, h.hlen, token, 2, back, &n));
  EXPECT_EQ(0u, n);

  dm_eventset_t events = 0, got = 0;
  DMEV_SET(DM_EVENT_DESTROY, events);
  ASSERT_EQ(0, dm_set_eventlist(sid_, h.hanp, h.hlen, token, &events, DM_EVENT_MAX));
  ASSERT_EQ(0, dm_get_eventlist(sid_, h.hanp, h.hlen, token, DM_EVENT_MAX, &got, &n));
  EXPECT_EQ(static_cast<dm_eventset_t>(1) << 22, got);
  dm_stat_t st;
  ASSERT_EQ(0, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT | DM_AT_EMASK | DM_AT_PMANR | DM_AT_PATTR, &st));
  EXPECT_EQ(0, st.dt_pmanreg);  // the regions were cleared above (the mask: the HSM region test)
  EXPECT_EQ(0, st.dt_pers);
}

// A probe and a punch of the whole file, (0, 0), are what every stub is made
// with: the stubs `zefadm migrate` makes of files ending in a partial block
// are checked for size, times, data and blocks by the end-to-end tests.
TEST_P(Objects, ProbeAndPunchWorkInWholeBlocks) {
  struct stat st;
  ASSERT_EQ(0, stat(mount_->path().c_str(), &st));
  const size_t block = st.st_blksize;
  Handle h;
  dm_token_t token = heldFile("f", 3 * block + 100, &h);

  dm_off_t roff = -1;
  dm_size_t rlen = 1;
  ASSERT_EQ(0, dm_probe_hole(sid_, h.hanp, h.hlen, token, 1, 2 * block, &roff, &rlen));
  EXPECT_EQ(static_cast<dm_off_t>(block), roff);
  EXPECT_EQ(block, rlen);
  EXPECT_EQ(EINVAL, errnoOf([&] { return dm_probe_hole(sid_, h.hanp, h.hlen, token, 1, 10, &roff, &rlen); }));

  // Allocation before: one data extent over the whole file.
  dm_extent_t extents[4];
  unsigned n = 0;
  dm_off_t at = 0;
  ASSERT_EQ(0, dm_get_allocinfo(sid_, h.hanp, h.hlen, token, &at, 4, extents, &n));
  ASSERT_EQ(1u, n);
  EXPECT_EQ(DM_EXTENT_RES, extents[0].ex_type);
  ASSERT_EQ(0, dm_punch_hole(sid_, h.hanp, h.hlen, token, block, block));
  at = 0;
  ASSERT_EQ(0, dm_get_allocinfo(sid_, h.hanp, h.hlen, token, &at, 4, extents, &n));
  ASSERT_EQ(3u, n);
  EXPECT_EQ(DM_EXTENT_HOLE, extents[1].ex_type);
  EXPECT_EQ(static_cast<dm_off_t>(block), extents[1].ex_offset);
  EXPECT_EQ(block, extents[1].ex_length);

  ASSERT_EQ(0, dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0));
  EXPECT_EQ(EAGAIN, errnoOf([&] { return dm_punch_hole(sid_, h.hanp, h.hlen, token, 100, 0); }));

  std::vector<char> data(3 * block + 100, 'q');
  ASSERT_EQ(static_cast<dm_ssize_t>(data.size()),
            dm_read_invis(sid_, h.hanp, h.hlen, token, 0, data.size(), data.data()));
  EXPECT_EQ(std::vector<char>(data.size(), 0), data);
}

TEST_P(Objects, InvisibleWriteKeepsTimesAndFileAttributesRoundTrip) {
  Handle h;
  dm_token_t token = heldFile("f", 8, &h);
  struct timespec times[2] = {{1111111, 0}, {2222222, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path("f").c_str(), times, 0));
  char text[] = "HELLO";
  ASSERT_EQ(5, dm_write_invis(sid_, h.hanp, h.hlen, token, DM_WRITE_SYNC, 2, 5, text));
  char back[16] = {};
  ASSERT_EQ(8, dm_read_invis(sid_, h.hanp, h.hlen, token, 0, sizeof back, back));
  EXPECT_STREQ("xxHELLOx", back);

  // (Inode and change time, which the stub records take, are met end to end.)
  dm_stat_t st;
  ASSERT_EQ(0, fileAttr(h, token, &st));
  EXPECT_EQ(2222222, st.dt_mtime);
  EXPECT_EQ(1111111, st.dt_atime);
  EXPECT_EQ(8, st.dt_size);

  dm_fileattr_t attr{.fa_mode = 0600, .fa_uid = 1234, .fa_gid = 5678, .fa_atime = 0, .fa_mtime = 3333333,
                     .fa_ctime = 0, .fa_dtime = 0, .fa_size = 4};
  const unsigned mask = DM_AT_MODE | DM_AT_UID | DM_AT_GID | DM_AT_MTIME | DM_AT_SIZE;
  ASSERT_EQ(0, dm_set_fileattr(sid_, h.hanp, h.hlen, token, mask, &attr));
  struct stat real;
  ASSERT_EQ(0, stat(path("f").c_str(), &real));
  EXPECT_EQ(0600u, real.st_mode & 07777);
  EXPECT_EQ(1234u, real.st_uid);
  EXPECT_EQ(5678u, real.st_gid);
  EXPECT_EQ(3333333, real.st_mtime);
  EXPECT_EQ(1111111, real.st_atime);
  EXPECT_EQ(4, real.st_size);
  attr.fa_mode = 0777;
  EXPECT_EQ(EINVAL, errnoOf([&] {
              return dm_set_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_MODE | DM_AT_CTIME, &attr);
            }));
  ASSERT_EQ(0, stat(path("f").c_str(), &real));
  EXPECT_EQ(0600u, real.st_mode & 07777);
}

// A call needing a right fails with EACCES without it, also when an earlier
// call of the token already opened the object.
TEST_P(Objects, RightsAreCheckedOnEveryCallEvenOfAKeptObject) {
  Handle h;
  dm_token_t token = heldFile("f", 8192, &h, DM_RIGHT_NULL);
  dm_attrname_t name = attrName("rec");
  char buffer[8];
  size_t len = 0;
  dm_stat_t st;
  // (An attribute written with no right at all: the HSM layer's token test.)
  EXPECT_EQ(EACCES, errnoOf([&] { return dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0); }));

  // Shared is enough to read, not to write.
  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, token, 0, DM_RIGHT_SHARED));
  ASSERT_EQ(0, fileAttr(h, token, &st));
  EXPECT_EQ(EACCES, errnoOf([&] { return setAttr(h, token, "x"); }))
      << "the object is open, but the token holds only the shared right";
  EXPECT_EQ(EACCES, errnoOf([&] { return dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0); }));
  EXPECT_EQ(ENOENT, errnoOf([&] {
              return dm_get_dmattr(sid_, h.hanp, h.hlen, token, &name, sizeof buffer, buffer, &len);
            }));

  // Upgraded, the token writes through a descriptor opened for writing (the
  // punch fails with EBADF on the one opened for reading).
  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, token, DM_RR_WAIT, DM_RIGHT_EXCL));
  EXPECT_EQ(0, setAttr(h, token, "x"));
  ASSERT_EQ(0, dm_punch_hole(sid_, h.hanp, h.hlen, token, 0, 0)) << strerror(errno);

  ASSERT_EQ(0, dm_release_right(sid_, h.hanp, h.hlen, token));
  dm_right_t held;
  ASSERT_EQ(0, dm_query_right(sid_, h.hanp, h.hlen, token, &held));
  EXPECT_EQ(DM_RIGHT_NULL, held);
  EXPECT_EQ(EACCES, errnoOf([&] { return fileAttr(h, token, &st); }));
  EXPECT_EQ(EACCES, errnoOf([&] { return dm_release_right(sid_, h.hanp, h.hlen, token); }));
  EXPECT_EQ(EACCES, errnoOf([&] { return dm_remove_dmattr(sid_, h.hanp, h.hlen, token, 0, &name); }));

  // A token of another session is not accepted.
  dm_sessid_t other;
  ASSERT_EQ(0, dm_create_session(DM_NO_SESSION, const_cast<char*>("other"), &other));
  EXPECT_EQ(ESRCH, errnoOf([&] {
              return dm_get_dmattr(other, h.hanp, h.hlen, token, &name, sizeof buffer, buffer, &len);
            }));
  EXPECT_EQ(0, dm_destroy_session(other));
}

INSTANTIATE_TEST_SUITE_P(Fs, Objects, ::testing::Values("tmpfs", "ext4"));

class KeptObjects : public OnMountedFs {};

TEST_P(KeptObjects, TheTokensObjectIsClosedWithTheTokenAndTheMountWithTheSession) {
  Handle h;
  dm_token_t token = heldFile("f", 10, &h);
  ASSERT_EQ(0, setAttr(h, token, "one")) << strerror(errno);
  ASSERT_EQ(0, setAttr(h, token, "two")) << strerror(errno);
  EXPECT_EQ("two", rawXattr(path("f"), "trusted.dmapi.rec"));
  EXPECT_EQ(1, descriptorsOn(path("f"))) << "one descriptor serves the token's calls";
  ASSERT_EQ(0, dm_respond_event(sid_, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  EXPECT_EQ(0, descriptorsOn(path("f")));
  EXPECT_EQ(1, descriptorsOn(mount_->path())) << "the session keeps the mount point";
  ASSERT_EQ(0, dm_destroy_session(sid_));
  sid_ = DM_NO_SESSION;
  EXPECT_EQ(0, descriptorsOn(mount_->path()));
}

// Validity is proved once per token: a token that holds the file acts on it
// after its removal as a descriptor would, but never on a new file at the
// same name; a token that has not yet taken the removed file, and a call
// without a token, find the handle stale.
TEST_P(KeptObjects, ARemovedObjectStaysTheTokensAndIsStaleToEveryoneElse) {
  Handle old, fresh;
  dm_token_t token = heldFile("f", 10, &old);
  ASSERT_EQ(0, setAttr(old, token, "old"));
  const int held = open(path("f").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, unlink(path("f").c_str()));
  EXPECT_EQ(0, setAttr(old, token, "two")) << strerror(errno);
  dm_stat_t st;
  ASSERT_EQ(0, fileAttr(old, token, &st)) << strerror(errno);
  EXPECT_EQ(0u, st.dt_nlink) << "the status is the removed file's, taken now";
  EXPECT_EQ(ESTALE, errnoOf([&] { return dm_get_fileattr(sid_, old.hanp, old.hlen, DM_NO_TOKEN, DM_AT_STAT, &st); }));
  ASSERT_EQ(0, dm_downgrade_right(sid_, old.hanp, old.hlen, token));
  dm_token_t late = tokenWith(old, DM_RIGHT_SHARED);
  EXPECT_EQ(ESTALE, errnoOf([&] { return fileAttr(old, late, &st); }));
  ASSERT_EQ(0, dm_respond_event(sid_, late, DM_RESP_CONTINUE, 0, 0, nullptr));
  ASSERT_EQ(0, dm_request_right(sid_, old.hanp, old.hlen, token, 0, DM_RIGHT_EXCL));

  makeFile("f", 20);
  handleOf("f", &fresh);
  ASSERT_NE(old.bytes(), fresh.bytes());
  ASSERT_EQ(0, dm_request_right(sid_, fresh.hanp, fresh.hlen, token, DM_RR_WAIT, DM_RIGHT_EXCL));
  ASSERT_EQ(0, setAttr(fresh, token, "new")) << strerror(errno);
  ASSERT_EQ(0, setAttr(old, token, "again"));
  EXPECT_EQ("new", rawXattr(path("f"), "trusted.dmapi.rec"));
  ASSERT_EQ(0, fileAttr(fresh, token, &st));
  EXPECT_EQ(20, st.dt_size);
  char value[16] = {};
  EXPECT_EQ(5, fgetxattr(held, "trusted.dmapi.rec", value, sizeof value));
  EXPECT_STREQ("again", value);
  close(held);
}

// A token that borrows the caller's descriptor works on a file before it
// has a name (as every stub the command makes at a free name) and after,
// without a descriptor of its own, and leaves the caller's open.
TEST_P(KeptObjects, ABorrowedDescriptorServesTheTokenAndStaysTheCallers) {
  int fd = open(mount_->path().c_str(), O_TMPFILE | O_RDWR, 0600);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(0, ftruncate(fd, 8192));
  dm_token_t token;
  ASSERT_EQ(0, dm_create_userevent(sid_, 0, nullptr, &token));
  Handle h;
  EXPECT_EQ(EINVAL, errnoOf([&] { return dmx_fd_to_handle_for_token(sid_, DM_NO_TOKEN, fd, &h.hanp, &h.hlen); }));
  ASSERT_EQ(0, dmx_fd_to_handle_for_token(sid_, token, fd, &h.hanp, &h.hlen)) << strerror(errno);
  ASSERT_EQ(0, dm_request_right(sid_, h.hanp, h.hlen, token, DM_RR_WAIT, DM_RIGHT_EXCL));
  ASSERT_EQ(0, setAttr(h, token, "unnamed")) << strerror(errno);
  EXPECT_EQ(1, descriptorsOn(mount_->path() + "/")) << "the token holds no descriptor of its own";

  ASSERT_EQ(0, linkat(fd, "", AT_FDCWD, path("f").c_str(), AT_EMPTY_PATH)) << strerror(errno);
  ASSERT_EQ(0, setAttr(h, token, "named")) << strerror(errno);
  EXPECT_EQ("named", rawXattr(path("f"), "trusted.dmapi.rec"));
  dm_stat_t st;
  ASSERT_EQ(0, fileAttr(h, token, &st));
  EXPECT_EQ(8192, st.dt_size);
  ASSERT_EQ(0, unlink(path("f").c_str()));
  EXPECT_EQ(0, setAttr(h, token, "gone")) << strerror(errno);
  ASSERT_EQ(0, dm_respond_event(sid_, token, DM_RESP_CONTINUE, 0, 0, nullptr));
  EXPECT_EQ(0, fcntl(fd, F_GETFD) < 0 ? errno : 0) << "the caller's descriptor was closed";
  char value[8] = {};
  EXPECT_EQ(4, fgetxattr(fd, "trusted.dmapi.rec", value, sizeof value));
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Fs, KeptObjects, ::testing::Values("tmpfs", "ext4"));
