// The error log: entries, pruning, wrapping, the conversions between the two
// forms, shrinking, and the refusals.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "common/trace.h"
#include "tests/unit/catalog/nls_fixture.h"

namespace {

using nlstest::readFile;
using nlstest::writeFile;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) out.push_back(line);
  return out;
}

// The numbers of "entry <n>" lines, in file order.
std::vector<int> entryNumbers(const std::string& text) {
  std::vector<int> out;
  for (const std::string& line : lines(text)) {
    size_t at = line.find(" entry ");
    if (at != std::string::npos) out.push_back(std::stoi(line.substr(at + 7)));
  }
  return out;
}

// The offset of the next write and the maximum the header of a wrapping log
// records.
std::pair<unsigned, unsigned> header(const std::string& text) {
  unsigned next = 0, max = 0;
  EXPECT_EQ(sscanf(text.c_str(), "LOGHEADERREC %u %u", &next, &max), 2) << text.substr(0, 40);
  return {next, max};
}

class ErrorLog : public nlstest::NlsTest {
 protected:
  void SetUp() override {
    NlsTest::SetUp();
    ASSERT_EQ(init(), 0);
    setDateFmt(3);
    path_ = dir_ + "/kmrerror.log";
  }
  void TearDown() override {
    setDateFmt(1);
    NlsTest::TearDown();
  }
  FILE* open(uint32_t maxBytes, uint32_t retention = 10000, char save = 'D') {
    errorLogFile.close();
    errorLogFile.InitializeLogFile(maxBytes, "kmrerlog.pru", retention, save, 0, false);
    return errorLogFile.utOpenOutputFile(path_.c_str());
  }
  void logEntries(int from, int to) {
    char text[64];
    for (int i = from; i <= to; ++i) {
      snprintf(text, sizeof text, "BQF1107E entry %d", i);
      ASSERT_EQ(LogMsg(text), 0);
    }
  }
  std::string dated(int daysAgo) {
    char date[32], clock[32];
    dateFmt(time(nullptr) - daysAgo * 86400L, date, clock);
    return std::string(date) + " " + clock + " ";
  }
  const std::string& dir_ = scratch_.path();
  std::string path_;
};

// (A warning printed to a stream is logged: see the end-to-end runs' log.)
TEST_F(ErrorLog, OneDatedEntryPerMessageAndOnlyWarningsAndErrors) {
  ASSERT_NE(open(0), nullptr);
  nlprintf(1107, "-BAD");                 // E: logged
  nlprintf(9314, "/fs");                  // I: not logged
  ASSERT_EQ(LogMsg("two\nlines"), 0);     // newline added at the end only
  std::vector<std::string> l = lines(readFile(path_));
  ASSERT_EQ(l.size(), 3u);
  const std::string today = dated(0).substr(0, 10);
  EXPECT_EQ(l[0].rfind(today + " ", 0), 0u) << l[0];
  EXPECT_NE(l[0].find(" BQF1107E The option or parameter '-BAD' is not valid."), std::string::npos);
  EXPECT_NE(l[1].find(" two"), std::string::npos);
  EXPECT_EQ(l[2], "lines");
  errorLogFile.close();
  EXPECT_EQ(LogMsg("not open"), 0);
  EXPECT_EQ(LogMsg(nullptr), 109);
}

TEST_F(ErrorLog, PruningByDateTakesUndatedContinuationLinesWithTheirEntry) {
  const std::string old = dated(5) + "BQF1107E old entry\n" + "continuation of the old entry\n";
  const std::string young = dated(1) + "BQF1107E young entry\n" + "continuation of the young entry\n";
  writeFile(path_, old + young);
  ASSERT_NE(open(0, 2, 'S'), nullptr);
  EXPECT_EQ(readFile(path_), young);
  EXPECT_EQ(readFile(dir_ + "/kmrerlog.pru"), old);
  EXPECT_EQ(access((dir_ + "/kmrprune.log").c_str(), F_OK), -1) << "temporary file left behind";

  writeFile(path_, old + young);
  ASSERT_NE(open(0, 2, 'D'), nullptr);
  EXPECT_EQ(readFile(path_), young);
  EXPECT_EQ(readFile(dir_ + "/kmrerlog.pru"), old) << "discarding must not add to the saved entries";

  // A dated entry inside the retention ends pruning.
  writeFile(path_, young + old);
  ASSERT_NE(open(0, 2, 'D'), nullptr);
  EXPECT_EQ(readFile(path_), young + old);
}

