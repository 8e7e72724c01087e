// The trace object's output: opening STDOUT, STDERR, the console or a file in
// one of three regimes (unlimited append, one wrapping file, rotating
// segments), the output step with its leading prefix, closing and reset.
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/rc.h"
#include "common/safepath.h"
#include "common/trace_internal.h"

namespace kmrtrace {

int beginLocked(const char* name, bool announce);

namespace {

TraceObject g_obj;
uint64_t g_unitBytes = 1048576;
trDateFmtProc g_dateFmt = nullptr;

constexpr char kMagic[] = "ZEF Trace   ";
constexpr char kPlaceholder[] = "123456789012";
constexpr char kEndMarker[] = "\nEND OF DATA\n\n";
constexpr char kBeginText[] = "BEGINNING NEW TRACE\n\n";

bool isName(const char* name, const char* special) { return strcasecmp(name, special) == 0; }

// Copies a name into a fixed field, cutting what doesn't fit.
template <size_t N>
void copyName(char (&dst)[N], const std::string& src) {
  size_t n = src.size() < N - 1 ? src.size() : N - 1;
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// A relative name is taken relative to the current directory.
std::string absoluteName(const char* name) {
  if (name[0] == '/') return name;
  char cwd[kNameBuf];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
  return std::string(cwd) + "/" + name;
}

void defaultDateFmt(const struct tm* when, char* dateBuf, char* timeBuf) {
  strftime(dateBuf, 32, "%m/%d/%Y", when);
  strftime(timeBuf, 32, "%H:%M:%S", when);
}

void localDateTime(char* dateBuf, char* timeBuf, long* millis) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tmv);
  (g_dateFmt ? g_dateFmt : defaultDateFmt)(&tmv, dateBuf, timeBuf);
  if (strlen(dateBuf) < 9) strcat(dateBuf, "  ");
  if (millis) *millis = tv.tv_usec / 1000;
}

const char* clientTypeTag(int type) {
  static const char* const tags[] = {"[ctCLBackup  ]", "[ctCLAdmin   ]", "[ctGUIBackup ]",
                                     "[ctODBCDriver]", "[ctCLAPI     ]", "[ctHSMCmd    ]",
                                     "[ctDICAD     ]", "[ctDIWebClien]", "[ctJBBDaemon ]",
                                     "[ctUtlAppl   ]", "[ctCLUtlAppl ]", "[ctGUIUtlAppl]",
                                     "[ctDIJavaGUI ]"};
  if (type < 0 || type >= static_cast<int>(sizeof tags / sizeof tags[0])) return "[ctUnkown    ]";
  return tags[type];
}

// Where the header keeps the next-write offset ("%-12u" at byte 12).
void writeHeaderOffset(FILE* f, uint32_t offset) {
  fseeko(f, 12, SEEK_SET);
  fprintf(f, "%-12u", offset);
}

// The wrap check: makes room for `len` bytes at the next-write offset, going
// back behind the header or on to the next segment when the limit is reached.
void ckwrap(size_t len) {
  TraceObject& o = g_obj;
  uint32_t limit = o.maxMB;
  if (o.segCount >= 2) limit = (o.curSegment == o.segCount) ? o.lastSegMB : o.segSizeMB;
  double needed = static_cast<double>(o.nextWrite) + static_cast<double>(len) + 17.0;
  if (needed / static_cast<double>(g_unitBytes) >= static_cast<double>(limit)) {
    fseeko(o.out, o.nextWrite, SEEK_SET);
    if (o.segCount > 1)
      fprintf(o.out, "\nContinued at beginning of segment %u\n\n", o.curSegment % o.segCount + 1);
    else
      fputs("\nContinued at beginning of file\n\n", o.out);
    fflush(o.out);
    o.nextWrite = o.dataStart;
    if (o.segCount > 1) {
      o.switching = true;
      trClose(false);
      o.prevSegment = o.curSegment;
      o.curSegment = o.curSegment % o.segCount + 1;
      char base[kNameBuf];
      copyName(base, o.baseName);
      // Not under the trace mutex: trReset takes it before the wrap mutex,
      // which this thread holds. A failed open leaves no stream; the write
      // then fails and resets tracing once the wrap mutex is released.
      beginLocked(base, true);
      o.switching = false;
    }
  }
  if (o.out) fseeko(o.out, o.nextWrite, SEEK_SET);
}

// One write into a wrapping file: wrap check, text, next-write offset, end
// marker, header. Returns false when the stream failed.
bool writeWrapped(const char* lead, const char* text) {
  TraceObject& o = g_obj;
  std::lock_guard<std::recursive_mutex> lock(wrapMutex());
  if (!o.out) return false;
  fflush(o.out);
  ckwrap(strlen(lead) + strlen(text));
  if (!o.out) return false;
  if (fputs(lead, o.out) < 0 || fputs(text, o.out) < 0) return false;
  off_t pos = ftello(o.out);
  if (pos < 0) return false;
  o.nextWrite = static_cast<uint32_t>(pos);
  fputs(kEndMarker, o.out);
  writeHeaderOffset(o.out, o.nextWrite);
  fseeko(o.out, o.nextWrite, SEEK_SET);
  return fflush(o.out) == 0 && !ferror(o.out);
}

// Routes one text (with its leading prefix) to the console, a standard
// stream or the file. Returns false when the write failed.
bool route(const char* lead, const char* text) {
  TraceObject& o = g_obj;
  if (o.console) {
    if (o.consoleCb) o.consoleCb(1, text, o.consoleCtx);
    return true;
  }
  FILE* f = o.out;
  if (!f) return false;
  if (isStdStream(f)) {
    if (o.stdoutAllowed) fprintf(f, "%s%s", lead, text);
    fflush(f);
    return true;
  }
  if (o.wrap) return writeWrapped(lead, text);
  bool ok = fprintf(f, "%s%s", lead, text) >= 0;
  return fflush(f) == 0 && ok;
}

void failWrite(bool withErrno) {
  int err = errno;
  char name[kNameBuf];
  copyName(name, g_obj.curName);
  trReset(true);
  if (withErrno)
    printf("Unable to write to trace file %s error is (%d) %s. Tracing disabled.\n", name, err,
           strerror(err));
  else
    printf("Unable to write to trace file %s. Tracing disabled.\n", name);
  fflush(stdout);
}

// Creates a wrapping file anew: magic, placeholder offset, header line.
FILE* createWrapped(const char* name) {
  TraceObject& o = g_obj;
  FILE* f = clFopenStreamNoFollow(name, "w+");
  if (!f) return nullptr;
  fprintf(f, "%s%s%-10u %s   Build date: %s\n\n", kMagic, kPlaceholder, o.maxMB, trProductBanner(),
          trBuildDate());
  fflush(f);
  o.nextWrite = o.dataStart = static_cast<uint32_t>(ftello(f));
  return f;
}

// Continues an existing wrapping file when its header is sound and it fits
// the current limit; nullptr when it must be created anew.
FILE* continueWrapped(const char* name) {
  TraceObject& o = g_obj;
  FILE* f = clFopenStreamNoFollow(name, "r+");
  if (!f) return nullptr;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) {
    fclose(f);
    return nullptr;
  }
  char line[257] = "";
  unsigned next = 0, recordedMax = 0;
  bool parsed = fgets(line, sizeof line, f) &&
                sscanf(line, "ZEF Trace   %u %u", &next, &recordedMax) == 2;
  uint64_t limitBytes = static_cast<uint64_t>(o.maxMB) * g_unitBytes;
  off_t dataStart = ftello(f);
  if (!parsed || limitBytes < static_cast<uint64_t>(st.st_size) || o.maxMB < recordedMax ||
      next < dataStart || next > st.st_size) {
    fclose(f);
    return nullptr;
  }
  o.dataStart = static_cast<uint32_t>(dataStart);
  o.nextWrite = next;
  fseeko(f, 24, SEEK_SET);
  fprintf(f, "%-10u", o.maxMB);
  fflush(f);
  return f;
}

