#include "frontend/progress.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#include "common/messages.h"
#include "common/msgnum.h"

namespace {
std::atomic<ProgressLine*> g_active{nullptr};

double monotonicSeconds() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string elapsedText(double seconds) {
  auto total = static_cast<unsigned long long>(seconds);
  char buf[48];
  if (total >= 3600)
    snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", total / 3600, total / 60 % 60, total % 60);
  else
    snprintf(buf, sizeof buf, "%llu:%02llu", total / 60, total % 60);
  return buf;
}
}  // namespace

bool ProgressLine::wanted(int detail, bool preview, int fd) {
  return detail == 0 && !preview && isatty(fd) == 1;
}

ProgressLine::ProgressLine(FILE* out, Clock clock, int message)
    : m_out(out), m_clock(clock ? std::move(clock) : Clock(monotonicSeconds)), m_message(message), m_start(m_clock()) {
  g_active.store(this);
  nlSetBeforeWriteHook(&ProgressLine::stepAside);
}

ProgressLine::~ProgressLine() {
  nlSetBeforeWriteHook(nullptr);
  g_active.store(nullptr);
  std::lock_guard<std::mutex> lock(m_mutex);
  erase();
}

std::string ProgressLine::text(const RunTally& tally, double elapsed, int message) {
  std::string processed = std::to_string(tally.processed);
  std::string recreated = std::to_string(tally.recreated);
  std::string failed = std::to_string(tally.failed);
  // Whole objects per second; below one second the rate is not known yet.
  std::string rate =
      elapsed >= 1.0 ? std::to_string(static_cast<unsigned long long>(tally.processed / elapsed)) : "-";
  std::string took = elapsedText(elapsed);
  char* line = nullptr;
  nlsprintf(&line, message, processed.c_str(), recreated.c_str(), failed.c_str(), rate.c_str(),
            took.c_str());
  std::string out = line != nullptr ? line : "";
  free(line);
  return out;
}

void ProgressLine::objectDone(const RunTally& tally) {
  double now = m_clock();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_everDrawn && m_drawn && now - m_lastDraw < kRedrawSeconds) return;
  draw(tally, now);
}

void ProgressLine::runEnded(const RunTally& tally) {
  double now = m_clock();
  std::lock_guard<std::mutex> lock(m_mutex);
  draw(tally, now);
  // The final numbers stay on the screen; what the run prints next starts
  // on a line of its own.
  fputs("\n", m_out);
  fflush(m_out);
  m_drawn = false;
}

void ProgressLine::draw(const RunTally& tally, double now) {
  std::string line = "\r" + text(tally, now - m_start, m_message) + "\x1b[K";
  fputs(line.c_str(), m_out);
  fflush(m_out);
  m_drawn = m_everDrawn = true;
  m_lastDraw = now;
}

void ProgressLine::erase() {
  if (!m_drawn) return;
  fputs("\r\x1b[K", m_out);
  fflush(m_out);
  m_drawn = false;
}

void ProgressLine::stepAside(FILE* stream) {
  ProgressLine* self = g_active.load();
  if (self == nullptr) return;
  // Both standard streams usually go to the same terminal.
  if (stream != self->m_out && stream != stdout) return;
  std::lock_guard<std::mutex> lock(self->m_mutex);
  self->erase();
}
