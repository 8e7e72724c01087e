// Test support: standard input without a terminal behind it (/dev/null) for
// the life of the object, so that code which would prompt finds nobody to ask.
#ifndef KMR_TESTS_SUPPORT_NO_TERMINAL_H
#define KMR_TESTS_SUPPORT_NO_TERMINAL_H

#include <fcntl.h>
#include <unistd.h>

#include "common/uniquefd.h"

namespace kmrtest {

// Neither copied nor moved: the saved descriptor is owned once.
class StdinWithoutTerminal {
 public:
  StdinWithoutTerminal() : saved_(dup(0)) { dup2(UniqueFd(open("/dev/null", O_RDONLY)).get(), 0); }
  ~StdinWithoutTerminal() { dup2(saved_.get(), 0); }

 private:
  UniqueFd saved_;
};

}  // namespace kmrtest

#endif
