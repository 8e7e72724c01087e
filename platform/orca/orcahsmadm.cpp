// orcahsmadm: the ORCA file system's HSM administration command (stand-in),
// answering from the cluster description file (platform/orca/cluster.h).
//
//   orcahsmadm kmrGetFileSystems <output file> [norefresh]
//       writes one line "%d:%s" (location, device name) per cluster device
//   orcahsmadm kmrGetNodeNumber
//       prints this node's number (the node line naming this host)
//   orcahsmadm kmrGetHsmdata <output file>
//       copies the cluster's HSM data into the file, prints its version
//   orcahsmadm kmrPutHsmdata <input file> <version>
//       stores the file as the cluster's HSM data when `version` is newer
//
// Exit status 0 on success; 1 for a usage or I/O error; 2 when this node is
// unknown or the stored HSM data is not older than the offered version.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/orca/cluster.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: orcahsmadm kmrGetFileSystems FILE [norefresh] | kmrGetNodeNumber |\n"
          "       kmrGetHsmdata FILE | kmrPutHsmdata FILE VERSION\n");
  return 1;
}

// The repository holds "version N" on its first line, then the data.
bool readRepository(const std::string& path, int* version, std::string* data) {
  *version = 0;
  data->clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;
  std::string first;
  std::getline(in, first);
  if (sscanf(first.c_str(), "version %d", version) != 1) return false;
  std::ostringstream rest;
  rest << in.rdbuf();
  *data = rest.str();
  return true;
}

int getFileSystems(const orca::ClusterDescription& cluster, const char* outPath) {
  FILE* out = fopen(outPath, "w");
  if (!out) return 1;
  for (const orca::ClusterDevice& d : cluster.devices) fprintf(out, "%d:%s\n", d.location, d.name.c_str());
  return fclose(out) == 0 ? 0 : 1;
}

int getNodeNumber(const orca::ClusterDescription& cluster) {
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  for (const orca::ClusterNode& n : cluster.nodes)
    if (n.host == host) {
      printf("%d\n", n.number);
      return 0;
    }
  printf("-1\n");
  return 2;
}

int getHsmdata(const orca::ClusterDescription& cluster, const char* outPath) {
  int version = 0;
  std::string data;
  if (!readRepository(cluster.hsmdataPath, &version, &data)) return 1;
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  out << data;
  if (!out.flush()) return 1;
  printf("%d\n", version);
  return 0;
}

int putHsmdata(const orca::ClusterDescription& cluster, const char* inPath, const char* versionText) {
  int stored = 0;
  std::string old;
  if (!readRepository(cluster.hsmdataPath, &stored, &old)) return 1;
  int offered = atoi(versionText);
  if (offered <= stored) return 2;
  std::ifstream in(inPath, std::ios::binary);
  if (!in) return 1;
  std::ostringstream data;
  data << in.rdbuf();
  const std::string tmp = cluster.hsmdataPath + ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << "version " << offered << "\n" << data.str();
    if (!out.flush()) return 1;
  }
  return rename(tmp.c_str(), cluster.hsmdataPath.c_str()) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  orca::ClusterDescription cluster;
  if (!orca::readCluster(orca::clusterFilePath(), &cluster)) {
    fprintf(stderr, "orcahsmadm: cannot read %s\n", orca::clusterFilePath().c_str());
    return 1;
  }
  const std::string sub = argv[1];
  if (sub == "kmrGetFileSystems" && argc >= 3) return getFileSystems(cluster, argv[2]);
  if (sub == "kmrGetNodeNumber") return getNodeNumber(cluster);
  if (sub == "kmrGetHsmdata" && argc >= 3) return getHsmdata(cluster, argv[2]);
  if (sub == "kmrPutHsmdata" && argc >= 4) return putHsmdata(cluster, argv[2], argv[3]);
  return usage();
}
