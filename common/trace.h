// Trace facility: named one-byte trace classes, one process-wide trace object
// that owns the output (file, stdout, stderr or a console callback), composes
// line prefixes and keeps a trace file within its size limit by wrapping or by
// rotating segment files; plus the test flags set by the TESTFLAGS option.
//
// Contract
// - Every class flag is a process-global byte TR_<name>; TRACE tests it
//   before evaluating any argument, so a disabled statement costs one byte
//   test and call sites need no guard of their own.
//   Flags are written by trEnable/trReset and read without locking.
// - All operations act on the single trace object; any thread may trace.
//   Opening, closing and reset are serialised by the trace mutex; writes to a
//   wrapping file are serialised by the wrap mutex.
// - No operation changes errno as its caller sees it.
// - Strings passed in are copied when kept; nothing returned is owned by the
//   caller unless stated.
#ifndef KMR_COMMON_TRACE_H
#define KMR_COMMON_TRACE_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

// ---- trace class flags -----------------------------------------------------
#define TR_CLASS(keyword, flag, comm) extern unsigned char TR_##flag;
#include "common/trace_classes.inc"
#undef TR_CLASS

struct TrClass {
  const char* keyword;     // upper case; nullptr ends the table
  unsigned char* flag;     // address of the class's flag byte
  uint32_t commMarker;     // nonzero for classes tracing the server conversation
};
struct TrAggrClass {
  const char* name;        // nullptr ends the table
  const char* members;     // blank separated tokens
};
extern const TrClass ClassTable[];
extern const TrAggrClass AggrTable[];

// ---- test flags ------------------------------------------------------------
struct TestFlag {
  unsigned char set = 0;    // 0/1
  int32_t numValue = 0;     // numeric value
  char* strValue = nullptr; // heap copy owned by the record, or nullptr
};
struct TestClass {
  const char* keyword;      // nullptr ends the table
  TestFlag* flag;
};
extern const TestClass TestClassTable[];
// One record per row of TestClassTable: TEST_<name>. The rows this command
// reads are described where they are read.
#define TEST_FLAG(keyword, var) extern TestFlag TEST_##var;
#include "common/trace_testflags.inc"
#undef TEST_FLAG
// Bits of TEST_INSTRUMENT's numeric value ("INSTRUMENT:DETAIL/API/DBOPS").
enum : int32_t { kInstrDetail = 1, kInstrApi = 2, kInstrDbOps = 4 };

// Parses a TESTFLAGS value ("NAME", "NAME:123", "NAME:\"text\"",
// "INSTRUMENT:DETAIL/API"); "ALL" sets every record. Returns 0, or -1 for an
// unknown name, a bad number or instrumentation class, or an allocation
// failure; tokens before the bad one stay applied.
int trProcTestFlags(const char* flags);
// Clears every test flag record and frees their texts.
void trClearTestFlags();

// ---- the trace object --------------------------------------------------------
// Thread-id callback: fills a banner (may be left empty) and a tag.
typedef void (*trTIDCallback)(char* banner, char* tag);
// Console callback: op 0 = open (return 0 to accept), 1 = write text, 2 = close.
typedef int (*trConsoleCallback)(int op, const char* text, void* context);

// Creates the trace object once (a second call does nothing). Returns 0.
int new_TraceObject(int clientType, unsigned long initialLastThread, trTIDCallback tidProc);
void delete_TraceObject();

// Enables/disables classes from a blank separated flag string. Returns 0, or
// -1 at the first invalid token (earlier tokens stay applied); unless silent,
// prints "Invalid trace flag: %s\n" to stdout.
int trEnable(const char* flags, bool silent, const TrClass* classes = ClassTable,
             const TrAggrClass* aggregates = AggrTable);

int trSetTraceFileName(const char* name);   // 0, 959 (symbolic link) or -1
int trBegin(const char* name, bool announce); // 0, 426 or -1
int trSetMaxTraceSize(uint32_t megabytes);    // 0
int trSetMaxTraceSegSize(uint32_t megabytes); // 0
void trClose(bool resetFlags);
void trReset(bool closeFile);

