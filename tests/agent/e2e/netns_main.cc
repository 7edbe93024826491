// Entry of the agent's end-to-end tests: each test process (ctest runs one
// test per process) moves into a network namespace of its own with only a
// loopback interface, so every test has the agent port and the metrics port
// to itself, and becomes a child subreaper, so no agent outlives it.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = unshare(CLONE_NEWNET) == 0;
  int fd = up ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
  up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  if (!up) {
    fprintf(stderr, "the agent's end-to-end tests need root for a private network namespace: %s\n", strerror(errno));
    return 1;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  return RUN_ALL_TESTS();
}
