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
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tests/support/files.h"

namespace kmrtest {

// Returns true when the process now has a private mount namespace.
inline bool EnterPrivateMountNamespace() {
  static int state = 0;  // 0 = not tried, 1 = done, -1 = failed
  if (state == 0) {
    state = (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) ? 1 : -1;
  }
  return state == 1;
}

// The namespace of the end-to-end tests: private mounts, with tmpfs laid
// over /etc/vostra and /var/log, so that nothing a test or the programs it
// runs write there reaches the host. Where the host has no /etc/vostra, /etc
// is first covered by an overlay whose upper layer is a tmpfs, so the
// directory is made inside the namespace only. The node's configuration
// holds instance number 3, named for this host in the node set. Returns
// false (with `why`) when that is not possible here. Only the first call
// acts; later ones report its result.
inline bool EnterTestNamespace(std::string* why) {
  static std::string reason;
  static std::string etcLayer;  // tmpfs holding the /etc overlay's upper layer, if any
  static const bool ok = [] {
    auto failed = [](const char* what) { return reason = what, false; };
    auto tmpfs = [](const std::string& where) { return mount("tmpfs", where.c_str(), "tmpfs", 0, "size=16m") == 0; };
    if (geteuid() != 0) return failed("needs root");
    if (!EnterPrivateMountNamespace()) return failed("no private mount namespace");
    struct stat st;
    if (stat("/etc/vostra", &st) != 0) {
      etcLayer = makeScratchDir("kmrtest-etc");
      if (etcLayer.empty()) return failed("no directory for the /etc overlay");
      // The namespace dies with the process and its mounts with it; what
      // remains on the host is the layer's mount point.
      atexit([] {
        umount2("/etc/vostra", MNT_DETACH);
        umount2("/etc", MNT_DETACH);
        umount2(etcLayer.c_str(), MNT_DETACH);
        rmdir(etcLayer.c_str());
      });
      if (!tmpfs(etcLayer)) return failed("tmpfs for the /etc overlay failed");
      mkdir((etcLayer + "/upper").c_str(), 0755);
      mkdir((etcLayer + "/work").c_str(), 0755);
      const std::string opts = "lowerdir=/etc,upperdir=" + etcLayer + "/upper,workdir=" + etcLayer + "/work";
      if (mount("overlay", "/etc", "overlay", 0, opts.c_str()) != 0) return failed("overlay on /etc failed");
      if (mkdir("/etc/vostra", 0755) != 0) return failed("mkdir /etc/vostra failed");
    }
    if (!tmpfs("/etc/vostra") || !tmpfs("/var/log")) return failed("tmpfs over /etc/vostra or /var/log failed");
    mkdir("/etc/vostra/Tarnveld", 0755);
    mkdir("/etc/vostra/Tarnveld/config", 0755);
    const uint16_t instance = 3;
    writeFile("/etc/vostra/Tarnveld/config/instance", std::string(reinterpret_cast<const char*>(&instance), 2));
    // The node keeps its instance file only while the node set names it.
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    writeFile("/etc/vostra/Tarnveld/config/KMRNodeSet",
              std::string("<KMRNodeSet version=\"1\"><node instance=\"3\" host=\"") + host + "\"/></KMRNodeSet>\n");
    return true;
  }();
  *why = reason;
  return ok;
}

// A scratch file system mounted on a fresh directory under /tmp; unmounted and
// removed on destruction. kind is "tmpfs", "ext4" (a loop-mounted image) or
// "ext4-1k" (the same with 1 KiB blocks).
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& kind = "tmpfs", unsigned sizeMb = 64) {
    dir_ = makeScratchDir("kmrmnt");
    if (dir_.empty()) throw std::runtime_error("mkdtemp failed");
    if (kind == "tmpfs") {
      std::string opts = "size=" + std::to_string(sizeMb) + "m";
      if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, opts.c_str()) != 0)
        throw std::runtime_error("mount tmpfs failed");
    } else {
      image_ = dir_ + ".img";
      std::string cmd = "truncate -s " + std::to_string(sizeMb) + "M " + image_ +
                        " && mkfs.ext4 -q -F " + (kind == "ext4-1k" ? "-b 1024 " : "") + image_ +
                        " >/dev/null 2>&1 && mount -o loop " +
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
