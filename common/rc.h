// The client's return codes, each with its one name, grouped by the layer
// that gives them. A call site names a code, never writes its number, and no
// number has a second name in a layer's own header.
//
// Codes are plain ints because they travel unchanged from the session through
// the transaction list and the reconcile engine to the command's messages
// (common/nls_error.cpp turns each into its text). Negative codes come from
// the transport (and -1 from the comm interface), codes below 100 mostly
// from the server (abort reasons, refused sign-ons), the codes from 100 up
// are the client's own.
//
// Contract
// - Plain values; safe from any thread.
#ifndef KMR_COMMON_RC_H
#define KMR_COMMON_RC_H

inline constexpr int RC_OK = 0;
// Transport.
inline constexpr int RC_COMM_FAILURE = -50;  // the connection failed or broke
inline constexpr int RC_COMM_ABORTED = -58;  // the connection was aborted on purpose
inline constexpr int RC_NO_BUFFER = -72;     // no verb buffer to send or receive with
// Server abort reasons: the reason byte of the server's EndTxn with vote 2
// (docs/protocol.md). zefserverd sends them, the client passes them on.
inline constexpr int RC_NO_MATCH = 2;            // nothing matched the query
inline constexpr int RC_ALREADY_EXISTS = 19;     // FSAdd: the file space is already there
inline constexpr int RC_UNKNOWN_OBJECT = 31;     // MigrUpd/MigrDel: no such object of this node
inline constexpr int RC_WRONG_FILE_SPACE = 32;   // the object is in another file space
inline constexpr int RC_TOO_MANY_CHANGES = 33;   // more changes than one transaction holds
inline constexpr int RC_BAD_CHANGE = 34;         // a change that cannot be stored
inline constexpr int RC_STORE_FAILURE = 36;      // the server's database failed
// Object data (the data verbs' result byte, docs/protocol.md "Object data").
inline constexpr int RC_DATA_NO_SPACE = 37;      // the server's data directory is full
inline constexpr int RC_DATA_MISMATCH = 38;      // the bytes received are not those the client read
inline constexpr int RC_DATA_DAMAGED = 39;       // stored data missing or not what its record says
inline constexpr int RC_DATA_IO = 40;            // another input/output failure of the data store
inline constexpr int RC_NO_DATA = 41;            // the object has no data on the server
// A refused sign-on: the server's result byte plus 50.
inline constexpr int RC_SIGNON_RESULT_BASE = 50;
inline constexpr int RC_SIGNON_REFUSED = 51;           // result 1: unknown node or wrong password
inline constexpr int RC_SIGNON_PASSWORD_EXPIRED = 52;  // result 2
// The client's own.
inline constexpr int RC_STOPPED = 101;          // a stop was requested (signal, user)
inline constexpr int RC_NO_MEMORY = 102;        // an allocation failed
inline constexpr int RC_INVALID_PARM = 109;     // an empty or missing name or argument
inline constexpr int RC_INTERNAL = 115;         // a failure of the run that has no code of its own
inline constexpr int RC_FINISHED = 121;         // the end of the server's answers
inline constexpr int RC_UNKNOWN_FORMAT = 122;   // an attribute block of an unknown format
inline constexpr int RC_UNEXPECTED = 131;       // more than one answer, or an item of unknown kind
inline constexpr int RC_PROTOCOL_ERROR = 136;   // the conversation broke the protocol
inline constexpr int RC_NO_MODE = 143;          // no reconcile mode of that name
inline constexpr int RC_INVALID_OBJECT = 144;   // the object cannot be changed (or no open list)
inline constexpr int RC_REOPEN_FAILED = 500;    // a re-open of the session gave up
// The server layer's: comm interface, file space lookup, verbs, session, queue.
inline constexpr int RC_NO_STANZA = -1;            // no server stanza (or no session) for the file system
inline constexpr int RC_UNICODE_DISABLED = 57;     // TESTFLAGS DISABLEUNICODEFLAG stops fsCheckAdd
inline constexpr int RC_REOPEN_GO_ON = 140;        // a re-open callback's answer to go on
inline constexpr int RC_BAD_FS_INFO = 289;         // the file space's information is not ours
inline constexpr int RC_BAD_API_FS_INFO = 918;     // ... and its type says an API client made it
inline constexpr int RC_EMPTY_FS_NAME = 935;       // an empty file space name
inline constexpr int RC_QUEUE_WAKEUP_EMPTY = 964;  // woken, or timed out, without news
// The HSM layer's: the checks of a file system (IsMigFsOK) and lock files.
inline constexpr int RC_FS_NOT_TARNVELD_ACTIVE = 809;  // the HSM is not active on it
inline constexpr int RC_FS_NOT_MFS_MOUNTED = 810;      // not a managed file system
inline constexpr int RC_FS_NOT_A_MOUNT_POINT = 811;    // not the mount point of a file system
inline constexpr int RC_FS_ERROR = 813;                // its HSM state cannot be read
inline constexpr int DFPS_RC_LOCKED = 145;             // the lock file is locked by another process
inline constexpr int DFPS_RC_FAILED = 114;             // a lock file cannot be opened, locked or written
inline constexpr int DFPS_RC_NOT_OPEN = 941;           // the lock file is not open
// Services of common/: trace file, message system, error log, threads.
inline constexpr int RC_TRACE_OPEN_FAILED = 426;   // the trace file cannot be opened
inline constexpr int RC_NLS_INIT_FAILED = 610;     // the message catalog cannot be opened
inline constexpr int RC_LOG_WRITE_FAILED = 621;    // an error log entry could not be written
inline constexpr int RC_DEADLOCK = 936;            // a thread would lock a mutex it holds
inline constexpr int RC_ARG_TOO_LONG = 937;        // a command line argument of 1279 characters or more
inline constexpr int RC_TRACE_FILE_IS_LINK = 959;  // the trace file name is a symbolic link

