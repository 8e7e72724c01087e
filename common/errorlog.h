// Error log "kmrerror.log": warnings and errors with a time stamp, kept within
// bounds by pruning by age (plain log) or by wrapping inside a fixed size
// (wrapping log, with a header line "LOGHEADERREC <next write> <max size>").
//
// Contract
// - Entries are written by LogMsg under the message mutex (nlMessageMutex());
//   any thread may log. Opening happens on the main thread during start-up.
// - utOpenOutputFile refuses a symbolic link (deleting it, messages 1192 with
//   1190 or 1191), creates missing directories, converts a log between the
//   plain and the wrapping form when the bounds changed, prunes a plain log
//   and shrinks a wrapping one. It returns the open stream (owned by the
//   object; never close it yourself) or nullptr with errno set and the log
//   closed. Failures are reported with numbered messages on stderr.
// - The log is unbuffered and each entry is flushed on its own.
#ifndef KMR_COMMON_ERRORLOG_H
#define KMR_COMMON_ERRORLOG_H

#include <cstdint>
#include <cstdio>
#include <string>

class DLogFile {
 public:
  DLogFile() = default;
  ~DLogFile() { close(); }
  DLogFile(const DLogFile&) = delete;
  DLogFile& operator=(const DLogFile&) = delete;

  // Sets the bounds (maximum size in bytes, 0 = no wrapping; pruned-entries
  // file, a name without "/" lives beside the log; retention days, 10000 =
  // never prune; save flag 'S' keeps pruned entries); not open yet.
  void InitializeLogFile(uint32_t maxBytes, const char* prunedName, uint32_t retentionDays,
                         char saveFlag, int reserved, bool wideText);
  FILE* utOpenOutputFile(const char* path);
  void close();

  // Writes one entry ("<date> <time> <text>\n"). Caller holds the message
  // mutex. Returns 0 or RC_LOG_WRITE_FAILED (errno kept in lastError()).
  int writeEntry(const char* text);

  bool isOpen() const { return open_; }
  bool isWrapping() const { return wrapping_; }
  const char* fileName() const { return name_; }
  uint32_t nextWriteOffset() const { return nextWrite_; }
  int lastError() const { return lastError_; }
  bool pruneFailed() const { return pruneFailed_; }

  // Wrap check before an entry of `length` bytes; records the next-write
  // offset behind what was written (and the end-of-data text behind it).
  int utCheckWrap(uint32_t length);
  int utSetNextWrite();

 private:
  bool utWrapFile(bool isNew);
  bool utPruneFile();
  bool toWrapping(bool isNew);
  bool toPlain(bool isNew, uint32_t recordedNext);
  bool shrink(uint32_t recordedNext, uint32_t recordedMax);
  bool continueWrapping(uint32_t recordedNext, uint32_t recordedMax);
  bool createWrapping(const std::string& keptLinesFile);
  bool openPlain();
  std::string besideLog(const char* name) const;
  std::string headerLine(uint32_t next, uint32_t max) const;

  char name_[1025] = "";
  uint32_t headerLength_ = 0;
  uint32_t maxSize_ = 0;
  bool open_ = false;
  bool wrapping_ = false;
  uint32_t nextWrite_ = 0;
  char prunedName_[1025] = "kmrerlog.pru";
  uint32_t retention_ = 10000;
  char saveFlag_ = 'D';
  int lastError_ = 0;
  FILE* stream_ = nullptr;
  bool pruneFailed_ = false;
  int reserved_ = 0;
  bool wideText_ = false;
};

extern DLogFile errorLogFile;

// Writes one entry to the error log. Returns 0 (also when the log isn't
// open), 109 (message system or text missing) or 621 (write failed).
int LogMsg(const char* text);

// Creates a directory and its missing parents. Returns 0 or an errno value.
int utBuildPath(const char* path);

// The end-of-data and continued texts of wrapping logs (messages 11143 and
// 11144, read once).
const std::string& logEndOfDataText();
const std::string& logContinuedText();

#endif
