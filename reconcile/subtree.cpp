#include "reconcile/subtree.h"

#include <algorithm>

#include "common/safepath.h"

namespace {

std::vector<std::string> components(const std::string& alias) {
  std::vector<std::string> out;
  for (size_t start = 1; start <= alias.size();) {
    size_t slash = alias.find('/', start);
    if (slash == std::string::npos) slash = alias.size();
    if (slash > start) out.push_back(alias.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

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
  if (!safeIsPathBelow(path)) return ScopeCheck::kInvalid;
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

NearestPath::NearestPath(const AliasScope& scope) : m_want(components(scope.alias())) {}

void NearestPath::offer(const std::string& alias) {
  const std::vector<std::string> have = components(alias);
  size_t common = 0;
  while (common < have.size() && common < m_want.size() && have[common] == m_want[common]) ++common;
  if (!m_best.empty() && common < m_common) return;
  const std::string& next = common < have.size() ? have[common] : std::string();
  const size_t distance = editDistance(common < m_want.size() ? m_want[common] : std::string(), next);
  if (!m_best.empty() && common == m_common && distance >= m_distance) return;
  m_best.clear();
  for (size_t i = 0; i < common + (next.empty() ? 0 : 1); ++i) m_best += "/" + have[i];
  if (m_best.empty()) m_best = "/";
  m_common = common;
  m_distance = distance;
}
