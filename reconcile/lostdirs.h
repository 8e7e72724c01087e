// The directories above a stub: whether they are there, and making the ones
// an `rm -rf` took away.
//
// Everything is looked up one component at a time beneath the file system's
// mount point, never following a symbolic link and never crossing into
// another mount (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
// RESOLVE_NO_XDEV): the names come from the server, and users write in
// these directories while the command runs as root.
//
// A new directory never appears under its name before it has its owner and
// mode: it is made in a staging directory that only root can write (the
// file system's control directory), given owner and mode on its own
// descriptor there, and renamed into place without replacing anything. From
// then on it is used only through that descriptor, or reopened by its file
// handle: a user who renames or exchanges names in their own directory can
// make root change nothing but the directory root made.
//
// Contract
// - `mountFd` is a directory descriptor of the mount point (O_PATH will
//   do); `stagingFd` one of the staging directory (openDirectoryStaging);
//   both are borrowed, never closed.
// - `alias` is an acceptable alias (see safeIsPathBelow); only its
//   directory part is looked at. The returned `component` is an alias too
//   ("/proj/a"), the first directory that is missing or in the way.
// - No function throws; errno is left as it was found.
// - Thread-compatible: no shared state.
#ifndef KMR_RECONCILE_LOSTDIRS_H
#define KMR_RECONCILE_LOSTDIRS_H

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

enum class ParentState {
  kPresent,       // every directory above the stub is there
  kMissing,       // `component` and everything below it do not exist
  kNotDirectory,  // `component` exists and is not a directory
  kSymlink,       // `component` is a symbolic link
  kOtherMount,    // `component` is the mount point of another file system
  kError,         // `component` could not be looked up or made (`err`)
};

struct ParentProbe {
  ParentState state = ParentState::kPresent;
  std::string component;
  int err = 0;
};

// Looks at the directories above `alias`; changes nothing.
ParentProbe probeParent(int mountFd, const std::string& alias);

// The owner, group and mode of the nearest existing directory above the
// directory `dirAlias` (the model of a directory made there). 0, or -1 with
// errno.
int modelOfMissingDirectory(int mountFd, const std::string& dirAlias, struct stat* model);

// The staging directory of the file system under `mountFd`: its control
// directory, accepted only when it is a directory owned by root that nobody
// else may write. A descriptor, or -1 with errno (EPERM when it is not
// root's alone). Empty staged directories that a killed run left behind
// are removed first: call it only while holding the file system's
// reconcile lock.
int openDirectoryStaging(int mountFd);

// A directory that makeLostDirectories made, as its callback sees it.
struct MadeDirectory {
  std::string alias;
  int fd = -1;      // the directory itself; borrowed, valid during the call
  struct stat st {};  // as made: the model's owner, group and mode
};

// Makes the missing directories above `alias`, top down. A new directory
// gets the owner, group and mode (07777 bits) of the nearest directory above
// it that already existed. One that appears meanwhile (made by someone
// else) is used as found. `created` is called for each directory made, in
// order, once it has its name. Returns kPresent when the stub's directory
// now exists, else what stopped the walk (the directories made before that
// stay).
ParentProbe makeLostDirectories(int mountFd, int stagingFd, const std::string& alias,
                                const std::function<void(const MadeDirectory&)>& created);

// The owner and group that the objects recreated below a new directory
// agree on.
class OwnerVote {
 public:
  void add(uint32_t uid, uint32_t gid);
  // The directory's final owner, group and mode: the agreed owner and group
  // (the model's when there is none or they differ); the model's mode.
  struct stat decide(const struct stat& model) const;

 private:
  uint32_t m_uid = 0, m_gid = 0;
  bool m_any = false, m_mixed = false;
};

// The directories a run made, followed to its end, where each takes the
// owner and group its recreated objects agree on (OwnerVote). Owned by the
// run's thread.
class MadeDirectories {
 public:
  // Keeps the directory's file handle (name_to_handle_at of its descriptor).
  void made(const MadeDirectory& dir);
  // A stub recreated at `alias` with this owner and group.
  void recreated(const std::string& alias, uint32_t uid, uint32_t gid);
  // The directories above `alias` that were made and not yet named by an
  // earlier call, from the top down; from now on they count as named.
  // Whoever made them, each is named once, by the first object asking.
  std::vector<std::string> nameNew(const std::string& alias);
  // Gives each directory made the owner and group its objects agree on,
  // through a descriptor opened by its handle (the very directory made,
  // wherever it is now) and only while it still has the owner and group it
  // was made with; then calls `report` with its alias and what it has now.
  // Forgets them all.
  void finish(int mountFd, const std::function<void(const std::string&, const struct stat&)>& report);

 private:
  struct Entry {
    std::vector<unsigned char> handle;  // struct file_handle; empty: none
    struct stat st {};
    OwnerVote vote;
    bool named = false;
  };
  std::map<std::string, Entry> m_dirs;
};

#endif
