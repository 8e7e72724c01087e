// Validation of one option with its own functions and follow-up actions, the
// line grammar, the option files with their server stanzas, the command line
// trace passes and the error report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sstream>
#include <string>

#include "common/safepath.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/rc.h"
#include "common/trace.h"

// ---- messages ------------------------------------------------------------------------

namespace {

// Calls nlfprintf with the collected arguments in their own types.
template <typename... Done>
void forward(FILE* s, int number, const std::vector<OptMsgArg>& args, size_t i, Done... done) {
  if constexpr (sizeof...(Done) < 6) {
    if (i < args.size()) {
      if (auto n = std::get_if<int>(&args[i]))
        forward(s, number, args, i + 1, done..., *n);
      else
        forward(s, number, args, i + 1, done..., std::get<std::string>(args[i]).c_str());
      return;
    }
  }
  nlfprintf(s, number, done...);
}

void defaultSink(FILE* stream, int number, const std::vector<OptMsgArg>& args) {
  forward(stream, number, args, 0);
}

optMessageSink g_sink = defaultSink;

}  // namespace

optMessageSink optSetMessageSink(optMessageSink sink) {
  optMessageSink old = g_sink;
  g_sink = sink ? sink : defaultSink;
  return old;
}

void optMessage(FILE* stream, int number, const std::vector<OptMsgArg>& args) {
  g_sink(stream, number, args);
}

std::unique_ptr<optError> new_optError() { return std::make_unique<optError>(); }

void ReportOptionError(int code, int line, const char* option, const char* lineText,
                       const char* file) {
  const std::string f = file ? file : "";
  optMessage(stderr, kMsg11315);
  switch (code) {
    case RC_OPT_FILE_NOT_FOUND: optMessage(stderr, kMsg1035, {f}); break;
    case RC_OPT_NO_STANZA: optMessage(stderr, kMsg1217); break;
    case RC_OPT_NOT_IN_STANZA: optMessage(stderr, kMsg262); break;
    case RC_OPT_NO_SERVER_ADDRESS: optMessage(stderr, kMsg1218); break;
    case RC_NO_MEMORY: optMessage(stderr, kMsg1098); break;
    case RC_OPT_READ_ERROR: optMessage(stderr, kMsg1131); break;
    case RC_OPT_LINE_TOO_LONG: optMessage(stderr, kMsg1130); break;
    case RC_OPT_NO_SUCH_FILE: optMessage(stderr, kMsg1251); break;
    case RC_OPT_SYSFILE_NOT_FOUND: optMessage(stderr, kMsg1156, {f}); break;
    case RC_OPT_UNSUPPORTED: optMessage(stderr, kMsg1480); break;
    default: {
      const char* text = (lineText && *lineText) ? lineText : "Not Supplied";
      optMessage(stderr, kMsg1036, {std::string(option ? option : ""), f, line, std::string(text)});
      static const struct { int code, number; } follow[] = {
          {RC_OPT_VALUE_TOO_LONG, kMsg1041}, {RC_OPT_VALUE_MISSING, kMsg1042},
          {RC_OPT_INVALID, kMsg1038},        {RC_OPT_BAD_QUOTE, kMsg1043},
          {RC_OPT_REPEATED, kMsg1219},       {RC_OPT_BAD_KEYWORD, kMsg1037},
          {RC_OPT_BAD_NUMBER, kMsg1039},     {RC_OPT_BAD_DATE, kMsg1040},
          {RC_OPT_CORRECT_AND_RETRY, kMsg297}};
      for (const auto& x : follow)
        if (x.code == code) optMessage(x.number == kMsg297 ? stdout : stderr, x.number);
    }
  }
  optMessage(stderr, kMsg11315);
}

void ReportOptionError(const optError& e) {
  ReportOptionError(e.code, e.lineNumber, e.optionName.c_str(), e.lineText.c_str(),
                    e.fileName.c_str());
}

// ---- own validation functions ------------------------------------------------------------

int optErrorLogNameCallback(clientOptions& o, const optionEntry&, const char* value, bool apply) {
  std::string name(value);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  if (name.empty() || name.size() > 1279) {
    // A name we can't use leaves the current log in place rather than
    // stopping the command.
    optMessage(stderr, kMsg11340, {std::string(value)});
    optMessage(stderr, kMsg11341, {o.errorLogName});
    return 0;
  }
  if (apply) {
    o.errorLogName = name;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) o.logDir = slash == 0 ? "/" : name.substr(0, slash);
  }
  return 0;
}

