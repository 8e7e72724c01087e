// fileSpec_t: the client's record naming a file (file space name, high-level
// and low-level name, the resolved file space id and, for a change sent to
// the server, the object's path name and external object id).
//
// Contract
// - fmNewFileSpec and parseBackOperand hand the caller a heap object that it
//   frees with fmDeleteFileSpec (raw ownership by design: the record crosses
//   the command's C-style interfaces). Both return nullptr on failure.
// - Any thread; one record is used by one thread at a time.
#ifndef KMR_SERVER_FILESPEC_H
#define KMR_SERVER_FILESPEC_H

#include <cstdint>
#include <string>

#include "server/attrib.h"

struct fileSpec_t {
  std::string fsName;     // file space (file system) name, e.g. "/mnt/fs1"
  std::string hlName;     // directory part below the file system, "" or "/dir/sub"
  std::string llName;     // file name part with its leading "/", e.g. "/file"
  uint32_t fsID = 0;      // set by getfsID
  std::string pathName;   // full path of the object a change is about ("" = none)
  midExtObjId_t objId{};  // external object id of that object
};

fileSpec_t* fmNewFileSpec(const char* fsName, const char* hlName, const char* llName);
void fmDeleteFileSpec(fileSpec_t* spec);
// Sets the path name of the object a change is about. Returns 0, or 109 for
// a null record or path.
int fmSetPathName(fileSpec_t* spec, const char* path);
// The path name without its file space part (the whole path when it does not
// start with the file space name, or when the file space is "/").
std::string fmPathBelowFs(const fileSpec_t& spec);
// Where that part starts in spec.pathName (0 when it is the whole path).
size_t fmBelowFsOffset(const fileSpec_t& spec);

// Splits an absolute path into the file system that holds it (longest mount
// point of `mountTable` that is a prefix at a component boundary), the
// directory part and the file name part. *n is set to the length of the file
// system part. `flags` is reserved (0). Returns nullptr for a relative path,
// a path ending in "/", or when the mount table cannot be read.
fileSpec_t* parseBackOperand(const char* path, int* n, int flags,
                             const char* mountTable = "/etc/mtab");

// Mount point and file system type of the file system holding `path`,
// from `mountTable`. Returns false when no entry covers it.
bool fmFindMount(const std::string& path, const char* mountTable, std::string* mountPoint,
                 std::string* fsType);

#endif