// Opens a file for the configured regime and writes its opening text.
int openFile(const char* name) {
  TraceObject& o = g_obj;
  FILE* f = nullptr;
  if (o.wrap) {
    if (o.segCount < 2) f = continueWrapped(name);
    if (!f) f = createWrapped(name);
  } else {
    f = clFopenStreamNoFollow(name, "a");
  }
  if (!f) {
    if (o.stdoutAllowed) printf("Unable to open trace output file %s\n", name);
    return RC_TRACE_OPEN_FAILED;
  }
  o.out = f;
  if (!o.wrap) {
    fprintf(f, "%s%s\nBuild Date: %s\n%s", kMagic, trProductBanner(), trBuildDate(), kBeginText);
    fflush(f);
    return 0;
  }
  char first[64];
  if (o.switching)
    snprintf(first, sizeof first, "Continued from end of segment %u\n\n", o.prevSegment);
  else
    snprintf(first, sizeof first, "%s", kBeginText);
  writeWrapped("", first);
  return 0;
}

void announce() {
  TraceObject& o = g_obj;
  std::string line = std::string("Tracing to file: ") + o.curName + "\n";
  outStep(line.c_str());
  char text[256];
  snprintf(text, sizeof text, "Tracefile maximum length set to %lu MB.\n",
           static_cast<unsigned long>(o.maxMB));
  outStep(text);
  char date[32], tod[32];
  localDateTime(date, tod, nullptr);
  snprintf(text, sizeof text,
           "----------------------------------------------------------------\n%s %s - Trace "
           "begun.\n",
           date, tod);
  outStep(text);
}

}  // namespace

