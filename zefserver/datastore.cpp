#include "zefserver/datastore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/rc.h"

namespace zef {

namespace {

const char* kDataSchema = R"sql(
CREATE TABLE IF NOT EXISTS object_data(
  objnum INTEGER PRIMARY KEY,
  size INTEGER NOT NULL,
  sha256 BLOB NOT NULL);
CREATE TRIGGER IF NOT EXISTS object_data_follows AFTER DELETE ON objects
BEGIN
  DELETE FROM object_data WHERE objnum = old.objnum;
END;
)sql";

constexpr const char* kLockName = ".lock";
constexpr const char* kTempPrefix = ".put-";
constexpr size_t kReadPiece = 256 * 1024;

DataRef refFromRow(const Stmt& st, int sizeCol, int shaCol) {
  DataRef r;
  r.size = static_cast<uint64_t>(st.i64(sizeCol));
  std::vector<uint8_t> sha = st.blob(shaCol);
  if (sha.size() == r.sha256.size()) std::memcpy(r.sha256.data(), sha.data(), sha.size());
  return r;
}

// The object number a data file's name gives, or nullopt for another name.
std::optional<uint64_t> objNumOfName(const char* name) {
  if (std::strlen(name) != 16) return std::nullopt;
  uint64_t n = 0;
  for (const char* p = name; *p; ++p) {
    int d = *p >= '0' && *p <= '9' ? *p - '0' : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10 : -1;
    if (d < 0) return std::nullopt;
    n = n << 4 | static_cast<uint64_t>(d);
  }
  return n;
}

int lockDir(const DataDir& dir, int how) {
  int fd = openat(dir.fd(), kLockName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  while (flock(fd, how) != 0) {
    if (errno != EINTR) {
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
  }
  return fd;
}

}  // namespace

Sha256::Sha256() {
  if (!s_.ok()) throw StoreError("OpenSSL cannot start a SHA-256 digest");
}
Digest Sha256::final() {
  Digest d;
  if (!s_.final(&d)) throw StoreError("OpenSSL failed computing a SHA-256 digest");
  return d;
}

void execSql(Store& store, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(store.handle(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string what = err ? err : sqlite3_errmsg(store.handle());
    sqlite3_free(err);
    throw StoreError(what);
  }
}

void ensureDataSchema(Store& store) { execSql(store, kDataSchema); }

std::optional<DataRef> findDataRef(Store& store, uint64_t objNum) {
  Stmt st(store.handle(), "SELECT size, sha256 FROM object_data WHERE objnum = ?");
  st.bind(1, static_cast<int64_t>(objNum));
  if (!st.step()) return std::nullopt;
  return refFromRow(st, 0, 1);
}

void insertDataRef(Store& store, uint64_t objNum, const DataRef& ref) {
  Stmt st(store.handle(), "INSERT INTO object_data(objnum, size, sha256) VALUES(?, ?, ?)");
  st.bind(1, static_cast<int64_t>(objNum)).bind(2, static_cast<int64_t>(ref.size));
  st.bindBlob(3, ref.sha256.data(), ref.sha256.size());
  st.step();
}

uint64_t storedBytes(Store& store, uint32_t fsId) {
  Stmt st(store.handle(),
          "SELECT coalesce(sum(d.size), 0) FROM object_data d JOIN objects o ON o.objnum = d.objnum "
          "WHERE o.fsid = ?");
  st.bind(1, static_cast<int64_t>(fsId));
  return st.step() ? static_cast<uint64_t>(st.i64(0)) : 0;
}

void forEachDataRef(Store& store, const std::function<void(uint64_t, const DataRef&)>& fn) {
  constexpr int64_t kPage = 512;
  std::vector<std::pair<uint64_t, DataRef>> page;
  int64_t after = 0;
  do {
    page.clear();
    Stmt st(store.handle(), "SELECT objnum, size, sha256 FROM object_data WHERE objnum > ? ORDER BY objnum LIMIT ?");
    st.bind(1, after).bind(2, kPage);
    while (st.step()) page.emplace_back(static_cast<uint64_t>(st.i64(0)), refFromRow(st, 1, 2));
    for (const auto& [num, ref] : page) fn(num, ref);
    if (!page.empty()) after = static_cast<int64_t>(page.back().first);
  } while (page.size() == static_cast<size_t>(kPage));
}

std::string defaultDataDir(const std::string& dbPath) {
  size_t slash = dbPath.rfind('/');
  if (slash == std::string::npos) return "data";
  return dbPath.substr(0, slash + 1) + "data";
}

int dataResultOfErrno(int err) { return err == ENOSPC || err == EDQUOT ? RC_DATA_NO_SPACE : RC_DATA_IO; }

std::unique_ptr<DataDir> DataDir::open(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create data directory " + path + ": " + strerror(errno);
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    error = "cannot open data directory " + path + ": " + strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<DataDir>(new DataDir(path, fd));
}

DataDir::~DataDir() { ::close(fd_); }

std::string DataDir::fileName(uint64_t objNum) {
  char name[17];
  snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(objNum));
  return name;
}

int DataDir::openObject(uint64_t objNum) const {
  return openat(fd_, fileName(objNum).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

void DataDir::remove(uint64_t objNum) { unlinkat(fd_, fileName(objNum).c_str(), 0); }

DataDir::Collected DataDir::collect(Store& store) {
  Collected done;
  int lock = lockDir(*this, LOCK_EX);
  if (lock < 0) throw StoreError(std::string("cannot lock the data directory: ") + strerror(errno));
  int dfd = dup(fd_);
  DIR* d = dfd < 0 ? nullptr : fdopendir(dfd);
  if (!d) {
    if (dfd >= 0) ::close(dfd);
    ::close(lock);
    throw StoreError(std::string("cannot read the data directory: ") + strerror(errno));
  }
  rewinddir(d);
  // Names first, removals after: removing while reading a directory may
  // skip entries.
  std::vector<std::string> doomed;
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (std::strncmp(name, kTempPrefix, std::strlen(kTempPrefix)) == 0) {
      doomed.emplace_back(name);
    } else if (auto num = objNumOfName(name)) {
      if (!findDataRef(store, *num)) doomed.emplace_back(name);
    }
  }
  closedir(d);
  for (const std::string& name : doomed) {
    struct stat st {};
    if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlinkat(fd_, name.c_str(), 0) == 0) {
      ++done.files;
      done.bytes += static_cast<uint64_t>(st.st_size);
    }
  }
  if (done.files) fsync(fd_);
  ::close(lock);
  return done;
}

DataWriter::DataWriter(DataDir& dir, uint64_t sessionId) : dir_(dir) {
  lockFd_ = lockDir(dir, LOCK_SH);
  if (lockFd_ < 0) {
    err_ = errno;
    return;
  }
  // An unnamed file: one directory operation (its link) instead of two (a
  // create and a rename), and nothing for collect() to find after a crash.
  fd_ = openat(dir.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd_ >= 0) return;
  // File systems without unnamed files get a named temporary.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    err_ = errno;
    return;
  }
  static std::atomic<uint64_t> counter{0};
  temp_ = std::string(kTempPrefix) + std::to_string(getpid()) + "-" + std::to_string(sessionId) + "-" +
          std::to_string(++counter);
  fd_ = openat(dir.fd(), temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) err_ = errno;
}

DataWriter::~DataWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!published_ && !temp_.empty()) unlinkat(dir_.fd(), temp_.c_str(), 0);
  if (lockFd_ >= 0) ::close(lockFd_);
}

