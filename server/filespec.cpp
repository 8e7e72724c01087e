#include "server/filespec.h"

#include <mntent.h>

#include <new>

#include "common/rc.h"

fileSpec_t* fmNewFileSpec(const char* fsName, const char* hlName, const char* llName) {
  fileSpec_t* spec = new (std::nothrow) fileSpec_t;
  if (!spec) return nullptr;
  spec->fsName = fsName ? fsName : "";
  spec->hlName = hlName ? hlName : "";
  spec->llName = llName ? llName : "";
  return spec;
}

void fmDeleteFileSpec(fileSpec_t* spec) { delete spec; }

int fmSetPathName(fileSpec_t* spec, const char* path) {
  if (!spec || !path) return RC_INVALID_PARM;
  spec->pathName = path;
  return 0;
}

size_t fmBelowFsOffset(const fileSpec_t& spec) {
  const std::string& fs = spec.fsName;
  const std::string& p = spec.pathName;
  if (fs.empty() || fs == "/" || p.compare(0, fs.size(), fs) != 0) return 0;
  if (p.size() > fs.size() && p[fs.size()] != '/') return 0;
  return fs.size();
}

std::string fmPathBelowFs(const fileSpec_t& spec) { return spec.pathName.substr(fmBelowFsOffset(spec)); }

namespace {

bool coversPath(const std::string& mountPoint, const std::string& path) {
  if (mountPoint == "/") return true;
  return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
         (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

}  // namespace

bool fmFindMount(const std::string& path, const char* mountTable, std::string* mountPoint,
                 std::string* fsType) {
  FILE* table = setmntent(mountTable, "r");
  if (!table) return false;
  bool found = false;
  struct mntent entry;
  char buf[4096];
  while (getmntent_r(table, &entry, buf, sizeof buf)) {
    std::string dir = entry.mnt_dir;
    if (!coversPath(dir, path) || (found && dir.size() < mountPoint->size())) continue;
    *mountPoint = dir;
    *fsType = entry.mnt_type;
    found = true;
  }
  endmntent(table);
  return found;
}

fileSpec_t* parseBackOperand(const char* path, int* n, int flags, const char* mountTable) {
  (void)flags;
  if (!path || path[0] != '/') return nullptr;
  std::string p = path;
  if (p.back() == '/') return nullptr;
  std::string mount, type;
  if (!fmFindMount(p, mountTable, &mount, &type)) return nullptr;
  size_t fsLen = mount == "/" ? 0 : mount.size();
  size_t lastSlash = p.rfind('/');
  if (lastSlash < fsLen) return nullptr;  // the path is the mount point itself
  std::string hl = p.substr(fsLen, lastSlash - fsLen);
  std::string ll = p.substr(lastSlash);
  fileSpec_t* spec = fmNewFileSpec(mount.c_str(), hl.c_str(), ll.c_str());
  if (spec && n) *n = static_cast<int>(mount.size());
  return spec;
}
