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
};

struct CommObj {
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
// Closes the connection, dropping unsent data. Returns 0.
int TcpClose(CommObj* comm);
// Makes a blocked or later read return RC_COMM_ABORTED. Returns 0.
int TcpAbort(CommObj* comm);

#endif
