// Numbered messages: every text a user sees is a message of the catalog
// "kmrclientV3.cat", named by number and filled with printf-style arguments.
//
// Contract
// - Any thread may print. Printing never fails towards the caller: a missing
//   or corrupted message is reported on its own and the caller goes on.
// - Each print raises the process return code (GlobalRC) by the message's
//   severity; W, E, S and L messages also go to the error log when it is open.
// - Strings returned through a result pointer are heap strings the caller
//   frees with free().
#ifndef KMR_COMMON_MESSAGES_H
#define KMR_COMMON_MESSAGES_H

#include <cstdarg>
#include <cstdio>

// Prints message `number` to `stream` (stdout or stderr as the caller chose).
void nlfprintf(FILE* stream, int number, ...);
void nlvfprintf(FILE* stream, int number, va_list args);
// Prints message `number` through the output function of its severity.
void nlprintf(int number, ...);
// Formats message `number` (with its identifier) into a new heap string.
// Returns the length, or 0 with *result = nullptr when the message is missing.
int nlsprintf(char** result, int number, ...);
int nlvsprintf(char** result, int number, va_list args);
// As nlsprintf, and writes the text to the error log when its severity code
// is 5 or more and the error log is open.
int nlLogsprintf(char** result, int number, ...);
int nlLogvsprintf(char** result, int number, va_list args);
// Severity code of a message (0..8), 255 when it can't be read.
int nlGetMsgSev(int number);

// Prints a numbered message to the error log and, as selected by the ERROR
// class or flagByte, to the trace and the error program. Returns the formatted
// length, or minus the error log's error code when writing the log failed.
int trNlsLogPrintf(const char* file, unsigned line, unsigned char flagByte, int number, ...);

// The command's own name, the usual first message argument.
const char* hsmWhoAmI();
void hsmSetWhoAmI(const char* argv0);  // keeps the last path component

#endif