// The option layer's codes. ReportOptionError (common/options.h) turns each
// into its message: the one named beside it, or message 1036 with the option,
// file and line followed by the one named.
inline constexpr int RC_OPT_VALUE_TOO_LONG = 148;      // 1036 + 1041
inline constexpr int RC_OPT_VALUE_MISSING = 149;       // 1036 + 1042
inline constexpr int RC_OPT_NO_SUCH_FILE = 162;        // 1251 the value names a missing file
inline constexpr int RC_OPT_INVALID = 400;             // 1036 + 1038 unknown option or bad value
inline constexpr int RC_OPT_BAD_QUOTE = 402;           // 1036 + 1043
inline constexpr int RC_OPT_NO_SERVER_ADDRESS = 405;   // 1218
inline constexpr int RC_OPT_FILE_NOT_FOUND = 406;      // 1035 an option file cannot be opened
inline constexpr int RC_OPT_REPEATED = 408;            // 1036 + 1219
inline constexpr int RC_OPT_NO_STANZA = 409;           // 1217
inline constexpr int RC_OPT_BAD_KEYWORD = 410;         // 1036 + 1037
inline constexpr int RC_OPT_BAD_NUMBER = 411;          // 1036 + 1039
inline constexpr int RC_OPT_BAD_DATE = 412;            // 1036 + 1040
inline constexpr int RC_OPT_NOT_IN_STANZA = 419;       // 262
inline constexpr int RC_OPT_CORRECT_AND_RETRY = 420;   // 1036 + 297 (on standard output)
inline constexpr int RC_OPT_SYSFILE_NOT_FOUND = 421;   // 1156
inline constexpr int RC_OPT_NOT_HERE = 429;            // 1691, then ignored
inline constexpr int RC_OPT_READ_ERROR = 600;          // 1131
inline constexpr int RC_OPT_LINE_TOO_LONG = 601;       // 1130
inline constexpr int RC_OPT_UNSUPPORTED = 4604;        // 1480

#endif
