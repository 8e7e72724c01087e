// DMAPI handles over the kernel's file handles, and the mount table that lets
// a handle be opened again in any process.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "xdsm_internal.h"

namespace xdsm {
namespace {

struct MountEntry {
  std::string mountPoint;
  std::string fsType;
};

std::mutex g_mountMutex;
std::map<uint64_t, MountEntry> g_mounts;

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// Reads the whole table. A mount whose root is the file system's own root
// wins over a bind mount of a subdirectory, so that every handle of the file
// system can be opened through it.
std::map<uint64_t, MountEntry> readMountInfo() {
  std::map<uint64_t, MountEntry> table;
  std::map<uint64_t, bool> fromRoot;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, mountPoint, word;
    if (!(fields >> id >> parent >> devno >> root >> mountPoint)) continue;
    while (fields >> word && word != "-") {
    }
    std::string fsType;
    fields >> fsType;
    unsigned major = 0, minor = 0;
    if (sscanf(devno.c_str(), "%u:%u", &major, &minor) != 2) continue;
    uint64_t fsid = makedev(major, minor);
    bool isRoot = (root == "/");
    auto known = fromRoot.find(fsid);
    if (known != fromRoot.end() && (known->second || !isRoot)) continue;
    table[fsid] = MountEntry{unescapeMountField(mountPoint), fsType};
    fromRoot[fsid] = isRoot;
  }
  return table;
}

bool stillMounted(uint64_t fsid, const MountEntry& entry) {
  struct statx stx;
  if (statx(AT_FDCWD, entry.mountPoint.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0)
    return false;
  return makedev(stx.stx_dev_major, stx.stx_dev_minor) == fsid;
}

void* copyOut(const unsigned char* bytes, size_t len) {
  void* p = malloc(len);
  if (p) memcpy(p, bytes, len);
  return p;
}

}  // namespace

bool decodeHandle(const void* hanp, size_t hlen, DecodedHandle* out) {
  if (!hanp || hlen < kFsHandleLen || hlen > DM_MAX_HANDLE_SIZE) return false;
  const auto* bytes = static_cast<const unsigned char*>(hanp);
  DecodedHandle h;
  memcpy(&h.fsid, bytes + 1, sizeof h.fsid);
  if (bytes[0] == kFsHandleKind) {
    if (hlen != kFsHandleLen) return false;
    h.isFs = true;
  } else if (bytes[0] == kFileHandleKind) {
    if (hlen < kFileHandleHeader + 1) return false;
    h.fhType = bytes[9];
    h.fhLen = bytes[10];
    if (h.fhLen == 0 || kFileHandleHeader + h.fhLen != hlen) return false;
    h.fh = bytes + kFileHandleHeader;
  } else {
    return false;
  }
  *out = h;
  return true;
}

int makeFsHandle(uint64_t fsid, void** hanpp, size_t* hlenp) {
  unsigned char bytes[kFsHandleLen];
  bytes[0] = kFsHandleKind;
  memcpy(bytes + 1, &fsid, sizeof fsid);
  void* p = copyOut(bytes, sizeof bytes);
  if (!p) return fail(ENOMEM);
  *hanpp = p;
  *hlenp = sizeof bytes;
  return 0;
}

int makeFileHandle(uint64_t fsid, int fhType, const unsigned char* fh, size_t fhLen, void** hanpp,
                   size_t* hlenp) {
  // Handles that cannot be held in 32 bytes are refused rather than cut.
  if (fhType < 0 || fhType > 255 || fhLen == 0 || fhLen > kMaxKernelHandle) return fail(EINVAL);
  unsigned char bytes[DM_MAX_HANDLE_SIZE];
  bytes[0] = kFileHandleKind;
  memcpy(bytes + 1, &fsid, sizeof fsid);
  bytes[9] = static_cast<unsigned char>(fhType);
  bytes[10] = static_cast<unsigned char>(fhLen);
  memcpy(bytes + kFileHandleHeader, fh, fhLen);
  size_t len = kFileHandleHeader + fhLen;
  void* p = copyOut(bytes, len);
  if (!p) return fail(ENOMEM);
  *hanpp = p;
  *hlenp = len;
  return 0;
}

int findMount(uint64_t fsid, std::string* mountPoint, std::string* fsType) {
  std::lock_guard<std::mutex> lock(g_mountMutex);
  auto it = g_mounts.find(fsid);
  if (it == g_mounts.end() || !stillMounted(fsid, it->second)) {
    g_mounts = readMountInfo();
    it = g_mounts.find(fsid);
    if (it == g_mounts.end()) return fail(ESTALE);
  }
  if (mountPoint) *mountPoint = it->second.mountPoint;
  if (fsType) *fsType = it->second.fsType;
  return 0;
}

int openMountDir(uint64_t fsid, UniqueFd* out) {
  std::string mountPoint;
  if (findMount(fsid, &mountPoint, nullptr) != 0) return -1;
  // open_by_handle_at refuses an O_PATH descriptor as its mount fd.
  UniqueFd fd(open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return -1;
  *out = std::move(fd);
  return 0;
}

int openByHandleAt(int mountFd, const DecodedHandle& h, int flags, UniqueFd* out) {
  union {
    struct file_handle fh;
    unsigned char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  } buffer;
  buffer.fh.handle_bytes = h.fhLen;
  buffer.fh.handle_type = h.fhType;
  memcpy(buffer.fh.f_handle, h.fh, h.fhLen);
  UniqueFd fd(open_by_handle_at(mountFd, &buffer.fh, flags | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return -1;
  *out = std::move(fd);
  return 0;
}

int openObject(const void* hanp, size_t hlen, int flags, UniqueFd* out) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h)) return fail(EINVAL);
  UniqueFd mount;
  if (openMountDir(h.fsid, &mount) != 0) return -1;
  if (h.isFs) {
    UniqueFd fd(openat(mount.get(), ".", flags | O_CLOEXEC | O_DIRECTORY));
    if (!fd.valid()) return -1;
    *out = std::move(fd);
    return 0;
  }
  return openByHandleAt(mount.get(), h, flags, out);
}

int openForWorkAt(int mountFd, const DecodedHandle& h, bool writable, UniqueFd* out, struct statx* stx) {
  const int common = O_NOATIME | O_NONBLOCK | O_CLOEXEC;
  if (h.isFs) {
    UniqueFd fd(openat(mountFd, ".", O_RDONLY | O_DIRECTORY | common));
    if (!fd.valid() || statx(fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, stx) != 0) return -1;
    *out = std::move(fd);
    return 0;
  }
  UniqueFd probe;
  if (openByHandleAt(mountFd, h, O_PATH, &probe) != 0) return -1;
  if (statx(probe.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, stx) != 0) return -1;
  if (!S_ISREG(stx->stx_mode) && !S_ISDIR(stx->stx_mode)) return fail(EINVAL);
  // The same handle names the same inode (or none: ESTALE); opening it again
  // needs no path and no /proc.
  const int mode = (S_ISREG(stx->stx_mode) && writable) ? O_RDWR : O_RDONLY;
  return openByHandleAt(mountFd, h, mode | common, out);
}

int openForWork(const void* hanp, size_t hlen, bool writable, UniqueFd* out) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h)) return fail(EINVAL);
  UniqueFd mount;
  if (openMountDir(h.fsid, &mount) != 0) return -1;
  struct statx stx;
  return openForWorkAt(mount.get(), h, writable, out, &stx);
}

}  // namespace xdsm

