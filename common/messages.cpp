// Interim message output until the catalog reader lands: prints the number
// so that callers can be built and exercised.
#include "common/messages.h"

#include <cstdlib>
#include <cstring>

namespace {
char g_whoami[256] = "kmrmigundelete";
}

void nlvfprintf(FILE* stream, int number, va_list) { fprintf(stream, "BQF%04d\n", number % 10000); }
void nlfprintf(FILE* stream, int number, ...) {
  va_list ap;
  va_start(ap, number);
  nlvfprintf(stream, number, ap);
  va_end(ap);
}
void nlprintf(int number, ...) { printf("BQF%04d\n", number % 10000); }
int nlvsprintf(char** result, int number, va_list) {
  char buf[32];
  int n = snprintf(buf, sizeof buf, "BQF%04d\n", number % 10000);
  *result = strdup(buf);
  return n;
}
int nlsprintf(char** result, int number, ...) {
  va_list ap;
  va_start(ap, number);
  int n = nlvsprintf(result, number, ap);
  va_end(ap);
  return n;
}
int nlLogvsprintf(char** result, int number, va_list args) { return nlvsprintf(result, number, args); }
int nlLogsprintf(char** result, int number, ...) {
  va_list ap;
  va_start(ap, number);
  int n = nlvsprintf(result, number, ap);
  va_end(ap);
  return n;
}
int nlGetMsgSev(int) { return 4; }
int trNlsLogPrintf(const char*, unsigned, unsigned char, int, ...) { return 0; }
const char* hsmWhoAmI() { return g_whoami; }
void hsmSetWhoAmI(const char* argv0) {
  const char* slash = strrchr(argv0, '/');
  snprintf(g_whoami, sizeof g_whoami, "%s", slash ? slash + 1 : argv0);
}

int dsCoreInit(const nlOutputFn*, int) { return 0; }
void dsCoreCleanUp() {}
int nlinit(const char* path, unsigned, const char*, int, int, int, int, char*, const char*) {
  return (path && *path) ? 0 : 610;
}
void nlterm() {}
int setDateFmt(int) { return 0; }
int setTimeFmt(int) { return 0; }
int setNumberFmt(int) { return 0; }
void dateFmt(time_t when, char* dateBuf, char* timeBuf) {
  struct tm tmv;
  localtime_r(&when, &tmv);
  strftime(dateBuf, 16, "%m/%d/%Y", &tmv);
  strftime(timeBuf, 16, "%H:%M:%S", &tmv);
}
int dateParse(const char*, time_t*) { return 2; }
GlobalRC& GlobalRC::instance() {
  static GlobalRC rc;
  return rc;
}
bool GlobalRC::set(int) { return false; }
int GlobalRC::get() const { return 0; }
int GlobalRC::getMax() const { return 0; }
int GlobalRC::getMacroMax() const { return 0; }
void GlobalRC::clearRC() {}
void GlobalRC::clearMacroRC() {}
void GlobalRC::clearAllRC() {}
