#include "migrate/migrate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>

#include "common/cleanup.h"
#include "common/errorlog.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/rc.h"
#include "common/safepath.h"
#include "common/showable.h"
#include "common/threads.h"
#include "common/trace.h"
#include "frontend/progress.h"
#include "frontend/wiring.h"
#include "hsmfs/fscheck.h"
#include "hsmfs/fstable.h"
#include "hsmfs/xdsmapi.h"
#include "migrate/filemigrator.h"
#include "reconcile/subtree.h"

namespace {

constexpr const char* kName = "kmrmigrate";
constexpr const char* kControlDir = ".Tarnveld";

std::atomic<bool> g_stop{false};
void requestStop(int) { g_stop.store(true); }

std::string upper(const char* arg) {
  std::string up(arg);
  for (char& c : up)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return up;
}

bool isTraceOption(const std::string& up) {
  return up.rfind("-TRACEFI", 0) == 0 || up.rfind("-TRACEFL", 0) == 0 || up.rfind("-TRACEMA", 0) == 0;
}

// The managed file systems' mount points.
std::vector<std::string> managedFileSystems() {
  std::vector<std::string> names;
  managedFsTable table;
  HsmFsEntry entry;
  while (table.getEntry(entry, HsmFsTable::s_migOnOtherNode, 0) == 1) names.push_back(entry.m_fsName);
  return names;
}

// One managed file system of the run: its mount point, opened once, and
// the migrator with its server sessions, made on first use.
struct FileSystemRun {
  std::string mount;
  UniqueFd mountFd;
  dev_t dev = 0;
  std::unique_ptr<FileMigrator> migrator;
  bool unusable = false;
};

class Run {
 public:
  Run(const MigrateArgs& args) : args_(args) {}

  int go() {
    if (ProgressLine::wanted(args_.detail, args_.preview, STDERR_FILENO))
      progress_ = std::make_unique<ProgressLine>(stderr, nullptr, kMsg9808);
    char cwd[PATH_MAX];
    const std::string here = getcwd(cwd, sizeof cwd) ? cwd : "/";
    const std::vector<std::string> managed = managedFileSystems();
    for (const std::string& given : args_.paths) {
      if (g_stop.load()) break;
      one(absolutePath(here, given), managed);
    }
    int finishRc = 0;
    MigrateCounts total;
    for (auto& [mount, fs] : fileSystems_) {
      if (!fs->migrator) continue;
      if (int rc = fs->migrator->finish()) finishRc = rc;
      const MigrateCounts& c = fs->migrator->counts();
      total.migrated += c.migrated;
      total.already += c.already;
      total.empty += c.empty;
      total.changed += c.changed;
      total.failed += c.failed;
      total.previewed += c.previewed;
      total.bytesSent += c.bytesSent;
    }
    if (progress_) progress_->runEnded(tally());
    progress_.reset();
    if (finishRc) nlfprintf(stderr, kMsg2091, finishRc, clientRcText(finishRc));
    if (g_stop.load()) nlfprintf(stderr, kMsg1074);
    if (!args_.preview)
      nlfprintf(stdout, kMsg9806, std::to_string(total.migrated).c_str(), std::to_string(total.already).c_str(),
                std::to_string(total.empty).c_str(), std::to_string(total.changed).c_str(),
                std::to_string(total.failed + otherFailures_).c_str(), std::to_string(total.bytesSent).c_str());
    const bool complete = !g_stop.load() && finishRc == 0 && otherFailures_ == 0 && total.failed == 0 &&
                          total.changed == 0;
    return complete ? 0 : 1;
  }

 private:
  RunTally tally() const {
    RunTally t;
    for (const auto& [mount, fs] : fileSystems_) {
      if (!fs->migrator) continue;
      const MigrateCounts& c = fs->migrator->counts();
      t.processed += c.migrated + c.already + c.empty + c.changed + c.failed + c.previewed;
      t.recreated += c.migrated;
      t.failed += c.failed + c.changed;
    }
    t.failed += otherFailures_;
    return t;
  }

  void walkFailed(const std::string& path, int err) {
    nlfprintf(stderr, kMsg9810, kName, clShowable(path).c_str(), strerror(err));
    trNlsLogPrintf(__FILE__, __LINE__, TR_SM, kMsg9810, kName, clShowable(path).c_str(), strerror(err));
    ++otherFailures_;
  }

  // The file system that holds `path` (the deepest managed mount point
  // above it) and the path's name below it ("" for the mount point).
  FileSystemRun* fileSystemOf(const std::string& path, const std::vector<std::string>& managed, std::string* rel) {
    std::string best, alias;
    for (const std::string& fs : managed) {
      std::string candidate;
      if (scopeFromPath(fs, path, &candidate) == ScopeCheck::kInside && fs.size() >= best.size()) {
        best = fs;
        alias = candidate;
      }
    }
    if (best.empty()) return nullptr;
    *rel = alias == "/" ? "" : alias.substr(1);
    auto& slot = fileSystems_[best];
    if (!slot) {
      slot = std::make_unique<FileSystemRun>();
      slot->mount = best;
      open(*slot);
    }
    return slot->unusable ? nullptr : slot.get();
  }

  void open(FileSystemRun& fs) {
    char* mountPoint = nullptr;
    int rc = IsMigFsOK(fs.mount.c_str(), &mountPoint, FUNC_STATE_ALL);
    free(mountPoint);
    struct stat st {};
    if (rc == RC_OK) fs.mountFd.reset(safeOpenMountRoot(fs.mount));
    if (rc != RC_OK || !fs.mountFd || fstat(fs.mountFd.get(), &st) != 0) {
      fs.unusable = true;
      return;
    }
    fs.dev = st.st_dev;
    int serverRc = 0;
    fs.migrator = std::make_unique<FileMigrator>(serverRc, fs.mount, fs.mountFd.get(), args_.preview, args_.detail);
    if (serverRc) {
      nlfprintf(stderr, kMsg2091, serverRc, clientRcText(serverRc));
      fs.migrator.reset();
      fs.unusable = true;
    }
  }

