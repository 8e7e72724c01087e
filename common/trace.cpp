// Interim trace: class flags, plain output and the statement helpers. The
// wrapping regimes and the full flag resolution replace this file.
#include "common/trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#define TR_CLASS(keyword, flag, comm) unsigned char TR_##flag = 0;
#include "common/trace_classes.inc"
#undef TR_CLASS

const TrClass ClassTable[] = {
#define TR_CLASS(keyword, flag, comm) {#keyword, &TR_##flag, comm},
#include "common/trace_classes.inc"
#undef TR_CLASS
    {nullptr, nullptr, 0}};
const TrAggrClass AggrTable[] = {{nullptr, nullptr}};

TestFlag TEST_ANSIINPUT, TEST_ANSINLSREPOS, TEST_AUDITLOGRC, TEST_CLC_TIMESTAMP,
    TEST_CONTINUEWITHUNKNOWNRC, TEST_CRC, TEST_DELTACOMPRESS, TEST_DISABLEUNICODEFLAG,
    TEST_DISABLE_SDR_UPDATE, TEST_ENABLEVS, TEST_ENABLE_SCRIPT_INPUT, TEST_EXPRESSCHECKOVERRIDE,
    TEST_FORCEBUFFPOOL, TEST_HSMCOMMQUEUELOCK, TEST_HSMCOMMQUEUESIZE, TEST_HSMLF, TEST_INSTRUMENT,
    TEST_LOCALICC, TEST_MEMPOOLSIZE, TEST_MINPWLENGTH, TEST_NFSGLOBALNAMESPACE, TEST_NO_AES,
    TEST_OEMDISPLAY, TEST_OEMLOGMSGS, TEST_SHM_SERVER_CTL, TEST_SKIPSYSTEMEXCLUDE,
    TEST_DISABLECONSISTENTRC, TEST_IGNOREPRESCHEDULECMD, TEST_IGNOREPOSTSCHEDULECMD,
    TEST_SHOWALLCONSISTENTRC, TEST_HSM_ORCA_34;
const TestClass TestClassTable[] = {{"HSMCOMMQUEUESIZE", &TEST_HSMCOMMQUEUESIZE},
                                    {"HSMCOMMQUEUELOCK", &TEST_HSMCOMMQUEUELOCK},
                                    {"MEMPOOLSIZE", &TEST_MEMPOOLSIZE},
                                    {"HSM_ORCA_34", &TEST_HSM_ORCA_34},
                                    {nullptr, nullptr}};

namespace {
FILE* g_out = nullptr;
bool g_active = false;
}  // namespace

int trProcTestFlags(const char*) { return 0; }
int new_TraceObject(int, unsigned long, trTIDCallback) { return 0; }
void delete_TraceObject() {}
int trEnable(const char* flags, bool, const TrClass* classes, const TrAggrClass*) {
  int saved = errno;
  char buf[1280];
  snprintf(buf, sizeof buf, "%s", flags);
  for (char* tok = strtok(buf, " ,"); tok; tok = strtok(nullptr, " ,"))
    for (const TrClass* c = classes; c->keyword; ++c)
      if (strcasecmp(c->keyword, tok) == 0) *c->flag = 1;
  g_active = true;
  errno = saved;
  return 0;
}
int trSetTraceFileName(const char*) { return 0; }
int trBegin(const char* name, bool) {
  if (strcasecmp(name, "STDOUT") == 0) g_out = stdout;
  else if (strcasecmp(name, "STDERR") == 0) g_out = stderr;
  else g_out = fopen(name, "a");
  return g_out ? 0 : 426;
}
int trSetMaxTraceSize(uint32_t) { return 0; }
int trSetMaxTraceSegSize(uint32_t) { return 0; }
void trClose(bool) {
  if (g_out && g_out != stdout && g_out != stderr) fclose(g_out);
  g_out = nullptr;
}
void trReset(bool) {}
bool trCanOutPut() { return g_out && g_active; }
int trVPrintf(const char* file, unsigned line, const char* fmt, va_list args) {
  if (!trCanOutPut()) return 0;
  int saved = errno;
  char text[4862];
  int n = 0;
  if (TR_PREFIX) n = snprintf(text, sizeof text, "%-20s(%4u): ", file, line);
  n += vsnprintf(text + n, sizeof text - n, fmt, args);
  fputs(text, g_out);
  fflush(g_out);
  errno = saved;
  return n;
}
int trPrintf(const char* file, unsigned line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = trVPrintf(file, line, fmt, ap);
  va_end(ap);
  return n;
}
void trPrint(const char*, ...) {}
void trQuery() {}
void trQueryTraceFlags() {}
void trSetErrorProg(const char*) {}
const char* trGetErrorProg() { return ""; }
void trRouteErrToFile(FILE*) {}
FILE* trGetErrRoute() { return nullptr; }
void trSetNoStdout() {}
void trInstallConsoleCallback(trConsoleCallback, void*) {}
void trStartTracing() {}
void trStopTracing() {}
const char* trGetTraceFileName() { return ""; }
bool trGetTraceState() { return g_active; }
bool trIsStarted() { return g_out != nullptr; }
bool trIsCommTracingEnabled() { return false; }
void trPrintFormattedDump(const void*, unsigned, unsigned) {}
void trPrintStr(const char*, unsigned, int) {}
void trTIDProc(char* banner, char* tag) { banner[0] = tag[0] = '\0'; }
void trSetDateFormatter(trDateFmtProc) {}

void TRACE_Fkt::operator()(unsigned char flag, const char* fmt, ...) const {
  if (!flag) return;
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  trVPrintf(file_, line_, fmt, ap);
  va_end(ap);
  errno = saved;
}

TREnterExit<char>::TREnterExit(const char* file, unsigned line, const char* name)
    : file_(file), line_(line), name_(strdup(name)) {
  int saved = errno;
  if (TR_ENTER) trPrintf(file_, line_, "ENTER =====> %s\n", name_);
  errno = saved;
}
TREnterExit<char>::~TREnterExit() {
  int saved = errno;
  if (TR_EXIT) trPrintf(file_, line_, "EXIT  <===== %s\n", name_);
  free(name_);
  errno = saved;
}