using namespace xdsm;

namespace {

// The kernel's handle of dirfd/path (AT_EMPTY_PATH: of dirfd itself) and the
// object's status, taken through a descriptor of the object itself.
int kernelHandleAt(int dirfd, const char* path, int atFlags, struct file_handle* fh, struct statx* stx) {
  fh->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (name_to_handle_at(dirfd, path, fh, &mountId, atFlags) != 0) return -1;
  if (atFlags & AT_EMPTY_PATH) return statx(dirfd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, stx);
  UniqueFd fd(openat(dirfd, path, O_PATH | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return -1;
  return statx(fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, stx);
}

union KernelHandle {
  struct file_handle fh;
  unsigned char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
};

int handleOfPathAt(int dirfd, const char* path, int atFlags, void** hanpp, size_t* hlenp,
                   struct statx* stx) {
  KernelHandle buffer;
  if (kernelHandleAt(dirfd, path, atFlags, &buffer.fh, stx) != 0) return -1;
  return makeFileHandle(makedev(stx->stx_dev_major, stx->stx_dev_minor), buffer.fh.handle_type,
                        buffer.fh.f_handle, buffer.fh.handle_bytes, hanpp, hlenp);
}

}  // namespace

extern "C" {

int dm_path_to_handle(char* path, void** hanpp, size_t* hlenp) {
  if (!path || !hanpp || !hlenp) return fail(EFAULT);
  struct statx stx;
  return handleOfPathAt(AT_FDCWD, path, 0, hanpp, hlenp, &stx);
}

int dm_fd_to_handle(int fd, void** hanpp, size_t* hlenp) {
  if (!hanpp || !hlenp) return fail(EFAULT);
  struct statx stx;
  return handleOfPathAt(fd, "", AT_EMPTY_PATH, hanpp, hlenp, &stx);
}

int dmx_fd_to_handle_for_token(dm_sessid_t sid, dm_token_t token, int fd, void** hanpp, size_t* hlenp) {
  if (!hanpp || !hlenp) return fail(EFAULT);
  struct statx stx;
  void* hanp = nullptr;
  size_t hlen = 0;
  if (handleOfPathAt(fd, "", AT_EMPTY_PATH, &hanp, &hlen, &stx) != 0) return -1;
  if (keepCallersObject(sid, token, hanp, hlen, fd, stx) != 0) {
    dm_handle_free(hanp, hlen);
    return -1;
  }
  *hanpp = hanp;
  *hlenp = hlen;
  return 0;
}

int dm_path_to_fshandle(char* path, void** hanpp, size_t* hlenp) {
  if (!path || !hanpp || !hlenp) return fail(EFAULT);
  struct statx stx;
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) return -1;
  return makeFsHandle(makedev(stx.stx_dev_major, stx.stx_dev_minor), hanpp, hlenp);
}

int dm_handle_to_fshandle(void* hanp, size_t hlen, void** fshanpp, size_t* fshlenp) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h)) return fail(EINVAL);
  if (!fshanpp || !fshlenp) return fail(EFAULT);
  return makeFsHandle(h.fsid, fshanpp, fshlenp);
}

