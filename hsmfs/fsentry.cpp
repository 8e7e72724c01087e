#include "common/msgnum.h"
#include "common/safepath.h"
#include "hsmfs/fsentry.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <sstream>
#include <vector>

#include "common/messages.h"
#include "common/trace.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locality.h"
#include "hsmfs/locks.h"

namespace {

std::atomic<unsigned> g_xmlReads{0};

// One configuration value: its XML element, its member and the value that is
// not written. The table is in the order of the XML file.
struct ConfigField {
  const char* element;
  const char* rangeName;  // name in range messages
  int32_t HsmFsEntry::*i32;
  int64_t HsmFsEntry::*i64;
  std::string HsmFsEntry::*str;
  int64_t unwritten;
};

const ConfigField kFields[] = {
    {"HThreshold", "HThreshold", &HsmFsEntry::m_hThreshold, nullptr, nullptr, HsmFsEntry::DEFAULT_HWM},
    {"Lthreshold", "Lthreshold", &HsmFsEntry::m_lThreshold, nullptr, nullptr, HsmFsEntry::DEFAULT_LWM},
    {"Pmpercentage", "Pmpercentage", &HsmFsEntry::m_pmPercentage, nullptr, nullptr,
     HsmFsEntry::DEFAULT_PREMIG_PERCENT},
    {"Agefactor", "Agefactor", &HsmFsEntry::m_ageFactor, nullptr, nullptr, HsmFsEntry::DEFAULT_AGE_FACTOR},
    {"SIzefactor", "SIzefactor", &HsmFsEntry::m_sizeFactor, nullptr, nullptr, HsmFsEntry::DEFAULT_SIZE_FACTOR},
    {"Quota", "Quota", nullptr, &HsmFsEntry::m_quota, nullptr, HsmFsEntry::DEFAULT_QUOTA},
    {"STubsize", "STubsize", &HsmFsEntry::m_stubSize, nullptr, nullptr, HsmFsEntry::DEFAULT_STUBSIZE},
    {"Maxcandidates", "Maxcandidates", &HsmFsEntry::m_maxCandidates, nullptr, nullptr,
     HsmFsEntry::DEFAULT_MAX_CAND},
    {"MINPartialrecallsize", "MINPartialrecallsize", &HsmFsEntry::m_minPartialRecallSize, nullptr, nullptr,
     HsmFsEntry::DEFAULT_MIN_PARTIAL},
    {"MINStreamfilesize", "MINStreamfilesize", &HsmFsEntry::m_minStreamFileSize, nullptr, nullptr,
     HsmFsEntry::DEFAULT_MIN_STREAM},
    {"MINMigfilesize", "MINMigfilesize", &HsmFsEntry::m_minMigFileSize, nullptr, nullptr,
     HsmFsEntry::DEFAULT_MIN_MIG_FILESIZE},
    {"SErver", "SErver", nullptr, nullptr, &HsmFsEntry::m_server, 0},
    {"SPPreferrednode", "SPPreferredNode", &HsmFsEntry::m_spPreferredNode, nullptr, nullptr,
     HsmFsEntry::DEFAULT_SP_PREFERRED_NODE},
    {"SPOwnernode", "SPOwnerNode", &HsmFsEntry::m_spOwnerNode, nullptr, nullptr,
     HsmFsEntry::DEFAULT_SP_OWNER_NODE},
    {"MAXFiles", "MAXFiles", nullptr, &HsmFsEntry::m_maxFiles, nullptr, HsmFsEntry::DEFAULT_MAX_FILES},
};

time_t fileMtime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return st.st_mtime;
}

bool parseNumber(const char* text, int64_t* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  while (end && (*end == ' ' || *end == '\n' || *end == '\t')) ++end;
  if (errno != 0 || !end || *end != '\0') return false;
  *value = v;
  return true;
}

// Range check of one value; prints 9007 when it fails.
bool inRange(const char* name, int64_t value, int64_t min, int64_t max) {
  if (value >= min && value <= max) return true;
  nlprintf(kMsg9007, hsmWhoAmI(), name, static_cast<long long>(value), static_cast<long long>(min),
           static_cast<long long>(max));
  return false;
}

}  // namespace

unsigned hsmFsConfigXmlReads() { return g_xmlReads.load(); }

// ---- HsmFsConfigLock -----------------------------------------------------------

HsmFsConfigLock::~HsmFsConfigLock() { unlock(); }