TraceObject& obj() { return g_obj; }
std::recursive_mutex& traceMutex() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& wrapMutex() {
  static std::recursive_mutex m;
  return m;
}
bool isStdStream(FILE* f) { return f == stdout || f == stderr; }

bool plainOut(const char* text) {
  if (!route("", text)) {
    failWrite(true);
    return false;
  }
  return true;
}

bool outStep(const char* text) {
  TraceObject& o = g_obj;
  char lead[kLeadBuf] = "";
  size_t n = 0;
  auto append = [&](const char* piece) {
    n += static_cast<size_t>(snprintf(lead + n, n < sizeof lead ? sizeof lead - n : 0, "%s", piece));
    if (n >= sizeof lead) n = sizeof lead - 1;
  };
  char piece[kLeadBuf];
  if (TR_TIMESTAMP) {
    char date[32], tod[32];
    long ms = 0;
    localDateTime(date, tod, &ms);
    snprintf(piece, sizeof piece, "%s %s.%03lu ", date, tod, static_cast<unsigned long>(ms));
    append(piece);
  }
  if (TR_PID) {
    snprintf(piece, sizeof piece, "[%.6u] ", static_cast<unsigned>(getpid()));
    append(piece);
  }
  if (TR_TID && o.tidProc) {
    char banner[256] = "", tag[64] = "";
    o.tidProc(banner, tag);
    if (banner[0] && !route("", banner)) {
      failWrite(false);
      return false;
    }
    append(tag);
  }
  if (TR_CLIENTTYPE) append(clientTypeTag(o.clientType));
  if (TR_TIMESTAMP || TR_PID || TR_TID) append(": ");
  if (!route(lead, text)) {
    failWrite(false);
    return false;
  }
  return true;
}

// Opens the output; the caller holds the trace mutex. Never resets on
// failure itself, because the segment change calls it with the wrap mutex
// held; the public trBegin does.
int beginLocked(const char* nameIn, bool doAnnounce) {
  TraceObject& o = g_obj;
  char name[kNameBuf];
  size_t len = nameIn ? strlen(nameIn) : 0;
  if (len == 0 || len > kMaxNameLen) {
    printf("Invalid trace file name\n");
    return -1;
  }
  snprintf(name, sizeof name, "%s", nameIn);
  if (name[0] == '"' || name[0] == '\'') {
    memmove(name, name + 1, len);
    size_t l = strlen(name);
    if (l && name[l - 1] == nameIn[0]) name[l - 1] = '\0';
  }
  bool special = isName(name, "STDOUT") || isName(name, "STDERR") || isName(name, "CONSOLE");
  if (special) {
    copyName(o.curName, name);
  } else {
    if (!o.baseName[0]) copyName(o.baseName, absoluteName(name));
    std::string current = o.baseName;
    if (o.segCount >= 2) current += "." + std::to_string(o.curSegment);
    copyName(o.curName, current);
  }
  if (o.out) return 0;

  if (isName(name, "CONSOLE")) {
    if (o.consoleCb && o.consoleCb(0, nullptr, o.consoleCtx) == 0) {
      o.console = true;
      o.wrap = false;
      o.active = true;
      o.out = stderr;
      fprintf(stderr, "Tracing to stderr\n");
    } else {
      o.console = false;
    }
  } else if (isName(name, "STDOUT") || isName(name, "STDERR")) {
    o.wrap = false;
    o.out = isName(name, "STDOUT") ? stdout : stderr;
    fprintf(o.out, "Tracing to %s\n", o.out == stdout ? "stdout" : "stderr");
    fflush(o.out);
  } else {
    int rc = openFile(o.curName);
    if (rc != 0) return rc;
  }

  if (!o.started) {
    if (o.sizeConfigured) {
      o.active = true;
      TR_TIMESTAMP = 1;
      TR_PREFIX = 1;
    }
    if (doAnnounce && o.out) announce();
    o.active = true;
  }
  o.started = true;
  return 0;
}

}  // namespace kmrtrace

