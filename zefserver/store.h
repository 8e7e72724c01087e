// The reference server's record store: nodes, file spaces and migrated
// objects in one SQLite database file (WAL mode).
//
// Contract
// - A Store is one database connection. It is used by one thread at a time;
//   every session thread and zefadm open their own. WAL lets one writer and
//   any number of readers (a streaming query) work at once.
// - open() creates the database file (mode 0600 whatever the umask: it holds
//   the nodes' password hashes and every record; SQLite gives its journal
//   files the same mode) and the schema on first use; opened as kExisting, a
//   missing file is a StoreError and nothing is created. Every other failure of SQLite is
//   thrown as StoreError; the store stays usable (an open WriteTxn rolls back
//   when it is destroyed without commit()).
// - Nothing a writer does is visible to other connections before commit().
#ifndef KMR_ZEFSERVER_STORE_H
#define KMR_ZEFSERVER_STORE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace zef {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FileSpace {
  uint32_t id = 0;
  std::string node;
  std::string name;
  std::string type;
  std::vector<uint8_t> info;  // 8 bytes
  uint8_t delimiter = '/';
  uint16_t nameForm = 0;
  uint64_t size1 = 0, size2 = 0;
  int64_t created = 0;  // seconds since the epoch
};

struct StoredObject {
  uint64_t objNum = 0;
  uint32_t fsId = 0;
  std::string path;
  std::vector<uint8_t> attrs;
};

// Owning wrapper of one prepared statement.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& bind(int i, int64_t v);
  Stmt& bind(int i, const std::string& text);
  Stmt& bindBlob(int i, const void* p, size_t n);
  Stmt& bindNull(int i);
  // One step: true for a row, false when done. Throws on error.
  bool step();
  void reset();
  int64_t i64(int col) const;
  std::string text(int col) const;
  std::vector<uint8_t> blob(int col) const;
  void blobInto(int col, std::vector<uint8_t>& out) const;
  void textInto(int col, std::string& out) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

// Steps through the objects of one file space in object number order. It
// reads a page of objects at a time, each page in a short read transaction
// of its own, and holds no snapshot between pages: a long, slowly consumed
// scan never keeps a checkpoint from resetting the write-ahead log. An
// object changed or added after the scan passed its number is not seen
// again; one not yet reached is seen as it is when its page is read.
class ObjectCursor {
 public:
  static constexpr size_t kPageSize = 512;
  ObjectCursor(sqlite3* db, uint32_t fsId);
  // Fills `o` (reusing its buffers) and returns true, or false at the end.
  bool next(StoredObject& o);

 private:
  bool readPage();
  Stmt st_;
  uint32_t fsId_;
  int64_t after_ = 0;  // the last object number read
  bool lastPage_ = false;
  std::vector<StoredObject> page_;
  size_t pos_ = 0;
};

// What Store::changeObject found.
enum class ChangeResult { kChanged, kNoSuchObject, kTooLarge };

class Store {
 public:
  enum OpenMode { kCreate, kExisting };
  // Opens (kCreate: or creates) the database at `path`. Throws StoreError.
  static std::unique_ptr<Store> open(const std::string& path, OpenMode mode = kCreate);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // RAII write transaction (BEGIN IMMEDIATE). Rolls back unless committed.
  class WriteTxn {
   public:
    explicit WriteTxn(Store& s);
    ~WriteTxn();
    void commit();

   private:
    Store& s_;
    bool done_ = false;
  };

  // Node names are kept upper-cased; these calls upper-case their argument.
  // A node's password is kept only as the hash made by hashPassword()
  // (zefserver/password.h); an empty hash admits nobody.
  // registerNode returns false when the node already exists, setPasswordHash
  // when it does not; passwordHash is nullopt for an unknown node.
  bool registerNode(const std::string& name, const std::string& passwordHash);
  bool setPasswordHash(const std::string& name, const std::string& passwordHash);
  std::optional<std::string> passwordHash(const std::string& name);
  bool nodeExists(const std::string& name);

  std::optional<FileSpace> findFileSpace(const std::string& node, const std::string& name);
  std::optional<FileSpace> fileSpaceById(uint32_t id);
  std::vector<FileSpace> listFileSpaces();
  // Inserts and returns the new id; the caller checked that it is new.
  uint32_t addFileSpace(const FileSpace& fs);

  std::unique_ptr<ObjectCursor> scan(uint32_t fsId);
  std::optional<StoredObject> objectByNum(uint64_t objNum);
  uint64_t countObjects(uint32_t fsId);
  // Inserts one object, returns its new object number.
  uint64_t insertObject(uint32_t fsId, const std::string& path, const std::vector<uint8_t>& attrs);
  // Each returns false when no such object exists.
  bool updateAttrs(uint64_t objNum, const std::vector<uint8_t>& attrs);
  bool deleteObject(uint64_t objNum);
  // Sets the attributes (when `attrs` is given) and the path (when `path`
  // is given) of object objNum of file space fsId, provided attributes and
  // path together stay within `maxRecord` bytes. A path equal to the stored
  // one is not written. One UPDATE when the object is there and fits;
  // kNoSuchObject (no object of that number in that file space) and
  // kTooLarge change nothing.
  ChangeResult changeObject(uint64_t objNum, uint32_t fsId, const std::vector<uint8_t>* attrs,
                            const std::string* path, size_t maxRecord);
  // Deletes object objNum when it belongs to file space fsId.
  bool deleteObject(uint64_t objNum, uint32_t fsId);
  // Objects of a file space stored under `path` (normally at most one).
  std::vector<uint64_t> objectsByPath(uint32_t fsId, const std::string& path);

  sqlite3* handle() { return db_; }

 private:
  explicit Store(sqlite3* db) : db_(db) {}
  void exec(const char* sql);
  void addPasswordColumn();
  // The statement of `slot`, prepared on first use and reset for the next.
  Stmt& prepared(std::unique_ptr<Stmt>& slot, const char* sql);
  sqlite3* db_;
  // Statements of the busy paths, prepared once per connection.
  std::unique_ptr<Stmt> insertObj_, objByNum_, setAttrs_, deleteObj_, deleteObjOfFs_, changeSamePath_,
      changeNewPath_, objExists_;
};

}  // namespace zef

#endif
