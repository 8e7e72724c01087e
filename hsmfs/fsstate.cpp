#include "common/msgnum.h"
#include "common/safepath.h"
#include "hsmfs/fsstate.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/messages.h"
#include "common/trace.h"
#include "hsmfs/fstable.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/locks.h"

namespace {

constexpr const char* kGlobalLockName = "/config/dmiFSGlobalState.pid";
constexpr int kRegisterAttempts = 5;

// The record keeps handles zero padded to 32 bytes.
bool sameHandle(const DmHandle& a, const DmHandle& b) { return a.padded() == b.padded(); }

// Holds the global lock file exclusively while it lives.
class GlobalLock {
 public:
  explicit GlobalLock(int waitType) {
    rc_ = serAcquireSysLock(hsmSettings().nodeDir.c_str(), kGlobalLockName, waitType, 2, &handle_, 1);
  }
  ~GlobalLock() { serReleaseSysLock(&handle_); }
  bool held() const { return rc_ == 0; }

 private:
  DFpsFile* handle_ = nullptr;
  int rc_;
};

void waitWhileWriterHoldsLock() {
  while (serQuerySysLock(hsmSettings().nodeDir.c_str(), kGlobalLockName, 1) > 0) hsmEnv().globalStatePause();
}

bool writeAll(int fd, const void* data, size_t length) {
  return write(fd, data, length) == static_cast<ssize_t>(length);
}

// Creates (or rewrites) the state file of `fsName` with its "VOQStat"
// attribute and returns the file's handle.
int createStateFile(HsmAttrStore* store, uint64_t sid, const std::string& fsName, DmHandle* handle) {
  const std::string path = fsStateFilePath(fsName);
  {
    UniqueFd file(openCtlFile(fsName, kFSStateFileName, O_WRONLY | O_CREAT | O_TRUNC, 0660));
    if (!file) return -1;
    if (!writeAll(file.get(), kFSStateText, strlen(kFSStateText))) return -1;
    ctlFileGiveToOwner(file.get(), 0660);
  }
  if (!store->handleOfPath(path, handle)) return -1;
  fsmState st;
  st.flags = FSM_RECALL | FSM_MIGRATE;
  st.created = static_cast<int32_t>(time(nullptr));
  st.fsName = fsName;
  uint8_t buf[kVOQStatLen];
  if (!encodeVOQStat(st, buf)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (store->setDmattr(sid, *handle, kNoToken, kAttrStat, 0, sizeof buf, buf)) return 0;
  if (errno != ENOSPC && errno != E2BIG) return -1;
  // A file system whose attribute space cannot hold 1020 bytes (ext4 with
  // 1 KiB blocks): the value up to the name's terminating zero says the
  // same, since readers take a shorter value as padded with zeros.
  const size_t meaningful = std::min(kVOQStatLen, kVOQStatLen - kVOQStatNameLen + fsName.size() + 1);
  return store->setDmattr(sid, *handle, kNoToken, kAttrStat, 0, meaningful, buf) ? 0 : -1;
}

// Reads the records of the global file. 1 read, 0 file missing, -1 error or
// damaged (older format) file.
int readGlobalRecords(std::vector<GlobalStateRecord>* records, uint32_t* flags) {
  UniqueFd file(clOpenRegular(globalStateFilePath().c_str(), O_RDONLY, 0, LinkPolicy::kNoFollow));
  if (!file) return errno == ENOENT ? 0 : -1;
  uint32_t header = 0;
  if (read(file.get(), &header, sizeof header) != sizeof header) return -1;
  if (flags) *flags = header;
  uint8_t buf[kGlobalRecordLen];
  while (read(file.get(), buf, sizeof buf) == static_cast<ssize_t>(sizeof buf)) {
    GlobalStateRecord rec;
    if (!decodeGlobalRecord(buf, &rec)) {
      TRACE(TR_SMXDSM, "%s: %s file is either in pre-V5.5 format or corrupted!\n", hsmWhoAmI(),
            globalStateFilePath().c_str());
      return -1;
    }
    records->push_back(rec);
  }
  return 1;
}

int findStateHandle(const DmHandle& fsHandle, DmHandle* out) {
  waitWhileWriterHoldsLock();
  std::vector<GlobalStateRecord> records;
  int rc = readGlobalRecords(&records, nullptr);
  if (rc <= 0) return rc;
  // The newest record of the device wins: a file with records of an
  // earlier file system on the same device still lists those first.
  for (auto rec = records.rbegin(); rec != records.rend(); ++rec)
    if (sameHandle(rec->fsHandle, fsHandle)) {
      *out = rec->stateFileHandle;
      return 1;
    }
  return 0;
}

// Opens the global file for appending records, creating it with header 3.
UniqueFd openGlobalForUpdate() {
  UniqueFd file(
      clOpenRegular(globalStateFilePath().c_str(), O_RDWR | O_CREAT, 0660, LinkPolicy::kNoFollow));
  if (!file) return file;
  struct stat st;
  if (fstat(file.get(), &st) == 0 && st.st_size < static_cast<off_t>(kGlobalHeaderLen)) {
    uint32_t header = kGlobalFlagsNew;
    if (ftruncate(file.get(), 0) != 0 || !writeAll(file.get(), &header, sizeof header)) return UniqueFd();
  }
  return file;
}

bool appendRecord(int fd, const GlobalStateRecord& rec) {
  uint8_t buf[kGlobalRecordLen];
  encodeGlobalRecord(rec, buf);
  return lseek(fd, 0, SEEK_END) >= 0 && writeAll(fd, buf, sizeof buf);
}

}  // namespace

void encodeGlobalRecord(const GlobalStateRecord& rec, uint8_t out[kGlobalRecordLen]) {
  memset(out, 0, kGlobalRecordLen);
  const uint32_t len = kMaxHandleLen;
  memcpy(out, rec.fsHandle.data(), rec.fsHandle.size());
  memcpy(out + 32, &len, sizeof len);
  memcpy(out + 36, rec.stateFileHandle.data(), rec.stateFileHandle.size());
  memcpy(out + 68, &len, sizeof len);
}

bool decodeGlobalRecord(const uint8_t in[kGlobalRecordLen], GlobalStateRecord* rec) {
  uint32_t fsLen = 0, stateLen = 0;
  memcpy(&fsLen, in + 32, sizeof fsLen);
  memcpy(&stateLen, in + 68, sizeof stateLen);
  if (fsLen != kMaxHandleLen || stateLen != kMaxHandleLen) return false;
  rec->fsHandle = DmHandle(in, kMaxHandleLen);
  rec->stateFileHandle = DmHandle(in + 36, kMaxHandleLen);
  return true;
}

std::string globalStateFilePath() { return hsmSettings().configDir() + "/dmiFSGlobalState"; }

std::string fsStateFilePath(const std::string& fsName) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", fsName.c_str(), kFSStateFileName);
  return path;
}