bool HsmFsConfigLock::lock(const std::string& fs) {
  if (m_serLockHandP) return true;
  int rc = serAcquireSysLock(fs.c_str(), m_lockFileName, 1, 2, &m_serLockHandP, 1);
  if (rc != 0) m_serLockHandP = nullptr;
  return rc == 0;
}

void HsmFsConfigLock::unlock() { serReleaseSysLock(&m_serLockHandP); }

// ---- HsmFsEntry ----------------------------------------------------------------

// The members' initializers hold every other default.
HsmFsEntry::HsmFsEntry() : m_spPreferredNode(getInstanceNo()), m_spOwnerNode(getInstanceNo()) {}

bool HsmFsEntry::configFileExists(const std::string& fs) {
  return fileMtime(fs + RELATIVE_CONFIG_FILEPATH) != 0 || fileMtime(fs + RELATIVE_CONFIG_OLD_FILEPATH) != 0;
}

void HsmFsEntry::initFsDependentValues() {
  struct statvfs vfs;
  if (statvfs(m_fsName.c_str(), &vfs) == 0)
    m_defaultQuota = static_cast<int64_t>((static_cast<uint64_t>(vfs.f_frsize) * vfs.f_blocks) >> 20);
  else
    m_defaultQuota = -1;
  // No file system here keeps a stub larger than nothing by default.
  m_defaultStubsize = 0;
}

const std::string& HsmFsEntry::getFsStanza() const {
  if (m_server == DEFAULT_FS_STANZA) {
    m_effectiveStanza = hsmSettings().migrateServerName;
    return m_effectiveStanza;
  }
  return m_server;
}

bool HsmFsEntry::isLocalFs() const { return getInstanceNo() == m_spOwnerNode; }

