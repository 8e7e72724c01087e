// ProgressLine: the live line of a long run on a terminal - objects
// processed, recreated and failed, the rate and the elapsed time - drawn in
// place on standard error.
//
// Contract
// - Only for a terminal: wanted() says whether a run gets one (standard
//   error is a terminal, no -DETAIL, no preview); scripts and logs that
//   read a pipe or a file see nothing of it.
// - While it exists it is the process's one line: it installs the message
//   layer's before-write hook, so any message printed on any thread first
//   erases the line (it is drawn again with the next object). One
//   ProgressLine at a time; construct and destroy it on the main thread
//   while no other thread prints.
// - objectDone/runEnded are called on the run's thread. The line is drawn
//   on the first object, then at most every kRedrawSeconds, and once more
//   with the final numbers at the end of the run, followed by a line end.
#ifndef KMR_FRONTEND_PROGRESS_H
#define KMR_FRONTEND_PROGRESS_H

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "common/msgnum.h"
#include "reconcile/runoptions.h"

class ProgressLine : public RunObserver {
 public:
  static constexpr double kRedrawSeconds = 0.25;
  using Clock = std::function<double()>;  // seconds, monotonic

  static bool wanted(int detail, bool preview, int fd);

  // `clock` defaults to CLOCK_MONOTONIC; `message` is the line's text with
  // the inserts of 9730 (kmrmigrate draws its own words, 9808).
  explicit ProgressLine(FILE* out, Clock clock = nullptr, int message = kMsg9730);
  ~ProgressLine() override;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void objectDone(const RunTally& tally) override;
  void runEnded(const RunTally& tally) override;

  // The line's text (message 9730, or `message`) for these numbers after
  // `elapsed` seconds.
  static std::string text(const RunTally& tally, double elapsed, int message = kMsg9730);

 private:
  static void stepAside(FILE* stream);
  void draw(const RunTally& tally, double now);
  void erase();

  FILE* m_out;
  Clock m_clock;
  int m_message;
  double m_start;
  double m_lastDraw = 0;
  bool m_drawn = false;  // the line is on the screen now
  bool m_everDrawn = false;
  std::mutex m_mutex;    // the hook may run on another thread
};

#endif
