#include "frontend/migundelete.h"

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/cleanup.h"
#include "common/errorlog.h"
#include "common/interrupt.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/rc.h"
#include "common/showable.h"
#include "common/threads.h"
#include "common/trace.h"
#include "frontend/progress.h"
#include "frontend/wiring.h"
#include "hsmfs/fscheck.h"
#include "hsmfs/fstable.h"
#include "hsmfs/locks.h"
#include "hsmfs/xdsmapi.h"
#include "reconcile/facade.h"

namespace {
constexpr const char* kName = "Migundelete";
constexpr size_t kUpperBufferSize = 1279;
constexpr size_t kSignalThreadStack = 0x100000;
constexpr useconds_t kStopRetryMicros = 50000;

bool startsWithNoCase(const char* arg, const char* pattern) {
  return strncasecmp(arg, pattern, strlen(pattern)) == 0;
}

// Upper-cases 7-bit letters; longer arguments than the grammar's buffer are
// cut there (no keyword is that long, so the cut never makes one match).
std::string upperCopy(const char* arg) {
  std::string up(arg, strnlen(arg, kUpperBufferSize - 1));
  for (char& c : up)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return up;
}

bool isRootUser() { return getuid() == 0; }
}  // namespace

sigset_t& migundeleteSignalSet() {
  static sigset_t set;
  return set;
}

void psRemoveUnnecessaryDelimiters(char* path) {
  char* out = path;
  for (const char* in = path; *in != '\0'; ++in) {
    if (*in == '/' && out > path && out[-1] == '/') continue;
    *out++ = *in;
  }
  *out = '\0';
  size_t len = static_cast<size_t>(out - path);
  while (len > 1 && path[len - 1] == '/') path[--len] = '\0';
}

int interpreteMigundeleteArgs(int argc, char** argv, MigundeleteArgs& args,
                              const FsNameLookup& lookup) {
  if (argc < 2) return 1;
  bool detailSeen = false;
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter %i of %i = %s\n", kName, i, argc, arg);
    // Trace options were taken at start-up.
    if (startsWithNoCase(arg, "-tracefi") || startsWithNoCase(arg, "-tracefl") ||
        startsWithNoCase(arg, "-tracema"))
      continue;
    std::string up = upperCopy(arg);
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter to upper case = %s\n", kName, up.c_str());
    if (!detailSeen && (up == "-DETAIL" || up == "-D")) {
      detailSeen = true;
      args.detail = 1;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter detail\n", kName);
    } else if (up == "-EXPIRING" || up == "-E") {
      args.mode |= kModeExpiring;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter expiring\n", kName);
    } else if (up == "-RECOVER" || up == "-R") {
      args.mode |= kModeRecovery;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter desaster\n", kName);
    } else if (up == "-PREVIEW" || up == "-P") {
      args.preview = true;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter preview\n", kName);
    } else if (up == "-JSON" || up == "-J") {
      // The machine-readable preview; it never runs anything by itself.
      args.preview = args.json = true;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter json\n", kName);
    } else if (up == "-MKDIRS" || up == "-M") {
      args.makeDirs = true;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter mkdirs\n", kName);
    } else if (up.rfind("-SUBTREE=", 0) == 0 || up.rfind("-S=", 0) == 0) {
      args.subtreeGiven = true;
      args.subtree = strchr(arg, '=') + 1;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter subtree %s\n", kName, args.subtree.c_str());
    } else if (up == "-HELP" || up == "-H") {
      args.mode = (args.mode & ~0xFF) | kModeHelp;
      TRACE(TR_SMRECONCILEDETAIL, "(%s): Parameter help\n", kName);
      return 1;
    } else {
      psRemoveUnnecessaryDelimiters(arg);
      std::string entryName;
      if (!lookup(arg, &entryName)) return 0;
      args.fileSystem = entryName;
    }
  }
  return 1;
}