void DataWriter::write(const uint8_t* p, size_t n) {
  // A piece as large as the buffer (a chunk of up to 1 MiB) is written from
  // where it is: copying it first would only cost time.
  if (n >= kBufferSize && !err_) {
    flush();
    writeOut(p, n);
    return;
  }
  while (n && !err_) {
    size_t take = std::min(n, kBufferSize - buf_.size());
    buf_.insert(buf_.end(), p, p + take);
    p += take;
    n -= take;
    if (buf_.size() == kBufferSize) flush();
  }
}

void DataWriter::flush() {
  writeOut(buf_.data(), buf_.size());
  buf_.clear();
}

void DataWriter::writeOut(const uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n && !err_) {
    ssize_t w = ::write(fd_, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) err_ = w < 0 ? errno : ENOSPC;
    else done += static_cast<size_t>(w);
  }
  written_ += done;
  if (!err_ && written_ - flushedTo_ >= kWriteBehind) {
    // Only a start: a failure here shows again in sync()'s fsync, which
    // decides.
    sync_file_range(fd_, static_cast<off_t>(flushedTo_), static_cast<off_t>(written_ - flushedTo_),
                    SYNC_FILE_RANGE_WRITE);
    flushedTo_ = written_;
  }
}

int DataWriter::sync() {
  if (!err_) flush();
  if (!err_ && fsync(fd_) != 0) err_ = errno;
  return err_;
}