int optErrorLogRetentionCallback(clientOptions& o, const optionEntry&, const char* value,
                                 bool apply) {
  std::string v(value);
  for (char& c : v)
    if (c == ',') c = ' ';
  size_t i = 0;
  if (isalpha(static_cast<unsigned char>(v[0]))) {
    if (toupper(static_cast<unsigned char>(v[0])) != 'N') return RC_OPT_INVALID;
    if (apply) o.errorLogRetention = 10000, o.errorLogSaveFlag = 'D';
    return 0;
  }
  long days = 0;
  while (i < v.size() && isdigit(static_cast<unsigned char>(v[i]))) {
    days = days * 10 + (v[i] - '0');
    if (days > 9999) return RC_OPT_INVALID;
    ++i;
  }
  if (i == 0) return RC_OPT_INVALID;
  while (i < v.size() && v[i] == ' ') ++i;
  char save = 'D';
  if (i < v.size()) {
    save = static_cast<char>(toupper(static_cast<unsigned char>(v[i])));
    if ((save != 'D' && save != 'S') || i + 1 != v.size()) return RC_OPT_INVALID;
  }
  if (apply) o.errorLogRetention = static_cast<uint16_t>(days), o.errorLogSaveFlag = save;
  return 0;
}

int optTraceCallback(clientOptions& o, const optionEntry& row, const char* value, bool apply) {
  if (!value || !*value) return RC_INVALID_PARM;
  std::string v(value);
  if (v.front() == '"') v = v.size() >= 2 ? v.substr(1, v.size() - 2) : std::string();
  bool quoted = false;
  for (char& c : v) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) c = ' ';
  }
  if (!apply) return 0;
  switch (row.id) {
    case OPT_TESTFLAGS:
      if (trProcTestFlags(v.c_str()) != 0) return RC_OPT_INVALID;
      o.testFlags = o.testFlags.empty() ? v : o.testFlags + " " + v;
      return 0;
    case OPT_TRACEFILE: {
      const int rc = trSetTraceFileName(v.c_str());
      if (rc == RC_TRACE_FILE_IS_LINK) return RC_TRACE_FILE_IS_LINK;
      if (rc != 0) return RC_OPT_INVALID;
      if (o.traceFile.empty()) o.traceFile = v;  // the first name wins, as in the trace
      return 0;
    }
    default:
      if (trEnable(v.c_str(), false) != 0) return RC_OPT_INVALID;
      o.traceFlags = v;
      return 0;
  }
}

int optNameListCallback(clientOptions& o, const optionEntry& row, const char* value, bool apply) {
  std::string v(value);
  for (char& c : v)
    if (c == ',' || c == '"') c = ' ';
  if (v.find_first_not_of(' ') == std::string::npos) return RC_OPT_INVALID;
  if (apply) {
    std::string& list = o.*std::get<std::string clientOptions::*>(row.field);
    list = list.empty() ? v : list + " " + v;  // lines add to the list
  }
  return 0;
}

// ---- validation of one option ----------------------------------------------------------------

namespace {

// Options whose command-line value the files leave alone.
bool commandLineWins(uint16_t id) {
  switch (id) {
    case OPT_LANGUAGE: case OPT_NODENAME: case OPT_CLUSTERNODE: case OPT_SERVERNAME:
    case OPT_ERRORLOGNAME: case OPT_SCHEDLOGNAME: case OPT_AUDITLOGNAME: case OPT_TRACEMAX:
      return true;
    default:
      return false;
  }
}

void followUp(clientOptions& o, uint16_t id) {
  switch (id) {
    case OPT_TRACESEGSIZE: trSetMaxTraceSegSize(o.traceSegSize); break;
    case OPT_TRACEMAX: trSetMaxTraceSize(o.traceMax); break;
    case OPT_ERRORPROG: trSetErrorProg(o.errorProg.c_str()); break;
    case OPT_OPTFILE: o.userOptFile = o.optFile, o.userOptFileNamed = true; break;
    default: break;
  }
}

}  // namespace

