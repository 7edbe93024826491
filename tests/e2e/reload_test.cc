// Configuration reload through the flag files bin/keelgate.r0 to r19: a flag
// file made by hand reloads its worker alone; SIGHUP to any one process of
// the pool flags all twenty (once that process is between two requests), and
// each worker reloads at its next connection, answering from the new files
// from that request on; a request the signal met in the middle is answered.
// A kelp.ini or tls_policy.ini that fails its check at a reload costs no
// answer and leaves the configuration in force.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "tests/e2e/daemon_harness.h"

namespace e2e {
namespace {

const std::string kTlsMail = policyRequest({{"encryption_cipher", "TLS_AES_256_GCM_SHA384"}});
const char kReloaded[] = "normal Need to reload configuration due to signal captured";

TEST(Reload, FlagFilesReloadEachWorkerAtItsNextConnection) {
  struct passwd* kelp = getpwnam("kelp");
  ASSERT_NE(nullptr, kelp);
  Installation home;
  home.logAtDebugLevel();
  home.setKelpIni("keelgate", "request_timeout", "0");  // a silent client holds its worker
  ASSERT_EQ(-1, home.start());
  home.write("config/tls_policy.ini", "[default]\nlevel = none\ncipher = medium\n");
  home.write("config/throttling/blocked_ip", "192.0.2.99\n");
  const std::string blockedConnect = stageRequest("CONNECT", "192.0.2.99");

  home.write("bin/keelgate.r3", "", 0600);
  ASSERT_EQ(0, chown(home.path("bin/keelgate.r3").c_str(), kelp->pw_uid, kelp->pw_gid)) << "made as kelp";
  int refused = 0;
  EXPECT_TRUE(home.serveUntilFlagsGone([&](int) { return blockedConnect; },
                                       [&](int, const std::string& answer) { refused += answer == kIpBlocked; }));
  EXPECT_EQ(1, refused) << "worker 3 alone answers from the new files";
  EXPECT_EQ(1, home.countLog(kReloaded));
  EXPECT_EQ(kUsed, ask(999, kTlsMail)) << "the other workers keep the old files";

  // Regression: the accepted connection inherited the listening socket's
  // one-second receive timeout, so a SIGHUP that reached a worker waiting
  // for its request broke the read off and the request went unanswered.
  // The signal's flag files come once the worker has answered.
  int fd = -1;
  pid_t holder = home.holdAWorker(999, fd);
  ASSERT_GT(holder, 0);
  ASSERT_EQ(0, kill(holder, SIGHUP));
  ASSERT_TRUE(waitUntil([&] { return signalTaken(holder, SIGHUP); }, 5000));
  ASSERT_EQ(static_cast<ssize_t>(kTlsMail.size()), send(fd, kTlsMail.data(), kTlsMail.size(), MSG_NOSIGNAL));
  EXPECT_EQ(kUsed, readToEnd(fd));
  close(fd);
  ASSERT_TRUE(waitUntil([&] { return home.flaggedWorkers().size() == 20; }, 10000));

  EXPECT_TRUE(home.serveUntilFlagsGone([&](int n) { return n % 2 ? blockedConnect : kTlsMail; },
                                       [](int n, const std::string& answer) {
                                         EXPECT_EQ(n % 2 ? kIpBlocked : kNoTlsAllowed, answer) << "request " << n;
                                       }));
  EXPECT_EQ(21, home.countLog(kReloaded));
  for (int port : {998, 999}) EXPECT_EQ(kIpBlocked, ask(port, blockedConnect));

  // Broken files at a reload: kelp.ini unreadable (a directory), a junk line
  // in tls_policy.ini. Every worker logs why and keeps what was in force:
  // the blocked client stays blocked, the TLS policy keeps applying.
  ASSERT_EQ(0, unlink(home.path("config/kelp.ini").c_str()));
  ASSERT_EQ(0, mkdir(home.path("config/kelp.ini").c_str(), 0755));
  home.write("config/tls_policy.ini", "[default]\nlevel = may\nthis line is junk\n");
  ASSERT_TRUE(home.signalReload());
  EXPECT_TRUE(home.serveUntilFlagsGone([&](int n) { return n % 2 ? blockedConnect : kTlsMail; },
                                       [](int n, const std::string& answer) {
                                         EXPECT_EQ(n % 2 ? kIpBlocked : kNoTlsAllowed, answer) << "request " << n;
                                       }));
  EXPECT_EQ(20, home.countLog("config [" + home.path("config/kelp.ini") + "]: cannot read it (Is a directory)"));
  EXPECT_EQ(20, home.countLog("not loaded, the policies in force are kept"));
  EXPECT_EQ(41, home.countLog("] when reload")) << "the debug lines go on";
}

// A SIGHUP that comes while a worker reads the files is not lost: the worker
// consumed its flag before reading, so the signal's new flag makes it read
// them again. The blocked list is large, so that the read takes a while.
TEST(Reload, ASighupDuringAReloadIsNotLost) {
  Installation home;
  std::string filler;
  for (int i = 0; i < 100000; ++i)
    filler += "10." + std::to_string(i >> 16) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255) + "\n";
  ASSERT_EQ(-1, home.start());
  home.write("config/throttling/blocked_ip", filler + "192.0.2.1\n");
  ASSERT_TRUE(home.signalReload());

  std::thread first([] { ask(998, stageRequest("CONNECT", "192.0.2.1")); });
  EXPECT_TRUE(home.waitForLog(kReloaded));
  home.write("config/throttling/blocked_ip", filler + "192.0.2.1\n192.0.2.2\n");
  EXPECT_EQ(0, kill(home.mainPid(), SIGHUP));
  first.join();
  ASSERT_TRUE(waitUntil([&] { return home.flaggedWorkers().size() == 20; })) << "the reading worker's new flag is kept";
  pid_t reader = -1;  // the worker that was reading, from its line "keelgate[pid] normal Need to reload..."
  for (const std::string& l : home.logLines())
    if (reader < 0 && l.find(kReloaded) != std::string::npos) reader = atoi(&l[l.rfind('[', l.find(kReloaded)) + 1]);
  ASSERT_GT(reader, 0);

  const std::string blockedNow = stageRequest("CONNECT", "192.0.2.2");
  EXPECT_TRUE(home.serveUntilFlagsGone([&](int) { return blockedNow; },
                                       [](int n, const std::string& answer) { EXPECT_EQ(kIpBlocked, answer) << n; }));
  ASSERT_TRUE(home.keepOnly(reader));
  EXPECT_EQ(kIpBlocked, ask(998, blockedNow)) << "the worker that was reading has the last change too";
}

}  // namespace
}  // namespace e2e
