// HsmFsEntry: the HSM configuration of one managed file system, read from and
// written to ".Tarnveld/hsmfsconfig.xml" under its mount point (the older
// text file "kmrmigfstab" is converted on first read).
//
// Contract
// - readConfig/writeConfig throw the exceptions below (all cTextException);
//   every other operation reports by its result.
// - Configuration errors are printed as numbered messages (9007, 9009, 9010,
//   9011, 9028, 9130, 9131, 9132, and 9312 when the written file's owner or
//   mode cannot be set) and are never fatal to the process.
// - An entry is a value: copy it freely. It is not thread-safe by itself.
// - Writers of the XML file serialise through the file system's lock file
//   "/.Tarnveld/hsmfsconfig.pid" (HsmFsConfigLock).
#ifndef KMR_HSMFS_FSENTRY_H
#define KMR_HSMFS_FSENTRY_H

#include <cstdint>
#include <ctime>
#include <string>

#include "common/textexception.h"

using XMLReadException = cTextExceptionOf<struct XMLReadExceptionTag>;
using XMLWriteException = cTextExceptionOf<struct XMLWriteExceptionTag>;
using EntryInvalidException = cTextExceptionOf<struct EntryInvalidExceptionTag>;
using AcquireFileLockException = cTextExceptionOf<struct AcquireFileLockExceptionTag>;

class DFpsFile;

// Holds the configuration file lock of one file system while it lives.
class HsmFsConfigLock {
 public:
  HsmFsConfigLock() = default;
  ~HsmFsConfigLock();
  HsmFsConfigLock(const HsmFsConfigLock&) = delete;
  HsmFsConfigLock& operator=(const HsmFsConfigLock&) = delete;
  // Takes the lock, waiting and exclusive. true at once when already held.
  bool lock(const std::string& fs);
  void unlock();
  bool isLocked() const { return m_serLockHandP != nullptr; }

  static constexpr const char* m_lockFileName = "/.Tarnveld/hsmfsconfig.pid";

 private:
  DFpsFile* m_serLockHandP = nullptr;  // owned; released by unlock()
};

class HsmFsEntry {
 public:
  static constexpr int32_t DEFAULT_HWM = 90, MIN_HWM = 0, MAX_HWM = 100;
  static constexpr int32_t DEFAULT_LWM = 80, MIN_LWM = 0;
  static constexpr int32_t DEFAULT_PREMIG_PERCENT = -1, MIN_PREMIG_PERCENT = 0;
  static constexpr int32_t DEFAULT_AGE_FACTOR = 1, MIN_AGE_FACTOR = 0, MAX_AGE_FACTOR = 999999999;
  static constexpr int32_t DEFAULT_SIZE_FACTOR = 1, MIN_SIZE_FACTOR = 0, MAX_SIZE_FACTOR = 999999999;
  static constexpr int64_t DEFAULT_QUOTA = -1, MIN_QUOTA = 0, MAX_QUOTA = 999999999999999LL;
  static constexpr int32_t DEFAULT_MAX_CAND = 100, MIN_MAX_CAND = 0, MAX_MAX_CAND = 9999999;
  static constexpr int32_t DEFAULT_MIN_PARTIAL = 0, MIN_MIN_PARTIAL = 0, MAX_MIN_PARTIAL = 2147483647;
  static constexpr int32_t DEFAULT_MIN_STREAM = 0, MIN_MIN_STREAM = 0, MAX_MIN_STREAM = 999999999;
  static constexpr int32_t DEFAULT_MIN_MIG_FILESIZE = 0, MIN_MIN_MIG_FILESIZE = 0,
                           MAX_MIN_MIG_FILESIZE = 2147483647;
  static constexpr int32_t DEFAULT_STUBSIZE = -1, MIN_STUBSIZE = 0, MAX_STUBSIZE = 1073741824;
  static constexpr const char* DEFAULT_FS_STANZA = "";
  static constexpr int32_t DEFAULT_SP_PREFERRED_NODE = 0, MIN_SP_PREFERRED_NODE = 1;
  static constexpr int32_t DEFAULT_SP_OWNER_NODE = 0, MIN_SP_OWNER_NODE = 1;
  static constexpr int64_t DEFAULT_MAX_FILES = 0, MIN_MAX_FILES = 0, MAX_MAX_FILES = 999999999999999LL;

