// The client's password store (PASSWORDACCESS GENERATE): the node's password
// per server, kept in one file "kmr.pwd" in the PASSWORDDIR directory so that
// the command signs on without asking. The file's format is documented in
// docs/protocol.md ("Password store").
//
// Contract
// - A store file is used only when it is a regular file (not a link, FIFO or
//   directory) owned by the user the process runs as (root for the command)
//   with no access for group or others, in a directory owned by that user
//   that neither group nor others may write. The directory is reached from
//   "/" one component at a time without following any symbolic link, and
//   every directory above it must be owned by root (or that user) and not
//   writable by group or others, except a root-owned sticky one such as
//   /tmp. Anything else is refused: load finds nothing and save/remove
//   change nothing, each with the reason in `why`. A directory that does not
//   exist is an empty store.
// - save() and remove() rewrite the whole file through a new file in the same
//   directory (mode 0600) renamed over the old one, so a reader sees either
//   the old or the new store, never a mix; the new file's name is random.
//   Missing directory: save() creates it (its last component only) with
//   mode 0700.
// - Server and node are compared exactly (the caller upper-cases the node).
// - Any thread may call these; concurrent writers in one process are
//   serialised, between processes the last rename wins.
#ifndef KMR_SERVER_PASSWORDSTORE_H
#define KMR_SERVER_PASSWORDSTORE_H

#include <string>

namespace pwstore {

constexpr const char* kFileName = "kmr.pwd";

// The store's file name in `dir`.
std::string storePath(const std::string& dir);

enum class Outcome { kFound, kAbsent, kRefused };
struct Loaded {
  Outcome outcome = Outcome::kAbsent;
  std::string password;  // kFound only
  std::string why;       // kRefused only
};
Loaded load(const std::string& dir, const std::string& server, const std::string& node);

// Both return true on success; false with `why` set.
bool save(const std::string& dir, const std::string& server, const std::string& node, const std::string& password,
          std::string& why);
bool remove(const std::string& dir, const std::string& server, const std::string& node, std::string& why);

}  // namespace pwstore

#endif