int resolveSubtree(const MigundeleteArgs& args, const FsNameList& managed, std::string* fileSystem,
                   AliasScope* scope) {
  if (!args.subtreeGiven) return 1;
  std::string path = args.subtree;
  psRemoveUnnecessaryDelimiters(path.data());
  path.resize(strlen(path.c_str()));
  std::string dirAlias;
  if (path.empty() || scopeFromPath("/", path, &dirAlias) != ScopeCheck::kInside) {
    nlfprintf(stderr, kMsg9708, hsmWhoAmI(), clShowable(args.subtree).c_str());
    return 0;
  }
  if (!fileSystem->empty()) {
    if (scopeFromPath(*fileSystem, path, &dirAlias) != ScopeCheck::kInside) {
      nlfprintf(stderr, kMsg9709, hsmWhoAmI(), clShowable(path).c_str(), fileSystem->c_str());
      return 0;
    }
    *scope = AliasScope(dirAlias);
    return 1;
  }
  // The deepest managed mount point above the directory holds it.
  std::string best;
  for (const std::string& fs : managed()) {
    std::string candidate;
    if (scopeFromPath(fs, path, &candidate) == ScopeCheck::kInside && fs.size() > best.size()) {
      best = fs;
      dirAlias = candidate;
    }
  }
  if (best.empty()) {
    nlfprintf(stderr, kMsg9710, hsmWhoAmI(), clShowable(path).c_str());
    return 0;
  }
  *fileSystem = best;
  *scope = AliasScope(dirAlias);
  return 1;
}

bool wantsJsonOutput(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (startsWithNoCase(argv[i], "-tracefi") || startsWithNoCase(argv[i], "-tracefl") ||
        startsWithNoCase(argv[i], "-tracema"))
      continue;
    std::string up = upperCopy(argv[i]);
    if (up == "-HELP" || up == "-H") return false;  // the grammar stops there
    if (up == "-JSON" || up == "-J") return true;
  }
  return false;
}

FILE* separateJsonOutput(int argc, char** argv) {
  if (!wantsJsonOutput(argc, argv)) return stdout;
  fflush(stdout);
  const int lines = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  FILE* out = lines >= 0 ? fdopen(lines, "w") : nullptr;
  if (out == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    // Without a second stream the lines share standard output as before.
    if (out != nullptr) fclose(out);
    else if (lines >= 0) close(lines);
    return stdout;
  }
  return out;
}

Migundelete::Migundelete(int argc, char** argv) {
  // Before anything prints: the banner already belongs on standard error.
  m_run.jsonOut = separateJsonOutput(argc, argv);
  psSetThreadMode(1);
  // The server layer plugs its connection set-up and session release into
  // the option start-up and the clean-up before they run.
  migundeleteWireLayers(m_env);
  smInitOptFile(argc, argv, nullptr);
  m_options = optionsP;
  smSysOptFile(1, nullptr);
  smGreetings();
  // The HSM attribute and state-file code reaches the file system through
  // the DMAPI access object, with this run's HSM option values.
  migundeleteWireHsmLayer(m_env, optionsP);

  if (!isRootUser()) {
    nlfprintf(stderr, kMsg9012, hsmWhoAmI());
    clExit(1);
  }

  int result = 0;
  XDSMAPI* dmapi = nullptr;
  if (interpreteCommandParameters(argc, argv) != 1) {
    TRACE(TR_SMRECONCILE, "(%s): interpreteCommandParameters() failed!\n", kName);
    result = -1;
  } else if (m_mode == kModeHelp) {
    processHelp();
  } else {
    // A preview leaves no trace on the machine: its messages go to the
    // terminal only, and the server conversation is not logged either.
    if (m_run.preview) errorLogFile.close();
    dmapi = XDSMAPI::getXDSMAPI();
    if (!dmapi->isInitialized()) dmapi->initService();
    if (dmapi->getSID() == 0 && dmapi->createSession(0, "migundelete", 0) == 0) {
      int err = errno;
      TRACE(TR_SMRECONCILE, "(%s): FAILURE -> createSession() does not work!\n", kName);
      trNlsLogPrintf(__FILE__, __LINE__, TR_SMRECONCILE, kMsg9531, "migundelete", "DM_NO_SESSION",
                     "kmrmigundelete", strerror(err));
      clExit(1);
    }
    if (!m_fileSystem.empty()) {
      TRACE(TR_SMRECONCILE, "(%s): File system '%s' was passed, check if it is valid\n", kName,
            m_fileSystem.c_str());
      if (isFileSystemValid(m_fileSystem.c_str()) == 1) result = startMigundelete();
    } else {
      TRACE(TR_SMRECONCILE, "(%s): No file system was passed, process all manged file systems\n",
            kName);
      managedFsTable table;
      HsmFsEntry entry;
      while (result == 0 && table.getEntry(entry, HsmFsTable::s_migOnOtherNode, 0) == 1) {
        TRACE(TR_SMRECONCILEDETAIL, "(%s): Checking File system '%s'!\n", kName,
              entry.m_fsName.c_str());
        if (isFileSystemValid(entry.m_fsName.c_str()) != 1) continue;
        m_fileSystem = entry.m_fsName;
        result = startMigundelete();
      }
    }
    migundeleteUnwireHsmLayer();
    dmapi->destroySession(dmapi->getSID());
  }

  // From here a signal ends the process at once instead of cleaning up what
  // this thread is taking down.
  clEnterTeardown();
  delete optionsP;
  optionsP = nullptr;
  m_options = nullptr;
  nlterm();
  trClose(true);
  if (m_run.jsonOut != stdout) fflush(m_run.jsonOut);
  if (result != 0 || m_incomplete) clExit(1);
}

