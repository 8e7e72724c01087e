// Error log "kmrerror.log": warnings and errors with a time stamp, kept within
// bounds by pruning by age or by wrapping inside a fixed size.
//
// Contract
// - Writes are serialised by the message mutex; any thread may log.
// - utOpenOutputFile refuses a symbolic link and creates missing directories.
#ifndef KMR_COMMON_ERRORLOG_H
#define KMR_COMMON_ERRORLOG_H

#include <cstdint>
#include <cstdio>

class DLogFile {
 public:
  // Sets the bounds (maximum size in bytes, 0 = no wrapping; retention days,
  // 10000 = never prune; save flag 'S' keeps pruned entries); not open yet.
  void InitializeLogFile(uint32_t maxBytes, const char* prunedName, uint32_t retentionDays,
                         char saveFlag, int reserved, bool wideText);
  // Opens (creating the directory), converts, prunes and positions the log.
  // Returns the stream, or nullptr with errno set.
  FILE* utOpenOutputFile(const char* path);
  void close();
  bool isOpen() const { return open_; }
  const char* fileName() const { return name_; }

 private:
  char name_[1025] = "";
  bool open_ = false;
  FILE* stream_ = nullptr;
};

extern DLogFile errorLogFile;

// Writes one entry to the error log. Returns 0, 109 (message system or text
// missing) or 621 (write failed).
int LogMsg(const char* text);

#endif
