// The table of managed file systems: every mounted local file system whose
// ".Tarnveld" directory holds a readable configuration.
//
// Contract
// - HsmFsTable is a process-wide singleton. Any thread may use it; the
//   mounted list is guarded by one mutex, the map is not (it is filled on
//   the main thread before others start).
// - Entries are refreshed lazily: an entry is re-read only when its XML
//   file's modification time changed or a caller forces it; the mounted list
//   is rebuilt only when the mount table's entry count changes or a lookup
//   misses. Exceptions of the entries never leave the table.
// - The mount table is read from hsmSettings().mtabPath ("/etc/mtab").
#ifndef KMR_HSMFS_FSTABLE_H
#define KMR_HSMFS_FSTABLE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hsmfs/fsentry.h"

// Mount points of the local file systems, read once at construction.
class mountedFSTable {
 public:
  explicit mountedFSTable(const std::string& mtabPath);
  void reset() { m_cursor = 0; }
  // Copies the next mount point (at most 1024 characters) into `buffer` and
  // returns it; at the end stores "" and returns null.
  char* getNextMountedFS(char* buffer);
  const std::vector<std::string>& mountPoints() const { return m_mounts; }

 private:
  std::vector<std::string> m_mounts;
  size_t m_cursor = 0;
};

// Number of entries in a mount table file; -1 when it cannot be read.
int GetMountNumber(const std::string& mtabPath);

class HsmFsTable {
 public:
  using Table = std::map<std::string, HsmFsEntry>;

  static HsmFsTable& the();
  static int s_migOnOtherNode;

  // 1 and the entry when `name` is a managed file system, else 0 (messages
  // 1107, 9085 and 9084 as described in the implementation).
  int getFsEntry(const std::string& name, HsmFsEntry& out, int includeRemoteEntries, int displayError, int force);
  Table::iterator updateEntry(const std::string& name, int force);
  Table getFsTable(int force);
  void updateManagedTable(int forceMounted, int force);
  void updateMountedTable(int force);
  bool isFsInMountedTable(const std::string& name);
  Table::iterator end() { return m_table.end(); }

  // Drops everything (tests and a changed configuration root).
  void clear();

 private:
  HsmFsTable() = default;
  Table::iterator tryReadConfigAndAdd(const std::string& name, int force);
  Table::iterator tryReadConfigOrErase(Table::iterator position, int force);

  std::unique_ptr<mountedFSTable> m_mountedTable;
  Table m_table;
  int32_t m_lastMountCount = -1;
  std::mutex mountedMtx;
};

// Snapshot iterator over the managed file systems, in byte order of names.
class managedFsTable {
 public:
  int getEntry(HsmFsEntry& out, int includeRemoteEntries, int force);
  void reset(int force);

 private:
  bool m_expired = true;
  HsmFsTable::Table m_localTable;
  HsmFsTable::Table::iterator m_cursor = m_localTable.end();
};

#endif
