// The process return code: every message raises it by the weight of its
// number or severity, so the command's end can tell warnings from errors.
#include <algorithm>
#include <cstdio>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/nls_reader.h"
#include "common/trace.h"

namespace {

// The audit log's message (not in this command's catalog); TEST_AUDITLOGRC
// sets its weight.
constexpr int kAuditLogMessage = 2046;

// Messages that report something the administrator should look at but that
// doesn't make the run fail: they weigh 4 whatever their severity.
constexpr int kWeighFour[] = {326,   1086,  1115,  1136,  1147,  1154,  1159,  1228,  1242,  1243,
                              1269,  1413,  1469,  1753,  1754,  1802,  1803,  1804,  1946,  1947,
                              3008,  5154,  5279,  5823,  14005, 14007, 14008, 14017, 14018, 14025,
                              14037, 14042, 14044, 14045, 14084, 14091, 14973, 14987};

int codeOfSeverity(int severity) {
  switch (severity) {
    case 5: return 8;
    case 3: case 6: case 7: return 12;
    default: return 0;
  }
}

}  // namespace

int nlReturnCodeOf(int number) {
  if (number == kAuditLogMessage) {
    if (!TEST_AUDITLOGRC.set) return 12;
    return TEST_AUDITLOGRC.numValue >= 1 ? TEST_AUDITLOGRC.numValue : 8;
  }
  if (number == kMsg9999) return 12;
  if (std::find(std::begin(kWeighFour), std::end(kWeighFour), number) != std::end(kWeighFour)) return 4;
  int severity = nlSeverityQuiet(number);
  return severity < 0 ? 0 : codeOfSeverity(severity);
}

GlobalRC& GlobalRC::instance() {
  static GlobalRC rc;
  return rc;
}

bool GlobalRC::set(int number) {
  // The severity lookup takes the message mutex; keep it outside our own
  // mutex so that the two are never held in opposite orders.
  const int code = nlReturnCodeOf(number);
  std::lock_guard<std::mutex> lock(mutex_);
  TRACE_Fkt(__FILE__, __LINE__)(TR_EXTRC_DETAIL, "GlobalRC::set(%d): code %d, current %d\n", number, code,
                                current_);
  if (code <= current_) return false;
  current_ = code;
  macroMax_ = std::max(macroMax_, code);
  max_ = std::max(max_, code);
  TRACE_Fkt(__FILE__, __LINE__)(TR_EXTRC, "Return code raised to %d by message %d\n", code, number);
  return true;
}

int GlobalRC::get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}
int GlobalRC::getMax() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return max_;
}
int GlobalRC::getMacroMax() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return macroMax_;
}
void GlobalRC::clearRC() {
  std::lock_guard<std::mutex> lock(mutex_);
  current_ = 0;
}
void GlobalRC::clearMacroRC() {
  std::lock_guard<std::mutex> lock(mutex_);
  macroMax_ = 0;
}
void GlobalRC::clearAllRC() {
  std::lock_guard<std::mutex> lock(mutex_);
  current_ = macroMax_ = max_ = 0;
}
