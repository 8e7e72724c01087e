// DMAPI handles as the HSM holds them. Only the direct (superuser) path
// exists: every function calls our DMAPI library itself.
#include "hsmfs/handles.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/trace.h"

namespace {

// Runs one library call that makes a handle and takes the handle into h,
// or reports the library's errno. The call runs before the pair is read.
template <typename MakeCall>
int adopt(xdsm_handle_t* h, MakeCall make) {
  void* hanp = nullptr;
  size_t hlen = 0;
  if (make(&hanp, &hlen) != 0) return 0;
  h->hanp = hanp;
  h->hlen = hlen;
  return 1;
}

}  // namespace

int handleIsNull(const xdsm_handle_t& h) { return (h.hanp == nullptr || h.hlen == 0) ? 1 : 0; }

void handleInit(xdsm_handle_t* h) {
  h->hanp = nullptr;
  h->hlen = 0;
}

void handleSet(xdsm_handle_t* h, void* hanp, size_t hlen) {
  h->hanp = hanp;
  h->hlen = hlen;
}

int handleSetWithPath(xdsm_handle_t* h, const char* path) {
  return adopt(h, [&](void** hanp, size_t* hlen) {
    return dm_path_to_handle(const_cast<char*>(path), hanp, hlen);
  });
}

int handleSetFsWithPath(xdsm_handle_t* h, const char* path) {
  return adopt(h, [&](void** hanp, size_t* hlen) {
    return dm_path_to_fshandle(const_cast<char*>(path), hanp, hlen);
  });
}

int handleSetWithFd(xdsm_handle_t* h, int fd) {
  return adopt(h, [&](void** hanp, size_t* hlen) { return dm_fd_to_handle(fd, hanp, hlen); });
}

int handleSetWithFdForToken(xdsm_handle_t* h, dm_sessid_t sid, dm_token_t token, int fd) {
  return adopt(h, [&](void** hanp, size_t* hlen) {
    return dmx_fd_to_handle_for_token(sid, token, fd, hanp, hlen);
  });
}

int handleSetFsHandle(xdsm_handle_t* h, xdsm_handle_t fileHandle) {
  return adopt(h, [&](void** hanp, size_t* hlen) {
    return dm_handle_to_fshandle(fileHandle.hanp, fileHandle.hlen, hanp, hlen);
  });
}

int handleSetFsWithFsid(xdsm_handle_t* h, dm_fsid_t fsid) {
  return adopt(h, [&](void** hanp, size_t* hlen) { return dm_make_fshandle(&fsid, hanp, hlen); });
}

int handleSetWithString(xdsm_handle_t* h, const void* bytes, size_t length) {
  if (!bytes || length == 0) {
    errno = EINVAL;
    return 0;
  }
  // malloc, like the library's own handles, so handleFree fits both.
  void* copy = malloc(length);
  if (!copy) {
    errno = ENOMEM;
    return 0;
  }
  memcpy(copy, bytes, length);
  h->hanp = copy;
  h->hlen = length;
  return 1;
}

int makeHandle(dm_fsid_t fsid, dm_ino_t ino, dm_igen_t igen, xdsm_handle_t* h) {
  return adopt(
      h, [&](void** hanp, size_t* hlen) { return dm_make_handle(&fsid, &ino, &igen, hanp, hlen); });
}

int handleGetFsID(xdsm_handle_t h, dm_fsid_t* fsid) {
  return dm_handle_to_fsid(h.hanp, h.hlen, fsid) == 0 ? 1 : 0;
}

int handleGetIno(xdsm_handle_t h, dm_ino_t* ino) {
  return dm_handle_to_ino(h.hanp, h.hlen, ino) == 0 ? 1 : 0;
}

int handleGetIgen(xdsm_handle_t h, dm_igen_t* igen) {
  return dm_handle_to_igen(h.hanp, h.hlen, igen) == 0 ? 1 : 0;
}

int handleToPath(xdsm_handle_t fsHandle, xdsm_handle_t fileHandle, char* buffer, size_t buflen) {
  size_t needed = 0;
  return dm_handle_to_path(fsHandle.hanp, fsHandle.hlen, fileHandle.hanp, fileHandle.hlen, buflen,
                           buffer, &needed) == 0
             ? 1
             : 0;
}

int handleIsValid(xdsm_handle_t h) {
  if (handleIsNull(h)) return 0;
  return dm_handle_is_valid(h.hanp, h.hlen) == DM_TRUE ? 1 : 0;
}

int handleCompare(xdsm_handle_t a, xdsm_handle_t b) {
  return dm_handle_cmp(a.hanp, a.hlen, b.hanp, b.hlen);
}

size_t handleCopy(xdsm_handle_t h, void* buffer) {
  if (handleIsNull(h) || !buffer) return 0;
  memcpy(buffer, h.hanp, h.hlen);
  return h.hlen;
}

OwnedHandle::~OwnedHandle() {
  const int err = errno;
  handleFree(&h_);
  errno = err;
}

void handleFree(xdsm_handle_t* h) {
  if (h->hanp) dm_handle_free(h->hanp, h->hlen);
  handleInit(h);
}

DmHandle handleValue(xdsm_handle_t h) {
  return handleIsNull(h) ? DmHandle() : DmHandle(h.hanp, h.hlen);
}

const char* handleHexString(xdsm_handle_t h) {
  thread_local std::string text;
  text = handleValue(h).hex();
  return text.c_str();
}

int handleToHexString(xdsm_handle_t h, char* buffer, size_t length) {
  if (!buffer || h.hlen > kMaxHandleLen || length <= 68) {
    TRACE_Fkt(__FILE__, __LINE__)(
        TR_SMXDSM, "handleToHexString: the output buffer is too small for the handle!\n");
    errno = EINVAL;
    return 0;
  }
  const DmHandle value = handleValue(h);
  const std::string digits = hexUpper(value.data(), value.size());
  memcpy(buffer, digits.c_str(), digits.size() + 1);
  return 1;
}

std::string dmiSessionIDToString(dm_sessid_t sid) {
  char text[24];
  snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(sid));
  return text;
}

std::string dmiTokenToString(dm_token_t token) {
  char text[40];
  snprintf(text, sizeof text, "%llX-%llX", static_cast<unsigned long long>(token.high),
           static_cast<unsigned long long>(token.low));
  return text;
}

const char* dmiRightToString(dm_right_t right) {
  switch (right) {
    case DM_RIGHT_NULL: return "DM_RIGHT_NULL";
    case DM_RIGHT_SHARED: return "DM_RIGHT_SHARED";
    case DM_RIGHT_EXCL: return "DM_RIGHT_EXCL";
    default: return "DM_RIGHT_UNKNOWN";
  }
}
