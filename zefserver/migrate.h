// zefadm's way of making stubs and managed file systems on this machine, so
// that the command has real stubs and real server records to work on.
//
// Contract
// - Both functions run as root on the main thread of zefadm, through the
//   process's DMAPI access object (XDSMAPI), with a DMAPI session of their own
//   that is destroyed before they return.
// - They return 0 on success and 1 when anything failed; every failure is
//   one line on `err` naming the file. Progress and results go to `out`.
// - migrateTree keeps no copy of the data: a migrated file's data is gone
//   once it is a stub. It is a tool for tests and demonstrations.
#ifndef KMR_ZEFSERVER_MIGRATE_H
#define KMR_ZEFSERVER_MIGRATE_H

#include <cstdio>
#include <string>

#include "zefserver/store.h"

namespace zef {

// Makes `mountPoint` a managed file system: .Tarnveld/ with a minimal
// hsmfsconfig.xml (kept when present) and the state file with recall and
// migration active, registered in the node's global state file.
int manageFileSystem(const std::string& mountPoint, FILE* out, FILE* err);

// For every regular, non-empty file below `dir` (which lies in the file
// system mounted at `mountPoint`), in byte order of the names, not following
// symbolic links and leaving .Tarnveld alone: registers a migrated object
// (in file space `fsId`, alias = path below the mount point)
// and turns the file into a stub exactly as the command recreates one:
// same size, no data blocks, "VOQObj" (124 bytes, state 2), a managed
// region over the whole file with flags 7, owner, mode and times kept.
// The stored record then carries the stub's inode, ctime and DMAPI handle
// (handle form). Files that already carry "VOQObj" are skipped. Each file
// is one database transaction: a file whose stub could not be made leaves
// no record, and a record is never left without its stub.
int migrateTree(Store& store, uint32_t fsId, const std::string& mountPoint, const std::string& dir, FILE* out,
                FILE* err);

}  // namespace zef

#endif
