// Test support: real file systems mounted inside a private mount namespace, so
// that tests never touch the host's mount table. Root only.
//
// Call EnterPrivateMountNamespace() once, before any thread is started (for
// example from a GoogleTest environment or the first fixture's
// SetUpTestSuite); it fails when the process already has threads.
#ifndef KMR_TESTS_SUPPORT_PRIVATE_MOUNT_H
#define KMR_TESTS_SUPPORT_PRIVATE_MOUNT_H

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace kmrtest {

// Returns true when the process now has a private mount namespace.
inline bool EnterPrivateMountNamespace() {
  static int state = 0;  // 0 = not tried, 1 = done, -1 = failed
  if (state == 0) {
    state = (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) ? 1 : -1;
  }
  return state == 1;
}

// A scratch file system mounted on a fresh directory under /tmp; unmounted and
// removed on destruction. kind is "tmpfs" or "ext4" (a loop-mounted image).
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& kind = "tmpfs", unsigned sizeMb = 64) {
    char tmpl[] = "/tmp/kmrmnt.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    if (kind == "tmpfs") {
      std::string opts = "size=" + std::to_string(sizeMb) + "m";
      if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, opts.c_str()) != 0)
        throw std::runtime_error("mount tmpfs failed");
    } else {
      image_ = dir_ + ".img";
      std::string cmd = "truncate -s " + std::to_string(sizeMb) + "M " + image_ +
                        " && mkfs.ext4 -q -F " + image_ + " >/dev/null 2>&1 && mount -o loop " +
                        image_ + " " + dir_;
      if (system(cmd.c_str()) != 0) throw std::runtime_error("loop ext4 mount failed");
    }
  }
  ~ScratchMount() {
    umount2(dir_.c_str(), MNT_DETACH);
    rmdir(dir_.c_str());
    if (!image_.empty()) unlink(image_.c_str());
  }
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
  std::string image_;
};

}  // namespace kmrtest

#endif
