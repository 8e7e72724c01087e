// The directories above a stub: whether they are there, and making the ones
// an `rm -rf` took away.
//
// Everything is looked up one component at a time beneath the file system's
// mount point, never following a symbolic link and never crossing into
// another mount (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
// RESOLVE_NO_XDEV): the names come from the server, and users write in
// these directories while the command runs as root.
//
// Contract
// - `mountFd` is a directory descriptor of the mount point (O_PATH will
//   do); it is borrowed, never closed.
// - `alias` is an acceptable alias (see isAcceptableAlias); only its
//   directory part is looked at. The returned `component` is an alias too
//   ("/proj/a"), the first directory that is missing or in the way.
// - No function throws; errno is left as it was found.
// - Thread-compatible: no shared state.
#ifndef KMR_RECONCILE_LOSTDIRS_H
#define KMR_RECONCILE_LOSTDIRS_H

#include <functional>
#include <string>

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

// Makes the missing directories above `alias`, top down, each one with
// mkdirat in the descriptor of the one above it. A new directory gets the
// owner, group and mode (07777 bits) of the nearest directory above it that
// already existed; it is made 0700 first and changed on its descriptor only
// while it is still the root-owned 0700 directory just made. One that
// appears meanwhile (made by someone else) is used as found. `created` is
// called with the alias of each directory made, in order. Returns kPresent
// when the stub's directory now exists, else what stopped the walk (the
// directories made before that stay).
ParentProbe makeLostDirectories(int mountFd, const std::string& alias,
                                const std::function<void(const std::string&)>& created);

#endif
