// One directory of a file system that a run or a preview is limited to.
//
// Contract
// - A default scope is the whole file system and contains every alias.
// - scopeFromPath() checks an administrator's path the way an alias from
//   the server is checked; it prints nothing.
// - Values; any thread.
#ifndef KMR_RECONCILE_SUBTREE_H
#define KMR_RECONCILE_SUBTREE_H

#include <cstddef>
#include <string>
#include <vector>

class AliasScope {
 public:
  AliasScope() = default;
  // `dirAlias` is "/" for the whole file system or an acceptable alias.
  explicit AliasScope(std::string dirAlias);

  // True when `alias` is the directory itself or lies below it.
  bool contains(const std::string& alias) const;
  bool wholeFileSystem() const { return m_dir.empty(); }
  // The directory as an alias ("/" for the whole file system).
  std::string alias() const { return m_dir.empty() ? std::string("/") : m_dir; }

 private:
  std::string m_dir;  // empty: the whole file system
};

enum class ScopeCheck {
  kInside,     // the path is the mount point or lies below it
  kInvalid,    // not absolute, or an empty, "." or ".." component
  kOutside,    // a valid path that is not below the mount point
};

// Checks `path` (absolute, doubled and trailing "/" already removed) against
// `mountPoint`; on kInside stores the path's alias in *dirAlias ("/" for the
// mount point itself).
ScopeCheck scopeFromPath(const std::string& mountPoint, const std::string& path,
                         std::string* dirAlias);

// The path of the server's objects nearest to a scope that holds none of
// them: of the aliases offered, the one sharing the most leading components
// with the scope, and among those the one whose next component is the
// closest by edit distance to the scope's (a typo); the first such wins. The
// path is the shared components plus that next one, which is something
// -SUBTREE could have named. Keeps one path, whatever the number offered.
class NearestPath {
 public:
  NearestPath() = default;
  explicit NearestPath(const AliasScope& scope);
  void offer(const std::string& alias);
  // An alias; empty when nothing was offered.
  const std::string& best() const { return m_best; }

 private:
  std::vector<std::string> m_want;  // the scope's components
  std::string m_best;
  size_t m_common = 0, m_distance = 0;
};

#endif
