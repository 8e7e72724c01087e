#include "frontend/wiring.h"

#include <string>

#include "hsmfs/attrstore.h"
#include "hsmfs/fstable.h"
#include "hsmfs/xdsmapi.h"
#include "hsmfs/xdsmstore.h"
#include "server/comminterface.h"
#include "server/serverlayer.h"

namespace {

// The server stanza of a managed file system, from the managed table.
int managedTableStanza(const std::string& fsName, std::string* stanza) {
  HsmFsEntry entry;
  if (HsmFsTable::the().getFsEntry(fsName, entry, HsmFsTable::s_migOnOtherNode, 1, 0) != 1)
    return kCommNoStanza;
  *stanza = entry.getFsStanza();
  return 0;
}

}  // namespace

void migundeleteWireLayers() {
  ServerLayerHooks hooks;
  hooks.stanzaLookup = managedTableStanza;
  hooks.pathHandle = kmrGetHsmHandle;
  zefServerLayerInit(hooks);
}

int migundeleteWireHsmLayer(const clientOptions* opts) { return hsmLayerStartup(opts); }

void migundeleteUnwireHsmLayer() { setHsmAttrStore(nullptr); }
