#include "common/cleanup.h"
#include "common/msgnum.h"
#include "common/safepath.h"
#include "hsmfs/locality.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pugixml.hpp>

#include "common/messages.h"
#include "common/trace.h"
#include "hsmfs/hsmsettings.h"
#include "platform/orca/cluster.h"

namespace {

constexpr int kInstanceUnknown = 65535;
int myInstance = kInstanceUnknown;
// Asking the administration command again helps when the cluster daemon is
// still starting; three tries a second apart cover that without stalling a
// node whose command is simply missing.
constexpr int kNodeNumberTries = 3;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string commandOrDefault(const std::string& cmd) { return cmd.empty() ? hsmSettings().adminCommand : cmd; }

int exitCodeOf(int status) {
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a shell command and returns its first output line in `out`.
int runForLine(const std::string& command, std::string* out) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(nullptr, pclose);
  {
    ChildSignalMask childMask;
    pipe.reset(popen(command.c_str(), "r"));
  }
  if (!pipe) return -1;
  char line[256] = "";
  if (fgets(line, sizeof line, pipe.get())) *out = line;
  char drain[256];
  while (fgets(drain, sizeof drain, pipe.get())) {
  }
  return exitCodeOf(pclose(pipe.release()));
}

std::string instancePath() { return hsmSettings().configDir() + "/instance"; }
std::string nodeSetPath() { return hsmSettings().configDir() + "/KMRNodeSet"; }

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int readInstanceFile() {
  const std::string path = instancePath();
  std::unique_ptr<FILE, int (*)(FILE*)> file(
      clFopenRegular(path.c_str(), "r", LinkPolicy::kNoFollow), fclose);
  if (!file) return 0;
  uint16_t value = 0;
  bool complete = fread(&value, sizeof value, 1, file.get()) == 1;
  file.reset();
  if (complete && value >= 1) return value;
  unlink(path.c_str());
  return 0;
}

void writeInstanceFile(int number) {
  const std::string path = instancePath();
  std::unique_ptr<FILE, int (*)(FILE*)> file(
      clFopenRegular(path.c_str(), "w", LinkPolicy::kNoFollow), fclose);
  uint16_t value = static_cast<uint16_t>(number);
  if (!file || fwrite(&value, sizeof value, 1, file.get()) != 1) {
    TRACE(TR_SM, "getMyInstanceNo: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return;
  }
  file.reset();
  chmod(path.c_str(), 0644);
}

std::string hostName() {
  char name[256] = "";
  gethostname(name, sizeof name - 1);
  return name;
}

bool nodeSetHolds(const pugi::xml_document& doc, int instance, const std::string& host) {
  for (pugi::xml_node n : doc.child("KMRNodeSet").children("node"))
    if (n.attribute("instance").as_int() == instance && host == n.attribute("host").value()) return true;
  return false;
}

// Makes the local "KMRNodeSet" hold this node, from the cluster's copy when
// that has it, else by adding this node to the cluster's copy.
void ensureNodeSet(int instance) {
  const std::string host = hostName();
  pugi::xml_document local;
  if (local.load_file(nodeSetPath().c_str()) && nodeSetHolds(local, instance, host)) return;

  char tmpl[4096];
  snprintf(tmpl, sizeof tmpl, "%s/kmr.XXXXXX", hsmSettings().configDir().c_str());
  int fd = mkstemp(tmpl);
  if (fd < 0) {
    TRACE(TR_SM, "ensureNodeSet: mkstemp failed: %s\n", strerror(errno));
    return;
  }
  close(fd);
  int version = 0;
  pugi::xml_document cluster;
  if (kmrGetHsmdata(tmpl, &version) != 0 || !cluster.load_file(tmpl) || !cluster.child("KMRNodeSet")) {
    cluster.reset();
    cluster.append_child("KMRNodeSet");
    version = 0;
  }
  if (!nodeSetHolds(cluster, instance, host)) {
    pugi::xml_node node = cluster.child("KMRNodeSet").append_child("node");
    node.append_attribute("instance") = instance;
    node.append_attribute("host") = host.c_str();
    ++version;
    cluster.child("KMRNodeSet").remove_attribute("version");
    cluster.child("KMRNodeSet").append_attribute("version") = version;
    if (cluster.save_file(tmpl) && kmrPutHsmdata(tmpl, version) != 0)
      TRACE(TR_SM, "ensureNodeSet: the cluster refused node set version %d\n", version);
  }
  unlink(tmpl);
  if (!cluster.save_file(nodeSetPath().c_str()))
    TRACE(TR_SM, "ensureNodeSet: cannot write %s\n", nodeSetPath().c_str());
}

}  // namespace

OrcaDevLocationInfo::OrcaDevLocationInfo(std::string adminCommand, std::string configDir)
    : m_adminCommand(std::move(adminCommand)), m_configDir(std::move(configDir)) {}

OrcaDevLocationInfo& OrcaDevLocationInfo::the() {
  static OrcaDevLocationInfo info;
  return info;
}

int OrcaDevLocationInfo::getAllLocationInfo() {
  const std::string dir = m_configDir.empty() ? hsmSettings().configDir() : m_configDir;
  char tmpl[4096];
  snprintf(tmpl, sizeof tmpl, "%s/kmr.XXXXXX", dir.c_str());
  int fd = mkstemp(tmpl);
  if (fd < 0) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_SM, kMsg9159, hsmWhoAmI(), tmpl, strerror(errno));
    return -1;
  }
  close(fd);
  const std::string command =
      quoted(commandOrDefault(m_adminCommand)) + " kmrGetFileSystems " + quoted(tmpl) + " norefresh >/dev/null 2>&1";
  int rc;
  {
    ChildSignalMask childMask;
    rc = exitCodeOf(system(command.c_str()));
  }
  if (rc != 0) {
    TRACE(TR_SM, "OrcaDevLocationInfo::getAllLocationInfo: Unexpected rc=%d\n", rc);
    unlink(tmpl);
    return rc;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(tmpl, "r"), fclose);
  size_t before = m_devices.size();
  char line[1100];
  while (file && fgets(line, sizeof line, file.get())) {
    int location = 0;
    char device[1025] = "";
    if (sscanf(line, "%d:%1024s", &location, device) != 2) continue;
    m_devices.emplace(device, location == 0 ? 1 : 0);
  }
  if (m_devices.size() == before) TRACE(TR_SM, "No ORCA devices known at this cluster.\n");
  file.reset();
  unlink(tmpl);
  return 0;
}

