// ZefServerDataInterface: a client's handle on the data of migrated objects
// for one managed file system. It stores a new object with its data
// (kmrmigrate), tells an object's stored size and SHA-256, and streams any
// byte range of an object's data into a caller's sink (kmrrecalld). It sits
// beside ZefServerCommInterface and keeps that interface's conventions: it
// owns one (for the stanza choice, the signed-on session and the file space
// id) and speaks the data verbs of docs/protocol.md ("Object data") on its
// session.
//
// Contract
// - One thread uses an object at a time; two objects have two sessions and
//   may work at once. Record changes (MigrUpd, MigrDel) go through a
//   ZefServerCommInterface of their own: a data verb inside an open
//   transaction is a protocol error.
// - Results are the client's return codes (common/rc.h): 0 success; the
//   server's result (RC_NO_MATCH for an object that is not this node's or
//   does not exist, RC_NO_DATA, RC_DATA_NO_SPACE, RC_DATA_MISMATCH,
//   RC_DATA_DAMAGED, RC_DATA_IO, RC_BAD_CHANGE, RC_STORE_FAILURE); the
//   session's code for the connection (the session is then closed, and the
//   next call signs on again); RC_PROTOCOL_ERROR when the server broke the
//   exchange; a sink's or source's own non-zero code. Nothing throws.
// - The server's session is signed on at construction and again at the
//   start of any call that finds it closed.
// - Sinks and sources are called on the caller's thread, in order, and only
//   during the call they were given to.
#ifndef KMR_SERVER_DATAINTERFACE_H
#define KMR_SERVER_DATAINTERFACE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "common/objectid.h"
#include "server/attrib.h"
#include "server/comminterface.h"
#include "server/datacodec.h"

// Receives `len` bytes of object data that start at byte `offset` of the
// object; `data` is valid only during the call. Returns 0 to go on; any other
// value ends the read, which then returns that value.
using DataSink = std::function<int(uint64_t offset, const uint8_t* data, size_t len)>;

// Judges the bytes a sink received against the object's stored SHA-256
// (`sha256`, 32 bytes): 0 when they are the object's, RC_DATA_DAMAGED when
// not, or any other code to end the read with, as a sink's. A caller whose
// sink hashes the bytes where it has them anyway (on another thread, say)
// saves the read a second pass over them.
using DigestCheck = std::function<int(const uint8_t* sha256)>;

// Fills up to `cap` bytes at `buf` with the object's next bytes and sets
// `*got` to their number (0 only at the end). Returns 0, or a non-zero code
// that abandons the store (nothing is kept on the server).
using DataSource = std::function<int(uint8_t* buf, size_t cap, size_t* got)>;

class ZefServerDataInterface {
 public:
  // Selects `fsName`'s server stanza, signs on and resolves its file space
  // id (adding the file space when the server has none); `rc` receives the
  // result, as ZefServerCommInterface's constructor does.
  ZefServerDataInterface(int& rc, const std::string& fsName);
  ~ZefServerDataInterface();
  ZefServerDataInterface(const ZefServerDataInterface&) = delete;
  ZefServerDataInterface& operator=(const ZefServerDataInterface&) = delete;

  // Streams the object's bytes [offset, offset + length), clipped at the end
  // of the object, into `sink`, in order and without gaps. 0 only when the
  // server confirmed the range and, when the range is the whole object, the
  // SHA-256 of the bytes received equals the stored one (RC_DATA_DAMAGED
  // otherwise); after any other result the bytes given to the sink are not
  // to be trusted. `info` (may be null) receives the stored size and SHA-256.
  // A sink that stops the read closes the session (the server's remaining
  // answer is not waited for). The sink gets pieces of up to 1 MiB where the
  // server sends large chunks (its receive buffer then grows to hold one),
  // else of at most kDataChunkMax bytes. With `check`, a whole object's bytes
  // are not hashed here: `check` is asked instead, once the server confirmed
  // them, and its answer is the read's.
  int readObjectData(const midExtObjId_t& id, uint64_t offset, uint64_t length, const DataSink& sink,
                     ObjectDataInfo* info = nullptr, const DigestCheck& check = nullptr);

  // The stored size and SHA-256 of the object's data, as its record holds
  // them (RC_NO_DATA when the server holds none).
  int queryObjectData(const midExtObjId_t& id, ObjectDataInfo* info);

  // Stores a new object of this file system's file space: `alias` (the path
  // below the mount point), the attributes `attr` and exactly `size` bytes
  // that `source` gives. 0 when the server made the object with its data
  // durable; `id` and `info` (may be null) then receive the new object's id
  // and the SHA-256 the client computed of what it sent (equal to the
  // server's). A source that gives fewer bytes than `size` makes the store
  // fail with RC_BAD_CHANGE; it is never asked for more than `size`.
  // storeObjectData, queryObjectData and readObjectData return
  // RC_INVALID_PARM while stores sent with sendStore wait for their answer.
  int storeObjectData(const std::string& alias, const Attrib& attr, uint64_t size,
                      const DataSource& source, midExtObjId_t* id, ObjectDataInfo* info = nullptr);

  // Pipelined stores: several stores go out before their answers are read,
  // so that the server makes a whole batch durable at once (docs/protocol.md,
  // "Stores in flight"). sendStore sends one store as storeObjectData does
  // and returns without its answer: 0 when it went out (its answer comes
  // from nextStoreAnswer, in the order the stores were sent), else the code
  // (nothing is in flight for it). The caller keeps the window: a store is
  // sent only while windowHasRoom(size), and answers are taken before more
  // goes out. nextStoreAnswer waits for the oldest store's answer and fills
  // `out`: its tag, its result (0: the object and its data are durable on the
  // server, `id` and `info` set), RC_INVALID_PARM when nothing is in flight.
  // A store whose source failed is answered with the source's code; stores
  // in flight when the connection fails are answered with the session's code
  // (nothing of them is known to be kept).
  struct StoreAnswer {
    uint64_t tag = 0;
    int rc = 0;
    midExtObjId_t id{};
    ObjectDataInfo info;
  };
  // Three of the server's batches (64 stores or 8 MiB each): while the
  // client finishes the files of one, the next settles and the third fills,
  // so that neither side waits for the other.
  static constexpr size_t kWindowStores = 192;
  static constexpr uint64_t kWindowBytes = 24 << 20;
  int sendStore(const std::string& alias, const Attrib& attr, uint64_t size, const DataSource& source,
                uint64_t tag);
  int nextStoreAnswer(StoreAnswer* out);
  bool windowHasRoom(uint64_t size) const;
  size_t storesInFlight() const { return m_inFlight.size(); }

  // The file space id of the file system (0 before it is known).
  uint32_t fileSpaceId() const;

 private:
  int ready();
  // The connection failed: every store in flight is answered with `rc`.
  void loseInFlight(int rc);
  struct InFlight {
    uint64_t tag = 0;
    uint64_t size = 0;
    uint8_t sha256[kSha256Len] = {};
    int sourceRc = 0;  // the source failed: the store was ended to be refused
    int lostRc = 0;    // the connection failed: no answer will come
    bool flushed = false;  // a DataFlush went out after it
  };
  std::unique_ptr<ZefServerCommInterface> m_comm;
  std::deque<InFlight> m_inFlight;
  uint64_t m_inFlightBytes = 0;
};

#endif
