#include "server/passwordstore.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "common/uniquefd.h"

namespace pwstore {

namespace {

struct Record {
  std::string server, node, password;
};

std::mutex& writers() {
  static std::mutex m;
  return m;
}

std::string hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::optional<std::string> unhex(const std::string& s) {
  if (s.size() % 2) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < s.size(); i += 2) {
    auto v = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = v(s[i]), lo = v(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi << 4 | lo));
  }
  return out;
}

// Whether a directory on the way to the store keeps others from swapping
// what lies below it: owned by root or by us and writable by neither group
// nor others. A root-owned sticky directory (/tmp) may be writable by all:
// no one else may rename or remove what root or we put in it. The store's
// own directory must be ours and closed to others, without exception.
std::string untrustedBecause(const struct stat& st, const std::string& path, bool last) {
  if (!S_ISDIR(st.st_mode)) return path + " is not a directory";
  if (last) {
    if (st.st_uid != geteuid()) return path + " is not owned by the user the command runs as";
    if (st.st_mode & 022) return path + " may be changed by group or others";
    return "";
  }
  if (st.st_uid != 0 && st.st_uid != geteuid()) return path + " is owned by another user";
  if ((st.st_mode & 022) && !(st.st_uid == 0 && (st.st_mode & S_ISVTX)))
    return path + " may be changed by group or others";
  return "";
}

// Opens `dir` from "/" one component at a time, following no symbolic link
// and checking every directory on the way (untrustedBecause), as ssh checks
// the directories above its keys. With `create` a missing last component is
// made (mode 0700). An invalid descriptor with `why` set on refusal;
// `missing` tells a store directory that simply does not exist yet.
UniqueFd openTrustedDir(const std::string& dir, bool create, std::string& why, bool& missing) {
  missing = false;
  if (dir.empty() || dir[0] != '/') return why = dir + " is not an absolute path", UniqueFd();
  std::vector<std::string> parts;
  for (size_t pos = 1; pos <= dir.size();) {
    size_t end = dir.find('/', pos);
    if (end == std::string::npos) end = dir.size();
    std::string part = dir.substr(pos, end - pos);
    if (part == "..") return why = dir + " holds a '..' component", UniqueFd();
    if (!part.empty() && part != ".") parts.push_back(part);
    pos = end + 1;
  }
  UniqueFd fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string path = "/";
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) return why = std::string("cannot examine /: ") + strerror(errno), UniqueFd();
  if (std::string u = untrustedBecause(st, path, parts.empty()); !u.empty()) return why = u, UniqueFd();
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    path += (path.size() > 1 ? "/" : "") + parts[i];
    int next = openat(fd.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && last && create) {
      if (mkdirat(fd.get(), parts[i].c_str(), 0700) != 0 && errno != EEXIST)
        return why = "cannot create " + path + ": " + strerror(errno), UniqueFd();
      next = openat(fd.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      int err = errno;
      struct stat lst {};
      missing = err == ENOENT && last;
      if (fstatat(fd.get(), parts[i].c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode))
        why = path + " is a symbolic link";
      else
        why = "cannot examine " + path + ": " + strerror(err);
      return UniqueFd();
    }
    fd.reset(next);
    if (fstat(fd.get(), &st) != 0) return why = "cannot examine " + path + ": " + strerror(errno), UniqueFd();
    if (std::string u = untrustedBecause(st, path, last); !u.empty()) return why = u, UniqueFd();
  }
  return fd;
}

// Reads every record of the store in the directory `dirFd` (named `dir`).
// False with `why` when the file exists but may not be trusted or read; an
// absent file is an empty store.
bool readAll(int dirFd, const std::string& dir, std::vector<Record>& out, bool& exists, std::string& why) {
  out.clear();
  exists = false;
  std::string path = storePath(dir);
  UniqueFd fd(openat(dirFd, kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return true;
    if (errno == ELOOP) why = path + " is a symbolic link";
    else why = path + ": " + strerror(errno);
    return false;
  }
  exists = true;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return why = path + ": " + strerror(errno), false;
  if (!S_ISREG(st.st_mode)) return why = path + " is not a regular file", false;
  if (st.st_uid != geteuid()) return why = path + " is not owned by the user the command runs as", false;
  if (st.st_mode & 077) return why = path + " may be read or written by group or others", false;
  if (st.st_size > (1 << 20)) return why = path + " is too large for a password store", false;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return why = path + ": " + strerror(errno), false;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t t1 = line.find('\t'), t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    if (t2 == std::string::npos) continue;  // not a record; kept out of the rewrite
    auto pw = unhex(line.substr(t2 + 1));
    if (!pw) continue;
    out.push_back({line.substr(0, t1), line.substr(t1 + 1, t2 - t1 - 1), *pw});
  }
  return true;
}

