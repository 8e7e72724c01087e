// The preview: the run's own decision for every object of the scope, told
// instead of carried out. No transaction is begun, no update is queued, no
// stub or directory is made and the scout hears nothing.
#include "reconcile/preview.h"

#include <sodium.h>

#include <cstring>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/showable.h"
#include "common/trace.h"
#include "reconcile/migundelete.h"
#include "reconcile/reconcilestatus.h"
#include "server/migobject.h"

namespace {

// Length of the UTF-8 sequence starting at s[i], 0 when it is not one.
size_t utf8Length(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  // Overlong forms and surrogates are not UTF-8 either.
  if (n == 2 && c < 0xC2) return 0;
  if (n == 3 && ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xED && byte(i + 1) >= 0xA0))) return 0;
  if (n == 4 && ((c == 0xF0 && byte(i + 1) < 0x90) || c > 0xF4 || (c == 0xF4 && byte(i + 1) >= 0x90)))
    return 0;
  return n;
}

bool isUtf8(const std::string& s) {
  for (size_t i = 0, n; i < s.size(); i += n)
    if ((n = utf8Length(s, i)) == 0) return false;
  return true;
}

}  // namespace

std::string jsonField(const char* key, const std::string& value) {
  std::string field = std::string("\"") + key + "\":" + jsonQuoted(value);
  if (isUtf8(value)) return field;
  // The quoted text cannot tell a stray byte from the character of the
  // same number; the bytes themselves travel beside it.
  std::string b64(sodium_base64_ENCODED_LEN(value.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(b64.data(), b64.size(), reinterpret_cast<const unsigned char*>(value.data()),
                    value.size(), sodium_base64_VARIANT_ORIGINAL);
  b64.resize(strlen(b64.c_str()));
  return field + ",\"" + key + "_base64\":\"" + b64 + "\"";
}

std::string jsonQuoted(const std::string& text) {
  std::string out = "\"";
  char buf[8];
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = utf8Length(text, i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || n == 0) {
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.append(text, i, n);
      i += n;
      continue;
    }
    ++i;
  }
  return out + "\"";
}

PreviewReport::PreviewReport(FILE* out, bool json, const std::string& fileSystem,
                             const AliasScope& scope, bool makeDirs, int mountFd)
    : m_out(out), m_json(json), m_fileSystem(fileSystem), m_scope(scope), m_makeDirs(makeDirs),
      m_mountFd(mountFd) {}

void PreviewReport::heading() {
  if (m_json) return;
  if (m_scope.wholeFileSystem())
    nlfprintf(m_out, kMsg9711, m_fileSystem.c_str());
  else
    nlfprintf(m_out, kMsg9712, clShowable(m_scope.alias()).c_str(), m_fileSystem.c_str());
}

const char* PreviewReport::reason(const StubDecision& d) const {
  switch (d.action) {
    case StubAction::kRefuseAlias: return "invalid-path";
    case StubAction::kRefuseNoAttributes: return "no-attributes";
    case StubAction::kRefuseRecord: return d.refusal == kMsg9340 ? "not-a-regular-file" : "invalid-owner";
    case StubAction::kFailDirectory: return "directory-at-path";
    case StubAction::kRecreate: break;
    default: return "";
  }
  switch (d.parent.state) {
    case ParentState::kPresent: return "";
    case ParentState::kMissing: return m_makeDirs ? "" : "missing-directory";
    case ParentState::kNotDirectory: return "not-a-directory";
    case ParentState::kSymlink: return "symbolic-link";
    case ParentState::kOtherMount: return "other-mount";
    case ParentState::kError: return "lookup-error";
  }
  return "";
}

void PreviewReport::object(const std::string& alias, const StubDecision& d, uint32_t uid, uint32_t gid) {
  count(alias, d, uid, gid);
  if (m_json)
    json(alias, d);
  else
    text(d);
}

void PreviewReport::planDirectories(const std::string& alias, const StubDecision& d, uint32_t uid,
                                    uint32_t gid) {
  const std::string& first = d.parent.component;
  auto top = m_directories.find(first);
  if (top == m_directories.end()) {
    top = m_directories.emplace(first, Planned{}).first;
    if (m_mountFd < 0 || modelOfMissingDirectory(m_mountFd, first, &top->second.model) != 0)
      top->second.model.st_mode = S_IFDIR | 0755;  // as mkdir would; nothing better is known
  }
  // Each directory made below the first is a copy of the same model.
  const bool recreated = m_makeDirs && *reason(d) == '\0';
  const std::string parent = alias.substr(0, alias.rfind('/'));
  for (size_t at = first.size();; at = parent.find('/', at + 1)) {
    if (at == std::string::npos) at = parent.size();
    Planned& p = m_directories.try_emplace(parent.substr(0, at), Planned{top->second.model, {}}).first->second;
    if (recreated) p.vote.add(uid, gid);
    if (at >= parent.size()) break;
  }
}

void PreviewReport::count(const std::string& alias, const StubDecision& d, uint32_t uid, uint32_t gid) {
  ++m_objects;
  if (d.action == StubAction::kRecreate && d.parent.state == ParentState::kMissing)
    planDirectories(alias, d, uid, gid);
  if (*reason(d) != '\0') {
    ++m_refuse;
    return;
  }
  switch (d.action) {
    case StubAction::kRecreate: ++m_recreate; break;
    case StubAction::kReplaceOlder:
    case StubAction::kReplace: ++m_replace; break;
    case StubAction::kSkipPresent:
    case StubAction::kSkipDirectory: ++m_present; break;
    case StubAction::kSkipExpired: ++m_expired; break;
    default: break;
  }
}

void PreviewReport::text(const StubDecision& d) {
  // Names from the server are shown with their control characters escaped.
  const std::string shown = clShowable(d.path);
  const char* path = shown.c_str();
  const std::string where = clShowable(m_fileSystem + d.parent.component);
  switch (d.action) {
    case StubAction::kReplaceOlder: nlfprintf(m_out, kMsg9715, path); return;
    case StubAction::kReplace: nlfprintf(m_out, kMsg9716, path); return;
    case StubAction::kSkipPresent: nlfprintf(m_out, kMsg9717, path); return;
    case StubAction::kSkipDirectory: nlfprintf(m_out, kMsg9718, path); return;
    case StubAction::kSkipExpired: nlfprintf(m_out, kMsg9719, path); return;
    case StubAction::kRefuseAlias: nlfprintf(m_out, kMsg9720, path); return;
    case StubAction::kRefuseNoAttributes: nlfprintf(m_out, kMsg9721, path); return;
    case StubAction::kRefuseRecord: nlfprintf(m_out, d.refusal == kMsg9340 ? kMsg9731 : kMsg9732, path); return;
    case StubAction::kFailDirectory: nlfprintf(m_out, kMsg9722, path); return;
    case StubAction::kRecreate: break;
  }
  switch (d.parent.state) {
    case ParentState::kPresent: nlfprintf(m_out, kMsg9713, path); break;
    case ParentState::kMissing:
      nlfprintf(m_out, m_makeDirs ? kMsg9714 : kMsg9723, path, where.c_str());
      break;
    case ParentState::kNotDirectory: nlfprintf(m_out, kMsg9724, path, where.c_str()); break;
    case ParentState::kSymlink: nlfprintf(m_out, kMsg9725, path, where.c_str()); break;
    case ParentState::kOtherMount: nlfprintf(m_out, kMsg9726, path, where.c_str()); break;
    case ParentState::kError:
      nlfprintf(m_out, kMsg9727, path, where.c_str(), d.parent.err, strerror(d.parent.err));
      break;
  }
}

void PreviewReport::json(const std::string& alias, const StubDecision& d) {
  const char* why = reason(d);
  std::string line = "{\"type\":\"object\"," + jsonField("alias", alias) + "," +
                     jsonField("path", d.path) + ",\"action\":\"" +
                     (*why != '\0' ? "refuse" : stubActionWord(d.action)) + "\"";
  if (*why != '\0') line += ",\"reason\":\"" + std::string(why) + "\"";
  bool namesDirectory = d.action == StubAction::kRecreate && d.parent.state != ParentState::kPresent;
  if (namesDirectory) line += "," + jsonField("directory", d.parent.component);
  if (namesDirectory && d.parent.state == ParentState::kError)
    line += ",\"errno\":" + std::to_string(d.parent.err);
  line += "}\n";
  fputs(line.c_str(), m_out);
}

void PreviewReport::directories() {
  for (const auto& [alias, planned] : m_directories) {
    const struct stat st = planned.vote.decide(planned.model);
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const unsigned uid = st.st_uid, gid = st.st_gid;
    if (!m_json) {
      nlfprintf(m_out, kMsg9737, clShowable(m_fileSystem + alias).c_str(), uid, gid, mode);
      continue;
    }
    std::string line = "{\"type\":\"directory\"," + jsonField("alias", alias) + "," +
                       jsonField("path", m_fileSystem + alias) + ",\"uid\":" + std::to_string(uid) +
                       ",\"gid\":" + std::to_string(gid) + ",\"mode\":\"" + mode + "\"}\n";
    fputs(line.c_str(), m_out);
  }
}

void PreviewReport::totals() {
  auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  if (m_makeDirs) directories();
  if (!m_json) {
    nlfprintf(m_out, kMsg9728, n(m_objects), n(m_recreate), n(m_replace), n(m_present), n(m_expired),
              n(m_refuse), n(m_directories.size()));
  } else {
    std::string line = "{\"type\":\"totals\"," + jsonField("file_system", m_fileSystem) + "," +
                       jsonField("subtree", m_scope.alias()) +
                       ",\"objects\":" + std::to_string(m_objects) +
                       ",\"recreate\":" + std::to_string(m_recreate) +
                       ",\"replace\":" + std::to_string(m_replace) +
                       ",\"skip_present\":" + std::to_string(m_present) +
                       ",\"skip_expired\":" + std::to_string(m_expired) +
                       ",\"refuse\":" + std::to_string(m_refuse) +
                       ",\"missing_directories\":" + std::to_string(m_directories.size()) + "}\n";
    fputs(line.c_str(), m_out);
  }
  fflush(m_out);
}

int ReconcileModeMigUndelete::previewReconcilation() {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileModeMigUndelete::previewReconcilation");
  PreviewReport report(m_run.json ? m_run.jsonOut : stdout, m_run.json, m_fileSystem, m_run.scope,
                       m_run.makeDirs, m_mountFd.get());
  report.heading();
  fflush(stdout);
  // Only the query: a preview opens no transaction, so there is nothing the
  // server could be asked to change.
  // A file system the server has never seen: nothing to show, and a
  // preview registers nothing.
  if (!m_server->fileSpaceKnown()) {
    nlfprintf(stdout, kMsg9733, m_fileSystem.c_str());
    fflush(stdout);
  }
  int rc = m_server->getAllMigrObjectsFromServer(0);
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(previewReconcilation): getAllMigrObjectsFromServer() rc = %d\n", rc);
    return rc;
  }
  int result = forEachObject([&](std::unique_ptr<cQueueBaseObject>, ZefServerMigratedObject* obj) {
    ++m_status->m_processedCount;
    // The name is only looked at: nothing is made, so nothing is put in place.
    StubFile looked;
    const Attrib* attr = obj->getAttributes();
    report.object(obj->getAlias(), decideStub(m_fileSystem, m_mountFd.get(), *obj, rules(), looked),
                  attr != nullptr ? attr->uid : 0, attr != nullptr ? attr->gid : 0);
  });
  // Without an open transaction this only ends the query thread.
  rc = m_server->stopTransaction();
  if (rc != 0) reconcileProcessError(rc, __FILE__, __LINE__);
  if (result == 0) {
    report.totals();
    reportEmptyScope();
  }
  return result;
}
