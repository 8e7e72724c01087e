#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sched.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/trace.h"
#include "tests/unit/common/trace_fixture.h"

namespace {

// The next-write offset recorded in a wrapping file's header.
unsigned headerOffset(const std::string& file) { return std::stoul(file.substr(12, 12)); }

// `text` with every digit turned into '#', so that a time stamp or a
// thread id compares by its shape.
std::string digitsMasked(std::string text) {
  for (char& c : text)
    if (isdigit(static_cast<unsigned char>(c))) c = '#';
  return text;
}

void traceLines(int count, const char* tag) {
  for (int i = 0; i < count; ++i) TRACE(TR_GENERAL, "%s line %05d %s\n", tag, i, "xxxxxxxxxxxxxxxxxxxx");
}

int failingOperation() {
  TREnterExit<char> ee(__FILE__, __LINE__, "Store::put()   ");
  errno = ENOENT;
  return -1;
}

}  // namespace

using TraceLimits = TraceTest;

// Options in either order: segments of 1000 MB above that maximum alone,
// ever new segments for a segment size alone, a segment size above the
// maximum lowered to it (one wrapping file).
TEST_F(TraceLimits, SegmentArithmeticOfMaxAndSegmentSize) {
  struct Case { bool segFirst; uint32_t max, seg, count, segMB, lastMB; } cases[] = {
      {false, 1500, 0, 2, 1000, 500}, {true, 10, 4, 3, 4, 2},
      {false, 0, 5, UINT32_MAX, 5, 5}, {false, 10, 20, 1, 10, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.max << "/" << c.seg);
    trReset(false);
    if (c.segFirst) trSetMaxTraceSegSize(c.seg);
    if (c.max) trSetMaxTraceSize(c.max);
    if (c.seg && !c.segFirst) trSetMaxTraceSegSize(c.seg);
    const TrLimits l = trGetLimits();
    EXPECT_EQ(l.segCount, c.count);
    EXPECT_EQ(l.segSizeMB, c.segMB);
    EXPECT_EQ(l.lastSegMB, c.lastMB);
    EXPECT_TRUE(l.wrap);
  }
  trReset(false);
  trSetMaxTraceSize(1000);
  EXPECT_EQ(trGetLimits().segCount, 0u);
  trSetMaxTraceSize(0);
  EXPECT_FALSE(trGetLimits().wrap);
}

using TraceFile = TraceTest;

TEST_F(TraceFile, WrappingFileHeaderAndEndMarkerStayConsistentAcrossTheWrap) {
  trSetMegabyteUnit(4096);
  trSetMaxTraceSize(2);  // 8192 bytes with the shrunken unit
  std::string name = begin("wrap.trc");
  std::string file = readFile(name);
  ASSERT_EQ(file.substr(0, 12), "ZEF Trace   ");
  EXPECT_EQ(file.substr(24, 11), "2          ");
  EXPECT_NE(file.find(std::string(" ") + trProductBanner() + "   Build date: " + trBuildDate() + "\n\n"),
            std::string::npos);
  size_t dataStart = file.find("\n\n") + 2;
  EXPECT_EQ(file.compare(dataStart, 21, "BEGINNING NEW TRACE\n\n"), 0);

  bool wrapped = false;
  for (int i = 0; i < 200; ++i) {
    TRACE(TR_GENERAL, "line %03d of the wrap test\n", i);
    file = readFile(name);
    unsigned off = headerOffset(file);
    ASSERT_EQ(file.compare(off, 14, "\nEND OF DATA\n\n"), 0) << "after line " << i;
    ASSERT_LE(file.size(), 8192u + 64u);
    wrapped = wrapped || off < dataStart + 200;
  }
  EXPECT_TRUE(wrapped);
  EXPECT_NE(file.find("\nContinued at beginning of file\n\n"), std::string::npos);
  // The newest line sits right behind the header.
  const std::string last = "line 199 of the wrap test\n";
  EXPECT_EQ(file.find(last) + last.size(), headerOffset(file));

  trClose(true);
  file = readFile(name);
  EXPECT_EQ(file.compare(headerOffset(file), 22, "\nEND OF DATA - close\n\n"), 0);
}

