// zefadm's way of making stubs and managed file systems on this machine, so
// that the command has real stubs and real server records to work on.
//
// Contract
// - Both functions run as root on the main thread of zefadm, through the
//   process's DMAPI access object (XDSMAPI), with a DMAPI session of their own
//   that is destroyed before they return.
// - They return 0 on success and 1 when anything failed; every failure is
//   one line on `err` naming the file. Progress and results go to `out`.
// - migrateTree keeps each file's data in the server's data directory the
//   way a store over the protocol does (durable before its record commits)
//   before the file becomes a stub: no stub without its data on the server.
//   It works on the database directly, for tests and demonstrations;
//   kmrmigrate is the client's way.
#ifndef KMR_ZEFSERVER_MIGRATE_H
#define KMR_ZEFSERVER_MIGRATE_H

#include <cstdio>
#include <string>

#include "zefserver/datastore.h"
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
// (handle form). Files that already carry "VOQObj" are skipped. The record
// and its data are committed before the stub is made; a file whose stub
// could not be made has its record and data removed again, and a stub is
// never left without its record and data (a crash between leaves a record
// whose file is still whole).
int migrateTree(Store& store, DataDir& data, uint32_t fsId, const std::string& mountPoint, const std::string& dir,
                FILE* out, FILE* err);

}  // namespace zef

#endif
