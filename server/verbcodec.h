// The client's encoders of the verbs it sends and decoders of the verbs it
// receives. Builders write one verb into a caller's buffer; decoders read one
// complete verb whose header has already been checked (verb.h).
//
// Contract
// - Pure functions without traces, sessions or options; any thread.
// - Builders return the verb's length, or 0 when it does not fit the buffer
//   or a field exceeds 65535 bytes.
// - Decoders return 0, or 136 when a length, offset or descriptor points
//   outside the verb, an object id is not 28 bytes or a server name is 17
//   characters or longer. They never read beyond `len`.
#ifndef KMR_SERVER_VERBCODEC_H
#define KMR_SERVER_VERBCODEC_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/attrib.h"
#include "server/serverattrib.h"
#include "server/wire/verb.h"

// ---- fixed part lengths (the data area starts here) ------------------------
constexpr size_t kSignOnFixed = 42;
constexpr size_t kSignOnRespFixed = 18;
constexpr size_t kFSQryFixed = 12;
constexpr size_t kFSQryRespFixed = 53;
constexpr size_t kFSAddFixed = 35;
constexpr size_t kMigrQryAllLen = 26;
constexpr size_t kMigrQryItemFixed = 25;
constexpr size_t kMigrQryRespFixed = 57;
constexpr size_t kMigrQryRespEnhFixed = 69;
constexpr size_t kMigrUpdFixed = 38;
constexpr size_t kMigrDelFixed = 28;
constexpr size_t kMigrDelLen = 71;  // length field; the tail past 56 bytes is zero
constexpr size_t kEndTxnLen = 6;
constexpr size_t kServerNameMax = 16;
constexpr uint16_t kFsNameFormUnicode = 0x7000;

// MigrUpd object information flags.
constexpr uint16_t kMigrUpdAttribs = 0x1;
constexpr uint16_t kMigrUpdPath = 0x2;

// ---- sign-on ----------------------------------------------------------------
struct SignOnRequest {
  uint8_t kind = 2;          // 1 administrator, 2 node
  uint8_t sessionType = 4;   // backup client general
  std::string platform;
  std::string nodeName;      // sent upper-cased (7-bit letters only)
  std::string owner;
  std::string further;       // administrator name, or the node's password for a node sign-on
  uint8_t codePage = 1;
  uint8_t cpChar1 = 0, cpChar2 = 0;
  uint8_t capabilities[16] = {};
};
size_t buildSignOn(uint8_t* buf, size_t cap, const SignOnRequest& req);

struct SignOnAnswer {
  char serverName[kServerNameMax + 1] = "";
  uint8_t result = 0;
  uint8_t capabilities[7] = {};
  uint16_t maxObjsPerTxn = 0;
};
int decodeSignOnResp(const uint8_t* verb, size_t len, SignOnAnswer* out);
// Join tickets: SignOn's last capability byte (byte 41, index
// kSignOnJoinCapabilityByte of SignOnRequest::capabilities) asks for one
// (bit kSignOnAskJoinTicket) or says that the password field carries one
// (bit kSignOnJoinWithTicket); a SignOnResp that brings one sets bit 0x01
// of its last capability byte (byte 15) and ends with the ticket's
// kJoinTicketLen bytes, right after the server name. Copies the ticket to
// `out` and returns 0, or RC_NO_MATCH when the answer has none,
// RC_PROTOCOL_ERROR when it claims one that is not laid out so.
constexpr size_t kSignOnJoinCapabilityByte = 15;
constexpr size_t kSignOnRespJoinCapability = 15;
constexpr uint8_t kSignOnAskJoinTicket = 0x01;
constexpr uint8_t kSignOnJoinWithTicket = 0x02;
constexpr size_t kJoinTicketLen = 32;
int decodeSignOnJoinTicket(const uint8_t* verb, size_t len, uint8_t out[kJoinTicketLen]);

// ---- transactions -----------------------------------------------------------
size_t buildBeginTxn(uint8_t* buf, size_t cap);
size_t buildEndTxn(uint8_t* buf, size_t cap, uint8_t vote, uint8_t reason);
int decodeEndTxn(const uint8_t* verb, size_t len, uint8_t* vote, uint8_t* reason);

// ---- file spaces ------------------------------------------------------------
// The file space name travels as UTF-16BE when `unicodeForm` is set, else
// as its bytes; the node name always as upper-cased bytes.
size_t buildFSQry(uint8_t* buf, size_t cap, const std::string& nodeName,
                  const std::string& fsName, bool unicodeForm);

struct FSAddRequest {
  std::string fsName;
  std::string fsType;
  uint8_t info[8] = {};
  char delimiter = '/';
  uint16_t nameForm = 0;     // kFsNameFormUnicode sends the name in UTF-16BE
  uint64_t size1 = 0, size2 = 0;
};
size_t buildFSAdd(uint8_t* buf, size_t cap, const FSAddRequest& req);

struct FSQryAnswer {
  std::string fsName;        // as on the wire (UTF-16BE when nameForm says so)
  uint32_t fsId = 0;
  std::string fsType;
  uint8_t info[255] = {};
  size_t infoLen = 0;
  char delimiter = 0;
  uint16_t nameForm = 0;
  uint8_t date1[7] = {}, date2[7] = {};
};
int decodeFSQryResp(const uint8_t* verb, size_t len, FSQryAnswer* out);

// Converts UTF-8 (or plain 8-bit text) to UTF-16BE; invalid sequences are
// taken byte by byte so that no input is refused.
std::string toUtf16Be(const std::string& text);

// ---- migrated objects ---------------------------------------------------------
size_t buildMigrQryAll(uint8_t* buf, size_t cap, uint32_t fsId, uint8_t objType, uint8_t ordering);
size_t buildMigrQryItem(uint8_t* buf, size_t cap, const midExtObjId_t& id, uint8_t ordering);
// `attribBlock`/`attribLen` and `path` are sent only when `flags` asks for
// them (kMigrUpdAttribs, kMigrUpdPath).
size_t buildMigrUpd(uint8_t* buf, size_t cap, uint32_t fsId, const midExtObjId_t& id,
                    const uint8_t* attribBlock, size_t attribLen, const std::string* path,
                    uint16_t flags);
size_t buildMigrDel(uint8_t* buf, size_t cap, uint32_t fsId, const midExtObjId_t& id);

// One answer of a migrated-object query (MigrQryResp): the one form the
// verb reader, the query thread and the migrated-object record share.
struct MigrQueryAnswer {
  uint32_t fsId = 0;
  midExtObjId_t objId{};
  std::string path;
  Attrib attrib{};
  ServerAttrib serverAttrib{};
};
// Decodes MigrQryResp (0x36) or its enhanced form (0x29). Returns 0; 122 when
// the attribute block has a format the codec does not know (the answer is to
// be skipped); 136 for a malformed verb, including a plain answer whose object
// id differs from the one inside its attribute block.
int decodeMigrQryResp(const uint8_t* verb, size_t len, MigrQueryAnswer* out);

#endif