int optValidateOption(clientOptions& o, const char* value, const char* name, bool apply,
                      uint16_t place) {
  if (!name || !*name) return RC_OPT_INVALID;
  const optSharedOptionTableEntry_t* kw = optLookupKeyword(name);
  if (!kw || kw->kind == OPT_KIND_OPERAND) return RC_OPT_INVALID;
  const optionEntry* row = optFindEntry(kw->id);
  if (!row) return RC_OPT_INVALID;
  if (place != OPT_PLACE_CMDLINE && commandLineWins(row->id) && o.setOnCommandLine(row->id))
    return 0;
  if (row->id == OPT_OPTFILE && o.userOptFileRead) return 0;
  if ((row->platformMask & o.modeBits) == 0) return 0;
  if (row->clientKinds != 0xFFFF && (row->clientKinds & (1u << o.clientType)) == 0) return 0;
  if (row->places != OPT_PLACE_ANY && (row->places & place) == 0) return RC_OPT_NOT_HERE;
  const optValidateFn fn = row->validate ? row->validate : optGeneralCallback;
  const int rc = fn(o, *row, value ? value : "", apply);
  if (rc != 0 || !apply) return rc;
  o.source[row->id] |= static_cast<uint8_t>(place);
  followUp(o, row->id);
  return 0;
}

// ---- line grammar -------------------------------------------------------------------------------

