// Internal helpers of the server layer for diagnostics that go to both the
// trace and the error log. Any thread.
#ifndef KMR_SERVER_LOGUTIL_H
#define KMR_SERVER_LOGUTIL_H

#include <cstddef>
#include <cstdint>

// Formats one literal diagnostic, writes it under `flag` and to the error log.
void srvTraceAndLog(const char* file, unsigned line, unsigned char flag, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Writes the head of a verb (at most 64 bytes, hexadecimal) to the error log.
void srvLogVerb(const uint8_t* verb, size_t len);

#endif
