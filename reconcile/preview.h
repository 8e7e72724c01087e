// The report of a preview: per object what a run with the same options would
// do, then the totals, as numbered messages or as one JSON object per line
// (the line format is in docs/protocol.md).
//
// Contract
// - Writes to the stream it is given, nothing else; never to the error log
//   (every text is an informational message).
// - One report per preview, on the run's thread.
#ifndef KMR_RECONCILE_PREVIEW_H
#define KMR_RECONCILE_PREVIEW_H

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "reconcile/stubdecision.h"
#include "reconcile/subtree.h"

class PreviewReport {
 public:
  PreviewReport(FILE* out, bool json, const std::string& fileSystem, const AliasScope& scope,
                bool makeDirs);

  // The heading of the text form (the JSON form has none).
  void heading();
  void object(const std::string& alias, const StubDecision& decision);
  void totals();

 private:
  // The reason of a refusal or failure ("" when the run would do its job).
  const char* reason(const StubDecision& decision) const;
  void text(const StubDecision& decision);
  void json(const std::string& alias, const StubDecision& decision);
  void count(const std::string& alias, const StubDecision& decision);

  FILE* m_out;
  bool m_json;
  std::string m_fileSystem;
  AliasScope m_scope;
  bool m_makeDirs;
  uint64_t m_objects = 0, m_recreate = 0, m_replace = 0, m_present = 0, m_expired = 0,
           m_refuse = 0;
  // Directories a run would make: as many as an rm -rf took, not one per
  // object, so the set stays small next to the stream of objects.
  std::set<std::string> m_directories;
};

// `text` as a JSON string with its quotes. Bytes that are not valid UTF-8
// come out as \u00XX of the byte (see docs/protocol.md).
std::string jsonQuoted(const std::string& text);
// `"key":"value"`; when the value is not valid UTF-8, followed by
// `,"key_base64":"..."` with its bytes in base64, so they can be had back.
std::string jsonField(const char* key, const std::string& value);

#endif
