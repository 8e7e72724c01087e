#include "server/passwordstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "common/safepath.h"
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

// The directory must be ours and closed to others, or someone else could
// swap the file under us.
bool dirTrusted(const std::string& dir, std::string& why, bool& missing) {
  struct stat st {};
  missing = false;
  if (stat(dir.c_str(), &st) != 0) {
    missing = errno == ENOENT;
    why = "cannot examine " + dir + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) return why = dir + " is not a directory", false;
  if (st.st_uid != geteuid()) return why = dir + " is not owned by the user the command runs as", false;
  if (st.st_mode & 022) return why = dir + " may be changed by group or others", false;
  return true;
}

// Reads every record. False with `why` when the file exists but may not be
// trusted or read; an absent file is an empty store.
bool readAll(const std::string& dir, std::vector<Record>& out, bool& exists, std::string& why) {
  out.clear();
  exists = false;
  bool missing = false;
  if (!dirTrusted(dir, why, missing)) {
    if (missing) why.clear();
    return missing;
  }
  std::string path = storePath(dir);
  UniqueFd fd(clOpenRegular(path.c_str(), O_RDONLY, 0, LinkPolicy::kNoFollow));
  if (!fd) {
    if (errno == ENOENT) return true;
    if (errno == ELOOP) why = path + " is a symbolic link";
    else if (errno == EINVAL) why = path + " is not a regular file";
    else why = path + ": " + strerror(errno);
    return false;
  }
  exists = true;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return why = path + ": " + strerror(errno), false;
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

bool writeAll(const std::string& dir, const std::vector<Record>& records, std::string& why) {
  std::string text = "# kmr password store: server<TAB>node<TAB>password in hexadecimal\n";
  for (const Record& r : records) text += r.server + "\t" + r.node + "\t" + hex(r.password) + "\n";
  std::string tmpl = storePath(dir) + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  UniqueFd fd(mkostemp(name.data(), O_CLOEXEC));  // mode 0600
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
  if (!ok || rename(name.data(), storePath(dir).c_str()) != 0) {
    why = "cannot write " + storePath(dir) + ": " + strerror(errno);
    unlink(name.data());
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
  bool exists = false;
  if (!readAll(dir, records, exists, l.why)) {
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
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return why = "cannot create " + dir + ": " + strerror(errno), false;
  std::vector<Record> records;
  bool exists = false;
  if (!readAll(dir, records, exists, why)) return false;
  std::vector<Record> kept;
  for (Record& r : records)
    if (r.server != server || r.node != node) kept.push_back(std::move(r));
  kept.push_back({server, node, password});
  return writeAll(dir, kept, why);
}

bool remove(const std::string& dir, const std::string& server, const std::string& node, std::string& why) {
  std::lock_guard<std::mutex> g(writers());
  std::vector<Record> records;
  bool exists = false;
  if (!readAll(dir, records, exists, why)) return false;
  if (!exists) return true;
  std::vector<Record> kept;
  for (Record& r : records)
    if (r.server != server || r.node != node) kept.push_back(std::move(r));
  return writeAll(dir, kept, why);
}

}  // namespace pwstore