TEST_F(TraceFile, RestartContinuesBehindTheOffsetOrRecreatesForASmallerLimitOrForeignFile) {
  trSetMegabyteUnit(4096);
  trSetMaxTraceSize(4);
  const std::string name = begin("again.trc");
  traceLines(5, "first");
  trClose(true);
  std::string before = readFile(name);
  unsigned off = headerOffset(before);

  trSetMaxTraceSize(6);
  begin("again.trc");
  traceLines(1, "second");
  std::string after = readFile(name);
  EXPECT_EQ(after.compare(24, 10, "6         "), 0) << "header keeps the old maximum";
  EXPECT_EQ(after.compare(34, off - 34, before, 34, off - 34), 0) << "old lines were touched";
  EXPECT_EQ(after.compare(off, 21, "BEGINNING NEW TRACE\n\n"), 0);
  EXPECT_NE(after.find("second line 00000"), std::string::npos);
  trClose(true);

  trSetMaxTraceSize(2);
  after = readFile(begin("again.trc"));
  EXPECT_EQ(after.find("first line"), std::string::npos) << "smaller limit must recreate the file";
  EXPECT_EQ(after.compare(24, 10, "2         "), 0);
  trClose(true);

  kmrtest::writeFile(name, "not a trace file\n" + std::string(20000, 'z'));
  trSetMaxTraceSize(8);
  after = readFile(begin("again.trc"));
  EXPECT_EQ(after.substr(0, 12), "ZEF Trace   ");
  EXPECT_EQ(after.find("zzz"), std::string::npos);
}

TEST_F(TraceFile, MaximumWithSegmentSizeRotatesOverThreeSegmentsAndRecreatesTheFirst) {
  trSetMegabyteUnit(4096);
  trSetMaxTraceSize(10);
  trSetMaxTraceSegSize(4);
  std::string name = begin("seg.trc", "GENERAL", true);
  EXPECT_STREQ(trGetTraceFileName(), (name + ".1").c_str());
  // Write until the rotation has come round to the first segment again.
  int lines = 0;
  while (lines < 5000 && readFile(name + ".1").find("Continued from end of segment 3") == std::string::npos)
    traceLines(1, "rot"), ++lines;
  ASSERT_LT(lines, 5000);
  TRACE(TR_GENERAL, "newest line\n");
  EXPECT_FALSE(kmrtest::lexists(name)) << "segments carry a suffix";
  ASSERT_TRUE(kmrtest::lexists(name + ".3"));
  EXPECT_FALSE(kmrtest::lexists(name + ".4"));
  EXPECT_LE(fileSize(name + ".1"), 4 * 4096 + 64);
  EXPECT_LE(fileSize(name + ".2"), 4 * 4096 + 64);
  EXPECT_LE(fileSize(name + ".3"), 2 * 4096 + 64);
  EXPECT_GT(fileSize(name + ".2"), 3 * 4096);

  std::string s2 = readFile(name + ".2"), s3 = readFile(name + ".3"), s1 = readFile(name + ".1");
  EXPECT_NE(s2.find("Continued from end of segment 1\n\n"), std::string::npos);
  EXPECT_NE(s3.find("\nContinued at beginning of segment 1\n\n"), std::string::npos);
  EXPECT_NE(s1.find("Continued from end of segment 3\n\n"), std::string::npos);
  EXPECT_EQ(s1.find("Tracing to file"), std::string::npos) << "first segment was not recreated";
  EXPECT_NE(s1.find("newest line"), std::string::npos);
  EXPECT_EQ(s1.compare(headerOffset(s1), 14, "\nEND OF DATA\n\n"), 0);
}

TEST_F(TraceFile, SegmentSizeAloneGivesEverNewSegments) {
  trSetMegabyteUnit(1024);
  trSetMaxTraceSegSize(5);
  std::string name = begin("endless.trc");
  traceLines(400, "endless");  // ~24 KB over 5 KB segments
  for (int seg = 1; seg <= 4; ++seg) {
    std::string s = name + "." + std::to_string(seg);
    ASSERT_TRUE(kmrtest::lexists(s)) << s;
    EXPECT_LE(fileSize(s), 5 * 1024 + 64) << s;
  }
  EXPECT_NE(readFile(name + ".4").find("Continued from end of segment 3"), std::string::npos);
}

TEST_F(TraceFile, UnlimitedFileIsAppendedWithItsBannerPerOpening) {
  std::string name = begin("plain.trc", "GENERAL", true);
  TRACE(TR_GENERAL, "one\n");
  trClose(true);
  begin("plain.trc");
  TRACE(TR_GENERAL, "two\n");
  trClose(true);
  std::string file = readFile(name);
  std::string banner = std::string("ZEF Trace   ") + trProductBanner() + "\nBuild Date: " +
                       trBuildDate() + "\nBEGINNING NEW TRACE\n\n";
  EXPECT_EQ(file.compare(0, banner.size(), banner), 0);
  EXPECT_EQ(countOf(file, banner), 2u);
  EXPECT_NE(file.find("Tracing to file: " + name + "\n"), std::string::npos);
  EXPECT_NE(file.find("Tracefile maximum length set to 0 MB.\n"), std::string::npos);
  EXPECT_NE(file.find(" - Trace begun.\n"), std::string::npos);
  EXPECT_LT(file.find("one\n"), file.find("two\n"));
  EXPECT_EQ(file.find("END OF DATA"), std::string::npos);
}

