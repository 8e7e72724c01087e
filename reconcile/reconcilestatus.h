// Statistics of one reconcile run on one file system, and the reconcile log.
//
// Contract
// - createReconcileStatus() always makes the storage-pool flavour and hands
//   ownership to the caller (null only when the allocation fails).
// - The constructor opens the reconcile log (default kReconcileLogPath); a
//   log that cannot be opened stays closed and log lines are dropped, the
//   object is usable all the same. An empty path opens no log and creates
//   no file (a preview's status).
// - Only the main thread of a run uses a status object; counters are plain.
// - initStatusObjects() never throws: a pool list that cannot be read is
//   reported with message 9457 and the map keeps what it had.
#ifndef KMR_RECONCILE_RECONCILESTATUS_H
#define KMR_RECONCILE_RECONCILESTATUS_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/errorlog.h"

inline constexpr const char* kReconcileLogPath = "/var/log/kmrreconcile.log";

// What became of each object of a recreating run, one outcome per object
// (they add up to the objects processed), and the directories -MKDIRS made:
// the run's closing summary line.
struct RunSummary {
  uint64_t recreated = 0;  // a stub where nothing stood
  uint64_t replaced = 0;   // a stub in place of an older (or, -RECOVER, any) file
  uint64_t skipped = 0;    // left as it is: present, expired, a directory
  uint64_t refused = 0;    // a record no stub may be made from (path, attributes, type, owner)
  uint64_t failed = 0;     // meant to be brought back and not brought back
  uint64_t directoriesMade = 0;
};

class ReconcileStatus {
 public:
  explicit ReconcileStatus(const std::string& logPath = kReconcileLogPath);
  virtual ~ReconcileStatus();
  ReconcileStatus(const ReconcileStatus&) = delete;
  ReconcileStatus& operator=(const ReconcileStatus&) = delete;

  // Other reconcile modes only; this command never calls it. Traces the dump.
  virtual void updateStatusFile();
  virtual void initStatusObjects() {}
  virtual void increasePremigedFiles(unsigned int poolId);
  virtual void increasePremigedBlocks(unsigned long long blocks, unsigned int poolId);
  virtual void increaseMigratedFiles(unsigned int poolId);
  virtual void increaseMigratedBlocks(unsigned long long blocks, unsigned int poolId);

  // One line "<date><time>  <fs><prefix>: <text>\n" when the log is open.
  void ReconcileLogMsg(const char* text, const std::string& prefix);
  std::string toString() const;
  bool isLogOpen() const { return m_logFile.isOpen(); }

  DLogFile m_logFile;
  std::string m_fileSystem;
  uint64_t m_processedCount = 0;
  uint64_t m_validCount = 0;
  uint64_t m_expiredCount = 0;
  uint64_t m_newExpiredCount = 0;
  uint64_t m_deletedCount = 0;
  uint64_t m_orphanedCount = 0;
  uint64_t m_updatedCount = 0;     // updates the server committed
  // The outcome of each object of a recreating run: a stub put in place, an
  // object left as it is (present file, expired, invalid path), a failed
  // or refused recreation; and updates sent to the server (recreations and
  // repaired records), committed or not.
  uint64_t m_recreatedCount = 0;
  uint64_t m_skippedCount = 0;
  uint64_t m_failedCount = 0;
  uint64_t m_updateAttempts = 0;
  RunSummary m_summary;
  // Whether the run left anything undone that it should have done.
  bool incomplete() const { return m_failedCount != 0 || m_updateAttempts > m_updatedCount; }
  uint64_t m_fileListCount = 0;
  uint64_t m_premigratedFiles = 0;
  uint64_t m_premigratedBlocks = 0;
  uint64_t m_migratedFiles = 0;
  uint64_t m_migratedBlocks = 0;
  int32_t m_pid = 0;
  int32_t m_position = 0;
  int64_t m_daysForExpiration = 0;
  int32_t m_startTime = 0;
  int32_t m_updateTime = 0;
};

struct ReconcilePoolStatus {
  uint64_t premigratedFiles = 0;
  uint64_t premigratedBlocks = 0;
  uint64_t migratedFiles = 0;
  uint64_t migratedBlocks = 0;
};

// Where the pool ids of a file system come from. The default asks
// StoragePoolUtil::getStoragePoolIds; tests put a source of their own here.
// A source reports failure by throwing.
using PoolIdSource = std::function<void(const std::string& fs, std::vector<unsigned>& ids)>;

class ReconcileStatusStoragePools : public ReconcileStatus {
 public:
  explicit ReconcileStatusStoragePools(const std::string& logPath = kReconcileLogPath,
                                       PoolIdSource source = nullptr);
  ~ReconcileStatusStoragePools() override;

  void updateStatusFile() override;
  void initStatusObjects() override;
  void increasePremigedFiles(unsigned int poolId) override;
  void increasePremigedBlocks(unsigned long long blocks, unsigned int poolId) override;
  void increaseMigratedFiles(unsigned int poolId) override;
  void increaseMigratedBlocks(unsigned long long blocks, unsigned int poolId) override;

  uint64_t getPremigedFiles(unsigned int poolId) const { return pool(poolId).premigratedFiles; }
  uint64_t getPremigedBlocks(unsigned int poolId) const { return pool(poolId).premigratedBlocks; }
  uint64_t getMigratedFiles(unsigned int poolId) const { return pool(poolId).migratedFiles; }
  uint64_t getMigratedBlocks(unsigned int poolId) const { return pool(poolId).migratedBlocks; }
  const std::map<unsigned, ReconcilePoolStatus>& pools() const { return m_pools; }

 private:
  ReconcilePoolStatus pool(unsigned id) const;
  PoolIdSource m_source;
  std::map<unsigned, ReconcilePoolStatus> m_pools;
};

// New status object of the storage-pool flavour, or null.
ReconcileStatus* createReconcileStatus(const std::string& logPath = kReconcileLogPath);

#endif