int OrcaDevLocationInfo::isORCADeviceLocal(const std::string& device) {
  auto it = m_devices.find(device);
  if (it != m_devices.end()) return it->second;
  getAllLocationInfo();
  it = m_devices.find(device);
  return it != m_devices.end() ? it->second : 0;
}

int getNodeNumber(const std::string& adminCommand) {
  std::string line;
  if (runForLine(quoted(commandOrDefault(adminCommand)) + " kmrGetNodeNumber 2>/dev/null", &line) != 0) return -1;
  int number = atoi(line.c_str());
  return number < 1 ? -1 : number;
}

namespace {

// Says, once per process, why the node's number is being waited for and
// where it is configured: without it a fresh node would sit silent through
// every retry.
bool whySaid = false;  // since the start or the last resetInstanceNo()

void sayWhyTheNumberIsAwaited(int seconds) {
  if (whySaid) return;
  whySaid = true;
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  const std::string cluster = orca::clusterFilePath();
  struct stat st;
  if (stat(cluster.c_str(), &st) != 0 && errno == ENOENT)
    nlfprintf(stderr, kMsg9760, cluster.c_str(), host, seconds);
  else
    nlfprintf(stderr, kMsg9761, commandOrDefault("").c_str(), host, cluster.c_str(), host, seconds);
  fflush(stderr);
}

}  // namespace

int getMyInstanceNo() {
  if (fileExists(instancePath()) && !fileExists(nodeSetPath())) unlink(instancePath().c_str());
  int number = readInstanceFile();
  if (number < 1) {
    // A command that is not installed will not appear within seconds: ask
    // once and spare the pauses, which every later lookup would pay again.
    const bool installed = access(commandOrDefault("").c_str(), X_OK) == 0;
    const int tries = installed ? kNodeNumberTries : 1;
    for (int attempt = 0; attempt < tries && number < 1; ++attempt) {
      if (attempt == 1) sayWhyTheNumberIsAwaited(tries - 1);
      if (attempt > 0) sleep(1);
      number = getNodeNumber();
    }
    if (number < 1 || number > 65534) {
      TRACE(TR_SM, "getMyInstanceNo: received invalid instance number\n");
      return kInstanceUnknown;
    }
    writeInstanceFile(number);
  }
  ensureNodeSet(number);
  return number;
}

int getInstanceNo() {
  if (myInstance > 65534) myInstance = getMyInstanceNo();
  return myInstance;
}

void resetInstanceNo() {
  myInstance = kInstanceUnknown;
  whySaid = false;
}

int kmrGetHsmdata(const std::string& file, int* version, const std::string& adminCommand) {
  std::string line;
  int rc = runForLine(quoted(commandOrDefault(adminCommand)) + " kmrGetHsmdata " + quoted(file) + " 2>/dev/null",
                      &line);
  if (rc != 0) return rc;
  *version = atoi(line.c_str());
  return 0;
}

int kmrPutHsmdata(const std::string& file, int version, const std::string& adminCommand) {
  const std::string command = quoted(commandOrDefault(adminCommand)) + " kmrPutHsmdata " + quoted(file) + " " +
                              std::to_string(version) + " >/dev/null 2>&1";
  ChildSignalMask childMask;
  return exitCodeOf(system(command.c_str()));
}
