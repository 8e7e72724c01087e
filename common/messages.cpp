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
