// The DMAPI half of a stub: HSM attributes, managed region and the hole;
// the repair of the record of a stub that is already there; the points at
// which a test may end the process.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/safepath.h"
#include "common/showable.h"
#include "common/trace.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/xdsmapi.h"
#include "reconcile/migundelete.h"
#include "server/migobject.h"

namespace {
bool flagNames(const TestFlag& flag, const char* step) {
  return flag.set && flag.strValue != nullptr && strcasecmp(flag.strValue, step) == 0;
}
}  // namespace

void stubTestKillPoint(const char* step) {
  // TESTFLAGS KILLATSTEP:"<step>" ends the process here, as a power cut or
  // SIGKILL would: the crash tests check what one rerun makes of it.
  // PAUSEATSTEP:"<step>" stops it (SIGSTOP) so that a test can act as a
  // user would at that moment and let it go on with SIGCONT.
  if (flagNames(TEST_KILLATSTEP, step)) {
    fflush(nullptr);
    raise(SIGKILL);
  }
  if (flagNames(TEST_PAUSEATSTEP, step)) {
    fflush(nullptr);
    raise(SIGSTOP);
  }
}

namespace {
constexpr const char* kName = "createStubFromFile";

// The handle form of a record: marker, length, bytes.
void setRecordHandle(ZefServerMigratedObject* obj, const xdsm_handle_t& handle) {
  const DmHandle value = handleValue(handle);
  attribSetHandle(*obj->getAttributes(), value);
  obj->setDmapiHandle(value);
}

// Whether the record may name another file than `handle`. A server that
// answers queries with the object id in place of the handle form shows no
// handle: inode and change time must tell then (an inode number alone does
// not, file systems hand a freed one to the next new file at once).
bool recordNamesOtherFile(const Attrib& attr, const struct stat& st, const xdsm_handle_t& handle) {
  if (attr.inode != static_cast<uint32_t>(st.st_ino) || attr.ctime != static_cast<uint32_t>(st.st_ctime))
    return true;
  if (!attribHasHandleForm(attr)) return false;
  return handle.hlen > kMaxHandleLen || attribHandle(attr) != handleValue(handle);
}

// One stub's DMAPI state: the handle, the user event's token and whether the
// exclusive right is held. Whatever is still held when it goes out of scope
// is given back: right released, event aborted, handle freed.
class StubEvent {
 public:
  StubEvent(dm_sessid_t sid, const std::string& path) : m_sid(sid), m_path(path) {
    handleInit(&m_handle);
  }
  ~StubEvent() { undo(errno); }
  StubEvent(const StubEvent&) = delete;
  StubEvent& operator=(const StubEvent&) = delete;

  // Reports the failure of `operation` with the current errno; always 0.
  int fail(const char* operation, int err) {
    undo(err);
    nlfprintf(stderr, kMsg9333, clShowable(m_path).c_str(), operation, err, strerror(err));
    return 0;
  }
  void undo(int err) {
    if (m_haveRight) dmiRequestRight(m_sid, m_handle, m_token, DM_RIGHT_NULL, 1, kName);
    m_haveRight = false;
    if (m_haveToken) {
      dmiRespondEventAbort(m_sid, m_token, err);
      m_haveToken = false;
    }
    handleFree(&m_handle);
    errno = err;
  }
  // Success: release the right, answer the event, keep the handle.
  void finish() {
    dmiRequestRight(m_sid, m_handle, m_token, DM_RIGHT_NULL, 1, kName);
    dmiRespondEventOk(m_sid, m_token);
    m_haveRight = m_haveToken = false;
  }

  xdsm_handle_t m_handle;
  dm_token_t m_token{};
  bool m_haveToken = false;
  bool m_haveRight = false;  // only a granted right is released again

 private:
  dm_sessid_t m_sid;
  const std::string& m_path;  // the caller's; outlives the event
};
}  // namespace