Migundelete::~Migundelete() = default;

int Migundelete::interpreteCommandParameters(int argc, char** argv) {
  TREnterExit<char> ee(__FILE__, __LINE__, "Migundelete::interpreteCommandParameters()");
  MigundeleteArgs args;
  FsNameLookup lookup = [](const std::string& name, std::string* entryName) {
    HsmFsEntry entry;
    if (HsmFsTable::the().getFsEntry(name, entry, HsmFsTable::s_migOnOtherNode, 1, 0) == 0)
      return false;
    *entryName = entry.m_fsName;
    return true;
  };
  int rc = interpreteMigundeleteArgs(argc, argv, args, lookup);
  m_mode = args.mode;
  m_detail = args.detail;
  m_fileSystem = args.fileSystem;
  m_run.preview = args.preview;
  m_run.json = args.json;
  m_run.makeDirs = args.makeDirs;
  if (rc != 1 || m_mode == kModeHelp) return rc;
  FsNameList managed = [] {
    std::vector<std::string> names;
    managedFsTable table;
    HsmFsEntry entry;
    while (table.getEntry(entry, HsmFsTable::s_migOnOtherNode, 0) == 1) names.push_back(entry.m_fsName);
    return names;
  };
  return resolveSubtree(args, managed, &m_fileSystem, &m_run.scope);
}

void Migundelete::processHelp() {
  TREnterExit<char> ee(__FILE__, __LINE__, "Migundelete::processHelp()");
  fprintf(stdout, "\n");
  nlfprintf(stdout, kMsg9322);
  nlfprintf(stdout, kMsg9729);
}

int Migundelete::isFileSystemValid(const char* fs) {
  TREnterExit<char> ee(__FILE__, __LINE__, "Migundelete::isFileSystemValid()");
  char* mountPoint = nullptr;
  int rc = IsMigFsOK(fs, &mountPoint, FUNC_STATE_ALL);
  free(mountPoint);
  if (rc == RC_OK) {
    TRACE(TR_SMRECONCILE, "(%s): File system '%s' is valid!\n", kName, fs);
    return 1;
  }
  if (isFsAllowed(fs) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): File system '%s' is not supported!\n", kName, fs);
    nlfprintf(stderr, kMsg9098, hsmWhoAmI(), fs);
    return 0;
  }
  switch (rc) {
    case RC_FS_NOT_TARNVELD_ACTIVE: nlfprintf(stdout, kMsg9099, hsmWhoAmI(), fs); break;
    case RC_FS_NOT_MFS_MOUNTED: nlfprintf(stdout, kMsg9085, hsmWhoAmI(), fs); break;
    case RC_FS_NOT_A_MOUNT_POINT: nlfprintf(stdout, kMsg9148, hsmWhoAmI(), fs); break;
    case RC_FS_ERROR:
      nlfprintf(stdout, kMsg9126, hsmWhoAmI(), fs, "Error checking file system state");
      break;
    default: break;
  }
  TRACE(TR_SMRECONCILE, "(%s): File system '%s' is NOT valid!\n", kName, fs);
  return 0;
}

void Migundelete::setFacade(ReconcileLogicFacade* facade) {
  std::lock_guard<std::mutex> lock(m_facadeMutex);
  m_facade = facade;
}

