// DMAPI handles as the HSM holds them, and their text forms.
//
// Contract
// - xdsm_handle_t is a plain pair (pointer, length). A handle filled by one
//   of the handleSet... functions (or makeHandle) owns heap bytes that must
//   be given back with handleFree; handleSet only stores the caller's pair
//   and takes ownership of nothing beyond what the caller hands over.
// - Functions returning int give 1 for success and 0 for failure with errno
//   set, unless stated otherwise. A failed call leaves the handle untouched.
// - The text helpers that return const char* use one thread-local buffer per
//   function: the text stays valid until the same thread calls the same
//   function again.
// - Any thread may call these functions.
#ifndef KMR_HSMFS_HANDLES_H
#define KMR_HSMFS_HANDLES_H

#include <cstddef>
#include <string>

#include "common/objectid.h"
#include "platform/xdsm/dmapi.h"

struct xdsm_handle_t {
  void* hanp;   // handle bytes, or nullptr
  size_t hlen;  // their length in bytes
};

int handleIsNull(const xdsm_handle_t& h);  // 1 for a null pointer or length 0
void handleInit(xdsm_handle_t* h);
void handleSet(xdsm_handle_t* h, void* hanp, size_t hlen);
int handleSetWithPath(xdsm_handle_t* h, const char* path);
int handleSetFsWithPath(xdsm_handle_t* h, const char* path);
int handleSetWithFd(xdsm_handle_t* h, int fd);
// The handle of the file open at fd, for `token`, which then works on it
// through (a duplicate of) fd instead of opening the handle anew; the file
// may have no name yet (dmx_fd_to_handle_for_token in dmapi.h).
int handleSetWithFdForToken(xdsm_handle_t* h, dm_sessid_t sid, dm_token_t token, int fd);
int handleSetFsHandle(xdsm_handle_t* h, xdsm_handle_t fileHandle);
int handleSetFsWithFsid(xdsm_handle_t* h, dm_fsid_t fsid);
// Copies `length` raw bytes (not text) into new heap bytes that become the
// handle: how stored handle bytes turn back into a handle.
int handleSetWithString(xdsm_handle_t* h, const void* bytes, size_t length);
int makeHandle(dm_fsid_t fsid, dm_ino_t ino, dm_igen_t igen, xdsm_handle_t* h);

int handleGetFsID(xdsm_handle_t h, dm_fsid_t* fsid);
int handleGetIno(xdsm_handle_t h, dm_ino_t* ino);
int handleGetIgen(xdsm_handle_t h, dm_igen_t* igen);
// Absolute path of fileHandle below the file system fsHandle, written into
// buffer with its zero byte. 0 with errno E2BIG when buflen is too small.
int handleToPath(xdsm_handle_t fsHandle, xdsm_handle_t fileHandle, char* buffer, size_t buflen);
int handleIsValid(xdsm_handle_t h);                   // 1 when the library accepts it
int handleCompare(xdsm_handle_t a, xdsm_handle_t b);  // 0 when equal
// Copies the bytes into buffer; returns the length, 0 for an empty handle or
// a null buffer. buffer must hold h.hlen bytes.
size_t handleCopy(xdsm_handle_t h, void* buffer);
// Frees the bytes (when not null) and zeroes the pair.
void handleFree(xdsm_handle_t* h);

// A handle that one of the handleSet... functions fills, given back with
// handleFree when the owner goes, on every path; errno survives the release.
class OwnedHandle {
 public:
  OwnedHandle() { handleInit(&h_); }
  ~OwnedHandle();
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  xdsm_handle_t* out() { return &h_; }
  const xdsm_handle_t& get() const { return h_; }

 private:
  xdsm_handle_t h_;
};

// The library's handle as a value (its first 32 bytes; empty for a null
// handle): the form in which the HSM keeps, compares and prints handles.
DmHandle handleValue(xdsm_handle_t h);

// handleValue(h).hex(): "-" after every eighth byte but the last; at most
// 32 bytes are shown.
const char* handleHexString(xdsm_handle_t h);
// Upper-case hex without separators and a zero byte into buffer. Returns 1;
// 0 (errno EINVAL, with a trace line) unless the handle is at most 32 bytes
// and length is more than 68.
int handleToHexString(xdsm_handle_t h, char* buffer, size_t length);

std::string dmiSessionIDToString(dm_sessid_t sid);  // "%llX"
std::string dmiTokenToString(dm_token_t token);     // "%llX-%llX", high half first
const char* dmiRightToString(dm_right_t right);

#endif
