// Work on objects named by handle: DMAPI attributes, managed regions, event
// lists, holes, invisible data access and file attributes.
//
// Everything a DMAPI application stores on an object is an extended
// attribute in the trusted namespace (root only, invisible to users), so it
// travels with the file and outlives the process.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "xdsm_internal.h"

namespace xdsm {

XattrName xattrNameOf(const dm_attrname_t* name) {
  static_assert(sizeof(XattrName::text) >= sizeof("trusted.dmapi.") + DM_ATTR_NAME_SIZE);
  XattrName out;
  if (!name || name->an_chars[0] == 0) return out;
  const size_t prefix = strlen(kAttrPrefix);
  memcpy(out.text, kAttrPrefix, prefix);
  size_t i = 0;
  for (; i < DM_ATTR_NAME_SIZE && name->an_chars[i]; ++i) {
    unsigned char c = name->an_chars[i];
    if (c <= 0x20 || c >= 0x7f) return XattrName{};
    out.text[prefix + i] = static_cast<char>(c);
  }
  out.text[prefix + i] = '\0';
  return out;
}

}  // namespace xdsm

using namespace xdsm;

namespace {

// Opens the object after checking session, token and right in one step.
int openChecked(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_right_t needed,
                bool writable, ObjectFd* fd) {
  return openCheckedObject(sid, hanp, hlen, token, needed, writable, fd);
}

// A regular file (EINVAL otherwise). `current`: the call needs its size,
// times or link count as they are now, not only its type and block size.
int openRegularFile(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_right_t needed,
                    bool writable, bool current, ObjectFd* fd, struct statx* stx) {
  if (openChecked(sid, hanp, hlen, token, needed, writable, fd) != 0) return -1;
  if (!S_ISREG(fd->stat().stx_mode)) return fail(EINVAL);
  if (current && fd->refresh() != 0) return -1;
  *stx = fd->stat();
  return 0;
}

// Reads a whole extended attribute. 0 and the value, or -1 with errno
// (ENOENT when the attribute does not exist).
int readXattr(int fd, const char* name, std::string* value) {
  // Most values are small: one call reads them.
  char small[256];
  const ssize_t first = fgetxattr(fd, name, small, sizeof small);
  if (first >= 0) {
    value->assign(small, static_cast<size_t>(first));
    return 0;
  }
  if (errno != ERANGE) return fail(errno == ENODATA ? ENOENT : errno);
  for (;;) {
    ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return fail(errno == ENODATA ? ENOENT : errno);
    value->resize(static_cast<size_t>(size));
    ssize_t got = fgetxattr(fd, name, value->data(), value->size());
    if (got >= 0) {
      value->resize(static_cast<size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return fail(errno == ENODATA ? ENOENT : errno);
  }
}

// Which of our attributes an object carries, from one listing.
struct AttrPresence {
  bool dmapiAttrs = false;
  bool regions = false;
  bool events = false;
};

AttrPresence attrPresence(int fd) {
  AttrPresence found;
  // One call into the stack for the usual short list; the size is asked
  // only when it is longer.
  char small[1024];
  std::vector<char> large;
  const char* names = small;
  ssize_t size = flistxattr(fd, small, sizeof small);
  if (size < 0 && errno == ERANGE) {
    size = flistxattr(fd, nullptr, 0);
    if (size <= 0) return found;
    large.resize(static_cast<size_t>(size));
    size = flistxattr(fd, large.data(), large.size());
    names = large.data();
  }
  const size_t prefixLen = strlen(kAttrPrefix);
  for (ssize_t i = 0; i < size;) {
    const char* name = names + i;
    if (strncmp(name, kAttrPrefix, prefixLen) == 0) found.dmapiAttrs = true;
    if (strcmp(name, kRegionAttr) == 0) found.regions = true;
    if (strcmp(name, kEventListAttr) == 0) found.events = true;
    i += static_cast<ssize_t>(strlen(name)) + 1;
  }
  return found;
}

struct SavedTimes {
  struct timespec times[2];
};

// The times as the call found them (statx taken when the object was opened
// for the call).
SavedTimes timesOf(const struct statx& stx) {
  SavedTimes saved;
  saved.times[0] = {static_cast<time_t>(stx.stx_atime.tv_sec), static_cast<long>(stx.stx_atime.tv_nsec)};
  saved.times[1] = {static_cast<time_t>(stx.stx_mtime.tv_sec), static_cast<long>(stx.stx_mtime.tv_nsec)};
  return saved;
}

int restoreTimes(int fd, const SavedTimes& saved) { return futimens(fd, saved.times); }

constexpr size_t kRegionRecord = 24;

// Writes count records to `out` (count * kRegionRecord bytes).
void encodeRegions(const dm_region_t* regions, unsigned count, char* out) {
  memset(out, 0, count * kRegionRecord);
  for (unsigned i = 0; i < count; ++i) {
    char* rec = out + i * kRegionRecord;
    uint32_t flags = regions[i].rg_flags;
    memcpy(rec, &regions[i].rg_offset, 8);
    memcpy(rec + 8, &regions[i].rg_size, 8);
    memcpy(rec + 16, &flags, 4);
  }
}

void decodeRegion(const char* rec, dm_region_t* region) {
  uint32_t flags;
  memcpy(&region->rg_offset, rec, 8);
  memcpy(&region->rg_size, rec + 8, 8);
  memcpy(&flags, rec + 16, 4);
  region->rg_flags = flags;
  region->rg_opaque = 0;
}

}  // namespace

extern "C" {

int dm_set_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                  dm_attrname_t* attrnamep, int /*setdtime*/, size_t buflen, void* bufp) {
  const XattrName name = xattrNameOf(attrnamep);
  if (name.empty()) return fail(EINVAL);
  if (buflen > DM_MAX_ATTR_VALUE) return fail(E2BIG);
  if (buflen && !bufp) return fail(EFAULT);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_EXCL, false, &fd) != 0) return -1;
  return fsetxattr(fd.get(), name.c_str(), bufp, buflen, 0) == 0 ? 0 : -1;
}