int dm_make_fshandle(dm_fsid_t* fsidp, void** hanpp, size_t* hlenp) {
  if (!fsidp || !hanpp || !hlenp) return fail(EFAULT);
  return makeFsHandle(*fsidp, hanpp, hlenp);
}

// Building a handle from its parts needs the file system's own handle layout.
// Two layouts are known: the generic 32-bit inode + generation one (ext2/3/4
// and most disk file systems: type 1, 8 bytes) and tmpfs's (type 1, 12 bytes:
// generation, then the 64-bit inode as two 32-bit words).
int dm_make_handle(dm_fsid_t* fsidp, dm_ino_t* inop, dm_igen_t* igenp, void** hanpp,
                   size_t* hlenp) {
  if (!fsidp || !inop || !igenp || !hanpp || !hlenp) return fail(EFAULT);
  std::string fsType;
  if (findMount(*fsidp, nullptr, &fsType) != 0) return -1;
  uint32_t words[3];
  size_t len;
  if (fsType == "tmpfs") {
    words[0] = *igenp;
    words[1] = static_cast<uint32_t>(*inop);
    words[2] = static_cast<uint32_t>(*inop >> 32);
    len = 12;
  } else if (fsType == "ext2" || fsType == "ext3" || fsType == "ext4") {
    if (*inop > UINT32_MAX) return fail(EINVAL);
    words[0] = static_cast<uint32_t>(*inop);
    words[1] = *igenp;
    len = 8;
  } else {
    return fail(ENOSYS);
  }
  return makeFileHandle(*fsidp, 1, reinterpret_cast<unsigned char*>(words), len, hanpp, hlenp);
}

int dm_handle_to_fsid(void* hanp, size_t hlen, dm_fsid_t* fsidp) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h)) return fail(EINVAL);
  if (!fsidp) return fail(EFAULT);
  *fsidp = h.fsid;
  return 0;
}

