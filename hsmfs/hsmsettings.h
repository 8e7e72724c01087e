// Process-wide settings of the HSM file system layer: the fixed node paths and
// the option values this layer reads (HSMEXTOBJIDATTR, HSMEVENTDESTROY,
// MIGRATESERVER).
//
// Contract
// - One record per process, filled on the main thread at start-up before any
//   other thread runs (the option values by hsmLayerStartup, xdsmstore.h);
//   read without locks afterwards.
// - The defaults are the installed paths; tests point them at scratch places.
#ifndef KMR_HSMFS_HSMSETTINGS_H
#define KMR_HSMFS_HSMSETTINGS_H

#include <string>

// Fixed paths of an installed node.
inline constexpr const char* kMtabPath = "/etc/mtab";
inline constexpr const char* kHsmNodeDir = "/etc/vostra/Tarnveld";
// The ORCA administration command of our ORCA stand-in (platform/orca).
inline constexpr const char* kOrcaAdminCommand = "/opt/orca/bin/orcahsmadm";
inline constexpr const char* kOrcaLibraryName = "liborca.so";

struct HsmSettings {
  int extObjIdAttr = 0;            // HSMEXTOBJIDATTR: keep "VOQexID" beside the id attributes
  int eventDestroy = 0;            // HSMEVENTDESTROY: stubs also report their destruction
  std::string migrateServerName;   // MIGRATESERVER: stanza of a file system whose SErver is ""
  std::string mtabPath = kMtabPath;
  std::string nodeDir = kHsmNodeDir;  // holds config/ with the node's state files
  std::string adminCommand = kOrcaAdminCommand;

  std::string configDir() const { return nodeDir + "/config"; }
};

// The process's settings record (never null).
HsmSettings& hsmSettings();

#endif