int dm_get_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                  dm_attrname_t* attrnamep, size_t buflen, void* bufp, size_t* rlenp) {
  const XattrName name = xattrNameOf(attrnamep);
  if (name.empty()) return fail(EINVAL);
  if (!rlenp || (buflen && !bufp)) return fail(EFAULT);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, &fd) != 0) return -1;
  std::string value;
  if (readXattr(fd.get(), name.c_str(), &value) != 0) return -1;
  *rlenp = value.size();
  if (buflen < value.size()) return fail(E2BIG);
  if (!value.empty()) memcpy(bufp, value.data(), value.size());
  return 0;
}

int dm_remove_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, int /*setdtime*/,
                     dm_attrname_t* attrnamep) {
  const XattrName name = xattrNameOf(attrnamep);
  if (name.empty()) return fail(EINVAL);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_EXCL, false, &fd) != 0) return -1;
  if (fremovexattr(fd.get(), name.c_str()) != 0) return fail(errno == ENODATA ? ENOENT : errno);
  return 0;
}

int dm_getall_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, size_t buflen,
                     void* bufp, size_t* rlenp) {
  if (!rlenp || (buflen && !bufp)) return fail(EFAULT);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, &fd) != 0) return -1;
  ssize_t size = flistxattr(fd.get(), nullptr, 0);
  if (size < 0) return -1;
  std::vector<char> names(static_cast<size_t>(size) + 1, '\0');
  size = flistxattr(fd.get(), names.data(), names.size());
  if (size < 0) return -1;
  // Entries are 8-byte aligned: the header, then the value.
  std::string out;
  size_t lastEntry = SIZE_MAX;
  const size_t prefixLen = strlen(kAttrPrefix);
  for (ssize_t i = 0; i < size;) {
    std::string name(names.data() + i);
    i += static_cast<ssize_t>(name.size()) + 1;
    if (name.compare(0, prefixLen, kAttrPrefix) != 0) continue;
    std::string value;
    if (readXattr(fd.get(), name.c_str(), &value) != 0) {
      if (errno == ENOENT) continue;  // removed meanwhile
      return -1;
    }
    size_t entrySize = (sizeof(dm_attrlist_t) + value.size() + 7) & ~static_cast<size_t>(7);
    dm_attrlist_t entry;
    memset(&entry, 0, sizeof entry);
    std::string shortName = name.substr(prefixLen);
    memcpy(entry.al_name.an_chars, shortName.data(), shortName.size());
    entry.al_data.vd_offset = sizeof(dm_attrlist_t);
    entry.al_data.vd_length = static_cast<uint32_t>(value.size());
    if (lastEntry != SIZE_MAX) {
      int32_t step = static_cast<int32_t>(out.size() - lastEntry);
      memcpy(out.data() + lastEntry, &step, sizeof step);
    }
    lastEntry = out.size();
    out.append(reinterpret_cast<const char*>(&entry), sizeof entry);
    out.append(value);
    out.resize(lastEntry + entrySize, '\0');
  }
  *rlenp = out.size();
  if (buflen < out.size()) return fail(E2BIG);
  if (!out.empty()) memcpy(bufp, out.data(), out.size());
  return 0;
}

