#include "zefserver/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace zef {

namespace {

const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS nodes(
  name TEXT PRIMARY KEY,
  registered INTEGER NOT NULL,
  pwhash TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS filespaces(
  fsid INTEGER PRIMARY KEY AUTOINCREMENT,
  node TEXT NOT NULL REFERENCES nodes(name),
  name BLOB NOT NULL,
  fstype TEXT NOT NULL,
  info BLOB NOT NULL,
  delimiter INTEGER NOT NULL,
  nameform INTEGER NOT NULL,
  size1 INTEGER NOT NULL,
  size2 INTEGER NOT NULL,
  created INTEGER NOT NULL,
  UNIQUE(node, name));
CREATE TABLE IF NOT EXISTS objects(
  objnum INTEGER PRIMARY KEY AUTOINCREMENT,
  fsid INTEGER NOT NULL REFERENCES filespaces(fsid),
  path BLOB NOT NULL,
  attrs BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS objects_by_fs ON objects(fsid, objnum);
CREATE INDEX IF NOT EXISTS objects_by_path ON objects(fsid, path);
)sql";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw StoreError(what + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

}  // namespace

Stmt::Stmt(sqlite3* db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) fail(db, "prepare");
}
Stmt::~Stmt() { sqlite3_finalize(st_); }
Stmt& Stmt::bind(int i, int64_t v) {
  if (sqlite3_bind_int64(st_, i, v) != SQLITE_OK) fail(db_, "bind");
  return *this;
}
Stmt& Stmt::bind(int i, const std::string& text) {
  if (sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
    fail(db_, "bind");
  return *this;
}
Stmt& Stmt::bindNull(int i) {
  if (sqlite3_bind_null(st_, i) != SQLITE_OK) fail(db_, "bind");
  return *this;
}

Stmt& Stmt::bindBlob(int i, const void* p, size_t n) {
  // A zero-length blob must stay a blob, not NULL.
  static const char empty = 0;
  if (sqlite3_bind_blob(st_, i, n ? p : &empty, static_cast<int>(n), SQLITE_TRANSIENT) != SQLITE_OK)
    fail(db_, "bind");
  return *this;
}
bool Stmt::step() {
  int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, "step");
}
void Stmt::reset() {
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}
int64_t Stmt::i64(int col) const { return sqlite3_column_int64(st_, col); }
std::string Stmt::text(int col) const {
  std::string s;
  textInto(col, s);
  return s;
}
void Stmt::textInto(int col, std::string& out) const {
  const void* p = sqlite3_column_blob(st_, col);
  int n = sqlite3_column_bytes(st_, col);
  out.assign(static_cast<const char*>(p ? p : ""), static_cast<size_t>(n));
}
std::vector<uint8_t> Stmt::blob(int col) const {
  std::vector<uint8_t> v;
  blobInto(col, v);
  return v;
}
void Stmt::blobInto(int col, std::vector<uint8_t>& out) const {
  const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st_, col));
  int n = sqlite3_column_bytes(st_, col);
  out.assign(p, p + n);
}

ObjectCursor::ObjectCursor(sqlite3* db, uint32_t fsId)
    : st_(db, "SELECT objnum, path, attrs FROM objects WHERE fsid = ? AND objnum > ? ORDER BY objnum LIMIT ?"),
      fsId_(fsId) {}

// The read transaction of a page ends with the reset, before any object of
// it is handed out.
bool ObjectCursor::readPage() {
  page_.resize(kPageSize);
  size_t n = 0;
  st_.reset();
  st_.bind(1, static_cast<int64_t>(fsId_)).bind(2, after_).bind(3, static_cast<int64_t>(kPageSize));
  while (n < kPageSize && st_.step()) {
    StoredObject& o = page_[n++];
    o.objNum = static_cast<uint64_t>(st_.i64(0));
    o.fsId = fsId_;
    st_.textInto(1, o.path);
    st_.blobInto(2, o.attrs);
  }
  st_.reset();
  page_.resize(n);
  pos_ = 0;
  lastPage_ = n < kPageSize;
  if (n) after_ = static_cast<int64_t>(page_.back().objNum);
  return n > 0;
}

bool ObjectCursor::next(StoredObject& o) {
  if (pos_ == page_.size() && (lastPage_ || !readPage())) return false;
  StoredObject& from = page_[pos_++];
  o.objNum = from.objNum;
  o.fsId = from.fsId;
  o.path.swap(from.path);
  o.attrs.swap(from.attrs);
  return true;
}

std::unique_ptr<Store> Store::open(const std::string& path, OpenMode mode) {
  if (mode == kCreate) {
    // Made here rather than by SQLite, which would take the umask's mode.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      const bool ok = fchmod(fd, 0600) == 0;
      const int err = errno;
      ::close(fd);
      if (!ok) throw StoreError("cannot create " + path + ": " + strerror(err));
    } else if (errno != EEXIST) {
      throw StoreError("cannot create " + path + ": " + strerror(errno));
    }
  }
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (mode == kCreate ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError("cannot open " + path + ": " + msg);
  }
  std::unique_ptr<Store> s(new Store(db));
  sqlite3_busy_timeout(db, 30000);
  s->exec("PRAGMA journal_mode=WAL");
  s->exec("PRAGMA synchronous=NORMAL");
  s->exec("PRAGMA foreign_keys=ON");
  s->exec(kSchema);
  s->addPasswordColumn();
  return s;
}

