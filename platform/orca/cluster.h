// The cluster description file of our ORCA stand-in: the text file that the
// administration command and liborca.so read instead of a real cluster's
// configuration repository (docs/hsmfs.md shows an example).
//
//   # comment
//   node   <number> <host name>          this cluster's HSM nodes
//   device <location> <device name>      0 = a device of the local cluster
//   pool   <mount point> <id> <name>     storage pools of a file system
//   hsmdata <path>                       the cluster's HSM data repository
//
// The file is ORCA_CLUSTER_FILE when that is set, else /etc/orca/cluster.conf.
// Contract: read-only, any thread; a missing file is an empty cluster.
#ifndef KMR_PLATFORM_ORCA_CLUSTER_H
#define KMR_PLATFORM_ORCA_CLUSTER_H

#include <string>
#include <vector>

namespace orca {

inline constexpr const char* kDefaultClusterFile = "/etc/orca/cluster.conf";

struct ClusterNode {
  int number = 0;
  std::string host;
};
struct ClusterDevice {
  int location = 0;
  std::string name;
};
struct ClusterPool {
  std::string mountPoint;
  unsigned id = 0;
  std::string name;
};

struct ClusterDescription {
  std::vector<ClusterNode> nodes;
  std::vector<ClusterDevice> devices;
  std::vector<ClusterPool> pools;
  std::string hsmdataPath;  // default: the description file's path + ".hsmdata"
};

std::string clusterFilePath();
// Reads the description; false when the file exists but cannot be read.
bool readCluster(const std::string& path, ClusterDescription* out);

}  // namespace orca

#endif
