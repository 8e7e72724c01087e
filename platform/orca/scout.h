// Notification of the scout daemon: one datagram on a Unix socket per
// changed file, fire and forget.
//
// Contract
// - HSM_Comm_ChangeFileStatus sends one datagram (layout in
//   docs/protocol.md, "Scout notification") to the scout socket and never
//   waits: without a listener, or with a full socket buffer, nothing happens.
//   Returns 0 when the datagram was handed to the kernel, -1 with errno
//   otherwise; callers may ignore it.
// - One socket serves the whole process. Once a send finds nobody listening
//   (no socket file, or nobody bound to it: ENOENT, ECONNREFUSED), later
//   calls fail at once with that errno and send nothing for the rest of the
//   process's life: a scout that is not running when a run starts is not
//   waited for. A full buffer (EAGAIN) drops only that one notification.
// - Any thread may call. The socket path is process-wide; only tests change
//   it, before they start threads. Setting it starts afresh (a new socket,
//   listeners tried again).
#ifndef KMR_PLATFORM_ORCA_SCOUT_H
#define KMR_PLATFORM_ORCA_SCOUT_H

#include <cstddef>
#include <string>

inline constexpr const char* kScoutSocketPath = "/run/kmrscout.sock";
inline constexpr const char kScoutMagic[] = "KMRSCOUT1";

int HSM_Comm_ChangeFileStatus(const char* fsName, const char* dirName, const char* fileName,
                              int status);

// The socket the notifications go to ("" restores kScoutSocketPath).
void hsmScoutSetSocketPath(const std::string& path);

// The datagram for one notification.
std::string hsmScoutEncode(const char* fsName, const char* dirName, const char* fileName,
                           int status);

#endif
