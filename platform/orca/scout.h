// Notification of the scout daemon: one datagram on a Unix socket per
// changed file, fire and forget.
//
// Contract
// - HSM_Comm_ChangeFileStatus sends one datagram (layout in
//   docs/protocol.md, "Scout notification") to the scout socket and never
//   waits: without a listener, or with a full socket buffer, nothing happens.
//   Returns 0 when the datagram was handed to the kernel, -1 with errno
//   otherwise; callers may ignore it.
// - Any thread may call. The socket path is process-wide; only tests change
//   it, before they start threads.
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
const std::string& hsmScoutSocketPath();

// The datagram for one notification.
std::string hsmScoutEncode(const char* fsName, const char* dirName, const char* fileName,
                           int status);

#endif
