// The one way this code opens a path that someone else may have prepared.
//
// The HSM commands and the server's administration tool run as root in
// directories that users write, and many of the paths they work on come from
// the server or from a user's tree. A path handed whole to open() or stat()
// follows whatever links a user planted in it, and an open of a FIFO or a
// device planted at a file's name blocks or reads what it should not. So:
// - names beneath a directory are resolved by the kernel beneath a directory
//   descriptor (RESOLVE_BENEATH), refusing any symbolic or magic link on the
//   way (RESOLVE_NO_SYMLINKS, RESOLVE_NO_MAGICLINKS) and any step onto
//   another mount, bind mounts of the same file system included
//   (RESOLVE_NO_XDEV);
// - configuration, option, state, control and log files are opened without
//   blocking and handed out only when they are regular files;
// - an alias from the server is used only when it names an entry beneath the
//   mount point outside the HSM's control directory.
//
// Contract
// - Functions returning int return a descriptor (or 0) on success and -1
//   with errno set on failure: ELOOP for a link on the way (or at the name
//   where links are not followed), EXDEV for a mount crossing or an escape,
//   EINVAL for a path that is not acceptable here or for a file that is not
//   of an accepted kind (no descriptor stays open then), else the errno of
//   the failing system call. EAGAIN from a concurrent rename is retried.
// - Returned descriptors (and FILEs) are close-on-exec and owned by the
//   caller; those of the regular-file calls are in blocking mode again for
//   the reads and writes that follow.
// - Thread-safe, no state kept, no allocation except a returned FILE.
#ifndef KMR_COMMON_SAFEPATH_H
#define KMR_COMMON_SAFEPATH_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

#include "common/uniquefd.h"

// --- Names beneath a directory -------------------------------------------

// Opens `relPath` (relative, not empty; "." for the directory itself)
// beneath `dirFd` with `flags` (O_CLOEXEC is added) and `mode` for a create.
int safeOpenBeneath(int dirFd, const char* relPath, int flags, mode_t mode = 0);

// safeOpenBeneath that accepts only a regular file: O_NOFOLLOW and
// O_NONBLOCK are added, a FIFO without a reader or anything not regular
// gives EINVAL.
int safeOpenRegularBeneath(int dirFd, const char* relPath, int flags, mode_t mode = 0);
// safeOpenRegularBeneath without a create, which also fills `*st` with the
// opened file's status (the one its kind was judged by), so that a caller
// who needs it asks the kernel once.
int safeOpenRegularBeneathStat(int dirFd, const char* relPath, int flags, struct stat* st);

// Opens the mount point itself as an O_PATH directory. The mount point is
// the administrator's name of the file system, not a user's, and is opened
// as named.
int safeOpenMountRoot(const std::string& mountPoint);

// --- Aliases from the server ----------------------------------------------

// True when `below` names an entry beneath a mount point: it begins with
// "/", is not "/" alone, and has no empty, "." or ".." component.
bool safeIsPathBelow(const std::string& below);

// True when `below` names the HSM's control directory "/.Tarnveld" of a
// mount point or anything beneath it.
bool safeIsInControlDir(const std::string& below);

// The directory of an entry beneath a mount point and the entry's name.
struct SafeParent {
  UniqueFd dir;       // O_PATH descriptor of the directory
  std::string leaf;   // the last component of the path
};

// Resolves the directory part of `below` (see safeIsPathBelow; EINVAL
// otherwise) beneath `mountPoint` and fills `out`.
int safeOpenParent(const std::string& mountPoint, const std::string& below, SafeParent* out);

// --- Files named by a whole path ------------------------------------------

enum class LinkPolicy { kNoFollow, kFollowLinks };

// Resolves `name` beneath the directory `dir` (leading "/" of `name` is
// ignored) without following any symbolic link, not at `dir`'s last
// component either (ENOTDIR there), and accepts only a regular file: for files in
// directories that users can write to.
int clOpenRegularBeneath(const std::string& dir, const std::string& name, int flags, mode_t mode);
// Opens one path as a regular file; with kNoFollow a symbolic link at the
// last component is refused (ELOOP), with kFollowLinks an administrator's
// link (for example to a shared option file) is followed.
int clOpenRegular(const char* path, int flags, mode_t mode, LinkPolicy links);
// clOpenRegular for the fopen modes "r", "r+", "w", "w+", "a", "a+".
FILE* clFopenRegular(const char* path, const char* mode, LinkPolicy links);
// The whole content of a regular file (clOpenRegular for reading). False
// with errno set when it can't be opened or read.
bool clReadRegularFile(const char* path, LinkPolicy links, std::string* content);
// An output stream that may also be a pipe or a character device (a trace
// read by another program, or sent to /dev/null): a symbolic link at the
// name is refused (ELOOP); a regular file, a FIFO or a character device is
// accepted, anything else gives EINVAL. Opening a FIFO waits for its
// reader, as a pipe's writer does. Users cannot make device nodes, so a
// device at the name is the administrator's.
FILE* clFopenStreamNoFollow(const char* path, const char* mode);

#endif
