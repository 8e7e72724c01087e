// Node passwords of the reference server: how they are kept (a salted,
// deliberately slow Argon2id hash made by libsodium, never the password) and
// how zefadm reads one without it ever appearing on a command line.
//
// Contract
// - hashPassword() returns libsodium's self-describing hash string (it holds
//   the salt and the cost parameters); it throws PasswordError when libsodium
//   cannot start or runs out of memory. verifyPassword() is false for a wrong
//   password and for a hash that is empty or not one of ours.
// - Both are slow on purpose (tens of milliseconds, 64 MiB each) and thread
//   safe; the server limits how many run at once.
// - The readers return the password without its line end, or throw
//   PasswordError with a text for the user. A password is 1 to 64 bytes
//   (what the client's option allows) without NUL, CR or LF.
#ifndef KMR_ZEFSERVER_PASSWORD_H
#define KMR_ZEFSERVER_PASSWORD_H

#include <stdexcept>
#include <string>

namespace zef {

class PasswordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr size_t kMaxPasswordLen = 64;

std::string hashPassword(const std::string& password);
bool verifyPassword(const std::string& hash, const std::string& password);

// The first line read from descriptor `fd` (which stays open).
std::string readPasswordFromFd(int fd);
// The first line of `path`, a regular file (not a link) that only its owner
// may read or write: refused when group or others have any access to it.
std::string readPasswordFile(const std::string& path);
// Asks twice on the controlling terminal with echo off; refused when the
// process has no terminal or the two answers differ.
std::string promptNewPassword(const std::string& node);

// Throws PasswordError when `password` is empty, too long or holds a byte
// that cannot travel in a line.
void checkPasswordText(const std::string& password);

}  // namespace zef

#endif
