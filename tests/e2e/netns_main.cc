// Entry of the end-to-end tests. Each test binary run (ctest runs one test per
// process) first moves into a network namespace of its own with only a
// loopback interface, so tests bind 998 and 999 side by side, and becomes a
// child subreaper, so every daemon process it starts is reaped by it and none
// outlives it.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool bringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (unshare(CLONE_NEWNET) != 0 || !bringLoopbackUp()) {
    fprintf(stderr, "end-to-end tests need root to make a private network namespace: %s\n", strerror(errno));
    return 1;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  return RUN_ALL_TESTS();
}
