// kmrmigrate: migrates files of HSM-managed file systems. For each regular
// file named, or found below a directory named, it sends the data and the
// attributes to the storage server, marks the file premigrated once the
// server committed them, and makes it a stub (FileMigrator).
//
// Contract
// - runMigrate() is the whole run: start-up as kmrmigundelete's (option
//   files, server stanza of each file system, password store, catalog,
//   trace, error log), the arguments, the walk, the summary (9806), the
//   teardown. It returns the exit status: 0 only when every file asked for
//   was migrated, is migrated already or is empty; 1 otherwise (a failure, a
//   file changed meanwhile, a path outside the managed file systems, a
//   stop). Start-up failures end the process with status 255 through the
//   process clean-up. Main thread only.
// - The walk stays beneath each file system's mount point: no symbolic link
//   is followed, no other mount is entered, ".Tarnveld" under the mount
//   point is never touched; files of a directory are taken in byte order of
//   their names, depth first.
#ifndef KMR_MIGRATE_MIGRATE_H
#define KMR_MIGRATE_MIGRATE_H

#include <string>
#include <vector>

struct MigrateArgs {
  bool detail = false;
  bool preview = false;
  bool help = false;
  std::vector<std::string> paths;  // as given
};

// Reads the command line (keywords case-insensitive, -D/-P/-H short forms;
// trace options are start-up's). False with the offending argument in `bad`.
bool parseMigrateArgs(int argc, char** argv, MigrateArgs& args, std::string& bad);

// The absolute form of `path` against `cwd` with doubled and trailing "/"
// removed; "." and ".." components are left for the scope check to refuse.
std::string absolutePath(const std::string& cwd, const std::string& path);

int runMigrate(int argc, char** argv);

#endif
