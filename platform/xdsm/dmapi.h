/* The X/Open data management interface (DMAPI, XDSM) over Linux.
 *
 * Types, constants and dm_* functions with the standard's names and
 * signatures, so that data management applications written against the
 * interface compile and run against this library. docs/xdsm.md says which
 * calls do real work over Linux facilities and which report ENOSYS.
 *
 * Contract
 * - Every function returns 0 on success and -1 with errno set on failure,
 *   except the dm_handle_* helpers that return a value (dm_handle_cmp,
 *   dm_handle_hash, dm_handle_is_valid) and dm_handle_free.
 * - Handles (hanp, hlen) are opaque byte strings of at most DM_MAX_HANDLE_SIZE
 *   bytes. Handles returned through void** are malloc'ed by the library and
 *   owned by the caller, who gives them back with dm_handle_free. A handle
 *   names the same object in every process until the object is removed; a
 *   file created later at the same path has a different handle.
 * - Sessions, tokens and rights live in the calling process. A call that
 *   needs a right on an object fails with EACCES when the token given does
 *   not hold at least that right, ESRCH when the token is not one of the
 *   session's, EINVAL for an unknown session or a malformed handle.
 *   DM_NO_TOKEN takes no long-term right.
 * - Any thread may call any function; the session table is locked inside.
 * - Nothing here changes an object's data or attribute times unless the call
 *   exists to change them (see dm_read_invis/dm_write_invis).
 */
#ifndef KMR_PLATFORM_XDSM_DMAPI_H
#define KMR_PLATFORM_XDSM_DMAPI_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- scalar types --------------------------------------------------------- */
typedef int dm_boolean_t;
#define DM_FALSE 0
#define DM_TRUE 1

typedef int64_t dm_off_t;
typedef uint64_t dm_size_t;
typedef int64_t dm_ssize_t;
typedef uint64_t dm_ino_t;
typedef uint32_t dm_igen_t;
typedef uint64_t dm_fsid_t;
typedef uint64_t dm_sequence_t;
typedef int64_t dm_attrloc_t;
typedef unsigned int dm_config_t;

/* A 128-bit quantity held as two 64-bit halves, high half first. */
typedef struct dm_scalar128 {
  uint64_t high;
  uint64_t low;
} dm_scalar128;

typedef uint64_t dm_sessid_t;
typedef dm_scalar128 dm_token_t;

#define DM_NO_SESSION ((dm_sessid_t)0)
static const dm_token_t DM_NO_TOKEN = {0, 0};
static const dm_token_t DM_INVALID_TOKEN = {~(uint64_t)0, ~(uint64_t)0};

/* Limits of this library. */
#define DM_SESSION_INFO_LEN 256 /* session information, including the zero byte */
#define DM_ATTR_NAME_SIZE 8
#define DM_MAX_HANDLE_SIZE 32
#define DM_MAX_REGIONS 64
#define DM_MAX_USERMSG 4096
#define DM_MAX_ATTR_VALUE 65536

/* ---- rights ---------------------------------------------------------------- */
typedef enum { DM_RIGHT_NULL = 0, DM_RIGHT_SHARED = 1, DM_RIGHT_EXCL = 2 } dm_right_t;

#define DM_RR_WAIT 0x1 /* dm_request_right: wait for a conflicting holder */

/* ---- events ------------------------------------------------------------------ */
typedef enum {
  DM_EVENT_INVALID = 0,
  DM_EVENT_CLOSE = 1,
  DM_EVENT_MOUNT = 2,
  DM_EVENT_PREUNMOUNT = 3,
  DM_EVENT_UNMOUNT = 4,
  DM_EVENT_NOSPACE = 5,
  DM_EVENT_DEBUT = 6,
  DM_EVENT_CREATE = 7,
  DM_EVENT_POSTCREATE = 8,
  DM_EVENT_REMOVE = 9,
  DM_EVENT_POSTREMOVE = 10,
  DM_EVENT_RENAME = 11,
  DM_EVENT_POSTRENAME = 12,
  DM_EVENT_SYMLINK = 13,
  DM_EVENT_POSTSYMLINK = 14,
  DM_EVENT_LINK = 15,
  DM_EVENT_POSTLINK = 16,
  DM_EVENT_READ = 17,
  DM_EVENT_WRITE = 18,
  DM_EVENT_TRUNCATE = 19,
  DM_EVENT_ATTRIBUTE = 20,
  DM_EVENT_CANCEL = 21,
  DM_EVENT_DESTROY = 22,
  DM_EVENT_USER = 23,
  DM_EVENT_MAX = 24
} dm_eventtype_t;