using namespace kmrtrace;

int new_TraceObject(int clientType, unsigned long initialLastThread, trTIDCallback tidProc) {
  TraceObject& o = obj();
  if (o.created) return 0;
  clearClassFlags();
  trClearTestFlags();
  o = TraceObject{};
  o.clientType = clientType;
  o.lastThread = static_cast<pthread_t>(initialLastThread);
  o.tidProc = tidProc;
  o.created = true;
  return 0;
}

void delete_TraceObject() {
  ErrnoKeeper keep;
  clearClassFlags();
  trClearTestFlags();
  obj().created = false;
}

int trSetTraceFileName(const char* name) {
  ErrnoKeeper keep;
  TraceObject& o = obj();
  size_t len = name ? strlen(name) : 0;
  if (len == 0 || len > kMaxNameLen) {
    nlfprintf(stderr, kMsg1824, name ? name : "");
    return -1;
  }
  if (o.curName[0]) return 0;
  std::lock_guard<std::recursive_mutex> lock(traceMutex());
  if (isName(name, "STDOUT") || isName(name, "STDERR") || isName(name, "CONSOLE")) {
    copyName(o.curName, name);
    return 0;
  }
  char abs[kNameBuf];
  copyName(abs, absoluteName(name));
  struct stat st;
  int statRc = lstat(abs, &st);
  bool missing = statRc != 0 && errno == ENOENT;
  if (!missing && (statRc != 0 || S_ISLNK(st.st_mode))) {
    char target[kNameBuf] = "";
    ssize_t t = readlink(abs, target, sizeof target - 1);
    if (t >= 0) target[t] = '\0';
    nlfprintf(stderr, kMsg1193, abs);
    if (unlink(abs) == 0)
      nlfprintf(stderr, kMsg1190, abs, target);
    else
      nlfprintf(stderr, kMsg1191, abs, strerror(errno));
    return RC_TRACE_FILE_IS_LINK;
  }
  snprintf(o.curName, sizeof o.curName, "%s", abs);
  return 0;
}

int trBegin(const char* name, bool announce) {
  ErrnoKeeper keep;
  int rc;
  {
    std::lock_guard<std::recursive_mutex> lock(traceMutex());
    rc = beginLocked(name, announce);
  }
  if (rc == RC_TRACE_OPEN_FAILED) trReset(true);
  return rc;
}

int trSetMaxTraceSegSize(uint32_t s) {
  TraceObject& o = obj();
  if (s == 0) {
    o.segSizeMB = o.lastSegMB = 0;
    o.curSegment = 1;
    o.prevSegment = 0;
    o.switching = false;
    o.segCount = 0;
    o.sizeConfigured = true;
    return 0;
  }
  if (o.maxMB > 0) {
    if (s > o.maxMB) s = o.maxMB;
    o.segCount = (o.maxMB - 1) / s + 1;
    o.lastSegMB = o.maxMB % s ? o.maxMB % s : s;
  } else {
    o.segCount = UINT32_MAX;
    o.lastSegMB = s;
  }
  o.segSizeMB = s;
  o.wrap = true;
  o.sizeConfigured = true;
  return 0;
}

int trSetMaxTraceSize(uint32_t m) {
  TraceObject& o = obj();
  o.sizeConfigured = true;
  if (m == 0) {
    o.wrap = false;
    o.maxMB = 0;
    return 0;
  }
  o.maxMB = m;
  o.wrap = true;
  if (o.segSizeMB > 0)
    trSetMaxTraceSegSize(o.segSizeMB);
  else if (m > 1000)
    trSetMaxTraceSegSize(1000);
  return 0;
}

