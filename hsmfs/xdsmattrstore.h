// The HsmAttrStore of real programs: the attribute and state-file code of
// this layer reaching DMAPI through the process's access object (XDSMAPI)
// and its session.
//
// Contract
// - xdsmAttrStore() returns the process-wide instance (never null, never
//   freed). sessionId() is XDSMAPI::getXDSMAPI()->getSID(): 0 until the
//   program has created its DMAPI session.
// - Register it with setHsmAttrStore() on the main thread once the session
//   exists, and unregister before the session is destroyed.
// - Every operation is one XDSMAPI call and follows its convention (1 / 0
//   with errno). fsNameOfHandle gives the mount point that holds the file.
// - Handles padded with zeros to 32 bytes (as the global state file keeps
//   them) are accepted and cut back to the library's length.
#ifndef KMR_HSMFS_XDSMATTRSTORE_H
#define KMR_HSMFS_XDSMATTRSTORE_H

#include "hsmfs/attrstore.h"

HsmAttrStore* xdsmAttrStore();

#endif