Store::~Store() {
  for (auto* slot : {&insertObj_, &objByNum_, &setAttrs_, &deleteObj_, &deleteObjOfFs_, &changeSamePath_,
                     &changeNewPath_, &objExists_})
    slot->reset();
  sqlite3_close(db_);
}

Stmt& Store::prepared(std::unique_ptr<Stmt>& slot, const char* sql) {
  if (!slot) slot = std::make_unique<Stmt>(db_, sql);
  slot->reset();
  return *slot;
}

void Store::exec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown error";
    sqlite3_free(err);
    throw StoreError(msg);
  }
}

Store::WriteTxn::WriteTxn(Store& s) : s_(s) { s_.exec("BEGIN IMMEDIATE"); }
Store::WriteTxn::~WriteTxn() {
  if (!done_) sqlite3_exec(s_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}
void Store::WriteTxn::commit() {
  s_.exec("COMMIT");
  done_ = true;
}

// Databases made before nodes had passwords get the column; their nodes
// have no password and cannot sign on until one is set.
void Store::addPasswordColumn() {
  Stmt st(db_, "SELECT 1 FROM pragma_table_info('nodes') WHERE name = 'pwhash'");
  if (!st.step()) exec("ALTER TABLE nodes ADD COLUMN pwhash TEXT NOT NULL DEFAULT ''");
}

bool Store::registerNode(const std::string& name, const std::string& passwordHash) {
  Stmt st(db_, "INSERT OR IGNORE INTO nodes(name, registered, pwhash) VALUES(?, ?, ?)");
  st.bind(1, upper(name)).bind(2, static_cast<int64_t>(time(nullptr))).bind(3, passwordHash).step();
  return sqlite3_changes(db_) == 1;
}

bool Store::setPasswordHash(const std::string& name, const std::string& passwordHash) {
  Stmt st(db_, "UPDATE nodes SET pwhash = ? WHERE name = ?");
  st.bind(1, passwordHash).bind(2, upper(name)).step();
  return sqlite3_changes(db_) == 1;
}

std::optional<std::string> Store::passwordHash(const std::string& name) {
  Stmt st(db_, "SELECT pwhash FROM nodes WHERE name = ?");
  if (!st.bind(1, upper(name)).step()) return std::nullopt;
  return st.text(0);
}

bool Store::nodeExists(const std::string& name) {
  Stmt st(db_, "SELECT 1 FROM nodes WHERE name = ?");
  return st.bind(1, upper(name)).step();
}

namespace {
const char* kFsColumns =
    "SELECT fsid, node, name, fstype, info, delimiter, nameform, size1, size2, created FROM filespaces ";
FileSpace readFs(const Stmt& st) {
  FileSpace fs;
  fs.id = static_cast<uint32_t>(st.i64(0));
  fs.node = st.text(1);
  fs.name = st.text(2);
  fs.type = st.text(3);
  fs.info = st.blob(4);
  fs.delimiter = static_cast<uint8_t>(st.i64(5));
  fs.nameForm = static_cast<uint16_t>(st.i64(6));
  fs.size1 = static_cast<uint64_t>(st.i64(7));
  fs.size2 = static_cast<uint64_t>(st.i64(8));
  fs.created = st.i64(9);
  return fs;
}
}  // namespace

std::optional<FileSpace> Store::findFileSpace(const std::string& node, const std::string& name) {
  Stmt st(db_, (std::string(kFsColumns) + "WHERE node = ? AND name = ?").c_str());
  st.bind(1, upper(node)).bindBlob(2, name.data(), name.size());
  if (!st.step()) return std::nullopt;
  return readFs(st);
}

std::optional<FileSpace> Store::fileSpaceById(uint32_t id) {
  Stmt st(db_, (std::string(kFsColumns) + "WHERE fsid = ?").c_str());
  st.bind(1, static_cast<int64_t>(id));
  if (!st.step()) return std::nullopt;
  return readFs(st);
}

std::vector<FileSpace> Store::listFileSpaces() {
  Stmt st(db_, (std::string(kFsColumns) + "ORDER BY fsid").c_str());
  std::vector<FileSpace> v;
  while (st.step()) v.push_back(readFs(st));
  return v;
}

uint32_t Store::addFileSpace(const FileSpace& fs) {
  Stmt st(db_,
          "INSERT INTO filespaces(node, name, fstype, info, delimiter, nameform, size1, size2, created)"
          " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  st.bind(1, upper(fs.node))
      .bindBlob(2, fs.name.data(), fs.name.size())
      .bind(3, fs.type)
      .bindBlob(4, fs.info.data(), fs.info.size())
      .bind(5, fs.delimiter)
      .bind(6, fs.nameForm)
      .bind(7, static_cast<int64_t>(fs.size1))
      .bind(8, static_cast<int64_t>(fs.size2))
      .bind(9, fs.created ? fs.created : static_cast<int64_t>(time(nullptr)));
  st.step();
  return static_cast<uint32_t>(sqlite3_last_insert_rowid(db_));
}

std::unique_ptr<ObjectCursor> Store::scan(uint32_t fsId) { return std::make_unique<ObjectCursor>(db_, fsId); }

std::optional<StoredObject> Store::objectByNum(uint64_t objNum) {
  Stmt& st = prepared(objByNum_, "SELECT fsid, path, attrs FROM objects WHERE objnum = ?");
  st.bind(1, static_cast<int64_t>(objNum));
  if (!st.step()) return std::nullopt;
  StoredObject o;
  o.objNum = objNum;
  o.fsId = static_cast<uint32_t>(st.i64(0));
  o.path = st.text(1);
  o.attrs = st.blob(2);
  st.reset();
  return o;
}

uint64_t Store::countObjects(uint32_t fsId) {
  Stmt st(db_, "SELECT count(*) FROM objects WHERE fsid = ?");
  st.bind(1, static_cast<int64_t>(fsId)).step();
  return static_cast<uint64_t>(st.i64(0));
}

uint64_t Store::insertObject(uint32_t fsId, const std::string& path, const std::vector<uint8_t>& attrs) {
  Stmt& st = prepared(insertObj_, "INSERT INTO objects(fsid, path, attrs) VALUES(?, ?, ?)");
  st.bind(1, static_cast<int64_t>(fsId)).bindBlob(2, path.data(), path.size()).bindBlob(3, attrs.data(), attrs.size());
  st.step();
  return static_cast<uint64_t>(sqlite3_last_insert_rowid(db_));
}

bool Store::updateAttrs(uint64_t objNum, const std::vector<uint8_t>& attrs) {
  Stmt& st = prepared(setAttrs_, "UPDATE objects SET attrs = ? WHERE objnum = ?");
  st.bindBlob(1, attrs.data(), attrs.size()).bind(2, static_cast<int64_t>(objNum)).step();
  return sqlite3_changes(db_) == 1;
}

bool Store::deleteObject(uint64_t objNum) {
  Stmt& st = prepared(deleteObj_, "DELETE FROM objects WHERE objnum = ?");
  st.bind(1, static_cast<int64_t>(objNum)).step();
  return sqlite3_changes(db_) == 1;
}

bool Store::deleteObject(uint64_t objNum, uint32_t fsId) {
  Stmt& st = prepared(deleteObjOfFs_, "DELETE FROM objects WHERE objnum = ? AND fsid = ?");
  st.bind(1, static_cast<int64_t>(objNum)).bind(2, static_cast<int64_t>(fsId)).step();
  return sqlite3_changes(db_) == 1;
}

// ?1 attributes or NULL (keep), ?2 object, ?3 file space, ?4 path or NULL
// (keep), ?5 the size limit. The first statement leaves the path alone and
// matches only while the stored path is the one given (or none is given);
// the second writes a path that differs.
ChangeResult Store::changeObject(uint64_t objNum, uint32_t fsId, const std::vector<uint8_t>* attrs,
                                 const std::string* path, size_t maxRecord) {
  auto bindAll = [&](Stmt& st) {
    if (attrs) st.bindBlob(1, attrs->data(), attrs->size());
    else st.bindNull(1);
    st.bind(2, static_cast<int64_t>(objNum)).bind(3, static_cast<int64_t>(fsId));
    if (path) st.bindBlob(4, path->data(), path->size());
    else st.bindNull(4);
    st.bind(5, static_cast<int64_t>(maxRecord));
    st.step();
    return sqlite3_changes(db_) == 1;
  };
  if (bindAll(prepared(changeSamePath_,
                       "UPDATE objects SET attrs = coalesce(?1, attrs) WHERE objnum = ?2 AND fsid = ?3"
                       " AND (?4 IS NULL OR path = ?4) AND length(coalesce(?1, attrs)) + length(path) <= ?5")))
    return ChangeResult::kChanged;
  if (path && bindAll(prepared(changeNewPath_,
                               "UPDATE objects SET attrs = coalesce(?1, attrs), path = ?4 WHERE objnum = ?2"
                               " AND fsid = ?3 AND length(coalesce(?1, attrs)) + length(?4) <= ?5")))
    return ChangeResult::kChanged;
  Stmt& exists = prepared(objExists_, "SELECT 1 FROM objects WHERE objnum = ? AND fsid = ?");
  const bool there = exists.bind(1, static_cast<int64_t>(objNum)).bind(2, static_cast<int64_t>(fsId)).step();
  exists.reset();
  return there ? ChangeResult::kTooLarge : ChangeResult::kNoSuchObject;
}

std::vector<uint64_t> Store::objectsByPath(uint32_t fsId, const std::string& path) {
  Stmt st(db_, "SELECT objnum FROM objects WHERE fsid = ? AND path = ? ORDER BY objnum");
  st.bind(1, static_cast<int64_t>(fsId)).bindBlob(2, path.data(), path.size());
  std::vector<uint64_t> v;
  while (st.step()) v.push_back(static_cast<uint64_t>(st.i64(0)));
  return v;
}

}  // namespace zef
