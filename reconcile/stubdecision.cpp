#include "reconcile/stubdecision.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "platform/orca/orca.h"
#include "reconcile/stubfile.h"
#include "server/migobject.h"

namespace {

bool aliasAcceptable(const std::string& alias) {
  return !alias.empty() && alias != "/" && alias[0] == '/' && isAcceptableAlias(alias);
}

bool hasWhatAStubNeeds(ZefServerMigratedObject& obj) {
  return obj.getAttributes() != nullptr && obj.getExtObjID() != nullptr;
}

// What stands at the path decides, object attributes permitting.
StubAction actionForExisting(const struct stat64& st, ZefServerMigratedObject& obj,
                             const StubRules& rules) {
  bool directory = (st.st_mode & S_IFMT) == S_IFDIR;
  if (rules.recovery != 0) {
    if (!hasWhatAStubNeeds(obj)) return StubAction::kRefuseNoAttributes;
    return directory ? StubAction::kFailDirectory : StubAction::kReplace;
  }
  if (directory) return StubAction::kSkipDirectory;
  const Attrib* attr = obj.getAttributes();
  if (attr == nullptr) return StubAction::kRefuseNoAttributes;
  // Times compare as the server keeps them: signed 32-bit seconds.
  if (static_cast<int32_t>(attr->mtime) <= static_cast<int32_t>(st.st_mtime))
    return StubAction::kSkipPresent;
  return hasWhatAStubNeeds(obj) ? StubAction::kReplaceOlder : StubAction::kRefuseNoAttributes;
}

}  // namespace

bool StubDecision::makesStub() const {
  switch (action) {
    case StubAction::kRecreate:
    case StubAction::kReplaceOlder:
    case StubAction::kReplace:
    case StubAction::kFailDirectory: return true;
    default: return false;
  }
}

StubDecision decideStub(const std::string& mountPoint, int mountFd, ZefServerMigratedObject& obj,
                        const StubRules& rules) {
  StubDecision d;
  const std::string& alias = obj.getAlias();
  d.path = mountPoint + alias;
  if (obj.getAttributes() != nullptr && obj.isObjectExpired() && rules.expiring != 1) {
    d.action = StubAction::kSkipExpired;
    return d;
  }
  if (!aliasAcceptable(alias)) {
    d.action = StubAction::kRefuseAlias;
    return d;
  }
  int saved = errno;
  struct stat64 st {};
  bool present = orca_stat(d.path.c_str(), &st) == 0;
  errno = saved;
  if (present) {
    d.action = actionForExisting(st, obj, rules);
    return d;
  }
  if (!hasWhatAStubNeeds(obj)) {
    d.action = StubAction::kRefuseNoAttributes;
    return d;
  }
  d.action = StubAction::kRecreate;
  d.parent = probeParent(mountFd, alias);
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
    case StubAction::kFailDirectory: return "refuse";
  }
  return "refuse";
}
