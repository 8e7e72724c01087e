// Wiring of the server layer into the rest of the client: the session
// settings taken from the option record, the per-thread server connection
// created at the end of option start-up, the DMAPI handle lookup that the
// transaction list uses (through the path lookup of the installed hooks), and
// the registrations with the process clean-up.
//
// Contract
// - zefServerLayerInit is called once on the main thread during start-up,
//   before smInitOptFile, by the program's wiring only; it installs the
//   hooks and registers functions, and may be called again (a later call
//   replaces the earlier).
// - fillSessionConfig and the handle lookup may be called from any thread;
//   they read the option record, which is read-only after start-up.
// - The per-thread connection record belongs to the thread that created it
//   and lives until that thread ends.
#ifndef KMR_SERVER_SERVERLAYER_H
#define KMR_SERVER_SERVERLAYER_H

#include <cstdint>

#include "common/options.h"
#include "common/rc.h"
#include "server/comminterface.h"
#include "server/filespec.h"
#include "server/session.h"

// Fills `out` with everything a session needs from `opts`: server address
// and port, buffer and window sizes, no-delay, stanza, node name, password,
// re-open timing, TXNBYTELIMIT, large buffers, and the handle lookup below.
// Returns 0; RC_OPT_NO_SERVER_ADDRESS when no server address is set;
// RC_OPT_INVALID for a port outside 1..65535 or the shared-memory
// COMMMETHOD. `out` is written on 0 only.
int fillSessionConfig(const clientOptions& opts, SessionConfig* out);

// The option start-up's per-thread server connection factory: checks that
// `opts` makes a usable session configuration and keeps it as the calling
// thread's server connection. Returns 0 or the code of fillSessionConfig.
int smCreateServerConnection(clientOptions* opts);
// The calling thread's server connection settings, nullptr before
// smCreateServerConnection succeeded on this thread.
const SessionConfig* smThreadServerConnection();

// The DMAPI handle of the file at a full path, stored in `handle`; 0 or an
// error code. The HSM layer's kmrGetHsmHandle, handed over by the program
// (frontend/wiring.cpp) so that this layer does not include it.
using PathHandleFn = int (*)(const char* fullName, DmHandle* handle);

// The transaction list's handle lookup: the DMAPI handle of the object that
// `spec->pathName` names (the alias below the mount point `spec->fsName`, or
// the full path), through the installed hooks' pathHandle. The alias comes from
// the server and is checked first: it must begin with "/", every component
// must be non-empty and not "." or "..", and no component may be a symbolic
// link. Returns 0 with the handle; EINVAL for a refused path; ELOOP for a
// symbolic link on the way; another errno value when the path cannot be
// resolved; ENOSYS when no lookup is installed; or the lookup's code.
int hsmHandleOfFileSpec(const fileSpec_t* spec, DmHandle* handle);

// Checks an alias from the server below the mount point `fsName` as
// hsmHandleOfFileSpec does, resolving it with openat2 beneath the mount
// without following symbolic links. Returns 0, EINVAL (malformed alias),
// ELOOP (a symbolic link on the way) or the errno of the resolution.
int srvCheckObjectPath(const std::string& fsName, const std::string& alias);

// What the server layer needs from the layers beside it, handed over by the
// program (frontend/wiring.cpp) instead of being included. The session
// carries its handle lookup in SessionConfig, but the stanza lookup and the
// reporter are reached from deep inside the comm interface and the
// transaction list, so the layer keeps ONE installed set for the process.
// A null member means the default: no stanza (RC_NO_STANZA), no handle
// lookup (ENOSYS), a trace and error log line with the code.
struct ServerLayerHooks {
  CommStanzaLookup stanzaLookup = nullptr;  // server stanza of a managed file system
  PathHandleFn pathHandle = nullptr;        // DMAPI handle of a full path
  CommErrorReporter reportError = nullptr;  // report of a failed sign-on
};

// The installed hooks, every member set (defaults filled in). Any thread,
// once start-up is done.
const ServerLayerHooks& srvHooks();
// Installs `hooks` and returns the set it replaces. Main thread, while no
// session or comm interface is in use (start-up, or a test's set-up and
// tear-down).
ServerLayerHooks srvInstallHooks(const ServerLayerHooks& hooks);

// Installs the hooks, registers the connection factory with the option
// start-up and the session release with the process clean-up.
void zefServerLayerInit(const ServerLayerHooks& hooks);

#endif
