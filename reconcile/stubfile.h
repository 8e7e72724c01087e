// Safe creation of a stub file below a file system's mount point.
//
// The command runs as root in directories that users write, and the path of
// a stub comes from the server. So a path is taken apart here and never
// handed to a path-based call as a whole: the parent directory is resolved
// beneath the mount point without following any symbolic link, the old entry
// is removed from that directory, and the new file is created exclusively
// without following a link. Owner, mode and times are then set on the open
// descriptor.
//
// Contract
// - Functions return 0 on success and -1 with errno set on failure.
// - A StubFile owns its descriptors; they are closed on every path.
// - Not thread-safe; one StubFile per stub being made.
#ifndef KMR_RECONCILE_STUBFILE_H
#define KMR_RECONCILE_STUBFILE_H

#include <sys/types.h>

#include <string>

#include "hsmfs/locks.h"

// True when the alias names a file beneath the mount point: it begins with
// "/", is not "/" alone, and has no empty, "." or ".." component.
bool isAcceptableAlias(const std::string& alias);

class StubFile {
 public:
  StubFile() = default;

  // Resolves the directory part of `alias` beneath `mountPoint` (no symbolic
  // link in any component, no way out of the mount point). The alias must
  // be acceptable (EINVAL otherwise).
  int resolveParent(const std::string& mountPoint, const std::string& alias);
  // Removes whatever entry stands at the name (ignoring failure), then
  // creates the file with O_EXCL | O_NOFOLLOW, read-write, mode 0600.
  int create();
  // Closes and removes the file again, only if this object created it and
  // the name still stands for that file (same device and inode).
  void removeCreated();
  int fd() const { return m_fd.get(); }
  bool isOpen() const { return static_cast<bool>(m_fd); }
  // Closes the file; the result of close().
  int close();

 private:
  UniqueFd m_parent;
  UniqueFd m_fd;
  std::string m_leaf;
  bool m_created = false;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
};

#endif
