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

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "reconcile/lostdirs.h"
#include "reconcile/stubdecision.h"
#include "reconcile/subtree.h"

class PreviewReport {
 public:
  // `mountFd` (borrowed): where the directories -MKDIRS would make take
  // their model from; -1 for none.
  PreviewReport(FILE* out, bool json, const std::string& fileSystem, const AliasScope& scope,
                bool makeDirs, int mountFd = -1);

  // The heading of the text form (the JSON form has none).
  void heading();
  // `uid`/`gid`: the record's owner, which a directory made for the object
  // would take when every object below it agrees (OwnerVote).
  void object(const std::string& alias, const StubDecision& decision, uint32_t uid = 0, uint32_t gid = 0);
  // With -MKDIRS the directories a run would make, with their owner, group
  // and mode, then the totals.
  void totals();

 private:
  // The reason of a refusal or failure ("" when the run would do its job).
  const char* reason(const StubDecision& decision) const;
  void text(const StubDecision& decision);
  void json(const std::string& alias, const StubDecision& decision);
  void count(const std::string& alias, const StubDecision& decision, uint32_t uid, uint32_t gid);
  // The directories from the first missing one down to the object's.
  void planDirectories(const std::string& alias, const StubDecision& decision, uint32_t uid, uint32_t gid);
  void directories();

  FILE* m_out;
  bool m_json;
  std::string m_fileSystem;
  AliasScope m_scope;
  bool m_makeDirs;
  int m_mountFd;
  uint64_t m_objects = 0, m_recreate = 0, m_replace = 0, m_present = 0, m_expired = 0,
           m_refuse = 0;
  // Directories a run would make: as many as an rm -rf took, not one per
  // object, so the map stays small next to the stream of objects.
  struct Planned {
    struct stat model {};  // the nearest existing directory above
    OwnerVote vote;
  };
  std::map<std::string, Planned> m_directories;
};

// `text` as a JSON string with its quotes. Bytes that are not valid UTF-8
// come out as \u00XX of the byte (see docs/protocol.md).
std::string jsonQuoted(const std::string& text);
// `"key":"value"`; when the value is not valid UTF-8, followed by
// `,"key_base64":"..."` with its bytes in base64, so they can be had back.
std::string jsonField(const char* key, const std::string& value);

#endif