int DataWriter::endWrites() {
  if (!err_) flush();
  std::vector<uint8_t>().swap(buf_);
  if (!err_ && written_ > flushedTo_) {
    // Only a start, as in writeOut; sync() decides.
    sync_file_range(fd_, static_cast<off_t>(flushedTo_), static_cast<off_t>(written_ - flushedTo_),
                    SYNC_FILE_RANGE_WRITE);
    flushedTo_ = written_;
  }
  return err_;
}

int DataWriter::link(const std::string& name) {
  char self[40];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  if (linkat(AT_FDCWD, self, dir_.fd(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  // Without /proc, the descriptor itself (this needs CAP_DAC_READ_SEARCH).
  if (errno == ENOENT && linkat(fd_, "", dir_.fd(), name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  return errno;
}

int DataWriter::rename(uint64_t objNum) {
  if (err_) return err_;
  const std::string name = DataDir::fileName(objNum);
  if (!temp_.empty()) {
    if (renameat(dir_.fd(), temp_.c_str(), dir_.fd(), name.c_str()) != 0) return errno;
  } else if (int e = link(name)) {
    // A file under the number of an object being made now is one no
    // committed record names (left by a batch that failed after its links):
    // it goes, as a rename would replace it.
    if (e != EEXIST) return e;
    if (unlinkat(dir_.fd(), name.c_str(), 0) != 0 || (e = link(name)) != 0) return e ? e : errno;
  }
  published_ = true;
  return 0;
}

int DataWriter::publish(uint64_t objNum) {
  if (int e = rename(objNum)) return e;
  return dir_.sync();
}

void syncWriters(const std::vector<DataWriter*>& ws, std::vector<int>& errs) {
  errs.assign(ws.size(), 0);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < ws.size();) errs[i] = ws[i]->sync();
  };
  std::vector<std::thread> helpers;
  for (size_t n = 1; n < std::min(kSyncThreads, ws.size()); ++n) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer helpers: the rest is synced by those there are
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
}

int DataDir::sync() { return fsync(fd_) != 0 ? errno : 0; }

const char* dataCheckText(DataCheck c) {
  switch (c) {
    case DataCheck::kGood: return "good";
    case DataCheck::kMissing: return "missing";
    case DataCheck::kWrongSize: return "wrong size";
    case DataCheck::kWrongDigest: return "damaged (SHA-256 differs)";
    case DataCheck::kUnreadable: return "unreadable";
  }
  return "?";
}

DataCheck checkData(const DataDir& dir, uint64_t objNum, const DataRef& ref) {
  int fd = dir.openObject(objNum);
  if (fd < 0) return errno == ENOENT ? DataCheck::kMissing : DataCheck::kUnreadable;
  struct stat st {};
  DataCheck result = DataCheck::kGood;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) result = DataCheck::kUnreadable;
  else if (static_cast<uint64_t>(st.st_size) != ref.size) result = DataCheck::kWrongSize;
  if (result == DataCheck::kGood) {
    Sha256 sha;
    std::vector<uint8_t> buf(kReadPiece);
    for (;;) {
      ssize_t n = read(fd, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = DataCheck::kUnreadable;
        break;
      }
      if (n == 0) break;
      sha.add(buf.data(), static_cast<size_t>(n));
    }
    if (result == DataCheck::kGood && sha.final() != ref.sha256) result = DataCheck::kWrongDigest;
  }
  ::close(fd);
  return result;
}

}  // namespace zef
