// Lock files of the HSM control directories and the space-reserve files.
//
// A lock file is a regular file (mode 0644, owned by the control-file owner
// "bin") locked with a POSIX record lock over the whole file. While a process
// holds it exclusively the file holds that process's id as "%d\n". The file
// is never removed; the lock vanishes with the descriptor or the process.
//
// Contract
// - Lock primitives return 0 (taken), 1 (held by another process;
//   DFPS_RC_LOCKED, 145, in the DFpsFile variant) or a negative value with
//   errno set (system error, also logged as message 9399 with the failing
//   call's name).
// - serVerifyDirectory ends the process with clExit(-1) after message 9399 when
//   the directory of a lock file is missing: such a node is misconfigured and
//   no HSM program may go on there.
// - Any thread may call; descriptors returned belong to the caller.
#ifndef KMR_HSMFS_LOCKS_H
#define KMR_HSMFS_LOCKS_H

#include <sys/types.h>

#include <string>

#include "common/rc.h"
#include "common/uniquefd.h"

// fcntl commands as our callers pass them (the 64-bit "set lock" forms).
inline constexpr int SER_SETLK = 13;   // set the lock without waiting
inline constexpr int SER_SETLKW = 14;  // set the lock, waiting for it
// Lock types of the descriptor form.
inline constexpr int SER_LOCK_SHARED = 0;
inline constexpr int SER_LOCK_EXCL = 1;

// Owner of every HSM control file: user and group "bin", looked up once;
// 0 when the name does not exist on this node.
uid_t ctlFileOwnerUid();
gid_t ctlFileOwnerGid();
// Gives `fd` to the control-file owner with mode `mode`. 0 or -1 (errno).
int ctlFileGiveToOwner(int fd, mode_t mode);

// Opens the control file `name` (leading '/' ignored; may hold further
// directories) beneath `dir`, for `flags` (O_CREAT uses `mode`). The last
// component of `dir` and every component of `name` must not be a symbolic
// link (ELOOP), the open never blocks on a FIFO, and anything but a regular
// file is refused (EINVAL). The descriptor is close-on-exec and belongs to
// the caller; -1 with errno on failure.
int openCtlFile(const std::string& dir, const std::string& name, int flags, mode_t mode);

// Writes `fs` followed by "/.Tarnveld" into `buffer` and returns it. The
// buffer must hold strlen(fs) + 11 bytes.
char* kmrFSNameToTarnveldDir(const char* fs, char* buffer);
std::string tarnveldDir(const std::string& fs);

// Returns when `path` is a regular file or its directory part is a directory;
// else logs 9399 and ends the process with clExit(-1).
void serVerifyDirectory(const char* path);

// One fcntl(fd, cmd, lock) over [0, length) (length 0 = to the end). `cmd`
// is SER_SETLK, SER_SETLKW or a native F_ command; `type` 0 shared, 1
// exclusive, 2 unlock. Returns the fcntl result.
int serLockf(int fd, int cmd, int type, off_t length);

// Opens (creating when asked) `dir` + `name` and locks it. See the header
// comment for results. *fd is -1 unless 0 is returned.
int serOpenAndLockFile(const char* dir, const char* name, int cmd, int type, int create, int* fd);
void serUnlockAndCloseFile(int fd);

// Descriptor form: as serOpenAndLockFile with create; an exclusive holder
// writes its process id into the file.
int serAcquireSysLock(const char* dir, const char* name, int cmd, int type, int* fd);
int serAcquireFSLock(const char* fs, const char* name, int cmd, int type, int* fd);
// Closes `fd`, which releases the lock. close()'s result; -1/EBADF for a
// negative fd.
int serReleaseFSLock(const char* fs, const char* name, int fd);

// 0 when the file is missing (or a component is no directory) or not locked
// against `lockType` (1 shared, 2 exclusive); 1 when it is; -1 when it cannot
// be opened for another reason. A process never sees its own locks here, and
// since closing any descriptor of a file drops the process's record locks on
// it, a holder must not query its own lock file.
int serQuerySysLock(const char* dir, const char* name, int lockType);

// A file opened by path, locked through LockOpenedFile. Closing it (or
// destroying it) drops every lock it holds.
class DFpsFile {
 public:
  explicit DFpsFile(std::string path) : path_(std::move(path)) {}
  // Opens read-write, creating with mode 0644. 0 or -1 (errno).
  int Open();
  // waitType 1 waits; lockType 1 shared, 2 exclusive, other: unlock.
  // RC_OK, DFPS_RC_LOCKED, DFPS_RC_FAILED or DFPS_RC_NOT_OPEN (common/rc.h).
  int LockOpenedFile(int waitType, int lockType);
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  UniqueFd fd_;
};

// File-object form: opens and locks `dir` + `name`; after an exclusive lock
// the file is truncated and, when writePid, holds our process id. Returns 0
// with *handle owned by the caller (free with serReleaseSysLock),
// DFPS_RC_LOCKED when locked elsewhere without waiting, another non-zero code
// on failure.
int serAcquireSysLock(const char* dir, const char* name, int waitType, int lockType,
                      DFpsFile** handle, int writePid);
// Unlocks, closes and deletes the object; *handle becomes null.
void serReleaseSysLock(DFpsFile** handle);

// Space-reserve files ".Tarnveld/reserved/.dmiN" (N = 1..10) of a mount point.
std::string reserveFilePath(const std::string& mountPoint, unsigned n);
// Empties the first non-empty reserve file of the file system mounted at
// `mountPoint`. Returns its number, or 0 when none could be emptied.
int kmrFreeFS(const char* mountPoint);

#endif
