// What a migundelete run does beyond the classic command: preview only,
// one subtree, missing directories, and who watches the run go by.
//
// Contract
// - The default values are the classic command: a full run over the whole
//   file system that makes no directory and tells no observer.
// - The observer is borrowed; it is called on the run's (main) thread, after
//   every object of the scope and once when the run ends.
#ifndef KMR_RECONCILE_RUNOPTIONS_H
#define KMR_RECONCILE_RUNOPTIONS_H

#include <cstdint>
#include <cstdio>

#include "reconcile/subtree.h"

// The run so far. `failed` counts objects the run meant to bring back and did
// not (refused records, failed stubs and directories, rejected updates).
struct RunTally {
  uint64_t processed = 0;
  uint64_t recreated = 0;
  uint64_t failed = 0;
};

class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void objectDone(const RunTally& tally) = 0;
  virtual void runEnded(const RunTally& tally) = 0;
};

struct MigundeleteRunOptions {
  bool preview = false;   // decide and report every object, change nothing
  bool json = false;      // the preview as one JSON object per line
  FILE* jsonOut = stdout; // where those lines go (borrowed)
  bool makeDirs = false;  // make missing directories above a stub
  AliasScope scope;       // the objects looked at
  RunObserver* observer = nullptr;
};

#endif
