// The ORCA file system library's calls that the HSM uses, as our stand-in
// liborca.so provides them.
//
// Contract
// - orca_statfspool walks the storage pools of a mounted file system with a
//   cursor: 0 asks for the first pool, ORCA_POOL_CURSOR_END means no pool
//   follows. Without a buffer it only probes (the cursor stays unless the
//   file system has no pool). With a buffer of at least one record and
//   *poolCount >= 1 it fills one record and advances the cursor.
//   0 on success, -1 with errno on failure (ENOENT: no such path, EINVAL:
//   bad arguments).
// - orca_getpoolname copies the name of pool `poolId`; 0 or -1 (errno).
// - orca_stat is the 64-bit stat of a path.
// - The pools come from the cluster description file (cluster.h); a mounted
//   file system without pool lines has the single pool 0, "system".
#ifndef KMR_PLATFORM_ORCA_ORCA_H
#define KMR_PLATFORM_ORCA_ORCA_H

#include <stdint.h>
#include <sys/stat.h>

#define ORCA_POOL_CURSOR_END 0xFFFFFFFFu

struct orca_statfspool_s {
  uint64_t f_blocks;      // 0   total blocks of the pool
  uint64_t f_bfree;       // 8
  uint64_t f_bavail;      // 16
  uint64_t f_mblocks;     // 24  metadata blocks
  uint64_t f_mfree;       // 32
  uint32_t f_bsize;       // 40
  uint32_t f_files;       // 44
  uint32_t f_poolid;      // 48  the pool id
  uint32_t f_fsize;       // 52
  uint32_t f_usage;       // 56
  uint32_t f_replica;     // 60
  uint32_t f_reserved[6]; // 64
};
static_assert(sizeof(struct orca_statfspool_s) == 88, "pool record is 88 bytes");

extern "C" {
int orca_statfspool(const char* pathname, unsigned* poolCursor, unsigned options, int* poolCount, void* buffer,
                    int bufferSize);
int orca_getpoolname(const char* pathname, unsigned poolId, char* buffer, int bufferSize);
int orca_stat(const char* pathname, struct stat64* buffer);
}

#endif
