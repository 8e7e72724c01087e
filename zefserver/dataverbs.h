// The reference server's side of the object data verbs (DataPut, DataChunk,
// DataPutEnd, DataGet, DataInfo; docs/protocol.md "Object data"), with its
// own decoders and encoders.
//
// Contract
// - One DataVerbs belongs to one session and is used by its thread.
// - handle() takes one data verb (isDataVerb) or, while a store is open
//   (busy()), any verb; it returns nullptr when the session goes on, or the
//   text of a protocol error after which the session must end (an open store
//   is then dropped, nothing of it kept).
// - Group commit: a store whose DataPutEnd came is not answered at once. It
//   joins the session's batch (its temporary written, not yet fsynced); the
//   batch is made durable and answered by settle(), which handle() calls at
//   DataFlush, DataGet and DataInfo and when the batch holds kBatchObjects
//   stores or kBatchBytes bytes, and the session calls before any other verb
//   and, while the batch holds a store without DataPut's "flush follows"
//   flag, whenever no further input is waiting on the connection.
//   settle() fsyncs each temporary, then in ONE database transaction inserts
//   every record with its data reference and renames every temporary to its
//   object's name, fsyncs the directory once and commits; only then are the
//   stores answered, in the order they came. A store that fails on its own
//   (its writes, its fsync, its rename) is answered with its result and
//   fails alone; a failure of the directory's fsync or of the commit fails
//   every store of the batch, and nothing of it is kept. A batch not settled when the session ends is
//   dropped (nothing was answered, nothing is kept).
// - While a batch waits, the session holds two descriptors per store in it
//   (its temporary and the data directory's lock).

// - Answers go out through `send`; a session sees only the objects of the
//   file spaces `owns` says are its node's.
// - A null data directory answers every store and read with RC_DATA_IO.
#ifndef KMR_ZEFSERVER_DATAVERBS_H
#define KMR_ZEFSERVER_DATAVERBS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zefserver/datastore.h"
#include "zefserver/objects.h"
#include "zefserver/store.h"
#include "zefserver/wire.h"

namespace zef {

class Logger;

class DataVerbs {
 public:
  // Sends one verb, or several verbs one after the other (a read's chunks).
  using Send = std::function<void(const std::vector<uint8_t>& verb)>;
  using Owns = std::function<bool(uint32_t fsId)>;
  // Sends `head`, then `len` bytes of the file `fd` from `offset`, without
  // reading them into the process; false, having sent nothing, where the
  // connection cannot (TLS). Throws as Send does, also when the file ends
  // before `len` bytes.
  using SendFile = std::function<bool(const std::vector<uint8_t>& head, int fd, uint64_t offset, size_t len)>;
  DataVerbs(Store& store, DataDir* dir, Owns owns, Send send, Logger& log, uint64_t sessionId);
  ~DataVerbs();
  DataVerbs(const DataVerbs&) = delete;
  DataVerbs& operator=(const DataVerbs&) = delete;

  // The longest verb a session takes while a store is open: a DataChunk in
  // the extended form with 1 MiB of data. Every other verb stays within
  // kMaxVerbLen.
  static constexpr size_t kMaxChunkVerbLen = 20 + (1 << 20);
  static bool isDataVerb(uint32_t code);
  static constexpr size_t kBatchObjects = 64;
  static constexpr uint64_t kBatchBytes = 8 << 20;
  bool busy() const { return put_ != nullptr; }
  const char* handle(const VerbView& v);
  // Whether the batch holds a store whose client did not promise a
  // DataFlush (DataPut's flag): the session settles it once no input waits.
  bool settlesWhenIdle() const { return settleWhenIdle_ > 0; }
  // Makes the batch durable and answers it (above). Never throws.
  void settle();
  // Test faults: a store whose path contains writeFailPathPart fails the
  // end of its writes with EIO; the session's Nth batch (1-based) fails its
  // directory fsync with EIO (batchSyncFailAt) or kills the process after
  // it, before its commit (dieInBatchAt).
  struct Faults {
    std::string writeFailPathPart;
    uint64_t batchSyncFailAt = 0;
    uint64_t dieInBatchAt = 0;
  };
  void setFaults(Faults f) { faults_ = std::move(f); }
  // Without one, every read's bytes pass through the process.
  void setSendFile(SendFile f) { sendFile_ = std::move(f); }

 private:
  struct Put;
  const char* dataPut(const VerbView& v);
  const char* dataChunk(const VerbView& v);
  const char* dataPutEnd(const VerbView& v);
  const char* dataGet(const VerbView& v);
  const char* dataInfo(const VerbView& v);
  // Inserts the records of the batch's good stores and renames their
  // temporaries in one transaction; sets each store's result.
  void commitBatch();
  void answerStore(const Put& p);
  // The object of a DataGet/DataInfo id with its data reference; the
  // result (0, RC_NO_MATCH, RC_NO_DATA) when there is none.
  uint8_t lookup(std::span<const uint8_t> id, uint64_t* objNum, DataRef* ref);
  void answerResp(uint8_t result, const ObjId& id, uint64_t size, const Digest& sha);
  // Streams [from, to) of the object's file in chunks of the kind `flags`
  // (DataGet's) asks for; 0 or the result.
  uint8_t sendRange(uint64_t objNum, const DataRef& ref, uint64_t from, uint64_t to, uint32_t flags);
  // Short chunks of up to 32756 bytes, or extended ones of up to 1 MiB;
  // each adds what it sends to `sha` when there is one.
  uint8_t sendShortChunks(int fd, uint64_t from, uint64_t to, Sha256* sha);
  uint8_t sendLargeChunks(int fd, uint64_t from, uint64_t to, Sha256* sha);

  Store& store_;
  DataDir* dir_;
  Owns owns_;
  Send send_;
  SendFile sendFile_;
  Logger& log_;
  uint64_t sessionId_;
  std::unique_ptr<Put> put_;
  std::vector<std::unique_ptr<Put>> batch_;
  uint64_t batchBytes_ = 0;
  size_t settleWhenIdle_ = 0;
  uint64_t batches_ = 0;
  Faults faults_;
  std::vector<uint8_t> chunk_;    // the one chunk verb being built
  std::vector<uint8_t> readBuf_;  // chunk verbs of an object being read (1 MiB once a session read)
};

}  // namespace zef

#endif