int dm_set_region(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int nelem,
                  dm_region_t* regbufp, dm_boolean_t* exactflagp) {
  if (nelem > DM_MAX_REGIONS) return fail(E2BIG);
  if (nelem && !regbufp) return fail(EFAULT);
  for (unsigned i = 0; i < nelem; ++i) {
    if (regbufp[i].rg_offset < 0) return fail(EINVAL);
    if (regbufp[i].rg_flags &
        ~static_cast<dm_regflags_t>(DM_REGION_READ | DM_REGION_WRITE | DM_REGION_TRUNCATE))
      return fail(EINVAL);
  }
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_EXCL, false, false, &fd, &stx) != 0) return -1;
  if (nelem == 0) {
    if (fremovexattr(fd.get(), kRegionAttr) != 0 && errno != ENODATA) return -1;
  } else {
    char value[DM_MAX_REGIONS * kRegionRecord];
    encodeRegions(regbufp, nelem, value);
    if (fsetxattr(fd.get(), kRegionAttr, value, nelem * kRegionRecord, 0) != 0) return -1;
  }
  // Regions are kept exactly as given: nothing is merged or rounded.
  if (exactflagp) *exactflagp = DM_TRUE;
  return 0;
}

int dm_get_region(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int nelem,
                  dm_region_t* regbufp, unsigned int* nelemp) {
  if (!nelemp || (nelem && !regbufp)) return fail(EFAULT);
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, false, &fd, &stx) != 0) return -1;
  std::string value;
  if (readXattr(fd.get(), kRegionAttr, &value) != 0) {
    if (errno != ENOENT) return -1;
    value.clear();
  }
  if (value.size() % kRegionRecord != 0) return fail(EIO);
  unsigned count = static_cast<unsigned>(value.size() / kRegionRecord);
  *nelemp = count;
  if (nelem < count) return fail(E2BIG);
  for (unsigned i = 0; i < count; ++i) decodeRegion(value.data() + i * kRegionRecord, &regbufp[i]);
  return 0;
}

int dm_set_eventlist(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                     dm_eventset_t* eventsetp, unsigned int maxevent) {
  if (!eventsetp) return fail(EFAULT);
  if (maxevent > DM_EVENT_MAX) return fail(EINVAL);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_EXCL, false, &fd) != 0) return -1;
  dm_eventset_t set = *eventsetp & ((static_cast<dm_eventset_t>(1) << maxevent) - 1);
  if (set == 0) {
    if (fremovexattr(fd.get(), kEventListAttr) != 0 && errno != ENODATA) return -1;
    return 0;
  }
  return fsetxattr(fd.get(), kEventListAttr, &set, sizeof set, 0) == 0 ? 0 : -1;
}

