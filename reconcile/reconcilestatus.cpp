#include "reconcile/reconcilestatus.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <sstream>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "hsmfs/pools.h"

ReconcileStatus::ReconcileStatus(const std::string& logPath) {
  // No wrapping, pruned entries beside the log, never pruned by age.
  m_logFile.InitializeLogFile(0, "kmrreconcile.pru", 10000, 'D', 0, false);
  // A log that cannot be opened is not this object's business to report:
  // the run goes on without it.
  if (!logPath.empty()) m_logFile.utOpenOutputFile(logPath.c_str());
}

ReconcileStatus::~ReconcileStatus() { m_logFile.close(); }

void ReconcileStatus::updateStatusFile() {
  TRACE(TR_SMRECONCILEDETAIL, "%s", toString().c_str());
}

void ReconcileStatus::increasePremigedFiles(unsigned int) { ++m_premigratedFiles; }
void ReconcileStatus::increasePremigedBlocks(unsigned long long blocks, unsigned int) {
  m_premigratedBlocks += blocks;
}
void ReconcileStatus::increaseMigratedFiles(unsigned int) { ++m_migratedFiles; }
void ReconcileStatus::increaseMigratedBlocks(unsigned long long blocks, unsigned int) {
  m_migratedBlocks += blocks;
}

void ReconcileStatus::ReconcileLogMsg(const char* text, const std::string& prefix) {
  if (!m_logFile.isOpen()) return;
  std::string line = " " + m_fileSystem + prefix + ": " + text;
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  m_logFile.writeEntry(line.c_str());
}

std::string ReconcileStatus::toString() const {
  std::ostringstream out;
  out << "file system: " << m_fileSystem << "\n"
      << "processed count: " << m_processedCount << "\n"
      << "valid count: " << m_validCount << "\n"
      << "expired count: " << m_expiredCount << "\n"
      << "new expired count: " << m_newExpiredCount << "\n"
      << "deleted count: " << m_deletedCount << "\n"
      << "orphaned count: " << m_orphanedCount << "\n"
      << "updated count: " << m_updatedCount << "\n"
      << "file list count: " << m_fileListCount << "\n"
      << "pre-migrated files: " << m_premigratedFiles << "\n"
      << "pre-migrated blocks: " << m_premigratedBlocks << "\n"
      << "migrated files: " << m_migratedFiles << "\n"
      << "migrated blocks: " << m_migratedBlocks << "\n"
      << "pid: " << m_pid << "\n"
      << "position: " << m_position << "\n"
      << "days for expiration: " << m_daysForExpiration << "\n"
      << "start time: " << m_startTime << "\n"
      << "update time: " << m_updateTime << "\n";
  return out.str();
}

ReconcileStatusStoragePools::ReconcileStatusStoragePools(const std::string& logPath,
                                                         PoolIdSource source)
    : ReconcileStatus(logPath), m_source(std::move(source)) {
  if (!m_source) {
    m_source = [](const std::string& fs, std::vector<unsigned>& ids) {
      StoragePoolUtil::getStoragePoolIds(fs, ids);
    };
  }
}

ReconcileStatusStoragePools::~ReconcileStatusStoragePools() { m_pools.clear(); }

void ReconcileStatusStoragePools::updateStatusFile() {
  TRACE(TR_SMRECONCILEDETAIL, "%s", toString().c_str());
  for (const auto& [id, p] : m_pools) {
    TRACE(TR_SMRECONCILEDETAIL, "pool %u: %llu %llu %llu %llu\n", id,
          static_cast<unsigned long long>(p.premigratedFiles),
          static_cast<unsigned long long>(p.premigratedBlocks),
          static_cast<unsigned long long>(p.migratedFiles),
          static_cast<unsigned long long>(p.migratedBlocks));
  }
}

void ReconcileStatusStoragePools::initStatusObjects() {
  std::vector<unsigned> ids;
  try {
    m_source(m_fileSystem, ids);
  } catch (...) {
    // The pool list only feeds statistics; the run goes on without it.
    int err = errno;
    nlfprintf(stderr, kMsg9457, hsmWhoAmI(), m_fileSystem.c_str(), strerror(err));
    return;
  }
  for (unsigned id : ids) m_pools[id] = ReconcilePoolStatus{};
}

ReconcilePoolStatus ReconcileStatusStoragePools::pool(unsigned id) const {
  auto it = m_pools.find(id);
  return it == m_pools.end() ? ReconcilePoolStatus{} : it->second;
}

void ReconcileStatusStoragePools::increasePremigedFiles(unsigned int poolId) {
  ++m_pools[poolId].premigratedFiles;
}
void ReconcileStatusStoragePools::increasePremigedBlocks(unsigned long long blocks,
                                                         unsigned int poolId) {
  m_pools[poolId].premigratedBlocks += blocks;
}
void ReconcileStatusStoragePools::increaseMigratedFiles(unsigned int poolId) {
  ++m_pools[poolId].migratedFiles;
}
void ReconcileStatusStoragePools::increaseMigratedBlocks(unsigned long long blocks,
                                                         unsigned int poolId) {
  m_pools[poolId].migratedBlocks += blocks;
}

ReconcileStatus* createReconcileStatus(const std::string& logPath) {
  ReconcileStatus* status = new (std::nothrow) ReconcileStatusStoragePools(logPath);
  if (status == nullptr) {
    TRACE(TR_SMRECONCILE, "%s: ERROR could not allocate memory for ReconcileStatus object.\n",
          "createReconcileStatus");
    return nullptr;
  }
  TRACE(TR_SMRECONCILE, "%s: ReconcileStatus object successfully created.\n",
        "createReconcileStatus");
  return status;
}
