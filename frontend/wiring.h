// Registration of the lower layers' hooks at start-up (kept apart from the
// run driver: the server layer's headers and the HSM layer's headers each
// bring their own descriptor-owning type).
#ifndef KMR_FRONTEND_WIRING_H
#define KMR_FRONTEND_WIRING_H

// Main thread, once, before smInitOptFile.
void migundeleteWireLayers();

#endif
