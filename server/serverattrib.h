// The server's side information about one migrated object, as an answer of
// the migrated-object query delivers it beside the file's Attrib: the restore
// order key, the media class and the server object information values.
// Plain record in host byte order; the verb reader zeroes it before filling.
#ifndef KMR_SERVER_SERVERATTRIB_H
#define KMR_SERVER_SERVERATTRIB_H

#include <cstddef>
#include <cstdint>

constexpr size_t kRestoreOrderWords = 5;

#pragma pack(push, 1)
struct ServerAttrib {
  uint64_t reserved0;                          // 0   always 0
  uint8_t valid1;                              // 8   1 in every answer
  uint8_t valid2;                              // 9   1 in every answer
  uint8_t reserved1[2];                        // 10
  uint32_t restoreOrder[kRestoreOrderWords];   // 12  words 1..5
  uint8_t mediaClass;                          // 32  enhanced answers only, else 0
  uint8_t reserved2[3];                        // 33
  uint32_t srvObjInfo1;                        // 36  as received, unconverted
  uint16_t srvObjInfo2;                        // 40
  uint8_t srvObjInfo3;                         // 42
  uint8_t reserved3[45];                       // 43
};
#pragma pack(pop)
static_assert(sizeof(ServerAttrib) == 88, "ServerAttrib must stay 88 bytes");

#endif