typedef uint64_t dm_eventset_t;
#define DMEV_SET(ev, set) ((set) |= ((dm_eventset_t)1 << (ev)))
#define DMEV_CLR(ev, set) ((set) &= ~((dm_eventset_t)1 << (ev)))
#define DMEV_ISSET(ev, set) ((((set) >> (ev)) & 1) != 0)
#define DMEV_ZERO(set) ((set) = 0)

typedef enum { DM_RESP_INVALID = 0, DM_RESP_CONTINUE = 1, DM_RESP_ABORT = 2, DM_RESP_DONTCARE = 3 } dm_response_t;
typedef enum { DM_MSGTYPE_INVALID = 0, DM_MSGTYPE_SYNC = 1, DM_MSGTYPE_ASYNC = 2 } dm_msgtype_t;

#define DM_EV_WAIT 0x1 /* dm_get_events: block until a message arrives */

/* ---- variable-length data inside returned buffers ------------------------ */
/* vd_offset counts from the start of the structure that holds the field. */
typedef struct {
  int32_t vd_offset;
  uint32_t vd_length;
} dm_vardata_t;

#define DM_GET_VALUE(p, field, type) ((type)((char*)(p) + (p)->field.vd_offset))
#define DM_GET_LEN(p, field) ((p)->field.vd_length)
#define DM_STEP_TO_NEXT(p, type) \
  ((p)->_link.vd_offset == 0 ? (type)0 : (type)((char*)(p) + (p)->_link.vd_offset))

/* One message returned by dm_get_events. */
typedef struct {
  dm_vardata_t _link;
  dm_eventtype_t ev_type;
  dm_token_t ev_token;
  dm_sequence_t ev_sequence;
  dm_vardata_t ev_data;
} dm_eventmsg_t;

/* ---- attributes -------------------------------------------------------------- */
typedef struct {
  unsigned char an_chars[DM_ATTR_NAME_SIZE];
} dm_attrname_t;

typedef struct {
  dm_vardata_t _link;
  dm_attrname_t al_name;
  dm_vardata_t al_data;
} dm_attrlist_t;

/* ---- managed regions ---------------------------------------------------------- */
typedef unsigned int dm_regflags_t;
#define DM_REGION_NOEVENT 0x0
#define DM_REGION_READ 0x1
#define DM_REGION_WRITE 0x2
#define DM_REGION_TRUNCATE 0x4

typedef struct {
  dm_off_t rg_offset;
  dm_size_t rg_size; /* 0: up to the end of the file, whatever its size */
  dm_regflags_t rg_flags;
  unsigned int rg_opaque;
} dm_region_t;

/* ---- file attributes ------------------------------------------------------------ */
/* dm_set_fileattr mask bits */
#define DM_AT_ATIME 0x0001
#define DM_AT_MTIME 0x0002
#define DM_AT_CTIME 0x0004
#define DM_AT_DTIME 0x0008
#define DM_AT_UID 0x0010
#define DM_AT_GID 0x0020
#define DM_AT_MODE 0x0040
#define DM_AT_SIZE 0x0080
/* further dm_get_fileattr mask bits */
#define DM_AT_EMASK 0x0100
#define DM_AT_PMANR 0x0200
#define DM_AT_PATTR 0x0400
#define DM_AT_HANDLE 0x0800
#define DM_AT_STAT 0x1000
#define DM_AT_CFLAG 0x2000

typedef struct {
  dm_vardata_t _link;
  dm_vardata_t dt_handle;
  dm_vardata_t dt_compname;
  int dt_nevents;
  dm_eventset_t dt_emask;
  int dt_pers;    /* non-zero: the object carries DMAPI attributes */
  int dt_pmanreg; /* non-zero: the object has managed regions */
  time_t dt_dtime;
  unsigned int dt_change;
  dev_t dt_dev;
  dm_ino_t dt_ino;
  mode_t dt_mode;
  nlink_t dt_nlink;
  uid_t dt_uid;
  gid_t dt_gid;
  dev_t dt_rdev;
  dm_off_t dt_size;
  time_t dt_atime;
  time_t dt_mtime;
  time_t dt_ctime;
  unsigned int dt_blksize;
  dm_size_t dt_blocks; /* 512-byte units */
} dm_stat_t;

