// Verb framing shared by both ends of the storage server protocol: the verb
// header (short and extended form), the size limits, descriptors into the
// data area with their bounds checks, and a small writer that lays out a verb
// in a caller's buffer.
//
// Contract
// - Nothing here allocates, traces or keeps state; all functions are pure and
//   may be called from any thread.
// - Every function that reads takes the number of bytes it may look at and
//   never reads beyond it. A field that does not fit is reported, not read.
// - Results: 0 for success, RC_PROTOCOL_ERROR (136) for anything malformed.
#ifndef KMR_SERVER_WIRE_VERB_H
#define KMR_SERVER_WIRE_VERB_H

#include <cstddef>
#include <cstdint>

#include "common/rc.h"

constexpr uint8_t kVerbMagic = 0xA5;
constexpr uint8_t kVerbExtendedCode = 0x08;
constexpr size_t kVerbShortHeaderLen = 4;
constexpr size_t kVerbExtendedHeaderLen = 12;
constexpr uint32_t kVerbMaxLen = 32768;          // normal buffers
constexpr uint32_t kVerbMaxLenLarge = 0x100000;  // large buffers
constexpr uint32_t kVerbChecksumCode = 0x30000;  // extended verb carrying a checksum

// Verb codes of the conversation.
enum VerbCode : uint32_t {
  kVerbBeginTxn = 0x12,
  kVerbEndTxn = 0x13,
  kVerbSignOn = 0x1A,
  kVerbSignOnResp = 0x1C,
  kVerbMigrQryRespEnh = 0x29,
  kVerbMigrUpd = 0x31,
  kVerbMigrDel = 0x33,
  kVerbMigrQryAll = 0x34,
  kVerbMigrQryItem = 0x35,
  kVerbMigrQryResp = 0x36,
  kVerbFSAdd = 0xB0,
  kVerbFSQry = 0xB3,
  kVerbFSQryResp = 0xB4,
  kVerbFSQryRespEnh = 0xB5,
};

// EndTxn votes (byte 4). With kVoteAbort the server's reason (byte 5) is one
// of the server abort reasons of common/rc.h; the client abandons with 0.
constexpr uint8_t kVoteCommit = 1;
constexpr uint8_t kVoteAbort = 2;

// Printable name of a verb code for traces ("Unknown" when not ours).
const char* verbName(uint32_t code);

struct VerbHeader {
  uint32_t code = 0;       // real code (the 32-bit field of the extended form)
  uint32_t length = 0;     // total verb length, header included
  uint32_t headerLen = 0;  // 4 or 12
};

// Length of the header that starts with these 4 bytes: 12 when the code byte
// marks the extended form, else 4.
inline size_t verbHeaderLen(const uint8_t* first4) {
  return first4[2] == kVerbExtendedCode ? kVerbExtendedHeaderLen : kVerbShortHeaderLen;
}

// Decodes a header from `avail` bytes (at least verbHeaderLen(bytes)) and
// checks magic, that the length covers the header and is within `maxLen`.
// Returns 0 or 136.
int verbParseHeader(const uint8_t* bytes, size_t avail, uint32_t maxLen, VerbHeader* out);

// A variable-length field named by a descriptor (2-byte offset into the data
// area, 2-byte length) at position `descPos` of the fixed part.
struct VerbField {
  const uint8_t* data = nullptr;
  size_t length = 0;
};

// Resolves the descriptor at `descPos` of a verb of `verbLen` bytes whose data
// area starts at `dataStart`. The descriptor itself must lie in the fixed part
// and the field wholly inside the verb. Returns 0 or 136; a zero-length field
// is valid and has data == nullptr.
int verbGetField(const uint8_t* verb, size_t verbLen, size_t dataStart, size_t descPos,
                 VerbField* out);

// Lays out one short-form verb in a caller's buffer: a zeroed fixed part of
// `fixedLen` bytes followed by a data area that fields are appended to. A
// write past the buffer or past a 16-bit length marks the writer failed
// instead of writing.
class VerbWriter {
 public:
  VerbWriter(uint8_t* buf, size_t cap, size_t fixedLen);
  void u8(size_t pos, uint8_t v);
  void u16(size_t pos, uint16_t v);
  void u32(size_t pos, uint32_t v);
  void bytes(size_t pos, const void* src, size_t len);
  // Appends `len` bytes to the data area and writes their descriptor at
  // `descPos` (offset, length). A null descriptor position appends only.
  void field(size_t descPos, const void* src, size_t len);
  void append(const void* src, size_t len) { field(kNoDesc, src, len); }
  // Offset within the data area where the next appended field starts.
  size_t dataOffset() const { return used_ - fixed_; }
  // Writes the short header (length, code, magic) and returns the verb's
  // length, or 0 when any write failed. `totalLen` may exceed the bytes
  // laid out (the remainder is zeroed) when a verb's length field says so.
  size_t finish(uint8_t code, size_t totalLen = 0);
  bool ok() const { return ok_; }

  static constexpr size_t kNoDesc = static_cast<size_t>(-1);

 private:
  bool fits(size_t pos, size_t len);
  uint8_t* buf_;
  size_t cap_;
  size_t fixed_;
  size_t used_;
  bool ok_ = true;
};

#endif
