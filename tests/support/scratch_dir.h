// Test support: a fresh directory under /tmp, removed with everything in it
// when the object goes. path() is empty when the directory could not be made.
#ifndef KMR_TESTS_SUPPORT_SCRATCH_DIR_H
#define KMR_TESTS_SUPPORT_SCRATCH_DIR_H

#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "tests/support/files.h"

namespace kmrtest {

class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/kmrtest.XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~ScratchDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // The full name of `name` inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes `text` into `name` inside the directory; returns its full name.
  std::string write(const std::string& name, const std::string& text) const {
    writeFile(*this / name, text);
    return *this / name;
  }

 private:
  std::string path_;
};

}  // namespace kmrtest

#endif