typedef struct {
  mode_t fa_mode;
  uid_t fa_uid;
  gid_t fa_gid;
  time_t fa_atime;
  time_t fa_mtime;
  time_t fa_ctime;
  time_t fa_dtime;
  dm_off_t fa_size;
} dm_fileattr_t;

/* ---- extents (dm_get_allocinfo) -------------------------------------------------- */
typedef enum { DM_EXTENT_INVALID = 0, DM_EXTENT_RES = 1, DM_EXTENT_HOLE = 2 } dm_extenttype_t;
typedef struct {
  dm_extenttype_t ex_type;
  unsigned int ex_pad;
  dm_off_t ex_offset;
  dm_size_t ex_length;
} dm_extent_t;

/* ---- dispositions and inherited attributes (declared for completeness) ---------- */
typedef struct {
  dm_vardata_t _link;
  unsigned int di_pad1;
  dm_vardata_t di_fshandle;
  dm_eventset_t di_eventset;
} dm_dispinfo_t;

typedef struct {
  dm_attrname_t ih_name;
  mode_t ih_filetype;
} dm_inherit_t;

typedef enum {
  DM_CONFIG_INVALID = 0,
  DM_CONFIG_BULKALL,
  DM_CONFIG_CREATE_BY_HANDLE,
  DM_CONFIG_DTIME_OVERLOAD,
  DM_CONFIG_LEGACY,
  DM_CONFIG_LOCK_UPGRADE,
  DM_CONFIG_MAX_ATTR_ON_DESTROY,
  DM_CONFIG_MAX_ATTRIBUTE_SIZE,
  DM_CONFIG_MAX_HANDLE_SIZE,
  DM_CONFIG_MAX_MANAGED_REGIONS,
  DM_CONFIG_MAX_MESSAGE_DATA,
  DM_CONFIG_OBJ_REF,
  DM_CONFIG_PENDING,
  DM_CONFIG_PERS_ATTRIBUTES,
  DM_CONFIG_PERS_EVENTS,
  DM_CONFIG_PERS_INHERIT_ATTRIBS,
  DM_CONFIG_PERS_MANAGED_REGIONS,
  DM_CONFIG_PUNCH_HOLE,
  DM_CONFIG_TOTAL_ATTRIBUTE_SPACE,
  DM_CONFIG_WILL_RETRY
} dm_config_name_t;

#define DM_WRITE_SYNC 0x1

/* ---- service --------------------------------------------------------------------- */
/* Stores a pointer to the static version string ("ORCA DMAPI 3.30"). */
int dm_init_service(char** versionstrpp);
int dm_get_config(void* hanp, size_t hlen, dm_config_t flagname, dm_size_t* retvalp);
int dm_get_config_events(void* hanp, size_t hlen, unsigned int nelem, dm_eventset_t* eventsetp,
                         unsigned int* nelemp);

/* ---- sessions ----------------------------------------------------------------------- */
/* oldsid != DM_NO_SESSION: take over that session (its tokens move along) and
 * retire its id. sessinfop longer than DM_SESSION_INFO_LEN-1: E2BIG. */
int dm_create_session(dm_sessid_t oldsid, char* sessinfop, dm_sessid_t* newsidp);
/* EBUSY while the session still has tokens; EINVAL for an unknown session. */
int dm_destroy_session(dm_sessid_t sid);
int dm_query_session(dm_sessid_t sid, size_t buflen, void* bufp, size_t* rlenp);
int dm_getall_sessions(unsigned int nelem, dm_sessid_t* sidbufp, unsigned int* nelemp);

/* ---- events and tokens ---------------------------------------------------------------- */
int dm_create_userevent(dm_sessid_t sid, size_t msglen, void* msgdatap, dm_token_t* tokenp);
/* Ends the token: its rights are released and it leaves the session. */
int dm_respond_event(dm_sessid_t sid, dm_token_t token, dm_response_t response, int reterror,
                     size_t buflen, void* respbufp);
