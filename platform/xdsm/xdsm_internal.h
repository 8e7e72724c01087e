// Pieces shared by the parts of the DMAPI library; not for applications.
//
// Handle layout (all handles are at most 32 bytes):
//   byte 0      kind: kFsHandleKind or kFileHandleKind
//   bytes 1-8   file system id: the device number of the mounted file system
//               (machine byte order)
//   file handles only:
//   byte 9      the kernel's file handle type (name_to_handle_at)
//   byte 10     n, the length of the kernel's handle bytes (1..21)
//   bytes 11..  the kernel's handle bytes
// The kernel's handle carries inode number and generation, so a file made
// anew at the same path gets a new handle.
#ifndef KMR_PLATFORM_XDSM_INTERNAL_H
#define KMR_PLATFORM_XDSM_INTERNAL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "dmapi.h"

namespace xdsm {

// Owns one descriptor and closes it, keeping errno, on every path out: a
// reduced copy of common/uniquefd.h, as this library depends on nothing of ours.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept { return reset(other.release()), *this; }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    const int saved = errno;
    if (fd_ >= 0) ::close(fd_);
    errno = saved;
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

constexpr unsigned char kFsHandleKind = 0xD5;
constexpr unsigned char kFileHandleKind = 0xD6;
constexpr size_t kFsHandleLen = 9;
constexpr size_t kFileHandleHeader = 11;
constexpr size_t kMaxKernelHandle = DM_MAX_HANDLE_SIZE - kFileHandleHeader;

struct DecodedHandle {
  bool isFs = false;
  uint64_t fsid = 0;
  unsigned char fhType = 0;
  unsigned char fhLen = 0;
  const unsigned char* fh = nullptr;  // points into the caller's handle
};

// True and *out filled when the bytes are a well-formed handle of ours.
bool decodeHandle(const void* hanp, size_t hlen, DecodedHandle* out);
// Allocates a handle with malloc. 0, or -1 with errno (ENOMEM, EINVAL).
int makeFsHandle(uint64_t fsid, void** hanpp, size_t* hlenp);
int makeFileHandle(uint64_t fsid, int fhType, const unsigned char* fh, size_t fhLen, void** hanpp,
                   size_t* hlenp);

// Mount table by file system id, read from /proc/self/mountinfo and read
// again when an id is not found or its mount point no longer matches.
// Returns 0 and the mount point with its file system type, or -1 with errno
// ESTALE when no mount of that file system is visible to the process.
int findMount(uint64_t fsid, std::string* mountPoint, std::string* fsType);
// Opens the mount point of fsid as a read-only directory.
int openMountDir(uint64_t fsid, UniqueFd* out);

// Opens the object that a file handle names below an open directory of its
// file system (open_by_handle_at; O_CLOEXEC and O_NOFOLLOW are added).
int openByHandleAt(int mountFd, const DecodedHandle& h, int flags, UniqueFd* out);
// Opens the object for attribute and data work below an open directory of
// its file system: a regular file read/write when writable is set,
// everything else read-only, always without touching the access time. Only
// regular files and directories (EINVAL otherwise); the type is looked at
// through an O_PATH descriptor before anything else is opened, so no device
// or pipe is ever opened for real. *stx gets the object's status as seen
// just before the descriptor was opened.
int openForWorkAt(int mountFd, const DecodedHandle& h, bool writable, UniqueFd* out, struct statx* stx);

// Opens the object that a handle names: a file handle through
// open_by_handle_at, a file system handle as its mount root. flags are open
// flags (O_CLOEXEC and O_NOFOLLOW are added). 0, or -1 with errno (EINVAL for
// a malformed handle, ESTALE for a removed object).
int openObject(const void* hanp, size_t hlen, int flags, UniqueFd* out);
// Opens the object for attribute and data work: regular files read/write
// when writable is set, everything else read-only, always without touching
// the access time.
int openForWork(const void* hanp, size_t hlen, bool writable, UniqueFd* out);

// Checks that sid is a session of this process and that token (unless it is
// DM_NO_TOKEN) belongs to it and holds at least `needed` on the object.
// 0, or -1 with errno EINVAL (unknown session, bad handle), ESRCH (token not
// of this session) or EACCES (right missing).
int checkAccess(dm_sessid_t sid, const void* hanp, size_t hlen, dm_token_t token,
                dm_right_t needed);
// Checks only that sid names a live session (EINVAL otherwise).
int checkSession(dm_sessid_t sid);

// A descriptor of an object for one call's work. It is the descriptor the
// token keeps (its own, or the caller's it borrowed), or one opened for
// this call alone; either way it stays open while this value lives (a
// borrowed one as long as the caller keeps its promise).
//
// stat() always holds the object's type and block size, which do not
// change while it is open. Size, times and link count in it are current
// only after refresh(): a token's first call gets the status taken when
// the object was opened or taken, later calls look again when they need it.
class ObjectFd {
 public:
  int get() const { return fd_; }
  const struct statx& stat() const { return stx_; }
  // The object's current status into stat(). 0, or -1 with errno.
  int refresh();

 private:
  friend int openCheckedObject(dm_sessid_t, const void*, size_t, dm_token_t, dm_right_t, bool, ObjectFd*);
  std::shared_ptr<UniqueFd> owned_;  // null for a borrowed descriptor
  int fd_ = -1;
  bool current_ = false;
  struct statx stx_ {};
};

// checkAccess, then a descriptor of the object for attribute and data work
// (see openForWorkAt). A token opens each object once, keyed by the
// handle's bytes, and keeps it open until the token is answered; later
// calls with the token reuse it (a read-only one is replaced when a call
// needs to write). The mount point of each file system is opened once per
// session and kept until the session is destroyed.
//
// Validity is proved once per token: an object removed before the token
// opens it fails with ESTALE, as opening its handle anew would; once the
// token holds it, the token's calls act on that open object as any
// descriptor does, removed meanwhile or not. Calls without a token open
// the object each time and so fail with ESTALE whenever it is gone.
// 0, or -1 with errno (those of checkAccess, EINVAL for other object types,
// ESTALE for a removed object).
int openCheckedObject(dm_sessid_t sid, const void* hanp, size_t hlen, dm_token_t token, dm_right_t needed,
                      bool writable, ObjectFd* out);
// The token borrows the caller's descriptor `fd` as its object for the
// handle (see dmx_fd_to_handle_for_token): nothing is duplicated, and the
// caller keeps it open until the token is answered. `stx` is the object's
// status, taken through `fd` a moment ago. 0, or -1 with errno (EINVAL for
// a bad session, DM_NO_TOKEN or another object type, ESRCH for a token
// not of the session).
int keepCallersObject(dm_sessid_t sid, dm_token_t token, const void* hanp, size_t hlen, int fd,
                      const struct statx& stx);

// Names of the extended attributes that carry DMAPI state on an object.
constexpr const char* kAttrPrefix = "trusted.dmapi.";
constexpr const char* kRegionAttr = "trusted.xdsm.regions";
constexpr const char* kEventListAttr = "trusted.xdsm.events";

// The extended attribute name of a DMAPI attribute name (kept in place, no
// allocation); empty when the name is empty or holds a byte that an
// attribute name cannot carry.
struct XattrName {
  char text[32] = "";  // the prefix (14) and at most DM_ATTR_NAME_SIZE bytes
  bool empty() const { return text[0] == '\0'; }
  const char* c_str() const { return text; }
};
XattrName xattrNameOf(const dm_attrname_t* name);

inline int fail(int err) {
  errno = err;
  return -1;
}

}  // namespace xdsm

#endif
