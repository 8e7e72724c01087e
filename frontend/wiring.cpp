#include "frontend/wiring.h"

#include <string>

#include "hsmfs/fstable.h"
#include "hsmfs/xdsmapi.h"
#include "hsmfs/xdsmstore.h"
#include "server/comminterface.h"

namespace {

// The server stanza of a managed file system, from the managed table.
int managedTableStanza(const std::string& fsName, std::string* stanza) {
  HsmFsEntry entry;
  if (HsmFsTable::the().getFsEntry(fsName, entry, HsmFsTable::s_migOnOtherNode, 1, 0) != 1)
    return RC_NO_STANZA;
  *stanza = entry.getFsStanza();
  return 0;
}

}  // namespace

MigundeleteEnv migundeleteEnv() {
  MigundeleteEnv env;
  env.server.stanzaLookup = managedTableStanza;
  env.server.pathHandle = kmrGetHsmHandle;
  env.hsm = hsmXdsmEnv();
  env.reconcile.queryLink = &createZefQueryLink;
  return env;
}

void migundeleteWireLayers(const MigundeleteEnv& env) { zefServerLayerInit(env.server); }

int migundeleteWireHsmLayer(const MigundeleteEnv& env, const clientOptions* opts) {
  return hsmLayerStartup(env.hsm, opts);
}

void migundeleteUnwireHsmLayer() { hsmInstallEnv({}); }
