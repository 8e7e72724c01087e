// Test support: a zefserverd of the test's own on 127.0.0.1 with its own
// database and log, the zefadm of that database, and shell lines. Needs
// ZEFSERVERD_PATH and ZEFADM_PATH defined (the built programs). Start and
// stop from one thread; the server also leaves when the starting process
// ends (--die-with-parent) or after ten idle minutes.
#ifndef KMR_TESTS_SUPPORT_ZEF_SERVER_H
#define KMR_TESTS_SUPPORT_ZEF_SERVER_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/node_password.h"

namespace kmrtest {

// The exit status a shell would show: 128 + signal for a killed process.
inline int exitStatus(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// Runs `cmd` with sh; its standard output and error go to `*output` when
// given. Returns the exit status.
inline int runShell(const std::string& cmd, std::string* output = nullptr) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = pclose(p);
  if (output) *output = out;
  return exitStatus(status);
}

// `zefadm --db db ARGS` (ARGS as the shell splits them); its exit status.
inline int zefadm(const std::string& db, const std::string& args, std::string* output = nullptr) {
  return runShell(std::string(ZEFADM_PATH) + " --db " + db + " " + args, output);
}

// Registers `node` with its password handed over in a 0600 file beside the
// database, as an administrator would (never on the command line).
inline bool registerNode(const std::string& db, const std::string& node, const std::string& password,
                         std::string* output = nullptr) {
  const std::string file = db + ".pw-" + node;
  const bool ok = writePasswordFile(file, password) &&
                  zefadm(db, "register-node " + node + " --password-file " + file, output) == 0;
  unlink(file.c_str());
  return ok;
}

struct ZefServerSetup {
  std::string db, log;
  std::vector<std::string> options;  // after --db, --address, --port, --ready-fd, --log
  // Runs in front of the server (another user, resource limits); when it
  // ends with a path to a zefserverd, that program runs instead of the built one.
  std::vector<std::string> wrapper;
};

// One server process; stopped by the destructor. Not copyable: the
// process has one owner.
class ZefServer {
 public:
  ZefServer() = default;
  ZefServer(const ZefServer&) = delete;
  ZefServer& operator=(const ZefServer&) = delete;
  ~ZefServer() { stop(); }

  // Starts the server on a port the kernel chooses. False when one runs
  // already or it did not report itself ready (see the log).
  bool start(const ZefServerSetup& setup) { return tryPort(setup, 0); }
  // The client names ports up to 32767 only, below the kernel's ephemeral
  // range: tries ports of 20000..31999 until one is free.
  bool startOnClientPort(const ZefServerSetup& setup) {
    for (unsigned attempt = 0; attempt < 64; ++attempt)
      if (tryPort(setup, 20000 + static_cast<int>((static_cast<unsigned>(getpid()) * 131u + attempt * 977u) % 12000u)))
        return true;
    return false;
  }
  // Ends the server with SIGTERM; its exit status (-1 when none runs).
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return exitStatus(status);
  }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int port() const { return port_; }

 private:
  bool tryPort(const ZefServerSetup& setup, int port) {
    if (pid_ > 0) return false;
    int ready[2];
    if (pipe(ready) != 0) return false;
    // Everything the child needs is made before the fork: the test may run
    // threads, and a forked child may then only call what is safe in a
    // signal handler.
    std::vector<std::string> args = {ZEFSERVERD_PATH, "--db", setup.db, "--address", "127.0.0.1", "--port",
                                     std::to_string(port), "--ready-fd", std::to_string(ready[1]), "--log",
                                     setup.log, "--die-with-parent", "--idle-exit", "600"};
    args.insert(args.end(), setup.options.begin(), setup.options.end());
    if (!setup.wrapper.empty() && setup.wrapper.back().ends_with("/zefserverd")) args.erase(args.begin());
    args.insert(args.begin(), setup.wrapper.begin(), setup.wrapper.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(ready[1]);
    std::string line;
    for (char c; pid_ > 0 && read(ready[0], &c, 1) == 1 && c != '\n';) line.push_back(c);
    close(ready[0]);
    port_ = line.empty() ? 0 : std::stoi(line);
    if (port_ <= 0 && pid_ > 0) {
      waitpid(pid_, nullptr, 0);  // it could not bind and has ended
      pid_ = -1;
    }
    return port_ > 0;
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace kmrtest

#endif