TEST_F(TraceFile, LinePrefixesComposeTimeStampPidThreadAndClientType) {
  std::string name = begin("prefix.trc", "GENERAL PID CLIENTTYPE TID");
  const unsigned line = __LINE__ + 1;
  TRACE(TR_GENERAL, "hello %d\n", 7);
  TRACE(TR_GENERAL, "again\n");
  std::thread([] { TRACE(TR_GENERAL, "other\n"); }).join();
  std::string file = readFile(name);
  // The digits of pid and line are checked exactly by the pid and standard
  // output cases.
  char expected[512];
  snprintf(expected, sizeof expected,
           "\n##/##/#### ##:##:##.### [%06u] [%ld] [ctHSMCmd    ]: %-20s(%4u): hello 7\n",
           static_cast<unsigned>(getpid()), syscall(SYS_gettid), __FILE__, line);
  EXPECT_TRUE(kmrtest::contains(digitsMasked(file), digitsMasked(expected))) << file;
  std::string banner = "\n" + std::string(29, ' ') + "New thread " + std::string(7, ' ') +
                       " 0================>\n";
  EXPECT_EQ(countOf(file, banner), 2u) << "one banner per change of thread";
}

TEST_F(TraceFile, DateFormatterHookAndShortDatePadding) {
  trSetDateFormatter([](const struct tm*, char* d, char* t) {
    strcpy(d, "D");
    strcpy(t, "T");
  });
  std::string name = path("date.trc");
  ASSERT_EQ(trEnable("GENERAL", true), 0);
  TR_PREFIX = 0;
  ASSERT_EQ(trBegin(name.c_str(), false), 0);
  TRACE(TR_GENERAL, "dated\n");
  EXPECT_TRUE(kmrtest::contains(digitsMasked(readFile(name)), "\nD   T.### : dated\n")) << readFile(name);
}

// The first process of a new pid namespace is pid 1: its prefix shows the
// padding that a real pid of six digits or more would hide.
TEST_F(TraceFile, PidPrefixIsPaddedToSixDigits) {
  std::string name = path("pid.trc");
  pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    if (unshare(CLONE_NEWPID) != 0) _exit(77);
    pid_t first = fork();
    if (first == 0) {
      trEnable("PID", true);
      TR_TIMESTAMP = TR_PREFIX = 0;
      trBegin(name.c_str(), false);
      TRACE(TR_PID, "first\n");
      trClose(true);
      _exit(getpid() == 1 ? 0 : 3);
    }
    int st = 0;
    waitpid(first, &st, 0);
    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
  }
  int status = 0;
  waitpid(helper, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no pid namespaces here";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(readFile(name).find("\n[000001] : first\n"), std::string::npos) << readFile(name);
}

