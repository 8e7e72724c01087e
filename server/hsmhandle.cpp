// The transaction list's DMAPI handle lookup, with the checks a path from the
// server must pass before this root process touches it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/safepath.h"
#include "common/trace.h"
#include "server/serverlayer.h"
#include "server/tcpcomm.h"

int srvCheckObjectPath(const std::string& fsName, const std::string& alias) {
  if (fsName.empty() || fsName[0] != '/' || !safeIsPathBelow(alias)) return EINVAL;
  UniqueFd mount(safeOpenMountRoot(fsName));
  if (!mount.valid()) return errno;
  UniqueFd object(safeOpenBeneath(mount.get(), alias.c_str() + 1, O_PATH | O_NOFOLLOW));
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
  return srvHooks().pathHandle((fullName + alias).c_str(), handle, length);
}
