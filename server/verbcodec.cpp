#include "server/verbcodec.h"

#include <cstring>

#include "server/wire/attribcodec.h"
#include "server/wire/bytes.h"

namespace {

std::string upper7(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

void fieldStr(VerbWriter& w, size_t descPos, const std::string& s) {
  w.field(descPos, s.data(), s.size());
}

std::string asString(const VerbField& f) {
  return f.length ? std::string(reinterpret_cast<const char*>(f.data), f.length) : std::string();
}

// Copies bytes as they stand on the wire into a host field: the server object
// information is opaque to the client and is handed back unconverted.
template <typename T>
void rawCopy(T* dst, const uint8_t* src) {
  memcpy(dst, src, sizeof(T));
}

void putUtf16(std::string& out, uint32_t unit) {
  out.push_back(static_cast<char>(unit >> 8));
  out.push_back(static_cast<char>(unit & 0xFF));
}

}  // namespace

std::string toUtf16Be(const std::string& text) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    uint32_t cp = s[i];
    size_t extra = cp >= 0xF0 && cp < 0xF8 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
    if (cp >= 0xF8) extra = 0;
    bool valid = extra != 0;
    for (size_t k = 1; valid && k <= extra; ++k)
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) valid = false;
    if (!valid) {
      putUtf16(out, s[i++]);
      continue;
    }
    cp &= 0x3Fu >> extra;
    for (size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      putUtf16(out, 0xD800 | (cp >> 10));
      putUtf16(out, 0xDC00 | (cp & 0x3FF));
    } else {
      putUtf16(out, cp);
    }
  }
  return out;
}

size_t buildSignOn(uint8_t* buf, size_t cap, const SignOnRequest& req) {
  VerbWriter w(buf, cap, kSignOnFixed);
  w.u8(4, req.kind);
  fieldStr(w, 5, req.platform);
  w.u8(9, req.sessionType);
  w.u8(10, req.kind);
  fieldStr(w, 11, upper7(req.nodeName));
  fieldStr(w, 15, req.owner);
  w.u8(19, req.codePage);
  fieldStr(w, 20, req.further);
  w.u8(24, req.cpChar1);
  w.u8(25, req.cpChar2);
  w.bytes(26, req.capabilities, sizeof req.capabilities);
  return w.finish(kVerbSignOn);
}

int decodeSignOnResp(const uint8_t* verb, size_t len, SignOnAnswer* out) {
  if (len < kSignOnRespFixed) return RC_PROTOCOL_ERROR;
  VerbField name;
  if (verbGetField(verb, len, kSignOnRespFixed, 4, &name)) return RC_PROTOCOL_ERROR;
  if (name.length > kServerNameMax) return RC_PROTOCOL_ERROR;
  if (name.length) memcpy(out->serverName, name.data, name.length);
  out->serverName[name.length] = '\0';
  out->result = verb[8];
  memcpy(out->capabilities, verb + 9, sizeof out->capabilities);
  out->maxObjsPerTxn = getU16(verb + 16);
  return 0;
}

int decodeSignOnJoinTicket(const uint8_t* verb, size_t len, uint8_t out[kJoinTicketLen]) {
  if (len < kSignOnRespFixed || !(verb[kSignOnRespJoinCapability] & kSignOnAskJoinTicket)) return RC_NO_MATCH;
  VerbField name;
  if (verbGetField(verb, len, kSignOnRespFixed, 4, &name)) return RC_PROTOCOL_ERROR;
  const size_t nameEnd = name.data ? static_cast<size_t>(name.data - verb) + name.length : kSignOnRespFixed;
  if (len < kSignOnRespFixed + kJoinTicketLen || nameEnd != len - kJoinTicketLen) return RC_PROTOCOL_ERROR;
  memcpy(out, verb + len - kJoinTicketLen, kJoinTicketLen);
  return 0;
}

size_t buildBeginTxn(uint8_t* buf, size_t cap) {
  VerbWriter w(buf, cap, kVerbShortHeaderLen);
  return w.finish(kVerbBeginTxn);
}

size_t buildEndTxn(uint8_t* buf, size_t cap, uint8_t vote, uint8_t reason) {
  VerbWriter w(buf, cap, kEndTxnLen);
  w.u8(4, vote);
  w.u8(5, reason);
  return w.finish(kVerbEndTxn);
}

int decodeEndTxn(const uint8_t* verb, size_t len, uint8_t* vote, uint8_t* reason) {
  if (len < kEndTxnLen) return RC_PROTOCOL_ERROR;
  *vote = verb[4];
  *reason = verb[5];
  return 0;
}

size_t buildFSQry(uint8_t* buf, size_t cap, const std::string& nodeName, const std::string& fsName,
                  bool unicodeForm) {
  VerbWriter w(buf, cap, kFSQryFixed);
  fieldStr(w, 4, upper7(nodeName));
  fieldStr(w, 8, unicodeForm ? toUtf16Be(fsName) : fsName);
  return w.finish(kVerbFSQry);
}

size_t buildFSAdd(uint8_t* buf, size_t cap, const FSAddRequest& req) {
  VerbWriter w(buf, cap, kFSAddFixed);
  fieldStr(w, 4, req.nameForm == kFsNameFormUnicode ? toUtf16Be(req.fsName) : req.fsName);
  fieldStr(w, 8, req.fsType);
  w.field(12, req.info, sizeof req.info);
  w.u8(16, static_cast<uint8_t>(req.delimiter));
  w.u16(17, req.nameForm);
  w.u32(19, static_cast<uint32_t>(req.size1 >> 32));
  w.u32(23, static_cast<uint32_t>(req.size1));
  w.u32(27, static_cast<uint32_t>(req.size2 >> 32));
  w.u32(31, static_cast<uint32_t>(req.size2));
  return w.finish(kVerbFSAdd);
}

