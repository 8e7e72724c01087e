// Test support: reading and writing whole files.
#ifndef KMR_TESTS_SUPPORT_FILES_H
#define KMR_TESTS_SUPPORT_FILES_H

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

namespace kmrtest {

// The whole content of `path`; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces the content of `path` with `text`, creating the file.
inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A new directory /tmp/`prefix`.XXXXXX of mode 0700; empty when it cannot
// be made.
inline std::string makeScratchDir(const std::string& prefix) {
  std::string path = "/tmp/" + prefix + ".XXXXXX";
  return mkdtemp(path.data()) ? path : std::string();
}

// Whether anything (a dangling link included) stands at `path`.
inline bool lexists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace kmrtest

#endif
