// The one place where the program connects its layers. The server layer
// offers two registration points (the server stanza of a file system and the
// DMAPI handle of a path), which this file fills with the HSM layer's
// managed file system table and kmrGetHsmHandle, so that server/ never
// includes hsmfs/ and the arrows of the build stay one way (docs/layers.md).
// The server layer's own start-up, called from here, registers its
// connection factory with the option start-up and its session release with
// the process clean-up; the HSM layer's start-up registers its attribute
// store.
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
