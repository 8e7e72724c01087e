// Internals shared by the trace sources: the one trace object and the output
// step. Not for use outside common/trace*.cpp.
#ifndef KMR_COMMON_TRACE_INTERNAL_H
#define KMR_COMMON_TRACE_INTERNAL_H

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "common/trace.h"

namespace kmrtrace {

constexpr size_t kLineBuf = 4862;   // prefix and text of one line
constexpr size_t kLeadBuf = 128;    // time stamp, pid, thread tag, client type
constexpr size_t kNameBuf = 1280;   // file names
constexpr size_t kMaxNameLen = 1024;

struct TraceObject {
  FILE* out = nullptr;
  FILE* errRoute = nullptr;
  uint32_t dataStart = 0;
  uint32_t nextWrite = 0;
  pthread_t lastThread{};
  int clientType = 0;
  char errorProg[128] = "";
  bool commTracing = false;
  bool wrap = false;
  bool firstEnablePending = true;
  bool errorProgReported = false;
  bool stdoutAllowed = true;
  char baseName[kNameBuf] = "";
  char curName[kNameBuf] = "";
  uint32_t maxMB = 0;
  bool sizeConfigured = false;
  uint32_t segSizeMB = 0;
  uint32_t segCount = 0;
  uint32_t curSegment = 1;
  uint32_t prevSegment = 0;
  uint32_t lastSegMB = 0;
  bool switching = false;
  bool active = false;
  bool console = false;
  trConsoleCallback consoleCb = nullptr;
  void* consoleCtx = nullptr;
  trTIDCallback tidProc = nullptr;
  bool started = false;
  bool created = false;
};

TraceObject& obj();
// Guards opening, closing and reset. Recursive because trClose(1) resets and
// trReset closes.
std::recursive_mutex& traceMutex();
// Serialises every write to a wrapping file with its wrap check and header
// update. Recursive because a segment change inside the wrap check writes the
// first text of the next segment through the same path.
std::recursive_mutex& wrapMutex();

void clearClassFlags();
bool isStdStream(FILE* f);

// Writes text with the leading prefix (time stamp, pid, thread, client type).
// Returns false when the write failed (tracing has then been reset).
bool outStep(const char* text);
// Writes text without any prefix.
bool plainOut(const char* text);

// Keeps errno as the caller saw it across a scope.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

}  // namespace kmrtrace

#endif
