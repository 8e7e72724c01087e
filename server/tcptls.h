// TLS under the TCP communication method (server/tcpcomm.h only): the
// handshake against a pinned server certificate and the encrypted reads and
// writes. Nothing above tcpcomm sees it; a session asks only whether its
// server is authenticated (TcpServerAuthenticated).
//
// Contract
// - TLS 1.3 only. The server's certificate is accepted when its SHA-256
//   fingerprint (of the DER form) equals the pin: SSLSERVERPIN is either the
//   absolute path of a PEM certificate file (its first certificate is the
//   pin) or "SHA256:" and 32 bytes in hexadecimal, colons allowed. No
//   certificate authority is consulted: the pin alone decides.
// - tlsStart runs on a connected socket before any verb; on success the
//   socket is left non-blocking and `*out` owns the TLS state. On failure it
//   prints the reason on the terminal (and in the error log), nothing was
//   sent but the handshake, and it returns RC_COMM_FAILURE (RC_COMM_ABORTED
//   when the process-wide interrupt ended the wait).
// - tlsRecv / tlsSend wait with clPollInterruptible for at most `timeoutMs`
//   (-1: no limit). tlsRecv gives the byte count, 0 at the end of the
//   connection; both give RC_COMM_FAILURE or RC_COMM_ABORTED on failure.
// - A TlsSession is used by one thread at a time; tlsFree may be called on
//   a null pointer.
#ifndef KMR_SERVER_TCPTLS_H
#define KMR_SERVER_TCPTLS_H

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct TcpSettings;
struct TlsSession;

// The 32 bytes a pin names; std::nullopt with `why` set when it names none.
std::optional<std::array<uint8_t, 32>> tlsParsePin(const std::string& pin, std::string& why);

int tlsStart(int fd, const TcpSettings& settings, TlsSession** out);
ssize_t tlsRecv(TlsSession* t, int fd, uint8_t* buf, size_t len, int timeoutMs);
int tlsSend(TlsSession* t, int fd, const uint8_t* buf, size_t len, int timeoutMs);
// Bytes already decrypted and waiting to be read.
bool tlsPending(TlsSession* t);
// A non-blocking look at a readable connection: false when the peer closed
// it or it failed, true when data is there or only part of a record came.
bool tlsAlive(TlsSession* t);
void tlsFree(TlsSession* t);

#endif
