// --help and --version of the reference server's programs.
//
// Contract
// - answerHelpOrVersion() looks for "--help" or "--version" anywhere on the
//   command line. On "--help" it writes the usage to standard output, on
//   "--version" the line "<program> <version>"; either way it returns 0, the
//   exit status. Without them it returns -1 and writes nothing.
#ifndef KMR_ZEFSERVER_HELPVERSION_H
#define KMR_ZEFSERVER_HELPVERSION_H

#include <cstdio>
#include <cstring>

#ifndef KMR_VERSION
#define KMR_VERSION "0"
#endif

namespace zef {

template <typename UsageFn>
int answerHelpOrVersion(int argc, char** argv, const char* program, UsageFn usage) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("%s %s\n", program, KMR_VERSION);
      return 0;
    }
  }
  return -1;
}

}  // namespace zef

#endif
