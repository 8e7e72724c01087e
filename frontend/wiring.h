// The one place where the program connects its layers. The lower layers
// offer registration points (the server layer's stanza and handle look-ups,
// its connection factory and session release; the HSM layer's attribute
// store) and this file fills them with the functions of the layers above or
// beside them, so that server/ never includes hsmfs/ and the arrows of the
// build stay one way (docs/layers.md).
#ifndef KMR_FRONTEND_WIRING_H
#define KMR_FRONTEND_WIRING_H

struct clientOptions;

// Main thread, once, before smInitOptFile. Registers the server layer with
// the option start-up and the process clean-up, the managed file system
// table as the server stanza lookup, and kmrGetHsmHandle as the path to
// handle lookup of the transaction list. Calling it again changes nothing.
void migundeleteWireLayers();

// Main thread, after the options are read: the HSM layer takes this run's
// HSM option values and its attribute store (DMAPI through XDSMAPI).
// Returns hsmLayerStartup's result.
int migundeleteWireHsmLayer(const clientOptions* opts);

// Main thread, before the DMAPI session ends: no HSM attribute access after
// this call.
void migundeleteUnwireHsmLayer();

#endif
