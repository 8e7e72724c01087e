// The one place where the command connects its layers. MigundeleteEnv holds
// every seam a lower layer offers (the server layer's hooks, the HSM layer's
// env, the reconcile engine's env); migundeleteEnv() fills them with the
// functions of the layers above or beside them, so that server/ never
// includes hsmfs/ and the arrows of the build stay one way (DESIGN.md).
//
// The front end owns the process's MigundeleteEnv (a member of Migundelete)
// and passes it down: the reconcile part by reference to each facade (which
// copies it into the modes it makes); the server hooks and the HSM env are
// installed once, because those layers reach them from deep C-style call
// paths (the transaction list, the attribute and state-file functions) and
// each keeps one installed set for the process, put there only from here.
// The option start-up, the process clean-up and the message output keep
// their own registration points (common/options.h, common/cleanup.h,
// common/messages.h): they serve the signal handler and the exit path of
// the whole process, and the server layer and the progress line register
// with them.
//
// Contract
// - All functions: main thread, during start-up or shut-down, while no
//   other thread uses the layers.
// - The env's attribute store (the process's XdsmAttrStore) lives until the
//   process ends.
#ifndef KMR_FRONTEND_WIRING_H
#define KMR_FRONTEND_WIRING_H

#include "hsmfs/hsmenv.h"
#include "reconcile/serverlink.h"
#include "server/serverlayer.h"

struct clientOptions;

struct MigundeleteEnv {
  ServerLayerHooks server;  // managed table's stanza, kmrGetHsmHandle, default reporter
  HsmLayerEnv hsm;          // XDSMAPI attribute store, real pauses
  ReconcileEnv reconcile;   // the real storage server's link
};

// The env the command runs with.
MigundeleteEnv migundeleteEnv();

// Once, before smInitOptFile: installs env.server and registers the server
// layer with the option start-up and the process clean-up. Calling it again
// changes nothing more.
void migundeleteWireLayers(const MigundeleteEnv& env);

// After the options are read: the HSM layer takes this run's HSM option
// values and installs env.hsm. Returns hsmLayerStartup's result.
int migundeleteWireHsmLayer(const MigundeleteEnv& env, const clientOptions* opts);

// Before the DMAPI session ends: installs an env without an attribute store,
// so no HSM attribute access happens after this call.
void migundeleteUnwireHsmLayer();

#endif
