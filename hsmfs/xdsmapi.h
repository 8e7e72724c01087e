// The HSM's one door to the file system's data management interface.
//
// XDSMAPI is the process-wide access object: it keeps the process's DMAPI
// session, checks every request before it reaches the library, records the
// last DMAPI errno and traces every call (SMXDSM for failures, SMXDSMDETAIL
// for the arguments and results of each call). RXDSMAPI is the direct
// (superuser) variant and the only one built: it is used for every caller,
// see docs/xdsm.md.
//
// Contract
// - getXDSMAPI() creates the instance on first call; call it on the main
//   thread before other threads start. The instance lives until the process
//   ends (or a test swaps it with replaceInstance).
// - Each operation returns 1 on success and 0 on failure with errno set
//   (createSession: the session id, 0 on failure). Before initService has
//   succeeded every operation fails with ENXIO and calls nothing. A handle
//   that the library does not accept, DM_NO_SESSION or a null output pointer
//   fail with EINVAL without calling the library.
// - Operations may be called from any thread; rights are held per token.
// - The dmi... helpers return 0 on success and -1 with errno on failure.
#ifndef KMR_HSMFS_XDSMAPI_H
#define KMR_HSMFS_XDSMAPI_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "common/objectid.h"
#include "hsmfs/handles.h"
#include "platform/xdsm/dmapi.h"

class XDSMAPI {
 public:
  // The process-wide instance, created on the first call.
  static XDSMAPI* getXDSMAPI();
  // Test seam: installs `instance` as the process-wide object and returns the
  // previous one (which may be null).
  static std::unique_ptr<XDSMAPI> replaceInstance(std::unique_ptr<XDSMAPI> instance);

  virtual ~XDSMAPI();
  XDSMAPI(const XDSMAPI&) = delete;
  XDSMAPI& operator=(const XDSMAPI&) = delete;

  virtual int initService() = 0;
  virtual dm_sessid_t createSession(dm_sessid_t oldSid, const char* sessionInfo, int force) = 0;
  virtual int destroySession(dm_sessid_t sid) = 0;
  virtual int getAllTokens(dm_sessid_t sid, unsigned count, dm_token_t* tokens,
                           unsigned* countOut) = 0;
  virtual int setDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token,
                        const char* attrName, int setdtime, size_t length, const void* buffer) = 0;
  virtual int getDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token,
                        const char* attrName, size_t length, void* buffer, size_t* lengthOut) = 0;
  virtual int removeDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, int setdtime,
                           const char* attrName) = 0;
  virtual int probeHole(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                        dm_size_t length, dm_off_t* roffOut, dm_size_t* rlenOut) = 0;
  virtual int punchHole(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                        dm_size_t length) = 0;
  virtual int requestRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned flags,
                           dm_right_t right) = 0;
  virtual int releaseRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token) = 0;
  virtual int getFileAttr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned mask,
                          dm_stat_t* statOut) = 0;
  virtual int setFileAttr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned mask,
                          dm_fileattr_t* attr) = 0;
  // *lengthOut receives the number of bytes read.
  virtual int readInvis(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                        dm_size_t length, void* buffer, dm_ssize_t* lengthOut) = 0;
  // exactFlagOut may be null.
  virtual int setRegion(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                        dm_region_t* regions, dm_boolean_t* exactFlagOut) = 0;
  virtual int getEvents(dm_sessid_t sid, unsigned maxMessages, unsigned flags, size_t length,
                        void* buffer, size_t* lengthOut) = 0;
  virtual int respondEvent(dm_sessid_t sid, dm_token_t token, dm_response_t response,
                           int reterror) = 0;
  virtual int createUserEvent(dm_sessid_t sid, size_t messageLength, void* message,
                              dm_token_t* tokenOut) = 0;

  // Thin wrappers over the dm_* call of the same name, in the same frame.
  int queryRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_right_t* rightOut);
  int getRegion(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                dm_region_t* regions, unsigned* countOut);
  int getAllDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, size_t length,
                   void* buffer, size_t* lengthOut);
  int getEventList(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                   dm_eventset_t* events, unsigned* countOut);
  int setEventList(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_eventset_t* events,
                   unsigned maxEvent);
  int setDisp(dm_sessid_t sid, xdsm_handle_t fsHandle, dm_token_t token, dm_eventset_t* events,
              unsigned maxEvent);
  int getConfig(xdsm_handle_t handle, dm_config_t name, dm_size_t* valueOut);
  int getConfigEvents(xdsm_handle_t handle, unsigned count, dm_eventset_t* events,
                      unsigned* countOut);
  int syncByHandle(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token);
  int writeInvis(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, int flags,
                 dm_off_t offset, dm_size_t length, void* buffer, dm_ssize_t* lengthOut);
  int querySession(dm_sessid_t sid, size_t length, void* buffer, size_t* lengthOut);
  int getAllSessions(unsigned count, dm_sessid_t* sids, unsigned* countOut);
  int getAllocInfo(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t* offset,
                   unsigned count, dm_extent_t* extents, unsigned* countOut);

  int isInitialized() const;
  dm_sessid_t getSID() const;
  void setSID(dm_sessid_t sid);
  dm_boolean_t getRoot() const;
  // The errno of the calling thread's last failed call (kept per thread).
  int getLastErrno() const;
  void setLastErrno(int e);
  // 1 when initialised; else 0 and a trace line naming the caller.
  int haveService(const char* callerName) const;

 protected:
  explicit XDSMAPI(dm_boolean_t directAccess);
  void markInitialized();
  void rememberSession(dm_sessid_t sid);  // stores sid and the creating process id

  // The common frame: service check, then validation. Returns 1 when the
  // call may go ahead, else 0 with errno ENXIO or EINVAL.
  int precheck(const char* name, dm_sessid_t sid, const xdsm_handle_t* handle,
               std::initializer_list<const void*> outputs) const;
  // Turns a library result (0 / -1) into 1 / 0, recording the errno.
  int finish(const char* name, int rc);

 private:
  struct State;
  void init(dm_boolean_t directAccess);
  std::unique_ptr<State> m_state;
};

