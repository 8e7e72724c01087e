// Shared set-up of the message tests: a message system over the built
// catalog (or a catalog made by the test with gencat), with the output
// functions captured per severity.
#ifndef KMR_TESTS_UNIT_CATALOG_NLS_FIXTURE_H
#define KMR_TESTS_UNIT_CATALOG_NLS_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/errorlog.h"
#include "common/messages.h"

#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

namespace nlstest {

inline std::vector<std::string>& captured(int severity) {
  static std::vector<std::string> bySeverity[9];
  return bySeverity[severity];
}

template <int Severity>
void capture(const char* text) {
  captured(Severity).push_back(text);
}

inline const nlOutputFn kCapturingOutputs[9] = {capture<0>, capture<1>, capture<2>, capture<3>, capture<4>,
                                                capture<5>, capture<6>, capture<7>, capture<8>};

using kmrtest::readFile;
using kmrtest::writeFile;

// Builds <dir>/EN_US/kmrclientV3.cat from gencat input text.
inline void buildCatalog(const std::string& dir, const std::string& gencatInput, const char* language = "EN_US") {
  std::string sub = dir + "/" + language;
  mkdir(sub.c_str(), 0755);
  writeFile(dir + "/input.msg", gencatInput);
  std::string cmd = std::string(KMR_GENCAT_PATH) + " " + sub + "/kmrclientV3.cat " + dir + "/input.msg";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// Message system over a repository directory, captured outputs, clean RC.
class NlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    for (int i = 0; i < 9; ++i) captured(i).clear();
    GlobalRC::instance().clearAllRC();
  }
  void TearDown() override {
    errorLogFile.close();
    dsCoreCleanUp();
    GlobalRC::instance().clearAllRC();
  }
  int init(const std::string& dir = KMR_CATALOG_DIR, unsigned capacity = 10, const char* locale = "EN_US") {
    dsCoreInit(kCapturingOutputs, 0);
    snprintf(chosen_, sizeof chosen_, "%s", locale);
    return nlinit(dir.c_str(), capacity, dir.c_str(), 5, 1, 1, 1, chosen_, nullptr);
  }
  std::string format(int number, ...) {
    va_list ap;
    va_start(ap, number);
    char* text = nullptr;
    nlvsprintf(&text, number, ap);
    va_end(ap);
    std::string out = text ? text : "<none>";
    free(text);
    return out;
  }
  char chosen_[64] = "";
  kmrtest::ScratchDir scratch_;  // for the catalogs and logs a test makes
};

}  // namespace nlstest

#endif
