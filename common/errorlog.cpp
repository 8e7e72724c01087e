// Error log: plain logs pruned by age, wrapping logs bounded by size, and the
// conversions between the two when the options change.
#include "common/errorlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/nls_reader.h"
#include "common/rc.h"
#include "common/safepath.h"
#include "common/trace.h"

DLogFile errorLogFile;

namespace {

// Message `msg` (1398 or 1521) about `file` with the failure's errno, which
// stays set for the caller. Returns false.
bool fileFailed(int msg, const char* file) {
  int err = errno;
  nlfprintf(stderr, msg, file, err, strerror(err));
  errno = err;
  return false;
}

// The log and its companion files never follow a symbolic link at the name
// and are only regular files: the log may sit in a directory other users can
// write, and the command runs as root. A FIFO planted at the name neither
// blocks the open nor is written.
FILE* fopenNoFollow(const char* path, const char* mode) {
  return clFopenRegular(path, mode, LinkPolicy::kNoFollow);
}

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

constexpr const char kTempName[] = "kmrprune.log";
constexpr const char kBanner[] = "KMR HSM Client Version 3, Release 1";
constexpr unsigned long kProgressLines = 25000;

// Reads a file line by line and tells where each line began.
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}
  ~LineReader() { free(buf_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  // The next line with its newline; false at the end.
  bool next(std::string* line, long* start) {
    *start = ftell(f_);
    ssize_t n = getline(&buf_, &cap_, f_);
    if (n < 0) return false;
    line->assign(buf_, static_cast<size_t>(n));
    return true;
  }

 private:
  FILE* f_;
  char* buf_ = nullptr;
  size_t cap_ = 0;
};

std::string messageText(int number, const char* fallback) {
  char* text = nullptr;
  std::string out = nlsprintf(&text, number) > 0 ? text : fallback;
  free(text);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (out.size() > 127) out.resize(127);
  return out;
}

std::string g_endOfData, g_continued;
std::once_flag g_textsLoaded;

void loadTexts() {
  std::call_once(g_textsLoaded, [] {
    g_endOfData = messageText(kMsg11143, "END OF DATA");
    g_continued = messageText(kMsg11144, "CONTINUED AT BEGINNING OF FILE");
  });
}

// A log line begins with a date of the current format.
bool beginsWithDate(const std::string& line, time_t* when = nullptr) {
  time_t t;
  if (line.size() < 6) return false;
  std::string head = line.substr(0, 10);
  if (dateParse(head.c_str(), &t) != 0) return false;
  if (when) *when = t;
  return true;
}

void toSyslog(int number, ...) {
  va_list ap;
  va_start(ap, number);
  char* text = nullptr;
  if (nlvsprintf(&text, number, ap) > 0) syslog(LOG_ERR, "%s", text);
  va_end(ap);
  free(text);
}

bool copyWholeFile(FILE* from, FILE* to) {
  char buf[65536];
  size_t n;
  rewind(from);
  while ((n = fread(buf, 1, sizeof buf, from)) > 0)
    if (fwrite(buf, 1, n, to) != n) return false;
  return !ferror(from) && fflush(to) == 0;
}

void progress(unsigned long lines) {
  if (lines % kProgressLines == 0) nlfprintf(stdout, kMsg1530, lines);
}

}  // namespace

const std::string& logEndOfDataText() {
  loadTexts();
  return g_endOfData;
}
const std::string& logContinuedText() {
  loadTexts();
  return g_continued;
}

int utBuildPath(const char* path) {
  if (mkdir(path, 0755) == 0 || errno == EEXIST) return 0;
  if (errno != ENOENT) return errno;
  std::string parent(path);
  size_t slash = parent.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ENOENT;
  parent.resize(slash);
  int rc = utBuildPath(parent.c_str());
  if (rc != 0) return rc;
  return mkdir(path, 0755) == 0 || errno == EEXIST ? 0 : errno;
}

void DLogFile::InitializeLogFile(uint32_t maxBytes, const char* prunedName, uint32_t retentionDays,
                                 char saveFlag, int reserved, bool wideText) {
  maxSize_ = maxBytes;
  snprintf(prunedName_, sizeof prunedName_, "%s", prunedName ? prunedName : "");
  retention_ = retentionDays;
  saveFlag_ = saveFlag;
  reserved_ = reserved;
  wideText_ = wideText;
}

