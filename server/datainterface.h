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
  // answer is not waited for).
  int readObjectData(const midExtObjId_t& id, uint64_t offset, uint64_t length, const DataSink& sink,
                     ObjectDataInfo* info = nullptr);

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
  int storeObjectData(const std::string& alias, const Attrib& attr, uint64_t size,
                      const DataSource& source, midExtObjId_t* id, ObjectDataInfo* info = nullptr);

  // The file space id of the file system (0 before it is known).
  uint32_t fileSpaceId() const;

 private:
  int ready();
  std::unique_ptr<ZefServerCommInterface> m_comm;
};

#endif
