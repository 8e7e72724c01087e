#include "server/datainterface.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "common/trace.h"
#include "server/logutil.h"
#include "server/session.h"
#include "server/wire/attribcodec.h"
#include "server/wire/bytes.h"
#include "server/wire/verb.h"
#include "server/wire/sha256.h"

namespace {

const char kRead[] = "ZefServerDataInterface::readObjectData";
const char kInfo[] = "ZefServerDataInterface::queryObjectData";
const char kStore[] = "ZefServerDataInterface::storeObjectData";

template <typename Build>
int sendBuilt(Sess_o* s, Build build) {
  uint8_t* buf = sessGetBufferP(s);
  if (!buf) return RC_NO_BUFFER;
  size_t len = build(buf, sessGetBufferSize(s));
  if (!len) return RC_PROTOCOL_ERROR;
  return sessSendVerb(s, buf);
}

// The server broke the exchange: nothing after it can be trusted.
int violation(Sess_o* s, const char* where, const char* what) {
  srvTraceAndLog(__FILE__, __LINE__, TR_SESSION, "%s: protocol violation: %s\n", where, what);
  Logoff(s);
  return RC_PROTOCOL_ERROR;
}

// Receives the server's DataResp. A chunk in its place is a violation.
int recvDataResp(Sess_o* s, const char* where, DataRespAnswer* out) {
  uint8_t* verb;
  if (int rc = sessRecvVerb(s, &verb)) return rc;
  if (decodeDataResp(verb, getU16(verb), out)) {
    srvLogVerb(verb, getU16(verb));
    return violation(s, where, "expected DataResp");
  }
  return 0;
}

}  // namespace

ZefServerDataInterface::ZefServerDataInterface(int& rc, const std::string& fsName) {
  m_comm.reset(new (std::nothrow) ZefServerCommInterface(rc, fsName, 0, 1));
  if (!m_comm) rc = RC_NO_MEMORY;
  // Room for one extended chunk of 1 MiB: a store then costs one read of
  // the file and one send per MiB. Without it the store goes in short
  // chunks of 32 KiB, which every server takes as well.
  else if (m_comm->session())
    sessReserveSendBuffer(m_comm->session(), kDataChunkExtFixed + kDataChunkExtMax);
}

ZefServerDataInterface::~ZefServerDataInterface() = default;

uint32_t ZefServerDataInterface::fileSpaceId() const {
  return m_comm && m_comm->fileSpec() ? m_comm->fileSpec()->fsID : 0;
}

int ZefServerDataInterface::ready() {
  if (!m_comm || !m_comm->session()) return RC_NO_STANZA;
  if (sessGetState(m_comm->session()) == sSignedOn && m_comm->fileSpec()) return 0;
  return m_comm->checkSession();
}