int dm_getall_tokens(dm_sessid_t sid, unsigned int nelem, dm_token_t* tokenbufp,
                     unsigned int* nelemp);
/* No event source exists on Linux: these report ENOSYS. */
int dm_get_events(dm_sessid_t sid, unsigned int maxmsgs, unsigned int flags, size_t buflen,
                  void* bufp, size_t* rlenp);
int dm_find_eventmsg(dm_sessid_t sid, dm_token_t token, size_t buflen, void* bufp,
                     size_t* rlenp);
int dm_send_msg(dm_sessid_t targetsid, dm_msgtype_t msgtype, size_t buflen, void* bufp);
int dm_move_event(dm_sessid_t srcsid, dm_token_t token, dm_sessid_t targetsid,
                  dm_token_t* rtokenp);
int dm_pending(dm_sessid_t sid, dm_token_t token, void* delay);
int dm_set_return_on_destroy(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                             dm_attrname_t* attrnamep, dm_boolean_t enable);
int dm_getall_disp(dm_sessid_t sid, size_t buflen, void* bufp, size_t* rlenp);
int dm_get_mountinfo(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                     size_t buflen, void* bufp, size_t* rlenp);

/* Dispositions: kept by the session for the file system of the handle. */
int dm_set_disp(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                dm_eventset_t* eventsetp, unsigned int maxevent);
/* Event lists: stored with the object (or the file system's root). */
int dm_set_eventlist(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                     dm_eventset_t* eventsetp, unsigned int maxevent);
int dm_get_eventlist(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                     unsigned int nelem, dm_eventset_t* eventsetp, unsigned int* nelemp);

/* ---- rights ------------------------------------------------------------------------- */
/* right must be SHARED or EXCL. A token never conflicts with itself. Without
 * DM_RR_WAIT a conflicting holder in this process gives EAGAIN. */
int dm_request_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                     unsigned int flags, dm_right_t right);
/* EACCES when the token holds no right on the object. */
int dm_release_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token);
int dm_query_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                   dm_right_t* rightp);
int dm_upgrade_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token);
int dm_downgrade_right(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token);

/* ---- handles ----------------------------------------------------------------------- */
int dm_path_to_handle(char* path, void** hanpp, size_t* hlenp);
int dm_path_to_fshandle(char* path, void** hanpp, size_t* hlenp);
int dm_fd_to_handle(int fd, void** hanpp, size_t* hlenp);
/* Our extension: dm_fd_to_handle for a token that is about to work on the
 * file. The token borrows fd as its descriptor of the object until it is
 * answered, so none of its calls opens the object by handle and nothing is
 * duplicated: the caller keeps fd open until then, and the token's calls
 * may move its file offset. For a regular file fd must be open for reading
 * and writing (it is written through as it is, without O_NOATIME). A file
 * without a name yet (O_TMPFILE) is accepted. As for every token, validity
 * is proved once: the token's calls act on the object fd names, whatever
 * happens to its names meanwhile. The access mode is not checked here: a
 * call of the token that needs more than fd grants fails with EBADF, as fd
 * itself would. Errors: those of dm_fd_to_handle; EINVAL for an unknown
 * session, DM_NO_TOKEN or an object that is neither a regular file nor a
 * directory; ESRCH for a token that is not the session's. */
int dmx_fd_to_handle_for_token(dm_sessid_t sid, dm_token_t token, int fd, void** hanpp, size_t* hlenp);
int dm_handle_to_fshandle(void* hanp, size_t hlen, void** fshanpp, size_t* fshlenp);
int dm_make_handle(dm_fsid_t* fsidp, dm_ino_t* inop, dm_igen_t* igenp, void** hanpp,
                   size_t* hlenp);
int dm_make_fshandle(dm_fsid_t* fsidp, void** hanpp, size_t* hlenp);
int dm_handle_to_fsid(void* hanp, size_t hlen, dm_fsid_t* fsidp);
int dm_handle_to_ino(void* hanp, size_t hlen, dm_ino_t* inop);
int dm_handle_to_igen(void* hanp, size_t hlen, dm_igen_t* igenp);
/* The absolute path of targhanp, which must lie beneath the directory (or
 * file system) dirhanp. E2BIG with *rlenp set when buflen is too small. */
