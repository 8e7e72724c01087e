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

#endif
