// Helpers of the option and clean-up tests: a message recorder installed as
// the option layer's sink, and a forked child whose exit status and reported
// message numbers the parent reads.
#ifndef KMR_TESTS_OPTIONS_TEST_SUPPORT_H
#define KMR_TESTS_OPTIONS_TEST_SUPPORT_H

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/options.h"
#include "tests/support/scratch_dir.h"

namespace opttest {

using ScratchDir = kmrtest::ScratchDir;

struct Reported {
  FILE* stream;
  int number;
  std::vector<OptMsgArg> args;
};

inline std::vector<Reported>& reported() {
  static std::vector<Reported> r;
  return r;
}
inline std::vector<int> numbers() {
  std::vector<int> n;
  for (const Reported& r : reported()) n.push_back(r.number);
  return n;
}
// The first three arguments of the `index`th message: an option, the file
// and the line that named it.
inline std::tuple<std::string, std::string, int> namedIn(size_t index) {
  const std::vector<OptMsgArg>& a = reported().at(index).args;
  return {std::get<std::string>(a.at(0)), std::get<std::string>(a.at(1)), std::get<int>(a.at(2))};
}

// Records messages for the life of the object.
class MessageRecorder {
 public:
  MessageRecorder() : old_(optSetMessageSink([](FILE* s, int n, const std::vector<OptMsgArg>& a) {
                        reported().push_back({s, n, a});
                      })) {
    reported().clear();
  }
  ~MessageRecorder() { optSetMessageSink(old_); }

 private:
  optMessageSink old_;
};

// The pipe a child writes its message numbers to.
inline int& childPipe() {
  static int fd = -1;
  return fd;
}

struct ChildResult {
  int status = -1;            // exit status, or -1 when it did not exit
  std::vector<int> messages;  // numbers in the order reported
};

// Runs `body` in a child whose messages go, as numbers, through a pipe.
inline ChildResult runChild(const std::function<void()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    childPipe() = fds[1];
    optSetMessageSink([](FILE*, int n, const std::vector<OptMsgArg>&) {
      [[maybe_unused]] ssize_t w = ::write(childPipe(), &n, sizeof n);
    });
    body();
    _exit(0);
  }
  close(fds[1]);
  ChildResult r;
  for (int n; read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n);) r.messages.push_back(n);
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  return r;
}

}  // namespace opttest

#endif