// A new file of our own in `dirFd` under a name no one can foresee.
UniqueFd createTemporary(int dirFd, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, 0) != sizeof r) return UniqueFd();
    char suffix[24];
    snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(r));
    name = std::string(kFileName) + suffix;
    int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return UniqueFd(fd);
  }
  errno = EEXIST;
  return UniqueFd();
}

bool writeAll(int dirFd, const std::string& dir, const std::vector<Record>& records, std::string& why) {
  std::string text = "# kmr password store: server<TAB>node<TAB>password in hexadecimal\n";
  for (const Record& r : records) text += r.server + "\t" + r.node + "\t" + hex(r.password) + "\n";
  std::string name;
  UniqueFd fd = createTemporary(dirFd, name);
  if (!fd) return why = "cannot create a file in " + dir + ": " + strerror(errno), false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd.get()) == 0 && close(fd.release()) == 0;
  if (!ok || renameat(dirFd, name.c_str(), dirFd, kFileName) != 0) {
    why = "cannot write " + storePath(dir) + ": " + strerror(errno);
    unlinkat(dirFd, name.c_str(), 0);
    return false;
  }
  return true;
}

bool validText(const std::string& s) { return !s.empty() && s.find_first_of(std::string("\t\n\0", 3)) == std::string::npos; }

}  // namespace

std::string storePath(const std::string& dir) { return dir + "/" + kFileName; }

Loaded load(const std::string& dir, const std::string& server, const std::string& node) {
  Loaded l;
  std::vector<Record> records;
  bool exists = false, missing = false;
  UniqueFd dirFd = openTrustedDir(dir, false, l.why, missing);
  if (!dirFd && missing) {
    l.why.clear();
    return l;  // no directory yet: an empty store
  }
  if (!dirFd || !readAll(dirFd.get(), dir, records, exists, l.why)) {
    l.outcome = Outcome::kRefused;
    return l;
  }
  for (const Record& r : records)
    if (r.server == server && r.node == node) {
      l.outcome = Outcome::kFound;
      l.password = r.password;
    }
  return l;
}

bool save(const std::string& dir, const std::string& server, const std::string& node, const std::string& password,
          std::string& why) {
  if (!validText(server) || !validText(node) || password.empty())
    return why = "server, node or password cannot be stored", false;
  std::lock_guard<std::mutex> g(writers());
  bool missing = false;
  UniqueFd dirFd = openTrustedDir(dir, true, why, missing);
  std::vector<Record> records;
  bool exists = false;
  if (!dirFd || !readAll(dirFd.get(), dir, records, exists, why)) return false;
  std::vector<Record> kept;
  for (Record& r : records)
    if (r.server != server || r.node != node) kept.push_back(std::move(r));
  kept.push_back({server, node, password});
  return writeAll(dirFd.get(), dir, kept, why);
}

bool remove(const std::string& dir, const std::string& server, const std::string& node, std::string& why) {
  std::lock_guard<std::mutex> g(writers());
  bool missing = false;
  UniqueFd dirFd = openTrustedDir(dir, false, why, missing);
  if (!dirFd && missing) return why.clear(), true;
  std::vector<Record> records;
  bool exists = false;
  if (!dirFd || !readAll(dirFd.get(), dir, records, exists, why)) return false;
  if (!exists) return true;
  std::vector<Record> kept;
  for (Record& r : records)
    if (r.server != server || r.node != node) kept.push_back(std::move(r));
  return writeAll(dirFd.get(), dir, kept, why);
}

}  // namespace pwstore
