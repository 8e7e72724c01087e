// The daemon's one door to the kernel's fanotify interface.
//
// This machine's C library headers predate the pre-content events (Linux
// 6.14), so the few values the daemon needs beyond them are defined here,
// with the numbers of the kernel's uapi header include/uapi/linux/fanotify.h.
// Everything else of the daemon speaks through the wrappers below and never
// includes <sys/fanotify.h> itself.
//
// Contract
// - Wrappers return 0 on success and an errno value on failure (never -1).
// - Any thread may call them; the kernel serialises what it must.
#ifndef KMR_RECALL_FANOTIFY_SEAM_H
#define KMR_RECALL_FANOTIFY_SEAM_H

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace fan {

// uapi values (Linux 6.14): the class of a group that may see an access
// before the data is read, the event itself, the range record it carries and
// the deny answer with an errno in its top byte.
inline constexpr unsigned kClassPreContent = 0x00000008;  // FAN_CLASS_PRE_CONTENT
inline constexpr uint64_t kPreAccess = 0x00100000;        // FAN_PRE_ACCESS
inline constexpr uint8_t kInfoRange = 6;                  // FAN_EVENT_INFO_TYPE_RANGE
inline constexpr uint32_t denyErrno(int err) {            // FAN_DENY_ERRNO(err)
  return FAN_DENY | ((static_cast<uint32_t>(err) & 0xFF) << 24);
}

// What the access group asks for on a whole file system: reads, writes,
// truncates and mappings of data (pre-access), execution (its open comes
// before the kernel forbids writing to the program), and the writes that end
// a premigrated file's copy on the server.
inline constexpr uint64_t kAccessMask = kPreAccess | FAN_OPEN_EXEC_PERM | FAN_MODIFY | FAN_CLOSE_WRITE;
// What a resident file is excused from, and what a premigrated one is.
inline constexpr uint64_t kResidentIgnore = kAccessMask;
inline constexpr uint64_t kPremigratedIgnore = kPreAccess | FAN_OPEN_EXEC_PERM;

// A group for access events. Event descriptors are opened read-write, so the
// daemon writes the recalled data through them (such writes raise no event).
inline int initAccessGroup(int* fdOut) {
  int fd = fanotify_init(kClassPreContent | FAN_CLOEXEC | FAN_UNLIMITED_QUEUE | FAN_UNLIMITED_MARKS,
                         O_RDWR | O_LARGEFILE | O_CLOEXEC);
  if (fd < 0) return errno;
  *fdOut = fd;
  return 0;
}

// What the attribute group asks for: attribute changes (how the daemon
// learns that a file it had excused may have become a stub) and writes,
// including those made by name (truncate), which the access group's
// descriptor-based reports never carry.
inline constexpr uint64_t kAttribMask = FAN_ATTRIB | FAN_MODIFY;

// A group that reports by file handle.
inline int initAttribGroup(int* fdOut) {
  int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_FID | FAN_UNLIMITED_QUEUE,
                         O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  *fdOut = fd;
  return 0;
}

// Marks the whole file system mounted at `path`. A file system without
// pre-content support (tmpfs) answers EOPNOTSUPP.
inline int markFileSystem(int group, const char* path, uint64_t mask) {
  return fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD, path) == 0 ? 0 : errno;
}
inline int unmarkFileSystem(int group, const char* path, uint64_t mask) {
  return fanotify_mark(group, FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, mask, AT_FDCWD, path) == 0 ? 0 : errno;
}

// Excuses the file open at `fd` from `mask`. The kernel honours an ignore
// mark for pre-content events only when it survives modification, so the
// daemon drops it itself when the file's attributes change (dropIgnore).
// The mark is evictable: it does not keep the inode in memory.
inline int addIgnore(int group, int fd, uint64_t mask) {
  return fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_IGNORED_SURV_MODIFY | FAN_MARK_EVICTABLE,
                       mask, fd, nullptr) == 0
             ? 0
             : errno;
}
inline int dropIgnore(int group, int fd, uint64_t mask) {
  return fanotify_mark(group, FAN_MARK_REMOVE | FAN_MARK_IGNORE, mask, fd, nullptr) == 0 ? 0 : errno;
}

// Answers a permission event: FAN_ALLOW, or denyErrno(err).
inline int respond(int group, int eventFd, uint32_t answer) {
  struct fanotify_response r {};
  r.fd = eventFd;
  r.response = answer;
  return write(group, &r, sizeof r) == static_cast<ssize_t>(sizeof r) ? 0 : errno;
}

inline bool isPermission(uint64_t mask) { return (mask & (kPreAccess | FAN_OPEN_EXEC_PERM)) != 0; }

// Calls fn(const fanotify_event_metadata*) for each whole event among the
// `len` bytes read from a group into `buf`, each copied to aligned storage
// first: an event with a file handle is padded to 4 bytes only, so the one
// after it may lie misaligned in the buffer. A torn or oversized event ends
// the walk.
template <typename Fn>
void forEachEvent(const char* buf, ssize_t len, Fn fn) {
  alignas(fanotify_event_metadata) char one[512];
  for (ssize_t at = 0; len - at >= static_cast<ssize_t>(sizeof(fanotify_event_metadata));) {
    fanotify_event_metadata m;
    memcpy(&m, buf + at, sizeof m);
    if (m.event_len < sizeof m || m.event_len > sizeof one || m.event_len > len - at) return;
    memcpy(one, buf + at, m.event_len);
    fn(reinterpret_cast<const fanotify_event_metadata*>(one));
    at += m.event_len;
  }
}

// The file handle of an attribute event (FAN_REPORT_FID), or null.
inline const struct file_handle* fidHandle(const struct fanotify_event_metadata* m) {
  const char* p = reinterpret_cast<const char*>(m) + m->metadata_len;
  const char* end = reinterpret_cast<const char*>(m) + m->event_len;
  while (p + sizeof(fanotify_event_info_header) <= end) {
    auto* h = reinterpret_cast<const fanotify_event_info_header*>(p);
    if (h->len == 0) return nullptr;
    if (h->info_type == FAN_EVENT_INFO_TYPE_FID)
      return reinterpret_cast<const struct file_handle*>(p + sizeof(fanotify_event_info_fid));
    p += h->len;
  }
  return nullptr;
}

}  // namespace fan

#endif
