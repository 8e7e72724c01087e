#include "zefserver/migrate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "common/safepath.h"
#include "common/uniquefd.h"
#include "hsmfs/attrstore.h"
#include "hsmfs/fsstate.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/hsmenv.h"
#include "hsmfs/hsmsettings.h"
#include "hsmfs/recallgate.h"
#include "hsmfs/xdsmstore.h"
#include "hsmfs/xdsmapi.h"
#include "zefserver/objects.h"
#include "zefserver/stubrecord.h"
#include "zefserver/wire.h"

namespace zef {

namespace {

namespace fs = std::filesystem;

constexpr const char* kCaller = "zefadm";
constexpr const char* kMinimalConfig =
    "<?xml version='1.0' encoding='ISO-8859-1' ?>\n<HsmFsConfig>\n</HsmFsConfig>\n";

// The process's DMAPI session for one zefadm command; destroyed on every path.
class DmapiSession {
 public:
  DmapiSession() : api_(XDSMAPI::getXDSMAPI()) {
    if (api_->isInitialized() || api_->initService()) sid_ = api_->createSession(DM_NO_SESSION, kCaller, 0);
  }
  ~DmapiSession() {
    if (sid_ != DM_NO_SESSION) kmrDestroySession(sid_);
  }
  DmapiSession(const DmapiSession&) = delete;
  DmapiSession& operator=(const DmapiSession&) = delete;
  XDSMAPI* api() const { return api_; }
  dm_sessid_t sid() const { return sid_; }

 private:
  XDSMAPI* api_;
  dm_sessid_t sid_ = DM_NO_SESSION;
};

// Installs the HSM layer's env with `s` as its store for the lifetime of one
// command (zefadm's own wiring of that layer) and puts the previous one back.
class StoreRegistration {
 public:
  explicit StoreRegistration(HsmAttrStore* s) : previous_(hsmInstallEnv(HsmLayerEnv{.attrStore = s})) {}
  ~StoreRegistration() { hsmInstallEnv(std::move(previous_)); }
  StoreRegistration(const StoreRegistration&) = delete;
  StoreRegistration& operator=(const StoreRegistration&) = delete;

 private:
  HsmLayerEnv previous_;
};

// What the stub's making tells the record.
struct StubIdentity {
  uint64_t inode = 0;
  int64_t ctime = 0;
  DmHandle handle;
};

// The stub steps under an exclusive right on a user event's token, the same
// steps (and order) the command's recreation takes, so that a migrated file
// and a recreated one cannot be told apart.
class StubMaker {
 public:
  StubMaker(const DmapiSession& s, std::string mount, FILE* err) : s_(s), mount_(std::move(mount)), err_(err) {}

  // `fd` is the file opened beneath the mount; the handle comes from it, so
  // the stub is made of the file that was checked, whatever the path names now.
  std::optional<StubIdentity> make(const std::string& path, int fd, const ObjId& id, const FileAttrs& a) {
    OwnedHandle h;
    if (!handleSetWithFd(h.out(), fd)) return fail(path, "dm_path_to_handle");
    // The recall service's sign that this process is making the stub (hsmattr.h).
    StubMakingLock making(fd);
    if (!making.held()) return fail(path, "fcntl(F_SETLKW)");
    dm_token_t token = DM_NO_TOKEN;
    if (!s_.api()->createUserEvent(s_.sid(), 8, h.out(), &token)) return fail(path, "dm_create_userevent");
    std::optional<StubIdentity> r = underRight(path, fd, h.get(), token, id, a);
    int saved = errno;
    if (!r) {
      // A half-made stub must not look made: a later run would skip it and
      // it has no record. Whatever of it exists goes (the right is still held).
      s_.api()->removeDmattr(s_.sid(), h.get(), token, 0, kAttrObj);
      s_.api()->setRegion(s_.sid(), h.get(), token, 0, nullptr, nullptr);
    }
    dmiRequestRight(s_.sid(), h.get(), token, DM_RIGHT_NULL, 1, kCaller);
    if (r) {
      dmiRespondEventOk(s_.sid(), token);
      r->handle = handleValue(h.get());
    } else {
      dmiRespondEventAbort(s_.sid(), token, saved);
    }
    return r;
  }