int dm_handle_to_path(void* dirhanp, size_t dirhlen, void* targhanp, size_t targhlen,
                      size_t buflen, char* pathbufp, size_t* rlenp);
dm_boolean_t dm_handle_is_valid(void* hanp, size_t hlen);
/* 0 when equal; otherwise the sign orders the two handles. */
int dm_handle_cmp(void* hanp1, size_t hlen1, void* hanp2, size_t hlen2);
unsigned int dm_handle_hash(void* hanp, size_t hlen);
void dm_handle_free(void* hanp, size_t hlen);

/* ---- DMAPI attributes ----------------------------------------------------------------- */
int dm_set_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                  dm_attrname_t* attrnamep, int setdtime, size_t buflen, void* bufp);
/* ENOENT when absent; E2BIG with *rlenp = the needed length when buflen is short. */
int dm_get_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                  dm_attrname_t* attrnamep, size_t buflen, void* bufp, size_t* rlenp);
int dm_remove_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, int setdtime,
                     dm_attrname_t* attrnamep);
int dm_getall_dmattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, size_t buflen,
                     void* bufp, size_t* rlenp);

/* ---- managed regions -------------------------------------------------------------------- */
int dm_set_region(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int nelem,
                  dm_region_t* regbufp, dm_boolean_t* exactflagp);
int dm_get_region(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int nelem,
                  dm_region_t* regbufp, unsigned int* nelemp);

/* ---- data ---------------------------------------------------------------------------------- */
int dm_probe_hole(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t off,
                  dm_size_t len, dm_off_t* roffp, dm_size_t* rlenp);
int dm_punch_hole(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t off,
                  dm_size_t len);
int dm_get_allocinfo(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t* offp,
                     unsigned int nelem, dm_extent_t* extentp, unsigned int* nelemp);
dm_ssize_t dm_read_invis(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, dm_off_t off,
                         dm_size_t len, void* bufp);
dm_ssize_t dm_write_invis(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, int flags,
                          dm_off_t off, dm_size_t len, void* bufp);
int dm_sync_by_handle(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token);

/* ---- file attributes ----------------------------------------------------------------------- */
int dm_get_fileattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                    dm_stat_t* statp);
int dm_set_fileattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                    dm_fileattr_t* attrp);

/* Bulk and directory scans, inheritance and by-handle creation: ENOSYS. */
int dm_init_attrloc(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                    dm_attrloc_t* locp);
int dm_get_bulkattr(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                    dm_attrloc_t* locp, size_t buflen, void* bufp, size_t* rlenp);
int dm_get_dirattrs(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                    dm_attrloc_t* locp, size_t buflen, void* bufp, size_t* rlenp);
int dm_get_bulkall(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token, unsigned int mask,
                   dm_attrname_t* attrnamep, dm_attrloc_t* locp, size_t buflen, void* bufp,
                   size_t* rlenp);
int dm_set_inherit(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                   dm_attrname_t* attrnamep, mode_t mode);
int dm_clear_inherit(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                     dm_attrname_t* attrnamep);
int dm_getall_inherit(dm_sessid_t sid, void* hanp, size_t hlen, dm_token_t token,
                      unsigned int nelem, dm_inherit_t* inheritbufp, unsigned int* nelemp);
int dm_create_by_handle(dm_sessid_t sid, void* dirhanp, size_t dirhlen, dm_token_t token,
                        void* hanp, size_t hlen, char* cname);
int dm_mkdir_by_handle(dm_sessid_t sid, void* dirhanp, size_t dirhlen, dm_token_t token,
                       void* hanp, size_t hlen, char* cname);
int dm_symlink_by_handle(dm_sessid_t sid, void* dirhanp, size_t dirhlen, dm_token_t token,
                         void* hanp, size_t hlen, char* cname, char* path);

#ifdef __cplusplus
}

inline bool operator==(const dm_token_t& a, const dm_token_t& b) {
  return a.high == b.high && a.low == b.low;
}
inline bool operator!=(const dm_token_t& a, const dm_token_t& b) { return !(a == b); }
#endif

#endif
