// Internal to the message system: the catalog reader and its cache, shared by
// the print operations, the return code and trNlsLogPrintf.
//
// Contract
// - Every function here expects the caller to hold nlMessageMutex().
// - A returned NLSMsg pointer stays valid until the next lookup or nlterm.
#ifndef KMR_COMMON_NLS_READER_H
#define KMR_COMMON_NLS_READER_H

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>

// One cached message, as read from a catalog.
struct NLSMsg {
  uint16_t number = 0;
  uint8_t severity = 0;       // 0..8
  char response[16] = "";     // accepted answers of a prompt, NUL-terminated
  std::string text;           // identifier + blank + body, or body alone; may hold NULs
  size_t bodyOffset = 0;      // where the body starts inside text
};

// Looks the message up (cache, then local catalog, then English). When
// `reportMissing` is false, a missing or corrupted message is not reported
// (used by the return code, which must not print). nullptr when not readable.
const NLSMsg* nlGetMsg(int number, bool reportMissing);

// A finished text and the severity code of its message.
struct ComposedMsg {
  std::string text;
  int severity = 0;
};
// Composes message `number` with its arguments (identifier for codes 3..7).
std::optional<ComposedMsg> nlCompose(int number, va_list args);

// Severity of a message without reporting a missing one; -1 when unreadable.
int nlSeverityQuiet(int number);

// Decodes a catalog body (0x10 stands for NUL) in place.
void nlDecodeBody(std::string& body);
// Inserts the arguments into a decoded body (printf or ordered form).
std::string nlInsert(const std::string& body, va_list args);

// The directory holding a language's catalog ("de" -> "DE_DE", names cut at
// the first ".", unknown two-letter names -> "EN_US").
std::string nlLanguageDirectory(const std::string& language);

// Whether dsCoreInit has created the message object.
bool nlObjectExists();

// Writes `text` through the output function of severity code `severity`.
void nlOutput(int severity, const char* text);

#endif