int Migundelete::startMigundelete() {
  TREnterExit<char> ee(__FILE__, __LINE__, "Migundelete::startMigundelete()");
  const char* fs = m_fileSystem.c_str();
  int lockHandle = -1;
  // A preview changes nothing, the lock file included (taking the lock
  // writes this process's id into it); it may run beside a real run.
  int lockRc = m_run.preview ? 0 : serAcquireFSLock(fs, "/reconcile.pid", SER_SETLK, SER_LOCK_EXCL, &lockHandle);
  if (lockRc == 1) {
    TRACE(TR_SMRECONCILE, "(%s): A conflicting program is already running.\n", kName);
    nlfprintf(stderr, kMsg9291, hsmWhoAmI(), fs);
    return 0;
  }
  if (lockRc < 0) {
    nlfprintf(stderr, kMsg9292, hsmWhoAmI(), fs, ".Tarnveld", "/reconcile.pid", strerror(errno));
    return lockRc;
  }
  if (lockRc != 0) return lockRc;

  // A preview leaves no file behind, the reconcile log included.
  auto* facade = new ReconcileLogicFacade(m_env.reconcile, m_detail, m_fileSystem,
                                          m_run.preview ? std::string() : std::string(kReconcileLogPath));
  MigundeleteRunOptions run = m_run;
  std::unique_ptr<ProgressLine> progress;
  if (ProgressLine::wanted(m_detail, run.preview, STDERR_FILENO)) {
    progress = std::make_unique<ProgressLine>(stderr);
    run.observer = progress.get();
  }
  facade->setRunOptions(run);
  setFacade(facade);
  int result = 0;
  if (initSignalHandling() != 1) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Init signal handling failed for reconcile!\n", kName);
    result = RC_INTERNAL;
  } else {
    switch (m_mode) {
      case kModeExpiring: result = facade->processExpiringMigundeleteMode(); break;
      case kModeNormal: result = facade->processNormalMigundeleteMode(); break;
      case kModeRecovery: result = facade->processRecoveryMigundeleteMode(); break;
      case kModeExpiringRecovery: result = facade->processExpiringRecoveryMigundeleteMode(); break;
      default: result = 0; break;
    }
  }
  if (facade->status() != nullptr && facade->status()->incomplete()) m_incomplete = true;
  // The signal thread can no longer reach the facade once the pointer is
  // cleared under the lock it holds while it calls into the facade.
  setFacade(nullptr);
  delete facade;
  progress.reset();

  TRACE(TR_SMRECONCILE, "(%s): Migundelete finished with rc = %d!\n", kName, result);
  if (result == RC_STOPPED) {
    fprintf(stderr, "\n");
    nlfprintf(stderr, kMsg1074);
  } else if (result != 0) {
    fprintf(stderr, "\n");
    nlfprintf(stderr, kMsg9082, hsmWhoAmI(), fs);
  }
  if (!m_run.preview) serReleaseFSLock(fs, "/reconcile.pid", lockHandle);
  return result;
}

namespace {
// SIGINT and SIGTERM reach the shutdown thread through the process signal
// thread's stop hook: a post to this semaphore (async-signal-safe, never
// blocks) with the signal number beside it.
sem_t g_stopPosted;
std::atomic<int> g_stopSignal{0};

void postStop(int signal) {
  g_stopSignal.store(signal);
  sem_post(&g_stopPosted);
}
}  // namespace

int Migundelete::initSignalHandling() {
  TREnterExit<char> ee(__FILE__, __LINE__, "Migundelete::initSignalHandling()");
  if (m_signalThreadStarted == 1) return 1;
  sigset_t& set = migundeleteSignalSet();
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Normally blocked since start-up already; blocked here too so that the
  // run never takes them in this thread whatever start-up did.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (sem_init(&g_stopPosted, 0, 0) != 0) return 0;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kSignalThreadStack);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, kmrmigundeleteWaitSignal, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> starting signal waiting thread failed (rc = %d)!\n",
          kName, rc);
    return 0;
  }
  clSetStopHook(postStop);
  m_signalThreadStarted = 1;
  return 1;
}

void Migundelete::deliverStop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_facadeMutex);
      if (m_facade == nullptr) return;  // between runs: nothing to stop
      // The stop code first, then the end of all waits for the server: a
      // run whose server calls fail at once must already see the stop, or
      // it would race through its objects and report success.
      const bool handedOn = m_facade->stopReconcile() == 0;
      // Without a mode yet, the sign-on that comes before it must not wait
      // either.
      clRequestInterrupt();
      if (handedOn) return;
    }
    // No mode yet: give the run a moment to create it.
    usleep(kStopRetryMicros);
  }
}

void* kmrmigundeleteWaitSignal(void* migundelete) {
  auto* self = static_cast<Migundelete*>(migundelete);
  TRACE(TR_ENTER, "Awaiting shutdown signal [Thread %d]...\n", static_cast<int>(gettid()));
  for (;;) {
    int rc = sem_wait(&g_stopPosted) == 0 ? 0 : errno;
    TRACE(TR_THREAD, "(kmrmigundeleteWaitSignal): sigwait returned(%d), reason(%s)\n", rc,
          strerror(rc));
    if (rc == EINTR) continue;
    TRACE(TR_EXIT, "(kmrmigundeleteWaitSignal): Shutdown signal %d received [Thread %d]\n",
          g_stopSignal.load(), static_cast<int>(gettid()));
    self->deliverStop();
  }
  return nullptr;
}
