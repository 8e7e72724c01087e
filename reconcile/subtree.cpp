#include "reconcile/subtree.h"

#include "reconcile/stubfile.h"

AliasScope::AliasScope(std::string dirAlias) : m_dir(dirAlias == "/" ? std::string() : std::move(dirAlias)) {}

bool AliasScope::contains(const std::string& alias) const {
  if (m_dir.empty()) return true;
  if (alias.size() < m_dir.size() || alias.compare(0, m_dir.size(), m_dir) != 0) return false;
  return alias.size() == m_dir.size() || alias[m_dir.size()] == '/';
}

ScopeCheck scopeFromPath(const std::string& mountPoint, const std::string& path,
                         std::string* dirAlias) {
  if (path == "/") {
    if (mountPoint != "/") return ScopeCheck::kOutside;
    *dirAlias = "/";
    return ScopeCheck::kInside;
  }
  if (!isAcceptableAlias(path)) return ScopeCheck::kInvalid;
  if (path == mountPoint) {
    *dirAlias = "/";
    return ScopeCheck::kInside;
  }
  if (mountPoint == "/") {
    *dirAlias = path;
    return ScopeCheck::kInside;
  }
  bool below = path.size() > mountPoint.size() + 1 &&
               path.compare(0, mountPoint.size(), mountPoint) == 0 && path[mountPoint.size()] == '/';
  if (!below) return ScopeCheck::kOutside;
  *dirAlias = path.substr(mountPoint.size());
  return ScopeCheck::kInside;
}