int dm_get_eventlist(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int nelem,
                     dm_eventset_t* eventsetp, unsigned int* nelemp) {
  if (!eventsetp || !nelemp) return fail(EFAULT);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, &fd) != 0) return -1;
  dm_eventset_t set = 0;
  std::string value;
  if (readXattr(fd.get(), kEventListAttr, &value) == 0) {
    if (value.size() != sizeof set) return fail(EIO);
    memcpy(&set, value.data(), sizeof set);
  } else if (errno != ENOENT) {
    return -1;
  }
  *nelemp = DM_EVENT_MAX;
  if (nelem < DM_EVENT_MAX) set &= (static_cast<dm_eventset_t>(1) << nelem) - 1;
  *eventsetp = set;
  return 0;
}

// The punchable part of [off, off+len): the start rounded up and an inner end
// rounded down to whole blocks; a range reaching the end of the file (or len
// 0) extends to the end, reported as rlen 0.
int dm_probe_hole(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t off,
                  dm_size_t len, dm_off_t* roffp, dm_size_t* rlenp) {
  if (!roffp || !rlenp) return fail(EFAULT);
  if (off < 0) return fail(EINVAL);
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, true, &fd, &stx) != 0) return -1;
  const uint64_t size = stx.stx_size;
  const uint64_t block = stx.stx_blksize ? stx.stx_blksize : 512;
  const uint64_t start = static_cast<uint64_t>(off);
  if (start > size) return fail(E2BIG);
  const uint64_t roff = (start + block - 1) / block * block;
  if (len == 0 || start + len >= size) {
    *roffp = static_cast<dm_off_t>(roff);
    *rlenp = 0;
    return 0;
  }
  const uint64_t end = (start + len) / block * block;
  if (end <= roff) return fail(EINVAL);  // no whole block inside the range
  *roffp = static_cast<dm_off_t>(roff);
  *rlenp = end - roff;
  return 0;
}

// Frees the blocks of the range, keeping the size. Like the other invisible
// operations it leaves access and modification times as they were. A whole
// file (0, 0) that holds no data has nothing to free: it is left untouched,
// times and all, after one look for data.
int dm_punch_hole(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t off,
                  dm_size_t len) {
  if (off < 0) return fail(EINVAL);
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_EXCL, true, false, &fd, &stx) != 0) return -1;
  if (off == 0 && len == 0) {
    if (lseek(fd.get(), 0, SEEK_DATA) < 0) return errno == ENXIO ? 0 : -1;
  }
  if (fd.refresh() != 0) return -1;
  stx = fd.stat();
  const uint64_t block = stx.stx_blksize ? stx.stx_blksize : 512;
  const uint64_t start = static_cast<uint64_t>(off);
  if (start % block != 0) return fail(EAGAIN);
  if (len != 0 && len % block != 0 && start + len < stx.stx_size) return fail(EAGAIN);
  if (start > stx.stx_size) return fail(E2BIG);
  // To the end of the file means to the end of its last block: a partial
  // block at the end would only be zeroed, not freed.
  const uint64_t end = (stx.stx_size + block - 1) / block * block;
  uint64_t length = len == 0 ? (end > start ? end - start : 0) : len;
  if (length == 0) return 0;
  const SavedTimes saved = timesOf(stx);
  if (fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off,
                static_cast<off_t>(length)) != 0)
    return -1;
  return restoreTimes(fd.get(), saved);
}

int dm_get_allocinfo(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t* offp,
                     unsigned int nelem, dm_extent_t* extentp, unsigned int* nelemp) {
  if (!offp || !extentp || !nelemp) return fail(EFAULT);
  if (nelem == 0 || *offp < 0) return fail(EINVAL);
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, true, &fd, &stx) != 0) return -1;
  const off_t size = static_cast<off_t>(stx.stx_size);
  off_t pos = *offp;
  unsigned count = 0;
  while (pos < size && count < nelem) {
    off_t data = lseek(fd.get(), pos, SEEK_DATA);
    if (data < 0 && errno != ENXIO) return -1;
    if (data < 0) data = size;
    dm_extent_t& ex = extentp[count++];
    ex.ex_pad = 0;
    ex.ex_offset = pos;
    if (data > pos) {
      ex.ex_type = DM_EXTENT_HOLE;
      ex.ex_length = static_cast<dm_size_t>(data - pos);
      pos = data;
    } else {
      off_t hole = lseek(fd.get(), pos, SEEK_HOLE);
      if (hole < 0) return -1;
      ex.ex_type = DM_EXTENT_RES;
      ex.ex_length = static_cast<dm_size_t>(hole - pos);
      pos = hole;
    }
  }
  *nelemp = count;
  *offp = pos < size ? pos : 0;  // 0: the whole file has been described
  return 0;
}