int ZefServerDataInterface::readObjectData(const midExtObjId_t& id, uint64_t offset, uint64_t length,
                                           const DataSink& sink, ObjectDataInfo* info, const DigestCheck& check) {
  TREnterExit<char> ee(__FILE__, __LINE__, kRead);
  if (!m_inFlight.empty()) return RC_INVALID_PARM;
  if (int rc = ready()) return rc;
  Sess_o* s = m_comm->session();
  // Before the request: once asked, the answer's chunks must be read.
  Sha256Stream sha;
  if (!sha.ok()) return RC_NO_MEMORY;
  // Chunks of 1 MiB arrive straight in the receive buffer and go to the
  // sink from there: one receive and one hand-over per MiB instead of 32.
  // Where the buffer cannot grow, the server's short chunks do as well.
  uint32_t flags = sessReserveRecvBuffer(s, kDataChunkExtFixed + kDataChunkExtMax) == 0 ? kDataGetLargeChunks : 0;
  // A read from the start is checked here against the DataResp's digest
  // whenever it turns out to be the whole object (below): the server need
  // not hash the same bytes too.
  if (offset == 0) flags |= kDataGetClientChecks;
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildDataGet(b, cap, id, offset, length, flags); });
  if (rc) return rc;
  uint64_t next = offset;
  const uint64_t wantEnd = length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
  uint8_t* verb = nullptr;
  for (;;) {
    if ((rc = sessRecvVerb(s, &verb))) return rc;
    const bool extended = verb[2] == kVerbExtendedCode;
    if (verb[2] != kVerbDataChunk && !(extended && getU32(verb + 4) == kVerbDataChunk)) break;
    DataChunkView chunk;
    if (decodeDataChunk(verb, extended ? getU32(verb + 8) : getU16(verb), &chunk))
      return violation(s, kRead, "malformed DataChunk");
    if (chunk.offset != next || chunk.length > wantEnd - next)
      return violation(s, kRead, "DataChunk out of order or outside the range asked for");
    if (offset == 0 && !check) sha.add(chunk.data, chunk.length);
    if (chunk.length && (rc = sink(chunk.offset, chunk.data, chunk.length))) {
      // Draining the rest could take as long as the whole read; a new
      // session is cheaper.
      TRACE(TR_SESSION, "%s: the sink stopped the read at offset %llu with %d\n", kRead,
            static_cast<unsigned long long>(chunk.offset), rc);
      Logoff(s);
      return rc;
    }
    next += chunk.length;
  }
  DataRespAnswer resp;
  if (decodeDataResp(verb, getU16(verb), &resp)) {
    srvLogVerb(verb, getU16(verb));
    return violation(s, kRead, "expected DataChunk or DataResp");
  }
  if (resp.result) {
    TRACE(TR_SESSION, "%s: server result %u after %llu bytes\n", kRead, resp.result,
          static_cast<unsigned long long>(next - offset));
    return resp.result;
  }
  const uint64_t end = offset >= resp.info.size ? offset : std::min(wantEnd, resp.info.size);
  if (next != end) return violation(s, kRead, "DataResp after fewer bytes than the range holds");
  if (offset == 0 && next == resp.info.size) {
    Sha256Digest got;
    if (!check && !sha.final(&got)) return RC_NO_MEMORY;
    const int judged = check ? check(resp.info.sha256)
                             : memcmp(got.data(), resp.info.sha256, kSha256Len) != 0 ? RC_DATA_DAMAGED : 0;
    if (judged != 0 && judged != RC_DATA_DAMAGED) return judged;
    if (judged == RC_DATA_DAMAGED) {
      srvTraceAndLog(__FILE__, __LINE__, TR_SESSION,
                     "%s: the data received does not match its SHA-256 on the server\n", kRead);
      return RC_DATA_DAMAGED;
    }
  }
  if (info) *info = resp.info;
  return 0;
}

int ZefServerDataInterface::queryObjectData(const midExtObjId_t& id, ObjectDataInfo* info) {
  TREnterExit<char> ee(__FILE__, __LINE__, kInfo);
  if (!m_inFlight.empty()) return RC_INVALID_PARM;
  if (int rc = ready()) return rc;
  Sess_o* s = m_comm->session();
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildDataInfo(b, cap, id); });
  DataRespAnswer resp;
  if (!rc) rc = recvDataResp(s, kInfo, &resp);
  if (rc) return rc;
  if (resp.result) return resp.result;
  *info = resp.info;
  return 0;
}

int ZefServerDataInterface::storeObjectData(const std::string& alias, const Attrib& attr, uint64_t size,
                                            const DataSource& source, midExtObjId_t* id,
                                            ObjectDataInfo* info) {
  if (!m_inFlight.empty()) return RC_INVALID_PARM;
  if (int rc = sendStore(alias, attr, size, source, 0)) return rc;
  StoreAnswer a;
  if (int rc = nextStoreAnswer(&a)) return rc;
  if (a.rc) return a.rc;
  *id = a.id;
  if (info) *info = a.info;
  return 0;
}

bool ZefServerDataInterface::windowHasRoom(uint64_t size) const {
  return m_inFlight.empty() ||
         (m_inFlight.size() < kWindowStores && m_inFlightBytes + size <= kWindowBytes);
}

void ZefServerDataInterface::loseInFlight(int rc) {
  for (InFlight& f : m_inFlight)
    if (!f.lostRc) f.lostRc = rc;
}

