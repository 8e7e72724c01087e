// Test support: node passwords as an administrator hands them over. A
// password file for `zefadm register-node --password-file` (mode 0600) and
// the client's password store (PASSWORDACCESS GENERATE) written byte for byte
// in the format docs/protocol.md gives, independently of the client's code.
#ifndef KMR_TESTS_SUPPORT_NODE_PASSWORD_H
#define KMR_TESTS_SUPPORT_NODE_PASSWORD_H

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace kmrtest {

inline std::string hexOf(const std::string& s) {
  std::string out;
  char two[3];
  for (unsigned char c : s) {
    snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// `text` in a file of mode 0600 at `path`; false when it cannot be written.
inline bool writePrivateFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return chmod(path.c_str(), 0600) == 0;
}

// The password file zefadm reads: the password and a line end.
inline bool writePasswordFile(const std::string& path, const std::string& password) {
  return writePrivateFile(path, password + "\n");
}

// The client's store in `dir` (made with mode 0700) holding one record.
inline bool writeClientStore(const std::string& dir, const std::string& server, const std::string& node,
                             const std::string& password) {
  mkdir(dir.c_str(), 0700);
  return writePrivateFile(dir + "/kmr.pwd", server + "\t" + node + "\t" + hexOf(password) + "\n");
}

}  // namespace kmrtest

#endif