dm_ssize_t dm_read_invis(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t off,
                         dm_size_t len, void* bufp) {
  if (off < 0) return fail(EINVAL);
  if (len && !bufp) return fail(EFAULT);
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, false, &fd, &stx) != 0) return -1;
  // O_NOATIME on the descriptor keeps the access time.
  ssize_t n = pread(fd.get(), bufp, len, off);
  return n < 0 ? -1 : n;
}

dm_ssize_t dm_write_invis(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, int flags,
                          dm_off_t off, dm_size_t len, void* bufp) {
  if (off < 0) return fail(EINVAL);
  if (len && !bufp) return fail(EFAULT);
  ObjectFd fd;
  struct statx stx;
  if (openRegularFile(sid, hanp, hlen, token, DM_RIGHT_EXCL, true, true, &fd, &stx) != 0) return -1;
  const SavedTimes saved = timesOf(stx);
  ssize_t n = pwrite(fd.get(), bufp, len, off);
  if (n < 0) return -1;
  if ((flags & DM_WRITE_SYNC) && fdatasync(fd.get()) != 0) return -1;
  // The kernel moves mtime on every write; put it back so the write stays
  // invisible. ctime cannot be set from user space and does move.
  if (restoreTimes(fd.get(), saved) != 0) return -1;
  return n;
}

int dm_sync_by_handle(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token) {
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_EXCL, false, &fd) != 0) return -1;
  return fsync(fd.get());
}

int dm_get_fileattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                    dm_stat_t* statp) {
  const unsigned known = DM_AT_EMASK | DM_AT_PMANR | DM_AT_PATTR | DM_AT_HANDLE | DM_AT_STAT |
                         DM_AT_CFLAG | DM_AT_DTIME;
  if (mask & ~known) return fail(EINVAL);
  if (!statp) return fail(EFAULT);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_SHARED, false, &fd) != 0 || fd.refresh() != 0) return -1;
  const struct statx& stx = fd.stat();
  memset(statp, 0, sizeof *statp);
  statp->dt_dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  statp->dt_ino = stx.stx_ino;
  statp->dt_mode = stx.stx_mode;
  statp->dt_nlink = stx.stx_nlink;
  statp->dt_uid = stx.stx_uid;
  statp->dt_gid = stx.stx_gid;
  statp->dt_rdev = makedev(stx.stx_rdev_major, stx.stx_rdev_minor);
  statp->dt_size = static_cast<dm_off_t>(stx.stx_size);
  statp->dt_atime = stx.stx_atime.tv_sec;
  statp->dt_mtime = stx.stx_mtime.tv_sec;
  statp->dt_ctime = stx.stx_ctime.tv_sec;
  statp->dt_dtime = stx.stx_ctime.tv_sec;  // no separate attribute change time on Linux
  statp->dt_blksize = stx.stx_blksize;
  statp->dt_blocks = stx.stx_blocks;
  statp->dt_nevents = DM_EVENT_MAX;
  // What our attributes say is looked up only when the mask asks for it:
  // the stat fields alone cost no listing.
  if (!(mask & (DM_AT_PATTR | DM_AT_PMANR | DM_AT_EMASK))) return 0;
  AttrPresence present = attrPresence(fd.get());
  if (mask & DM_AT_PATTR) statp->dt_pers = present.dmapiAttrs ? 1 : 0;
  if (mask & DM_AT_PMANR) statp->dt_pmanreg = present.regions ? 1 : 0;
  std::string events;  // read only when listed: most objects have no event list
  if ((mask & DM_AT_EMASK) && present.events && readXattr(fd.get(), kEventListAttr, &events) == 0 &&
      events.size() == sizeof(dm_eventset_t))
    memcpy(&statp->dt_emask, events.data(), sizeof(dm_eventset_t));
  return 0;
}

