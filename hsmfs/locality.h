// Device locality and this node's instance number, both answered by the ORCA
// administration command (platform/orca: orcahsmadm).
//
// Contract
// - The administration command is run through the system shell; a missing
//   or failing command leaves the device map empty (every ORCA device counts
//   as remote) and the instance number unknown.
// - OrcaDevLocationInfo is not locked itself: the mount-list builder calls it
//   under its own mutex. The instance number is computed on the main thread
//   before other threads start.
#ifndef KMR_HSMFS_LOCALITY_H
#define KMR_HSMFS_LOCALITY_H

#include <map>
#include <string>

class OrcaDevLocationInfo {
 public:
  // Command path and the directory for its temporary output file; empty
  // strings take the process settings.
  explicit OrcaDevLocationInfo(std::string adminCommand = "", std::string configDir = "");
  // The process's object, created on first use.
  static OrcaDevLocationInfo& the();

  // 1 when `device` (exactly as the mount table names it) belongs to the
  // local cluster; one refresh on a miss; else 0.
  int isORCADeviceLocal(const std::string& device);
  // Fills the map from "kmrGetFileSystems". 0 on success, else non-zero.
  int getAllLocationInfo();

 private:
  std::string m_adminCommand;
  std::string m_configDir;
  std::map<std::string, int> m_devices;  // device -> 1 local, 0 remote
};

// This node's instance number, computed once per process; above 65534 while
// unknown (every call then tries again).
int getInstanceNo();
// Forgets the cached number (tests and configuration changes).
void resetInstanceNo();
// Computes the number from the "instance" file or the administration command.
// While the command gives none it is asked again for a few seconds; at the
// start of that wait, once per process (or resetInstanceNo()), a message on
// standard error says what is missing and where the number is configured.
int getMyInstanceNo();
// Runs "<cmd> kmrGetNodeNumber"; the number, or -1 when below 1.
int getNodeNumber(const std::string& adminCommand = "");

// The cluster's HSM data through the administration command: kmrGetHsmdata
// stores it in `file` and its version in *version; kmrPutHsmdata stores the
// content of `file` as `version`, refused when not newer. 0 on success.
int kmrGetHsmdata(const std::string& file, int* version, const std::string& adminCommand = "");
int kmrPutHsmdata(const std::string& file, int version, const std::string& adminCommand = "");

#endif
