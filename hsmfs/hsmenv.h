// HsmLayerEnv: what the HSM file system layer takes from outside itself: the
// DMAPI attribute store, the pause between right requests, the translation
// of a failed handle lookup into the client's code, and the pause of a
// reader of the global state file while a writer holds its lock.
//
// The attribute, state-file and right functions of this layer are C-style
// calls reached from everywhere below the reconcile engine; handing the env
// through each of them would change every signature for no gain, so the
// layer keeps ONE installed env for the process. The command's wiring
// (frontend/wiring.cpp) installs it through hsmLayerStartup; zefadm
// installs its own for one command; tests install theirs and put the
// previous one back.
//
// Contract
// - Install on the main thread while no other thread uses the layer
//   (start-up, or a test's set-up and tear-down); the installed env is read
//   from any thread afterwards.
// - The attribute store is not owned and must outlive its installation.
// - A null member means the default: no attribute store (calls fail with
//   ENXIO), a real sleep, errno returned as it is, a 5 second sleep.
#ifndef KMR_HSMFS_HSMENV_H
#define KMR_HSMFS_HSMENV_H

#include <functional>

#include "hsmfs/attrstore.h"

// Pause of `milliseconds` between two right requests (dmiRequestRight).
using DmiSleepFunction = void (*)(unsigned milliseconds);
// The client's errno translation of a failed kmrGetHsmHandle.
using KmrErrnoTranslator = int (*)(int err, const char* functionName);

struct HsmLayerEnv {
  HsmAttrStore* attrStore = nullptr;
  DmiSleepFunction rightRetryPause = nullptr;
  KmrErrnoTranslator translateErrno = nullptr;
  std::function<void()> globalStatePause = nullptr;
};

// The installed env, defaults filled in for every member but attrStore. The
// reference stays valid for the whole process; what it holds changes with
// the next hsmInstallEnv.
const HsmLayerEnv& hsmEnv();
// Installs `env` (null members replaced by the defaults) and returns the env
// it replaces, defaults included, ready to be installed again.
HsmLayerEnv hsmInstallEnv(HsmLayerEnv env);

#endif