void DLogFile::close() {
  if (stream_) fclose(stream_);
  stream_ = nullptr;
  open_ = false;
  wrapping_ = false;
}

std::string DLogFile::besideLog(const char* name) const {
  if (strchr(name, '/')) return name;
  std::string dir(name_);
  size_t slash = dir.find_last_of('/');
  return slash == std::string::npos ? std::string(name) : dir.substr(0, slash + 1) + name;
}

std::string DLogFile::headerLine(uint32_t next, uint32_t max) const {
  char line[256];
  snprintf(line, sizeof line, "LOGHEADERREC %-12lu%-10u %s   %s\n", static_cast<unsigned long>(next), max,
           kBanner, KMR_BUILD_DATE);
  return line;
}

FILE* DLogFile::utOpenOutputFile(const char* path) {
  loadTexts();
  close();
  pruneFailed_ = false;
  if (!path || !*path || strlen(path) > 1024) {
    errno = EINVAL;
    return nullptr;
  }
  snprintf(name_, sizeof name_, "%s", path);
  struct stat st;
  const bool exists = lstat(path, &st) == 0;
  if ((exists && S_ISLNK(st.st_mode)) || (!exists && errno != ENOENT)) {
    char target[1025] = "";
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n > 0) target[n] = '\0';
    nlfprintf(stderr, kMsg1192, path);
    if (unlink(path) == 0) nlfprintf(stderr, kMsg1190, path, target);
    else nlfprintf(stderr, kMsg1191, path);
    toSyslog(kMsg1192, path);
    toSyslog(kMsg1190, path, target);
    errno = EBADF;
    return nullptr;
  }
  if (!exists) {
    std::string dir(path);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && utBuildPath(dir.substr(0, slash).c_str()) != 0) {
      nlfprintf(stderr, kMsg1398, path, EACCES, strerror(EACCES));
      toSyslog(kMsg1398, path, EACCES, strerror(EACCES));
      errno = EACCES;
      return nullptr;
    }
  }
  {
    UniqueFile probe(fopenNoFollow(path, "a"));
    if (!probe) {
      int err = errno;
      nlfprintf(stderr, kMsg1398, path, err, strerror(err));
      toSyslog(kMsg1398, path, err, strerror(err));
      errno = err;
      return nullptr;
    }
  }
  if (!utWrapFile(!exists)) {
    close();
    if (errno == 0) errno = EIO;
    return nullptr;
  }
  setvbuf(stream_, nullptr, _IONBF, 0);
  open_ = true;
  return stream_;
}

bool DLogFile::utWrapFile(bool isNew) {
  char first[4096] = "";
  {
    UniqueFile in(fopenNoFollow(name_, "r"));
    if (in && !fgets(first, sizeof first, in.get())) first[0] = '\0';
  }
  unsigned recordedNext = 0, recordedMax = 0;
  const bool header = sscanf(first, "LOGHEADERREC %u %u", &recordedNext, &recordedMax) == 2;
  headerLength_ = header ? static_cast<uint32_t>(strcspn(first, "\n") + 1) : 0;
  if (!header) return maxSize_ > 0 ? toWrapping(isNew) : (utPruneFile(), openPlain());
  if (maxSize_ == 0) return toPlain(isNew, recordedNext);
  if (maxSize_ >= recordedMax) return continueWrapping(recordedNext, recordedMax);
  return shrink(recordedNext, recordedMax);
}

bool DLogFile::openPlain() {
  stream_ = fopenNoFollow(name_, "a");
  if (!stream_) return fileFailed(kMsg1398, name_);
  wrapping_ = false;
  return true;
}

