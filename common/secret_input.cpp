#include "common/secret_input.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "common/uniquefd.h"

namespace {

UniqueFd openTerminal() {
  if (!isatty(STDIN_FILENO)) return UniqueFd();
  return UniqueFd(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
}

// Restores the terminal's settings when the read is over.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

bool haveTerminal() { return openTerminal().valid(); }

std::optional<std::string> askSecret(const std::string& prompt) {
  UniqueFd tty = openTerminal();
  if (!tty) return std::nullopt;
  EchoOff quiet(tty.get());
  if (!quiet.active()) return std::nullopt;
  if (write(tty.get(), prompt.data(), prompt.size()) < 0) return std::nullopt;
  std::string line;
  for (;;) {
    char c;
    ssize_t n = read(tty.get(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') break;
    if (line.size() < 4096) line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}
