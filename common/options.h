// Client options: the keyword table, the option table, the client options
// record, the option files and the start-up sequence of the HSM commands.
//
// Contract
// - Options are read on the main thread during start-up, before any other
//   thread exists. Afterwards the record behind optionsP is read-only and any
//   thread reads it without locking. Nothing here is thread-safe for writers.
// - Results are integer codes, named RC_OPT_* in common/rc.h: 0 success;
//   400 bad option or value; 402 bad quoting; 405 missing server address;
//   406 option file not found; 409 no such server stanza; 429 option not
//   allowed in this place (reported with message 1691 by the file reader and
//   then treated as success).
// - Every numbered message this layer prints goes through the message sink
//   (optSetMessageSink), which by default hands it to nlfprintf. It is the
//   layer's one process-wide seam: the option functions run before anything
//   else exists, from the start-up sequence down, and nothing in the program
//   replaces it; tests install their own sink to see which numbers were
//   reported with which arguments.
// - The record owns all its text (std::string); copying a record gives an
//   independent record, which the server layer uses for per-file-system
//   copies of the process options.
#ifndef KMR_COMMON_OPTIONS_H
#define KMR_COMMON_OPTIONS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "common/option_ids.h"

// ---- places and kinds --------------------------------------------------------
// Where an option was given; also the "places" column of the option table.
enum OptPlace : uint16_t {
  OPT_PLACE_CMDLINE = 1,
  OPT_PLACE_SYSFILE = 2,
  OPT_PLACE_USERFILE = 4,
  OPT_PLACE_ANY = 0xFF,
};
// Client type of kmrmigundelete.
constexpr int OPT_CLIENT_HSM = 5;
// Mode bits of this program; a row whose platform mask does not meet them is
// accepted and ignored.
constexpr uint32_t OPT_MODE_UNIX = 0x1;
constexpr uint32_t OPT_MODE_WINDOWS = 0x2;

// Default installation directory when KMR_DIR is not set.
constexpr const char* kOptDefaultInstallDir = "/opt/vostra/Tarnveld/bin";

// ---- keyword table -------------------------------------------------------------
struct optSharedOptionTableEntry_t {
  const char* keyword;  // upper case
  uint16_t minAbbrev;   // shortest accepted abbreviation
  uint16_t id;          // OptionId, or 500.. for operands, 999 for the end row
  uint16_t kind;        // 2 = operand of other commands, refused as option
  uint16_t spare;
};
constexpr uint16_t OPT_KIND_OPERAND = 2;

// 332 rows: the 331 keywords of option_keywords.inc, then the end row
// "ZZZLASTENTRY" with id 999.
extern const optSharedOptionTableEntry_t optSharedTable[];
extern const size_t optSharedTableRows;

// True when `name` (already upper case) is an abbreviation of `keyword`: at
// least minLen and at most strlen(keyword) characters, equal to its start.
bool Abbrev(const char* name, const char* keyword, size_t minLen);
// The first row, in table order, that `name` abbreviates (case is ignored),
// operands included; nullptr when none does. The end row never matches.
const optSharedOptionTableEntry_t* optLookupKeyword(const char* name);
// The keyword of an option id, "" for an unknown id.
const char* optKeywordOf(uint16_t id);

// ---- option table ----------------------------------------------------------------
struct clientOptions;

// Where a value lives in the record. The alternative held is the storage
// type: flag, 16-bit unsigned, 32-bit signed, 32-bit unsigned, 64-bit
// unsigned, text. monostate: kept by keyword in clientOptions::otherOptions.
using OptField = std::variant<std::monostate, uint8_t clientOptions::*, uint16_t clientOptions::*,
                              int32_t clientOptions::*, uint32_t clientOptions::*,
                              uint64_t clientOptions::*, std::string clientOptions::*>;

struct optKeywordValue {
  const char* keyword;  // nullptr ends a list
  uint16_t minAbbrev;
  int32_t value;
};

struct optionEntry;
// Parses `value` for `row`; stores it when `apply`. Returns 0 or a code.
using optValidateFn = int (*)(clientOptions& opts, const optionEntry& row, const char* value,
                              bool apply);

