// Shared set-up of the trace tests: a fresh trace object per test and a
// private scratch directory for trace files.
#ifndef KMR_TESTS_UNIT_COMMON_TRACE_FIXTURE_H
#define KMR_TESTS_UNIT_COMMON_TRACE_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/trace.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

using kmrtest::countOf;
using kmrtest::readFile;

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TraceTest::TearDown();  // whatever an earlier test left
    new_TraceObject(5, 0, trTIDProc);
    trSetDateFormatter(nullptr);
  }
  void TearDown() override {
    trReset(true);
    delete_TraceObject();
    trSetMegabyteUnit(1048576);
  }
  std::string path(const std::string& name) const { return dir_.file(name); }
  // Turns `classes` on and starts tracing to `name` in the scratch
  // directory; returns the file's full name.
  std::string begin(const std::string& name, const char* classes = "GENERAL", bool append = false) {
    EXPECT_EQ(0, trEnable(classes, true));
    EXPECT_EQ(0, trBegin(path(name).c_str(), append));
    return path(name);
  }
  // Size of `name` in bytes, -1 when it does not exist.
  static long fileSize(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
  }

  kmrtest::ScratchDir dir_;
};

#endif
