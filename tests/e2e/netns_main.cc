// Entry of the end-to-end tests. Each test binary run (ctest runs one test per
// process) first moves into a network namespace of its own with only a
// loopback interface, so tests bind 998 and 999 side by side, and becomes a
// child subreaper, so every daemon process it starts is reaped by it and none
// outlives it.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up") != 0) {
    fprintf(stderr, "end-to-end tests need root to make a private network namespace: %s\n", strerror(errno));
    return 1;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  return RUN_ALL_TESTS();
}
