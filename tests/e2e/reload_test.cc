// Configuration reload through the flag files: SIGHUP to one process flags
// all twenty workers, each worker reloads at its next connection and answers
// from the new configuration from that request on (a worker that did not get
// the signal too: the flag file alone makes it reload); hand-removed flag
// files. Reloads that meet broken files are in config_faults_test.cc, the
// reload by a second start in startup_test.cc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"

namespace e2e {
namespace {

const char kReloadLine[] = "normal Need to reload configuration due to signal captured";
const char kAccepted[] = "accept client successfully in process";
const char kTlsCipher[] = "TLS_AES_256_GCM_SHA384";
const char kNewlyBlockedIp[] = "192.0.2.99";

std::string tlsMail() {
  return policyRequest({{"client_address", "198.51.100.23"}, {"encryption_cipher", kTlsCipher}});
}

// Even requests are TLS mails, odd ones CONNECTs from `ip`.
std::string mailOrConnect(int n, const std::string& ip) { return n % 2 ? connectFrom(ip) : tlsMail(); }

class Reload : public testing::Test {
 protected:
  void SetUp() override {
    home.logAtDebugLevel();
    home.write("config/tls_policy.ini", "[default]\nlevel = may\ncipher = medium\n");
    // A silent client may hold a worker for as long as a test needs.
    home.setKelpIni("keelgate", "request_timeout", "0");
    ASSERT_EQ(-1, home.start());
    for (int i = 0; i < 20; ++i) ASSERT_GT(workerPid(home, i), 0) << "worker " << i;
  }

  // New configuration on disk: no TLS allowed by default, one more blocked IP.
  void changeConfiguration() {
    home.write("config/tls_policy.ini", "[default]\nlevel = none\ncipher = medium\n");
    home.write("config/throttling/blocked_ip", home.read("config/throttling/blocked_ip") + kNewlyBlockedIp + "\n");
  }

  void expectOldConfiguration(const char* when) {
    for (int port : {998, 999}) {
      EXPECT_EQ(kUsed, ask(port, tlsMail())) << when;
      EXPECT_EQ(kNonNeed, ask(port, connectFrom(kNewlyBlockedIp))) << when;
    }
  }

  // Serves until every flag file is gone; every answer must come from the
  // new configuration.
  void serveWithNewConfiguration() {
    EXPECT_TRUE(serveUntilFlagsGone(
        home, [](int, int n) { return mailOrConnect(n, kNewlyBlockedIp); },
        [](int port, int n, const std::string& answer) {
          EXPECT_EQ(n % 2 ? kIpBlocked : kNoTlsAllowed, answer) << "request " << n << " on " << port;
        }));
  }

  Installation home;
};

TEST_F(Reload, SighupToTheMainProcessReloadsEveryWorkerAtItsNextConnection) {
  changeConfiguration();
  expectOldConfiguration("changed files alone are not read");
  EXPECT_EQ(0, home.countLog(kReloadLine));

  ASSERT_EQ(0, kill(home.mainPid(), SIGHUP));
  ASSERT_TRUE(waitUntil([&] { return flaggedWorkers(home).size() == 20; }, 2500))
      << flaggedWorkers(home).size() << " flag files";
  struct stat st;
  ASSERT_EQ(0, stat(home.path("bin/keelgate.r7").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ(0, home.countLog(kReloadLine)) << "the signal itself reloads nothing";

  serveWithNewConfiguration();
  // Once every worker has reloaded, both ports keep answering from the new files.
  for (int port : {998, 999}) {
    EXPECT_EQ(kNoTlsAllowed, ask(port, tlsMail()));
    EXPECT_EQ(kIpBlocked, ask(port, connectFrom(kNewlyBlockedIp)));
  }

  std::vector<pid_t> reloaded = pidsLogging(home, kReloadLine);
  std::set<pid_t> distinct(reloaded.begin(), reloaded.end());
  std::vector<pid_t> pool = home.poolPids();
  EXPECT_EQ(20u, reloaded.size());
  EXPECT_EQ(std::set<pid_t>(pool.begin(), pool.end()), distinct) << "each worker of the pool once";
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(1, home.countLog("debug Success to remove flag file [" + home.path("bin/keelgate.r" + std::to_string(i)) +
                               "] when reload"))
        << "worker " << i;
  EXPECT_EQ(0, home.countLog("Failed to remove flag file"));
}

// Regression: the accepted connection inherited the listening socket's
// one-second receive timeout, so a SIGHUP that reached a worker waiting for
// its request broke the read off and the request went unanswered.
TEST_F(Reload, SighupWhileAWorkerWaitsForItsRequestLosesNoRequest) {
  int fd = -1;
  pid_t holder = holdAWorker(home, 999, fd);
  ASSERT_GT(holder, 0);
  ASSERT_EQ(0, kill(holder, SIGHUP));
  ASSERT_TRUE(waitUntil([&] { return signalTaken(holder, SIGHUP); }, 2000));
  std::string request = tlsMail();
  ASSERT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), MSG_NOSIGNAL));
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  close(fd);
  EXPECT_EQ(kUsed, std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
  EXPECT_EQ(0, countLogFrom(home, holder, "get no data from socket"));
  // The signal's work is done once the request is served.
  EXPECT_TRUE(waitUntil([&] { return flaggedWorkers(home).size() == 20; }, 2500));
}

TEST_F(Reload, FlagFileRemovedByHandCancelsThatReload) {
  pid_t worker5 = workerPid(home, 5), worker15 = workerPid(home, 15);
  // Any process of the pool will do: the flag files reach every worker.
  ASSERT_EQ(0, kill(workerPid(home, 12), SIGHUP));
  ASSERT_TRUE(waitUntil([&] { return flaggedWorkers(home).size() == 20; }, 2500));
  home.remove("bin/keelgate.r5");
  home.remove("bin/keelgate.r15");
  int served5 = countLogFrom(home, worker5, kAccepted), served15 = countLogFrom(home, worker15, kAccepted);

  changeConfiguration();
  EXPECT_TRUE(serveUntilFlagsGone(home, [](int, int n) { return mailOrConnect(n, kNewlyBlockedIp); },
                                  [](int, int, const std::string&) {}));
  // Make sure the two unflagged workers have served connections since.
  EXPECT_TRUE(waitUntil(
      [&] {
        if (countLogFrom(home, worker5, kAccepted) == served5) ask(998, tlsMail());
        if (countLogFrom(home, worker15, kAccepted) == served15) ask(999, tlsMail());
        return countLogFrom(home, worker5, kAccepted) > served5 && countLogFrom(home, worker15, kAccepted) > served15;
      },
      15000));
  EXPECT_EQ(18, home.countLog(kReloadLine));
  EXPECT_EQ(0, countLogFrom(home, worker5, kReloadLine));
  EXPECT_EQ(0, countLogFrom(home, worker15, kReloadLine));
}

}  // namespace
}  // namespace e2e