int HsmFsEntry::isValid() const {
  if (m_fsName.empty()) {
    nlprintf(kMsg9009, hsmWhoAmI(), "[empty]");
    return 0;
  }
  bool ok = true;
  ok &= inRange("HThreshold", m_hThreshold, MIN_HWM, MAX_HWM);
  ok &= inRange("Lthreshold", m_lThreshold, MIN_LWM, m_hThreshold);
  if (m_premigPercentGiven == 1) {
    int32_t tested = m_pmPercentage;
    if (tested == -1) tested = std::min(m_lThreshold, m_hThreshold - m_lThreshold);
    ok &= inRange("Pmpercentage", tested, MIN_PREMIG_PERCENT, m_lThreshold);
  }
  ok &= inRange("Agefactor", m_ageFactor, MIN_AGE_FACTOR, MAX_AGE_FACTOR);
  ok &= inRange("SIzefactor", m_sizeFactor, MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
  ok &= inRange("Quota", m_quota == -1 ? m_defaultQuota : m_quota, MIN_QUOTA, MAX_QUOTA);
  ok &= inRange("Maxcandidates", m_maxCandidates, MIN_MAX_CAND, MAX_MAX_CAND);
  ok &= inRange("MINPartialrecallsize", m_minPartialRecallSize, MIN_MIN_PARTIAL, MAX_MIN_PARTIAL);
  ok &= inRange("MINStreamfilesize", m_minStreamFileSize, MIN_MIN_STREAM, MAX_MIN_STREAM);
  ok &= inRange("MINMigfilesize", m_minMigFileSize, MIN_MIN_MIG_FILESIZE, MAX_MIN_MIG_FILESIZE);
  ok &= inRange("STubsize", m_stubSize == -1 ? m_defaultStubsize : m_stubSize, MIN_STUBSIZE, MAX_STUBSIZE);
  ok &= inRange("SPPreferredNode", m_spPreferredNode, MIN_SP_PREFERRED_NODE, 2147483647);
  ok &= inRange("SPOwnerNode", m_spOwnerNode, MIN_SP_OWNER_NODE, 2147483647);
  ok &= inRange("MAXFiles", m_maxFiles, MIN_MAX_FILES, MAX_MAX_FILES);
  if (!ok) nlprintf(kMsg9009, hsmWhoAmI(), m_fsName.c_str());
  return ok ? 1 : 0;
}

std::string HsmFsEntry::toXml() const {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("HsmFsConfig");
  for (const ConfigField& f : kFields) {
    std::string text;
    if (f.str) {
      if (this->*f.str == DEFAULT_FS_STANZA) continue;
      text = this->*f.str;
    } else {
      int64_t value = f.i32 ? this->*f.i32 : this->*f.i64;
      if (value == f.unwritten) continue;
      text = std::to_string(value);
    }
    pugi::xml_node child = root.append_child(f.element);
    child.append_attribute("type") = f.str ? "string" : "int";
    child.text().set(text.c_str());
  }
  std::ostringstream out;
  out << "<?xml version='1.0' encoding='ISO-8859-1' ?>\n";
  doc.save(out, "  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_latin1);
  return out.str();
}

void HsmFsEntry::readXml(const std::string& path) {
  ++g_xmlReads;
  pugi::xml_document doc;
  // The configuration lies in the file system's control directory: read only
  // a regular file there, never through a link, never blocking on a FIFO.
  std::string content;
  pugi::xml_parse_result parsed;
  if (clReadRegularFile(path.c_str(), LinkPolicy::kNoFollow, &content))
    parsed = doc.load_buffer(content.data(), content.size(), pugi::parse_default,
                             pugi::encoding_latin1);
  else
    TRACE(TR_CONFIG, "readXml: cannot open %s: %s\n", path.c_str(), strerror(errno));
  pugi::xml_node root = doc.child("HsmFsConfig");
  if (!parsed || !root) {
    nlprintf(kMsg9010, hsmWhoAmI(), m_fsName.c_str(), path.c_str());
    throw XMLReadException("Error while parsing xml file: %s", "Could not parse xml config file");
  }
  HsmFsEntry defaults;
  for (const ConfigField& f : kFields) {
    pugi::xml_node node = root.child(f.element);
    if (f.str) {
      this->*f.str = node ? node.text().get() : defaults.*f.str;
      continue;
    }
    int64_t value = 0;
    bool have = node && parseNumber(node.text().get(), &value);
    if (f.i32) this->*f.i32 = have ? static_cast<int32_t>(value) : defaults.*f.i32;
    else this->*f.i64 = have ? value : defaults.*f.i64;
  }
}

void HsmFsEntry::readConfig(int force, int checkValidity) {
  TREnterExit<char> ee(__FILE__, __LINE__, "HsmFsEntry::readConfig()");
  const std::string path = getConfigFilepath();
  time_t t = fileMtime(path);
  if (t != 0) {
    if (force == 0 && t == m_lastConfigMtime) return;
    readXml(path);
    if (checkValidity == 1 && !isValid())
      throw EntryInvalidException("Entry is not valid: %s", "read xml config is not valid");
    m_lastConfigMtime = t;
    return;
  }
  if (!readConfigOld(checkValidity))
    throw XMLReadException("Error while parsing xml file: %s", "XML and old config file not present.");
  try {
    writeConfig();
  } catch (const cTextException& e) {
    nlprintf(kMsg9130, hsmWhoAmI(), m_fsName.c_str(), CONFIG_OLD_FILENAME, CONFIG_FILENAME);
    TRACE(TR_CONFIG, "HsmFsEntry::readConfig: converting %s failed: %s\n", m_fsName.c_str(), e.what());
  }
}

int HsmFsEntry::readConfigOld(int checkValidity) {
  const std::string path = getConfigFilepathOld();
  std::unique_ptr<FILE, int (*)(FILE*)> file(
      clFopenRegular(path.c_str(), "r", LinkPolicy::kNoFollow), fclose);
  if (!file) {
    TRACE(TR_CONFIG, "readConfigOld: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return 0;
  }
  char buf[8192];
  std::string line;
  bool found = false;
  while (fgets(buf, sizeof buf, file.get())) {
    if (buf[0] == '#' || buf[0] == '\n' || buf[0] == '\0') continue;
    line = buf;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    found = true;
  }
  if (!found || line.compare(0, m_fsName.size(), m_fsName) != 0) {
    nlprintf(kMsg9131, hsmWhoAmI(), m_fsName.c_str(), line.c_str());
    return 0;
  }
  std::vector<std::string> tokens;
  for (size_t pos = 0; pos < line.size();) {
    size_t start = line.find_first_not_of(" \t", pos);
    if (start == std::string::npos) break;
    size_t end = line.find_first_of(" \t", start);
    if (end == std::string::npos) end = line.size();
    std::string token = line.substr(start, end - start);
    if (token[0] == '#') break;
    tokens.push_back(token);
    pos = end;
  }
  // This cluster's file systems are node-owned: the two node tokens are
  // mandatory.
  if (tokens.size() < 10) {
    nlprintf(kMsg9132, hsmWhoAmI(), m_fsName.c_str(), line.c_str());
    return 0;
  }
  // Old-file order: name, 7 values, 2 node values, up to 5 optional values.
  const char* values[15];
  for (auto& v : values) v = "-";
  for (size_t i = 0; i < 9; ++i) values[i] = tokens[1 + i].c_str();
  for (size_t i = 0; i < 5 && 10 + i < tokens.size(); ++i) values[9 + i] = tokens[10 + i].c_str();
  return convertValues(m_fsName, values, checkValidity);
}

int HsmFsEntry::convertValues(const std::string& fsName, const char* const values[15], int checkValidity) {
  m_fsName = fsName;
  HsmFsEntry defaults;
  auto apply32 = [&](const char* text, int32_t HsmFsEntry::*field) {
    if (!text || !*text) return;
    this->*field = strcmp(text, "-") == 0 ? defaults.*field : static_cast<int32_t>(strtol(text, nullptr, 10));
  };
  auto apply64 = [&](const char* text, int64_t HsmFsEntry::*field) {
    if (!text || !*text) return;
    this->*field = strcmp(text, "-") == 0 ? defaults.*field : strtoll(text, nullptr, 10);
  };
  apply32(values[0], &HsmFsEntry::m_hThreshold);
  apply32(values[1], &HsmFsEntry::m_lThreshold);
  apply32(values[2], &HsmFsEntry::m_pmPercentage);
  m_premigPercentGiven = (values[2] && *values[2]) ? 1 : 0;
  apply32(values[3], &HsmFsEntry::m_ageFactor);
  apply32(values[4], &HsmFsEntry::m_sizeFactor);
  apply64(values[5], &HsmFsEntry::m_quota);
  apply32(values[6], &HsmFsEntry::m_stubSize);
  apply32(values[7], &HsmFsEntry::m_spPreferredNode);
  apply32(values[8], &HsmFsEntry::m_spOwnerNode);
  if (values[9] && *values[9]) m_server = strcmp(values[9], "-") == 0 ? DEFAULT_FS_STANZA : values[9];
  apply32(values[10], &HsmFsEntry::m_maxCandidates);
  apply32(values[11], &HsmFsEntry::m_minPartialRecallSize);
  apply32(values[12], &HsmFsEntry::m_minStreamFileSize);
  apply32(values[13], &HsmFsEntry::m_minMigFileSize);
  apply64(values[14], &HsmFsEntry::m_maxFiles);
  if (checkValidity == 1 && !isValid()) return 0;
  return 1;
}

void HsmFsEntry::writeConfig() {
  TREnterExit<char> ee(__FILE__, __LINE__, "HsmFsEntry::writeConfig()");
  if (!isValid()) throw EntryInvalidException("Entry is not valid: %s", "Config is not valid.");
  std::string text;
  try {
    text = toXml();
  } catch (const std::exception&) {
    throw XMLWriteException("Error while writing xml file: %s", "Could not write xml document to string.");
  }
  HsmFsConfigLock lock;
  if (!lock.lock(m_fsName)) {
    nlprintf(kMsg9028, hsmWhoAmI(), m_fsName.c_str());
    throw AcquireFileLockException("Could not acquire lock for file: %s", m_fsName.c_str());
  }
  const std::string path = getConfigFilepath();
  std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, fclose);
  try {
    // The control directory lies under a mount point users write: neither
    // it nor the file may be a link a user planted, nor the file a FIFO.
    int fd = clOpenRegularBeneath(getConfigDir(), CONFIG_FILENAME, O_RDWR | O_CREAT, 0644);
    if (fd >= 0) file.reset(fdopen(fd, "r+"));
    if (fd >= 0 && !file) close(fd);
    if (!file) throw XMLWriteException("%s", "Could not create hsmfsconfig.xml.");
    bool written = fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    written &= fflush(file.get()) == 0;
    if (ftruncate(fileno(file.get()), static_cast<off_t>(text.size())) != 0)
      TRACE(TR_CONFIG, "writeConfig: truncating %s failed: %s\n", path.c_str(), strerror(errno));
    if (fchown(fileno(file.get()), ctlFileOwnerUid(), ctlFileOwnerGid()) != 0 ||
        fchmod(fileno(file.get()), 0644) != 0)
      nlprintf(kMsg9312, hsmWhoAmI(), path.c_str(), strerror(errno));
    written &= fclose(file.release()) == 0;
    if (!written) throw XMLWriteException("%s", "Could not write configString to hsmfsconfig.xml.");
  } catch (const XMLWriteException&) {
    nlprintf(kMsg9011, hsmWhoAmI(), m_fsName.c_str(), path.c_str());
    file.reset();
    lock.unlock();
    throw XMLWriteException("Error while writing xml file: %s", "Could not write xml to hsmfsconfig.xml.");
  }
  lock.unlock();
  m_lastConfigMtime = fileMtime(path);
}
