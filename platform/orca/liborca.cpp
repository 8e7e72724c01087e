// liborca.so: the calls of the ORCA file system library that the HSM uses.
#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/orca/cluster.h"
#include "platform/orca/orca.h"

namespace {

std::vector<orca::ClusterPool> poolsOf(const char* pathname) {
  orca::ClusterDescription cluster;
  std::vector<orca::ClusterPool> pools;
  if (orca::readCluster(orca::clusterFilePath(), &cluster))
    for (const orca::ClusterPool& p : cluster.pools)
      if (p.mountPoint == pathname) pools.push_back(p);
  // A file system that the cluster describes no further has one pool.
  if (pools.empty()) pools.push_back(orca::ClusterPool{pathname, 0, "system"});
  return pools;
}

}  // namespace

extern "C" int orca_statfspool(const char* pathname, unsigned* poolCursor, unsigned, int* poolCount, void* buffer,
                               int bufferSize) {
  if (!pathname || !poolCursor || !poolCount) {
    errno = EINVAL;
    return -1;
  }
  struct statvfs vfs;
  if (statvfs(pathname, &vfs) != 0) return -1;
  const std::vector<orca::ClusterPool> pools = poolsOf(pathname);
  if (*poolCursor >= pools.size()) {
    *poolCursor = ORCA_POOL_CURSOR_END;
    *poolCount = 0;
    return 0;
  }
  if (!buffer) {
    *poolCount = static_cast<int>(pools.size());
    return 0;
  }
  if (bufferSize < static_cast<int>(sizeof(orca_statfspool_s)) || *poolCount < 1) {
    errno = EINVAL;
    return -1;
  }
  // Every pool reports the file system's numbers; the stand-in does not
  // split the space between pools.
  orca_statfspool_s record;
  memset(&record, 0, sizeof record);
  record.f_blocks = vfs.f_blocks;
  record.f_bfree = vfs.f_bfree;
  record.f_bavail = vfs.f_bavail;
  record.f_bsize = static_cast<uint32_t>(vfs.f_bsize);
  record.f_fsize = static_cast<uint32_t>(vfs.f_frsize);
  record.f_poolid = pools[*poolCursor].id;
  memcpy(buffer, &record, sizeof record);
  *poolCount = 1;
  *poolCursor = *poolCursor + 1 < pools.size() ? *poolCursor + 1 : ORCA_POOL_CURSOR_END;
  return 0;
}

extern "C" int orca_getpoolname(const char* pathname, unsigned poolId, char* buffer, int bufferSize) {
  if (!pathname || !buffer || bufferSize < 1) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (stat(pathname, &st) != 0) return -1;
  for (const orca::ClusterPool& p : poolsOf(pathname)) {
    if (p.id != poolId) continue;
    if (static_cast<int>(p.name.size()) >= bufferSize) {
      errno = ERANGE;
      return -1;
    }
    memcpy(buffer, p.name.c_str(), p.name.size() + 1);
    return 0;
  }
  errno = ENOENT;
  return -1;
}

extern "C" int orca_stat(const char* pathname, struct stat64* buffer) { return stat64(pathname, buffer); }
