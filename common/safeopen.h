// Opening configuration, option, state and control files so that nothing
// planted at their names can hold or mislead the command: the open never
// blocks (a FIFO, a device), and only a regular file is handed out.
//
// Contract
// - Results are a descriptor (or FILE*) the caller owns, opened close-on-exec
//   and in blocking mode again for the reads and writes that follow; or -1
//   (nullptr) with errno set. Anything other than a regular file, after the
//   open (or a FIFO without a reader, which fails the open with ENXIO),
//   gives errno EINVAL and no descriptor stays open.
// - clOpenRegularBeneath resolves `name` beneath the directory `dir`
//   without following any symbolic link (not at `dir`'s last component
//   either, nor in `name`, nor at its end) and without leaving `dir`:
//   for files in directories that users can write to.
// - clOpenRegular opens one path; with kNoFollow a symbolic link at the
//   last component is refused (ELOOP), with kFollowLinks an administrator's
//   link (for example to a shared option file) is followed.
// - clFopenRegular takes the fopen modes "r", "r+", "w", "w+", "a", "a+".
// - Thread-safe, no allocation except the FILE of clFopenRegular.
#ifndef KMR_COMMON_SAFEOPEN_H
#define KMR_COMMON_SAFEOPEN_H

#include <sys/types.h>

#include <cstdio>
#include <string>

enum class LinkPolicy { kNoFollow, kFollowLinks };

int clOpenRegularBeneath(const std::string& dir, const std::string& name, int flags, mode_t mode);
int clOpenRegular(const char* path, int flags, mode_t mode, LinkPolicy links);
FILE* clFopenRegular(const char* path, const char* mode, LinkPolicy links);
// The whole content of a regular file (clOpenRegular for reading). False
// with errno set when it can't be opened or read.
bool clReadRegularFile(const char* path, LinkPolicy links, std::string* content);

#endif
