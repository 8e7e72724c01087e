#include "reconcile/lostdirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/safepath.h"
#include "common/uniquefd.h"

namespace {

// One directory below `dirfd`, by a single name, as every lookup beneath
// the mount point is made (common/safepath.h).
int openDirBeneath(int dirfd, const std::string& name, int flags) {
  return safeOpenBeneath(dirfd, name.c_str(), flags | O_DIRECTORY);
}

ParentState stateOf(int err) {
  switch (err) {
    case ENOENT: return ParentState::kMissing;
    case ENOTDIR: return ParentState::kNotDirectory;
    case ELOOP: return ParentState::kSymlink;
    case EXDEV: return ParentState::kOtherMount;
    default: return ParentState::kError;
  }
}

// The directory components of the alias: "/a/b/f" -> {"a", "b"}.
std::vector<std::string> directoryParts(const std::string& alias) {
  std::vector<std::string> parts;
  size_t start = 1;
  for (size_t slash = alias.find('/', start); slash != std::string::npos;
       slash = alias.find('/', start)) {
    parts.push_back(alias.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string aliasOf(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += "/" + parts[i];
  return out;
}

ParentProbe stoppedAt(const std::vector<std::string>& parts, size_t index, int err) {
  return ParentProbe{stateOf(err), aliasOf(parts, index + 1), err};
}

// Gives a directory this process has just made the owner, group and mode of
// `model`. Only the root-owned 0700 directory that mkdirat left is changed:
// if a user swapped the name for a directory of their own in between, that
// one is not ours to chown. Returns 1 changed, 0 not ours, -1 failure.
int adoptNewDirectory(int fd, const struct stat& model) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) return 0;
  if (fchown(fd, model.st_uid, model.st_gid) != 0) return -1;
  if (fchmod(fd, model.st_mode & 07777) != 0) return -1;
  return 1;
}

}  // namespace

ParentProbe probeParent(int mountFd, const std::string& alias) {
  int saved = errno;
  std::vector<std::string> parts = directoryParts(alias);
  ParentProbe result;
  if (!parts.empty()) {
    // The common case in one call; the walk only says which component failed.
    UniqueFd whole(openDirBeneath(mountFd, alias.substr(1, alias.rfind('/') - 1), O_PATH));
    int dir = mountFd;
    UniqueFd held;
    for (size_t i = 0; !whole && i < parts.size(); ++i) {
      UniqueFd next(openDirBeneath(dir, parts[i], O_PATH));
      if (!next) {
        result = stoppedAt(parts, i, errno);
        break;
      }
      held = std::move(next);
      dir = held.get();
    }
  }
  errno = saved;
  return result;
}

ParentProbe makeLostDirectories(int mountFd, const std::string& alias,
                                const std::function<void(const std::string&)>& created) {
  int saved = errno;
  std::vector<std::string> parts = directoryParts(alias);
  ParentProbe result;
  struct stat nearest {};
  if (fstat(mountFd, &nearest) != 0) result = ParentProbe{ParentState::kError, "/", errno};
  int dir = mountFd;
  UniqueFd held;
  for (size_t i = 0; result.state == ParentState::kPresent && i < parts.size(); ++i) {
    UniqueFd next(openDirBeneath(dir, parts[i], O_PATH));
    if (!next && errno == ENOENT) {
      bool made = mkdirat(dir, parts[i].c_str(), 0700) == 0;
      if (!made && errno != EEXIST) {
        result = ParentProbe{ParentState::kError, aliasOf(parts, i + 1), errno};
        break;
      }
      // A descriptor that allows fchmod; whatever stands there now is
      // looked at under the same rules as any other component.
      next.reset(openDirBeneath(dir, parts[i], O_RDONLY));
      if (next && made) {
        int adopted = adoptNewDirectory(next.get(), nearest);
        if (adopted < 0) {
          result = ParentProbe{ParentState::kError, aliasOf(parts, i + 1), errno};
          break;
        }
        if (adopted == 1) created(aliasOf(parts, i + 1));
      }
    }
    if (!next) {
      result = stoppedAt(parts, i, errno);
      break;
    }
    if (fstat(next.get(), &nearest) != 0) {
      result = ParentProbe{ParentState::kError, aliasOf(parts, i + 1), errno};
      break;
    }
    held = std::move(next);
    dir = held.get();
  }
  errno = saved;
  return result;
}
