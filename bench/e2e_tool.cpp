// Helper of bench/stub_e2e.sh, the end-to-end stub benchmark.
//
//   e2e_tool mkdirs ROOT N      the parent directories of N objects
//   e2e_tool floor ROOT N       the floor: N sparse files with one attribute
//   e2e_tool run [--watch FILE] [--output FILE] -- CMD ARGS...
//
// The layout is the one `zefadm generate` gives: ROOT/dDDDDD/fFFFFFFFF, one
// directory per 1000 objects, with the sizes, modes, owners and times it
// stores. `floor` makes each file with only what no stub recreation can
// avoid: open O_CREAT|O_EXCL, ftruncate, fchown, fchmod, futimens, one
// fsetxattr of a 124-byte record, close; it prints the seconds taken.
// `run` runs CMD and prints its exit status, wall seconds, peak resident set
// (of CMD and its children, from wait4) and the largest size FILE had while
// CMD ran (sampled every 5 ms and at the end); CMD's standard output and
// error go to the --output file (or stay where they are).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string dirOf(const std::string& root, unsigned long long i) {
  char tail[32];
  snprintf(tail, sizeof tail, "/d%05llu", i / 1000);
  return root + tail;
}

std::string fileOf(const std::string& root, unsigned long long i) {
  char tail[32];
  snprintf(tail, sizeof tail, "/f%08llu", i);
  return dirOf(root, i) + tail;
}

int mkdirs(const std::string& root, unsigned long long n) {
  for (unsigned long long i = 0; i < n; i += 1000) {
    if (mkdir(dirOf(root, i).c_str(), 0755) != 0 && errno != EEXIST) {
      perror(dirOf(root, i).c_str());
      return 1;
    }
  }
  return 0;
}

bool floorFile(const std::string& path, unsigned long long i) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const off_t size = static_cast<off_t>((i % 97) * 4096 + i % 4096 + 1);
  const uint32_t mtime = 1600000000u + static_cast<uint32_t>(i % 100000000);
  const struct timespec times[2] = {{static_cast<time_t>(mtime) + 60, 0}, {static_cast<time_t>(mtime), 0}};
  uint8_t record[124];
  for (size_t k = 0; k < sizeof record; ++k) record[k] = static_cast<uint8_t>(i + k);
  bool ok = ftruncate(fd, size) == 0 && fchown(fd, 1000 + static_cast<uid_t>(i % 5), 100) == 0 &&
            fchmod(fd, i % 2 ? 0644 : 0600) == 0 && futimens(fd, times) == 0 &&
            fsetxattr(fd, "trusted.dmapi.VOQObj", record, sizeof record, 0) == 0;
  return close(fd) == 0 && ok;
}

int floorRun(const std::string& root, unsigned long long n) {
  auto t0 = Clock::now();
  for (unsigned long long i = 0; i < n; ++i) {
    if (!floorFile(fileOf(root, i), i)) {
      perror(fileOf(root, i).c_str());
      return 1;
    }
  }
  printf("%.3f\n", std::chrono::duration<double>(Clock::now() - t0).count());
  return 0;
}

long long sizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

int runMeasured(const std::string& watch, const std::string& output, char** argv) {
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid < 0) return perror("fork"), 1;
  if (pid == 0) {
    if (!output.empty()) {
      int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
    }
    execvp(argv[0], argv);
    perror(argv[0]);
    _exit(127);
  }
  long long peak = 0;
  int status = 0;
  struct rusage ru {};
  for (;;) {
    if (!watch.empty()) peak = std::max(peak, sizeOf(watch));
    pid_t r = wait4(pid, &status, WNOHANG, &ru);
    if (r == pid) break;
    if (r < 0) return perror("wait4"), 1;
    const struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  if (!watch.empty()) peak = std::max(peak, sizeOf(watch));
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("status=%d wall=%.3f rss_kb=%ld watch_peak=%lld\n", code, wall, ru.ru_maxrss, peak);
  return 0;
}

int usage() {
  fprintf(stderr, "usage: e2e_tool mkdirs|floor ROOT N | run [--watch FILE] [--output FILE] -- CMD ARGS...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string verb = argv[1];
  if ((verb == "mkdirs" || verb == "floor") && argc == 4) {
    const unsigned long long n = strtoull(argv[3], nullptr, 10);
    return verb == "mkdirs" ? mkdirs(argv[2], n) : floorRun(argv[2], n);
  }
  if (verb != "run") return usage();
  std::string watch, output;
  int i = 2;
  for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] == '-' && argv[i][2]; i += 2) {
    if (strcmp(argv[i], "--watch") == 0) watch = argv[i + 1];
    else if (strcmp(argv[i], "--output") == 0) output = argv[i + 1];
    else return usage();
  }
  if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc) return usage();
  return runMeasured(watch, output, argv + i + 1);
}
