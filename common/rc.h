// The client's return codes: one name for each code that more than one layer
// passes on. A layer's own codes that never leave it stay in its header.
//
// Codes are plain ints because they travel unchanged from the session through
// the transaction list and the reconcile engine to the command's messages
// (common/nls_error.cpp turns each into its text). Negative codes come from
// the transport, small positive ones are the server's abort reasons, the
// codes from 100 up are the client's own.
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
// Server abort reasons.
inline constexpr int RC_NO_MATCH = 2;         // nothing matched the query
inline constexpr int RC_ALREADY_EXISTS = 19;  // the object is already there
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
