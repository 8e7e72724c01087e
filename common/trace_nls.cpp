// trNlsLogPrintf: a numbered message that goes to the error log and, as the
// caller's trace class and the ERROR class select, into the trace, the error
// route and the ERRORPROG program.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "common/cleanup.h"
#include "common/errorlog.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/nls_reader.h"
#include "common/trace.h"

namespace {

// Only the first failure of the error program is reported in a run; a broken
// program would otherwise add a report to every message.
std::atomic<bool> g_errorProgFailureReported{false};

void reportErrorProgFailure(const char* program, const char* why) {
  if (g_errorProgFailureReported.exchange(true)) return;
  trNlsLogPrintf(__FILE__, __LINE__, TR_GENERAL, kMsg9293, program, why);
}

}  // namespace

// Runs the error program with the text on its standard input.
void trRunErrorProgram(const char* commandLine, const std::string& text) {
  std::string program(commandLine);
  program = program.substr(0, program.find_first_of(" \t"));
  if (program.size() > 255) program.resize(255);
  struct stat st;
  if (stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(program.c_str(), X_OK) != 0) {
    reportErrorProgFailure(commandLine, "the program is not an executable file");
    return;
  }
  FILE* pipe;
  {
    ChildSignalMask childMask;
    pipe = popen(commandLine, "w");
  }
  if (!pipe) {
    reportErrorProgFailure(commandLine, strerror(errno));
    return;
  }
  const bool written = fputs(text.c_str(), pipe) >= 0 && fflush(pipe) == 0;
  const int status = pclose(pipe);
  if (!written) reportErrorProgFailure(commandLine, "the message could not be written to the program");
  else if (status == -1) reportErrorProgFailure(commandLine, "the program could not be closed");
}

namespace {

// W, E, S and L: the severities that the error log records.
constexpr int kLoggedSeverity = 5;

bool traceWanted(unsigned char flagByte) { return TR_ERROR || (flagByte & ~0x02) != 0; }

}  // namespace

void trResetErrorProgReport() { g_errorProgFailureReported = false; }

int trNlsLogPrintf(const char* file, unsigned line, unsigned char flagByte, int number, ...) {
  const int savedErrno = errno;
  GlobalRC::instance().set(number);
  // A diagnostic of a trace class goes nowhere while the trace cannot be
  // written and its severity keeps it out of the error log (one per verb
  // sent): its text is not composed.
  if (number > 9999 && !trCanOutPut() && nlGetMsgSev(number) < kLoggedSeverity) {
    errno = savedErrno;
    return 0;
  }
  va_list ap;
  va_start(ap, number);
  std::optional<ComposedMsg> msg = nlCompose(number, ap);
  va_end(ap);
  if (!msg) {
    errno = savedErrno;
    return 0;
  }
  int result = static_cast<int>(msg->text.size());
  if (number <= 9999) {
    if (msg->severity >= kLoggedSeverity && errorLogFile.isOpen()) {
      int rc = LogMsg(msg->text.c_str());
      if (rc != 0) result = -rc;
    }
    if (traceWanted(flagByte)) trPrintf(file, line, "%s", msg->text.c_str());
    if (FILE* route = trGetErrRoute()) {
      fputs(msg->text.c_str(), route);
      fflush(route);
    }
  } else {
    // The larger numbers are diagnostics of a trace class, with the place
    // they came from when the trace shows places. Like every message, only
    // warnings and worse reach the error log: one line per verb sent would
    // otherwise fill it on every run.
    char prefix[64] = "";
    if (TR_PREFIX) snprintf(prefix, sizeof prefix, "%-20s(%4u): ", file, line);
    const std::string text = prefix + msg->text;
    if (msg->severity >= kLoggedSeverity) {
      int rc = LogMsg(text.c_str());
      if (rc != 0) result = -rc;
    }
    if (!trCanOutPut()) {
      errno = savedErrno;
      return 0;
    }
    if (traceWanted(flagByte)) trPrint("%s", text.c_str());
  }
  const char* program = trGetErrorProg();
  if (!trGetErrRoute() && program && *program && (flagByte & 0x02)) trRunErrorProgram(program, msg->text);
  errno = savedErrno;
  return result;
}