int decodeFSQryResp(const uint8_t* verb, size_t len, FSQryAnswer* out) {
  if (len < kFSQryRespFixed) return RC_PROTOCOL_ERROR;
  VerbField name, type, info;
  if (verbGetField(verb, len, kFSQryRespFixed, 4, &name) ||
      verbGetField(verb, len, kFSQryRespFixed, 12, &type) ||
      verbGetField(verb, len, kFSQryRespFixed, 16, &info) || info.length > sizeof out->info)
    return RC_PROTOCOL_ERROR;
  out->fsName = asString(name);
  out->fsId = getU32(verb + 8);
  out->fsType = asString(type);
  out->infoLen = info.length;
  if (info.length) memcpy(out->info, info.data, info.length);
  out->delimiter = static_cast<char>(verb[20]);
  out->nameForm = getU16(verb + 21);
  memcpy(out->date1, verb + 23, 7);
  memcpy(out->date2, verb + 30, 7);
  return 0;
}

size_t buildMigrQryAll(uint8_t* buf, size_t cap, uint32_t fsId, uint8_t objType, uint8_t ordering) {
  VerbWriter w(buf, cap, kMigrQryAllLen);
  w.u32(4, fsId);
  w.u8(8, objType);
  w.u8(9, ordering);
  return w.finish(kVerbMigrQryAll);
}

size_t buildMigrQryItem(uint8_t* buf, size_t cap, const midExtObjId_t& id, uint8_t ordering) {
  VerbWriter w(buf, cap, kMigrQryItemFixed);
  w.field(4, id.bytes, kExtObjIdLen);
  w.u8(8, ordering);
  return w.finish(kVerbMigrQryItem);
}

size_t buildMigrUpd(uint8_t* buf, size_t cap, uint32_t fsId, const midExtObjId_t& id,
                    const uint8_t* attribBlock, size_t attribLen, const std::string* path,
                    uint16_t flags) {
  VerbWriter w(buf, cap, kMigrUpdFixed);
  w.u32(4, fsId);
  w.field(8, id.bytes, kExtObjIdLen);
  w.u16(12, flags);
  if (flags & kMigrUpdPath) {
    if (!path) return 0;
    fieldStr(w, 18, *path);
  }
  if (flags & kMigrUpdAttribs) {
    if (!attribBlock || !attribLen) return 0;
    w.field(14, attribBlock, attribLen);
  }
  return w.finish(kVerbMigrUpd);
}

size_t buildMigrDel(uint8_t* buf, size_t cap, uint32_t fsId, const midExtObjId_t& id) {
  VerbWriter w(buf, cap, kMigrDelFixed);
  w.u32(4, fsId);
  w.field(8, id.bytes, kExtObjIdLen);
  return w.finish(kVerbMigrDel, kMigrDelLen);
}

namespace {

struct RespLayout {
  size_t fixed, mgmt, soi1, soi2, soi3, attrDesc, pathDesc;
};
constexpr RespLayout kPlainLayout{kMigrQryRespFixed, 13, 26, 30, 32, 33, 37};
constexpr RespLayout kEnhLayout{kMigrQryRespEnhFixed, 13, 38, 42, 44, 45, 49};

}  // namespace

int decodeMigrQryResp(const uint8_t* verb, size_t len, MigrQueryAnswer* out) {
  if (len < 3) return RC_PROTOCOL_ERROR;
  bool enhanced = verb[2] == kVerbMigrQryRespEnh;
  const RespLayout& L = enhanced ? kEnhLayout : kPlainLayout;
  if (len < L.fixed) return RC_PROTOCOL_ERROR;
  VerbField id, attr, path;
  if (verbGetField(verb, len, L.fixed, 8, &id) || id.length != kExtObjIdLen ||
      verbGetField(verb, len, L.fixed, L.attrDesc, &attr) ||
      verbGetField(verb, len, L.fixed, L.pathDesc, &path))
    return RC_PROTOCOL_ERROR;

  *out = MigrQueryAnswer();
  out->fsId = getU32(verb + 4);
  out->path = asString(path);
  ServerAttrib& srv = out->serverAttrib;
  srv.valid1 = srv.valid2 = 1;
  if (enhanced) {
    for (int i = 0; i < 5; ++i) srv.restoreOrder[i] = getU32(verb + 17 + 4 * i);
    srv.mediaClass = verb[37];
  } else {
    srv.restoreOrder[3] = getU32(verb + 17);
    srv.restoreOrder[4] = getU32(verb + 21);
  }
  rawCopy(&srv.srvObjInfo1, verb + L.soi1);
  rawCopy(&srv.srvObjInfo2, verb + L.soi2);
  srv.srvObjInfo3 = verb[L.soi3];

  Attrib& a = out->attrib;
  a.mgmtClassId = getU32(verb + L.mgmt);
  a.srvObjInfo1 = srv.srvObjInfo1;
  a.srvObjInfo2 = srv.srvObjInfo2;
  a.srvObjInfo3 = srv.srvObjInfo3;
  a.stateFlags = static_cast<uint8_t>((a.stateFlags | 0x03) & ~0x44);
  if (enhanced) a.reserved0 = verb[53];
  int rc = NetToAttrib(attr.data, attr.length, &a);
  if (rc) return rc;

  memcpy(out->objId.bytes, id.data, kExtObjIdLen);
  // The plain form names the object twice; two different ids mean the
  // stream can no longer be trusted. An answer in the handle form carries no
  // second id to compare.
  if (!enhanced && !attribHasHandleForm(a) && memcmp(a.hsm.objId, id.data, kExtObjIdLen) != 0)
    return RC_PROTOCOL_ERROR;
  return 0;
}
