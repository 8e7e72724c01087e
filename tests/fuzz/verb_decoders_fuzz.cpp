// libFuzzer target for everything that reads bytes from the server: the
// verb header, descriptors, the decoders of the verbs the client receives
// and the attribute codec. Besides not crashing or reading out of bounds, a
// block that decodes must survive a re-encoding unchanged in the fields that
// our own form carries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/verbcodec.h"
#include "server/wire/attribcodec.h"
#include "server/wire/verb.h"

namespace {

void checkRoundTrip(const Attrib& a) {
  uint8_t block[kAttribNetLen];
  if (AttribToNet(a, block, sizeof block) != kAttribNetLen) abort();
  Attrib b{};
  if (NetToAttrib(block, sizeof block, &b) != 0) abort();
  if (b.size != a.size || b.mode != a.mode || b.uid != a.uid || b.gid != a.gid ||
      b.mtime != a.mtime || b.inode != a.inode || (b.flags & 0xFE) != (a.flags & 0xFE))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VerbHeader h;
  if (verbParseHeader(data, size, kVerbMaxLenLarge, &h) == 0 && h.length <= size) {
    size_t len = h.length;
    SignOnAnswer signOn;
    decodeSignOnResp(data, len, &signOn);
    uint8_t vote, reason;
    decodeEndTxn(data, len, &vote, &reason);
    FSQryAnswer fs;
    decodeFSQryResp(data, len, &fs);
    MigrQueryAnswer answer;
    if (decodeMigrQryResp(data, len, &answer) == 0 && answer.attrib.clientKind == 1)
      checkRoundTrip(answer.attrib);
    for (size_t pos = 4; pos + 4 <= len && pos < 80; pos += 2) {
      VerbField f;
      if (verbGetField(data, len, 57, pos, &f) == 0 && f.length)
        if (f.data < data || f.data + f.length > data + len) abort();
    }
  }
  Attrib a{};
  if (NetToAttrib(data, size, &a) == 0 && size >= 22 && data[0] >= 7 && data[1] >= 9 &&
      data[7] == 1)
    checkRoundTrip(a);
  return 0;
}