int dm_set_fileattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                    dm_fileattr_t* attrp) {
  const unsigned settable =
      DM_AT_ATIME | DM_AT_MTIME | DM_AT_UID | DM_AT_GID | DM_AT_MODE | DM_AT_SIZE;
  // The kernel keeps ctime itself; a request to set it is refused rather
  // than dropped.
  if (mask & ~settable) return fail(EINVAL);
  if (!attrp) return fail(EFAULT);
  ObjectFd fd;
  if (openChecked(sid, hanp, hlen, token, DM_RIGHT_EXCL, (mask & DM_AT_SIZE) != 0, &fd) != 0)
    return -1;
  if (mask & (DM_AT_UID | DM_AT_GID)) {
    uid_t uid = (mask & DM_AT_UID) ? attrp->fa_uid : static_cast<uid_t>(-1);
    gid_t gid = (mask & DM_AT_GID) ? attrp->fa_gid : static_cast<gid_t>(-1);
    if (fchown(fd.get(), uid, gid) != 0) return -1;
  }
  if ((mask & DM_AT_MODE) && fchmod(fd.get(), attrp->fa_mode & 07777) != 0) return -1;
  if ((mask & DM_AT_SIZE) && ftruncate(fd.get(), attrp->fa_size) != 0) return -1;
  if (mask & (DM_AT_ATIME | DM_AT_MTIME)) {
    struct timespec times[2];
    times[0].tv_sec = attrp->fa_atime;
    times[0].tv_nsec = (mask & DM_AT_ATIME) ? 0 : UTIME_OMIT;
    times[1].tv_sec = attrp->fa_mtime;
    times[1].tv_nsec = (mask & DM_AT_MTIME) ? 0 : UTIME_OMIT;
    if (futimens(fd.get(), times) != 0) return -1;
  }
  return 0;
}

// Directory scans, inheritance and creation by handle have no counterpart
// here yet.
int dm_init_attrloc(dm_sessid_t, void*, size_t, dm_token_t, dm_attrloc_t*) { return fail(ENOSYS); }
int dm_get_bulkattr(dm_sessid_t, void*, size_t, dm_token_t, unsigned int, dm_attrloc_t*, size_t,
                    void*, size_t*) {
  return fail(ENOSYS);
}
int dm_get_dirattrs(dm_sessid_t, void*, size_t, dm_token_t, unsigned int, dm_attrloc_t*, size_t,
                    void*, size_t*) {
  return fail(ENOSYS);
}
int dm_get_bulkall(dm_sessid_t, void*, size_t, dm_token_t, unsigned int, dm_attrname_t*,
                   dm_attrloc_t*, size_t, void*, size_t*) {
  return fail(ENOSYS);
}
int dm_set_inherit(dm_sessid_t, void*, size_t, dm_token_t, dm_attrname_t*, mode_t) {
  return fail(ENOSYS);
}
int dm_clear_inherit(dm_sessid_t, void*, size_t, dm_token_t, dm_attrname_t*) {
  return fail(ENOSYS);
}
int dm_getall_inherit(dm_sessid_t, void*, size_t, dm_token_t, unsigned int, dm_inherit_t*,
                      unsigned int*) {
  return fail(ENOSYS);
}
int dm_create_by_handle(dm_sessid_t, void*, size_t, dm_token_t, void*, size_t, char*) {
  return fail(ENOSYS);
}
int dm_mkdir_by_handle(dm_sessid_t, void*, size_t, dm_token_t, void*, size_t, char*) {
  return fail(ENOSYS);
}
int dm_symlink_by_handle(dm_sessid_t, void*, size_t, dm_token_t, void*, size_t, char*, char*) {
  return fail(ENOSYS);
}

}  // extern "C"