int dm_handle_to_ino(void* hanp, size_t hlen, dm_ino_t* inop) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h) || h.isFs) return fail(EINVAL);
  if (!inop) return fail(EFAULT);
  // The inode number is read from the object itself, which works for every
  // file system whatever its handle layout.
  UniqueFd fd;
  if (openObject(hanp, hlen, O_PATH, &fd) != 0) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  *inop = st.st_ino;
  return 0;
}

int dm_handle_to_igen(void* hanp, size_t hlen, dm_igen_t* igenp) {
  DecodedHandle h;
  if (!decodeHandle(hanp, hlen, &h) || h.isFs) return fail(EINVAL);
  if (!igenp) return fail(EFAULT);
  uint32_t words[3] = {0, 0, 0};
  memcpy(words, h.fh, h.fhLen < sizeof words ? h.fhLen : sizeof words);
  if (h.fhType == 1 && h.fhLen == 8) {
    *igenp = words[1];
    return 0;
  }
  if (h.fhType == 1 && h.fhLen == 12) {
    *igenp = words[0];
    return 0;
  }
  UniqueFd fd;
  if (openForWork(hanp, hlen, false, &fd) != 0) return -1;
  int generation = 0;
  if (ioctl(fd.get(), FS_IOC_GETVERSION, &generation) != 0) return -1;
  *igenp = static_cast<dm_igen_t>(generation);
  return 0;
}

int dm_handle_to_path(void* dirhanp, size_t dirhlen, void* targhanp, size_t targhlen, size_t buflen,
                      char* pathbufp, size_t* rlenp) {
  DecodedHandle dir, target;
  if (!decodeHandle(dirhanp, dirhlen, &dir) || !decodeHandle(targhanp, targhlen, &target) ||
      target.isFs || dir.fsid != target.fsid)
    return fail(EINVAL);
  if (!rlenp || (!pathbufp && buflen > 0)) return fail(EFAULT);
  UniqueFd dirFd, targetFd;
  if (openObject(dirhanp, dirhlen, O_PATH, &dirFd) != 0) return -1;
  if (openObject(targhanp, targhlen, O_PATH, &targetFd) != 0) return -1;
  char dirPath[PATH_MAX + 1], targetPath[PATH_MAX + 1];
  std::string dirLink = "/proc/self/fd/" + std::to_string(dirFd.get());
  std::string targetLink = "/proc/self/fd/" + std::to_string(targetFd.get());
  ssize_t dn = readlink(dirLink.c_str(), dirPath, PATH_MAX);
  ssize_t tn = readlink(targetLink.c_str(), targetPath, PATH_MAX);
  if (dn < 0 || tn < 0) return -1;
  std::string dirText(dirPath, dn), targetText(targetPath, tn);
  // A removed or unreachable target has no path to give.
  if (targetText.find(" (deleted)") != std::string::npos || targetText.empty() ||
      targetText[0] != '/')
    return fail(ENOENT);
  std::string prefix = dirText == "/" ? "/" : dirText + "/";
  if (targetText.compare(0, prefix.size(), prefix) != 0) return fail(EINVAL);
  *rlenp = targetText.size() + 1;
  if (buflen < targetText.size() + 1) return fail(E2BIG);
  memcpy(pathbufp, targetText.c_str(), targetText.size() + 1);
  return 0;
}

dm_boolean_t dm_handle_is_valid(void* hanp, size_t hlen) {
  DecodedHandle h;
  return decodeHandle(hanp, hlen, &h) ? DM_TRUE : DM_FALSE;
}

int dm_handle_cmp(void* hanp1, size_t hlen1, void* hanp2, size_t hlen2) {
  size_t common = hlen1 < hlen2 ? hlen1 : hlen2;
  int byBytes = (common && hanp1 && hanp2) ? memcmp(hanp1, hanp2, common) : 0;
  if (byBytes != 0) return byBytes < 0 ? -1 : 1;
  if (hlen1 == hlen2) return 0;
  return hlen1 < hlen2 ? -1 : 1;
}

unsigned int dm_handle_hash(void* hanp, size_t hlen) {
  // FNV-1a: cheap and spreads the inode bytes well.
  unsigned int hash = 2166136261u;
  const auto* bytes = static_cast<const unsigned char*>(hanp);
  for (size_t i = 0; bytes && i < hlen; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

void dm_handle_free(void* hanp, size_t) { free(hanp); }

}  // extern "C"