TEST_F(ErrorLog, WrappingLogContinuesAtTheRecordedOffsetAndStaysWithinItsSize) {
  ASSERT_NE(open(4000), nullptr);
  ASSERT_TRUE(errorLogFile.isWrapping());
  logEntries(1, 3);
  ASSERT_NE(open(5000), nullptr);  // larger maximum: same log, header updated
  logEntries(4, 5);
  std::string text = readFile(path_);
  auto [next, recordedMax] = header(text);
  EXPECT_EQ(recordedMax, 5000u);
  EXPECT_EQ(entryNumbers(text.substr(0, next)), (std::vector<int>{1, 2, 3, 4, 5}));

  logEntries(6, 200);  // far more than fits
  text = readFile(path_);
  EXPECT_LE(text.size(), 5000u);
  next = header(text).first;
  EXPECT_EQ(text.substr(next, logEndOfDataText().size() + 1), logEndOfDataText() + "\n");
  EXPECT_NE(text.find(logContinuedText() + "\n"), std::string::npos);
  // The newest entry stands right before the end-of-data text.
  ASSERT_GT(next, 11u);
  EXPECT_EQ(text.substr(next - 11, 11), " entry 200\n");
}

TEST_F(ErrorLog, PlainLogBecomesWrappingAndBackInTimeOrder) {
  writeFile(path_, dated(0) + "BQF1107E entry 0\n");
  ASSERT_NE(open(1500), nullptr);
  EXPECT_EQ(entryNumbers(readFile(dir_ + "/kmrerlog.pru")), (std::vector<int>{0}));
  const std::string fresh = readFile(path_);
  EXPECT_EQ(fresh.rfind("LOGHEADERREC ", 0), 0u);
  EXPECT_TRUE(entryNumbers(fresh).empty());

  logEntries(1, 40);  // wraps at least once
  ASSERT_NE(open(0), nullptr);
  EXPECT_FALSE(errorLogFile.isWrapping());
  const std::string plain = readFile(path_);
  EXPECT_EQ(plain.find("LOGHEADERREC"), std::string::npos);
  EXPECT_EQ(plain.find(logEndOfDataText()), std::string::npos);
  EXPECT_EQ(plain.find(logContinuedText()), std::string::npos);
  std::vector<int> order = entryNumbers(plain);
  ASSERT_FALSE(order.empty());
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << plain;
  EXPECT_EQ(order.back(), 40);
  EXPECT_EQ(order.back() - order.front() + 1, static_cast<int>(order.size())) << "no entry lost inside the range";
  for (const std::string& line : lines(plain)) EXPECT_EQ(line.rfind(dated(0).substr(0, 10), 0), 0u) << line;
}

TEST_F(ErrorLog, ShrinkingKeepsTheNewestEntriesInOrder) {
  // 100 entries fill part of the old maximum; 400 wrap it several times.
  for (int count : {100, 400}) {
    unlink(path_.c_str());
    ASSERT_NE(open(6000), nullptr);
    logEntries(1, count);
    ASSERT_NE(open(2500), nullptr);
    const std::string text = readFile(path_);
    EXPECT_LE(text.size(), 2500u) << count;
    const auto [next, recordedMax] = header(text);
    EXPECT_EQ(recordedMax, 2500u);
    std::vector<int> kept = entryNumbers(text.substr(0, next));
    ASSERT_GT(kept.size(), 30u) << count;
    EXPECT_EQ(kept.back(), count);
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end())) << text;
    EXPECT_EQ(kept.back() - kept.front() + 1, static_cast<int>(kept.size()));
    logEntries(count + 1, count + 1);
    const std::string after = readFile(path_);
    EXPECT_EQ(entryNumbers(after.substr(0, header(after).first)).back(), count + 1);
  }
}

TEST_F(ErrorLog, EntriesFromManyThreadsNeverInterleave) {
  ASSERT_NE(open(200000), nullptr);  // room for all, so every entry must be there
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      char text[64];
      for (int i = 0; i < 200; ++i) {
        snprintf(text, sizeof text, "BQF1107E thread %d line %03d end", t, i);
        LogMsg(text);
      }
    });
  for (auto& th : threads) th.join();
  const std::string text = readFile(path_);
  int complete = 0;
  for (const std::string& line : lines(text.substr(0, header(text).first)))
    if (line.find("BQF1107E thread") != std::string::npos) {
      EXPECT_EQ(line.substr(line.size() - 4), " end") << line;
      ++complete;
    }
  EXPECT_EQ(complete, 800);
}

