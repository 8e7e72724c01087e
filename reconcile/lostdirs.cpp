#include "reconcile/lostdirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/safepath.h"
#include "common/uniquefd.h"

namespace {

constexpr const char* kStagingDir = ".Tarnveld";
constexpr const char* kStagedPrefix = ".kmrmkdir.";

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

// A name in the staging directory nobody can guess or take first.
std::string stagingName() {
  unsigned char bytes[8] = {};
  if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
    // Only root writes the staging directory: the name needs to be unused,
    // not secret.
    static std::atomic<unsigned> counter{0};
    snprintf(reinterpret_cast<char*>(bytes), sizeof bytes, "%07x", ++counter);
  }
  char name[40];
  int n = snprintf(name, sizeof name, "%s", kStagedPrefix);
  for (unsigned char b : bytes) n += snprintf(name + n, sizeof name - n, "%02x", b);
  return name;
}

// A directory in the staging directory with the model's owner, group and
// mode, made and changed there where no one but root can reach it. Its
// descriptor, or an empty one (errno) with nothing left behind.
UniqueFd makeStaged(int stagingFd, const std::string& name, const struct stat& model) {
  if (mkdirat(stagingFd, name.c_str(), 0700) != 0) return UniqueFd();
  UniqueFd fd(openDirBeneath(stagingFd, name, O_RDONLY));
  if (fd && fchown(fd.get(), model.st_uid, model.st_gid) == 0 && fchmod(fd.get(), model.st_mode & 07777) == 0)
    return fd;
  const int err = errno;
  unlinkat(stagingFd, name.c_str(), AT_REMOVEDIR);
  errno = err;
  return UniqueFd();
}