// A plain log becomes a wrapping one: the old lines go to the pruned-entries
// file, the log starts empty behind its header.
bool DLogFile::toWrapping(bool isNew) {
  if (!isNew) {
    nlfprintf(stdout, kMsg1528, name_);
    const std::string pruned = besideLog(prunedName_);
    UniqueFile in(fopenNoFollow(name_, "r"));
    UniqueFile out(fopenNoFollow(pruned.c_str(), "a"));
    if (!in || !out) return fileFailed(kMsg1398, out ? name_ : pruned.c_str());
    LineReader reader(in.get());
    std::string line;
    long at;
    unsigned long lines = 0;
    while (reader.next(&line, &at)) {
      if (fputs(line.c_str(), out.get()) < 0) return fileFailed(kMsg1521, pruned.c_str());
      progress(++lines);
    }
    if (fflush(out.get()) != 0) return fileFailed(kMsg1521, pruned.c_str());
  }
  return createWrapping("");
}

// Recreates the log with a header naming the current maximum, copies the
// kept lines (a file, may be empty) behind it and records where writing goes on.
bool DLogFile::createWrapping(const std::string& keptLinesFile) {
  stream_ = fopenNoFollow(name_, "w+");
  if (!stream_) return fileFailed(kMsg1521, name_);
  const std::string header = headerLine(0, maxSize_);
  headerLength_ = static_cast<uint32_t>(header.size());
  bool ok = fputs(header.c_str(), stream_) >= 0 && fputs("\n", stream_) >= 0;
  if (ok && !keptLinesFile.empty()) {
    UniqueFile kept(fopenNoFollow(keptLinesFile.c_str(), "r"));
    ok = kept && copyWholeFile(kept.get(), stream_);
  }
  wrapping_ = true;
  if (!ok || fflush(stream_) != 0 || utSetNextWrite() != 0) return fileFailed(kMsg1521, name_);
  return true;
}

bool DLogFile::continueWrapping(uint32_t recordedNext, uint32_t recordedMax) {
  stream_ = fopenNoFollow(name_, "r+");
  if (!stream_) return fileFailed(kMsg1398, name_);
  wrapping_ = true;
  nextWrite_ = recordedNext;
  if (maxSize_ != recordedMax) {
    char max[16];
    snprintf(max, sizeof max, "%-10u", maxSize_);
    if (fseek(stream_, 25, SEEK_SET) != 0 || fputs(max, stream_) < 0 || fflush(stream_) != 0)
      return fileFailed(kMsg1521, name_);
  }
  return fseek(stream_, nextWrite_, SEEK_SET) == 0;
}

