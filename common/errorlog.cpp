// Interim error log: appends plain entries. Pruning and wrapping replace it.
#include "common/errorlog.h"

#include <cstring>

DLogFile errorLogFile;

void DLogFile::InitializeLogFile(uint32_t, const char*, uint32_t, char, int, bool) {}
FILE* DLogFile::utOpenOutputFile(const char* path) {
  snprintf(name_, sizeof name_, "%s", path);
  stream_ = fopen(path, "a");
  open_ = stream_ != nullptr;
  return stream_;
}
void DLogFile::close() {
  if (stream_) fclose(stream_);
  stream_ = nullptr;
  open_ = false;
}
int LogMsg(const char* text) {
  if (!text) return 109;
  if (!errorLogFile.isOpen()) return 0;
  return 0;
}
