// Test support: a private directory under /tmp, removed with all it holds
// when the object goes.
#ifndef KMR_TESTS_SUPPORT_SCRATCH_DIR_H
#define KMR_TESTS_SUPPORT_SCRATCH_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "tests/support/files.h"

namespace kmrtest {

class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/kmrtest.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // The full name of `name` inside the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `text` to `name` inside the directory; returns its full name.
  std::string write(const std::string& name, const std::string& text) const {
    writeFile(file(name), text);
    return file(name);
  }

 private:
  std::string path_;
};

}  // namespace kmrtest

#endif
