// Test support: reading an extended attribute straight from the file
// system, independently of the code that wrote it.
#ifndef KMR_TESTS_SUPPORT_XATTR_H
#define KMR_TESTS_SUPPORT_XATTR_H

#include <sys/xattr.h>

#include <optional>
#include <string>

namespace kmrtest {

// The bytes of attribute `name` (e.g. "trusted.dmapi.VOQObj") of `path`,
// a link itself rather than its target; nullopt when there is none.
inline std::optional<std::string> rawXattr(const std::string& path, const std::string& name) {
  char buf[4096];
  ssize_t n = lgetxattr(path.c_str(), name.c_str(), buf, sizeof buf);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace kmrtest

#endif