int ReconcileModeMigUndelete::createStubFromFile(ZefServerMigratedObject* obj, std::string& path) {
  XDSMAPI* dmapi = XDSMAPI::getXDSMAPI();
  dm_sessid_t sid = dmapi->getSID();
  StubEvent ev(sid, path);

  // The event comes first so that the handle can be taken for its token:
  // the token then works on the stub's own descriptor. The handle names the
  // file we created even if a directory entry has been replaced since, and
  // the file may have no name yet. Without it there is nothing safe to work
  // on: the path comes from the server, and a lookup by path would follow
  // whatever links a user planted in it.
  if (!dmapi->createUserEvent(sid, 8, &ev.m_handle, &ev.m_token)) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> createUserEvent(%s), errno(%d), reason(%s)!\n", kName,
          clShowable(path).c_str(), err, strerror(err));
    return ev.fail("dm_create_userevent", err);
  }
  ev.m_haveToken = true;
  if (!work().stub.isOpen()) errno = EBADF;
  if (!work().stub.isOpen() || !handleSetWithFdForToken(&ev.m_handle, sid, ev.m_token, work().stub.fd())) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> handleSetWithPath(%s), errno(%d), reason(%s)!\n", kName,
          clShowable(path).c_str(), err, strerror(err));
    return ev.fail("dm_path_to_handle", err);
  }
  if (dmiRequestRight(sid, ev.m_handle, ev.m_token, DM_RIGHT_EXCL, 16, kName) == -1) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Couldn't request right with errno: %d!\n", kName, err);
    return ev.fail("dm_request_right", err);
  }
  ev.m_haveRight = true;

  dm_off_t holeOffset = 0;
  dm_size_t holeLength = 0;
  if (!dmapi->probeHole(sid, ev.m_handle, ev.m_token, 0, 0, &holeOffset, &holeLength)) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> probeHole() failed, errno(%d), reason(%s)!\n", kName,
          err, strerror(err));
    return ev.fail("dm_probe_hole", err);
  }
  if (holeOffset != 0) {
    TRACE(TR_SMRECONCILE, "(%s): probeHole: returned non-zero offset(%llu)!\n", kName,
          static_cast<unsigned long long>(holeOffset));
    return ev.fail("dm_probe_hole", E2BIG);
  }
  if (holeLength != 0) {
    TRACE(TR_SMRECONCILEDETAIL, "(%s): probeHole: returned non-zero rlen(%llu), adjusting...\n",
          kName, static_cast<unsigned long long>(holeLength));
  }

  unsigned char record[kVOQObjLen];
  buildVOQObjRecord(*obj->getExtObjID(), *obj->getAttributes(), record);
  if (!dmapi->setDmattr(sid, ev.m_handle, ev.m_token, kAttrObj, 0, kVOQObjLen, record)) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> setDmattr() failed, errno(%d), reason(%s)\n", kName,
          err, strerror(err));
    return ev.fail("dm_set_dmattr", err);
  }
  stubTestKillPoint("AFTERVOQOBJ");
  if (m_options != nullptr && m_options->hsmExtObjIdAttr == 1) {
    char hex[kVOQexIDLen];
    encodeVOQexID(*obj->getExtObjID(), hex);
    if (!dmapi->setDmattr(sid, ev.m_handle, ev.m_token, kAttrExtId, 0, kVOQexIDLen, hex)) {
      int err = errno;
      TRACE(TR_SMRECONCILE, "(%s): setDmattr() failed, errno(%d), reason(%s)\n", kName, err,
            strerror(err));
      return ev.fail("dm_set_dmattr", err);
    }
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Successfully set VOQexID DMAPI attribute.\n", kName);
  }

  dm_region_t region{};
  region.rg_offset = 0;
  region.rg_size = 0;  // the whole file
  region.rg_flags = DM_REGION_READ | DM_REGION_WRITE | DM_REGION_TRUNCATE;
  if (!dmapi->setRegion(sid, ev.m_handle, ev.m_token, 1, &region, nullptr)) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> dmiSetMngRegion() failed, errno(%d), reason(%s)\n",
          kName, err, strerror(err));
    return ev.fail("dm_set_region", err);
  }
  stubTestKillPoint("AFTERREGION");
  if (!dmapi->punchHole(sid, ev.m_handle, ev.m_token, 0, holeLength)) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> punchHole() failed, errno(%d), reason(%s)\n", kName,
          err, strerror(err));
    return ev.fail("dm_punch_hole", err);
  }
  dm_stat_t dmStat{};
  if (!dmapi->getFileAttr(sid, ev.m_handle, ev.m_token, 0x1000, &dmStat)) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> getFileAttr() failed, errno(%d), reason(%s)\n", kName,
          err, strerror(err));
    return ev.fail("dm_get_fileattr", err);
  }
  ev.finish();

  // The server's record now names the new file: the handle names the inode,
  // which keeps it when the rename gives the file its final name.
  Attrib* attr = obj->getAttributes();
  attr->inode = static_cast<uint32_t>(dmStat.dt_ino);
  attr->ctime = static_cast<uint32_t>(dmStat.dt_ctime);
  setRecordHandle(obj, ev.m_handle);
  return 1;
}

int ReconcileModeMigUndelete::repairRecordOfPresentStub(ZefServerMigratedObject* obj) {
  Attrib* attr = obj->getAttributes();
  const midExtObjId_t* id = obj->getExtObjID();
  if (!work().stub.isResolved() || !work().stub.seen().regular || attr == nullptr || id == nullptr) return 0;
  // A path descriptor: nothing at the name is opened for reading or writing.
  UniqueFd fd(safeOpenBeneath(work().stub.dirFd(), work().stub.leaf().c_str(), O_PATH | O_NOFOLLOW));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != work().stub.seen().dev ||
      st.st_ino != work().stub.seen().ino)
    return 0;
  XDSMAPI* dmapi = XDSMAPI::getXDSMAPI();
  OwnedHandle handle;
  if (!handleSetWithFd(handle.out(), fd.get())) return 0;
  unsigned char record[kVOQObjLen] = {};
  size_t length = 0;
  bool ours = dmapi->getDmattr(dmapi->getSID(), handle.get(), DM_NO_TOKEN, kAttrObj, sizeof record, record,
                               &length) &&
              length >= kExtObjIdLen && memcmp(record, id->bytes, kExtObjIdLen) == 0;
  bool differs = recordNamesOtherFile(*attr, st, handle.get()) || attribMigState(*attr) != kMigStateMigrated;
  int repaired = 0;
  if (ours && differs) {
    TRACE(TR_SMRECONCILE, "(%s): the record of the stub %s is repaired\n", "repairRecord",
          clShowable(obj->getAlias()).c_str());
    attr->inode = static_cast<uint32_t>(st.st_ino);
    attr->ctime = static_cast<uint32_t>(st.st_ctime);
    setRecordHandle(obj, handle.get());
    obj->setFileMigrState(kMigStateMigrated);
    repaired = 1;
  }
  return repaired;
}