 private:
  std::optional<StubIdentity> underRight(const std::string& path, int fd, xdsm_handle_t h, dm_token_t token,
                                         const ObjId& id, const FileAttrs& a) {
    XDSMAPI* api = s_.api();
    const dm_sessid_t sid = s_.sid();
    if (dmiRequestRight(sid, h, token, DM_RIGHT_EXCL, 16, kCaller) != 0) return fail(path, "dm_request_right");
    dm_off_t holeOffset = 0;
    dm_size_t holeLength = 0;
    if (!api->probeHole(sid, h, token, 0, 0, &holeOffset, &holeLength)) return fail(path, "dm_probe_hole");
    if (holeOffset != 0) {
      errno = E2BIG;
      return fail(path, "dm_probe_hole");
    }
    uint8_t record[kStubRecordLen];
    encodeStubRecord(id, a, record);
    if (!api->setDmattr(sid, h, token, kAttrObj, 0, sizeof record, record)) return fail(path, "dm_set_dmattr");
    dm_region_t region{0, 0, DMI_REGION_STUB, 0};
    if (!api->setRegion(sid, h, token, 1, &region, nullptr)) return fail(path, "dm_set_region");
    // kmrrecalld must stop excusing the file from recall before its data goes.
    if ((errno = askRecallGate(mount_, fd)) != 0) return fail(path, "the recall gate (.Tarnveld/.kmrrecalld.sock)");
    if (!api->punchHole(sid, h, token, 0, holeLength)) return fail(path, "dm_punch_hole");
    dm_stat_t st{};
    if (!api->getFileAttr(sid, h, token, 0x1000, &st)) return fail(path, "dm_get_fileattr");
    StubIdentity r;
    r.inode = st.dt_ino;
    r.ctime = st.dt_ctime;
    return r;
  }

  std::nullopt_t fail(const std::string& path, const char* op) {
    fprintf(err_, "zefadm: %s: %s failed: %s\n", path.c_str(), op, strerror(errno));
    return std::nullopt;
  }

  const DmapiSession& s_;
  std::string mount_;
  FILE* err_;
};

// The stored block with the stub's inode, change time and handle form.
std::vector<uint8_t> storedBlock(FileAttrs a, const StubIdentity& stub) {
  a.inode = static_cast<uint32_t>(stub.inode);
  a.ctime = static_cast<uint32_t>(stub.ctime);
  return encodeAttrBlock(a, stub.handle);
}

// Regular files below `dir` in byte order of their names, depth first,
// without following symbolic links; .Tarnveld directly under the mount
// point is the HSM's own and never migrated.
void collectFiles(const fs::path& dir, const fs::path& tarnveld, std::vector<fs::path>& files) {
  std::vector<fs::path> entries;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) entries.push_back(e.path());
  std::sort(entries.begin(), entries.end(),
            [](const fs::path& x, const fs::path& y) { return x.native() < y.native(); });
  for (const fs::path& p : entries) {
    fs::file_status st = fs::symlink_status(p);
    if (fs::is_directory(st) && p != tarnveld) collectFiles(p, tarnveld, files);
    if (fs::is_regular_file(st)) files.push_back(p);
  }
}

// What manage-fs made, removed again (newest first) unless kept, so that a
// failed call leaves the file system as it found it.
class MadeFiles {
 public:
  ~MadeFiles() {
    for (auto it = paths_.rbegin(); it != paths_.rend(); ++it)
      if (unlink(it->c_str()) != 0 && errno == EISDIR) rmdir(it->c_str());
  }
  void add(const std::string& path) { paths_.push_back(path); }
  void keep() { paths_.clear(); }