namespace {

// Copies the lines of `in` that start in [from, to) to `out`. The line cut
// by `from` is skipped; with `datedStart`, so are the lines before the first
// dated one (the end-of-data text and the remains of overwritten entries);
// copying stops at the continued text.
bool copyLineRange(FILE* in, long from, long to, FILE* out, bool datedStart, const std::string& continued,
                   unsigned long* lines) {
  if (from > 0) {
    if (fseek(in, from - 1, SEEK_SET) != 0) return false;
    int before = fgetc(in);
    if (before != '\n' && before != EOF) {
      int c;
      while ((c = fgetc(in)) != EOF && c != '\n') {
      }
    }
  } else {
    rewind(in);
  }
  LineReader reader(in);
  std::string line;
  long at;
  bool started = !datedStart;
  while (reader.next(&line, &at) && at < to) {
    if (!continued.empty() && line.compare(0, continued.size(), continued) == 0) break;
    if (!started) {
      if (line.size() <= 10 || !beginsWithDate(line)) continue;
      started = true;
    }
    if (fputs(line.c_str(), out) < 0) return false;
    progress(++*lines);
  }
  return true;
}

long fileSize(FILE* f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

// Copies the file `from` over the file `to` (same inode, so the log keeps its
// owner and mode).
static bool copyFileOver(const std::string& from, const char* to) {
  UniqueFile in(fopenNoFollow(from.c_str(), "r"));
  if (!in) return false;
  UniqueFile out(fopenNoFollow(to, "w"));
  return out && copyWholeFile(in.get(), out.get());
}

// A wrapping log becomes plain: oldest entries (behind the next-write
// offset) first, then the newer ones from behind the header.
bool DLogFile::toPlain(bool isNew, uint32_t recordedNext) {
  if (!isNew) nlfprintf(stdout, kMsg1529, name_);
  const std::string temp = besideLog(kTempName);
  bool ok;
  {
    UniqueFile in(fopenNoFollow(name_, "r"));
    UniqueFile out(fopenNoFollow(temp.c_str(), "w"));
    unsigned long lines = 0;
    ok = in && out &&
         copyLineRange(in.get(), recordedNext, fileSize(in.get()), out.get(), true, logContinuedText(), &lines) &&
         copyLineRange(in.get(), headerLength_, recordedNext, out.get(), true, "", &lines) &&
         fflush(out.get()) == 0;
  }
  ok = ok && copyFileOver(temp, name_);
  if (!ok) {
    int err = errno;
    nlfprintf(stderr, kMsg1521, temp.c_str(), err, strerror(err));
    unlink(temp.c_str());
    return false;
  }
  unlink(temp.c_str());
  utPruneFile();
  return openPlain();
}

// A smaller maximum: the newest entries that fit survive, in time order.
bool DLogFile::shrink(uint32_t recordedNext, uint32_t recordedMax) {
  long size;
  {
    UniqueFile in(fopenNoFollow(name_, "r"));
    size = in ? fileSize(in.get()) : -1;
  }
  if (size < 0) return fileFailed(kMsg1398, name_);
  if (size <= static_cast<long>(maxSize_)) return continueWrapping(recordedNext, recordedMax);
  const long newMax = maxSize_, oldMax = recordedMax, next = recordedNext;
  const long cont = static_cast<long>(logContinuedText().size());
  const long headerEnd = headerLength_ + 1;
  const std::string temp = besideLog(kTempName);
  bool ok;
  {
    UniqueFile in(fopenNoFollow(name_, "r"));
    UniqueFile out(fopenNoFollow(temp.c_str(), "w"));
    unsigned long lines = 0;
    ok = in && out;
    if (ok && size >= oldMax) {
      const long surplus = oldMax - newMax + cont + 1;
      const long older = oldMax - next;
      if (next > newMax) {
        ok = copyLineRange(in.get(), std::max(headerEnd, next - newMax + headerLength_ + cont), next, out.get(),
                           true, "", &lines);
      } else if (older >= surplus) {
        ok = copyLineRange(in.get(), next + surplus, size, out.get(), true, logContinuedText(), &lines) &&
             copyLineRange(in.get(), headerEnd, next, out.get(), true, "", &lines);
      } else {
        // Counted from behind the header, so that header and kept lines fit.
        ok = copyLineRange(in.get(), headerEnd + surplus - older, next, out.get(), true, "", &lines);
      }
    } else if (ok) {
      // Counted with the header, which the recreated log carries too.
      ok = copyLineRange(in.get(), headerEnd + size - newMax + cont + 1, next, out.get(), true, "", &lines);
    }
    ok = ok && fflush(out.get()) == 0;
  }
  ok = ok && createWrapping(temp);
  if (!ok) {
    int err = errno;
    nlfprintf(stderr, kMsg1521, temp.c_str(), err, strerror(err));
  }
  unlink(temp.c_str());
  return ok;
}

// Moves the entries older than the retention period out of a plain log. The
// first entry inside the period ends the pruning: the log's order decides.
bool DLogFile::utPruneFile() {
  if (retention_ >= 10000) return true;
  const std::string temp = besideLog(kTempName);
  const std::string pruned = besideLog(prunedName_);
  const bool save = saveFlag_ == 'S';
  unsigned long processed = 0, prunedLines = 0;
  {
    UniqueFile in(fopenNoFollow(name_, "r"));
    if (!in) return true;  // nothing to prune yet
    UniqueFile out(fopenNoFollow(temp.c_str(), "w"));
    UniqueFile keep(save && out ? fopenNoFollow(pruned.c_str(), "a") : nullptr);
    if (!out || (save && !keep)) {
      int err = errno;
      nlfprintf(stderr, kMsg2036, out ? pruned.c_str() : temp.c_str(), err, strerror(err));
      pruneFailed_ = true;
      out.reset();
      unlink(temp.c_str());
      return false;
    }
    time_t now = time(nullptr);
    struct tm today;
    localtime_r(&now, &today);
    today.tm_hour = today.tm_min = today.tm_sec = 0;
    today.tm_isdst = -1;
    const time_t midnight = mktime(&today);
    LineReader reader(in.get());
    std::string line;
    long at;
    bool keeping = false;
    while (reader.next(&line, &at)) {
      ++processed;
      time_t when;
      if (!keeping && beginsWithDate(line, &when)) {
        // Whole days between the entry's day and today (rounded: DST days).
        long days = static_cast<long>((midnight - when + 43200) / 86400);
        keeping = days < static_cast<long>(retention_);
      }
      FILE* to = keeping ? out.get() : keep.get();
      if (!keeping) ++prunedLines;
      if (to) fputs(line.c_str(), to);
    }
    fflush(out.get());
  }
  if (prunedLines > 0 && !copyFileOver(temp, name_))
    TRACE_Fkt(__FILE__, __LINE__)(TR_GENERAL, "Log Pruner: copying %s over %s failed: %s\n", temp.c_str(), name_,
                                  strerror(errno));
  unlink(temp.c_str());
  TRACE_Fkt(__FILE__, __LINE__)(TR_GENERAL, "Log Pruner: %lu lines processed. %lu lines pruned.\nLog Pruner finished.\n",
                                processed, prunedLines);
  return true;
}

int DLogFile::utCheckWrap(uint32_t length) {
  unsigned recorded = nextWrite_;
  if (fseek(stream_, 0, SEEK_SET) == 0 && fscanf(stream_, "LOGHEADERREC %u", &recorded) == 1) nextWrite_ = recorded;
  const uint64_t need = uint64_t{nextWrite_} + length + 1 + logEndOfDataText().size();
  if (need >= uint64_t{maxSize_} - logContinuedText().size() - 1) {
    if (fseek(stream_, nextWrite_, SEEK_SET) != 0) return errno;
    fprintf(stream_, "%s\n", logContinuedText().c_str());
    long at = ftell(stream_);
    long rest = static_cast<long>(maxSize_) - at;
    if (rest == 1) {
      fputc('\n', stream_);
    } else if (rest >= 2) {
      std::string fill(static_cast<size_t>(rest - 2), ' ');
      fill += "*\n";
      fputs(fill.c_str(), stream_);
    }
    nextWrite_ = headerLength_;
  }
  return fseek(stream_, nextWrite_, SEEK_SET) == 0 ? 0 : errno;
}

int DLogFile::utSetNextWrite() {
  long at = ftell(stream_);
  if (at < 0) return errno;
  nextWrite_ = static_cast<uint32_t>(at);
  char field[32];
  snprintf(field, sizeof field, "LOGHEADERREC %-12lu", static_cast<unsigned long>(nextWrite_));
  if (fseek(stream_, 0, SEEK_SET) != 0 || fputs(field, stream_) < 0 || fseek(stream_, at, SEEK_SET) != 0 ||
      fprintf(stream_, "%s\n", logEndOfDataText().c_str()) < 0 || fflush(stream_) != 0)
    return errno ? errno : EIO;
  return fseek(stream_, at, SEEK_SET) == 0 ? 0 : errno;
}

int DLogFile::writeEntry(const char* text) {
  char date[32], clock[32];
  dateFmt(time(nullptr), date, clock);
  const size_t length = strlen(text);
  const bool addNewline = length == 0 || text[length - 1] != '\n';
  if (wrapping_) {
    int rc = utCheckWrap(static_cast<uint32_t>(strlen(date) + strlen(clock) + length + 2 + (addNewline ? 1 : 0)));
    if (rc != 0) {
      lastError_ = rc;
      return RC_LOG_WRITE_FAILED;
    }
  }
  if (fprintf(stream_, "%s %s %s%s", date, clock, text, addNewline ? "\n" : "") < 0 || fflush(stream_) != 0) {
    lastError_ = errno;
    return RC_LOG_WRITE_FAILED;
  }
  if (wrapping_) {
    int rc = utSetNextWrite();
    if (rc != 0) {
      lastError_ = rc;
      return RC_LOG_WRITE_FAILED;
    }
  }
  return 0;
}

int LogMsg(const char* text) {
  if (!text || !nlObjectExists()) return RC_INVALID_PARM;
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  if (!errorLogFile.isOpen()) return 0;
  return errorLogFile.writeEntry(text);
}