// A link planted where the log should be is refused and removed, a FIFO
// neither blocks the command nor takes its entries; with a link at the
// pruned-entries file, pruning keeps its hands off the link's target and,
// unable to save what it would prune, keeps the old entry in the log rather
// than lose it.
TEST_F(ErrorLog, PlantedLinkOrFifoIsNotUsed) {
  const std::string target = dir_ + "/elsewhere";
  writeFile(target, "precious\n");
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  errno = 0;
  EXPECT_EQ(open(0), nullptr);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(kmrtest::lexists(path_)) << "the link should have been deleted";
  EXPECT_EQ(GlobalRC::instance().get(), 12) << "messages 1192 and 1190 are errors";

  ASSERT_EQ(mkfifo(path_.c_str(), 0666), 0);
  EXPECT_EQ(open(0), nullptr);
  EXPECT_FALSE(errorLogFile.isOpen());
  ASSERT_EQ(unlink(path_.c_str()), 0);

  writeFile(path_, dated(30) + "BQF1107E entry 1\n" + dated(0) + "BQF1107E entry 2\n");
  ASSERT_EQ(symlink(target.c_str(), (dir_ + "/kmrerlog.pru").c_str()), 0);
  ASSERT_NE(open(0, 7, 'S'), nullptr);
  EXPECT_EQ(readFile(target), "precious\n");
  EXPECT_EQ(entryNumbers(readFile(path_)), (std::vector<int>{1, 2}));
}

TEST_F(ErrorLog, MissingDirectoriesAreCreated) {
  path_ = dir_ + "/a/b/c/kmrerror.log";
  ASSERT_NE(open(0), nullptr);
  logEntries(1, 1);
  EXPECT_EQ(entryNumbers(readFile(path_)), (std::vector<int>{1}));
  EXPECT_NE(open(0), nullptr) << "the directories are there now";
  path_ = "";
  EXPECT_EQ(open(0), nullptr);
}

TEST_F(ErrorLog, TrNlsLogPrintfLogsAndTraces) {
  ASSERT_NE(open(0), nullptr);
  int n = trNlsLogPrintf(__FILE__, __LINE__, 0, 9334, "relative/path");
  EXPECT_EQ(n, static_cast<int>(strlen("BQF9334W The migrated object has the invalid path 'relative/path' and is skipped.\n")));
  // Diagnostics above 9999 always reach the log; with no trace output they
  // report nothing written.
  EXPECT_EQ(trNlsLogPrintf(__FILE__, __LINE__, 0, 21605, "/fs"), 0);
  const std::string log = readFile(path_);
  EXPECT_NE(log.find(" BQF9334W The migrated object has the invalid path 'relative/path'"), std::string::npos);
  EXPECT_NE(log.find("BQF1605E The file space query for '/fs' failed."), std::string::npos);
  EXPECT_EQ(GlobalRC::instance().get(), 12);
  errno = 1234;
  trNlsLogPrintf(__FILE__, __LINE__, 0, 9049);
  EXPECT_EQ(errno, 1234);
}

// Verb, connection and buffer diagnostics (severities T and I) are trace
// lines of their class: with it on they reach the trace but never the error
// log (nor without a trace: see the end-to-end runs' log).
TEST_F(ErrorLog, DiagnosticsOfLowSeverityStayOutOfTheLog) {
  ASSERT_NE(open(0), nullptr);
  new_TraceObject(5, 0, trTIDProc);
  trReset(true);
  const std::string trace = dir_ + "/t.trc";
  const unsigned char off = 0, on = 1;
  ASSERT_EQ(trBegin(trace.c_str(), false), 0);
  trNlsLogPrintf(__FILE__, __LINE__, on, 20768, 7u, 0x31u, "MigrUpd");
  trNlsLogPrintf(__FILE__, __LINE__, off, 20593);
  trClose(true);
  EXPECT_EQ(readFile(path_), "");
  const std::string traced = readFile(trace);
  EXPECT_NE(traced.find("Verb length 7, code 0x31 (MigrUpd).\n"), std::string::npos) << traced;
  EXPECT_EQ(traced.find("The connection to the server was made."), std::string::npos) << traced;
}

TEST_F(ErrorLog, ErrorProgramGetsTheTextAndItsFailureIsReportedOnce) {
  ASSERT_NE(open(0), nullptr);
  const std::string script = dir_ + "/errprog.sh";
  const std::string out = dir_ + "/received";
  writeFile(script, "#!/bin/sh\ncat > " + out + "\n");
  chmod(script.c_str(), 0755);
  trResetErrorProgReport();
  trRunErrorProgram((script + " --flag").c_str(), "BQF1107E text\n");
  EXPECT_EQ(readFile(out), "BQF1107E text\n");

  const std::string missing = dir_ + "/no-such-program";
  trRunErrorProgram(missing.c_str(), "x\n");
  trRunErrorProgram(missing.c_str(), "x\n");
  const std::string log = readFile(path_);
  size_t first = log.find("BQF9293E");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("BQF9293E", first + 1), std::string::npos) << "reported once per run";
  trResetErrorProgReport();
}

}  // namespace
