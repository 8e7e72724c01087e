#include "zefserver/password.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/secret_input.h"
#include "common/uniquefd.h"

namespace zef {

namespace {

void startSodium() {
  if (sodium_init() < 0) throw PasswordError("the password library cannot start");
}

// One line from `fd`, at most a little more than a password may be.
std::string readLine(int fd, const std::string& what) {
  std::string line;
  for (;;) {
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw PasswordError("cannot read the password from " + what + ": " + strerror(errno));
    if (n == 0 || c == '\n') break;
    if (line.size() > kMaxPasswordLen + 1) throw PasswordError("the password from " + what + " is too long");
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void checkPasswordText(const std::string& password) {
  if (password.empty()) throw PasswordError("the password is empty");
  if (password.size() > kMaxPasswordLen)
    throw PasswordError("the password is longer than " + std::to_string(kMaxPasswordLen) + " bytes");
  if (password.find_first_of(std::string("\0\r\n", 3)) != std::string::npos)
    throw PasswordError("the password holds a NUL, CR or LF byte");
}

std::string hashPassword(const std::string& password) {
  startSodium();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw PasswordError("not enough memory to hash the password");
  return out;
}

bool verifyPassword(const std::string& hash, const std::string& password) {
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES || sodium_init() < 0) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string readPasswordFromFd(int fd) {
  std::string what = "descriptor " + std::to_string(fd);
  std::string pw = readLine(fd, what);
  checkPasswordText(pw);
  return pw;
}

std::string readPasswordFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) throw PasswordError("cannot open the password file " + path + ": " + strerror(errno));
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) throw PasswordError("cannot examine " + path + ": " + strerror(errno));
  if (!S_ISREG(st.st_mode)) throw PasswordError("the password file " + path + " is not a regular file");
  if (st.st_mode & 077)
    throw PasswordError("the password file " + path + " may be read or written by others than its owner (mode 0600 needed)");
  std::string pw = readLine(fd.get(), path);
  checkPasswordText(pw);
  return pw;
}

std::string promptNewPassword(const std::string& node) {
  if (!haveTerminal())
    throw PasswordError("no terminal to ask for the password of " + node + "; give it with --password-fd or --password-file");
  auto first = askSecret("Password for node " + node + ": ");
  auto second = first ? askSecret("Again: ") : std::nullopt;
  if (!first || !second) throw PasswordError("the password could not be read from the terminal");
  if (*first != *second) throw PasswordError("the two passwords differ");
  checkPasswordText(*first);
  return *first;
}

}  // namespace zef
