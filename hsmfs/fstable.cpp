#include "hsmfs/fstable.h"

#include <mntent.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locality.h"

namespace {

// File system types whose data lives elsewhere: never managed by this node.
bool isRemoteType(const std::string& type) {
  static const std::set<std::string> remote = {"nfs",  "nfs4",      "cifs",   "smb3",   "smbfs", "ncpfs",
                                               "afs",  "9p",        "ceph",   "glusterfs", "lustre",
                                               "fuse.sshfs", "davfs"};
  return remote.count(type) != 0;
}

bool isLoopbackOrAutomount(const mntent& m) {
  const std::string type = m.mnt_type;
  return type == "lofs" || type == "autofs" || hasmntopt(&m, "bind") != nullptr;
}

template <typename Fn>
bool forEachMount(const std::string& mtabPath, Fn fn) {
  FILE* table = setmntent(mtabPath.c_str(), "r");
  if (!table) return false;
  mntent entry;
  char buf[8192];
  while (getmntent_r(table, &entry, buf, sizeof buf)) fn(entry);
  endmntent(table);
  return true;
}

}  // namespace

int GetMountNumber(const std::string& mtabPath) {
  int count = 0;
  return forEachMount(mtabPath, [&](const mntent&) { ++count; }) ? count : -1;
}

mountedFSTable::mountedFSTable(const std::string& mtabPath) {
  forEachMount(mtabPath, [&](const mntent& m) {
    if (!m.mnt_dir || !*m.mnt_dir) return;
    if (isRemoteType(m.mnt_type) || isLoopbackOrAutomount(m)) return;
    if (strcmp(m.mnt_type, "orca") == 0 && !OrcaDevLocationInfo::the().isORCADeviceLocal(m.mnt_fsname)) return;
    m_mounts.emplace_back(m.mnt_dir);
  });
}

char* mountedFSTable::getNextMountedFS(char* buffer) {
  if (m_cursor >= m_mounts.size()) {
    buffer[0] = '\0';
    return nullptr;
  }
  snprintf(buffer, 1025, "%s", m_mounts[m_cursor++].c_str());
  return buffer;
}

int HsmFsTable::s_migOnOtherNode = 0;

HsmFsTable& HsmFsTable::the() {
  static HsmFsTable table;
  return table;
}

void HsmFsTable::clear() {
  std::lock_guard<std::mutex> guard(mountedMtx);
  m_mountedTable.reset();
  m_table.clear();
  m_lastMountCount = -1;
}

void HsmFsTable::updateMountedTable(int force) {
  const std::string& mtab = hsmSettings().mtabPath;
  int count = GetMountNumber(mtab);
  if (!force && count == m_lastMountCount && m_mountedTable) return;
  std::lock_guard<std::mutex> guard(mountedMtx);
  m_mountedTable.reset();
  m_mountedTable = std::make_unique<mountedFSTable>(mtab);
  m_lastMountCount = count;
}

bool HsmFsTable::isFsInMountedTable(const std::string& name) {
  if (!m_mountedTable) updateMountedTable(1);
  std::lock_guard<std::mutex> guard(mountedMtx);
  for (const std::string& mount : m_mountedTable->mountPoints())
    if (mount == name) return true;
  return false;
}

HsmFsTable::Table::iterator HsmFsTable::tryReadConfigAndAdd(const std::string& name, int force) {
  HsmFsEntry entry;
  entry.m_fsName = name;
  entry.initFsDependentValues();
  try {
    entry.readConfig(0, force ? 0 : 1);
  } catch (const cTextException& e) {
    TRACE(TR_CONFIG, "HsmFsTable: %s is not managed: %s\n", name.c_str(), e.what());
    return m_table.end();
  }
  return m_table.insert_or_assign(name, entry).first;
}

HsmFsTable::Table::iterator HsmFsTable::tryReadConfigOrErase(Table::iterator position, int force) {
  try {
    position->second.readConfig(0, force ? 0 : 1);
  } catch (const cTextException& e) {
    TRACE(TR_CONFIG, "HsmFsTable: dropping %s: %s\n", position->first.c_str(), e.what());
    m_table.erase(position);
    return m_table.end();
  }
  return position;
}

void HsmFsTable::updateManagedTable(int forceMounted, int force) {
  updateMountedTable(forceMounted);
  std::set<std::string> seen;
  {
    std::lock_guard<std::mutex> guard(mountedMtx);
    for (const std::string& mount : m_mountedTable->mountPoints()) {
      auto it = m_table.find(mount);
      it = it == m_table.end() ? tryReadConfigAndAdd(mount, force) : tryReadConfigOrErase(it, force);
      if (it != m_table.end()) seen.insert(mount);
    }
  }
  for (auto it = m_table.begin(); it != m_table.end();) {
    if (seen.count(it->first)) {
      ++it;
      continue;
    }
    TRACE(TR_CONFIG, "HsmFsTable: removing entry for non-mounted fs %s\n", it->first.c_str());
    it = m_table.erase(it);
  }
}

HsmFsTable::Table::iterator HsmFsTable::updateEntry(const std::string& name, int force) {
  auto it = m_table.find(name);
  if (it != m_table.end()) return tryReadConfigOrErase(it, force);
  if (!isFsInMountedTable(name)) {
    updateMountedTable(1);
    if (!isFsInMountedTable(name)) return m_table.end();
  }
  return tryReadConfigAndAdd(name, force);
}

HsmFsTable::Table HsmFsTable::getFsTable(int force) {
  updateManagedTable(0, force);
  return m_table;
}

int HsmFsTable::getFsEntry(const std::string& name, HsmFsEntry& out, int includeRemoteEntries, int displayError,
                           int force) {
  TREnterExit<char> ee(__FILE__, __LINE__, "HsmFsTable::getFsEntry()");
  if (!name.empty() && name[0] == '-') {
    nlprintf(kMsg1107, name.c_str());
    return 0;
  }
  auto it = updateEntry(name, force);
  if (it == m_table.end()) {
    if (displayError) nlfprintf(stderr, kMsg9085, hsmWhoAmI(), name.c_str());
    return 0;
  }
  if (includeRemoteEntries != 1 && !it->second.isLocalFs()) {
    if (displayError) nlfprintf(stderr, kMsg9084, hsmWhoAmI(), name.c_str());
    return 0;
  }
  out = it->second;
  return 1;
}

void managedFsTable::reset(int force) {
  m_localTable = HsmFsTable::the().getFsTable(force);
  m_cursor = m_localTable.begin();
  m_expired = false;
}

int managedFsTable::getEntry(HsmFsEntry& out, int includeRemoteEntries, int force) {
  if (m_expired) reset(force);
  if (includeRemoteEntries == 0)
    while (m_cursor != m_localTable.end() && !m_cursor->second.isLocalFs()) ++m_cursor;
  if (m_cursor == m_localTable.end()) return 0;
  out = m_cursor->second;
  ++m_cursor;
  return 1;
}