void trClose(bool resetFlags) {
  ErrnoKeeper keep;
  TraceObject& o = obj();
  bool wasWrap = o.wrap;
  if (resetFlags) trReset(false);
  if (!o.switching) {
    if (o.consoleCb && o.console) o.consoleCb(2, nullptr, o.consoleCtx);
    o.console = false;
  }
  if (o.out && !isStdStream(o.out)) {
    if (!o.switching && wasWrap) {
      std::lock_guard<std::recursive_mutex> lock(wrapMutex());
      fseeko(o.out, o.nextWrite, SEEK_SET);
      fputs("\nEND OF DATA - close\n\n", o.out);
    }
    if (fclose(o.out) != 0)
      printf("Unable to close trace output file %s: %s \n", o.curName, strerror(errno));
  }
  o.out = nullptr;
  o.curName[0] = '\0';
}

void trReset(bool closeFile) {
  ErrnoKeeper keep;
  TraceObject& o = obj();
  std::lock_guard<std::recursive_mutex> lock(traceMutex());
  clearClassFlags();
  o.commTracing = false;
  if (closeFile) {
    if (o.wrap) {
      // Let a write in progress finish before the file goes away.
      std::lock_guard<std::recursive_mutex> wait(wrapMutex());
    }
    trClose(false);
  }
  o.maxMB = 0;
  o.segSizeMB = 0;
  o.wrap = false;
  o.sizeConfigured = false;
  o.started = false;
  o.firstEnablePending = true;
  o.baseName[0] = '\0';
  // The segment state goes with the limits; otherwise a later plain trace file
  // would still get a segment suffix.
  o.segCount = 0;
  o.curSegment = 1;
  o.prevSegment = 0;
  o.lastSegMB = 0;
}

bool trCanOutPut() {
  const TraceObject& o = obj();
  return o.created && o.out && o.active &&
         (o.stdoutAllowed || o.console || !isStdStream(o.out));
}

void trSetNoStdout() { obj().stdoutAllowed = false; }
void trInstallConsoleCallback(trConsoleCallback callback, void* context) {
  obj().consoleCb = callback;
  obj().consoleCtx = context;
}
void trStartTracing() {
  if (obj().curName[0] || obj().baseName[0]) obj().active = true;
}
void trStopTracing() { obj().active = false; }
const char* trGetTraceFileName() { return obj().curName; }
bool trGetTraceState() { return obj().active; }
bool trIsStarted() { return obj().started; }
bool trIsCommTracingEnabled() { return obj().commTracing; }
void trRouteErrToFile(FILE* stream) { obj().errRoute = stream; }
FILE* trGetErrRoute() { return obj().errRoute; }
void trSetErrorProg(const char* commandLine) {
  snprintf(obj().errorProg, sizeof obj().errorProg, "%s", commandLine ? commandLine : "");
}
const char* trGetErrorProg() { return obj().errorProg; }
void trSetDateFormatter(trDateFmtProc proc) { g_dateFmt = proc; }

TrLimits trGetLimits() {
  const TraceObject& o = obj();
  return {o.maxMB, o.segSizeMB, o.segCount, o.curSegment, o.lastSegMB, o.wrap};
}
uint32_t trGetNextWriteOffset() { return obj().nextWrite; }
void trSetMegabyteUnit(uint32_t bytes) { g_unitBytes = bytes ? bytes : 1048576; }

const char* trProductBanner() { return "ZEF HSM Client for ORCA Version 1.0"; }
const char* trBuildDate() { return KMR_BUILD_DATE; }

void trTIDProc(char* banner, char* tag) {
  TraceObject& o = obj();
  pthread_t self = pthread_self();
  banner[0] = '\0';
  if (!pthread_equal(self, o.lastThread)) {
    o.lastThread = self;
    const char* program = "       ";
    if (o.clientType == 6) program = "CAD    ";
    if (o.clientType == 7 || o.clientType == 12) program = "Agent  ";
    // No thread registry names our threads yet: every thread is "New", 0.
    sprintf(banner, "\n%32s thread %s%2d================>\n", "New", program, 0);
  }
  sprintf(tag, "[%u] ", static_cast<unsigned>(syscall(SYS_gettid)));
}
