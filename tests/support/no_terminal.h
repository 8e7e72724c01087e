// Test support: standard input without a terminal behind it (/dev/null) for
// the life of the object, so that code which would prompt finds nobody to ask.
#ifndef KMR_TESTS_SUPPORT_NO_TERMINAL_H
#define KMR_TESTS_SUPPORT_NO_TERMINAL_H

#include <fcntl.h>
#include <unistd.h>

namespace kmrtest {

class StdinWithoutTerminal {
 public:
  StdinWithoutTerminal() : saved_(dup(0)) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    close(devnull);
  }
  ~StdinWithoutTerminal() {
    dup2(saved_, 0);
    close(saved_);
  }
  StdinWithoutTerminal(const StdinWithoutTerminal&) = delete;
  StdinWithoutTerminal& operator=(const StdinWithoutTerminal&) = delete;

 private:
  int saved_;
};

}  // namespace kmrtest

#endif
