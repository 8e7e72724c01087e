// Checks of a file system before the command works on it: is it a mount
// point, is the HSM active on it, is it one the command may touch at all.
//
// Contract
// - MountPoint and IsMigFsOK hand out malloc'ed strings the caller frees.
// - The HSM state is read through the installed HsmAttrStore (hsmenv.h, fsstate.h);
//   without a store no session can be had and the state is -1.
// - Any thread may call; nothing here is cached.
#ifndef KMR_HSMFS_FSCHECK_H
#define KMR_HSMFS_FSCHECK_H

#include <string>

#include "common/rc.h"
#include "hsmfs/hsmsettings.h"

// HSM states of a file system.
inline constexpr int TARNVELD_NONE = 0;
inline constexpr int TARNVELD_ACTIVE = 1;
inline constexpr int TARNVELD_INACTIVE = 2;
inline constexpr int TARNVELD_RECALL_ACTIVE = 3;
inline constexpr int TARNVELD_MIGRATE_ACTIVE = 4;
inline constexpr int TARNVELD_GLOBAL_INACTIVE = 6;

typedef int cliFuncState_t;
inline constexpr cliFuncState_t FUNC_STATE_MIGRATE = 7;
inline constexpr cliFuncState_t FUNC_STATE_RECALL = 8;
inline constexpr cliFuncState_t FUNC_STATE_ALL = 33;

// 0 for "/" and "/tmp" (exactly), else 1.
int isFsAllowed(const char* fs);
// malloc'ed mount point of the file system holding `path`, or null.
char* MountPoint(const char* path, const std::string& mtabPath = kMtabPath);
// One of the TARNVELD_ states, or -1 when no DMAPI session can be had or a
// state or configuration file of the file system is not a regular file.
int getTarnveldState(const char* fs);
// RC_ code; on RC_OK *mountPoint holds the malloc'ed mount point, else null.
int IsMigFsOK(const char* fs, char** mountPoint, cliFuncState_t funcState);

#endif
