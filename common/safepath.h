// Opening files beneath a directory without following any symbolic link and
// without crossing into another mount.
//
// The HSM commands run as root in directories that users write, and many of
// the paths they work on come from the server or from a user's tree. A path
// handed whole to open() or stat() follows whatever links a user planted in
// it, so every such path goes through these calls: the kernel resolves it
// beneath a directory descriptor (RESOLVE_BENEATH), refuses any symbolic or
// magic link on the way (RESOLVE_NO_SYMLINKS, RESOLVE_NO_MAGICLINKS) and any
// step onto another mount, bind mounts of the same file system included
// (RESOLVE_NO_XDEV).
//
// Contract
// - Functions return a descriptor or 0 on success and -1 with errno set on
//   failure: ELOOP for a link on the way, EXDEV for a mount crossing or an
//   escape, EINVAL for a path that is not acceptable here, else the errno of
//   the failing system call. EAGAIN from a concurrent rename is retried.
// - Returned descriptors are O_CLOEXEC and owned by the caller.
// - Thread-safe: no state is kept.
#ifndef KMR_COMMON_SAFEPATH_H
#define KMR_COMMON_SAFEPATH_H

#include <sys/types.h>

#include <string>

#include "common/uniquefd.h"

// Opens `relPath` (relative, not empty; "." for the directory itself)
// beneath `dirFd` with `flags` (O_CLOEXEC is added) and `mode` for a create.
int safeOpenBeneath(int dirFd, const char* relPath, int flags, mode_t mode = 0);

// Opens the mount point itself as an O_PATH directory. The mount point is
// the administrator's name of the file system, not a user's, and is opened
// as named.
int safeOpenMountRoot(const std::string& mountPoint);

// True when `below` names an entry beneath a mount point: it begins with
// "/", is not "/" alone, and has no empty, "." or ".." component.
bool safeIsPathBelow(const std::string& below);

// The directory of an entry beneath a mount point and the entry's name.
struct SafeParent {
  UniqueFd dir;       // O_PATH descriptor of the directory
  std::string leaf;   // the last component of the path
};

// Resolves the directory part of `below` (see safeIsPathBelow; EINVAL
// otherwise) beneath `mountPoint` and fills `out`.
int safeOpenParent(const std::string& mountPoint, const std::string& below, SafeParent* out);

#endif