 private:
  std::vector<std::string> paths_;
};

// True when `path` is a directory on which a file system is mounted (the
// state file and .Tarnveld belong to the root of one); else says why on `err`.
bool isMountPoint(const std::string& path, FILE* err) {
  struct statx stx {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE | STATX_INO, &stx) != 0) {
    fprintf(err, "zefadm: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  if (!S_ISDIR(stx.stx_mode)) {
    fprintf(err, "zefadm: %s is not a directory\n", path.c_str());
    return false;
  }
  bool root = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
  if (!(stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
    // An older kernel: a mount point lies on another device than its
    // parent, or is "/" itself.
    struct stat self {}, parent {};
    root = stat(path.c_str(), &self) == 0 && stat((path + "/..").c_str(), &parent) == 0 &&
           (self.st_dev != parent.st_dev || self.st_ino == parent.st_ino);
  }
  if (!root)
    fprintf(err, "zefadm: %s is not a mount point: manage-fs takes the directory a file system is mounted on\n",
            path.c_str());
  return root;
}

bool carriesObjectRecord(const DmapiSession& s, int fd) {
  OwnedHandle h;
  if (!handleSetWithFd(h.out(), fd)) return false;
  uint8_t buf[kStubRecordLen];
  size_t len = 0;
  return s.api()->getDmattr(s.sid(), h.get(), DM_NO_TOKEN, kAttrObj, sizeof buf, buf, &len) != 0;
}

}  // namespace

int manageFileSystem(const std::string& mountPoint, FILE* out, FILE* err) {
  const std::string tarnveld = mountPoint + "/.Tarnveld";
  const std::string config = tarnveld + "/hsmfsconfig.xml";
  // Everything that can be checked is checked before anything is made.
  if (!isMountPoint(mountPoint, err)) return 1;
  const std::string nodeConfig = hsmSettings().configDir();
  struct stat st {};
  const int missing = stat(nodeConfig.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (missing != 0) {
    fprintf(err,
            "zefadm: the node's HSM directory %s is missing (%s): it holds the node's global state file.\n"
            "Install the client package, or make it: mkdir -p -m 0755 %s\n",
            nodeConfig.c_str(), strerror(missing), nodeConfig.c_str());
    return 1;
  }
  MadeFiles made;
  if (mkdir(tarnveld.c_str(), 0755) == 0) {
    made.add(tarnveld);
  } else if (errno != EEXIST) {
    fprintf(err, "zefadm: cannot create %s: %s\n", tarnveld.c_str(), strerror(errno));
    return 1;
  }
  if (access(config.c_str(), F_OK) != 0) {
    FILE* f = fopen(config.c_str(), "wx");
    if (f) made.add(config);
    if (!f || fputs(kMinimalConfig, f) < 0 || fclose(f) != 0) {
      fprintf(err, "zefadm: cannot write %s: %s\n", config.c_str(), strerror(errno));
      return 1;
    }
  }
  const std::string stateFile = fsStateFilePath(mountPoint);
  if (access(stateFile.c_str(), F_OK) != 0) made.add(stateFile);
  DmapiSession session;
  if (session.sid() == DM_NO_SESSION) {
    fprintf(err, "zefadm: no DMAPI session: %s\n", strerror(errno));
    return 1;
  }
  StoreRegistration registration(xdsmAttrStore());
  if (dmiCreateFSState(session.sid(), mountPoint) != 0) {
    fprintf(err, "zefadm: cannot create the state file of %s: %s\n", mountPoint.c_str(), strerror(errno));
    return 1;
  }
  made.keep();
  fprintf(out, "%s is a managed file system\n", mountPoint.c_str());
  return 0;
}

namespace {

// Copies the file's bytes into a new data file and inserts the object with
// its data reference in one committed transaction. The object number, or
// nullopt after a line on `err`.
std::optional<uint64_t> storeWithData(Store& store, DataDir& data, uint32_t fsId, const std::string& alias,
                                      const std::vector<uint8_t>& attrs, int fd, uint64_t size, FILE* err) {
  DataWriter writer(data, 0);
  Sha256 sha;
  std::vector<uint8_t> buf(1 << 20);
  uint64_t at = 0;
  while (at < size && !writer.error()) {
    ssize_t n = pread(fd, buf.data(), std::min<uint64_t>(buf.size(), size - at), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fprintf(err, "zefadm: %s: read failed: %s\n", alias.c_str(), n < 0 ? strerror(errno) : "file shrank");
      return std::nullopt;
    }
    sha.add(buf.data(), static_cast<size_t>(n));
    writer.write(buf.data(), static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  if (int e = writer.sync()) {
    fprintf(err, "zefadm: %s: data not stored: %s\n", alias.c_str(), strerror(e));
    return std::nullopt;
  }
  Store::WriteTxn txn(store);
  const uint64_t num = store.insertObject(fsId, alias, attrs);
  insertDataRef(store, num, DataRef{size, sha.final()});
  if (int e = writer.publish(num)) {
    fprintf(err, "zefadm: %s: data not stored: %s\n", alias.c_str(), strerror(e));
    data.remove(num);
    return std::nullopt;
  }
  txn.commit();
  return num;
}

}  // namespace

int migrateTree(Store& store, DataDir& data, uint32_t fsId, const std::string& mountPoint, const std::string& dir,
                FILE* out, FILE* err) {
  std::error_code ec;
  const fs::path mount = fs::canonical(mountPoint, ec);
  const fs::path top = ec ? fs::path() : fs::canonical(dir, ec);
  if (ec) {
    fprintf(err, "zefadm: %s: %s\n", (mount.empty() ? mountPoint : dir).c_str(), ec.message().c_str());
    return 1;
  }
  const fs::path rel = top.lexically_relative(mount);
  if (rel.empty() || *rel.begin() == "..") {
    fprintf(err, "zefadm: %s is not below %s\n", dir.c_str(), mountPoint.c_str());
    return 1;
  }
  DmapiSession session;
  if (session.sid() == DM_NO_SESSION) {
    fprintf(err, "zefadm: no DMAPI session: %s\n", strerror(errno));
    return 1;
  }
  std::vector<fs::path> files;
  try {
    collectFiles(top, mount / ".Tarnveld", files);
  } catch (const fs::filesystem_error& e) {
    fprintf(err, "zefadm: %s\n", e.what());
    return 1;
  }
  UniqueFd mountFd(safeOpenMountRoot(mount.string()));
  if (!mountFd) {
    fprintf(err, "zefadm: %s: %s\n", mount.c_str(), strerror(errno));
    return 1;
  }
  StubMaker maker(session, mount.string(), err);
  unsigned long long migrated = 0, skipped = 0, failed = 0;
  for (const fs::path& p : files) {
    struct stat st;
    // Users may swap a directory of the tree for a link, or a file for a
    // FIFO, after it was listed: nothing but a regular file beneath the
    // mount is opened.
    // Its data is read for the server without touching the access time the stub keeps.
    UniqueFd file(safeOpenRegularBeneath(mountFd.get(), p.lexically_relative(mount).c_str(), O_RDONLY | O_NOATIME));
    if (!file || fstat(file.get(), &st) != 0 || st.st_size == 0 ||
        carriesObjectRecord(session, file.get())) {
      ++skipped;  // vanished, replaced, empty (nothing to migrate) or already a stub
      continue;
    }
    FileAttrs a;
    a.size = static_cast<uint64_t>(st.st_size);
    a.mode = st.st_mode;
    a.uid = st.st_uid;
    a.gid = st.st_gid;
    a.atime = static_cast<uint32_t>(st.st_atime);
    a.mtime = static_cast<uint32_t>(st.st_mtime);
    a.ctime = static_cast<uint32_t>(st.st_ctime);
    a.inode = static_cast<uint32_t>(st.st_ino);
    const std::string alias = "/" + p.lexically_relative(mount).string();
    std::optional<uint64_t> stored =
        storeWithData(store, data, fsId, alias, encodeAttrBlock(a), file.get(), a.size, err);
    if (!stored) {
      ++failed;
      continue;
    }
    const uint64_t num = *stored;
    std::optional<StubIdentity> stub = maker.make(p, file.get(), makeObjId(fsId, num), a);
    if (!stub) {
      // The file stays whole; its copy goes again.
      Store::WriteTxn undo(store);
      store.deleteObject(num);
      undo.commit();
      data.remove(num);
      ++failed;
      continue;
    }
    Store::WriteTxn txn(store);
    store.updateAttrs(num, storedBlock(a, *stub));
    txn.commit();
    fprintf(out, "migrated %s (%llu bytes) as %s\n", alias.c_str(), static_cast<unsigned long long>(a.size),
            hexUpper(makeObjId(fsId, num).data(), kObjIdLen).c_str());
    ++migrated;
  }
  fprintf(out, "%llu files migrated, %llu skipped, %llu failed\n", migrated, skipped, failed);
  return failed ? 1 : 0;
}

}  // namespace zef