bool optSplitLine(const std::string& raw, std::string* name, std::string* value) {
  std::string line = raw.substr(0, 3584);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const size_t start = line.find_first_not_of(" \t\f\v\r\n");
  if (start == std::string::npos || line[start] == '*') return false;
  size_t end = line.find_first_of(" \t\f\v\r\n", start);
  if (end == std::string::npos) end = line.size();
  *name = line.substr(start, std::min<size_t>(end - start, 1279));
  for (char& c : *name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::string v;
  const size_t vs = line.find_first_not_of(" \t\f\v\r\n", end);
  if (vs != std::string::npos) {
    const size_t ve = line.find_last_not_of(" \t\f\v\r\n");
    v = line.substr(vs, ve - vs + 1);
  }
  if (!v.empty() && v[0] != '"') {
    std::string collapsed;
    size_t i = 0;
    for (; i < v.size() && v[i] != '"'; ++i) {
      const bool space = isspace(static_cast<unsigned char>(v[i]));
      if (space && !collapsed.empty() && collapsed.back() == ' ') continue;
      collapsed += space ? ' ' : v[i];
    }
    v = collapsed + v.substr(i);
  }
  *value = v;
  return true;
}

// ---- option files -----------------------------------------------------------------------------

namespace {

struct OptLine {
  int number;
  std::string text, name, value;
};

// Reads every option line of a file, and the file's status into `st` (the
// file read, not what the name names later). False when it can't be read.
bool readOptionLines(const std::string& path, std::vector<OptLine>* lines, struct stat* st = nullptr) {
  // An option file is the administrator's: a link to it is followed, but a
  // FIFO or device put in its place can neither hold the start nor be read.
  UniqueFd fd(clOpenRegular(path.c_str(), O_RDONLY, 0, LinkPolicy::kFollowLinks));
  struct stat ignored;
  if (!fd || fstat(fd.get(), st ? st : &ignored) != 0) return false;
  std::string content;
  char buf[8192];
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    content.append(buf, static_cast<size_t>(n));
  }
  std::istringstream in(content);
  std::string text;
  for (int n = 1; std::getline(in, text); ++n) {
    OptLine l{n, text, {}, {}};
    if (optSplitLine(text, &l.name, &l.value)) lines->push_back(std::move(l));
  }
  return true;
}

int fail(optError* err, int code, const OptLine* l, const std::string& file) {
  if (err) {
    err->code = code;
    err->fileName = file;
    err->optionName = l ? l->name : "";
    err->lineText = l ? l->text : "";
    err->lineNumber = l ? l->number : 0;
  }
  return code;
}

bool isPrescanOption(const std::string& name) {
  const optSharedOptionTableEntry_t* kw = optLookupKeyword(name.c_str());
  const optionEntry* row = kw ? optFindEntry(kw->id) : nullptr;
  return row && row->prescan;
}

// One line in one place; 429 becomes message 1691 (main pass) and success.
int applyLine(clientOptions& o, const OptLine& l, uint16_t place, OptPass pass,
              const std::string& file, optError* err) {
  if (pass == OPT_PASS_PRESCAN && !isPrescanOption(l.name)) {
    const optSharedOptionTableEntry_t* kw = optLookupKeyword(l.name.c_str());
    return (kw && kw->kind != OPT_KIND_OPERAND) ? 0 : fail(err, RC_OPT_INVALID, &l, file);
  }
  const int rc = optValidateOption(o, l.value.c_str(), l.name.c_str(), true, place);
  if (rc == RC_OPT_NOT_HERE) {
    if (pass == OPT_PASS_MAIN) optMessage(stderr, kMsg1691, {l.name, file, l.number});
    return 0;
  }
  return rc ? fail(err, rc, &l, file) : 0;
}

bool isServerNameLine(const OptLine& l) { return Abbrev(l.name.c_str(), "SERVERNAME", 2); }

bool isDefaultServerLine(const OptLine& l) {
  const optSharedOptionTableEntry_t* kw = optLookupKeyword(l.name.c_str());
  return kw && kw->kind != OPT_KIND_OPERAND && kw->id == OPT_DEFAULTSERVER;
}

bool isGlobalHsmOption(const std::string& name) {
  static const uint16_t globals[] = {
      OPT_DEFAULTSERVER, OPT_MIGRATESERVER, OPT_CHECKTHRESHOLDS, OPT_RECONCILEINTERVAL,
      OPT_CANDIDATESINTERVAL, OPT_MAXTHRESHOLDPROC, OPT_MAXRECONCILEPROC, OPT_MINRECALLDAEMONS,
      OPT_MAXRECALLDAEMONS, OPT_MIGFILEEXPIRATION, OPT_MINMIGFILESIZE, OPT_MAXMIGRATORS,
      OPT_MAXCANDPROCS, OPT_OVERLAPRECALL, OPT_CHECKFORORPHANS, OPT_KERNELMESSAGES};
  const optSharedOptionTableEntry_t* kw = optLookupKeyword(name.c_str());
  if (!kw || kw->kind == OPT_KIND_OPERAND) return false;
  for (uint16_t id : globals)
    if (kw->id == id) return true;
  return false;
}

std::string upperCopy(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool isPasswordLine(const OptLine& l) {
  const optSharedOptionTableEntry_t* kw = optLookupKeyword(l.name.c_str());
  return kw && kw->kind != OPT_KIND_OPERAND && kw->id == OPT_PASSWORD;
}

// Why a file of this status may not hold a password: anyone but root could
// read it or change it. Empty when it may.
std::string notPrivate(const struct stat& st) {
  if (st.st_uid != 0) return "the file is owned by user " + std::to_string(st.st_uid) + ", not by root";
  if (st.st_mode & 066) return "users other than root may read or write the file (mode " + [&] {
    char m[8];
    snprintf(m, sizeof m, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string(m);
  }() + ")";
  return "";
}

int processSystemFile(clientOptions& o, const std::string& file, OptPass pass, optError* err) {
  std::vector<OptLine> lines;
  struct stat st {};
  if (!readOptionLines(file, &lines, &st)) {
    TRACE(TR_CONFIG, "%d: unable to open system option file '%s'\n", kMsg21301, file.c_str());
    return fail(err, RC_OPT_FILE_NOT_FOUND, nullptr, file);
  }
  o.currentPlace = OPT_PLACE_SYSFILE;
  // The global part: the HSM options ahead of the first stanza.
  // DEFAULTSERVER is not applied in the prescan, but it still chooses the
  // stanza there: both passes must read the same one.
  std::string defaultServer = o.defaultServer;
  size_t i = 0;
  for (; i < lines.size() && isGlobalHsmOption(lines[i].name); ++i) {
    if (int rc = applyLine(o, lines[i], OPT_PLACE_SYSFILE, pass, file, err)) return rc;
    if (isDefaultServerLine(lines[i])) defaultServer = lines[i].value;
  }

  // Choose the stanza: the selected server, else DEFAULTSERVER, else the first.
  std::string wanted = upperCopy(o.serverName.empty() ? defaultServer : o.serverName);
  size_t begin = lines.size();
  bool found = false;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (!isServerNameLine(lines[k])) continue;
    const std::string name = upperCopy(lines[k].value);
    if (name.empty() || name.size() > 64) return fail(err, RC_OPT_INVALID, &lines[k], file);
    if (wanted.empty() || name == wanted) {
      if (wanted.empty()) wanted = name;
      begin = k + 1;
      found = true;
      break;
    }
  }
  if (!found) return fail(err, RC_OPT_NO_STANZA, nullptr, file);
  if (pass == OPT_PASS_MAIN) {
    o.serverName = wanted;
    if (o.migrateServer.empty()) o.migrateServer = o.defaultServer;
  }
  const std::string passwordBefore = o.password;
  bool passwordGiven = false;
  for (size_t k = begin; k < lines.size() && !isServerNameLine(lines[k]); ++k) {
    if (int rc = applyLine(o, lines[k], OPT_PLACE_SYSFILE, pass, file, err)) return rc;
    passwordGiven |= isPasswordLine(lines[k]);
  }
  // A password in a file others can read is known to them already; one in
  // a file others can change is theirs. Neither is sent anywhere.
  if (passwordGiven && pass == OPT_PASS_MAIN) {
    const std::string why = notPrivate(st);
    if (!why.empty()) {
      o.password = passwordBefore;
      optMessage(stderr, kMsg9787, {file, why});
    }
  }

  if (pass == OPT_PASS_MAIN && o.tcpServerAddress.empty()) return fail(err, RC_OPT_NO_SERVER_ADDRESS, nullptr, file);
  return 0;
}

int processUserFile(clientOptions& o, const std::string& file, OptPass pass, optError* err) {
  std::vector<OptLine> lines;
  if (!readOptionLines(file, &lines)) {
    // Only a file the user named must exist; but something that is there
    // and is no regular file (a FIFO, a device) is never passed over.
    return o.userOptFileNamed || errno == EINVAL ? fail(err, RC_OPT_FILE_NOT_FOUND, nullptr, file) : 0;
  }
  o.currentPlace = OPT_PLACE_USERFILE;
  for (const OptLine& l : lines)
    if (int rc = applyLine(o, l, OPT_PLACE_USERFILE, pass, file, err)) return rc;
  if (pass == OPT_PASS_MAIN) o.userOptFileRead = true;
  return 0;
}

}  // namespace

int optProcessOptions(clientOptions& o, int source, const char* fileName, OptPass pass,
                      optError* err) {
  switch (source) {
    case OPT_SRC_USERFILE:
      return processUserFile(o, fileName ? fileName : o.userOptFile, pass, err);
    case OPT_SRC_SYSFILE:
      return processSystemFile(o, fileName ? fileName : o.sysOptFile, pass, err);
    default:
      return fail(err, RC_OPT_INVALID, nullptr, fileName ? fileName : "");
  }
}

int optPrescanTrOpt(clientOptions& o, optError* err) {
  const int rc = optProcessOptions(o, OPT_SRC_USERFILE, nullptr, OPT_PASS_PRESCAN, err);
  if (rc == 0 && !o.traceFile.empty()) trBegin(o.traceFile.c_str(), true);
  return rc;
}

int optPrescanSysOptFile(clientOptions& o, optError* err) {
  return optProcessOptions(o, OPT_SRC_SYSFILE, nullptr, OPT_PASS_PRESCAN, err);
}

// ---- command line ------------------------------------------------------------------------------

int optCommandLinePass(clientOptions& o, int argc, char** argv, int pass) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strlen(arg) > 1278) {
      optMessage(stderr, kMsg1246, {1279});
      return RC_ARG_TOO_LONG;
    }
    const char* eq = strchr(arg, '=');
    if (arg[0] != '-' || !eq) continue;
    const std::string name(arg + 1, eq);
    const optSharedOptionTableEntry_t* kw = optLookupKeyword(name.c_str());
    if (!kw) continue;
    const bool wanted = kw->id == OPT_TRACEMAX ||
                        (pass == 1 ? kw->id == OPT_TRACEFILE : kw->id == OPT_TRACEFLAGS);
    if (!wanted) continue;
    o.currentPlace = OPT_PLACE_CMDLINE;
    if (optValidateOption(o, eq + 1, name.c_str(), true, OPT_PLACE_CMDLINE) != 0) {
      optMessage(stderr, kMsg1107, {std::string(arg)});
      return RC_OPT_INVALID;
    }
  }
  return 0;
}