// Parse kinds of the general validation.
enum OptParse : uint8_t {
  PARSE_TEXT = 0,        // text up to maxTextLen, upper-cased unless case is kept
  PARSE_TOGGLE = 1,      // yes/no
  PARSE_FREE = 2,        // anything, value optional, stored as written
  PARSE_TOKEN = 3,       // optionally quoted token, min..max characters, upper-cased
  PARSE_TOKEN_KEPT = 4,  // the same with case kept
  PARSE_SIGNED = 5,      // signed number, no range
  PARSE_NUMBER = 6,      // number in [minimum, maximum], with the unit rule
  PARSE_PATH = 7,        // absolute path, at most maxTextLen characters
  PARSE_OWN = 11,        // the row's own function
  PARSE_KEYWORD = 12,    // one keyword of the row's list
  PARSE_OWN_OPTIONAL = 13,  // the row's own function, value optional
};
// Unit or case rule.
enum OptUnit : uint8_t {
  UNIT_NONE = 0,
  UNIT_PLAIN = 1,
  UNIT_KB = 2,      // stored times 1024
  UNIT_MB = 3,      // stored times 1048576
  UNIT_CASE_KEPT = 4,
  UNIT_NO_VALUE = 7,
};

struct optionEntry {
  uint16_t id = OPT_NONE;
  OptField field;
  uint16_t maxTextLen = 0;
  uint32_t platformMask = 0xFFFFFFFFu;
  uint16_t clientKinds = 0xFFFF;  // bit (1 << client type); all ones = all
  uint16_t places = OPT_PLACE_ANY;
  uint8_t parseKind = PARSE_FREE;
  int64_t minimum = 0;
  int64_t maximum = 0;
  uint8_t unit = UNIT_NONE;
  optValidateFn validate = nullptr;  // nullptr = optGeneralCallback
  bool prescan = false;
  const optKeywordValue* choices = nullptr;
  int64_t defaultNumber = 0;
  const char* defaultText = nullptr;
};

// The row of an option id; nullptr for operands, the end id and unknown ids.
const optionEntry* optFindEntry(uint16_t id);
// The general validation by parse kind.
int optGeneralCallback(clientOptions& opts, const optionEntry& row, const char* value, bool apply);

// ---- the client options record ------------------------------------------------------
struct clientOptions {
  // Builds the indexes and sets every option to its default.
  explicit clientOptions(int clientType = OPT_CLIENT_HSM, uint32_t modeBits = OPT_MODE_UNIX);

  // Server and communication.
  std::string serverName;        // SERVERNAME; the selected stanza
  std::string defaultServer;     // DEFAULTSERVER
  std::string migrateServer;     // MIGRATESERVER
  std::string tcpServerAddress;  // TCPSERVERADDRESS
  int32_t tcpPort = 1500;        // TCPPORT
  int32_t commMethod = 1;        // COMMMETHOD: 1 TCPIP, 2 V6TCPIP, 3 SHAREDMEM
  uint32_t tcpBuffSize = 32768;  // TCPBUFFSIZE, bytes
  int32_t tcpWindowSize = 64512; // TCPWINDOWSIZE, bytes
  uint8_t tcpNoDelay = 1;        // TCPNODELAY
  int32_t commRestartDuration = 60;  // COMMRESTARTDURATION, minutes
  int32_t commRestartInterval = 15;  // COMMRESTARTINTERVAL, seconds
  uint32_t txnByteLimit = 25600u * 1024u;  // TXNBYTELIMIT, bytes
  uint8_t largeCommBuffers = 0;  // LARGECOMMBUFFERS / USELARGEBUFFERS
  uint8_t enableLanFree = 0;     // ENABLELANFREE

  // Node and password.
  std::string nodeName;         // NODENAME; host name upper-cased by default
  std::string asNodeName;       // ASNODENAME
  std::string virtualNodeName;  // VIRTUALNODENAME
  uint8_t clusterNode = 0;      // CLUSTERNODE
  int32_t passwordAccess = 0;   // PASSWORDACCESS: 0 PROMPT, 1 GENERATE
  std::string password;         // PASSWORD
  std::string passwordDir;      // PASSWORDDIR
  uint8_t ssl = 0;              // SSL: TLS to the server, its certificate pinned
  std::string sslServerPin;     // SSLSERVERPIN: PEM certificate file or SHA256:fingerprint

