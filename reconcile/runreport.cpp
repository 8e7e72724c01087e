// The end of a recreating run as people and the reconcile log see it: the
// directories made, the objects that waited in vain for a lost directory,
// and one line of counts.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/showable.h"
#include "reconcile/migundelete.h"
#include "reconcile/reconcilestatus.h"

namespace {
unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }
}  // namespace

bool ReconcileModeMigUndelete::isLostDirectory(const StubDecision& decision) {
  return decision.action == StubAction::kRecreate && decision.parent.state == ParentState::kMissing;
}

void ReconcileModeMigUndelete::reportLostDirectories() {
  for (const auto& [dir, count] : m_lostDirectories) {
    const std::string path = clShowable(m_fileSystem + dir);
    nlfprintf(stderr, kMsg9734, ull(count), path.c_str());
    logMessage(kMsg9734, ull(count), path.c_str());
  }
  m_lostDirectories.clear();
}

void ReconcileModeMigUndelete::reportMadeDirectories() {
  m_madeDirs.finish(m_mountFd.get(), [this](const std::string& dir, const struct stat& st) {
    const std::string path = clShowable(m_fileSystem + dir);
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const unsigned uid = st.st_uid, gid = st.st_gid;
    nlfprintf(stdout, kMsg9736, path.c_str(), uid, gid, mode);
    logMessage(kMsg9736, path.c_str(), uid, gid, mode);
  });
}

void ReconcileModeMigUndelete::reportEmptyScope() {
  if (m_run.scope.wholeFileSystem() || m_status->m_processedCount != 0) return;
  const std::string scope = clShowable(m_fileSystem + m_run.scope.alias());
  if (m_nearest.best().empty())
    nlfprintf(stderr, kMsg9738, scope.c_str(), m_fileSystem.c_str());
  else
    nlfprintf(stderr, kMsg9739, scope.c_str(), m_fileSystem.c_str(), clShowable(m_fileSystem + m_nearest.best()).c_str());
}

void ReconcileModeMigUndelete::reportSummary() {
  const RunSummary& s = m_status->m_summary;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - m_started);
  const std::string scope =
      clShowable(m_run.scope.wholeFileSystem() ? m_fileSystem : m_fileSystem + m_run.scope.alias());
  nlfprintf(stdout, kMsg9735, scope.c_str(), ull(s.recreated), ull(s.replaced), ull(s.skipped),
            ull(s.refused), ull(s.failed), ull(s.directoriesMade), ull(seconds.count()));
  fflush(stdout);
  logMessage(kMsg9735, scope.c_str(), ull(s.recreated), ull(s.replaced), ull(s.skipped), ull(s.refused),
             ull(s.failed), ull(s.directoriesMade), ull(seconds.count()));
}

void ReconcileModeMigUndelete::logMessage(int number, ...) {
  if (!m_status->isLogOpen()) return;
  char* text = nullptr;
  va_list args;
  va_start(args, number);
  nlvsprintf(&text, number, args);
  va_end(args);
  if (text == nullptr) return;
  // The log writes its own line end after the date, time and file system.
  size_t len = strlen(text);
  while (len > 0 && text[len - 1] == '\n') text[--len] = '\0';
  if (std::vector<std::string>* held = work().heldLog)
    held->emplace_back(text, len);
  else
    m_status->ReconcileLogMsg(text, "");
  free(text);
}
