// A stub file built aside and put in place in one step.
//
// The command runs as root in directories that users write, and the path of
// a stub comes from the server. So the path is never handed whole to a
// path-based call: its directory is resolved beneath the mount point without
// links and without crossing into another mount (common/safepath.h), and
// every later step works on that directory's descriptor.
//
// The stub is made complete before it gets the stub's name:
// - where the decision saw nothing there, as a file without a name
//   (O_TMPFILE) that one linkat puts at the name, only while there still is
//   nothing (a link never replaces); a file a user made meanwhile is kept.
//   A process killed before that leaves nothing behind.
// - where it saw a file (and where the file system has no unnamed files),
//   under a temporary name in its own directory, ".kmrstub." and 32 hex
//   digits drawn at random for each temporary, so a user cannot take the
//   name in advance. The object id is only in the root-only extended
//   attribute "trusted.kmr.stubtemp" (value: the object's hex digits) that
//   the file carries from the moment it has a name; a later run finds what
//   a killed run left by that marker. One rename then puts it in place: with nothing seen, only
//   while there still is nothing (RENAME_NOREPLACE); with a file seen, the
//   two entries are exchanged and the file now at the temporary name is
//   removed only when it is the one the decision saw (device, inode,
//   modification time); otherwise the exchange is undone and the user's
//   file is kept.
// A failure at any step leaves what was at the stub's name untouched.
//
// Contract
// - Functions return 0 on success and -1 with errno set on failure, unless
//   stated otherwise.
// - A StubFile owns its descriptors; they are closed on every path. The
//   destructor discards a temporary that was not put in place.
// - Not thread-safe; one StubFile per stub being made.
#ifndef KMR_RECONCILE_STUBFILE_H
#define KMR_RECONCILE_STUBFILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "common/safepath.h"

inline constexpr const char* kStubTempPrefix = ".kmrstub.";
inline constexpr const char* kStubTempMarker = "trusted.kmr.stubtemp";

// What was at the stub's name when it was looked at (never through a link).
struct StubEntry {
  bool present = false;
  bool directory = false;
  bool regular = false;
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec mtime {};
};

// A marked temporary found in a directory: its name and the object (hex
// digits) its marker names.
struct StubTemporary {
  std::string name;
  std::string objectHex;
};

// Lists the entries of the directory `dir` (any descriptor of it, O_PATH
// included) named ".kmrstub.*" that are regular files carrying our marker.
// 0, or -1 with errno when the directory cannot be read.
int listStubTemporaries(int dir, std::vector<StubTemporary>* out);

// The directory of the stubs of one directory run, resolved once.
//
// Objects arrive grouped by directory, so the directory of the previous
// stub is kept and handed to the next stub of the same directory. Keeping
// it is as safe as resolving it again: it was resolved beneath the mount
// point without links and without crossing a mount, and every step of a
// stub works relative to its descriptor, never by path. A directory cannot
// leave its file system by a rename, so a directory renamed away while it
// is kept still receives its stubs beneath the same mount, in the place a
// user with the right to rename it could have moved them to anyway after
// the run; no link or other mount is ever followed. One fstat per stub
// checks that the kept directory still exists (a removed directory has no
// links); a removed one is resolved again by path.
//
// Not thread-safe; one per run. The descriptor lives as long as a StubFile
// or the cache holds it.
class StubDirCache {
 public:
  // The directory of `alias` (see safeOpenParent) and the entry's name.
  int resolve(const std::string& mountPoint, const std::string& alias,
              std::shared_ptr<const UniqueFd>* dir, std::string* leaf);
  void clear();
  // The marked temporaries of the kept directory, listed once per directory
  // run (see listStubTemporaries); a StubFile takes out what it removes.
  std::vector<StubTemporary>* temporaries();

 private:
  std::vector<StubTemporary> m_temporaries;
  bool m_listed = false;
  std::string m_mountPoint;
  std::string m_dirPath;  // the alias up to its last "/"
  std::shared_ptr<const UniqueFd> m_dir;
};

class StubFile {
 public:
  StubFile() = default;
  ~StubFile();
  StubFile(StubFile&&) = default;
  StubFile& operator=(StubFile&&);
  StubFile(const StubFile&) = delete;
  StubFile& operator=(const StubFile&) = delete;

  // Resolves the directory of `alias` beneath `mountPoint` (EINVAL for an
  // alias that is not acceptable; ELOOP or EXDEV for a link or a mount on
  // the way). `objectHex` names the object (56 hex digits) in the marker.
  // With a `cache`, the directory comes from it (see StubDirCache), which
  // must outlive this object's use.
  int open(const std::string& mountPoint, const std::string& alias, const std::string& objectHex,
           StubDirCache* cache = nullptr);
  bool isResolved() const { return m_dir && static_cast<bool>(*m_dir); }
  const std::string& alias() const { return m_alias; }
  // The temporary's name; empty until createTemporary() has named one.
  const std::string& tempName() const { return m_temp; }
  // The directory and the entry's name (for callers that inspect it).
  int dirFd() const { return m_dir ? m_dir->get() : -1; }
  const std::string& leaf() const { return m_leaf; }

  // Looks at the entry now at the stub's name; remembers it for commit().
  int look(StubEntry* out);
  const StubEntry& seen() const { return m_seen; }
  // Removes one temporary of this object left by an earlier run: only a
  // regular file named ".kmrstub.*" in the stub's directory that carries our
  // marker naming this object. Returns 1 when one was removed (its name in
  // `removed`), 0 when there is none left (what is not ours is left alone),
  // -1 on a failure to remove. Call it until it returns 0 for all of them.
  int removeStaleTemporary(std::string* removed = nullptr);
  // Creates the file the stub is built in (mode 0600, empty). Where look()
  // saw nothing at the stub's name it has no name at all (O_TMPFILE) and
  // commit() links it at the stub's name. Otherwise, and where the file
  // system has no unnamed files, it is the temporary, marked from the moment
  // it has a name; a name someone else holds is never taken (a new one is
  // drawn).
  int createTemporary();
  int fd() const { return m_fd.get(); }
  bool isOpen() const { return static_cast<bool>(m_fd); }
  // Puts the file at the stub's name: an unnamed one by linking it there,
  // the temporary as described above. EEXIST: a file appeared where none
  // was seen; ESTALE: the entry is no longer the
  // one seen; EISDIR: a directory was seen. On failure the temporary stays
  // (for discard()) and the entry at the name is as it was.
  int commit();
  // Takes our marker off the stub that commit() put in place (an unnamed
  // one never had it).
  int unmark();
  // Removes the temporary if the name still stands for our file, closes it.
  void discard();
  // discard(), then the state of a new StubFile; the buffers of the names
  // are kept, so the next object's open() needs no allocation for them.
  void reset();
  // Closes the file; the result of close().
  int close();

 private:
  std::shared_ptr<const UniqueFd> m_dir;  // O_PATH descriptor of the directory
  std::string m_leaf;
  std::string m_alias;
  std::string m_temp;
  std::string m_objectHex;
  StubDirCache* m_cache = nullptr;  // where the directory came from, if anywhere
  UniqueFd m_fd;
  bool m_named = false;      // the temporary has its name
  bool m_unnamed = false;    // the stub is built without a name (see createTemporary)
  bool m_committed = false;  // it stands at the stub's name
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  StubEntry m_seen;
  bool m_looked = false;
};

#endif
