#include "zefserver/dataverbs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/objectid.h"
#include "common/rc.h"
#include "common/uniquefd.h"
#include "zefserver/server.h"

namespace zef {

namespace {

// The protocol's numbers, written out here rather than taken from the
// client's codec (server/datacodec.h) so that a misreading of the layouts
// shows up between the two sides.
enum : uint32_t {
  kDataPut = 0xC0,
  kDataChunk = 0xC1,
  kDataPutEnd = 0xC2,
  kDataResp = 0xC3,
  kDataGet = 0xC4,
  kDataInfo = 0xC5,
  kDataFlush = 0xC6,
};
constexpr uint8_t kPutFlushFollows = 0x01;
constexpr size_t kPutFixed = 28;
constexpr size_t kChunkFixed = 12;
constexpr size_t kChunkMax = kMaxVerbLen - kChunkFixed;
// What a read of object data takes from the file at a time: 32 chunk
// verbs, about 1 MiB of data.
constexpr size_t kReadPieceChunks = 32;
constexpr size_t kGetFixed = 24;
// DataGet's optional flags, at 52 after an id at data offset 0.
constexpr size_t kGetFlagsAt = kGetFixed + kObjIdLen;
constexpr uint32_t kGetLargeChunks = 0x01;
constexpr uint32_t kGetClientChecks = 0x02;
// An extended-form chunk: 12-byte header, 8-byte offset, up to 1 MiB.
constexpr size_t kExtChunkFixed = 20;
constexpr size_t kExtChunkMax = 1 << 20;
constexpr size_t kInfoFixed = 8;
constexpr size_t kRespLen = 73;
// A record must still fit an enhanced query answer (as for MigrUpd).
constexpr size_t kMaxRecord = kMaxVerbLen - 69 - kObjIdLen;

uint64_t u64(const VerbView& v, size_t off) { return static_cast<uint64_t>(v.u32(off)) << 32 | v.u32(off + 4); }

void put64(uint8_t* p, uint64_t v) {
  putU32(p, static_cast<uint32_t>(v >> 32));
  putU32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace

struct DataVerbs::Put {
  uint32_t fsId = 0;
  uint64_t size = 0;
  uint64_t received = 0;
  std::string path;
  std::vector<uint8_t> attrs;
  uint8_t fail = 0;  // the result decided before the end
  std::unique_ptr<DataWriter> writer;
  Sha256 sha;
  // Set at DataPutEnd and by settle().
  Digest digest{};
  uint8_t result = 0;
  uint64_t objNum = 0;
  bool flushFollows = false;  // DataPut's flag
};

DataVerbs::DataVerbs(Store& store, DataDir* dir, Owns owns, Send send, Logger& log, uint64_t sessionId)
    : store_(store), dir_(dir), owns_(std::move(owns)), send_(std::move(send)), log_(log), sessionId_(sessionId) {}

DataVerbs::~DataVerbs() = default;

bool DataVerbs::isDataVerb(uint32_t code) {
  return code == kDataPut || code == kDataChunk || code == kDataPutEnd || code == kDataGet || code == kDataInfo ||
         code == kDataFlush;
}

const char* DataVerbs::handle(const VerbView& v) {
  if (v.size() > kMaxVerbLen && !(v.code() == kDataChunk && v.extended())) {
    put_.reset();
    return "verb longer than 32768 bytes that is no extended DataChunk";
  }
  if (put_ && v.code() != kDataChunk && v.code() != kDataPutEnd) {
    put_.reset();
    return "verb other than DataChunk or DataPutEnd inside a store";
  }
  // Answers keep the order of the requests: the stores waiting in the
  // batch are answered before a read or a question is.
  if (v.code() == kDataGet || v.code() == kDataInfo || v.code() == kDataFlush) settle();
  switch (v.code()) {
    case kDataFlush: return nullptr;
    case kDataPut: return dataPut(v);
    case kDataChunk: return dataChunk(v);
    case kDataPutEnd: return dataPutEnd(v);
    case kDataGet: return dataGet(v);
    case kDataInfo: return dataInfo(v);
    default: return "not a data verb";
  }
}

const char* DataVerbs::dataPut(const VerbView& v) {
  if (!v.has(4, kPutFixed - 4)) return "short DataPut";
  auto path = v.field(16, kPutFixed);
  auto attrs = v.field(20, kPutFixed);
  if (!path || !attrs) return "DataPut field outside the verb";
  auto p = std::make_unique<Put>();
  p->fsId = v.u32(4);
  p->size = u64(v, 8);
  p->flushFollows = (v.u8(24) & kPutFlushFollows) != 0;
  p->path = asString(*path);
  p->attrs.assign(attrs->begin(), attrs->end());
  if (!owns_(p->fsId)) p->fail = RC_NO_MATCH;
  else if (p->path.empty() || !attrBlockWellFormed(p->attrs) || p->path.size() + p->attrs.size() > kMaxRecord ||
           p->size > static_cast<uint64_t>(INT64_MAX))
    p->fail = RC_BAD_CHANGE;
  else if (!dir_) p->fail = RC_DATA_IO;
  else {
    p->writer = std::make_unique<DataWriter>(*dir_, sessionId_);
    if (int e = p->writer->error()) p->fail = static_cast<uint8_t>(dataResultOfErrno(e));
  }
  put_ = std::move(p);
  return nullptr;
}

const char* DataVerbs::dataChunk(const VerbView& v) {
  if (!put_) return "DataChunk without DataPut";
  if (!v.has(4, kChunkFixed - 4)) return "short DataChunk";
  Put& p = *put_;
  auto bytes = v.tail(kChunkFixed);
  if (u64(v, 4) != p.received) return "DataChunk out of order";
  if (bytes.size() > p.size - p.received) return "DataChunk beyond the declared size";
  if (!p.fail) {
    p.sha.add(bytes.data(), bytes.size());
    p.writer->write(bytes.data(), bytes.size());
    if (int e = p.writer->error()) p.fail = static_cast<uint8_t>(dataResultOfErrno(e));
  }
  p.received += bytes.size();
  return nullptr;
}

const char* DataVerbs::dataPutEnd(const VerbView& v) {
  if (!put_) return "DataPutEnd without DataPut";
  if (!v.has(4, 32)) return "short DataPutEnd";
  std::unique_ptr<Put> p = std::move(put_);
  Digest theirs;
  for (size_t i = 0; i < theirs.size(); ++i) theirs[i] = v.u8(4 + i);
  p->result = p->fail;
  if (!p->result && p->received != p->size) p->result = RC_BAD_CHANGE;
  p->digest = p->sha.final();
  if (!p->result && p->digest != theirs) p->result = RC_DATA_MISMATCH;
  if (!p->result) {
    // Written out now, its write-back started; durable with its batch.
    int e = p->writer->endWrites();
    if (!e && !faults_.writeFailPathPart.empty() && p->path.find(faults_.writeFailPathPart) != std::string::npos)
      e = EIO;
    if (e) p->result = static_cast<uint8_t>(dataResultOfErrno(e));
  }
  if (p->result) p->writer.reset();  // nothing of it is kept, and it holds no descriptor while it waits
  else batchBytes_ += p->size;
  if (!p->flushFollows) ++settleWhenIdle_;
  batch_.push_back(std::move(p));
  if (batch_.size() >= kBatchObjects || batchBytes_ >= kBatchBytes) settle();
  return nullptr;
}

void DataVerbs::settle() {
  if (batch_.empty()) return;
  ++batches_;
  // The write-back of every file started at its DataPutEnd, so these
  // fsyncs mostly find their data on the disk already and wait for the
  // disk's cache flush, which fsyncs running together share.
  std::vector<Put*> live;
  std::vector<DataWriter*> writers;
  for (auto& p : batch_) {
    if (p->result) continue;
    live.push_back(p.get());
    writers.push_back(p->writer.get());
  }
  std::vector<int> errs;
  syncWriters(writers, errs);
  for (size_t i = 0; i < live.size(); ++i) {
    if (!errs[i]) continue;
    live[i]->result = static_cast<uint8_t>(dataResultOfErrno(errs[i]));
    live[i]->writer.reset();
  }
  commitBatch();
  for (auto& p : batch_) answerStore(*p);
  log_.line("session %llu batch %llu: %zu stores, %llu bytes", static_cast<unsigned long long>(sessionId_),
            static_cast<unsigned long long>(batches_), batch_.size(), static_cast<unsigned long long>(batchBytes_));
  batch_.clear();
  batchBytes_ = 0;
  settleWhenIdle_ = 0;
}

void DataVerbs::commitBatch() {
  std::vector<Put*> renamed;
  auto failAll = [&](uint8_t result) {
    for (auto& p : batch_)
      if (!p->result) p->result = result;
    for (Put* p : renamed) dir_->remove(p->objNum);
  };
  bool any = false;
  for (auto& p : batch_) any = any || !p->result;
  if (!any) return;
  try {
    // A record must outlive a power cut once its client was told so: this
    // one commit waits for the disk whatever the connection's setting.
    execSql(store_, "PRAGMA synchronous=FULL");
    {
      Store::WriteTxn txn(store_);
      for (auto& p : batch_) {
        if (p->result) continue;
        // A store whose rename fails takes back its own rows only.
        execSql(store_, "SAVEPOINT one_store");
        p->objNum = store_.insertObject(p->fsId, p->path, p->attrs);
        insertDataRef(store_, p->objNum, DataRef{p->size, p->digest});
        if (int e = p->writer->rename(p->objNum)) {
          execSql(store_, "ROLLBACK TO one_store");
          p->result = static_cast<uint8_t>(dataResultOfErrno(e));
        } else {
          renamed.push_back(p.get());
        }
        execSql(store_, "RELEASE one_store");
      }
      // One fsync of the directory makes every rename of the batch durable.
      int e = renamed.empty() ? 0 : dir_->sync();
      if (!e && faults_.batchSyncFailAt == batches_) e = EIO;
      if (e) {
        log_.line("session %llu batch of %zu stores: the data cannot be made durable (%s): nothing kept",
                  static_cast<unsigned long long>(sessionId_), batch_.size(), strerror(e));
        failAll(static_cast<uint8_t>(dataResultOfErrno(e)));
        execSql(store_, "PRAGMA synchronous=NORMAL");
        return;  // the transaction rolls back
      }
      if (faults_.dieInBatchAt == batches_) {
        log_.line("session %llu fault: the process dies inside a batch, its renames durable, before its commit",
                  static_cast<unsigned long long>(sessionId_));
        raise(SIGKILL);
      }
      txn.commit();
    }
    execSql(store_, "PRAGMA synchronous=NORMAL");
  } catch (const StoreError& e) {
    log_.line("session %llu store failure: %s", static_cast<unsigned long long>(sessionId_), e.what());
    failAll(RC_STORE_FAILURE);
    try {
      execSql(store_, "PRAGMA synchronous=NORMAL");
    } catch (const StoreError&) {
    }
  }
}

void DataVerbs::answerStore(const Put& p) {
  ObjId id{};
  if (!p.result) {
    id = makeObjId(p.fsId, p.objNum);
    log_.line("session %llu stored object %s: %llu bytes", static_cast<unsigned long long>(sessionId_),
              hexUpper(id.data(), id.size()).c_str(), static_cast<unsigned long long>(p.size));
  } else {
    log_.line("session %llu store of %s refused, result %u: nothing kept", static_cast<unsigned long long>(sessionId_),
              p.path.c_str(), p.result);
  }
  answerResp(p.result, id, p.result ? 0 : p.size, p.result ? Digest{} : p.digest);
}

uint8_t DataVerbs::lookup(std::span<const uint8_t> id, uint64_t* objNum, DataRef* ref) {
  auto parts = parseObjId(id);
  if (!parts) return RC_NO_MATCH;
  auto o = store_.objectByNum(parts->objNum);
  // Another node's objects do not exist for this session.
  if (!o || o->fsId != parts->fsId || !owns_(o->fsId)) return RC_NO_MATCH;
  auto r = findDataRef(store_, parts->objNum);
  if (!r) return RC_NO_DATA;
  *objNum = parts->objNum;
  *ref = *r;
  return 0;
}

void DataVerbs::answerResp(uint8_t result, const ObjId& id, uint64_t size, const Digest& sha) {
  std::vector<uint8_t> v(kRespLen, 0);
  putU16(v.data(), kRespLen);
  v[2] = kDataResp;
  v[3] = kVerbMagic;
  v[4] = result;
  std::copy(id.begin(), id.end(), v.begin() + 5);
  put64(&v[33], size);
  std::copy(sha.begin(), sha.end(), v.begin() + 41);
  send_(v);
}

const char* DataVerbs::dataGet(const VerbView& v) {
  if (!v.has(4, kGetFixed - 4)) return "short DataGet";
  auto id = v.field(20, kGetFixed);
  if (!id || id->size() != kObjIdLen) return "DataGet id is not 28 bytes";
  uint32_t flags = 0;
  if (v.has(kGetFlagsAt, 4)) {
    if (v.u16(20) != 0) return "DataGet flags overlap its id";
    flags = v.u32(kGetFlagsAt);
  }
  const uint64_t offset = u64(v, 4), length = u64(v, 12);
  ObjId objId;
  std::copy(id->begin(), id->end(), objId.begin());
  uint64_t objNum = 0;
  DataRef ref;
  // A flag this server does not know may ask for something it would not
  // do: refused with a result, so that the conversation stays in step.
  uint8_t result = flags & ~(kGetLargeChunks | kGetClientChecks) ? RC_BAD_CHANGE
                   : dir_                                          ? lookup(*id, &objNum, &ref)
                                                                   : RC_DATA_IO;
  if (!result && offset < ref.size) {
    uint64_t end = length > ref.size - offset ? ref.size : offset + length;
    result = sendRange(objNum, ref, offset, end, flags);
  }
  if (result == RC_NO_MATCH) objId = ObjId{};
  answerResp(result, objId, result ? 0 : ref.size, result ? Digest{} : ref.sha256);
  return nullptr;
}

uint8_t DataVerbs::sendRange(uint64_t objNum, const DataRef& ref, uint64_t from, uint64_t to, uint32_t flags) {
  UniqueFd fd(dir_->openObject(objNum));
  if (!fd) {
    int e = errno;
    log_.line("session %llu data of object %llu cannot be opened: %s", static_cast<unsigned long long>(sessionId_),
              static_cast<unsigned long long>(objNum), strerror(e));
    return e == ENOENT ? RC_DATA_DAMAGED : RC_DATA_IO;
  }
  struct stat st {};
  uint8_t result = 0;
  if (fstat(fd.get(), &st) != 0) result = RC_DATA_IO;
  else if (static_cast<uint64_t>(st.st_size) != ref.size) result = RC_DATA_DAMAGED;
  // A read of the whole object is checked against its digest on the way,
  // unless the client checks it itself; the reader keeps nothing before the
  // DataResp says 0. The size was checked above either way.
  const bool hash = from == 0 && to == ref.size && !(flags & kGetClientChecks);
  posix_fadvise(fd.get(), static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_SEQUENTIAL);
  Sha256 sha;
  if (!result) {
    result = flags & kGetLargeChunks ? sendLargeChunks(fd.get(), from, to, hash ? &sha : nullptr)
                                     : sendShortChunks(fd.get(), from, to, hash ? &sha : nullptr);
  }
  if (!result && hash && sha.final() != ref.sha256) result = RC_DATA_DAMAGED;
  if (result)
    log_.line("session %llu read of object %llu failed with result %u", static_cast<unsigned long long>(sessionId_),
              static_cast<unsigned long long>(objNum), result);
  return result;
}

uint8_t DataVerbs::sendShortChunks(int fd, uint64_t from, uint64_t to, Sha256* sha) {
  // The file is read kReadPieceChunks chunks at a time (one system call for
  // them rather than one each), and they go out together.
  for (uint64_t at = from; at < to;) {
    const uint64_t left = to - at;
    const size_t chunks = static_cast<size_t>(std::min<uint64_t>(kReadPieceChunks, (left + kChunkMax - 1) / kChunkMax));
    readBuf_.resize(chunks * kMaxVerbLen);  // keeps its capacity
    struct iovec iov[kReadPieceChunks];
    size_t want = 0;
    for (size_t i = 0; i < chunks; ++i) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(kChunkMax, left - want));
      iov[i] = {readBuf_.data() + i * kMaxVerbLen + kChunkFixed, len};
      want += len;
    }
    ssize_t n = preadv(fd, iov, static_cast<int>(chunks), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? RC_DATA_DAMAGED : RC_DATA_IO;
    // The verbs are packed: each chunk's header goes right before its data,
    // which a short read may end early.
    size_t got = static_cast<size_t>(n), out = 0;
    for (size_t i = 0; i < chunks && got > 0; ++i) {
      const size_t len = std::min(iov[i].iov_len, got);
      uint8_t* verb = readBuf_.data() + out;
      if (out != i * kMaxVerbLen) std::memmove(verb + kChunkFixed, iov[i].iov_base, len);
      putU16(verb, static_cast<uint16_t>(kChunkFixed + len));
      verb[2] = kDataChunk;
      verb[3] = kVerbMagic;
      put64(verb + 4, at);
      if (sha) sha->add(verb + kChunkFixed, len);
      out += kChunkFixed + len;
      at += len;
      got -= len;
    }
    readBuf_.resize(out);
    send_(readBuf_);
  }
  return 0;
}

uint8_t DataVerbs::sendLargeChunks(int fd, uint64_t from, uint64_t to, Sha256* sha) {
  for (uint64_t at = from; at < to;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(kExtChunkMax, to - at));
    readBuf_.resize(kExtChunkFixed);
    uint8_t* h = readBuf_.data();
    h[0] = h[1] = 0;
    h[2] = kVerbExtendedCode;
    h[3] = kVerbMagic;
    putU32(h + 4, kDataChunk);
    putU32(h + 8, static_cast<uint32_t>(kExtChunkFixed + len));
    put64(h + 12, at);
    // Bytes nobody hashes here go from the page cache to the socket without
    // passing through this process (not inside TLS: those are read).
    if (!sha && sendFile_ && sendFile_(readBuf_, fd, at, len)) {
      at += len;
      continue;
    }
    readBuf_.resize(kExtChunkFixed + len);
    for (size_t got = 0; got < len;) {
      ssize_t n = pread(fd, readBuf_.data() + kExtChunkFixed + got, len - got, static_cast<off_t>(at + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n == 0 ? RC_DATA_DAMAGED : RC_DATA_IO;
      got += static_cast<size_t>(n);
    }
    if (sha) sha->add(readBuf_.data() + kExtChunkFixed, len);
    send_(readBuf_);
    at += len;
  }
  return 0;
}

const char* DataVerbs::dataInfo(const VerbView& v) {
  if (!v.has(4, kInfoFixed - 4)) return "short DataInfo";
  auto id = v.field(4, kInfoFixed);
  if (!id || id->size() != kObjIdLen) return "DataInfo id is not 28 bytes";
  ObjId objId;
  std::copy(id->begin(), id->end(), objId.begin());
  uint64_t objNum = 0;
  DataRef ref;
  uint8_t result = lookup(*id, &objNum, &ref);
  if (result == RC_NO_MATCH) objId = ObjId{};
  answerResp(result, objId, result ? 0 : ref.size, result ? Digest{} : ref.sha256);
  return nullptr;
}

}  // namespace zef