int dmiCreateFSState(uint64_t sid, const std::string& fsName) {
  TREnterExit<char> ee(__FILE__, __LINE__, "dmiCreateFSState()");
  HsmAttrStore* store = hsmAttrStore();
  if (!store) {
    errno = ENXIO;
    return -1;
  }
  GlobalStateRecord rec;
  if (createStateFile(store, sid, fsName, &rec.stateFileHandle) != 0) return -1;
  if (!store->fsHandleOfPath(fsName, &rec.fsHandle)) return -1;
  for (int attempt = 0; attempt < kRegisterAttempts; ++attempt) {
    if (attempt > 0) sleep(1);
    GlobalLock lock(0);
    if (!lock.held()) continue;
    std::vector<GlobalStateRecord> records;
    if (readGlobalRecords(&records, nullptr) < 0) return DmiCreateGlobalStateFile(sid);
    for (const GlobalStateRecord& r : records)
      if (sameHandle(r.stateFileHandle, rec.stateFileHandle)) return 0;
    // A record of the same device with another state file belongs to an
    // earlier file system on that device (made anew since): it is replaced,
    // so that the device number alone never names the old one.
    std::vector<GlobalStateRecord> kept;
    for (const GlobalStateRecord& r : records)
      if (!sameHandle(r.fsHandle, rec.fsHandle)) kept.push_back(r);
    kept.push_back(rec);
    UniqueFd file = openGlobalForUpdate();
    if (!file || ftruncate(file.get(), kGlobalHeaderLen) != 0) return -1;
    for (const GlobalStateRecord& r : kept)
      if (!appendRecord(file.get(), r)) return -1;
    ctlFileGiveToOwner(file.get(), 0660);
    return fsync(file.get());
  }
  errno = EAGAIN;
  return -1;
}

