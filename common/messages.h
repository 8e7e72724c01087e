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
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

// Prints message `number` to `stream` (stdout or stderr as the caller chose).
void nlfprintf(FILE* stream, int number, ...);
void nlvfprintf(FILE* stream, int number, va_list args);
// Called (on the printing thread) right before nlvfprintf writes a message to
// `stream`, so that a status line drawn in place on a terminal can step
// aside first. The hook must not print messages. nullptr: none. Returns the
// previous hook; install and remove it while no other thread prints.
typedef void (*nlBeforeWriteHook)(FILE* stream);
nlBeforeWriteHook nlSetBeforeWriteHook(nlBeforeWriteHook hook);
// Messages a thread holds back instead of printing them (nlHoldOutput), in
// the order it printed them.
struct nlHeldMessage {
  FILE* stream;
  int severity;
  std::string text;
};
using nlHeldOutput = std::vector<nlHeldMessage>;
// From now on nlfprintf on the calling thread composes each message and
// raises the return code as always, but keeps it in *held instead of
// writing and logging it; nullptr prints at once again. A worker whose
// messages must appear in another order than it prints them uses it.
void nlHoldOutput(nlHeldOutput* held);
// Writes (and logs) the held messages in order, as nlfprintf would have,
// and empties `held`. Any thread.
void nlReleaseOutput(nlHeldOutput& held);
// Prints message `number` through the output function of its severity.
void nlprintf(int number, ...);
void nlvprintf(int number, va_list args);
// Formats message `number` (with its identifier) into a new heap string.
// Returns the length, or 0 with *result = nullptr when the message is missing.
int nlsprintf(char** result, int number, ...);
int nlvsprintf(char** result, int number, va_list args);
// As nlsprintf, and writes the text to the error log when its severity code
// is 5 or more and the error log is open.
int nlLogsprintf(char** result, int number, ...);
int nlLogvsprintf(char** result, int number, va_list args);
// As nlsprintf; used for texts that are built here and logged elsewhere.
int nlMessage(char** result, int number, ...);
// As nlLogsprintf.
int nlLogMessage(char** result, int number, ...);
// Severity code of a message (0..8), 255 when it can't be read, 6 when the
// message mutex is held by another thread.
int nlGetMsgSev(int number);
// Copies the response text of a prompt message (at most 15 characters and
// the NUL) into `buffer` (16 bytes). Returns 0, or 255 when the message can't
// be read (buffer then empty).
int nlresponse(int number, char* buffer);
// The next lookup reads the English catalog (cleared by that lookup).
void nlUseEnglishNext();

// The message mutex: recursive, guards the message object and serialises the
// error log's entries. Any thread may take it.
std::recursive_mutex& nlMessageMutex();
// Number of texts read from a catalog since dsCoreInit (cache misses). The
// benchmarks and tests use it to see the cache at work.
unsigned long nlCatalogReads();
// Client type given to nlinit (0 before).
int nlClientType();

// Prints a numbered message to the error log and, as selected by the ERROR
// class or flagByte, to the trace and the error program. Returns the formatted
// length, or minus the error log's error code when writing the log failed.
int trNlsLogPrintf(const char* file, unsigned line, unsigned char flagByte, int number, ...);
// Lets the error program's next failure be reported again (a new run).
void trResetErrorProgReport();
// Runs an ERRORPROG command line with `text` on its standard input and waits
// for it; a failure is reported with message 9293, once per run.
void trRunErrorProgram(const char* commandLine, const std::string& text);

// ---- message system life cycle ----------------------------------------------
// Output function for one severity code: receives the finished text.
typedef void (*nlOutputFn)(const char* text);
// Creates the memory pools, the process return code and the message object.
// outputs may be nullptr or hold 9 entries (nullptr entries get the default,
// which writes to stdout). Returns 0 or 102.
int dsCoreInit(const nlOutputFn* outputs, int flag);
// Destroys what dsCoreInit created (closing the catalogs first).
void dsCoreCleanUp();
// Opens the catalogs. chosenLocale is an in/out buffer of at least 64 bytes
// (empty = take the locale from the environment). Returns 0 or 610.
int nlinit(const char* langRepoPath, unsigned cacheCapacity, const char* repoDir, int clientType,
           int dateFormat, int timeFormat, int numberFormat, char* chosenLocale,
           const char* repoFileName);
void nlterm();

// ---- national formats --------------------------------------------------------
// Format numbers as given by DATEFORMAT, TIMEFORMAT and NUMBERFORMAT (0 = from
// the locale, -1 = keep the stored number). Return 0, or 400 for a number out
// of range.
int setDateFmt(int number);
int setTimeFmt(int number);
int setNumberFmt(int number);
// Writes the date (at most 15 characters, two blanks appended when shorter
// than 9) and the time with the current patterns.
void dateFmt(time_t when, char* dateBuf, char* timeBuf);
// Current national format pieces (valid after any setXxxFmt call; the
// defaults before). The pointers stay valid until the next setXxxFmt call.
struct NlsFormats {
  int dateFormat, timeFormat, numberFormat;
  const char* datePattern;  // strftime pattern, e.g. "%m/%d/%Y"
  const char* timePattern;  // e.g. "%H:%M:%S"
  char dateSeparator, timeSeparator;
  const char* amString;
  const char* pmString;
  char thousandsSeparator, decimalSeparator, subSecondSeparator;
};
NlsFormats nlFormats();
// Parses a user date ("+N" or three numbers in the pattern's order). Returns
// 0 and stores local midnight of that day, or 2 for a refused date.
int dateParse(const char* text, time_t* result);

// ---- process return code -----------------------------------------------------
// Any thread may call; the codes are kept under the object's own mutex.
class GlobalRC {
 public:
  static GlobalRC& instance();
  bool set(int messageNumber);  // true when the code rose
  int get() const;
  int getMax() const;
  int getMacroMax() const;
  void clearRC();
  void clearMacroRC();
  void clearAllRC();

 private:
  int current_ = 0;
  int macroMax_ = 0;
  int max_ = 0;
  mutable std::mutex mutex_;
};
// The code a message number raises the return code to (0, 4, 8 or 12).
int nlReturnCodeOf(int messageNumber);

// The common error reporting for a client return code (a server or session
// code such as -50, 136 or 102): prints message 2091 with the code and its
// meaning on standard error and logs it. The further arguments are kept for
// the callers' sake and not used. Returns the code.
int ProcessError2(int rc, void* session = nullptr, const char* text = "", void* spec = nullptr,
                  void* extra = nullptr, int flags = 0, const char* file = __builtin_FILE(),
                  unsigned line = __builtin_LINE());
// What a client return code means, in a few words ("unknown return code" for
// codes without a description).
const char* clientRcText(int rc);

// The command's own name, the usual first message argument.
const char* hsmWhoAmI();
void hsmSetWhoAmI(const char* argv0);  // keeps the last path component

#endif
