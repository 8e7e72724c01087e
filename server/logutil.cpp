#include "server/logutil.h"

#include <cstdarg>
#include <cstdio>

#include "common/errorlog.h"
#include "common/trace.h"

void srvTraceAndLog(const char* file, unsigned line, unsigned char flag, const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  TRACE_Fkt(file, line)(flag, "%s", text);
  LogMsg(text);
}

void srvLogVerb(const uint8_t* verb, size_t len) {
  char text[16 + 64 * 3 + 2];
  size_t shown = len < 64 ? len : 64;
  int pos = snprintf(text, sizeof text, "Verb (%zu bytes):", len);
  for (size_t i = 0; i < shown && pos + 4 < static_cast<int>(sizeof text); ++i)
    pos += snprintf(text + pos, sizeof text - pos, " %02X", verb[i]);
  snprintf(text + pos, sizeof text - pos, "\n");
  LogMsg(text);
}
