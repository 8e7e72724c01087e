// The transaction list's DMAPI handle lookup, with the checks a path from the
// server must pass before this root process touches it.
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "common/trace.h"
#include "server/serverlayer.h"
#include "server/tcpcomm.h"

namespace {

// `alias` without its leading "/"; false when it has none.
bool relativeAlias(const std::string& fsName, const std::string& alias, std::string* rel) {
  if (fsName.empty() || fsName[0] != '/' || alias.size() < 2 || alias[0] != '/') return false;
  *rel = alias.substr(1);
  return true;
}

// Every component present and neither "." nor "..".
bool componentsAcceptable(const std::string& rel) {
  size_t start = 0;
  while (true) {
    const size_t end = rel.find('/', start);
    const std::string part = rel.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// The lookup from a full path to its DMAPI handle, registered by the program.
PathHandleFn g_pathHandle = nullptr;

}  // namespace

void srvSetPathHandleLookup(PathHandleFn lookup) { g_pathHandle = lookup; }

int srvCheckObjectPath(const std::string& fsName, const std::string& alias) {
  std::string rel;
  if (!relativeAlias(fsName, alias, &rel) || !componentsAcceptable(rel)) return EINVAL;
  UniqueFd mount(open(fsName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!mount.valid()) return errno;
  open_how how{};
  how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  UniqueFd object(static_cast<int>(syscall(SYS_openat2, mount.get(), rel.c_str(), &how, sizeof how)));
  if (!object.valid()) return errno;
  // O_PATH | O_NOFOLLOW opens a final symbolic link itself instead of failing.
  struct stat st;
  if (fstat(object.get(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return ELOOP;
  return 0;
}

int hsmHandleOfFileSpec(const fileSpec_t* spec, unsigned char (*handle)[kMaxHandleLen], uint16_t* length) {
  if (!spec || !handle || !length) return EINVAL;
  // The list's path is the alias below the mount point (a full path is
  // accepted too: fmPathBelowFs takes the file system part off).
  const std::string alias = fmPathBelowFs(*spec);
  int rc = srvCheckObjectPath(spec->fsName, alias);
  if (rc != 0) {
    TRACE(TR_SM, "hsmHandleOfFileSpec: refused path '%s' below '%s', rc = %d\n",
          spec->pathName.c_str(), spec->fsName.c_str(), rc);
    return rc;
  }
  // The check and the lookup resolve the name twice; a swap in between can
  // only make us read the handle of another file below the same mount, which
  // the server then records; nothing on the file system is changed here.
  std::string fullName = spec->fsName;
  while (fullName.size() > 1 && fullName.back() == '/') fullName.pop_back();
  if (fullName == "/") fullName.clear();
  if (!g_pathHandle) return ENOSYS;
  return g_pathHandle((fullName + alias).c_str(), handle, length);
}
