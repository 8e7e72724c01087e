// Object data of the reference server: the data directory with one file per
// object, the data reference of each object (size and SHA-256) in the
// database, the writing of a new object's data into an unnamed file, and
// the collection of files that no record names.
//
// Contract
// - A DataDir is shared by all sessions of a process (and opened by zefadm);
//   its functions may be called from any thread. A DataWriter and the
//   functions taking a Store are used by the one thread that uses that Store.
// - The order that makes a record never name data that is not durable:
//   DataWriter::sync of each file (fsynced), then, inside the database
//   transaction that inserts the records and their data references,
//   DataWriter::rename of each, then DataDir::sync (the directory fsynced
//   once for every rename of the transaction), then the commit.
//   DataWriter::publish is rename and directory fsync in one, for a
//   transaction of one object (zefadm migrate).
// - A DataWriter holds the directory's lock shared from its file's creation
//   to its end; collect() takes it exclusively, so it never removes a store
//   in progress. A DataWriter not published leaves nothing when it ends.
// - Failures of the file system are errno values (0 none); database failures
//   are thrown as StoreError like every Store call.
#ifndef KMR_ZEFSERVER_DATASTORE_H
#define KMR_ZEFSERVER_DATASTORE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/wire/sha256.h"
#include "zefserver/store.h"

namespace zef {

using Digest = Sha256Digest;

// SHA-256 of bytes given in pieces: the digest every client computes
// (server/wire/sha256.h), with OpenSSL's failures thrown as StoreError.
class Sha256 {
 public:
  Sha256();
  void add(const uint8_t* p, size_t n) { s_.add(p, n); }
  Digest final();

 private:
  Sha256Stream s_;
};

// What the record of an object says about its data.
struct DataRef {
  uint64_t size = 0;
  Digest sha256{};
};

// Runs SQL that returns no rows on the store's connection (pragmas).
void execSql(Store& store, const char* sql);
// Creates the table of data references when missing (deleting an object
// deletes its reference with it).
void ensureDataSchema(Store& store);
std::optional<DataRef> findDataRef(Store& store, uint64_t objNum);
void insertDataRef(Store& store, uint64_t objNum, const DataRef& ref);
// Sum of the data sizes of the objects of file space fsId.
uint64_t storedBytes(Store& store, uint32_t fsId);
// Calls `fn` for every data reference in object number order, a page at a
// time, so that memory does not grow with the number of objects.
void forEachDataRef(Store& store, const std::function<void(uint64_t objNum, const DataRef&)>& fn);

// `data` in the directory of the database file.
std::string defaultDataDir(const std::string& dbPath);
// The data verbs' result for a file system error: RC_DATA_NO_SPACE for a
// full disk or quota, RC_DATA_IO for anything else.
int dataResultOfErrno(int err);

class DataDir {
 public:
  // Opens the directory, creating it (and no parent) with mode 0700 when
  // missing. nullptr with `error` set when it cannot be opened or is not a
  // directory.
  static std::unique_ptr<DataDir> open(const std::string& path, std::string& error);
  ~DataDir();
  DataDir(const DataDir&) = delete;
  DataDir& operator=(const DataDir&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  // The name of an object's data file: 16 lower-case hex digits.
  static std::string fileName(uint64_t objNum);
  // A descriptor of the object's data file for reading, or -1 with errno.
  int openObject(uint64_t objNum) const;
  // Removes the data file of an object whose record is gone; a missing file
  // is no error.
  void remove(uint64_t objNum);
  // fsyncs the directory (its entries: renames, removals). 0 or errno.
  int sync();

  struct Collected {
    uint64_t files = 0;
    uint64_t bytes = 0;
  };
  // Removes every temporary and every object file that no committed data
  // reference of `store` names; other names are left alone.
  Collected collect(Store& store);

 private:
  friend class DataWriter;
  DataDir(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_;
};

// Writes one new object's data into an unnamed file of the data directory
// (O_TMPFILE; a named temporary `.put-*` where the file system has no
// unnamed files), buffered. Every
// kWriteBehind bytes written it starts their write-back to the disk without
// waiting for it, so that the disk works while the rest arrives and the
// fsync of sync() finds little left to do.
class DataWriter {
 public:
  static constexpr size_t kBufferSize = 256 * 1024;
  static constexpr uint64_t kWriteBehind = 8 << 20;
  DataWriter(DataDir& dir, uint64_t sessionId);
  ~DataWriter();
  DataWriter(const DataWriter&) = delete;
  DataWriter& operator=(const DataWriter&) = delete;

  // The first failure met (0: none). After a failure, writes are dropped.
  int error() const { return err_; }
  void write(const uint8_t* p, size_t n);
  // Writes what is buffered, gives the buffer back and starts the
  // write-back of what is not yet on its way to the disk (no wait): the
  // writer of a store that waits for its batch holds no memory. Returns
  // error(); later writes are not expected.
  int endWrites();
  // Writes what is buffered and fsyncs the file. Returns error().
  int sync();
  // Gives the file the object's name (links the unnamed file, or renames
  // the named temporary). Returns 0 or errno; on failure the file is left
  // for the destructor.
  int rename(uint64_t objNum);
  // rename(), then the directory's fsync.
  int publish(uint64_t objNum);

 private:
  void flush();
  int link(const std::string& name);
  void writeOut(const uint8_t* p, size_t n);
  DataDir& dir_;
  std::string temp_;
  int lockFd_ = -1;
  int fd_ = -1;
  int err_ = 0;
  bool published_ = false;
  uint64_t written_ = 0;   // bytes in the file
  uint64_t flushedTo_ = 0;  // write-back started below this offset
  std::vector<uint8_t> buf_;
};

// sync() of every writer of `ws`, up to kSyncThreads at a time, the calling
// thread among them; errs[i] gets ws[i]'s result. fsyncs that run together
// let the block layer merge their disk cache flushes, so a batch waits for
// a few flushes instead of one per file. Each writer is touched by one
// thread only; returns when all are done. Never throws (without threads it
// syncs them one after another).
inline constexpr size_t kSyncThreads = 8;
void syncWriters(const std::vector<DataWriter*>& ws, std::vector<int>& errs);

enum class DataCheck { kGood, kMissing, kWrongSize, kWrongDigest, kUnreadable };
const char* dataCheckText(DataCheck c);
// Reads the whole data file of an object and compares it with its reference.
DataCheck checkData(const DataDir& dir, uint64_t objNum, const DataRef& ref);

}  // namespace zef

#endif
