// File space lookup: finds the server's file space id for a file system and
// registers the file space when the server does not know it yet.
//
// Contract
// - Runs on the change session by the thread that owns it.
// - Results: 0 with fileSpec->fsID set; 57 when the test flag
//   DISABLEUNICODEFLAG is set; the statistics failure; a send, receive or
//   protocol failure of the verbs; the server's reason; 289 (918 for an "API:"
//   type) when an existing file space carries information of another length
//   than 8 bytes.
// - With mayAdd false nothing is registered: a file space the server does
//   not know gives 2 (RC_NO_MATCH), and nothing is written to the error log
//   for it. A preview looks up this way, so that it never changes the server.
#ifndef KMR_SERVER_FSLOOKUP_H
#define KMR_SERVER_FSLOOKUP_H

#include <cstdint>
#include <string>

#include "server/filespec.h"
#include "server/session.h"

struct FsStatistics {
  std::string type;       // file system type text
  char delimiter = '/';
  uint16_t nameForm = 0;
  uint64_t size1 = 0;     // capacity in bytes
  uint64_t size2 = 0;     // bytes in use
};
// Fills the statistics of a file system. Returns 0 or an errno value.
typedef int (*FsStatFn)(const char* fsName, FsStatistics* out);
// The real statistics: statvfs of the name and its type from the mount table.
int fsGetStatistics(const char* fsName, FsStatistics* out);

struct FileSpaceInfo {
  std::string fsName;
  char delimiter = '/';
};

int fsCheckAdd(Sess_o* session, const FileSpaceInfo& info, fileSpec_t* fileSpec,
               FsStatFn statFn = fsGetStatistics, bool mayAdd = true);
// Hands the fileSpec_t's file system name ("/" when empty) to fsCheckAdd;
// any failure is also written to the error log.
int getfsID(Sess_o* session, fileSpec_t* fileSpec, FsStatFn statFn = fsGetStatistics,
            bool mayAdd = true);

#endif