// Makes `name` in `dir` as a copy of the model. The made directory's
// descriptor; else, when someone made the name meanwhile, theirs (O_PATH,
// as found); else an empty one with errno.
UniqueFd makeOne(int dir, int stagingFd, const std::string& name, const struct stat& model, bool* made) {
  *made = false;
  const std::string staged = stagingName();
  UniqueFd fd = makeStaged(stagingFd, staged, model);
  if (!fd) return fd;
  if (renameat2(stagingFd, staged.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
    *made = true;
    return fd;
  }
  const int err = errno;
  unlinkat(stagingFd, staged.c_str(), AT_REMOVEDIR);
  if (err != EEXIST) {
    errno = err;
    return UniqueFd();
  }
  return UniqueFd(openDirBeneath(dir, name, O_PATH));
}

// The directory above `dirAlias` ("/a/b" -> "a"; "/a" -> "." ).
std::string parentRel(const std::string& dirAlias) {
  size_t slash = dirAlias.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string(".") : dirAlias.substr(1, slash - 1);
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

int modelOfMissingDirectory(int mountFd, const std::string& dirAlias, struct stat* model) {
  UniqueFd above(openDirBeneath(mountFd, parentRel(dirAlias), O_PATH));
  if (!above || fstat(above.get(), model) != 0) return -1;
  return 0;
}

namespace {

// A run killed between a staged directory's making and its rename leaves it
// behind, empty (nothing is put in a directory before its rename). The
// caller holds the file system's reconcile lock, so no other run has one in
// flight; a directory that is not empty is not ours to judge and is kept.
void removeStagedLeftovers(int stagingFd) {
  UniqueFd listFd(safeOpenBeneath(stagingFd, ".", O_RDONLY | O_DIRECTORY));
  DIR* dir = listFd ? fdopendir(listFd.get()) : nullptr;
  if (!dir) return;
  listFd.release();
  const size_t prefix = strlen(kStagedPrefix);
  while (const dirent* e = readdir(dir))
    if (strncmp(e->d_name, kStagedPrefix, prefix) == 0)
      unlinkat(dirfd(dir), e->d_name, AT_REMOVEDIR);
  closedir(dir);
}

}  // namespace

int openDirectoryStaging(int mountFd) {
  const int saved = errno;
  UniqueFd fd(openDirBeneath(mountFd, kStagingDir, O_PATH));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) return -1;
  if (st.st_uid != 0 || (st.st_mode & 022) != 0) {
    errno = EPERM;
    return -1;
  }
  removeStagedLeftovers(fd.get());
  errno = saved;
  return fd.release();
}

ParentProbe makeLostDirectories(int mountFd, int stagingFd, const std::string& alias,
                                const std::function<void(const MadeDirectory&)>& created) {
  int saved = errno;
  std::vector<std::string> parts = directoryParts(alias);
  ParentProbe result;
  struct stat nearest {};
  if (fstat(mountFd, &nearest) != 0) result = ParentProbe{ParentState::kError, "/", errno};
  int dir = mountFd;
  UniqueFd held;
  for (size_t i = 0; result.state == ParentState::kPresent && i < parts.size(); ++i) {
    UniqueFd next(openDirBeneath(dir, parts[i], O_PATH));
    bool made = false;
    if (!next && errno == ENOENT) {
      next = makeOne(dir, stagingFd, parts[i], nearest, &made);
      if (!next && errno != ENOENT) {
        result = ParentProbe{ParentState::kError, aliasOf(parts, i + 1), errno};
        break;
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
    if (made) created(MadeDirectory{aliasOf(parts, i + 1), next.get(), nearest});
    held = std::move(next);
    dir = held.get();
  }
  errno = saved;
  return result;
}

void OwnerVote::add(uint32_t uid, uint32_t gid) {
  if (m_any && (uid != m_uid || gid != m_gid)) m_mixed = true;
  m_uid = uid;
  m_gid = gid;
  m_any = true;
}

struct stat OwnerVote::decide(const struct stat& model) const {
  struct stat out = model;
  if (m_any && !m_mixed) {
    out.st_uid = m_uid;
    out.st_gid = m_gid;
  }
  return out;
}

void MadeDirectories::made(const MadeDirectory& dir) {
  Entry& e = m_dirs[dir.alias];
  e.st = dir.st;
  std::vector<unsigned char> buf(sizeof(struct file_handle) + MAX_HANDLE_SZ);
  auto* fh = reinterpret_cast<struct file_handle*>(buf.data());
  fh->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  // Without a handle the directory keeps the owner it was made with.
  if (name_to_handle_at(dir.fd, "", fh, &mountId, AT_EMPTY_PATH) == 0) {
    buf.resize(sizeof(struct file_handle) + fh->handle_bytes);
    e.handle = std::move(buf);
  }
}

void MadeDirectories::recreated(const std::string& alias, uint32_t uid, uint32_t gid) {
  if (m_dirs.empty()) return;
  for (size_t slash = alias.rfind('/'); slash != std::string::npos && slash > 0;
       slash = alias.rfind('/', slash - 1)) {
    auto it = m_dirs.find(alias.substr(0, slash));
    if (it != m_dirs.end()) it->second.vote.add(uid, gid);
  }
}

std::vector<std::string> MadeDirectories::nameNew(const std::string& alias) {
  std::vector<std::string> named;
  for (size_t slash = alias.find('/', 1); slash != std::string::npos; slash = alias.find('/', slash + 1)) {
    auto it = m_dirs.find(alias.substr(0, slash));
    if (it == m_dirs.end() || it->second.named) continue;
    it->second.named = true;
    named.push_back(it->first);
  }
  return named;
}

void MadeDirectories::finish(int mountFd,
                             const std::function<void(const std::string&, const struct stat&)>& report) {
  int saved = errno;
  // open_by_handle_at takes no O_PATH descriptor for its file system.
  UniqueFd onFs(m_dirs.empty() ? -1 : openDirBeneath(mountFd, ".", O_RDONLY));
  for (auto& [alias, e] : m_dirs) {
    struct stat now = e.st;
    const struct stat want = e.vote.decide(e.st);
    auto* fh = reinterpret_cast<struct file_handle*>(e.handle.data());
    const bool changes = want.st_uid != e.st.st_uid || want.st_gid != e.st.st_gid;
    UniqueFd fd(changes && onFs && !e.handle.empty()
                    ? open_by_handle_at(onFs.get(), fh, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                    : -1);
    if (fd && fstat(fd.get(), &now) == 0 && now.st_uid == e.st.st_uid && now.st_gid == e.st.st_gid &&
        fchown(fd.get(), want.st_uid, want.st_gid) == 0 && fchmod(fd.get(), want.st_mode & 07777) == 0)
      fstat(fd.get(), &now);
    report(alias, now);
  }
  m_dirs.clear();
  errno = saved;
}