// The direct variant: each operation calls the dm_* function once.
class RXDSMAPI : public XDSMAPI {
 public:
  RXDSMAPI();
  int initService() override;
  dm_sessid_t createSession(dm_sessid_t oldSid, const char* sessionInfo, int force) override;
  int destroySession(dm_sessid_t sid) override;
  int getAllTokens(dm_sessid_t sid, unsigned count, dm_token_t* tokens,
                   unsigned* countOut) override;
  int setDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, const char* attrName,
                int setdtime, size_t length, const void* buffer) override;
  int getDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, const char* attrName,
                size_t length, void* buffer, size_t* lengthOut) override;
  int removeDmattr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, int setdtime,
                   const char* attrName) override;
  int probeHole(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                dm_size_t length, dm_off_t* roffOut, dm_size_t* rlenOut) override;
  int punchHole(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                dm_size_t length) override;
  int requestRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned flags,
                   dm_right_t right) override;
  int releaseRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token) override;
  int getFileAttr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned mask,
                  dm_stat_t* statOut) override;
  int setFileAttr(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned mask,
                  dm_fileattr_t* attr) override;
  int readInvis(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_off_t offset,
                dm_size_t length, void* buffer, dm_ssize_t* lengthOut) override;
  int setRegion(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, unsigned count,
                dm_region_t* regions, dm_boolean_t* exactFlagOut) override;
  int getEvents(dm_sessid_t sid, unsigned maxMessages, unsigned flags, size_t length, void* buffer,
                size_t* lengthOut) override;
  int respondEvent(dm_sessid_t sid, dm_token_t token, dm_response_t response,
                   int reterror) override;
  int createUserEvent(dm_sessid_t sid, size_t messageLength, void* message,
                      dm_token_t* tokenOut) override;
};

// 1 when the runtime library version is one this client works with: "ORCA
// DMAPI 3.20" and "ORCA DMAPI 3.30", and "ORCA DMAPI 3.40" only while the
// test flag HSM_ORCA_34 is set.
int dmiIsSupportedVersion(const char* version);

dm_sessid_t dmiGetSid();

// Releases any right the token holds on the handle, then (unless right is
// DM_RIGHT_NULL) requests `right` with DM_RR_WAIT up to maxTries times,
// pausing between tries after EAGAIN, EINTR or EBUSY (with the installed
// HsmLayerEnv's rightRetryPause, hsmenv.h): 1 ms, doubling, back to 1 ms
// after a pause of more than 30 whole seconds.
int dmiRequestRight(dm_sessid_t sid, xdsm_handle_t handle, dm_token_t token, dm_right_t right,
                    int maxTries, const char* callerName);

int dmiRespondEventOk(dm_sessid_t sid, dm_token_t token);
// A failed abort response also prints message 9518 on stderr.
int dmiRespondEventAbort(dm_sessid_t sid, dm_token_t token, int reterror);

// Destroys the session; when it still has tokens (EBUSY) answers each of
// them, drains pending events and destroys it once more. A session id of 0
// or all ones is ignored (result 0).
int dmiCloseSession(dm_sessid_t sid);
// dmiCloseSession of sid, or of the process's own session when sid is 0;
// the process-wide object forgets its session once it is gone.
int kmrDestroySession(dm_sessid_t sid);

// The server layer's way to a file's DMAPI handle.
//   fullName     the file's full path (file space name + high + low level
//                name of the caller's fileSpec_t)
//   out          receives the handle
// Returns 0; when no handle can be had, the code that the installed
// HsmLayerEnv's translateErrno gives for errno and "kmrGetHsmHandle" (by
// default errno itself). A handle longer than 32 bytes fails with EOVERFLOW. The
// library's handle is freed before the call returns.
int kmrGetHsmHandle(const char* fullName, DmHandle* out);

#endif