// The name's trailing blanks are not part of the lines.
TEST_F(TraceFile, EnterAndExitLinesKeepTheOperationsErrno) {
  std::string name = begin("errno.trc", "ENTER EXIT");
  errno = 0;
  EXPECT_EQ(failingOperation(), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(countOf(readFile(name), "ENTER =====> Store::put()\n"), 1u);
  EXPECT_EQ(countOf(readFile(name), "EXIT  <===== Store::put()\n"), 1u);
}

TEST_F(TraceFile, WriteFailureDisablesTracingButKeepsTheCallersErrno) {
  // Only EXIT: the failing write is the one behind the caller's errno.
  ASSERT_EQ(trEnable("EXIT", true), 0);
  ASSERT_EQ(trBegin("/dev/full", false), 0);
  testing::internal::CaptureStdout();
  errno = 0;
  EXPECT_EQ(failingOperation(), -1);
  int seen = errno;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(seen, ENOENT);
  EXPECT_NE(out.find("Unable to write to trace file /dev/full. Tracing disabled.\n"), std::string::npos);
  EXPECT_FALSE(trCanOutPut());
  EXPECT_EQ(TR_EXIT, 0);
}

TEST_F(TraceFile, StdoutTracingAnnouncesItselfAndHonoursNoStdout) {
  ASSERT_EQ(trEnable("GENERAL", true), 0);
  TR_TIMESTAMP = 0;
  testing::internal::CaptureStdout();
  ASSERT_EQ(trBegin("stdout", false), 0);
  const unsigned line = __LINE__ + 1;
  TRACE(TR_GENERAL, "visible\n");
  trSetNoStdout();
  TRACE(TR_GENERAL, "hidden\n");
  std::string out = testing::internal::GetCapturedStdout();
  char expect[256];
  snprintf(expect, sizeof expect, "Tracing to stdout\n%-20s(%4u): visible\n", __FILE__, line);
  EXPECT_EQ(out, expect);
}

TEST_F(TraceFile, FirstNameWinsRelativeNamesBecomeAbsoluteLinksAreRefusedAndUnopenableFilesReset) {
  char cwd[1024];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(trSetTraceFileName("cmdline.trc"), 0);
  EXPECT_EQ(trSetTraceFileName("optionfile.trc"), 0);
  EXPECT_EQ(std::string(trGetTraceFileName()), path("cmdline.trc"));
  ASSERT_EQ(chdir(cwd), 0);

  trReset(true);
  std::string target = path("target"), link = path("link.trc");
  kmrtest::writeFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(trSetTraceFileName(link.c_str()), 959);
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(trGetTraceFileName(), "");
  EXPECT_FALSE(kmrtest::lexists(link)) << "link was not deleted";
  EXPECT_EQ(readFile(target), "keep");

  testing::internal::CaptureStderr();
  EXPECT_EQ(trSetTraceFileName(""), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(trSetTraceFileName(std::string(1025, 'a').c_str()), -1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(trBegin("", false), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid trace file name\n");

  // A file that cannot be opened resets tracing.
  ASSERT_EQ(trEnable("GENERAL", true), 0);
  testing::internal::CaptureStdout();
  const std::string unopenable = path("missing/dir/x.trc");
  EXPECT_EQ(trBegin(unopenable.c_str(), false), 426);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open trace output file " + unopenable + "\n");
  EXPECT_EQ(TR_GENERAL, 0);
  EXPECT_FALSE(trIsStarted());
}

TEST_F(TraceFile, QueryListsEnabledClassesAndDumpShowsRows) {
  std::string name = path("query.trc");
  ASSERT_EQ(trEnable("SM GENERAL", true), 0);
  TR_TIMESTAMP = TR_PREFIX = 0;
  ASSERT_EQ(trBegin(name.c_str(), false), 0);
  trQuery();
  const char bytes[] = "ABCDEFGH\x01J";
  trPrintFormattedDump(bytes, 10, 8);
  std::string file = readFile(name);
  EXPECT_NE(file.find("Current trace classes enabled:  GENERAL SM\n\n"), std::string::npos) << file;
  EXPECT_NE(file.find("(10 Bytes)\n\n\n\n"), std::string::npos);
  EXPECT_NE(file.find(": 41 42 43 44 45 46 47 48     ABCDEFGH\n"), std::string::npos);
  EXPECT_NE(file.find(": 01 4A " + std::string(18, ' ') + "    .J\n\n"), std::string::npos);
}

TEST_F(TraceFile, LinesFromSeveralThreadsNeverInterleaveInAWrappingFile) {
  trSetMegabyteUnit(4096);
  trSetMaxTraceSize(3);
  std::string name = begin("threads.trc");
  TR_TIMESTAMP = TR_PREFIX = 0;  // a size limit turns them on at the first opening
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 300; ++i) TRACE(TR_GENERAL, "<%d:%03d:abcdefghijklmnopqrstuvwxyz>\n", t, i);
    });
  for (std::thread& w : writers) w.join();
  std::string file = readFile(name);
  unsigned off = headerOffset(file);
  ASSERT_EQ(file.compare(off, 14, "\nEND OF DATA\n\n"), 0);
  // Every line between the header and the end marker is one whole line.
  const size_t start = file.find("\n\n") + 2;
  std::istringstream body(file.substr(start, off - start));
  size_t lines = 0;
  for (std::string line; std::getline(body, line);) {
    if (line.empty() || line.starts_with("BEGINNING NEW TRACE") || line.starts_with("Continued")) continue;
    ASSERT_EQ(digitsMasked(line), "<#:###:abcdefghijklmnopqrstuvwxyz>");
    ++lines;
  }
  EXPECT_GT(lines, 100u);
}

TEST_F(TraceFile, ConsoleModeHandsBareTextToTheCallbackAndClosesIt) {
  struct { std::string ops, text; } log;  // operations 0 open, 1 text, 2 close
  trInstallConsoleCallback([](int op, const char* text, void* context) {
        auto* seen = static_cast<decltype(log)*>(context);
        seen->ops += std::to_string(op);
        if (op == 1) seen->text += text;
        return 0;
      }, &log);
  ASSERT_EQ(trEnable("GENERAL", true), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(trBegin("console", false), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tracing to stderr\n");
  TRACE(TR_GENERAL, "to the console\n");
  trClose(true);
  EXPECT_EQ(log.ops, "012");
  EXPECT_NE(log.text.find("): to the console\n"), std::string::npos);
  EXPECT_EQ(log.text.find(" : "), std::string::npos) << "the console gets no leading prefix";
  trInstallConsoleCallback(nullptr, nullptr);
}
