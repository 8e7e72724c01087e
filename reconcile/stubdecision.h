// What a run does with one migrated object: the single decision that both a
// run and a preview follow, so that a preview can never promise something
// the run would not do.
//
// Contract
// - decideStub() looks at the file system only (the stub's directory and
//   name, never through a link, and when the directory cannot be had, the
//   directories above it); it prints nothing and changes nothing.
// - Any thread may call it for its own objects.
#ifndef KMR_RECONCILE_STUBDECISION_H
#define KMR_RECONCILE_STUBDECISION_H

#include <string>

#include "reconcile/lostdirs.h"
#include "reconcile/stubfile.h"

class ZefServerMigratedObject;

// True when a stub may be made for `alias`: a path beneath the mount point
// (safeIsPathBelow) outside the control directory (safeIsInControlDir).
bool mayHoldStub(const std::string& alias);

enum class StubAction {
  kRecreate,           // nothing stands at the path: a stub is made
  kReplaceOlder,       // a file older than the server's copy is replaced
  kReplace,            // recovery: whatever file stands there is replaced
  kSkipPresent,        // a file as new as the server's copy or newer stays
  kSkipDirectory,      // a directory stands at the path and stays
  kSkipExpired,        // the server marks the object expired (no -EXPIRING)
  kRefuseAlias,        // the alias is not a path beneath the mount point
  kRefuseNoAttributes, // the record has no attributes or no object id
  kRefuseRecord,       // the record would make no plain file or no owner
                       // (refusedRecordMessage() says which); the run's
                       // recreation refuses it with that message
  kFailDirectory,      // recovery: a directory stands at the path; the stub
                       // cannot be made there and the object fails
};

struct StubRules {
  int expiring = 0;
  int recovery = 0;
};

struct StubDecision {
  StubAction action = StubAction::kRecreate;
  std::string path;    // mount point + alias
  ParentProbe parent;  // looked at for kRecreate only; kPresent otherwise
  int refusal = 0;     // kRefuseRecord: 9340 or 9341
  // True when the run goes on to make a stub for the object (which may
  // still fail, as it will for kFailDirectory).
  bool makesStub() const;
};

// `mountFd` is a directory descriptor of `mountPoint` (borrowed). `stub`
// is opened on the object's name and keeps what was seen there (for the
// rename of a run) whenever the stub's directory could be resolved; it is
// left unresolved otherwise. With `dirs`, the directory comes from that
// cache (a run's directory runs; see StubDirCache).
StubDecision decideStub(const std::string& mountPoint, int mountFd, ZefServerMigratedObject& obj,
                        const StubRules& rules, StubFile& stub, StubDirCache* dirs = nullptr);
// The same into *out, whose path buffer is reused (a run decides for each
// of its objects).
void decideStubInto(StubDecision* out, const std::string& mountPoint, int mountFd,
                    ZefServerMigratedObject& obj, const StubRules& rules, StubFile& stub,
                    StubDirCache* dirs = nullptr);

// The word scripts see for an action ("recreate", "replace-older",
// "replace", "skip-present", "skip-expired", "refuse").
const char* stubActionWord(StubAction action);

#endif