  // Logs, trace and national formats.
  std::string errorLogName;        // ERRORLOGNAME
  uint16_t errorLogRetention = 10000;  // ERRORLOGRETENTION days; 10000 = never prune
  char errorLogSaveFlag = 'D';     // 'S' saves pruned entries, 'D' discards them
  uint32_t errorLogMax = 0;        // ERRORLOGMAX, bytes; 0 = no limit
  std::string errorProg;           // ERRORPROG
  std::string schedLogName;        // SCHEDLOGNAME
  std::string auditLogName;        // AUDITLOGNAME
  std::string language;            // LANGUAGE; the repository path by default
  int32_t dateFormat = 0;          // DATEFORMAT (0 = from the locale)
  int32_t timeFormat = 0;          // TIMEFORMAT
  int32_t numberFormat = 0;        // NUMBERFORMAT
  std::string traceFile;           // TRACEFILE
  std::string traceFlags;          // TRACEFLAGS / TFLAGS
  uint32_t traceMax = 0;           // TRACEMAX, MB
  uint32_t traceSegSize = 0;       // TRACESEGSIZE, MB
  std::string testFlags;           // TESTFLAGS as given (the flags live in the trace)

  // Files and access.
  std::string optFile;  // OPTFILE
  std::string users;    // USERS, blank separated
  std::string groups;   // GROUPS, blank separated
  int32_t subdir = 2;   // SUBDIR

  // HSM settings.
  int32_t reconcileInterval = 24;   // RECONCILEINTERVAL, hours
  int32_t candidatesInterval = 1;   // CANDIDATESINTERVAL
  int32_t maxReconcileProc = 3;     // MAXRECONCILEPROC
  int32_t recreateWorkers = 0;      // RECREATEWORKERS: 1 to 64; 0 is the online processors, at most 8
  int32_t migFileExpiration = 7;    // MIGFILEEXPIRATION, days
  int32_t checkThresholds = 5;      // CHECKTHRESHOLDS, minutes
  int32_t maxThresholdProc = 3;     // MAXTHRESHOLDPROC
  int32_t minRecallDaemons = 3;     // MINRECALLDAEMONS
  int32_t maxRecallDaemons = 20;    // MAXRECALLDAEMONS
  int32_t minMigFileSize = 0;       // MINMIGFILESIZE
  int32_t maxMigrators = 1;         // MAXMIGRATORS
  int32_t maxCandProcs = 5;         // MAXCANDPROCS
  uint8_t overlapRecall = 0;        // OVERLAPRECALL
  uint8_t checkForOrphans = 0;      // CHECKFORORPHANS
  uint8_t kernelMessages = 1;       // KERNELMESSAGES
  uint8_t hsmExtObjIdAttr = 0;      // HSMEXTOBJIDATTR
  uint8_t hsmDisableAutoMigDaemons = 0;  // HSMDISABLEAUTOMIGDAEMONS
  uint8_t hsmRestoreSetId = 0;      // HSMRESTORESETID: recreated stubs keep set-user/group-id bits
  uint8_t hsmEventDestroy = 0;      // HSMEVENTDESTROY

  // Options this command never reads, by id, as written.
  std::map<uint16_t, std::string> otherOptions;

  // Where each option came from: an OR of OptPlace bits, by id.
  std::array<uint8_t, OPT_LAST_OPTION + 1> source{};
  uint16_t currentPlace = 0;
  int clientType;
  uint32_t modeBits;

  // Environment and files.
  std::string installDir;     // KMR_DIR without trailing "/", or the default
  std::string logDir;         // KMR_LOG, else PWD, else the working directory
  std::string userOptFile;    // the user option file name in use
  bool userOptFileNamed = false;   // named by KMR_CONFIG or OPTFILE: must exist
  bool userOptFileRead = false;    // the user option file is in use; OPTFILE ignored
  std::string sysOptFile;     // installDir + "/kmr.sys"
  std::string langRepoPath;   // installDir + "/kmrclientv3.cat"
  bool showOptionNotice = false;  // asks smSysOptFile for message 11290

  // True when the command line set this option (the files then leave it alone).
  bool setOnCommandLine(uint16_t id) const {
    return id <= OPT_LAST_OPTION && (source[id] & OPT_PLACE_CMDLINE) != 0;
  }
};

// The process's options, created by smInitOptFile; nullptr before and after.
extern clientOptions* optionsP;

// ---- option errors ---------------------------------------------------------------
struct optError {
  std::string optionName;
  std::string lineText;
  std::string fileName;
  int lineNumber = 0;
  int code = 0;
};
std::unique_ptr<optError> new_optError();

