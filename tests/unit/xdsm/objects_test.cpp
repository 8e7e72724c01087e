// What the library leaves on disk: attribute bytes, regions, holes, data
// written invisibly, file attributes.
#include <sys/xattr.h>

#include <cstring>
#include <vector>

#include "tests/unit/xdsm/xdsm_fixture.h"

using namespace xdsmtest;

class Objects : public OnMountedFs {};

TEST_P(Objects, AttributesAreStoredAsTrustedXattrsWithExactBytes) {
  Handle h;
  dm_token_t token = heldFile("f", 10, &h);
  dm_attrname_t one = attrName("ONE"), full = attrName("EIGHTCHR"), missing = attrName("none");
  unsigned char value[300];
  for (size_t i = 0; i < sizeof value; ++i) value[i] = static_cast<unsigned char>(i * 7);
  ASSERT_EQ(0, dm_set_dmattr(sid_, h.hanp, h.hlen, token, &one, 0, sizeof value, value));
  ASSERT_EQ(0, dm_set_dmattr(sid_, h.hanp, h.hlen, token, &full, 0, 3, (void*)"abc"));

  unsigned char raw[400];
  ASSERT_EQ(static_cast<ssize_t>(sizeof value),
            getxattr(path("f").c_str(), "trusted.dmapi.ONE", raw, sizeof raw));
  EXPECT_EQ(0, memcmp(raw, value, sizeof value));
  ASSERT_EQ(3, getxattr(path("f").c_str(), "trusted.dmapi.EIGHTCHR", raw, sizeof raw));

  size_t len = 0;
  unsigned char small[10];
  EXPECT_EQ(-1, dm_get_dmattr(sid_, h.hanp, h.hlen, token, &one, sizeof small, small, &len));
  EXPECT_EQ(E2BIG, errno);
  EXPECT_EQ(sizeof value, len);
  unsigned char back[300];
  ASSERT_EQ(0, dm_get_dmattr(sid_, h.hanp, h.hlen, token, &one, sizeof back, back, &len));
  EXPECT_EQ(0, memcmp(back, value, sizeof value));
  EXPECT_EQ(-1, dm_get_dmattr(sid_, h.hanp, h.hlen, token, &missing, sizeof back, back, &len));
  EXPECT_EQ(ENOENT, errno);

  // The list walks both attributes with their values.
  std::vector<char> list(64);
  ASSERT_EQ(-1, dm_getall_dmattr(sid_, h.hanp, h.hlen, token, list.size(), list.data(), &len));
  ASSERT_EQ(E2BIG, errno);
  list.resize(len);
  ASSERT_EQ(0, dm_getall_dmattr(sid_, h.hanp, h.hlen, token, list.size(), list.data(), &len));
  int seen = 0;
  for (auto* entry = reinterpret_cast<dm_attrlist_t*>(list.data()); entry;
       entry = DM_STEP_TO_NEXT(entry, dm_attrlist_t*)) {
    std::string name(reinterpret_cast<char*>(entry->al_name.an_chars),
                     strnlen(reinterpret_cast<char*>(entry->al_name.an_chars), 8));
    std::string data(DM_GET_VALUE(entry, al_data, char*), DM_GET_LEN(entry, al_data));
    if (name == "ONE") {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(value), sizeof value), data);
      seen |= 1;
    } else if (name == "EIGHTCHR") {
      EXPECT_EQ("abc", data);
      seen |= 2;
    } else {
      ADD_FAILURE() << "unexpected attribute " << name;
    }
  }
  EXPECT_EQ(3, seen);

  ASSERT_EQ(0, dm_remove_dmattr(sid_, h.hanp, h.hlen, token, 0, &one));
  EXPECT_EQ(-1, getxattr(path("f").c_str(), "trusted.dmapi.ONE", raw, sizeof raw));
  EXPECT_EQ(-1, dm_remove_dmattr(sid_, h.hanp, h.hlen, token, 0, &one));
  EXPECT_EQ(ENOENT, errno);
  dm_attrname_t empty = attrName("");
  EXPECT_EQ(-1, dm_set_dmattr(sid_, h.hanp, h.hlen, token, &empty, 0, 1, value));
  EXPECT_EQ(EINVAL, errno);
}