  static constexpr const char* CONFIG_FILENAME = "hsmfsconfig.xml";
  static constexpr const char* CONFIG_OLD_FILENAME = "kmrmigfstab";
  static constexpr const char* RELATIVE_CONFIG_FILEPATH = "/.Tarnveld/hsmfsconfig.xml";
  static constexpr const char* RELATIVE_CONFIG_OLD_FILEPATH = "/.Tarnveld/kmrmigfstab";

  // Every default; both node fields take this node's instance number.
  HsmFsEntry();

  // Reads the configuration: the XML file when it exists (skipped when its
  // modification time is unchanged and `force` is 0), else "kmrmigfstab",
  // which is then converted to the XML file (a failed conversion prints
  // message 9130 and keeps the values read). Throws XMLReadException when
  // neither file can be read, EntryInvalidException when `checkValidity` is 1
  // and the XML values are not valid.
  void readConfig(int force, int checkValidity);
  // Writes the XML file under the file system's configuration lock; throws.
  void writeConfig();
  // Reads "kmrmigfstab". 1 on success, 0 on failure (messages printed).
  int readConfigOld(int checkValidity);
  // Applies 15 textual values in old-file order: HThreshold, Lthreshold,
  // Pmpercentage, Agefactor, SIzefactor, Quota, STubsize, SPPreferrednode,
  // SPOwnernode, SErver, Maxcandidates, MINPartialrecallsize,
  // MINStreamfilesize, MINMigfilesize, MAXFiles. Null or "" keeps a value,
  // "-" sets its default. 1 on success, 0 when checked and invalid.
  int convertValues(const std::string& fsName, const char* const values[15], int checkValidity);

  int isValid() const;
  void initFsDependentValues();
  // SErver, or MIGRATESERVER (hsmSettings) where SErver is the default "".
  const std::string& getFsStanza() const;
  bool isLocalFs() const;

  std::string getConfigFilepath() const { return m_fsName + RELATIVE_CONFIG_FILEPATH; }
  std::string getConfigFilepathOld() const { return m_fsName + RELATIVE_CONFIG_OLD_FILEPATH; }
  std::string getConfigDir() const { return m_fsName + "/.Tarnveld"; }
  static bool configFileExists(const std::string& fs);

  // Serialised XML document of the non-default values.
  std::string toXml() const;

  std::string m_fsName;
  int32_t m_hThreshold = DEFAULT_HWM;
  int32_t m_lThreshold = DEFAULT_LWM;
  int32_t m_pmPercentage = DEFAULT_PREMIG_PERCENT;
  int32_t m_ageFactor = DEFAULT_AGE_FACTOR;
  int32_t m_sizeFactor = DEFAULT_SIZE_FACTOR;
  int64_t m_quota = DEFAULT_QUOTA;
  int32_t m_maxCandidates = DEFAULT_MAX_CAND;
  int32_t m_minPartialRecallSize = DEFAULT_MIN_PARTIAL;
  int32_t m_minStreamFileSize = DEFAULT_MIN_STREAM;
  int32_t m_minMigFileSize = DEFAULT_MIN_MIG_FILESIZE;
  int32_t m_stubSize = DEFAULT_STUBSIZE;
  std::string m_server = DEFAULT_FS_STANZA;
  int32_t m_spPreferredNode = DEFAULT_SP_PREFERRED_NODE;
  int32_t m_spOwnerNode = DEFAULT_SP_OWNER_NODE;
  time_t m_lastConfigMtime = 0;
  int64_t m_defaultQuota = -1;
  int32_t m_defaultStubsize = -1;
  mutable std::string m_effectiveStanza;
  int64_t m_maxFiles = DEFAULT_MAX_FILES;
  int32_t m_premigPercentGiven = 1;

 private:
  void readXml(const std::string& path);
};

// How many times an XML configuration file was parsed by this process; lets
// callers see that an unchanged file is not read again.
unsigned hsmFsConfigXmlReads();

#endif
