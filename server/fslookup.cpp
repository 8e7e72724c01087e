#include "common/rc.h"
#include "server/fslookup.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>

#include "common/errorlog.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/showable.h"
#include "common/trace.h"
#include "server/cuverbs.h"

namespace {

// Sends one FSQry and reads its first answer. A send failure is logged with
// `sendFailMsg` and flagged, since it ends the lookup whatever its value.
int queryFs(Sess_o* s, const std::string& fsName, bool unicode, int sendFailMsg,
            FSQryAnswer* answer, bool* sendFailed) {
  int rc = cuFSQry(s, sessGetConfig(s).nodeName, fsName, unicode);
  if (rc) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, sendFailMsg, clShowable(fsName).c_str(), rc);
    *sendFailed = true;
    return rc;
  }
  return cuGetFSQryResp(s, answer);
}

}  // namespace

int fsGetStatistics(const char* fsName, FsStatistics* out) {
  struct statvfs st;
  if (statvfs(fsName, &st) != 0) return errno;
  out->size1 = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  out->size2 = static_cast<uint64_t>(st.f_blocks - st.f_bfree) * st.f_frsize;
  std::string mount, type;
  out->type = fmFindMount(fsName, "/etc/mtab", &mount, &type) ? type : "UNKNOWN";
  out->delimiter = '/';
  out->nameForm = 0;
  return 0;
}

int fsCheckAdd(Sess_o* s, const FileSpaceInfo& info, fileSpec_t* fileSpec, FsStatFn statFn,
               bool mayAdd) {
  TREnterExit<char> ee(__FILE__, __LINE__, "fsCheckAdd()");
  if (TEST_DISABLEUNICODEFLAG.set) return RC_UNICODE_DISABLED;
  FsStatistics stats;
  if (int rc = statFn(info.fsName.c_str(), &stats)) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg21600, clShowable(info.fsName).c_str());
    return rc;
  }
  const bool unicode = sessGetConfig(s).unicode;
  FSQryAnswer answer;
  bool sendFailed = false;
  int rc = queryFs(s, info.fsName, false, kMsg21605, &answer, &sendFailed);
  if (rc == RC_NO_MATCH && unicode && !sendFailed)
    rc = queryFs(s, info.fsName, true, kMsg21605, &answer, &sendFailed);
  if (sendFailed) return rc;
  bool added = false;
  if (rc == RC_NO_MATCH && !mayAdd) return rc;
  if (rc == RC_NO_MATCH) {
    FSAddRequest add;
    add.fsName = info.fsName;
    add.fsType = stats.type;
    add.delimiter = info.delimiter;
    add.nameForm = unicode ? kFsNameFormUnicode : stats.nameForm;
    add.size1 = stats.size1;
    add.size2 = stats.size2;
    int addRc = cuFSAdd(s, add);
    // 19: someone else registered it meanwhile; the query below finds it.
    if (addRc != 0 && addRc != RC_ALREADY_EXISTS) {
      trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg21606, clShowable(info.fsName).c_str(), addRc);
      return addRc;
    }
    added = true;
    rc = queryFs(s, info.fsName, unicode, kMsg21607, &answer, &sendFailed);
    if (sendFailed) return rc;
  }
  if (rc != 0) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_FS, kMsg21608, clShowable(info.fsName).c_str(), rc);
    return rc;
  }
  FSQryAnswer more;
  int end;
  while ((end = cuGetFSQryResp(s, &more)) == 0) {
  }
  if (end != RC_FINISHED) return end;
  fileSpec->fsID = answer.fsId;
  TRACE(TR_FS, "fsCheckAdd: file space '%s' has id %u%s\n", clShowable(info.fsName).c_str(), answer.fsId,
        added ? " (added)" : "");
  if (!added && answer.infoLen != 8)
    return answer.fsType.compare(0, 4, "API:") == 0 ? RC_BAD_API_FS_INFO : RC_BAD_FS_INFO;
  return 0;
}

int getfsID(Sess_o* s, fileSpec_t* fileSpec, FsStatFn statFn, bool mayAdd) {
  TREnterExit<char> ee(__FILE__, __LINE__, "getfsID()");
  FileSpaceInfo info;
  info.fsName = fileSpec->fsName.empty() ? "/" : fileSpec->fsName;
  info.delimiter = '/';
  int rc = fsCheckAdd(s, info, fileSpec, statFn, mayAdd);
  if (rc && !(rc == RC_NO_MATCH && !mayAdd)) {
    char text[1200];
    snprintf(text, sizeof text, "getfsID: Unable to get fsID from fsCheckAdd for %s, rc: %d",
             clShowable(info.fsName).c_str(), rc);
    LogMsg(text);
  }
  return rc;
}
