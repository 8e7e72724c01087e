// The recall gate: how a program that punches a file's data out in place
// makes sure kmrrecalld no longer excuses that file from recall.
//
// kmrrecalld excuses resident and premigrated files from access events
// (ignore marks) and learns that such a file is becoming a stub only from
// the kernel's report of the "VOQObj" change, which it reads some time after
// the change. A punch in that time would let a reader pass the old mark and
// see holes. So a stub maker, after writing "VOQObj" and before punching,
// asks the daemon through a Unix socket in the file system's ".Tarnveld"
// directory to read its pending reports and drop any mark on the file, and
// punches only once the daemon said so. The exchange is in docs/protocol.md
// ("The recall gate").
//
// Contract
// - drainRecallReports is called by a stub maker running as root, holding
//   the file's stub-making lock (hsmattr.h, StubMakingLock) and after
//   "VOQObj" is written; any thread may call it; it blocks at most
//   `deadlineMs` milliseconds.
// - It returns true when the punch may go ahead: the daemon answered that the
//   file is excused no longer, or no daemon listens (no socket, or a socket
//   nobody accepts on: the kernel then delivers no events at all). It
//   returns false, with message 9859 on stderr and errno set, when a daemon
//   listens but did not answer in time, answered a failure, or is not root's:
//   the caller must not punch. Once a daemon let a request go unanswered,
//   later requests of the process for that mount point fail at once
//   (ETIMEDOUT): a hung daemon costs a run one deadline, not one per file.
// - Where the socket does not exist, the cost is one lookup of its name.
// - The daemon's side (recall/) uses the names and the layout below.
#ifndef KMR_HSMFS_RECALLGATE_H
#define KMR_HSMFS_RECALLGATE_H

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <string>

// The socket's name inside "<mount point>/.Tarnveld".
inline constexpr const char* kRecallGateName = ".kmrrecalld.sock";
// The request: these 4 bytes and 4 zero bytes, with the file's descriptor
// (SCM_RIGHTS). The answer: kRecallGateDone and a 4-byte big-endian status
// (0, or the errno value of what failed).
inline constexpr char kRecallGateAsk[4] = {'D', 'R', 'N', '1'};
inline constexpr char kRecallGateDone[4] = {'D', 'O', 'N', 'E'};
inline constexpr size_t kRecallGateMsgLen = 8;
// One message of the exchange with room for one descriptor, for sendmsg and
// recvmsg alike. `header` points into the object itself, so it is neither
// copied nor moved.
struct RecallGateMessage {
  RecallGateMessage() {
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
  }
  RecallGateMessage(const RecallGateMessage&) = delete;
  RecallGateMessage& operator=(const RecallGateMessage&) = delete;

  char bytes[kRecallGateMsgLen] = {};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct iovec iov {bytes, sizeof bytes};
  struct msghdr header {};
};

// How long a stub maker waits for the answer.
inline constexpr int kRecallGateDeadlineMs = 10000;

// "<mountPoint>/.Tarnveld/.kmrrecalld.sock".
std::string recallGatePath(const std::string& mountPoint);

// Opens ".Tarnveld" of `mountPoint` (O_PATH, not following a link) and
// writes the name by which the socket in it is reached without the length
// limit of a socket address ("/proc/self/fd/N/.kmrrecalld.sock") into
// `*address`. Returns the directory descriptor (the caller closes it), or -1
// with errno set.
int recallGateDir(const std::string& mountPoint, std::string* address);

// See the contract above. `fd` is the file about to be punched, open
// beneath `mountPoint`.
bool drainRecallReports(const std::string& mountPoint, int fd, int deadlineMs = kRecallGateDeadlineMs);
// The same without the message, for a program without the message catalog
// (zefadm): 0 when the punch may go ahead, else the errno value.
int askRecallGate(const std::string& mountPoint, int fd, int deadlineMs = kRecallGateDeadlineMs);

#endif
