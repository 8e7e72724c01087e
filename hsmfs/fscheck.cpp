#include "hsmfs/fscheck.h"

#include <dirent.h>
#include <errno.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "hsmfs/fsstate.h"
#include "hsmfs/locks.h"

namespace {

// The three identities a path and its mount directory must share.
struct FsIdentity {
  dev_t dev = 0;
  long type = 0;
  unsigned long fsid = 0;
};

bool identify(const char* path, FsIdentity* id) {
  struct stat st;
  struct statfs sfs;
  struct statvfs svfs;
  if (lstat(path, &st) != 0 || statfs(path, &sfs) != 0 || statvfs(path, &svfs) != 0) return false;
  id->dev = st.st_dev;
  id->type = static_cast<long>(sfs.f_type);
  id->fsid = svfs.f_fsid;
  return true;
}

bool globallyDeactivated(uint64_t sid) {
  fsmState global;
  if (dmiEntryGetGlobalState(sid, &global) != 0) return false;
  return (global.flags & (FSM_RECALL | FSM_MIGRATE)) == 0;
}

// A state or configuration file that is there but is no regular file (a
// FIFO, a device, a directory) is an error of the check, not "not managed".
bool controlFilesUsable(const char* fs) {
  const std::string files[] = {globalStateFilePath(), fsStateFilePath(fs),
                               tarnveldDir(fs) + "/hsmfsconfig.xml"};
  for (const std::string& f : files) {
    struct stat st;
    if (lstat(f.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      TRACE(TR_FS, "getTarnveldState: %s is not a regular file\n", f.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int isFsAllowed(const char* fs) { return (strcmp(fs, "/") == 0 || strcmp(fs, "/tmp") == 0) ? 0 : 1; }

char* MountPoint(const char* path, const std::string& mtabPath) {
  FsIdentity target;
  if (!identify(path, &target)) {
    TRACE(TR_FS, "MountPoint: cannot stat %s: %s\n", path, strerror(errno));
    return nullptr;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> table(setmntent(mtabPath.c_str(), "r"), endmntent);
  if (!table) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg9186, hsmWhoAmI(), mtabPath.c_str(), strerror(errno));
    return nullptr;
  }
  mntent entry;
  char buf[8192];
  while (getmntent_r(table.get(), &entry, buf, sizeof buf)) {
    if (!entry.mnt_dir || !*entry.mnt_dir) continue;
    FsIdentity mount;
    if (!identify(entry.mnt_dir, &mount)) continue;
    if (mount.dev == target.dev && mount.type == target.type && mount.fsid == target.fsid)
      return strdup(entry.mnt_dir);
  }
  return nullptr;
}

int getTarnveldState(const char* fs) {
  TREnterExit<char> ee(__FILE__, __LINE__, "getTarnveldState()");
  HsmAttrStore* store = hsmAttrStore();
  uint64_t sid = store ? store->sessionId() : 0;
  if (sid == 0 || sid == ~0ULL) return -1;
  if (!controlFilesUsable(fs)) return -1;
  bool deactivated = globallyDeactivated(sid);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(tarnveldDir(fs).c_str()), closedir);
  if (!dir) return TARNVELD_NONE;
  fsmState st;
  st.fsName = fs;
  if (dmiEntryGetFSState(sid, &st) != 0) return TARNVELD_NONE;
  if (deactivated) return TARNVELD_GLOBAL_INACTIVE;
  const bool recall = st.flags & FSM_RECALL, migrate = st.flags & FSM_MIGRATE;
  if (recall && migrate) return TARNVELD_ACTIVE;
  if (migrate) return TARNVELD_MIGRATE_ACTIVE;
  if (recall) return TARNVELD_RECALL_ACTIVE;
  return TARNVELD_INACTIVE;
}

int IsMigFsOK(const char* fs, char** mountPoint, cliFuncState_t funcState) {
  TREnterExit<char> ee(__FILE__, __LINE__, "IsMigFsOK()");
  *mountPoint = MountPoint(fs, hsmSettings().mtabPath);
  if (!*mountPoint) {
    if (strcmp(hsmWhoAmI(), "kmrmonitord") != 0)
      trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg9148, hsmWhoAmI(), fs);
    return RC_FS_NOT_A_MOUNT_POINT;
  }
  int rc;
  switch (getTarnveldState(fs)) {
    case -1: rc = RC_FS_ERROR; break;
    case TARNVELD_ACTIVE: rc = RC_OK; break;
    case TARNVELD_NONE: rc = RC_FS_NOT_MFS_MOUNTED; break;
    case TARNVELD_RECALL_ACTIVE: rc = funcState == FUNC_STATE_RECALL ? RC_OK : RC_FS_NOT_TARNVELD_ACTIVE; break;
    case TARNVELD_MIGRATE_ACTIVE: rc = funcState == FUNC_STATE_MIGRATE ? RC_OK : RC_FS_NOT_TARNVELD_ACTIVE; break;
    default: rc = RC_FS_NOT_TARNVELD_ACTIVE; break;
  }
  if (rc != RC_OK) {
    free(*mountPoint);
    *mountPoint = nullptr;
  }
  return rc;
}