TEST_P(Objects, RegionsAndEventListsPersistWithTheFile) {
  Handle h;
  dm_token_t token = heldFile("f", 10, &h);
  dm_region_t regions[2] = {{0, 4096, DM_REGION_READ, 0},
                            {8192, 0, DM_REGION_WRITE | DM_REGION_TRUNCATE, 0}};
  dm_boolean_t exact = DM_FALSE;
  ASSERT_EQ(0, dm_set_region(sid_, h.hanp, h.hlen, token, 2, regions, &exact));
  EXPECT_EQ(DM_TRUE, exact);

  // Read back through a handle of a new lookup, as another process would.
  Handle again;
  handleOf("f", &again);
  dm_region_t back[2];
  unsigned n = 0;
  EXPECT_EQ(-1, dm_get_region(sid_, again.hanp, again.hlen, DM_NO_TOKEN, 1, back, &n));
  EXPECT_EQ(E2BIG, errno);
  EXPECT_EQ(2u, n);
  ASSERT_EQ(0, dm_get_region(sid_, again.hanp, again.hlen, DM_NO_TOKEN, 2, back, &n));
  EXPECT_EQ(8192, back[1].rg_offset);
  EXPECT_EQ(0u, back[1].rg_size);
  EXPECT_EQ(6u, back[1].rg_flags);
  EXPECT_EQ(4096u, back[0].rg_size);
  EXPECT_EQ(1u, back[0].rg_flags);

  dm_region_t bad = {0, 0, 0x10, 0};
  EXPECT_EQ(-1, dm_set_region(sid_, h.hanp, h.hlen, token, 1, &bad, &exact));
  EXPECT_EQ(EINVAL, errno);
  ASSERT_EQ(0, dm_set_region(sid_, h.hanp, h.hlen, token, 0, nullptr, &exact));
  ASSERT_EQ(0, dm_get_region(sid_, h.hanp, h.hlen, token, 2, back, &n));
  EXPECT_EQ(0u, n);

  dm_eventset_t events = 0;
  DMEV_SET(DM_EVENT_DESTROY, events);
  ASSERT_EQ(0, dm_set_eventlist(sid_, h.hanp, h.hlen, token, &events, DM_EVENT_MAX));
  dm_eventset_t got = 0;
  ASSERT_EQ(0, dm_get_eventlist(sid_, h.hanp, h.hlen, token, DM_EVENT_MAX, &got, &n));
  EXPECT_EQ(static_cast<dm_eventset_t>(1) << 22, got);
  dm_stat_t st;
  ASSERT_EQ(0, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT | DM_AT_EMASK, &st));
  EXPECT_EQ(got, st.dt_emask);
  EXPECT_EQ(0, st.dt_pmanreg);  // the regions were cleared above
  EXPECT_EQ(0, st.dt_pers);
}

TEST_P(Objects, ProbeAndPunchFreeTheBlocksButKeepSizeAndTimes) {
  struct stat probe;
  ASSERT_EQ(0, stat(mount_->path().c_str(), &probe));
  const size_t block = probe.st_blksize;
  Handle h;
  dm_token_t token = heldFile("f", 3 * block + 100, &h);
  struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path("f").c_str(), times, 0));

  dm_off_t roff = -1;
  dm_size_t rlen = 1;
  ASSERT_EQ(0, dm_probe_hole(sid_, h.hanp, h.hlen, token, 0, 0, &roff, &rlen));
  EXPECT_EQ(0, roff);
  EXPECT_EQ(0u, rlen);
  ASSERT_EQ(0, dm_probe_hole(sid_, h.hanp, h.hlen, token, 1, 2 * block, &roff, &rlen));
  EXPECT_EQ(static_cast<dm_off_t>(block), roff);
  EXPECT_EQ(block, rlen);
  EXPECT_EQ(-1, dm_probe_hole(sid_, h.hanp, h.hlen, token, 1, 10, &roff, &rlen));
  EXPECT_EQ(EINVAL, errno);

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
  struct stat st;
  ASSERT_EQ(0, stat(path("f").c_str(), &st));
  EXPECT_EQ(static_cast<off_t>(3 * block + 100), st.st_size);
  EXPECT_EQ(0, st.st_blocks);
  EXPECT_EQ(2000000, st.st_mtime);
  EXPECT_EQ(1000000, st.st_atime);
  EXPECT_EQ(-1, dm_punch_hole(sid_, h.hanp, h.hlen, token, 100, 0));
  EXPECT_EQ(EAGAIN, errno);

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

  dm_stat_t st;
  ASSERT_EQ(0, dm_get_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_STAT, &st));
  struct stat real;
  ASSERT_EQ(0, stat(path("f").c_str(), &real));
  EXPECT_EQ(2222222, st.dt_mtime);
  EXPECT_EQ(1111111, st.dt_atime);
  EXPECT_EQ(real.st_ino, st.dt_ino);
  EXPECT_EQ(real.st_ctime, st.dt_ctime);
  EXPECT_EQ(8, st.dt_size);

  dm_fileattr_t attr{};
  attr.fa_mode = 0600;
  attr.fa_uid = 1234;
  attr.fa_gid = 5678;
  attr.fa_mtime = 3333333;
  attr.fa_size = 4;
  ASSERT_EQ(0,
            dm_set_fileattr(sid_, h.hanp, h.hlen, token,
                            DM_AT_MODE | DM_AT_UID | DM_AT_GID | DM_AT_MTIME | DM_AT_SIZE, &attr));
  ASSERT_EQ(0, stat(path("f").c_str(), &real));
  EXPECT_EQ(0600u, real.st_mode & 07777);
  EXPECT_EQ(1234u, real.st_uid);
  EXPECT_EQ(5678u, real.st_gid);
  EXPECT_EQ(3333333, real.st_mtime);
  EXPECT_EQ(1111111, real.st_atime);
  EXPECT_EQ(4, real.st_size);
  attr.fa_mode = 0777;
  EXPECT_EQ(-1, dm_set_fileattr(sid_, h.hanp, h.hlen, token, DM_AT_MODE | DM_AT_CTIME, &attr));
  EXPECT_EQ(EINVAL, errno);
  ASSERT_EQ(0, stat(path("f").c_str(), &real));
  EXPECT_EQ(0600u, real.st_mode & 07777);
}

INSTANTIATE_TEST_SUITE_P(Fs, Objects, ::testing::Values("tmpfs", "ext4"));