int DmiCreateGlobalStateFile(uint64_t sid) {
  TREnterExit<char> ee(__FILE__, __LINE__, "DmiCreateGlobalStateFile()");
  HsmAttrStore* store = hsmAttrStore();
  if (!store) {
    errno = ENXIO;
    return -1;
  }
  GlobalLock lock(1);
  if (!lock.held()) return -1;
  const std::string path = globalStateFilePath();
  UniqueFd file = openGlobalForUpdate();
  if (!file) return -1;
  bool ok = ftruncate(file.get(), kGlobalHeaderLen) == 0;
  managedFsTable managed;
  HsmFsEntry entry;
  while (ok && managed.getEntry(entry, 1, 0)) {
    GlobalStateRecord rec;
    if (!store->fsHandleOfPath(entry.m_fsName, &rec.fsHandle)) continue;
    if (!store->handleOfPath(fsStateFilePath(entry.m_fsName), &rec.stateFileHandle) &&
        createStateFile(store, sid, entry.m_fsName, &rec.stateFileHandle) != 0)
      continue;
    ok = appendRecord(file.get(), rec);
  }
  if (!ok || fsync(file.get()) != 0) {
    int err = errno;
    trNlsLogPrintf(__FILE__, __LINE__, TR_SMXDSM, kMsg9527, hsmWhoAmI(), path.c_str(), strerror(err));
    unlink(path.c_str());
    errno = err;
    return -1;
  }
  if (ctlFileGiveToOwner(file.get(), 0660) != 0)
    trNlsLogPrintf(__FILE__, __LINE__, TR_SMXDSM, kMsg9312, hsmWhoAmI(), path.c_str(), strerror(errno));
  return 0;
}

int dmiGetFSStateHandle(uint64_t sid, const DmHandle& fsHandle, DmHandle* out) {
  struct stat st;
  if (stat(globalStateFilePath().c_str(), &st) != 0 && DmiCreateGlobalStateFile(sid) != 0) return -1;
  if (findStateHandle(fsHandle, out) == 1) return 0;
  if (DmiCreateGlobalStateFile(sid) != 0) return -1;
  if (findStateHandle(fsHandle, out) == 1) return 0;
  errno = ENOENT;
  return -1;
}

int dmiGetFSState(uint64_t sid, const DmHandle& stateFileHandle, fsmState* state) {
  HsmAttrStore* store = hsmAttrStore();
  if (!store) {
    errno = ENXIO;
    return -1;
  }
  uint8_t buf[kVOQStatLen] = {};
  size_t got = 0;
  if (!store->getDmattr(sid, stateFileHandle, kNoToken, kAttrStat, sizeof buf, buf, &got)) {
    int err = errno;
    char sidText[24];
    snprintf(sidText, sizeof sidText, "%llX", static_cast<unsigned long long>(sid));
    const std::string path = state->fsName.empty() ? "<NA>" : fsStateFilePath(state->fsName);
    trNlsLogPrintf(__FILE__, __LINE__, TR_SMXDSM, kMsg9511, hsmWhoAmI(), sidText, path.c_str(),
                   stateFileHandle.hex().c_str(), "DM_NO_TOKEN", strerror(err));
    errno = err;
    return -1;
  }
  fsmState read = decodeVOQStat(buf, got < sizeof buf ? got : sizeof buf);
  state->flags = read.flags;
  state->created = read.created;
  return 0;
}

int dmiEntryGetFSState(uint64_t sid, fsmState* state) {
  HsmAttrStore* store = hsmAttrStore();
  if (!store) {
    errno = ENXIO;
    return -1;
  }
  DmHandle fsHandle, stateHandle;
  if (!store->fsHandleOfPath(state->fsName, &fsHandle)) return -1;
  if (dmiGetFSStateHandle(sid, fsHandle, &stateHandle) != 0) return -1;
  return dmiGetFSState(sid, stateHandle, state);
}

int dmiEntryGetGlobalState(uint64_t, fsmState* state) {
  waitWhileWriterHoldsLock();
  uint32_t flags = 0;
  UniqueFd file(clOpenRegular(globalStateFilePath().c_str(), O_RDONLY, 0, LinkPolicy::kNoFollow));
  if (!file) return -1;
  if (read(file.get(), &flags, sizeof flags) != sizeof flags) {
    errno = EIO;
    return -1;
  }
  state->flags = flags & (FSM_RECALL | FSM_MIGRATE);
  return 0;
}

int dmiSetGlobalState(uint32_t flags) {
  GlobalLock lock(1);
  if (!lock.held()) return -1;
  UniqueFd file = openGlobalForUpdate();
  if (!file) return -1;
  return pwrite(file.get(), &flags, sizeof flags, 0) == sizeof flags ? 0 : -1;
}
