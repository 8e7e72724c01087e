// How zefserverd talks to the service manager that started it.
//
// Readiness goes as systemd's notification datagram: "KEY=VALUE" lines in one
// datagram to the AF_UNIX socket named by NOTIFY_SOCKET (a name that begins
// with '@' lies in the abstract namespace). We send it ourselves rather than
// link libsystemd: the protocol is one sendto(), stable and documented, and
// the server keeps no further dependency.
//
// Contract
// - notifyServiceManager() sends `state` as one datagram and returns true
//   once it is sent. It returns false, sending nothing, when NOTIFY_SOCKET is
//   unset or empty (no service manager waits) or names no usable socket, and
//   false when the send fails (errno is then set). Never throws; any thread.
// - stderrIsJournal() is true when standard error is the journal's stream:
//   JOURNAL_STREAM ("<device>:<inode>", set by systemd for a service whose
//   output goes to the journal) names the device and inode of descriptor 2.
//   The journal stamps every line itself, so the log then leaves out its own
//   time stamps.
#ifndef KMR_ZEFSERVER_NOTIFY_H
#define KMR_ZEFSERVER_NOTIFY_H

#include <string>

namespace zef {

bool notifyServiceManager(const std::string& state);
bool stderrIsJournal();

}  // namespace zef

#endif