  void one(const std::string& path, const std::vector<std::string>& managed) {
    std::string rel;
    FileSystemRun* fs = fileSystemOf(path, managed, &rel);
    if (!fs) {
      nlfprintf(stderr, kMsg9805, kName, clShowable(path).c_str());
      ++otherFailures_;
      return;
    }
    if (rel == kControlDir || rel.rfind(std::string(kControlDir) + "/", 0) == 0) {
      walkFailed(path, EPERM);  // the HSM's own files are never migrated
      return;
    }
    UniqueFd fd(safeOpenBeneath(fs->mountFd.get(), rel.empty() ? "." : rel.c_str(), O_PATH | O_NOFOLLOW));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return walkFailed(path, errno);
    if (S_ISDIR(st.st_mode)) return walk(*fs, rel);
    if (!S_ISREG(st.st_mode)) return walkFailed(path, EINVAL);
    file(*fs, rel);
  }

  void file(FileSystemRun& fs, const std::string& rel) {
    fs.migrator->migrate(rel);
    if (progress_) progress_->objectDone(tally());
  }

  // Depth first, names in byte order; entries are looked at without
  // following links, and a directory on another device is not entered.
  void walk(FileSystemRun& fs, const std::string& rel) {
    const std::string shown = fs.mount + (rel.empty() ? "" : "/" + rel);
    UniqueFd dir(safeOpenBeneath(fs.mountFd.get(), rel.empty() ? "." : rel.c_str(), O_RDONLY | O_DIRECTORY));
    if (!dir) return walkFailed(shown, errno);
    std::vector<std::string> names;
    {
      int dup = fcntl(dir.get(), F_DUPFD_CLOEXEC, 0);
      DIR* d = dup < 0 ? nullptr : fdopendir(dup);
      if (!d) {
        if (dup >= 0) close(dup);
        return walkFailed(shown, errno);
      }
      while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (g_stop.load()) return;
      if (rel.empty() && name == kControlDir) continue;
      const std::string child = rel.empty() ? name : rel + "/" + name;
      struct stat st {};
      if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      if (S_ISDIR(st.st_mode) && st.st_dev == fs.dev) walk(fs, child);
      else if (S_ISREG(st.st_mode)) file(fs, child);
    }
  }

  const MigrateArgs& args_;
  std::map<std::string, std::unique_ptr<FileSystemRun>> fileSystems_;
  std::unique_ptr<ProgressLine> progress_;
  uint64_t otherFailures_ = 0;
};

}  // namespace

bool parseMigrateArgs(int argc, char** argv, MigrateArgs& args, std::string& bad) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string up = upper(argv[i]);
    if (options && up == "--") {
      options = false;
    } else if (options && up[0] == '-') {
      if (up == "-DETAIL" || up == "-D") args.detail = true;
      else if (up == "-PREVIEW" || up == "-P") args.preview = true;
      else if (up == "-HELP" || up == "-H") args.help = true;
      else if (!isTraceOption(up)) {
        bad = argv[i];
        return false;
      }
    } else {
      args.paths.emplace_back(argv[i]);
    }
  }
  return true;
}

std::string absolutePath(const std::string& cwd, const std::string& path) {
  std::string full = path.empty() || path[0] != '/' ? cwd + "/" + path : path;
  std::string out;
  for (char c : full)
    if (!(c == '/' && !out.empty() && out.back() == '/')) out.push_back(c);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

int runMigrate(int argc, char** argv) {
  psSetThreadMode(1);
  MigundeleteEnv env = migundeleteEnv();
  migundeleteWireLayers(env);
  smInitOptFile(argc, argv, nullptr);
  smSysOptFile(1, nullptr);
  smGreetings();
  migundeleteWireHsmLayer(env, optionsP);
  if (getuid() != 0) {
    nlfprintf(stderr, kMsg9012, hsmWhoAmI());
    clExit(1);
  }
  MigrateArgs args;
  std::string bad;
  int status = 0;
  if (!parseMigrateArgs(argc, argv, args, bad)) {
    nlfprintf(stderr, kMsg1107, bad.c_str());
    status = 1;
  } else if (args.help || args.paths.empty()) {
    fprintf(stdout, "\n");
    nlfprintf(stdout, kMsg9800);
    status = args.help ? 0 : 1;
  } else {
    // A preview leaves no trace on the machine, as kmrmigundelete's.
    if (args.preview) errorLogFile.close();
    XDSMAPI* dmapi = XDSMAPI::getXDSMAPI();
    if (!dmapi->isInitialized()) dmapi->initService();
    if (dmapi->getSID() == 0 && dmapi->createSession(0, kName, 0) == 0) {
      int err = errno;
      trNlsLogPrintf(__FILE__, __LINE__, TR_SM, kMsg9531, kName, "DM_NO_SESSION", kName, strerror(err));
      clExit(1);
    }
    clSetStopHook(requestStop);
    {
      Run run(args);
      status = run.go();
    }
    clSetStopHook(nullptr);
    migundeleteUnwireHsmLayer();
    dmapi->destroySession(dmapi->getSID());
  }
  clEnterTeardown();
  delete optionsP;
  optionsP = nullptr;
  nlterm();
  trClose(true);
  return status;
}
