// Reloads that meet a broken or unreadable kelp.ini or tls_policy.ini: every
// worker goes on answering every request, each worker logs what it could not
// use with file, key or line and value, and the repaired file restores the
// full behaviour at the next SIGHUP. The daemon's log keeps its file and its
// threshold when kelp.ini cannot be read.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/daemon_harness.h"
#include "tests/e2e/pool_watch.h"

namespace e2e {
namespace {

const char kPrinter[] = "198.51.100.7";  // the sample's policy no-tls-printer: level none

// The three questions asked of every worker: a blocked client IP, and the
// printer's mail with and without TLS.
std::string probe(int n) {
  switch (n % 3) {
    case 0:
      return connectFrom("203.0.113.66");
    case 1:
      return policyRequest({{"client_address", kPrinter}, {"encryption_cipher", "TLS_AES_256_GCM_SHA384"}});
    default:
      return policyRequest({{"client_address", kPrinter}});
  }
}

struct Answers {
  const char* blockedIp;
  const char* printerWithTls;
  const char* printerWithoutTls;
  const char* of(int n) const { return n % 3 == 0 ? blockedIp : n % 3 == 1 ? printerWithTls : printerWithoutTls; }
};
const Answers kIntact = {kIpBlocked, kNoTlsAllowed, kUnused};

void removePath(const std::string& path) {
  std::string cmd = "rm -rf '" + path + "'";
  ASSERT_EQ(0, system(cmd.c_str()));
}

// Puts a directory where the file was.
void makeDirectory(const std::string& path) {
  removePath(path);
  ASSERT_EQ(0, mkdir(path.c_str(), 0755));
}

struct Fault {
  const char* label;
  const char* file;  // under config/
  std::function<void(const Installation&, const std::string& intact)> breakIt;
  Answers answers;
  std::vector<std::string> logged;  // each once per worker; "%s" is the file's path
};

class ConfigFaults : public testing::Test {
 protected:
  void SetUp() override {
    home.logAtDebugLevel();
    ASSERT_EQ(-1, home.start());
  }

  // SIGHUP to the main process, then requests until every worker has
  // reloaded; every answer must be the expected one.
  void reloadAndServe(const Answers& answers, const std::string& label) {
    ASSERT_EQ(0, kill(home.mainPid(), SIGHUP));
    ASSERT_TRUE(waitUntil([&] { return flaggedWorkers(home).size() == 20; }, 2500));
    EXPECT_TRUE(serveUntilFlagsGone(home, [](int, int n) { return probe(n); },
                                    [&](int port, int n, const std::string& answer) {
                                      EXPECT_EQ(answers.of(n), answer) << label << ": request " << n << " on " << port;
                                    }));
    // Both ports, once more, after every worker has reloaded.
    for (int port : {998, 999})
      for (int n = 0; n < 3; ++n) EXPECT_EQ(answers.of(n), ask(port, probe(n))) << label << " on " << port;
  }

  Installation home;
};

TEST_F(ConfigFaults, BrokenOrUnreadableFileOnReload) {
  const Answers throttlingOff = {kNonNeed, kNoTlsAllowed, kUnused};
  const Fault faults[] = {
      {"kelp.ini is a directory", "kelp.ini",
       [](const Installation& h, const std::string&) { makeDirectory(h.path("config/kelp.ini")); },
       throttlingOff,
       {"normal SMTP Traffic Throttling config [%s]: cannot read it (Is a directory)",
        "normal failed to init SMTP Traffic Throttling config",
        "normal fail to init SMTP Traffic Throttling function. SMTP Traffic Thrttling feature is disabled"}},
      {"kelp.ini with junk lines", "kelp.ini",
       [](const Installation& h, const std::string& intact) {
         h.write("config/kelp.ini", "this is not ini\n[smtp_traffic_throttling\n" + intact);
       },
       kIntact,
       {"normal ini file [%s] line 1: not a section or key = value line, skipped: [this is not ini]",
        "normal ini file [%s] line 2: not a section or key = value line, skipped: [[smtp_traffic_throttling]"}},
      {"kelp.ini with an answer that is no action", "kelp.ini",
       [](const Installation& h, const std::string&) {
         h.setKelpIni("smtp_traffic_throttling", "ip_blocked_action", "421 go away");
       },
       throttlingOff,
       {"normal SMTP Traffic Throttling config [%s]: bad value [421 go away] for key [ip_blocked_action], "
        "expected an answer starting with \"action=\"",
        "normal failed to init SMTP Traffic Throttling config",
        "normal fail to init SMTP Traffic Throttling function. SMTP Traffic Thrttling feature is disabled"}},
      {"tls_policy.ini is a directory", "tls_policy.ini",
       [](const Installation& h, const std::string&) { makeDirectory(h.path("config/tls_policy.ini")); },
       {kIpBlocked, kUsed, kUnused},
       {"normal TLS policy file [%s] cannot be read: Is a directory, only the default policy applies"}},
      {"tls_policy.ini with junk, a bad level and a bad address", "tls_policy.ini",
       [](const Installation& h, const std::string&) {
         h.write("config/tls_policy.ini",
                 "[default]\nlevel = may\ncipher = medium\nnonsense\n"
                 "[policy no-tls-printer]\nlevel = sometimes\ncipher = medium\nclients = 198.51.100.7 999.1.1.1\n");
       },
       {kIpBlocked, kUsed, kMustUseTls},
       {"normal ini file [%s] line 4: not a section or key = value line, skipped: [nonsense]",
        "normal TLS policy file [%s] section [policy no-tls-printer]: unknown level [sometimes], taken as TLS required",
        "normal TLS policy file [%s] section [policy no-tls-printer]: unreadable client address [999.1.1.1], skipped"}},
  };
  const std::string reloaded = "debug Success to remove flag file [" + home.path("bin/keelgate.r");

  for (const Fault& f : faults) {
    SCOPED_TRACE(f.label);
    const std::string rel = std::string("config/") + f.file;
    const std::string path = home.path(rel);
    const std::string intact = home.read(rel);
    std::vector<std::string> lines;
    std::vector<int> before;
    for (std::string line : f.logged) {
      size_t at = line.find("%s");
      if (at != std::string::npos) line.replace(at, 2, path);
      lines.push_back(line);
      before.push_back(home.countLog(line));
    }
    int debugBefore = home.countLog(reloaded);

    f.breakIt(home, intact);
    reloadAndServe(f.answers, f.label);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(before[i] + 20, home.countLog(lines[i])) << lines[i];
    EXPECT_EQ(debugBefore + 20, home.countLog(reloaded)) << "the log keeps its file and its threshold";
    EXPECT_EQ(20u, home.poolPids().size());

    removePath(path);
    home.write(rel, intact);
    reloadAndServe(kIntact, std::string(f.label) + ", repaired");
  }
}

}  // namespace
}  // namespace e2e
