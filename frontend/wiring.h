// The one place where the program connects its layers: the lower layers
// offer registration points (the server layer's stanza and handle look-ups,
// its connection factory and session release) and this file fills them with
// the HSM layer's functions, so that server/ never includes hsmfs/ and the
// arrows of the build stay one way.
#ifndef KMR_FRONTEND_WIRING_H
#define KMR_FRONTEND_WIRING_H

// Main thread, once, before smInitOptFile. Registers the server layer with
// the option start-up and the process clean-up, the managed file system
// table as the server stanza lookup, and kmrGetHsmHandle as the path to
// handle lookup of the transaction list. Calling it again changes nothing.
void migundeleteWireLayers();

#endif
