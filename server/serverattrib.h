// ServerAttrib: what the server tells about a migrated object beyond its file
// attributes, as filled from one query answer (88 bytes, host order except the
// server object information, which is kept exactly as it came off the wire).
#ifndef KMR_SERVER_SERVERATTRIB_H
#define KMR_SERVER_SERVERATTRIB_H

#include <cstdint>

#pragma pack(push, 1)
struct ServerAttrib {
  uint64_t reserved0;         // 0   always 0
  uint8_t valid1;             // 8   1 for an answer
  uint8_t valid2;             // 9   1 for an answer
  uint8_t pad0[2];            // 10
  uint32_t restoreOrder[5];   // 12  words 1..5; the plain answer form has only 4 and 5
  uint8_t mediaClass;         // 32  enhanced answer form only, else 0
  uint8_t pad1[3];            // 33
  uint32_t srvObjInfo1;       // 36  unconverted wire bytes
  uint16_t srvObjInfo2;       // 40  unconverted wire bytes
  uint8_t srvObjInfo3;        // 42
  uint8_t reserved1[45];      // 43
};
#pragma pack(pop)
static_assert(sizeof(ServerAttrib) == 88, "ServerAttrib must stay 88 bytes");

#endif
