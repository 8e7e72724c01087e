#include "platform/orca/cluster.h"

#include <errno.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace orca {

std::string clusterFilePath() {
  const char* env = getenv("ORCA_CLUSTER_FILE");
  return (env && *env) ? env : kDefaultClusterFile;
}

bool readCluster(const std::string& path, ClusterDescription* out) {
  *out = ClusterDescription();
  out->hsmdataPath = path + ".hsmdata";
  std::ifstream in(path);
  if (!in) return errno == ENOENT;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind) || kind[0] == '#') continue;
    if (kind == "node") {
      ClusterNode n;
      if (words >> n.number >> n.host) out->nodes.push_back(n);
    } else if (kind == "device") {
      ClusterDevice d;
      if (words >> d.location >> d.name) out->devices.push_back(d);
    } else if (kind == "pool") {
      ClusterPool p;
      if (words >> p.mountPoint >> p.id >> p.name) out->pools.push_back(p);
    } else if (kind == "hsmdata") {
      words >> out->hsmdataPath;
    }
  }
  return true;
}

}  // namespace orca