// One trace line with the "%-20s(%4u): " prefix when PREFIX is on. Returns the
// formatted length, 0 when nothing can be written.
int trPrintf(const char* file, unsigned line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int trVPrintf(const char* file, unsigned line, const char* fmt, va_list args);
// Text without any prefix.
void trPrint(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

bool trCanOutPut();
void trQuery();
void trQueryTraceFlags();
void trSetErrorProg(const char* commandLine);
const char* trGetErrorProg();                 // "" when none is set
void trRouteErrToFile(FILE* stream);
FILE* trGetErrRoute();                        // nullptr when none is set
void trSetNoStdout();
void trInstallConsoleCallback(trConsoleCallback callback, void* context);
void trStartTracing();
void trStopTracing();
const char* trGetTraceFileName();
bool trGetTraceState();
bool trIsStarted();
bool trIsCommTracingEnabled();
void trPrintFormattedDump(const void* address, unsigned length, unsigned bytesPerRow);
void trPrintStr(const char* bytes, unsigned length, int characterForm);
void trTIDProc(char* banner, char* tag);

// Date and time strings of the trace time stamp. The message layer installs
// the national formats; until then "%m/%d/%Y" and "%H:%M:%S" are used.
typedef void (*trDateFmtProc)(const struct tm* when, char* dateBuf, char* timeBuf);
void trSetDateFormatter(trDateFmtProc proc);  // nullptr restores the default

// ---- limits and file state ---------------------------------------------------
// The size regime in force, as derived by trSetMaxTraceSize and
// trSetMaxTraceSegSize. segCount is 0 when not segmented and UINT32_MAX for
// an unlimited number of segments.
struct TrLimits {
  uint32_t maxMB;
  uint32_t segSizeMB;
  uint32_t segCount;
  uint32_t curSegment;
  uint32_t lastSegMB;
  bool wrap;
};
TrLimits trGetLimits();
// Offset of the next line in a wrapping file (where the end marker stands).
uint32_t trGetNextWriteOffset();
// Number of bytes one "MB" of TRACEMAX/TRACESEGSIZE stands for: 1048576
// unless changed. Only tests change it, to see wrapping and rotation happen
// after a few kilobytes instead of gigabytes; the arithmetic is unchanged.
void trSetMegabyteUnit(uint32_t bytes);
// The fixed product banner of the trace file header and its build date.
const char* trProductBanner();
const char* trBuildDate();

// ---- statement helpers -----------------------------------------------------
// TRACE_Fkt(__FILE__, __LINE__)(TR_GENERAL, "fmt", ...): traces when the flag
// byte is nonzero; preserves errno.
class TRACE_Fkt {
 public:
  TRACE_Fkt(const char* file, unsigned line) : file_(file), line_(line) {}
  void operator()(unsigned char flag, const char* fmt, ...) const
      __attribute__((format(printf, 3, 4)));

 private:
  const char* file_;
  unsigned line_;
};
// TRACE(flag, fmt, ...): the arguments are evaluated only when `flag` is on,
// so an argument that costs something (an escaped copy of a path) costs
// nothing in a run that does not trace; `flag` is evaluated once.
#define TRACE(flag, ...)                                                          \
  do {                                                                            \
    const unsigned char kmrTraceFlag_ = (flag);                                   \
    if (kmrTraceFlag_) TRACE_Fkt(__FILE__, __LINE__)(kmrTraceFlag_, __VA_ARGS__); \
  } while (0)

// Writes "ENTER =====> %s\n" under ENTER on construction and
// "EXIT  <===== %s\n" under EXIT on destruction (trailing white space of the
// name dropped); keeps errno unchanged. The name is not copied: it must stay
// valid for the object's life (a literal or a string that outlives it), so a
// frame costs no allocation when nothing is traced.
template <typename CharT>
class TREnterExit;

template <>
class TREnterExit<char> {
 public:
  TREnterExit(const char* file, unsigned line, const char* name);
  ~TREnterExit();
  TREnterExit(const TREnterExit&) = delete;
  TREnterExit& operator=(const TREnterExit&) = delete;

 private:
  const char* file_;
  unsigned line_;
  const char* name_;
};

#endif
