#include "tests/e2e/private_mount.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

bool enterPrivateMountNamespace() {
  static bool entered = false;
  if (entered) return true;
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  entered = true;
  return true;
}

TmpfsMount::TmpfsMount(const std::string& dir, const std::string& options, bool readOnly)
    : dir_(dir), options_(options) {
  mkdir(dir_.c_str(), 0755);
  unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  mounted_ = mount("keelgate-test", dir_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool TmpfsMount::remount(bool readOnly) {
  unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  return mounted_ && mount("keelgate-test", dir_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
}

long fillUp(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  static const char zeros[4096] = {};
  long total = 0;
  for (;;) {
    ssize_t n = write(fd, zeros, sizeof zeros);
    if (n <= 0) break;
    total += n;
  }
  // A tmpfs may still take a few bytes that are less than a page.
  while (write(fd, zeros, 1) == 1) ++total;
  close(fd);
  return total;
}

}  // namespace e2e
