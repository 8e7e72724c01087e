// Migundelete: one invocation of kmrmigundelete, from start-up to exit.
//
// Contract
// - The constructor does the whole run. It returns only when the final
//   result is 0 and every file system's run was complete (every stub made,
//   every update committed); otherwise it ends the process with exit(1). Start-up
//   failures end it with status 255 through the process clean-up.
// - Main thread only, except kmrmigundeleteWaitSignal, which runs on the
//   detached shutdown signal thread and touches nothing but the facade
//   pointer, under m_facadeMutex.
#ifndef KMR_FRONTEND_MIGUNDELETE_H
#define KMR_FRONTEND_MIGUNDELETE_H

#include <signal.h>

#include <cstdio>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "frontend/wiring.h"
#include "reconcile/runoptions.h"

struct clientOptions;
class ReconcileLogicFacade;

inline constexpr int kModeNormal = 0;
inline constexpr int kModeExpiring = 1;
inline constexpr int kModeHelp = 2;
inline constexpr int kModeRecovery = 4;
inline constexpr int kModeExpiringRecovery = 5;

// The command line as the grammar leaves it.
struct MigundeleteArgs {
  int mode = kModeNormal;
  int detail = 0;
  std::string fileSystem;  // the table entry's name; empty: all file systems
  bool preview = false;    // -PREVIEW, or -JSON
  bool json = false;       // -JSON
  bool makeDirs = false;   // -MKDIRS
  bool subtreeGiven = false;
  std::string subtree;     // -SUBTREE=<directory>, as typed after the '='
};

// Looks a file system name up in the managed table. Returns true and the
// entry's name, or false after printing the table's own message.
using FsNameLookup = std::function<bool(const std::string& name, std::string* entryName)>;

// The command line grammar. Returns 1 accepted, 0 rejected. `args` holds
// what the arguments before a rejection or before -HELP set.
int interpreteMigundeleteArgs(int argc, char** argv, MigundeleteArgs& args,
                              const FsNameLookup& lookup);

// The managed file systems' names (mount points), for a subtree given without
// a file system.
using FsNameList = std::function<std::vector<std::string>()>;

// Turns the -SUBTREE directory into the scope of the run and, when no file
// system was named, the file system that holds it (the deepest mount point
// above it). Returns 1, or 0 after message 9708, 9709 or 9710.
int resolveSubtree(const MigundeleteArgs& args, const FsNameList& managed, std::string* fileSystem,
                   AliasScope* scope);

// Whether the command line asks for -JSON (before any -HELP, which ends the
// grammar). Looked at before start-up prints anything.
bool wantsJsonOutput(int argc, char** argv);
// With -JSON, standard output carries the JSON lines and nothing else: they
// get a stream of their own on the original descriptor 1, and descriptor 1
// becomes a copy of standard error, so the banner and every message, whoever
// prints it, stays off the pipe. Returns that stream (owned by the process),
// or stdout without -JSON or when no second descriptor can be had.
FILE* separateJsonOutput(int argc, char** argv);

// Removes doubled and trailing path delimiters in place ("/a//b/" -> "/a/b").
void psRemoveUnnecessaryDelimiters(char* path);

class Migundelete {
 public:
  Migundelete(int argc, char** argv);
  virtual ~Migundelete();
  Migundelete(const Migundelete&) = delete;
  Migundelete& operator=(const Migundelete&) = delete;

  int interpreteCommandParameters(int argc, char** argv);
  void processHelp();
  int isFileSystemValid(const char* fs);
  int startMigundelete();
  int initSignalHandling();

  // The signal thread's step for one signal: hands the stop to the running
  // facade, retrying while it has no mode yet. Returns when the stop was
  // handed on or no run is in progress.
  void deliverStop();

 private:
  void setFacade(ReconcileLogicFacade* facade);

  // The layers' seams, built before anything else runs (wiring.h).
  MigundeleteEnv m_env = migundeleteEnv();
  int m_mode = 0;
  std::string m_fileSystem;
  int m_detail = 0;
  MigundeleteRunOptions m_run;  // preview, subtree, directories
  bool m_incomplete = false;  // a run left recreations or updates undone
  clientOptions* m_options = nullptr;
  ReconcileLogicFacade* m_facade = nullptr;  // guarded by m_facadeMutex
  int m_signalThreadStarted = 0;
  std::mutex m_facadeMutex;
};

// The shutdown signal thread. Never returns.
void* kmrmigundeleteWaitSignal(void* migundelete);

// SIGINT and SIGTERM: the signals the shutdown thread waits for.
sigset_t& migundeleteSignalSet();

#endif
