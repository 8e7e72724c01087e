#include "reconcile/stubdecision.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "common/safepath.h"
#include "hsmfs/hsmattr.h"
#include "reconcile/migundelete.h"
#include "server/migobject.h"

namespace {

bool hasWhatAStubNeeds(ZefServerMigratedObject& obj) {
  return obj.getAttributes() != nullptr && obj.getExtObjID() != nullptr;
}

// What stands at the name decides, the record permitting.
StubAction actionForExisting(const StubEntry& seen, ZefServerMigratedObject& obj,
                             const StubRules& rules) {
  if (rules.recovery != 0) return seen.directory ? StubAction::kFailDirectory : StubAction::kReplace;
  if (seen.directory) return StubAction::kSkipDirectory;
  const Attrib* attr = obj.getAttributes();
  if (attr == nullptr) return StubAction::kRefuseNoAttributes;
  // The record's 32-bit times are seconds since 1970 without a sign.
  if (static_cast<int64_t>(attr->mtime) <= static_cast<int64_t>(seen.mtime.tv_sec))
    return StubAction::kSkipPresent;
  return StubAction::kReplaceOlder;
}

}  // namespace

bool mayHoldStub(const std::string& alias) { return safeIsPathBelow(alias) && !safeIsInControlDir(alias); }

bool StubDecision::makesStub() const {
  switch (action) {
    case StubAction::kRecreate:
    case StubAction::kReplaceOlder:
    case StubAction::kReplace:
    case StubAction::kRefuseRecord:
    case StubAction::kFailDirectory: return true;
    default: return false;
  }
}

void decideStubInto(StubDecision* out, const std::string& mountPoint, int mountFd,
                    ZefServerMigratedObject& obj, const StubRules& rules, StubFile& stub,
                    StubDirCache* dirs) {
  // Start from a fresh decision but keep the path's buffer.
  std::string path = std::move(out->path);
  StubDecision& d = *out = StubDecision{};
  const std::string& alias = obj.getAlias();
  d.path = std::move(path);
  d.path.assign(mountPoint).append(alias);
  if (obj.getAttributes() != nullptr && obj.isObjectExpired() && rules.expiring != 1) {
    d.action = StubAction::kSkipExpired;
    return;
  }
  if (!mayHoldStub(alias)) {
    d.action = StubAction::kRefuseAlias;
    return;
  }
  if (obj.getExtObjID() == nullptr) {
    d.action = StubAction::kRefuseNoAttributes;
    return;
  }
  int saved = errno;
  StubEntry seen;
  bool looked = stub.open(mountPoint, alias, obj.getExtObjIDString(), dirs) == 0 &&
                stub.look(&seen) == 0;
  errno = saved;
  if (looked && seen.present) {
    d.action = actionForExisting(seen, obj, rules);
  } else {
    d.action = StubAction::kRecreate;
    if (!looked) d.parent = probeParent(mountFd, alias);
  }
  bool makes = d.action == StubAction::kRecreate || d.action == StubAction::kReplaceOlder ||
               d.action == StubAction::kReplace;
  if (makes && !hasWhatAStubNeeds(obj)) {
    d.action = StubAction::kRefuseNoAttributes;
  } else if (makes && (d.refusal = refusedRecordMessage(*obj.getAttributes())) != 0) {
    d.action = StubAction::kRefuseRecord;
  }
}

StubDecision decideStub(const std::string& mountPoint, int mountFd, ZefServerMigratedObject& obj,
                        const StubRules& rules, StubFile& stub, StubDirCache* dirs) {
  StubDecision d;
  decideStubInto(&d, mountPoint, mountFd, obj, rules, stub, dirs);
  return d;
}

const char* stubActionWord(StubAction action) {
  switch (action) {
    case StubAction::kRecreate: return "recreate";
    case StubAction::kReplaceOlder: return "replace-older";
    case StubAction::kReplace: return "replace";
    case StubAction::kSkipPresent:
    case StubAction::kSkipDirectory: return "skip-present";
    case StubAction::kSkipExpired: return "skip-expired";
    case StubAction::kRefuseAlias:
    case StubAction::kRefuseNoAttributes:
    case StubAction::kRefuseRecord:
    case StubAction::kFailDirectory: return "refuse";
  }
  return "refuse";
}
