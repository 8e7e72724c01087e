#include "frontend/wiring.h"

#include "server/serverlayer.h"

void migundeleteWireLayers() { zefServerLayerInit(); }
