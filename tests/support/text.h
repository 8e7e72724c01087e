// Test support: looking for texts in a program's output.
#ifndef KMR_TESTS_SUPPORT_TEXT_H
#define KMR_TESTS_SUPPORT_TEXT_H

#include <cstddef>
#include <string>

namespace kmrtest {

// How often `needle` occurs in `hay` (overlapping occurrences count).
inline size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

inline bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

}  // namespace kmrtest

#endif
