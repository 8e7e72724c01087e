// The TCP communication method of a session: one connection to the storage
// server with a send buffer in front of it.
//
// Contract
// - A CommObj belongs to one session and is used by one thread at a time;
//   TcpAbort is the exception: any thread (not a signal handler) may call it
//   to wake a reader; it takes the method's mutex, like TcpClose.
// - TcpWrite may keep data in the send buffer; TcpRead always flushes the
//   buffer first, so a request is on the wire before its answer is awaited.
// - Results: 0, RC_COMM_FAILURE (-50) for a failed or closed connection,
//   RC_COMM_ABORTED (-58) after TcpAbort or when the process-wide interrupt
//   (common/interrupt.h) ended a wait. No function throws.
// - The socket is closed on every path by its owning UniqueFd.
// - With settings.ssl the connection is TLS 1.3 to a server whose
//   certificate matches settings.serverPin (server/tcptls.h), set up in
//   TcpOpen before anything else is sent; reads and writes then go through
//   it unchanged for the caller. Without it the bytes travel as they are.
#ifndef KMR_SERVER_TCPCOMM_H
#define KMR_SERVER_TCPCOMM_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/rc.h"
#include "common/uniquefd.h"

struct TcpSettings {
  std::string serverAddress = "127.0.0.1";  // TCPSERVERADDRESS: name or dotted address
  uint16_t port = 1500;                      // TCPPORT
  uint32_t buffSize = 32 * 1024;             // TCPBUFFSIZE in bytes
  uint32_t windowSizeKB = 0;                 // TCPWINDOWSIZE; 0 keeps the system's sizes
  bool noDelay = true;                       // TCPNODELAY
  bool socketDebug = false;
  bool nonBlocking = true;                   // false when DISABLENONBLOCKING is set
  int connectAttempts = 5;
  int connectTimeoutSeconds = 30;
  int resolveTimeoutSeconds = 30;
  // A server that keeps the connection but stops talking in the middle of
  // an exchange must not hold the client for ever; 0 waits without limit.
  int readTimeoutSeconds = 600;
  bool ssl = false;                          // SSL YES: TLS before the first verb
  std::string serverPin;                     // SSLSERVERPIN: certificate file or SHA256:fingerprint
};

struct TlsSession;

struct CommObj {
  CommObj() = default;
  CommObj(const CommObj&) = delete;
  CommObj& operator=(const CommObj&) = delete;
  ~CommObj();
  TcpSettings settings;
  UniqueFd fd;
  std::vector<uint8_t> sendBuf;
  size_t sendUsed = 0;
  size_t readSize = 64 * 1024;               // largest piece asked of recv()
  // Read-ahead: a stream of small verbs costs one recv() per buffer, not
  // two per verb. Only the reading thread touches it.
  std::vector<uint8_t> readBuf;
  size_t readPos = 0, readEnd = 0;
  std::mutex mutex;                          // guards the send buffer
  std::atomic<bool> abortRequested{false};
  TlsSession* tls = nullptr;                 // owned; set while a TLS connection is open
};

// Opens the connection described by comm->settings (retries and limits as in
// the settings). Returns 0, RC_COMM_FAILURE, or RC_COMM_ABORTED when the
// process-wide interrupt (common/interrupt.h) ended the attempts; on failure
// nothing stays open.
int TcpOpen(CommObj* comm);
// Reads exactly `len` bytes. Returns 0, RC_COMM_FAILURE or RC_COMM_ABORTED.
int TcpRead(CommObj* comm, uint8_t* buf, size_t len);
// Queues or sends `len` bytes. Returns 0, RC_COMM_FAILURE or RC_COMM_ABORTED.
int TcpWrite(CommObj* comm, const uint8_t* buf, size_t len);
// Sends whatever the buffer holds. Returns 0, RC_COMM_FAILURE or RC_COMM_ABORTED.
int TcpFlush(CommObj* comm);
// Whether a read would not block now: bytes are read ahead, or the socket is
// readable (data, end of file or an error, which the read then reports).
// Never blocks. Call from the reading thread.
bool TcpReadable(CommObj* comm);
// True while the connection is open in TLS with the pinned server
// certificate: the server at the other end is the one configured. A password
// kept for that server may go only where this is true.
bool TcpServerAuthenticated(const CommObj* comm);
// Whether the connection is still there, without waiting and without
// taking any byte a later read is to get: false when the peer closed or
// reset it. Call from the reading thread.
bool TcpAlive(CommObj* comm);
// Closes the connection, dropping unsent data. Returns 0.
int TcpClose(CommObj* comm);
// Makes a blocked or later read return RC_COMM_ABORTED. Returns 0.
int TcpAbort(CommObj* comm);

#endif