// ---- messages ------------------------------------------------------------------------
using OptMsgArg = std::variant<int, std::string>;
// Receives each numbered message of this layer and of the process clean-up.
using optMessageSink = void (*)(FILE* stream, int number, const std::vector<OptMsgArg>& args);
// Installs `sink` (nullptr restores the default, nlfprintf). Returns the
// previous sink. Call only while no other thread prints.
optMessageSink optSetMessageSink(optMessageSink sink);
// Prints one message through the current sink.
void optMessage(FILE* stream, int number, const std::vector<OptMsgArg>& args = {});

// Prints the error report: 11315, the code's messages, 11315 again.
void ReportOptionError(int code, int line, const char* option, const char* lineText,
                       const char* file);
void ReportOptionError(const optError& err);

// ---- parsing -----------------------------------------------------------------------------
// Splits one option file line. Returns false for a line that holds no option
// (empty, blank, or a comment starting with "*"); otherwise stores the
// upper-cased name and the value (trimmed; unquoted white space collapsed).
bool optSplitLine(const std::string& line, std::string* name, std::string* value);

// Looks `name` up, checks place and precedence, validates `value` and, when
// `apply`, stores it and runs the follow-up actions. Returns 0 (also for an
// option that is accepted without effect or ignored by precedence), 429 when
// the option may not be given in `place`, or the validation's code.
int optValidateOption(clientOptions& opts, const char* value, const char* name, bool apply,
                      uint16_t place);

// Option sources of optProcessOptions.
enum OptSource { OPT_SRC_CMDLINE = 0, OPT_SRC_USERFILE = 1, OPT_SRC_SYSFILE = 2 };
// Which options a pass takes.
enum OptPass { OPT_PASS_MAIN = 0, OPT_PASS_PRESCAN = 1 };

// Reads an option file (source 1 or 2). `fileName` nullptr means the file
// named in the record. On failure `err` (may be nullptr) holds the code, the
// option, the line and the file. Returns 0, 406 for a file that must exist
// and doesn't, or the first option's failure code.
int optProcessOptions(clientOptions& opts, int source, const char* fileName, OptPass pass,
                      optError* err);
// Prescan of the user option file; then, when a trace file name is set,
// opens the trace. Returns as optProcessOptions.
int optPrescanTrOpt(clientOptions& opts, optError* err);
// Prescan of the system option file. Returns as optProcessOptions.
int optPrescanSysOptFile(clientOptions& opts, optError* err);

// One pass of the command line over "-NAME=value" arguments: pass 1 takes
// TRACEFILE and TRACEMAX, pass 2 TRACEFLAGS and TRACEMAX. Returns 0; 937 for
// an argument of 1279 characters or more (message 1246); 400 for a trace
// option that fails (message 1107 with the argument).
int optCommandLinePass(clientOptions& opts, int argc, char** argv, int pass);

// Applies KMR_DIR, KMR_CONFIG, KMR_LOG and PWD and derives the default file
// names. `defaultInstallDir` is used when KMR_DIR is not set.
void optEnvVarInit(clientOptions& opts, const char* defaultInstallDir = kOptDefaultInstallDir);

// Derived settings after all sources: node name from the host name,
// MIGRATESERVER from DEFAULTSERVER. Returns 0 or a code.
int optPostProcessOptions(clientOptions& opts);
// Access check by USERS and GROUPS for user `uid`. True when allowed.
bool optCheckUser(const clientOptions& opts, unsigned uid);
// Writes every setting into the trace (GENERAL, SM or SMVERBOSE must be on).
void optDisplay(const clientOptions& opts);
// Sets every option given in a server stanza back to its default, so that
// the system option file can be read again for another stanza.
void optResetStanzaOptions(clientOptions& opts);

// ---- start-up of the HSM commands ------------------------------------------------------
// Creates the per-thread server connection object once the options are
// read; installed by the server layer. Returns 0 or a code.
using smServerConnectionFactory = int (*)(clientOptions* opts);
void smRegisterServerConnectionFactory(smServerConnectionFactory factory);

// Start-up up to the error log (see docs/options.md). Creates optionsP. On
// any failure it ends the process through HsmNormalCleanUp (status 255).
// `reserved` must be nullptr.
void smInitOptFile(int argc, char** argv, void* reserved);
// Reads the system option file into `opts` (nullptr: optionsP), post-
// processes, checks access and creates the server connection object. Returns
// 0 or a code; with exitOnError 1 a failure ends the process (status 255).
int smSysOptFile(int exitOnError, clientOptions* opts);
// Prints the command's banner (message 2090: command name and version) on
// standard output. Main thread, after start-up.
void smGreetings();

#endif
