// Shared set-up of the trace tests: a fresh trace object per test and a
// private scratch directory for trace files.
#ifndef KMR_TESTS_UNIT_COMMON_TRACE_FIXTURE_H
#define KMR_TESTS_UNIT_COMMON_TRACE_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/trace.h"

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trReset(true);
    delete_TraceObject();
    new_TraceObject(5, 0, trTIDProc);
    trSetMegabyteUnit(1048576);
    trSetDateFormatter(nullptr);
    char pattern[] = "/tmp/kmrtraceXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    trReset(true);
    delete_TraceObject();
    trSetMegabyteUnit(1048576);
    if (!getenv("KMR_KEEP_TRACE_TEST_FILES")) std::filesystem::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static bool exists(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0;
  }
  static long fileSize(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
  }
  static size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

  std::string dir_;
};

#endif