int ZefServerDataInterface::sendStore(const std::string& alias, const Attrib& attr, uint64_t size,
                                      const DataSource& source, uint64_t tag) {
  TREnterExit<char> ee(__FILE__, __LINE__, kStore);
  // A session signed on again would never answer the stores of the old one.
  if (m_comm && m_comm->session() && sessGetState(m_comm->session()) != sSignedOn) loseInFlight(RC_COMM_FAILURE);
  if (int rc = ready()) {
    loseInFlight(rc);
    return rc;
  }
  Sess_o* s = m_comm->session();
  uint8_t block[kAttribNetLen];
  size_t blockLen = AttribToNet(attr, block, sizeof block);
  int rc = sendBuilt(s, [&](uint8_t* b, size_t cap) {
    return buildDataPut(b, cap, fileSpaceId(), size, alias, block, blockLen, kDataPutFlushFollows);
  });
  Sha256Stream sha;
  uint64_t sent = 0;
  int sourceRc = 0;
  uint8_t* buf = sessGetBufferP(s);
  const size_t cap = sessGetBufferSize(s);
  const bool extended = cap >= kDataChunkExtFixed + kDataChunkExtMax;
  const size_t fixed = extended ? kDataChunkExtFixed : kDataChunkFixed;
  const size_t room = extended ? kDataChunkExtMax : std::min(cap, kDataChunkFixed + kDataChunkMax) - kDataChunkFixed;
  while (!rc && sent < size) {
    size_t got = 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(room, size - sent));
    sourceRc = source(buf + fixed, want, &got);
    if (sourceRc || got == 0) break;
    if (got > want) {
      sourceRc = RC_INTERNAL;
      break;
    }
    sha.add(buf + fixed, got);
    if (!(extended ? buildDataChunkExtInPlace(buf, cap, sent, got) : buildDataChunkInPlace(buf, cap, sent, got)))
      rc = RC_INTERNAL;
    else
      rc = sessSendVerb(s, buf);
    sent += got;
  }
  // Even an abandoned store is ended, so that the conversation stays in
  // step; the server keeps nothing of a store with too few bytes or a
  // checksum of its own bytes that does not match. A digest that failed
  // ends the store the same way as a source that did.
  InFlight f;
  f.tag = tag;
  f.size = size;
  Sha256Digest digest;
  if (!sha.final(&digest) && !sourceRc) sourceRc = RC_NO_MEMORY;
  if (sourceRc) digest[0] ^= 0xFF;
  memcpy(f.sha256, digest.data(), kSha256Len);
  f.sourceRc = sourceRc;
  if (!rc) rc = sendBuilt(s, [&](uint8_t* b, size_t cap) { return buildDataPutEnd(b, cap, f.sha256); });
  if (rc) {
    loseInFlight(rc);
    if (rc != RC_INTERNAL) return rc;
    Logoff(s);  // the store is cut short on the wire: the conversation is out of step
    return rc;
  }
  m_inFlight.push_back(f);
  m_inFlightBytes += size;
  return 0;
}

int ZefServerDataInterface::nextStoreAnswer(StoreAnswer* out) {
  if (m_inFlight.empty()) return RC_INVALID_PARM;
  InFlight f = m_inFlight.front();
  m_inFlight.pop_front();
  m_inFlightBytes -= f.size;
  *out = StoreAnswer{};
  out->tag = f.tag;
  if (f.lostRc) {
    out->rc = f.lostRc;
    return 0;
  }
  DataRespAnswer resp;
  int rc = 0;
  if (!f.flushed) {
    // The server settles a batch on its own when it is full; the rest it
    // settles when told that the client now waits: one DataFlush covers
    // every store sent before it.
    for (InFlight& later : m_inFlight) later.flushed = true;
    rc = sendBuilt(m_comm->session(), [](uint8_t* b, size_t cap) { return buildDataFlush(b, cap); });
  }
  if (!rc) rc = recvDataResp(m_comm->session(), kStore, &resp);
  if (rc) {
    loseInFlight(rc);
    out->rc = rc;
    return 0;
  }
  if (f.sourceRc) {
    out->rc = f.sourceRc;
  } else if (resp.result) {
    TRACE(TR_SESSION, "%s: server result %u for store %llu\n", kStore, resp.result,
          static_cast<unsigned long long>(f.tag));
    out->rc = resp.result;
  } else if (resp.info.size != f.size || memcmp(resp.info.sha256, f.sha256, kSha256Len) != 0) {
    out->rc = violation(m_comm->session(), kStore, "DataResp names other data than was sent");
    loseInFlight(out->rc);
  } else {
    out->id = resp.objId;
    out->info = resp.info;
  }
  return 0;
}
